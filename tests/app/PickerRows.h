#pragma once

// Where a source is in the picker's submenus. The program lists what this
// process lists, with the same code, except its own streams: the listing is
// made here as the program with that process id makes it.

#include "AppList.h"
#include "InputDevices.h"
#include "ToneSources.h"
#include "TrayDesktop.h"

#include <algorithm>
#include <string>

namespace loomwell::testing
{

inline bool playing (pid_t pid)
{
    return PipeWireConnection::instance().refresh() && isPlaying (pid);
}

// The row of an application under "Apps", or -1 when it is not listed.
inline int appRow (const std::string& bundleId, pid_t program)
{
    auto& connection = PipeWireConnection::instance();
    int row = -1;
    waitUntil ([&] {
        if (! connection.refresh())
            return false;
        const auto apps = capturableAppsFrom (connection.allNodes(), [&] (uint32_t id) { return connection.clientProperties (id); },
                                              static_cast<int> (program), processIsAlive);
        const auto it = std::find_if (apps.begin(), apps.end(), [&] (const auto& app) { return app.bundleId == bundleId; });
        row = it == apps.end() ? -1 : static_cast<int> (it - apps.begin());
        return row >= 0;
    }, 10s);
    return row;
}

// The row of an input under "Input Devices", or -1.
inline int inputRow (const std::string& uid)
{
    int row = -1;
    waitUntil ([&] {
        const auto inputs = listInputDevices();
        const auto it = std::find_if (inputs.begin(), inputs.end(), [&] (const auto& input) { return input.uid == uid; });
        row = it == inputs.end() ? -1 : static_cast<int> (it - inputs.begin());
        return row >= 0;
    }, 10s);
    return row;
}

} // namespace loomwell::testing

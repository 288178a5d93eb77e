#pragma once

#include "AppList.h"
#include "InputDevices.h"

#include <functional>
#include <vector>

namespace loomwell::ui
{

// What the slot menus and the source picker list. live() asks PipeWire; the
// menu tests replace single entries.
struct SourceActions
{
    // Blocking (at most 5 s); runs off the message thread.
    std::function<std::vector<CapturableApp>()> listApps;
    // Main thread.
    std::function<std::vector<InputDevice>()> listInputs;

    static SourceActions live (PipeWireConnection&);
};

} // namespace loomwell::ui

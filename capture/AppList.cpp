#include "AppList.h"

#include <cerrno>
#include <chrono>
#include <set>
#include <signal.h>
#include <unistd.h>

namespace loomwell
{

bool processIsAlive (int processId)
{
    // EPERM: alive, only not ours to signal.
    return processId > 0 && (kill (processId, 0) == 0 || errno == EPERM);
}

std::optional<AppIdentity> playbackIdentity (const PipeWireNode& node, const PropertyMap& clientProperties,
                                             int ownProcessId, const std::function<bool (int)>& processAlive)
{
    if (node.mediaClass != "Stream/Output/Audio" || node.property ("stream.monitor") == "true"
        || node.property ("stream.capture.sink") == "true" || ! node.property (captureStreamMarker).empty())
        return std::nullopt;

    auto identity = appIdentity (node.properties, clientProperties);
    if (identity.bundleId.empty())
        return std::nullopt;
    // A process id we cannot check (none announced) does not hide the stream.
    if (identity.processId != 0 && (identity.processId == ownProcessId || ! processAlive (identity.processId)))
        return std::nullopt;
    return identity;
}

std::vector<CapturableApp> capturableAppsFrom (const std::vector<PipeWireNode>& nodes,
                                               const std::function<PropertyMap (uint32_t)>& clientProperties,
                                               int ownProcessId, const std::function<bool (int)>& processAlive)
{
    std::vector<CapturableApp> result;
    std::set<std::pair<std::string, int>> seen;
    for (const auto& node : nodes)
        if (const auto identity = playbackIdentity (node, clientProperties (node.clientId), ownProcessId, processAlive))
            if (seen.emplace (identity->bundleId, identity->processId).second)
                result.push_back ({ identity->bundleId, identity->name });
    return result;
}

std::vector<CapturableApp> listCapturableApps (PipeWireConnection& connection)
{
    // refresh() gives up after 3 s itself; the snapshot below only copies the
    // cache. Should the whole still end after the deadline (a stalled loop
    // lock), the answer is late and discarded.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds (5);
    if (! connection.refresh())
        return {};

    auto apps = capturableAppsFrom (connection.allNodes(),
                                    [&connection] (uint32_t id) { return connection.clientProperties (id); },
                                    static_cast<int> (getpid()), processIsAlive);
    if (std::chrono::steady_clock::now() > deadline)
        return {};
    return apps;
}

} // namespace loomwell

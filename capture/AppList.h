#pragma once

#include "AppIdentity.h"
#include "PipeWireConnection.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace loomwell
{

// One application that can be offered as a source.
struct CapturableApp
{
    std::string bundleId; // never empty (see AppIdentity.h)
    std::string name;

    bool operator== (const CapturableApp&) const = default;
};

// Set on every capture stream Loomwell makes, so that no listing offers one.
inline constexpr const char* captureStreamMarker = "loomwell.capture";

// The identity of a node when it is an ordinary playback stream of another
// live process; nothing for our own process, gone processes, monitor and
// capture streams and nodes without an identity. The one test that listing and
// capturing share.
std::optional<AppIdentity> playbackIdentity (const PipeWireNode& node, const PropertyMap& clientProperties,
                                             int ownProcessId, const std::function<bool (int)>& processAlive);

bool processIsAlive (int processId);

// One record per application identity and process with at least one playback
// stream, in registry order, from a snapshot of the graph.
std::vector<CapturableApp> capturableAppsFrom (const std::vector<PipeWireNode>& nodes,
                                               const std::function<PropertyMap (uint32_t clientId)>& clientProperties,
                                               int ownProcessId, const std::function<bool (int)>& processAlive);

// The applications playing right now. Blocking: returns within 5 s. An answer
// that comes after the deadline is thrown away and the list is empty, as it
// is when PipeWire does not answer at all.
std::vector<CapturableApp> listCapturableApps (PipeWireConnection&);

} // namespace loomwell

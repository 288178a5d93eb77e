#pragma once

#include "PipeWireConnection.h"

#include <map>
#include <memory>
#include <utility>
#include <vector>

struct pw_proxy;

namespace loomwell
{

// Which of a lane's two ports (left, right) each output port of a source
// feeds: by channel position; a mono port feeds both; a source without any
// known position gives its first port to the left and its second (else the
// first again) to the right. Further channels are not taken.
std::vector<std::pair<uint32_t, uint32_t>> stereoLinkPlan (const std::vector<PipeWirePort>& outputs, uint32_t left, uint32_t right);

// Links between ports of the graph, made by us and kept while wanted: each
// goes when it is no longer wanted, when the daemon removes it (a port
// went) and with us (never lingering). Lock held for every call.
class PortLinks
{
public:
    PortLinks();
    ~PortLinks();
    PortLinks (const PortLinks&) = delete;
    PortLinks& operator= (const PortLinks&) = delete;

    // Makes the wanted links that are missing (output port -> input port,
    // each port's node from `nodeOf`) and drops every other one.
    void follow (pw_core* core, const std::vector<std::pair<uint32_t, uint32_t>>& wanted, const std::map<uint32_t, uint32_t>& nodeOf);
    void clear();
    // Links made and not removed by the daemon.
    size_t live() const;
    bool empty() const { return links.empty(); }

private:
    struct Link;
    std::map<std::pair<uint32_t, uint32_t>, std::unique_ptr<Link>> links;
};

} // namespace loomwell

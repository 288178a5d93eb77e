#include "InputCapture.h"

#include "InputDevices.h"
#include "PipeWireConnection.h"
#include "PortLinks.h"

#include <compare>
#include <map>

namespace loomwell
{

namespace
{

struct CaptureKey
{
    const void* console;
    int32_t channelId;

    auto operator<=> (const CaptureKey&) const = default;
};

// A source's tap: a lane of the console's node and links from the source's
// output ports into it (its monitor ports where it has no others, as a
// virtual source has). Main thread; lock held where it says so.
class InputCapture
{
public:
    InputCapture (std::shared_ptr<ConsoleLanes> consoleLanes, uint32_t sourceNode)
        : lanes (std::move (consoleLanes)), node (sourceNode)
    {
        PipeWireConnection::Lock lock (connection());
        connection().retainCore(); // the links' core stays until they go
    }

    ~InputCapture()
    {
        {
            PipeWireConnection::Lock lock (connection());
            links.clear();
            connection().releaseCore();
        }
        lanes->release (lane);
    }

    // False when the console has no free lane or the source no ports.
    bool start (std::shared_ptr<RingBuffer> ring)
    {
        std::vector<PipeWirePort> outputs, monitors;
        for (const auto& port : connection().ports (node))
            if (! port.input)
                (port.monitor ? monitors : outputs).push_back (port);
        if ((outputs.empty() && (outputs = monitors).empty()) || (lane = lanes->acquire (std::move (ring))) < 0)
            return false;
        const auto ports = lanes->ports (lane);
        const auto plan = stereoLinkPlan (outputs, ports.left, ports.right);
        std::map<uint32_t, uint32_t> nodeOf { { ports.left, ports.node }, { ports.right, ports.node } };
        for (const auto& [from, to] : plan)
            nodeOf[from] = node;
        PipeWireConnection::Lock lock (connection());
        links.follow (connection().core(), plan, nodeOf);
        linked = links.live();
        return linked > 0;
    }

    // Every link still there: the source has not gone.
    bool isLive() const
    {
        PipeWireConnection::Lock lock (connection());
        return links.live() == linked;
    }

private:
    PipeWireConnection& connection() const { return lanes->connection(); }

    const std::shared_ptr<ConsoleLanes> lanes;
    const uint32_t node;
    int lane = -1;
    PortLinks links;
    size_t linked = 0;
};

// Main thread only, as are all its users. The program stops every capture
// before its connection goes (each console's captures before it closes).
std::map<CaptureKey, std::unique_ptr<InputCapture>>& registry()
{
    static std::map<CaptureKey, std::unique_ptr<InputCapture>> captures;
    return captures;
}

} // namespace

void startInputCapture (const void* console, std::shared_ptr<ConsoleLanes> lanes, uint32_t deviceId, int32_t channelId,
                        std::shared_ptr<RingBuffer> ringBuffer)
{
    stopInputCapture (console, channelId);
    if (ringBuffer == nullptr || lanes == nullptr || ! lanes->connection().refresh())
        return;

    const auto source = findInputSource (lanes->connection(), deviceId);
    if (! source || source->channels.empty())
        return;

    auto capture = std::make_unique<InputCapture> (std::move (lanes), source->nodeId);
    if (capture->start (std::move (ringBuffer)))
        registry()[{ console, channelId }] = std::move (capture);
}

void stopInputCapture (const void* console, int32_t channelId)
{
    auto& captures = registry();
    const auto it = captures.find ({ console, channelId });
    if (it == captures.end())
        return;

    captures.erase (it);
}

void moveInputCapture (const void* console, int32_t fromChannelId, int32_t toChannelId)
{
    auto& captures = registry();
    const auto it = captures.find ({ console, fromChannelId });
    if (it == captures.end() || fromChannelId == toChannelId)
        return;

    auto capture = std::move (it->second);
    captures.erase (it);
    stopInputCapture (console, toChannelId);
    captures[{ console, toChannelId }] = std::move (capture);
}

void stopAllInputCaptures (const void* console)
{
    auto& captures = registry();
    for (auto it = captures.begin(); it != captures.end();)
    {
        it = it->first.console == console ? captures.erase (it) : std::next (it);
    }
}

bool hasInputCapture (const void* console, int32_t channelId)
{
    return registry().count ({ console, channelId }) > 0;
}

bool inputCaptureIsLive (const void* console, int32_t channelId)
{
    const auto it = registry().find ({ console, channelId });
    return it != registry().end() && it->second->isLive();
}

} // namespace loomwell

#include "AppCapture.h"

#include "AppList.h"
#include "PipeWireConnection.h"
#include "PortLinks.h"

#include <pipewire/pipewire.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <syslog.h>
#include <unistd.h>

namespace loomwell
{

namespace
{

void syslogSink (const char* message)
{
    syslog (LOG_ERR, "%s", message);
}

std::atomic<CaptureLogSink> logSink { syslogSink };

__attribute__ ((format (printf, 1, 2))) void logMessage (const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start (args, format);
    std::vsnprintf (text, sizeof (text), format, args);
    va_end (args);
    logSink.load() (text);
}

// An application's tap: a lane of the console's node, and links from
// every output port of the application's playback streams into it.
struct Capture
{
    std::string bundleId;
    std::shared_ptr<ConsoleLanes> lanes;
    int lane = -1;
    PortLinks links; // lock held

    // Lock held: the links' core stays until they go.
    explicit Capture (std::shared_ptr<ConsoleLanes> consoleLanes) : lanes (std::move (consoleLanes))
    {
        lanes->connection().retainCore();
    }

    // Lock held. Once it returns, nothing is linked and the lane writes nowhere.
    void release()
    {
        links.clear();
        lanes->connection().releaseCore();
        lanes->release (std::exchange (lane, -1));
    }

    // Main thread: links every output port of the application's playback
    // streams that is not linked yet and lets go of links whose ports are gone.
    void follow (const std::vector<PipeWireNode>& nodes)
    {
        auto& connection = lanes->connection();
        const auto ports = lanes->ports (lane);
        std::vector<std::pair<uint32_t, uint32_t>> wanted;
        std::map<uint32_t, uint32_t> nodeOf { { ports.left, ports.node }, { ports.right, ports.node } };
        for (const auto& node : nodes)
        {
            const auto identity = playbackIdentity (node, connection.clientProperties (node.clientId),
                                                    static_cast<int> (getpid()), processIsAlive);
            if (! identity || identity->bundleId != bundleId)
                continue;
            std::vector<PipeWirePort> outputs;
            for (const auto& port : connection.ports (node.id))
                if (! port.input && ! port.monitor)
                    outputs.push_back (port);
            for (const auto& pair : stereoLinkPlan (outputs, ports.left, ports.right))
            {
                wanted.push_back (pair);
                nodeOf[pair.first] = node.id;
            }
        }
        PipeWireConnection::Lock lock (connection);
        // A console whose node is gone has no ports to link into.
        if (lane >= 0)
            links.follow (connection.core(), ports.left != 0 ? wanted : decltype (wanted) {}, nodeOf);
    }
};

struct CaptureKey
{
    const void* console;
    int32_t channelId;
    auto operator<=> (const CaptureKey&) const = default;
};

// Main thread only.
class Registry final : private PipeWireConnection::Listener
{
public:
    static Registry& instance()
    {
        // Never destroyed: at exit the remaining captures are left to the
        // process's end instead of being stopped on a connection that may be gone.
        static auto* registry = new Registry;
        return *registry;
    }

    std::map<CaptureKey, std::unique_ptr<Capture>> captures;

    // The graph is followed on the connection of the first capture's
    // console, which is the program's one connection.
    void add (CaptureKey key, std::unique_ptr<Capture> capture)
    {
        if (captures.empty())
            (graph = &capture->lanes->connection())->addListener (this);
        captures[key] = std::move (capture);
    }

    void stop (CaptureKey key)
    {
        const auto it = captures.find (key);
        if (it == captures.end())
            return;
        auto capture = std::move (it->second);
        captures.erase (it);
        if (captures.empty())
            graph->removeListener (this);

        PipeWireConnection::Lock lock (capture->lanes->connection());
        capture->release();
    }

private:
    void pipeWireNodesChanged (uint32_t bits) override
    {
        if ((bits & (PipeWireConnection::streamsChanged | PipeWireConnection::portsChanged | PipeWireConnection::clientsChanged)) == 0)
            return;
        const auto nodes = graph->allNodes();
        for (auto& [key, capture] : captures)
            capture->follow (nodes);
    }

    PipeWireConnection* graph = nullptr;
};

bool applicationIsPlaying (const PipeWireConnection& connection, const std::string& bundleId)
{
    for (const auto& node : connection.allNodes())
        if (const auto identity = playbackIdentity (node, connection.clientProperties (node.clientId),
                                                    static_cast<int> (getpid()), processIsAlive))
            if (identity->bundleId == bundleId)
                return true;
    return false;
}

} // namespace

void setCaptureLogSink (CaptureLogSink sink)
{
    logSink.store (sink != nullptr ? sink : syslogSink);
}

void startAppCapture (const void* console, std::shared_ptr<ConsoleLanes> lanes, const std::string& bundleId, int32_t channelId,
                      std::shared_ptr<RingBuffer> ringBuffer, AbsentApp absent)
{
    const CaptureKey key { console, channelId };
    auto& registry = Registry::instance();
    registry.stop (key);

    if (ringBuffer == nullptr || lanes == nullptr)
        return;
    auto& connection = lanes->connection();
    if (! connection.refresh())
        return;
    if (! applicationIsPlaying (connection, bundleId))
    {
        logMessage ("LMW: App not found: %s", bundleId.c_str());
        if (absent == AbsentApp::giveUp)
            return;
    }

    std::unique_ptr<Capture> capture;
    {
        PipeWireConnection::Lock lock (connection);
        capture = std::make_unique<Capture> (std::move (lanes));
    }
    capture->bundleId = bundleId;
    if ((capture->lane = capture->lanes->acquire (std::move (ringBuffer))) < 0)
    {
        logMessage ("LMW: Failed to add stream output: %s", "the console has no free input");
        PipeWireConnection::Lock lock (connection);
        capture->release();
        return;
    }
    capture->follow (connection.allNodes());
    registry.add (key, std::move (capture));
}

void stopAppCapture (const void* console, int32_t channelId)
{
    Registry::instance().stop ({ console, channelId });
}

void moveAppCapture (const void* console, int32_t fromChannelId, int32_t toChannelId)
{
    auto& registry = Registry::instance();
    const auto it = registry.captures.find ({ console, fromChannelId });
    if (it == registry.captures.end() || fromChannelId == toChannelId)
        return;
    auto capture = std::move (it->second);
    registry.captures.erase (it);
    registry.stop ({ console, toChannelId });
    registry.add ({ console, toChannelId }, std::move (capture));
}

void stopAllAppCaptures (const void* console)
{
    auto& registry = Registry::instance();
    std::vector<CaptureKey> keys;
    for (const auto& [key, capture] : registry.captures)
        if (key.console == console)
            keys.push_back (key);
    for (const auto& key : keys)
        registry.stop (key);
}

bool hasAppCapture (const void* console, int32_t channelId)
{
    return Registry::instance().captures.count ({ console, channelId }) > 0;
}

} // namespace loomwell

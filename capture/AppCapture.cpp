#include "AppCapture.h"

#include "AppList.h"
#include "PipeWireConnection.h"
#include "RealtimeScope.h"
#include "SampleConversion.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <syslog.h>
#include <thread>
#include <unistd.h>

namespace loomwell
{

namespace
{

using Clock = std::chrono::steady_clock;
constexpr auto startLimit = std::chrono::seconds (10);

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

// Which of our two inputs each output port of a playback stream feeds: by
// channel position; a mono port feeds both; a stream without any known
// position gives its first port to the left and its second (else the first
// again) to the right.
std::vector<std::pair<uint32_t, uint32_t>> linkPlan (const std::vector<PipeWirePort>& outputs, uint32_t left, uint32_t right)
{
    std::vector<std::pair<uint32_t, uint32_t>> plan;
    for (const auto& port : outputs)
    {
        if (port.channel == "FL" || port.channel == "MONO")
            plan.emplace_back (port.id, left);
        if (port.channel == "FR" || port.channel == "MONO")
            plan.emplace_back (port.id, right);
    }
    if (plan.empty() && ! outputs.empty())
    {
        plan.emplace_back (outputs[0].id, left);
        plan.emplace_back (outputs[outputs.size() > 1 ? 1 : 0].id, right);
    }
    return plan;
}

struct Link
{
    pw_proxy* proxy = nullptr;
    spa_hook hook {};
    bool dead = false; // loop thread, lock held
};

struct Capture
{
    std::string bundleId;
    std::shared_ptr<RingBuffer> share;           // main thread: held while the stream may call back
    std::atomic<RingBuffer*> target { nullptr }; // what the data thread writes into
    std::vector<float> scratch = std::vector<float> (RingBuffer::defaultCapacity);

    pw_stream* stream = nullptr;
    spa_hook streamHook {};
    spa_hook coreHook {}; // while the start waits
    bool coreHooked = false;
    pw_stream_state state = PW_STREAM_STATE_UNCONNECTED; // loop thread, lock held
    bool refused = false; // fell back to unconnected while connecting: the daemon said no
    std::string error;
    uint32_t nodeId = SPA_ID_INVALID;
    uint32_t left = SPA_ID_INVALID, right = SPA_ID_INVALID;
    std::map<std::pair<uint32_t, uint32_t>, std::unique_ptr<Link>> links;

    // Loop thread: once per graph cycle. No lock, no wait, no allocation.
    static void process (void* data)
    {
        const RealtimeScope scope ("loomwell-capture");
        auto& self = *static_cast<Capture*> (data);
        auto* buffer = pw_stream_dequeue_buffer (self.stream);
        if (buffer == nullptr)
            return;

        const auto* spaBuffer = buffer->buffer;
        SampleBlock block;
        block.numBuffers = static_cast<int> (std::min<uint32_t> (spaBuffer->n_datas, SampleBlock::maxBuffers));
        for (int b = 0; b < block.numBuffers; ++b)
        {
            const auto& d = spaBuffer->datas[b];
            const auto offset = std::min (d.chunk->offset, d.maxsize);
            block.data[b] = d.data != nullptr ? reinterpret_cast<const float*> (static_cast<const uint8_t*> (d.data) + offset) : nullptr;
            if (b == 0)
            {
                const auto stride = d.chunk->stride > 0 ? static_cast<uint32_t> (d.chunk->stride) : 2 * sizeof (float);
                block.channelsInFirstBuffer = static_cast<int> (stride / sizeof (float));
                block.frames = static_cast<int> (std::min (d.chunk->size, d.maxsize - offset) / stride);
            }
        }
        writeCapturedBlock (block, self.target.load (std::memory_order_acquire),
                            { self.scratch.data(), static_cast<int> (self.scratch.size()) }, RingBuffer::clockNanos());
        pw_stream_queue_buffer (self.stream, buffer);
    }

    static void stateChanged (void* data, pw_stream_state old, pw_stream_state state, const char* error)
    {
        auto& self = *static_cast<Capture*> (data);
        self.state = state;
        self.refused = self.refused || (old == PW_STREAM_STATE_CONNECTING && state == PW_STREAM_STATE_UNCONNECTED);
        if (error != nullptr)
            self.error = error;
        PipeWireConnection::instance().signalWaiters();
    }

    static const pw_stream_events* streamEvents()
    {
        static const pw_stream_events events = [] {
            pw_stream_events e {};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = stateChanged;
            e.process = process;
            return e;
        }();
        return &events;
    }

    // The daemon answers a stream it refuses with an error on the core about
    // the stream's proxy; the stream itself only falls back to unconnected.
    // While a start waits, the main thread makes nothing else on this core,
    // so such an error is about our stream.
    static const pw_core_events* coreEvents()
    {
        static const pw_core_events events = [] {
            pw_core_events e {};
            e.version = PW_VERSION_CORE_EVENTS;
            e.error = [] (void* data, uint32_t id, int, int res, const char* message)
            {
                auto& self = *static_cast<Capture*> (data);
                if (id != PW_ID_CORE && self.error.empty())
                    self.error = message != nullptr && *message != 0 ? message : spa_strerror (res);
            };
            return e;
        }();
        return &events;
    }

    // Lock held.
    void unhookCore()
    {
        if (coreHooked)
            spa_hook_remove (&coreHook);
        coreHooked = false;
    }

    // Lock held. Nothing is logged: the start reports its failures itself.
    int connect()
    {
        auto& connection = PipeWireConnection::instance();
        if (connection.core() == nullptr)
            return -ENOTCONN;

        // A capture stream that nothing links automatically, that no one
        // offers as a target, and that takes exactly the two channels we
        // link into it.
        auto* props = pw_properties_new (PW_KEY_MEDIA_TYPE, "Audio",
                                         PW_KEY_MEDIA_CATEGORY, "Capture",
                                         PW_KEY_MEDIA_CLASS, "Stream/Input/Audio",
                                         PW_KEY_NODE_NAME, "loomwell-capture",
                                         PW_KEY_NODE_DESCRIPTION, "Loomwell capture",
                                         PW_KEY_NODE_AUTOCONNECT, "false",
                                         PW_KEY_NODE_DONT_RECONNECT, "true",
                                         PW_KEY_STREAM_DONT_REMIX, "true",
                                         captureStreamMarker, bundleId.c_str(),
                                         nullptr);
        stream = pw_stream_new (connection.core(), "Loomwell capture", props);
        if (stream == nullptr)
            return -errno;

        connection.retainCore();
        pw_stream_add_listener (stream, &streamHook, streamEvents(), this);
        pw_core_add_listener (connection.core(), &coreHook, coreEvents(), this);
        coreHooked = true;

        spa_audio_info_raw info {};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = 48000;
        info.channels = 2;
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        uint8_t podBuffer[1024];
        auto builder = SPA_POD_BUILDER_INIT (podBuffer, sizeof (podBuffer));
        const spa_pod* params[] = { spa_format_audio_raw_build (&builder, SPA_PARAM_EnumFormat, &info) };
        const auto flags = static_cast<pw_stream_flags> (PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS
                                                         | PW_STREAM_FLAG_DONT_RECONNECT);
        return pw_stream_connect (stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1);
    }

    // Lock held. Once it returns, the stream can no longer call back.
    int destroy()
    {
        unhookCore();
        if (stream == nullptr)
            return 0;
        target.store (nullptr, std::memory_order_release);
        for (auto& [ports, link] : links)
            dropLink (*link);
        links.clear();
        const int result = pw_stream_disconnect (stream);
        pw_stream_destroy (stream);
        PipeWireConnection::instance().releaseCore();
        stream = nullptr;
        return result;
    }

    static void dropLink (Link& link)
    {
        spa_hook_remove (&link.hook);
        pw_proxy_destroy (link.proxy);
    }

    // Main thread: links every output port of the application's playback
    // streams that is not linked yet and lets go of links whose ports are gone.
    void follow (const std::vector<PipeWireNode>& nodes)
    {
        auto& connection = PipeWireConnection::instance();
        std::vector<std::pair<uint32_t, uint32_t>> wanted;
        std::map<uint32_t, uint32_t> nodeOfPort;
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
            for (const auto& pair : linkPlan (outputs, left, right))
            {
                wanted.push_back (pair);
                nodeOfPort[pair.first] = node.id;
            }
        }

        PipeWireConnection::Lock lock;
        if (stream == nullptr || connection.core() == nullptr)
            return;
        for (auto it = links.begin(); it != links.end();)
        {
            if (it->second->dead || std::find (wanted.begin(), wanted.end(), it->first) == wanted.end())
            {
                dropLink (*it->second);
                it = links.erase (it);
            }
            else
            {
                ++it;
            }
        }
        for (const auto& pair : wanted)
            if (links.count (pair) == 0)
                if (auto link = makeLink (nodeOfPort[pair.first], pair.first, pair.second))
                    links.emplace (pair, std::move (link));
    }

    std::unique_ptr<Link> makeLink (uint32_t outputNode, uint32_t outputPort, uint32_t inputPort)
    {
        // Not lingering: the link goes with us, also when we crash.
        auto* props = pw_properties_new (PW_KEY_OBJECT_LINGER, "false", nullptr);
        pw_properties_setf (props, PW_KEY_LINK_OUTPUT_NODE, "%u", outputNode);
        pw_properties_setf (props, PW_KEY_LINK_OUTPUT_PORT, "%u", outputPort);
        pw_properties_setf (props, PW_KEY_LINK_INPUT_NODE, "%u", nodeId);
        pw_properties_setf (props, PW_KEY_LINK_INPUT_PORT, "%u", inputPort);
        auto* proxy = static_cast<pw_proxy*> (pw_core_create_object (PipeWireConnection::instance().core(), "link-factory",
                                                                     PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
        pw_properties_free (props);
        if (proxy == nullptr)
            return nullptr;

        static const pw_proxy_events events = [] {
            pw_proxy_events e {};
            e.version = PW_VERSION_PROXY_EVENTS;
            e.removed = [] (void* data) { static_cast<Link*> (data)->dead = true; };
            e.error = [] (void* data, int, int, const char*) { static_cast<Link*> (data)->dead = true; };
            return e;
        }();
        auto link = std::make_unique<Link>();
        link->proxy = proxy;
        pw_proxy_add_listener (proxy, &link->hook, &events, link.get());
        return link;
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

    void add (CaptureKey key, std::unique_ptr<Capture> capture)
    {
        if (captures.empty())
            PipeWireConnection::instance().addListener (this);
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
            PipeWireConnection::instance().removeListener (this);

        int result = 0;
        {
            PipeWireConnection::Lock lock;
            result = capture->destroy();
        }
        if (result < 0)
            logMessage ("LMW: Error stopping capture: %s", spa_strerror (result));
        // The stream is gone: only now may the ring buffer's share go.
        capture.reset();
    }

private:
    void pipeWireNodesChanged (uint32_t bits) override
    {
        if ((bits & (PipeWireConnection::streamsChanged | PipeWireConnection::portsChanged | PipeWireConnection::clientsChanged)) == 0)
            return;
        const auto nodes = PipeWireConnection::instance().allNodes();
        for (auto& [key, capture] : captures)
            capture->follow (nodes);
    }
};

bool applicationIsPlaying (const std::string& bundleId)
{
    auto& connection = PipeWireConnection::instance();
    for (const auto& node : connection.allNodes())
        if (const auto identity = playbackIdentity (node, connection.clientProperties (node.clientId),
                                                    static_cast<int> (getpid()), processIsAlive))
            if (identity->bundleId == bundleId)
                return true;
    return false;
}

// Our stream's two input ports, once the registry has announced them.
bool findOwnPorts (Capture& capture, Clock::time_point deadline)
{
    auto& connection = PipeWireConnection::instance();
    for (;;)
    {
        for (const auto& port : connection.ports (capture.nodeId))
        {
            if (port.input && port.channel == "FL")
                capture.left = port.id;
            if (port.input && port.channel == "FR")
                capture.right = port.id;
        }
        if (capture.left != SPA_ID_INVALID && capture.right != SPA_ID_INVALID)
            return true;
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for (std::chrono::milliseconds (5));
    }
}

} // namespace

void setCaptureLogSink (CaptureLogSink sink)
{
    logSink.store (sink != nullptr ? sink : syslogSink);
}

void startAppCapture (const void* console, const std::string& bundleId, int32_t channelId,
                      std::shared_ptr<RingBuffer> ringBuffer, AbsentApp absent)
{
    const CaptureKey key { console, channelId };
    auto& registry = Registry::instance();
    registry.stop (key);
    const auto deadline = Clock::now() + startLimit;

    auto& connection = PipeWireConnection::instance();
    if (ringBuffer == nullptr || ! connection.refresh())
        return;
    if (! applicationIsPlaying (bundleId))
    {
        logMessage ("LMW: App not found: %s", bundleId.c_str());
        if (absent == AbsentApp::giveUp)
            return;
    }

    auto capture = std::make_unique<Capture>();
    capture->bundleId = bundleId;
    capture->share = std::move (ringBuffer);
    capture->target.store (capture->share.get());

    {
        PipeWireConnection::Lock lock;
        if (const int result = capture->connect(); result < 0)
        {
            logMessage ("LMW: Failed to add stream output: %s", spa_strerror (result));
            capture->destroy();
            return;
        }
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds> (deadline - Clock::now());
        const bool settled = connection.waitLocked ([&c = *capture] {
            return c.state == PW_STREAM_STATE_PAUSED || c.state == PW_STREAM_STATE_STREAMING || c.state == PW_STREAM_STATE_ERROR || c.refused;
        }, remaining);
        capture->unhookCore();
        const bool failed = capture->state == PW_STREAM_STATE_ERROR || capture->refused;
        if (settled && failed)
            logMessage ("LMW: Failed to start capture: %s", capture->error.empty() ? "refused" : capture->error.c_str());
        if (! settled || failed)
        {
            capture->destroy();
            return;
        }
        capture->nodeId = pw_stream_get_node_id (capture->stream);
    }

    if (! findOwnPorts (*capture, deadline))
    {
        PipeWireConnection::Lock lock;
        capture->destroy();
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

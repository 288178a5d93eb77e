#include "InputCapture.h"

#include "InputDevices.h"
#include "PipeWireConnection.h"
#include "RealtimeScope.h"
#include "SampleConversion.h"

#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/type-info.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <compare>
#include <limits>
#include <map>
#include <thread>

namespace loomwell
{

namespace
{

constexpr uint32_t captureRate = 48000;
constexpr auto connectTimeout = std::chrono::seconds (3);

struct CaptureKey
{
    const void* console;
    int32_t channelId;

    auto operator<=> (const CaptureKey&) const = default;
};

class InputCapture
{
public:
    InputCapture (std::shared_ptr<RingBuffer> buffer, int numChannels)
        : share (std::move (buffer)), ring (share.get()), channels (numChannels),
          // No single write can store more than the ring buffer holds.
          scratch (new float[static_cast<size_t> (ring->getCapacity())]) {}

    ~InputCapture() { stop(); }

    // Main thread. False when the stream did not connect; nothing is left running then.
    bool start (const InputSource& source)
    {
        auto& connection = PipeWireConnection::instance();
        PipeWireConnection::Lock lock;
        if (connection.core() == nullptr)
            return false;

        // A capture stream is never a target of anyone's routing, and the
        // session manager must not move it to another source when this one goes.
        auto* props = pw_properties_new (PW_KEY_MEDIA_TYPE, "Audio",
                                         PW_KEY_MEDIA_CATEGORY, "Capture",
                                         PW_KEY_MEDIA_NAME, "Loomwell input",
                                         PW_KEY_NODE_NAME, "loomwell-input",
                                         PW_KEY_NODE_DONT_RECONNECT, "true",
                                         nullptr);
        pw_properties_setf (props, PW_KEY_TARGET_OBJECT, "%" PRIu32, source.deviceId);

        stream = pw_stream_new (connection.core(), "Loomwell input", props);
        if (stream == nullptr)
            return false;
        connection.retainCore();
        pw_stream_add_listener (stream, &hook, &events, this);

        // The source's own positions, so that its first channels arrive
        // unmixed; PipeWire folds any further ones in as it sees fit.
        spa_audio_info_raw info {};
        info.format = SPA_AUDIO_FORMAT_F32P;
        info.rate = captureRate;
        info.channels = static_cast<uint32_t> (channels);
        for (uint32_t ch = 0; ch < info.channels; ++ch)
        {
            const auto* name = ch < source.channels.size() ? source.channels[ch].c_str() : "";
            const auto position = spa_debug_type_find_type_short (spa_type_audio_channel, name);
            const uint32_t fallback = channels == 1 ? SPA_AUDIO_CHANNEL_MONO : ch == 0 ? SPA_AUDIO_CHANNEL_FL : SPA_AUDIO_CHANNEL_FR;
            info.position[ch] = position != SPA_ID_INVALID && position != SPA_AUDIO_CHANNEL_UNKNOWN ? position : fallback;
        }
        if (channels == 2 && info.position[0] == info.position[1])
        {
            info.position[0] = SPA_AUDIO_CHANNEL_FL;
            info.position[1] = SPA_AUDIO_CHANNEL_FR;
        }

        uint8_t podBuffer[1024];
        auto builder = SPA_POD_BUILDER_INIT (podBuffer, sizeof (podBuffer));
        const spa_pod* params[] = { spa_format_audio_raw_build (&builder, SPA_PARAM_EnumFormat, &info) };
        const auto flags = static_cast<pw_stream_flags> (PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                                         | PW_STREAM_FLAG_RT_PROCESS | PW_STREAM_FLAG_DONT_RECONNECT);

        const bool connected = pw_stream_connect (stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) == 0
            && connection.waitLocked ([this] { return linked() || state == PW_STREAM_STATE_ERROR; }, connectTimeout)
            && linked();
        if (! connected)
            destroyStreamLocked();
        return connected;
    }

    // Main thread. Afterwards the callback is not running and never runs again.
    void stop()
    {
        writing.store (false);
        while (inProcess.load())
            std::this_thread::yield();

        if (stream != nullptr)
        {
            PipeWireConnection::Lock lock;
            destroyStreamLocked();
        }
        share.reset();
    }

    // Main thread.
    bool isLive() const
    {
        PipeWireConnection::Lock lock;
        return stream != nullptr && linked();
    }

private:
    bool linked() const { return state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING; }

    void destroyStreamLocked()
    {
        pw_stream_destroy (stream);
        PipeWireConnection::instance().releaseCore();
        stream = nullptr;
    }

    // Loop thread, lock held. A source that vanishes ends in an error or an
    // unconnected state; the capture then simply gets no more buffers.
    static void stateChanged (void* data, pw_stream_state, pw_stream_state newState, const char*)
    {
        static_cast<InputCapture*> (data)->state = newState;
        PipeWireConnection::instance().signalWaiters();
    }

    // The data thread, once per graph cycle: no locks, no allocation, no log.
    static void process (void* data)
    {
        const RealtimeScope scope ("loomwell-input");
        auto& capture = *static_cast<InputCapture*> (data);
        auto* buffer = pw_stream_dequeue_buffer (capture.stream);
        if (buffer == nullptr)
            return;

        // Announce first, then look: stop() clears `writing` before it waits
        // for this to fall, so either it waits or this sees the flag down.
        capture.inProcess.store (true);
        if (capture.writing.load())
        {
            const auto* spaBuffer = buffer->buffer;
            SampleBlock block;
            block.numBuffers = static_cast<int> (std::min<uint32_t> (spaBuffer->n_datas, static_cast<uint32_t> (capture.channels)));
            block.channelsInFirstBuffer = 1;
            block.frames = block.numBuffers < capture.channels ? 0 : std::numeric_limits<int>::max();
            for (int ch = 0; ch < block.numBuffers; ++ch)
            {
                const auto& d = spaBuffer->datas[ch];
                if (d.data == nullptr || d.chunk == nullptr || d.maxsize == 0)
                {
                    block.frames = 0;
                    break;
                }
                const auto offset = d.chunk->offset % d.maxsize;
                const auto size = std::min (d.chunk->size, d.maxsize - offset);
                block.data[ch] = static_cast<const float*> (SPA_PTROFF (d.data, offset, void));
                block.frames = std::min (block.frames, static_cast<int> (size / sizeof (float)));
            }
            writeCapturedBlock (block, capture.ring, { capture.scratch.get(), capture.ring->getCapacity() },
                                RingBuffer::clockNanos());
        }
        capture.inProcess.store (false);
        pw_stream_queue_buffer (capture.stream, buffer);
    }

    static pw_stream_events makeEvents()
    {
        pw_stream_events e {};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = stateChanged;
        e.process = process;
        return e;
    }

    inline static const pw_stream_events events = makeEvents();

    std::shared_ptr<RingBuffer> share; // dropped only once the stream cannot call back
    RingBuffer* const ring;
    const int channels;
    std::unique_ptr<float[]> scratch;

    pw_stream* stream = nullptr;
    spa_hook hook {};
    pw_stream_state state = PW_STREAM_STATE_UNCONNECTED;
    std::atomic<bool> writing { true };
    std::atomic<bool> inProcess { false };
};

// Main thread only, as are all its users. Made after the connection so that
// it is destroyed, stopping what still runs, while the connection still exists.
std::map<CaptureKey, std::unique_ptr<InputCapture>>& registry()
{
    PipeWireConnection::instance();
    static std::map<CaptureKey, std::unique_ptr<InputCapture>> captures;
    return captures;
}

} // namespace

void startInputCapture (const void* console, uint32_t deviceId, int32_t channelId,
                        std::shared_ptr<RingBuffer> ringBuffer)
{
    stopInputCapture (console, channelId);
    if (ringBuffer == nullptr || ! PipeWireConnection::instance().refresh())
        return;

    const auto source = findInputSource (deviceId);
    if (! source || source->channels.empty())
        return;

    auto capture = std::make_unique<InputCapture> (std::move (ringBuffer), source->channels.size() == 1 ? 1 : 2);
    if (capture->start (*source))
        registry()[{ console, channelId }] = std::move (capture);
}

void stopInputCapture (const void* console, int32_t channelId)
{
    auto& captures = registry();
    const auto it = captures.find ({ console, channelId });
    if (it == captures.end())
        return;

    auto capture = std::move (it->second);
    captures.erase (it);
    capture->stop();
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
        if (it->first.console == console)
        {
            auto capture = std::move (it->second);
            it = captures.erase (it);
            capture->stop();
        }
        else
        {
            ++it;
        }
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

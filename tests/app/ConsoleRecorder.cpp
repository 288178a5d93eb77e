#include "ConsoleRecorder.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

namespace loomwell::testing
{

struct ConsoleRecorder::Loop
{
    pw_thread_loop* thread = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook streamHook {};

    ~Loop()
    {
        if (thread != nullptr)
            pw_thread_loop_stop (thread);
        if (stream != nullptr)
        {
            spa_hook_remove (&streamHook);
            pw_stream_destroy (stream);
        }
        if (core != nullptr)
            pw_core_disconnect (core);
        if (context != nullptr)
            pw_context_destroy (context);
        if (thread != nullptr)
            pw_thread_loop_destroy (thread);
    }
};

ConsoleRecorder::ConsoleRecorder (int channels, double maxSeconds)
    : numChannels (channels),
      samples (static_cast<size_t> (maxSeconds * 48000.0) * static_cast<size_t> (channels)),
      cycles (static_cast<size_t> (maxSeconds * 48000.0 / 16.0) + 1)
{
}

ConsoleRecorder::~ConsoleRecorder()
{
    stop();
}

void ConsoleRecorder::process (void* data)
{
    auto& self = *static_cast<ConsoleRecorder*> (data);
    const auto now = Clock::now();
    auto* buffer = pw_stream_dequeue_buffer (self.loop->stream);
    if (buffer == nullptr)
        return;

    const auto& d = buffer->buffer->datas[0];
    const auto stride = static_cast<uint32_t> (static_cast<size_t> (self.numChannels) * sizeof (float));
    const auto offset = std::min (d.chunk->offset, d.maxsize);
    const auto count = std::min (d.chunk->size, d.maxsize - offset) / stride;
    const auto first = self.frames.load (std::memory_order_relaxed);
    const auto capacity = static_cast<uint32_t> (self.samples.size() / static_cast<size_t> (self.numChannels));
    const auto kept = std::min (count, capacity - std::min (first, capacity));

    if (d.data != nullptr && kept > 0)
        std::memcpy (self.samples.data() + static_cast<size_t> (first) * static_cast<size_t> (self.numChannels),
                     static_cast<const uint8_t*> (d.data) + offset, static_cast<size_t> (kept) * stride);
    if (const auto n = self.numCycles.load (std::memory_order_relaxed); n < self.cycles.size())
    {
        self.cycles[n] = Block { now, first, kept };
        self.numCycles.store (n + 1, std::memory_order_release);
    }
    self.frames.store (first + kept, std::memory_order_release);
    pw_stream_queue_buffer (self.loop->stream, buffer);
}

bool ConsoleRecorder::start (const std::string& sinkName, std::chrono::milliseconds timeout)
{
    if (loop != nullptr)
        return false;
    pw_init (nullptr, nullptr);
    loop = std::make_unique<Loop>();
    loop->thread = pw_thread_loop_new ("console-recorder", nullptr);
    if (loop->thread == nullptr)
        return false;
    loop->context = pw_context_new (pw_thread_loop_get_loop (loop->thread), nullptr, 0);
    if (loop->context == nullptr || pw_thread_loop_start (loop->thread) != 0)
        return false;

    pw_thread_loop_lock (loop->thread);
    bool connected = false;
    loop->core = pw_context_connect (loop->context, nullptr, 0);
    if (loop->core != nullptr)
    {
        // The sink's monitor, channel for channel: no remixing, and no
        // latency of its own that would change the graph's quantum.
        auto* props = pw_properties_new (PW_KEY_MEDIA_TYPE, "Audio",
                                         PW_KEY_MEDIA_CATEGORY, "Capture",
                                         PW_KEY_NODE_NAME, "console-recorder",
                                         "target.object", sinkName.c_str(),
                                         "stream.capture.sink", "true",
                                         PW_KEY_STREAM_DONT_REMIX, "true",
                                         nullptr);
        loop->stream = pw_stream_new (loop->core, "Console recorder", props);
        if (loop->stream != nullptr)
        {
            static const pw_stream_events events = [] {
                pw_stream_events e {};
                e.version = PW_VERSION_STREAM_EVENTS;
                e.process = process;
                return e;
            }();
            pw_stream_add_listener (loop->stream, &loop->streamHook, &events, this);

            spa_audio_info_raw info {};
            info.format = SPA_AUDIO_FORMAT_F32;
            info.rate = 48000;
            info.channels = static_cast<uint32_t> (numChannels);
            for (uint32_t ch = 0; ch < info.channels && ch < SPA_AUDIO_MAX_CHANNELS; ++ch)
                info.position[ch] = SPA_AUDIO_CHANNEL_AUX0 + ch;
            uint8_t podBuffer[1024];
            auto builder = SPA_POD_BUILDER_INIT (podBuffer, sizeof (podBuffer));
            const spa_pod* params[] = { spa_format_audio_raw_build (&builder, SPA_PARAM_EnumFormat, &info) };
            const auto flags = static_cast<pw_stream_flags> (PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                                             | PW_STREAM_FLAG_RT_PROCESS);
            connected = pw_stream_connect (loop->stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) == 0;
        }
    }
    pw_thread_loop_unlock (loop->thread);
    if (! connected)
        return false;

    for (const auto end = Clock::now() + timeout; Clock::now() < end; std::this_thread::sleep_for (std::chrono::milliseconds (10)))
        if (numCycles.load (std::memory_order_acquire) > 0)
            return true;
    return false;
}

void ConsoleRecorder::stop()
{
    if (loop == nullptr)
        return;
    if (loop->thread != nullptr && loop->stream != nullptr)
    {
        pw_thread_loop_lock (loop->thread);
        pw_stream_disconnect (loop->stream);
        pw_thread_loop_unlock (loop->thread);
    }
    loop.reset();
}

Recording ConsoleRecorder::recording() const
{
    Recording result;
    result.channels = numChannels;
    result.sampleRate = 48000;
    result.samples.assign (samples.begin(),
                           samples.begin() + static_cast<std::ptrdiff_t> (frames.load()) * numChannels);
    return result;
}

uint32_t ConsoleRecorder::quantum() const
{
    std::map<uint32_t, int> sizes;
    for (uint32_t i = 0; i < numCycles.load(); ++i)
        if (cycles[i].frames > 0)
            ++sizes[cycles[i].frames];
    const auto most = std::max_element (sizes.begin(), sizes.end(), [] (auto& a, auto& b) { return a.second < b.second; });
    return most == sizes.end() ? 0 : most->first;
}

std::optional<ConsoleRecorder::Clock::time_point> ConsoleRecorder::firstSound (const std::vector<int>& channels, float threshold) const
{
    for (uint32_t i = 0; i < numCycles.load(); ++i)
    {
        const auto& block = cycles[i];
        for (uint32_t f = block.firstFrame; f < block.firstFrame + block.frames; ++f)
            for (const auto ch : channels)
                if (std::abs (samples[static_cast<size_t> (f) * static_cast<size_t> (numChannels) + static_cast<size_t> (ch)]) > threshold)
                    return block.when;
    }
    return std::nullopt;
}

bool ConsoleRecorder::writeWav (const std::string& path) const
{
    // WAVE_FORMAT_IEEE_FLOAT, 32-bit, 48 kHz.
    const auto count = static_cast<uint32_t> (frames.load()) * static_cast<uint32_t> (numChannels);
    const uint32_t dataBytes = count * 4;
    const auto ch = static_cast<uint32_t> (numChannels);
    std::ofstream out (path, std::ios::binary);
    const auto u16 = [&] (uint32_t v) { out.put (static_cast<char> (v & 0xFF)).put (static_cast<char> (v >> 8 & 0xFF)); };
    const auto u32 = [&] (uint32_t v) { u16 (v & 0xFFFF); u16 (v >> 16); };
    out << "RIFF"; u32 (36 + dataBytes); out << "WAVEfmt "; u32 (16);
    u16 (3); u16 (ch); u32 (48000); u32 (48000 * ch * 4); u16 (ch * 4); u16 (32);
    out << "data"; u32 (dataBytes);
    out.write (reinterpret_cast<const char*> (samples.data()), static_cast<std::streamsize> (dataBytes));
    return static_cast<bool> (out);
}

} // namespace loomwell::testing

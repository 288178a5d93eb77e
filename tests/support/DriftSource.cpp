// An application on a clock of its own, as one playing on a device whose
// crystal runs `ppm` off: it drives its graph itself, a cycle every quantum
// / 48000 x (1 + ppm / 10^6) s by a timer of its own. Its left channel plays
// 440 Hz and its right 441 Hz at 0.3, both computed from the frame number, so
// that every sample tells which of its frames it is. It links to nothing by
// itself, and ends after `seconds` or on SIGTERM. As a "microphone" it is an
// input device (Audio/Source) on that clock; "on <sink> <rate>" makes it an
// application playing at that rate to that sink, on the sink's clock.
//
//   loomwell_drift_source <name> <ppm> <seconds> [microphone | on <sink> <rate>]

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <sched.h>

#include <atomic>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>

namespace
{
pw_main_loop* loop = nullptr;
pw_stream* stream = nullptr;
spa_source* timer = nullptr;
double ppm = 0.0, rate = 48000.0;
uint64_t frame = 0;
uint32_t quantum = 0;
std::atomic<uint32_t> quantumSeen { 1024 }; // by the data thread
std::atomic<int> missed { 0 };

float tone (double frequency, uint64_t k)
{
    // The phase from k modulo a second: exact however long it plays.
    const auto perSecond = static_cast<uint64_t> (rate);
    return static_cast<float> (0.3 * std::sin (2.0 * std::numbers::pi * std::fmod (frequency * static_cast<double> (k % perSecond), rate) / rate));
}

void schedule (uint32_t frames)
{
    const auto period = static_cast<int64_t> (std::llround (1e9 * frames / 48000.0 * (1.0 + ppm * 1e-6)));
    timespec every { period / 1'000'000'000, period % 1'000'000'000 };
    pw_loop_update_timer (pw_main_loop_get_loop (loop), timer, &every, &every, false);
    quantum = frames;
}

void process (void*)
{
    auto* buffer = pw_stream_dequeue_buffer (stream);
    if (buffer == nullptr)
    {
        missed.fetch_add (1);
        return;
    }
    auto& d = buffer->buffer->datas[0];
    auto* out = static_cast<float*> (d.data);
    const uint32_t frames = std::min<uint32_t> (buffer->requested > 0 ? static_cast<uint32_t> (buffer->requested) : 1024, d.maxsize / 8);
    for (uint32_t j = 0; out != nullptr && j < frames; ++j, ++frame)
    {
        out[2 * j] = tone (440.0, frame);
        out[2 * j + 1] = tone (441.0, frame);
    }
    d.chunk->offset = 0;
    d.chunk->stride = 8;
    d.chunk->size = frames * 8;
    pw_stream_queue_buffer (stream, buffer);
    quantumSeen.store (frames);
}
} // namespace

int main (int argc, char** argv)
{
    const std::string mode = argc > 4 ? argv[4] : "";
    if (argc != (mode == "on" ? 7 : mode.empty() ? 4 : 5))
        return 2;
    pw_init (&argc, &argv);
    // Its timer is its clock: like a device's interrupt, it must not wait
    // behind ordinary processes, nor before PipeWire's real-time threads
    // (where that is not allowed, it runs as it is).
    const sched_param realtime { .sched_priority = 1 };
    sched_setscheduler (0, SCHED_FIFO, &realtime);
    ppm = std::atof (argv[2]);
    rate = mode == "on" ? std::atof (argv[6]) : 48000.0;
    loop = pw_main_loop_new (nullptr);
    auto* loopOf = pw_main_loop_get_loop (loop);
    static const pw_stream_events events = [] {
        pw_stream_events e {};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = process;
        return e;
    }();
    auto* props = pw_properties_new (PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_APP_NAME, argv[1],
                                     PW_KEY_APP_PROCESS_BINARY, argv[1], PW_KEY_NODE_NAME, argv[1], PW_KEY_NODE_DESCRIPTION, argv[1],
                                     "priority.driver", "100000", PW_KEY_NODE_LATENCY, "1024/48000", nullptr);
    if (mode == "microphone")
        pw_properties_set (props, PW_KEY_MEDIA_CLASS, "Audio/Source");
    if (mode == "on")
        pw_properties_set (props, PW_KEY_TARGET_OBJECT, argv[5]);
    stream = pw_stream_new_simple (loopOf, argv[1], props, &events, nullptr);
    spa_audio_info_raw info { .format = SPA_AUDIO_FORMAT_F32, .flags = 0, .rate = static_cast<uint32_t> (rate), .channels = 2, .position = { SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR } };
    uint8_t pod[1024];
    auto builder = SPA_POD_BUILDER_INIT (pod, sizeof (pod));
    const spa_pod* params[] = { spa_format_audio_raw_build (&builder, SPA_PARAM_EnumFormat, &info) };
    const auto flags = mode == "on" ? PW_STREAM_FLAG_AUTOCONNECT : PW_STREAM_FLAG_DRIVER;
    pw_stream_connect (stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, static_cast<pw_stream_flags> (PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS | flags), params, 1);

    // The timer follows the quantum the graph asks of us.
    timer = pw_loop_add_timer (loopOf, [] (void*, uint64_t) {
        if (pw_stream_trigger_process (stream) < 0)
            std::fprintf (stderr, "trigger refused at frame %llu\n", static_cast<unsigned long long> (frame));
        if (static int seen = 0; missed.load() != seen)
            std::fprintf (stderr, "%d cycles without a buffer by frame %llu\n", seen = missed.load(), static_cast<unsigned long long> (frame));
        if (quantumSeen.load() != quantum)
            schedule (quantumSeen.load());
    }, nullptr);
    if (mode != "on")
        schedule (1024);
    auto* end = pw_loop_add_timer (loopOf, [] (void*, uint64_t) { pw_main_loop_quit (loop); }, nullptr);
    timespec after { static_cast<time_t> (std::atof (argv[3])), 0 }, never { 0, 0 };
    pw_loop_update_timer (loopOf, end, &after, &never, false);
    pw_loop_add_signal (loopOf, SIGTERM, [] (void*, int) { pw_main_loop_quit (loop); }, nullptr);
    pw_main_loop_run (loop);
    pw_stream_destroy (stream);
    pw_main_loop_destroy (loop);
    pw_deinit();
    return 0;
}

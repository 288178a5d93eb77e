#include "PipeWireWorld.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <numbers>
#include <regex>
#include <sstream>
#include <thread>
#include <utility>

extern char** environ;

namespace loomwell::testing
{

using Clock = std::chrono::steady_clock;

bool writeWav (const std::string& path, int channels, size_t frames, const std::function<float (size_t, int)>& sample)
{
    static_assert (std::endian::native == std::endian::little, "a WAV file's words are little-endian");
    const auto ch = static_cast<uint32_t> (channels), bytes = static_cast<uint32_t> (frames) * ch * 4;
    // RIFF, WAVE, "fmt " (float, channels, rate, byte rate, frame size, bits), data
    const uint32_t header[] = { 0x46464952, 36 + bytes, 0x45564157, 0x20746d66, 16, 3 | ch << 16, 48000, 48000 * ch * 4, ch * 4 | 32 << 16, 0x61746164, bytes };
    std::ofstream out (path, std::ios::binary);
    out.write (reinterpret_cast<const char*> (header), sizeof header);
    for (size_t f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c)
        {
            const float value = sample (f, c);
            out.write (reinterpret_cast<const char*> (&value), sizeof value);
        }
    return static_cast<bool> (out);
}

static void writeToneWav (const std::string& path, const std::vector<Sine>& tones, double seconds)
{
    writeWav (path, static_cast<int> (tones.size()), static_cast<size_t> (seconds * 48000), [&] (size_t f, int c) {
        const auto& s = tones[static_cast<size_t> (c)];
        return static_cast<float> (s.level * std::sin (2.0 * std::numbers::pi * s.frequency * static_cast<double> (f) / 48000.0));
    });
}

bool waitUntil (const std::function<bool()>& ready, std::chrono::milliseconds timeout)
{
    for (const auto end = Clock::now() + timeout; ! ready(); std::this_thread::sleep_for (20ms))
        if (Clock::now() > end)
            return false;
    return true;
}

pid_t spawn (const std::vector<std::string>& argv, const std::string& log, int out, int err, char* const* env)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_addopen (&actions, 0, "/dev/null", O_RDONLY, 0);
    if (err >= 0)
        posix_spawn_file_actions_adddup2 (&actions, err, 2);
    else
        posix_spawn_file_actions_addopen (&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2 (&actions, out >= 0 ? out : 2, 1);
    // A test that crashes takes what it started with it.
    std::vector<char*> args { const_cast<char*> ("setpriv"), const_cast<char*> ("--pdeathsig=TERM"), const_cast<char*> ("--") };
    for (const auto& a : argv)
        args.push_back (const_cast<char*> (a.c_str()));
    args.push_back (nullptr);
    pid_t pid = -1;
    const auto started = posix_spawnp (&pid, args[0], &actions, nullptr, args.data(), env != nullptr ? env : environ) == 0;
    posix_spawn_file_actions_destroy (&actions);
    return started ? pid : -1;
}

std::optional<std::string> run (const std::vector<std::string>& argv)
{
    int fds[2];
    if (::pipe2 (fds, O_CLOEXEC) != 0)
        return std::nullopt;
    const auto pid = spawn (argv, "/dev/null", fds[1]);
    ::close (fds[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = ::read (fds[0], buffer, sizeof buffer)) > 0;)
        output.append (buffer, static_cast<size_t> (n));
    ::close (fds[0]);
    int status = 0;
    return pid > 0 && ::waitpid (pid, &status, 0) == pid && WIFEXITED (status) && WEXITSTATUS (status) == 0 ? std::optional (output) : std::nullopt;
}

bool stopProcess (pid_t pid, std::chrono::milliseconds deadline)
{
    if (pid <= 0)
        return false;
    ::kill (pid, SIGTERM);
    if (waitUntil ([pid] { return ::waitpid (pid, nullptr, WNOHANG) == pid; }, deadline))
        return true;
    ::kill (pid, SIGKILL);
    ::waitpid (pid, nullptr, 0);
    return false;
}

// The daemon's objects as `pw-cli ls` lists them: each one's properties,
// with its type under "".
using Globals = std::map<uint32_t, std::map<std::string, std::string>>;
static Globals globals()
{
    static const std::regex object (R"(^\s*id (\d+), type ([^/]+)/\d+$)"), property (R"re(^\s*(\S+) = "(.*)"$)re");
    Globals result;
    std::istringstream lines (run ({ "pw-cli", "ls" }).value_or (""));
    std::map<std::string, std::string>* current = nullptr;
    for (std::string line; std::getline (lines, line);)
        if (std::smatch m; std::regex_match (line, m, object))
            (current = &result[static_cast<uint32_t> (std::stoul (m[1]))])->emplace ("", m[2]);
        else if (current != nullptr && std::regex_match (line, m, property))
            current->emplace (m[1], m[2]);
    return result;
}

static std::vector<uint32_t> find (Globals& all, const std::map<std::string, std::string>& wanted)
{
    std::vector<uint32_t> ids;
    for (auto& [id, props] : all)
        if (std::all_of (wanted.begin(), wanted.end(), [&] (const auto& w) { return props[w.first] == w.second; }))
            ids.push_back (id);
    return ids;
}

PipeWireWorld::PipeWireWorld() = default;
PipeWireWorld::~PipeWireWorld() { stop(); }

pid_t PipeWireWorld::spawn (const std::string& logName, const std::vector<std::string>& argv) const
{
    return testing::spawn (argv, dir + "/" + logName + ".log");
}

bool PipeWireWorld::start()
{
    // A daemon has been seen not to come up in time on a loaded machine; a
    // second try in a fresh directory gets past that.
    for (int attempt = 1; attempt <= 2 && dir.empty(); ++attempt)
    {
        char pattern[] = "/tmp/loomwell-pw-XXXXXX";
        dir = ::mkdtemp (pattern) != nullptr ? pattern : "";
        pw_init (nullptr, nullptr);
        for (const auto& [name, value] : std::map<std::string, std::string> {
                 { "XDG_RUNTIME_DIR", dir }, { "PIPEWIRE_RUNTIME_DIR", dir }, { "PIPEWIRE_REMOTE", "pipewire-0" }, { "XDG_STATE_HOME", dir + "/state" },
                 { "XDG_CONFIG_HOME", dir + "/config" }, { "DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir + "/bus" } })
        {
            const char* old = std::getenv (name.c_str());
            savedEnv.emplace_back (name, old != nullptr ? std::optional<std::string> (old) : std::nullopt);
            ::setenv (name.c_str(), value.c_str(), 1);
        }
        bus = spawn ("dbus", { "dbus-daemon", "--session", "--address=unix:path=" + dir + "/bus", "--nofork", "--nopidfile" });
        if (! waitUntil ([this] { return std::filesystem::exists (dir + "/bus"); }, 5s) || ! startSoundServer())
        {
            std::cerr << "PipeWireWorld: start attempt " << attempt << " failed\n" << logs();
            stop();
        }
    }
    return ! dir.empty();
}

bool PipeWireWorld::startSoundServer()
{
    for (const char* daemon : { "pipewire", "wireplumber" })
        soundServer.push_back (spawn (daemon, { daemon }));
    // The session manager announces itself with the "default" metadata.
    if (waitUntil ([] { auto all = globals(); return ! find (all, { { "", PW_TYPE_INTERFACE_Metadata }, { PW_KEY_METADATA_NAME, "default" } }).empty(); }, 20s)
        && createSink ("speakers", "Speakers", 2))
        return true;
    stopSoundServer (true);
    return false;
}

bool PipeWireWorld::stopSoundServer (bool crash)
{
    stopSources();
    bool clean = true;
    for (auto it = soundServer.rbegin(); it != soundServer.rend(); ++it)
    {
        if (crash)
            ::kill (*it, SIGKILL);
        clean = stopProcess (*it) && clean;
    }
    soundServer.clear();
    return clean || crash;
}

void PipeWireWorld::stop()
{
    stopSoundServer (false);
    stopProcess (std::exchange (bus, -1));
    for (auto it = savedEnv.rbegin(); it != savedEnv.rend(); ++it)
        it->second ? ::setenv (it->first.c_str(), it->second->c_str(), 1) : ::unsetenv (it->first.c_str());
    savedEnv.clear();
    std::error_code ignored;
    std::filesystem::remove_all (std::exchange (dir, ""), ignored);
}

std::string PipeWireWorld::logs() const
{
    std::ostringstream out;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator (dir, ignored))
        if (entry.path().extension() == ".log")
            out << "== " << entry.path().filename().string() << '\n' << std::ifstream (entry.path()).rdbuf();
    return out.str();
}

std::optional<uint32_t> PipeWireWorld::createSink (const std::string& name, const std::string& description, int channels, bool source, int rate)
{
    std::string positions;
    for (int ch = 0; ch < channels; ++ch)
        positions += channels == 1 ? "MONO" : channels == 2 ? (ch == 0 ? "FL " : "FR") : "AUX" + std::to_string (ch) + " ";
    run ({ "pw-cli", "create-node", "adapter", "{ factory.name=support.null-audio-sink object.linger=true node.name=" + name
             + " node.description=\"" + description + "\" media.class=" + (source ? "Audio/Source/Virtual" : "Audio/Sink")
             + " audio.channels=" + std::to_string (channels) + " audio.position=[ " + positions + " ] audio.rate=" + std::to_string (rate)
             + " clock.rate=" + std::to_string (rate)
             + (name == "speakers" ? " priority.session=2000 }" : " }") }); // the Speakers are what streams default to
    return nodeNamed (name, static_cast<size_t> (channels), "in");
}

bool PipeWireWorld::destroyNode (uint32_t id)
{
    // Ids are reused at once; serials are not.
    const auto serial = [id] { auto all = globals(); return all.contains (id) ? all[id][PW_KEY_OBJECT_SERIAL] : ""; };
    const auto before = serial();
    return ! before.empty() && run ({ "pw-cli", "destroy", std::to_string (id) }) && waitUntil ([&] { return serial() != before; });
}

std::optional<uint32_t> PipeWireWorld::nodeNamed (const std::string& name, size_t ports, const char* direction)
{
    std::optional<uint32_t> found;
    if (! soundServer.empty())
        waitUntil ([&] {
            auto all = globals();
            for (const auto id : find (all, { { "", PW_TYPE_INTERFACE_Node }, { PW_KEY_NODE_NAME, name } }))
                if (find (all, { { "", PW_TYPE_INTERFACE_Port }, { PW_KEY_NODE_ID, std::to_string (id) }, { PW_KEY_PORT_DIRECTION, direction } }).size() == ports)
                    found = id;
            return found.has_value();
        });
    return found;
}

pid_t PipeWireWorld::playTone (const std::string& binary, const std::string& name, double frequency, float level, double seconds)
{
    // Applications of one tone share its file, which may be long.
    const auto wav = dir + "/" + std::to_string (frequency) + "-" + std::to_string (level) + "-" + std::to_string (seconds) + ".wav";
    if (! std::filesystem::exists (wav))
        writeToneWav (wav, { { frequency, level } }, seconds);
    apps.push_back (spawn ("app-" + binary, { "pw-cat", "--playback", "-P", "{ application.name=\"" + name + "\" application.process.binary=\""
                                                                                 + binary + "\" node.name=\"" + binary + "\" }", wav }));
    return apps.back() > 0 && nodeNamed (binary, 2) ? apps.back() : -1;
}

pid_t PipeWireWorld::playDrifting (const std::string& name, double ppm, double seconds, const std::vector<std::string>& mode)
{
    std::vector<std::string> argv { LOOMWELL_DRIFT_SOURCE, name, std::to_string (ppm), std::to_string (seconds) };
    argv.insert (argv.end(), mode.begin(), mode.end());
    apps.push_back (spawn ("app-" + name, argv));
    return apps.back() > 0 && nodeNamed (name, 2) ? apps.back() : -1;
}

void PipeWireWorld::stopApp (pid_t pid)
{
    std::erase (apps, pid);
    stopProcess (pid);
}

bool PipeWireWorld::feedInput (const std::string& uid, const std::string& description, const std::vector<Sine>& tones, double seconds)
{
    // A feed is no application a person would pick: a process id no process
    // can have keeps it out of the picker.
    const auto wav = dir + "/" + uid + ".wav", feed = uid + "-feed", props = "{ application.process.id=4194305 node.name=" + feed + " }";
    writeToneWav (wav, tones, seconds);
    auto& [processes, node] = inputs[uid];
    if (tones.size() == 1) // fed through a link of its own: the session manager links nothing to it
        return (node = createSink (uid, description, 1, true))
            && processes.emplace_back (spawn (feed, { "pw-cat", "--playback", "--target", "0", "-P", props, wav })) > 0
            && waitUntil ([&] { return run ({ "pw-link", feed + ":output_MONO", uid + ":input_MONO" }).has_value(); });
    processes.push_back (spawn (uid, { "pw-loopback", "-c", "2", "-m", "[ FL FR ]",
        "--capture-props={ media.class=Audio/Sink node.name=" + feed + " node.description=\"" + description + " feed\" }",
        "--playback-props={ media.class=Audio/Source node.name=" + uid + " node.description=\"" + description + "\" }" }));
    return nodeNamed (uid, 2) && nodeNamed (feed, 2, "in") && processes.emplace_back (spawn (feed, { "pw-cat", "--playback", "--target", feed, "-P", props, wav })) > 0;
}

void PipeWireWorld::stopSources()
{
    for (const auto pid : std::exchange (apps, {}))
        stopProcess (pid);
    for (auto& [uid, input] : std::exchange (inputs, {}))
    {
        for (auto pid = input.first.rbegin(); pid != input.first.rend(); ++pid)
            stopProcess (*pid);
        if (input.second)
            destroyNode (*input.second);
    }
}

//==============================================================================
double Recording::tone (int channel, double frequency) const
{
    const double k = 2.0 * std::cos (2.0 * std::numbers::pi * frequency / 48000.0);
    double s1 = 0, s2 = 0;
    for (size_t f = settle; f < frames(); ++f)
        s2 = std::exchange (s1, at (f, channel) + k * s1 - s2);
    return frames() <= settle ? 0.0 : 2.0 * std::sqrt (std::max (0.0, s1 * s1 + s2 * s2 - k * s1 * s2)) / static_cast<double> (frames() - settle);
}

double Recording::rmsDbfs (int channel) const
{
    double sum = 1e-30;
    for (size_t f = settle; f < frames(); ++f)
        sum += static_cast<double> (at (f, channel)) * at (f, channel);
    return 10.0 * std::log10 (sum / static_cast<double> (std::max<size_t> (1, frames() - std::min (settle, frames()))));
}

int Recording::dropouts (int channel) const
{
    int result = 0, zeros = 0;
    for (size_t f = settle; f <= frames(); ++f)
        if (f < frames() && at (f, channel) == 0.0f)
            ++zeros;
        else
            result += std::exchange (zeros, 0) >= 64;
    return result;
}

std::string mismatches (const Recording& recording, const std::vector<Heard>& wanted)
{
    std::ostringstream out;
    for (const auto& heard : wanted)
        for (int ch = 0; ch < recording.channels; ++ch)
        {
            const auto amplitude = recording.tone (ch, heard.frequency);
            const bool here = std::count (heard.channels.begin(), heard.channels.end(), ch) > 0;
            if (here ? amplitude < (recording.dropouts (ch) > 0 ? 0.5 : 0.85) * heard.level || amplitude > 1.15 * heard.level : amplitude > 0.03)
                out << heard.frequency << " Hz on channel " << ch << ": " << amplitude << " (wanted " << (here ? heard.level : 0.0f) << "); ";
        }
    return recording.frames() < 2 * Recording::settle ? "no recording" : out.str();
}

struct ConsoleRecorder::Stream
{
    pw_thread_loop* thread = pw_thread_loop_new ("console-recorder", nullptr);
    pw_stream* stream = nullptr; // with a context and core of its own

    ~Stream()
    {
        pw_thread_loop_stop (thread);
        if (stream != nullptr)
            pw_stream_destroy (stream);
        pw_thread_loop_destroy (thread);
    }
};

ConsoleRecorder::ConsoleRecorder (int channels, double maxSeconds)
    : numChannels (channels), samples (static_cast<size_t> (maxSeconds * 48000.0 * channels)), cycles (static_cast<size_t> (maxSeconds * 3000.0))
{
}

ConsoleRecorder::~ConsoleRecorder()
{
    stop();
}

bool ConsoleRecorder::start (const std::string& sinkName)
{
    static const pw_stream_events events = [] {
        pw_stream_events e {};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = [] (void* data) {
            auto& self = *static_cast<ConsoleRecorder*> (data);
            const auto now = Clock::now();
            auto* buffer = pw_stream_dequeue_buffer (self.stream->stream);
            if (buffer == nullptr)
                return;
            const auto& d = buffer->buffer->datas[0];
            const auto stride = static_cast<uint32_t> (self.numChannels) * 4, offset = std::min (d.chunk->offset, d.maxsize);
            const auto first = self.frames.load (std::memory_order_relaxed);
            const auto room = static_cast<uint32_t> (self.samples.size() / static_cast<size_t> (self.numChannels)) - first;
            const auto kept = d.data == nullptr ? 0 : std::min (std::min (d.chunk->size, d.maxsize - offset) / stride, room);
            std::memcpy (self.samples.data() + first * static_cast<size_t> (self.numChannels), static_cast<const uint8_t*> (d.data) + offset, kept * stride);
            if (const auto n = self.numCycles.load (std::memory_order_relaxed); n < self.cycles.size())
            {
                self.cycles[n] = { now, kept };
                self.numCycles.store (n + 1, std::memory_order_release);
            }
            self.frames.store (first + kept, std::memory_order_release);
            pw_stream_queue_buffer (self.stream->stream, buffer);
        };
        return e;
    }();
    spa_audio_info_raw info { .format = SPA_AUDIO_FORMAT_F32, .flags = 0, .rate = 48000, .channels = static_cast<uint32_t> (numChannels), .position = {} };
    for (uint32_t ch = 0; ch < info.channels; ++ch)
        info.position[ch] = SPA_AUDIO_CHANNEL_AUX0 + ch;
    uint8_t pod[1024];
    auto builder = SPA_POD_BUILDER_INIT (pod, sizeof (pod));
    const spa_pod* params[] = { spa_format_audio_raw_build (&builder, SPA_PARAM_EnumFormat, &info) };

    stream = std::make_unique<Stream>();
    pw_thread_loop_start (stream->thread);
    pw_thread_loop_lock (stream->thread);
    // The sink's monitor channel for channel: no remixing, and no latency of
    // its own that would change the graph's quantum.
    if ((stream->stream = pw_stream_new_simple (pw_thread_loop_get_loop (stream->thread), "Console recorder",
                                                pw_properties_new (PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_NAME,
                                                                   "console-recorder", PW_KEY_TARGET_OBJECT, sinkName.c_str(), PW_KEY_STREAM_CAPTURE_SINK,
                                                                   "true", PW_KEY_STREAM_DONT_REMIX, "true", nullptr),
                                                &events, this)) != nullptr)
        pw_stream_connect (stream->stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                           static_cast<pw_stream_flags> (PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS), params, 1);
    pw_thread_loop_unlock (stream->thread);
    return waitUntil ([this] { return numCycles.load (std::memory_order_acquire) > 0; });
}

void ConsoleRecorder::stop()
{
    if (stream != nullptr && stream->stream != nullptr)
    {
        pw_thread_loop_lock (stream->thread);
        pw_stream_disconnect (stream->stream); // the data loop calls back no more
        pw_thread_loop_unlock (stream->thread);
    }
    stream.reset();
}

Recording ConsoleRecorder::recording() const
{
    return { numChannels, { samples.begin(), samples.begin() + static_cast<std::ptrdiff_t> (frames.load()) * numChannels } };
}

std::vector<std::pair<ConsoleRecorder::Clock::time_point, uint32_t>> ConsoleRecorder::cycleLog() const
{
    return { cycles.begin(), cycles.begin() + numCycles.load (std::memory_order_acquire) };
}

} // namespace loomwell::testing

#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace loomwell::testing
{

using namespace std::chrono_literals;

struct Sine
{
    double frequency = 0.0;
    float level = 0.0f;
};

// A 32-bit float WAV at 48 kHz, sample (frame, channel) by sample.
bool writeWav (const std::string& path, int channels, size_t frames, const std::function<float (size_t, int)>& sample);
bool waitUntil (const std::function<bool()>& ready, std::chrono::milliseconds timeout = 10s);
// A program with its errors appended to `log` (or on descriptor `err`), its
// output too unless `out` is a descriptor for it, in this process's
// environment unless `env` is given; -1 when it cannot start.
pid_t spawn (const std::vector<std::string>& argv, const std::string& log = "/dev/null", int out = -1, int err = -1, char* const* env = nullptr);
// A program run to its end: its standard output, nothing when it failed.
std::optional<std::string> run (const std::vector<std::string>& argv);
// SIGTERM, SIGKILL after the deadline, reaped; false when it had to be killed.
bool stopProcess (pid_t pid, std::chrono::milliseconds deadline = 5s);

// A PipeWire world of the test's own, from a bare root environment on: a
// private runtime directory (this process is pointed at it), a session bus,
// pipewire and wireplumber with a stereo "Speakers" sink that streams default
// to, and the tone applications and fed inputs a test starts, each stopped
// by its process id.
class PipeWireWorld
{
public:
    PipeWireWorld();
    ~PipeWireWorld();
    bool start();
    void stop();
    // As an upgrade stops them (SIGTERM) or as a crash ends them; their
    // nodes, tone applications and inputs go with them.
    bool stopSoundServer (bool crash);
    bool startSoundServer();

    const std::string& runtimeDir() const { return dir; }
    std::string logs() const;
    pid_t daemonPid() const { return soundServer.empty() ? -1 : soundServer.front(); }
    pid_t spawn (const std::string& logName, const std::vector<std::string>& argv) const;

    // A null sink (a virtual source for `source`) that outlives its maker,
    // once its input ports are there.
    std::optional<uint32_t> createSink (const std::string& name, const std::string& description, int channels = 10, bool source = false,
                                        int rate = 48000);
    bool destroyNode (uint32_t id);
    // The node of that name once it has that many ports that way.
    std::optional<uint32_t> nodeNamed (const std::string& name, size_t ports, const char* direction = "out");

    // pw-cat playing a tone to the default sink as an application of that
    // identity (application.process.binary and .name, node.name), once its
    // stream is there; -1 when it is not.
    pid_t playTone (const std::string& binary, const std::string& name, double frequency, float level, double seconds = 120.0);
    // An application that drives its graph on a clock `ppm` off (see
    // DriftSource.cpp), linked to nothing, once its stream is there; with
    // `mode` a microphone on that clock, or an application on a sink.
    pid_t playDrifting (const std::string& name, double ppm, double seconds, const std::vector<std::string>& mode = {});
    void stopApp (pid_t pid);
    // An input fed with tones: one makes a mono virtual source (which
    // delivers through monitor ports), two a stereo source (a pw-loopback).
    bool feedInput (const std::string& uid, const std::string& description, const std::vector<Sine>& tones, double seconds = 120.0);
    void stopSources();

private:
    std::string dir;
    pid_t bus = -1;
    std::vector<pid_t> soundServer, apps;
    std::map<std::string, std::pair<std::vector<pid_t>, std::optional<uint32_t>>> inputs; // processes, node
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnv;
};

// Interleaved float samples at 48 kHz; the first 0.2 s, in which a sink may
// still be filling up, count for nothing in what is read from it.
struct Recording
{
    static constexpr size_t settle = 9600;
    int channels = 0;
    std::vector<float> samples;

    size_t frames() const { return channels > 0 ? samples.size() / static_cast<size_t> (channels) : 0; }
    float at (size_t frame, int channel) const { return samples[frame * static_cast<size_t> (channels) + static_cast<size_t> (channel)]; }
    double tone (int channel, double frequency) const; // a sine's amplitude (Goertzel)
    double rmsDbfs (int channel) const;
    int dropouts (int channel) const; // runs of 64 zeros or more: blocks not delivered in time
    bool writeWav (const std::string& path) const { return testing::writeWav (path, channels, frames(), [this] (size_t f, int c) { return at (f, c); }); }
};

// A tone wanted at its level on exactly these channels.
struct Heard
{
    double frequency;
    float level;
    std::vector<int> channels;
};

// Empty when every tone is on its channels at its level (within 15 %, or at
// least half of it where blocks were dropped) and on no other; else what is not.
std::string mismatches (const Recording&, const std::vector<Heard>&);

// What a console's sink plays, recorded in this process from its monitor,
// with the time each graph cycle delivered its block.
class ConsoleRecorder
{
public:
    using Clock = std::chrono::steady_clock;

    ConsoleRecorder (int channels, double maxSeconds);
    ~ConsoleRecorder();
    bool start (const std::string& sinkName); // true once the first block is in
    void stop();
    Recording recording() const;
    // When each graph cycle delivered its block, and the block's frames.
    std::vector<std::pair<Clock::time_point, uint32_t>> cycleLog() const;

private:
    struct Stream;
    std::unique_ptr<Stream> stream;
    const int numChannels;
    std::vector<float> samples; // preallocated: the callback only copies
    std::vector<std::pair<Clock::time_point, uint32_t>> cycles;
    std::atomic<uint32_t> frames { 0 }, numCycles { 0 };
};

} // namespace loomwell::testing

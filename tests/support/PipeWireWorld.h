#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace loomwell::testing
{

struct NullSinkOptions
{
    std::string name;                   // node.name
    std::string description;            // node.description
    int channels = 2;
    std::vector<std::string> positions; // empty: AUX0, AUX1, ...
    int prioritySession = 0;
    int rate = 0;                       // 0: the graph's rate
};

// Interleaved 32-bit float samples as read back from a recording.
struct Recording
{
    int channels = 0;
    int sampleRate = 0;
    std::vector<float> samples;

    int frames() const { return channels > 0 ? static_cast<int> (samples.size()) / channels : 0; }
    float peak (int channel) const;
};

// Reads a WAV file of 32-bit float samples (plain or extensible format).
std::optional<Recording> readFloatWav (const std::string& path);

// A PipeWire world of the test's own: a private runtime directory (which this
// process is pointed at through its environment), a session bus, pipewire and
// wireplumber, each started here and stopped by its process id. Works from a
// bare root environment without XDG_RUNTIME_DIR or a session bus.
class PipeWireWorld
{
public:
    PipeWireWorld();
    ~PipeWireWorld();

    // With daemons: starts them, waits until they answer and adds a stereo
    // "Speakers" sink that other streams default to. Without: only the empty
    // runtime directory, so that nothing answers this process.
    bool start (bool withDaemons = true);
    void stop();
    bool isRunning() const;

    // PipeWire and WirePlumber alone, in the same directory: stopped as an
    // upgrade stops them (SIGTERM) or killed as a crash ends them, and
    // started again (or for the first time in a world started without
    // daemons), with the "Speakers" sink. Nodes made before are gone.
    bool stopSoundServer (bool crash);
    bool startSoundServer();

    const std::string& runtimeDir() const { return dir; }
    // The daemons' output, for failure messages.
    std::string logs() const;

    // Waits until the daemon answers and the session manager is up.
    bool waitUntilReady (std::chrono::milliseconds timeout);

    // A null sink that outlives its creator; returns its node id once all of
    // its input ports exist.
    std::optional<uint32_t> createNullSink (const NullSinkOptions& options);
    bool destroyNode (uint32_t nodeId);

    // Records the monitor of a sink to a WAV file (32-bit float at 48 kHz)
    // with pw-record; returns its process id once it is linked to the sink.
    std::optional<pid_t> startRecording (uint32_t sinkId, int channels, const std::string& path);
    // Ends a recording so that its file is complete.
    bool stopRecording (pid_t pid);

    // Starts a program of the world, its output going to <logName>.log in
    // the runtime directory; -1 when it cannot be started.
    pid_t spawn (const std::string& logName, const std::vector<std::string>& argv) const;

    // SIGTERM, then SIGKILL after the deadline; reaps the process. False when
    // the process did not end by itself.
    static bool stopProcess (pid_t pid, std::chrono::milliseconds deadline = std::chrono::seconds (5));

private:
    bool startOnce (bool withDaemons);
    void setEnv (const char* name, const std::string& value);
    void restoreEnv();

    struct Session;
    std::unique_ptr<Session> session;
    std::string dir;
    std::vector<pid_t> daemons;    // in start order: the session bus
    std::vector<pid_t> soundServer; // pipewire, wireplumber
    std::vector<pid_t> recorders;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnv;
};

} // namespace loomwell::testing

#pragma once

#include "MessagePump.h"
#include "PipeWireConnection.h"
#include "PipeWireWorld.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Things that play tones into a private PipeWire world: applications playing
// to the default sink and audio sources fed with a tone, each made of the
// PipeWire tools' processes that the test stops by process id.
namespace loomwell::testing
{

struct Sine
{
    double frequency = 0.0;
    float level = 0.0f;
};

// A 32-bit float WAV at 48 kHz with one sine per channel.
void writeToneWav (const std::string& path, const std::vector<Sine>& channels, double seconds);

// A helper program of the test; its output goes to "<logName>.log" among the
// world's logs. Returns its process id, or -1.
pid_t spawnTool (const PipeWireWorld& world, const std::string& logName, const std::vector<std::string>& argv);

// Runs a helper program to its end; true when it exited with 0.
bool runTool (const PipeWireWorld& world, const std::vector<std::string>& argv);

// Waits, through the process's PipeWire connection, for a node of that name
// with that many output ports (a sink's are its monitor ports).
std::optional<PipeWireNode> waitForNode (const std::string& nodeName, size_t outputPorts,
                                         std::chrono::milliseconds timeout = std::chrono::seconds (10));

// Amplitude of a sine of this frequency in one channel of an interleaved
// recording at 48 kHz (Goertzel), leaving out the first 0.2 s, in which the
// sink may still be filling up.
double toneAmplitude (const Recording& recording, int channel, double frequency);

// pw-cat playing a WAV to the default sink as an application of that
// identity (application.process.binary and application.name). Returns its
// process id; the test stops it.
pid_t playToneApp (const PipeWireWorld& world, const std::string& binary, const std::string& name, const std::string& wavPath);

// Whether that process has a stereo playback stream in the graph.
bool isPlaying (pid_t pid);

// An audio source fed with a tone. One sine makes a mono virtual source (a
// null sink announced as a source, fed by pw-cat through a manual link: it
// delivers through monitor-flagged ports); two make a stereo source (a
// pw-loopback whose sink pw-cat plays into), left and right.
struct FedSource
{
    std::optional<PipeWireNode> node;  // the source, once it is there
    std::vector<pid_t> processes;      // the feed first, then what makes the source
    std::optional<uint32_t> lingering; // a node that outlives its creator, destroyed at the stop
};

// Whatever it started is in the result, also when node is empty: stop it.
FedSource makeFedSource (const PipeWireWorld& world, const std::string& nodeName, const std::string& description,
                         const std::vector<Sine>& tones, double seconds);

// Stops the feed and the source's processes by their ids.
void stopFedSource (const PipeWireWorld& world, FedSource& source);

} // namespace loomwell::testing

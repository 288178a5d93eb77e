#include "ToneSources.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <numbers>
#include <thread>

extern char** environ;

namespace loomwell::testing
{

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

void writeToneWav (const std::string& path, const std::vector<Sine>& channels, double seconds)
{
    const auto numChannels = static_cast<uint32_t> (channels.size());
    const auto frames = static_cast<uint32_t> (seconds * 48000);
    const uint32_t dataBytes = frames * numChannels * 4;
    std::ofstream out (path, std::ios::binary);
    const auto u16 = [&] (uint32_t v) { out.put (static_cast<char> (v & 0xFF)).put (static_cast<char> (v >> 8 & 0xFF)); };
    const auto u32 = [&] (uint32_t v) { u16 (v & 0xFFFF); u16 (v >> 16); };
    out << "RIFF"; u32 (36 + dataBytes); out << "WAVEfmt "; u32 (16);
    u16 (3); u16 (numChannels); u32 (48000); u32 (48000 * numChannels * 4); u16 (numChannels * 4); u16 (32);
    out << "data"; u32 (dataBytes);

    std::vector<float> block;
    block.reserve (static_cast<size_t> (numChannels) * 4800);
    for (uint32_t i = 0; i < frames; ++i)
    {
        for (const auto& sine : channels)
            block.push_back (static_cast<float> (sine.level * std::sin (2.0 * std::numbers::pi * sine.frequency * i / 48000.0)));
        if (block.size() >= static_cast<size_t> (numChannels) * 4800 || i + 1 == frames)
        {
            out.write (reinterpret_cast<const char*> (block.data()), static_cast<std::streamsize> (block.size() * sizeof (float)));
            block.clear();
        }
    }
}

pid_t spawnTool (const PipeWireWorld& world, const std::string& logName, const std::vector<std::string>& argv)
{
    return world.spawn (logName, argv);
}

bool runTool (const PipeWireWorld& world, const std::vector<std::string>& argv)
{
    const auto pid = spawnTool (world, argv[0], argv);
    int status = 0;
    return pid > 0 && waitpid (pid, &status, 0) == pid && WIFEXITED (status) && WEXITSTATUS (status) == 0;
}

std::optional<PipeWireNode> waitForNode (const std::string& nodeName, size_t outputPorts, std::chrono::milliseconds timeout)
{
    auto& connection = PipeWireConnection::instance();
    for (const auto end = Clock::now() + timeout; Clock::now() < end; std::this_thread::sleep_for (20ms))
    {
        if (! connection.refresh())
            continue;
        for (const auto& node : connection.allNodes())
            if (node.name == nodeName)
            {
                const auto ports = connection.ports (node.id);
                if (static_cast<size_t> (std::count_if (ports.begin(), ports.end(), [] (auto& p) { return ! p.input; })) == outputPorts)
                    return node;
            }
    }
    return std::nullopt;
}

double toneAmplitude (const Recording& r, int channel, double frequency)
{
    const double w = 2.0 * std::numbers::pi * frequency / 48000.0, k = 2.0 * std::cos (w);
    double s1 = 0, s2 = 0;
    size_t n = 0;
    for (size_t i = 9600u * static_cast<size_t> (r.channels) + static_cast<size_t> (channel); i < r.samples.size();
         i += static_cast<size_t> (r.channels), ++n)
    {
        const double s0 = r.samples[i] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return n == 0 ? 0.0 : 2.0 * std::sqrt (std::max (0.0, s1 * s1 + s2 * s2 - k * s1 * s2)) / static_cast<double> (n);
}

pid_t playToneApp (const PipeWireWorld& world, const std::string& binary, const std::string& name, const std::string& wavPath)
{
    const auto props = "{ application.name=\"" + name + "\" application.process.binary=\"" + binary + "\" }";
    return spawnTool (world, "app-" + binary, { "pw-cat", "--playback", "-P", props, wavPath });
}

bool isPlaying (pid_t pid)
{
    auto& connection = PipeWireConnection::instance();
    const auto id = std::to_string (pid);
    for (const auto& node : connection.nodes ("Stream/Output/Audio"))
    {
        const auto client = connection.clientProperties (node.clientId);
        const auto it = client.find ("application.process.id");
        if (node.property ("application.process.id") == id || (it != client.end() && it->second == id))
            return node.outputChannels.size() == 2;
    }
    return false;
}

FedSource makeFedSource (const PipeWireWorld& world, const std::string& nodeName, const std::string& description,
                         const std::vector<Sine>& tones, double seconds)
{
    FedSource source;
    const auto wav = world.runtimeDir() + "/" + nodeName + ".wav";
    writeToneWav (wav, tones, seconds);
    const auto feedName = nodeName + "-feed";

    if (tones.size() == 1)
    {
        if (! runTool (world, { "pw-cli", "create-node", "adapter",
                                "{ factory.name=support.null-audio-sink media.class=Audio/Source/Virtual object.linger=true "
                                "node.name=" + nodeName + " node.description=\"" + description + "\" audio.position=[MONO] }" }))
            return source;
        const auto node = waitForNode (nodeName, 1);
        if (! node)
            return source;
        source.lingering = node->id;

        // Not linked by the session manager: the link below is its only one.
        source.processes.insert (source.processes.begin(),
                                 spawnTool (world, feedName, { "pw-cat", "--playback", "--target", "0",
                                                               "-P", "{ node.name=" + feedName + " }", wav }));
        for (const auto end = Clock::now() + 10s; Clock::now() < end; std::this_thread::sleep_for (50ms))
            if (runTool (world, { "pw-link", feedName + ":output_MONO", nodeName + ":input_MONO" }))
            {
                source.node = node;
                break;
            }
        return source;
    }

    source.processes.push_back (spawnTool (world, nodeName, { "pw-loopback", "-c", "2", "-m", "[ FL FR ]",
        "--capture-props={ media.class=Audio/Sink node.name=" + feedName + " node.description=\"" + description + " feed\" }",
        "--playback-props={ media.class=Audio/Source node.name=" + nodeName + " node.description=\"" + description + "\" }" }));
    const auto node = waitForNode (nodeName, 2);
    const auto feedSink = waitForNode (feedName, 2); // its monitor ports
    if (! node || ! feedSink)
        return source;
    source.processes.insert (source.processes.begin(),
                             spawnTool (world, feedName, { "pw-cat", "--playback", "--target", std::to_string (feedSink->serial), wav }));
    source.node = node;
    return source;
}

void stopFedSource (const PipeWireWorld& world, FedSource& source)
{
    for (const auto pid : source.processes)
        if (pid > 0)
            PipeWireWorld::stopProcess (pid);
    source.processes.clear();
    if (source.lingering)
        runTool (world, { "pw-cli", "destroy", std::to_string (*source.lingering) });
    source.lingering.reset();
}

} // namespace loomwell::testing

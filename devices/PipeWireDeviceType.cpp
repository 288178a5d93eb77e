#include "PipeWireDeviceType.h"

#include "FilterNode.h"
#include "PipeWireConnection.h"
#include "PortLinks.h"
#include "RealtimeScope.h"

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/type-info.h>

#include <algorithm>
#include <cinttypes>
#include <dlfcn.h>
#include <map>
#include <thread>

namespace loomwell
{

namespace
{

const char* const pipeWireTypeName = "PipeWire";
constexpr auto connectTimeout = std::chrono::seconds (3);

// The console's node: one pw_filter with an output port per channel of the
// sink, linked to the sink's input ports, and the input ports of its lanes
// (see ConsoleLanes). Its process writes every lane's block into its source's
// ring buffer, then mixes: the graph has run the sources before it in the
// same cycle, under the console's driver, so a source reaches the console
// in the cycle it played in, whatever clock it came from.
class PipeWireOutputDevice final : public juce::AudioIODevice
{
public:
    PipeWireOutputDevice (PipeWireConnection& graph, const juce::String& deviceName, PipeWireNode sinkNode)
        : AudioIODevice (deviceName, pipeWireTypeName), connection (graph), sink (std::move (sinkNode))
    {
        defaultRate = connection.defaultSampleRate();
        defaultBlockSize = juce::jlimit (64, maxBlockSize, connection.defaultQuantum());
        sampleRate = defaultRate;
        blockSize = defaultBlockSize;

        const auto numChannels = std::min (sink.inputChannels.size(), static_cast<size_t> (SPA_AUDIO_MAX_CHANNELS));
        for (size_t i = 0; i < numChannels; ++i)
            channelNames.add (sink.inputChannels[i].empty() ? "Output " + juce::String (i + 1)
                                                            : juce::String (sink.inputChannels[i]));
    }

    ~PipeWireOutputDevice() override { close(); }

    juce::StringArray getOutputChannelNames() override { return channelNames; }
    juce::StringArray getInputChannelNames() override { return {}; }

    juce::Array<double> getAvailableSampleRates() override
    {
        juce::Array<double> rates { 44100.0, 48000.0, 88200.0, 96000.0 };
        rates.addIfNotAlreadyThere (defaultRate);
        rates.sort();
        return rates;
    }

    juce::Array<int> getAvailableBufferSizes() override { return { 64, 128, 256, 512, 1024, 2048, 4096 }; }
    int getDefaultBufferSize() override { return defaultBlockSize; }

    juce::String open (const juce::BigInteger&, const juce::BigInteger& outputs,
                       double requestedRate, int requestedBlockSize) override
    {
        close();
        lastError.clear();
        gone.store (false);

        const int numChannels = channelNames.size();
        activeOutputs = outputs;
        activeOutputs.setRange (numChannels, juce::jmax (0, activeOutputs.getHighestBit() + 1 - numChannels), false);
        activeIndices.clear();
        for (int ch = 0; ch < numChannels; ++ch)
            if (activeOutputs[ch])
                activeIndices.push_back (ch);

        sampleRate = requestedRate > 0 ? requestedRate : defaultRate;
        blockSize = juce::jlimit (1, maxBlockSize, requestedBlockSize > 0 ? requestedBlockSize : defaultBlockSize);
        channelData.assign (static_cast<size_t> (numChannels), nullptr);
        activeData.assign (activeIndices.size(), nullptr);
        spare.assign (static_cast<size_t> (maxBlockSize), 0.0f);
        interleaved.assign (2 * static_cast<size_t> (maxBlockSize), 0.0f);

        if (numChannels == 0)
            return lastError = "The PipeWire sink '" + getName() + "' has no channels";

        {
            PipeWireConnection::Lock lock (connection);
            if (connection.core() == nullptr)
                return lastError = "PipeWire is not running";
            if (! makeFilterLocked())
            {
                destroyFilterLocked();
                return lastError = "Could not connect to the PipeWire sink '" + getName() + "'";
            }
        }
        if (! linkPorts())
        {
            PipeWireConnection::Lock lock (connection);
            destroyFilterLocked();
            return lastError = "Could not connect to the PipeWire sink '" + getName() + "'";
        }
        return {};
    }

    void close() override
    {
        stop();
        if (node != nullptr)
        {
            PipeWireConnection::Lock lock (connection);
            destroyFilterLocked();
        }
    }

    bool isOpen() override { return node != nullptr; }

    void start (juce::AudioIODeviceCallback* newCallback) override
    {
        if (node == nullptr || newCallback == nullptr || callback.load() != nullptr)
            return;

        newCallback->audioDeviceAboutToStart (this);
        callback.store (newCallback);
    }

    void stop() override
    {
        auto* old = callback.exchange (nullptr);
        if (old == nullptr)
            return;

        // Once the data thread has left a cycle that may have seen the old
        // callback, it can never call it again.
        while (inProcess.load())
            std::this_thread::yield();
        old->audioDeviceStopped();
    }

    bool isPlaying() override { return callback.load() != nullptr && ! gone.load(); }

    void setDirectCallback (juce::AudioIODeviceCallback* newCallback)
    {
        direct.store (newCallback);
        if (newCallback == nullptr)
            while (inProcess.load())
                std::this_thread::yield();
    }

    juce::String getLastError() override
    {
        return gone.load() ? "The PipeWire sink '" + getName() + "' is gone" : lastError;
    }

    int getCurrentBufferSizeSamples() override { return blockSize; }
    double getCurrentSampleRate() override { return sampleRate; }
    int getCurrentBitDepth() override { return 32; }
    juce::BigInteger getActiveOutputChannels() const override { return activeOutputs; }
    juce::BigInteger getActiveInputChannels() const override { return {}; }
    int getOutputLatencyInSamples() override { return blockSize; }
    int getInputLatencyInSamples() override { return 0; }

    PipeWireConnection& connection;
    const std::shared_ptr<ConsoleLanes> lanes = std::make_shared<ConsoleLanes> (connection);

private:
    // The largest graph quantum PipeWire runs.
    static constexpr int maxBlockSize = 8192;

    // Lock held. The node with its ports, connected. It runs only while a
    // lane carries a source: then its outputs are linked to the sink; with
    // nothing routed they are not, nothing schedules the node, a console
    // waiting costs nothing and the sound server suspends its sink as it
    // does any idle sink.
    bool makeFilterLocked()
    {
        auto* props = pw_properties_new (PW_KEY_MEDIA_TYPE, "Audio",
                                         PW_KEY_MEDIA_CATEGORY, "Filter",
                                         PW_KEY_MEDIA_ROLE, "DSP",
                                         PW_KEY_MEDIA_NAME, getName().toRawUTF8(),
                                         PW_KEY_NODE_NAME, "loomwell-console",
                                         PW_KEY_NODE_DESCRIPTION, ("Loomwell: " + getName()).toRawUTF8(),
                                         PW_KEY_NODE_AUTOCONNECT, "false",
                                         PW_KEY_NODE_DONT_RECONNECT, "true",
                                         nullptr);
        // The console's quantum stays what it asks for, whatever its sources ask.
        pw_properties_setf (props, PW_KEY_NODE_LATENCY, "%d/%d", blockSize, juce::roundToInt (sampleRate));
        if ((node = FilterNode::create (connection, "Loomwell", props, filterEvents, this)) == nullptr)
            return false;
        auto* filter = node->get();
        removalWatch = connection.watchRemoval (sink.id, [this] {
            gone.store (true);
            connection.signalWaiters();
        });

        const auto addPort = [filter] (pw_direction direction, const std::string& portName, const std::string& channel) {
            return pw_filter_add_port (filter, direction, PW_FILTER_PORT_FLAG_MAP_BUFFERS, sizeof (uint32_t),
                                       pw_properties_new (PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME, portName.c_str(),
                                                          PW_KEY_AUDIO_CHANNEL, channel.c_str(), nullptr),
                                       nullptr, 0);
        };
        outPorts.clear();
        for (const auto& channel : channelNames)
            outPorts.push_back (addPort (PW_DIRECTION_OUTPUT, "output_" + channel.toStdString(), channel.toStdString()));
        for (size_t lane = 0; lane < ConsoleLanes::numLanes; ++lane)
            for (size_t side = 0; side < 2; ++side)
                inPorts[lane][side] = addPort (PW_DIRECTION_INPUT, "input_" + std::to_string (lane + 1) + (side == 0 ? "_FL" : "_FR"), side == 0 ? "FL" : "FR");
        if (std::find (outPorts.begin(), outPorts.end(), nullptr) != outPorts.end()
            || pw_filter_connect (filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) != 0)
            return false;
        lanes->inUseChanged = [this] (bool used) {
            PipeWireConnection::Lock lock (connection);
            if (node == nullptr || gone.load())
                return;
            if (used)
                sinkLinks.follow (connection.core(), sinkPlan, sinkNodes);
            else
                sinkLinks.clear();
        };
        return connection.waitLocked ([this] { return connected() || failed(); }, connectTimeout) && connected()
            && (nodeId = pw_filter_get_node_id (filter)) != SPA_ID_INVALID;
    }

    // Our ports once the registry has them: the outputs linked to the
    // sink's inputs one by one, the lanes' ports told to the lanes.
    bool linkPorts()
    {
        const auto numChannels = static_cast<size_t> (channelNames.size());
        std::vector<PipeWirePort> ours, theirs;
        const auto split = [] (const std::vector<PipeWirePort>& ports, bool input) {
            std::vector<PipeWirePort> result;
            for (const auto& port : ports)
                if (port.input == input && ! port.monitor)
                    result.push_back (port);
            std::sort (result.begin(), result.end(), [] (auto& a, auto& b) { return a.index < b.index; });
            return result;
        };
        for (const auto deadline = std::chrono::steady_clock::now() + connectTimeout;
             (ours = connection.ports (nodeId)).size() < numChannels + 2 * ConsoleLanes::numLanes; std::this_thread::sleep_for (std::chrono::milliseconds (5)))
            if (std::chrono::steady_clock::now() > deadline || gone.load())
                return false;
        const auto outputs = split (ours, false), inputs = split (ours, true), sinkInputs = split (connection.ports (sink.id), true);
        if (sinkInputs.size() < numChannels)
            return false;

        std::array<ConsoleLanes::Ports, ConsoleLanes::numLanes> lanePorts {};
        for (size_t lane = 0; lane < lanePorts.size(); ++lane)
            lanePorts[lane] = { nodeId, inputs[2 * lane].id, inputs[2 * lane + 1].id };
        std::vector<std::pair<uint32_t, uint32_t>> wanted;
        std::map<uint32_t, uint32_t> nodeOf;
        for (size_t ch = 0; ch < numChannels; ++ch)
        {
            wanted.emplace_back (outputs[ch].id, sinkInputs[ch].id);
            nodeOf[outputs[ch].id] = nodeId;
            nodeOf[sinkInputs[ch].id] = sink.id;
        }
        PipeWireConnection::Lock lock (connection);
        if (node == nullptr || gone.load())
            return false;
        // Linked once to know that the sink takes the links.
        sinkPlan = wanted;
        sinkNodes = nodeOf;
        sinkLinks.follow (connection.core(), wanted, nodeOf);
        lanes->setPorts (lanePorts);
        const bool linked = sinkLinks.live() == numChannels;
        if (! lanes->anyInUse())
            sinkLinks.clear();
        return linked;
    }

    // Loop thread, lock held.
    bool connected() const { return state == PW_FILTER_STATE_PAUSED || state == PW_FILTER_STATE_STREAMING; }
    bool failed() const { return state == PW_FILTER_STATE_ERROR || gone.load(); }

    void destroyFilterLocked()
    {
        lanes->inUseChanged = nullptr;
        lanes->clearPorts();
        sinkLinks.clear();
        connection.unwatchRemoval (removalWatch);
        node.reset();
        state = PW_FILTER_STATE_UNCONNECTED;
    }

    static void stateChanged (void* data, pw_filter_state, pw_filter_state newState, const char*)
    {
        auto& device = *static_cast<PipeWireOutputDevice*> (data);
        const bool wasConnected = device.connected();
        device.state = newState;
        if (newState == PW_FILTER_STATE_ERROR || (wasConnected && newState == PW_FILTER_STATE_UNCONNECTED))
            device.gone.store (true);
        device.connection.signalWaiters();
    }

    // The data thread, once per graph cycle: no locks, no allocation. The
    // sources' blocks first, then the mix of them.
    static void process (void* data, spa_io_position* position)
    {
        const RealtimeScope scope ("loomwell-console");
        auto& device = *static_cast<PipeWireOutputDevice*> (data);
        const auto frames = position != nullptr ? std::min<uint32_t> (position->clock.duration, maxBlockSize) : 0;
        auto& lanes = *device.lanes;
        lanes.enterCycle();
        device.inProcess.store (true);

        for (int lane = 0; lane < ConsoleLanes::numLanes; ++lane)
            if (auto* ring = lanes.target (lane))
            {
                const auto* left = static_cast<const float*> (pw_filter_get_dsp_buffer (device.inPorts[static_cast<size_t> (lane)][0], frames));
                const auto* right = static_cast<const float*> (pw_filter_get_dsp_buffer (device.inPorts[static_cast<size_t> (lane)][1], frames));
                if (left == nullptr && right == nullptr) // nothing linked: the source is silent
                {
                    ring->writeSilence (static_cast<int> (2 * frames));
                    continue;
                }
                for (uint32_t f = 0; f < frames; ++f)
                {
                    device.interleaved[2 * f] = left != nullptr ? left[f] : right[f];
                    device.interleaved[2 * f + 1] = right != nullptr ? right[f] : left[f];
                }
                ring->write (device.interleaved.data(), static_cast<int> (2 * frames));
            }

        for (size_t ch = 0; ch < device.channelData.size(); ++ch)
            if ((device.channelData[ch] = static_cast<float*> (pw_filter_get_dsp_buffer (device.outPorts[ch], frames))) != nullptr)
                std::fill_n (device.channelData[ch], frames, 0.0f);

        auto* cb = device.gone.load() ? nullptr : device.callback.load();
        if (auto* direct = device.direct.load(); cb != nullptr && direct != nullptr)
            cb = direct;
        // Never more than the announced block size per call: the mixer's
        // scratch space is sized by it. A channel not linked plays into spare.
        for (int offset = 0; cb != nullptr && offset < static_cast<int> (frames); offset += device.blockSize)
        {
            const int chunk = juce::jmin (device.blockSize, static_cast<int> (frames) - offset);
            for (size_t i = 0; i < device.activeIndices.size(); ++i)
            {
                auto* out = device.channelData[static_cast<size_t> (device.activeIndices[i])];
                device.activeData[i] = out != nullptr ? out + offset : device.spare.data();
            }
            cb->audioDeviceIOCallbackWithContext (nullptr, 0, device.activeData.data(),
                                                  static_cast<int> (device.activeData.size()), chunk, {});
        }
        device.inProcess.store (false);
        lanes.leaveCycle();
    }

    static pw_filter_events makeFilterEvents()
    {
        pw_filter_events events {};
        events.version = PW_VERSION_FILTER_EVENTS;
        events.state_changed = stateChanged;
        events.process = process;
        return events;
    }

    inline static const pw_filter_events filterEvents = makeFilterEvents();

    const PipeWireNode sink;
    juce::StringArray channelNames;
    double defaultRate = 48000.0, sampleRate = 48000.0;
    int defaultBlockSize = 1024, blockSize = 1024;
    juce::BigInteger activeOutputs;
    std::vector<int> activeIndices;
    std::vector<float*> channelData, activeData;
    std::vector<float> spare, interleaved;
    juce::String lastError;

    std::unique_ptr<FilterNode> node;
    uint32_t nodeId = SPA_ID_INVALID;
    std::vector<void*> outPorts;
    std::array<std::array<void*, 2>, ConsoleLanes::numLanes> inPorts {};
    PortLinks sinkLinks;
    std::vector<std::pair<uint32_t, uint32_t>> sinkPlan; // our outputs to the sink's inputs
    std::map<uint32_t, uint32_t> sinkNodes;
    int removalWatch = 0;
    pw_filter_state state = PW_FILTER_STATE_UNCONNECTED;
    std::atomic<juce::AudioIODeviceCallback*> callback { nullptr };
    std::atomic<juce::AudioIODeviceCallback*> direct { nullptr };
    std::atomic<bool> inProcess { false };
    std::atomic<bool> gone { false };
};

class PipeWireDeviceType final : public juce::AudioIODeviceType,
                                 private PipeWireConnection::Listener
{
public:
    explicit PipeWireDeviceType (PipeWireConnection& graph) : AudioIODeviceType (pipeWireTypeName), connection (graph)
    {
        connection.addListener (this);
    }
    ~PipeWireDeviceType() override { connection.removeListener (this); }

    void scanForDevices() override
    {
        sinks = connection.refresh() ? connection.nodes ("Audio/Sink") : std::vector<PipeWireNode> {};

        names.clear();
        std::map<std::string, int> seen;
        for (const auto& sink : sinks)
        {
            const auto base = sink.displayName();
            const int n = ++seen[base];
            names.add (n == 1 ? juce::String (base) : juce::String (base) + " (" + juce::String (n) + ")");
        }
    }

    juce::StringArray getDeviceNames (bool wantInputNames) const override
    {
        return wantInputNames ? juce::StringArray() : names;
    }

    int getDefaultDeviceIndex (bool forInput) const override { return forInput || names.isEmpty() ? -1 : 0; }

    int getIndexOfDevice (juce::AudioIODevice* device, bool asInput) const override
    {
        return device == nullptr || asInput ? -1 : names.indexOf (device->getName());
    }

    bool hasSeparateInputsAndOutputs() const override { return true; }

    juce::AudioIODevice* createDevice (const juce::String& outputDeviceName, const juce::String& inputDeviceName) override
    {
        if (inputDeviceName.isNotEmpty())
            return nullptr;

        auto index = names.indexOf (outputDeviceName);
        if (index < 0)
            index = names.indexOf (outputDeviceName.trim(), true);
        if (index < 0)
            return nullptr;

        return new PipeWireOutputDevice (connection, names[index], sinks[static_cast<size_t> (index)]);
    }

private:
    void pipeWireNodesChanged (uint32_t changeBits) override
    {
        if ((changeBits & PipeWireConnection::sinksChanged) == 0)
            return;

        // A console's manager treats every broadcast as a reason for a full
        // rescan, so only a real change of the sinks (a name, or a node that
        // went and came back under the same name) is announced.
        const auto before = sinkIdentities();
        scanForDevices();

        if (sinkIdentities() != before)
            callDeviceChangeListeners();
    }

    std::vector<std::pair<uint32_t, juce::String>> sinkIdentities() const
    {
        std::vector<std::pair<uint32_t, juce::String>> identities;
        for (size_t i = 0; i < sinks.size(); ++i)
            identities.emplace_back (sinks[i].id, names[static_cast<int> (i)]);
        return identities;
    }

    PipeWireConnection& connection;
    std::vector<PipeWireNode> sinks;
    juce::StringArray names;
};

} // namespace

std::unique_ptr<juce::AudioIODeviceType> createPipeWireDeviceType (PipeWireConnection& connection)
{
    return std::make_unique<PipeWireDeviceType> (connection);
}

std::shared_ptr<ConsoleLanes> consoleLanes (juce::AudioIODevice* device)
{
    auto* ours = dynamic_cast<PipeWireOutputDevice*> (device);
    return ours != nullptr && ours->isOpen() ? ours->lanes : nullptr;
}

bool callDirectly (juce::AudioIODevice& device, juce::AudioIODeviceCallback* callback)
{
    auto* ours = dynamic_cast<PipeWireOutputDevice*> (&device);
    if (ours == nullptr)
        return false;
    ours->setDirectCallback (callback);
    return true;
}

namespace
{

// Without a JACK server, libjack writes several lines to standard error each
// time JUCE's JACK type scans, and our standard error is the program's log.
// JUCE opens libjack by the same names, so the library it gets is this one,
// with its messages dropped. The handle stays open for the process's life.
void silenceJackLibrary()
{
    [[maybe_unused]] static const bool silenced = [] {
        void* handle = ::dlopen ("libjack.so.0", RTLD_LAZY);
        if (handle == nullptr)
            handle = ::dlopen ("libjack.so", RTLD_LAZY);
        if (handle == nullptr)
            return false;

        using SetMessageFunction = void (*) (void (*) (const char*));
        for (const char* setter : { "jack_set_error_function", "jack_set_info_function" })
            if (auto* set = reinterpret_cast<SetMessageFunction> (::dlsym (handle, setter)))
                set (+[] (const char*) {});
        return true;
    }();
}

} // namespace

void addLinuxDeviceTypes (PipeWireConnection& connection, juce::OwnedArray<juce::AudioIODeviceType>& types)
{
    types.add (createPipeWireDeviceType (connection).release());
    if (auto* alsa = juce::AudioIODeviceType::createAudioIODeviceType_ALSA())
        types.add (alsa);
    if (auto* jack = juce::AudioIODeviceType::createAudioIODeviceType_JACK())
    {
        silenceJackLibrary();
        types.add (jack);
    }
}

} // namespace loomwell

#include "PipeWireDeviceType.h"

#include "PipeWireConnection.h"
#include "RealtimeScope.h"

#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/type-info.h>

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

class PipeWireOutputDevice final : public juce::AudioIODevice
{
public:
    PipeWireOutputDevice (const juce::String& deviceName, PipeWireNode sinkNode)
        : AudioIODevice (deviceName, pipeWireTypeName), sink (std::move (sinkNode))
    {
        auto& connection = PipeWireConnection::instance();
        defaultRate = connection.defaultSampleRate();
        defaultBlockSize = juce::jlimit (64, 4096, connection.defaultQuantum());
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
        blockSize = requestedBlockSize > 0 ? requestedBlockSize : defaultBlockSize;
        channelData.assign (static_cast<size_t> (numChannels), nullptr);
        activeData.assign (activeIndices.size(), nullptr);

        if (numChannels == 0)
            return lastError = "The PipeWire sink '" + getName() + "' has no channels";

        auto& connection = PipeWireConnection::instance();
        PipeWireConnection::Lock lock;
        if (connection.core() == nullptr)
            return lastError = "PipeWire is not running";

        auto* props = pw_properties_new (PW_KEY_MEDIA_TYPE, "Audio",
                                         PW_KEY_MEDIA_CATEGORY, "Playback",
                                         PW_KEY_MEDIA_NAME, getName().toRawUTF8(),
                                         PW_KEY_NODE_NAME, "loomwell-output",
                                         PW_KEY_NODE_DONT_RECONNECT, "true",
                                         nullptr);
        pw_properties_setf (props, PW_KEY_TARGET_OBJECT, "%" PRIu64, sink.serial);
        pw_properties_setf (props, PW_KEY_NODE_LATENCY, "%d/%d", blockSize, juce::roundToInt (sampleRate));

        stream = pw_stream_new (connection.core(), "Loomwell", props);
        if (stream == nullptr)
            return lastError = "Could not create a PipeWire stream";

        connection.retainCore();
        pw_stream_add_listener (stream, &streamHook, &streamEvents, this);
        removalWatch = connection.watchRemoval (sink.id, [this] {
            gone.store (true);
            PipeWireConnection::instance().signalWaiters();
        });

        // Our channel positions are the sink's, so that no remixing happens
        // between our channel n and the sink's channel n.
        spa_audio_info_raw info {};
        info.format = SPA_AUDIO_FORMAT_F32P;
        info.rate = static_cast<uint32_t> (juce::roundToInt (sampleRate));
        info.channels = static_cast<uint32_t> (numChannels);
        for (uint32_t ch = 0; ch < info.channels; ++ch)
        {
            const auto position = spa_debug_type_find_type_short (spa_type_audio_channel, sink.inputChannels[ch].c_str());
            info.position[ch] = position != SPA_ID_INVALID ? position : SPA_AUDIO_CHANNEL_AUX0 + ch;
        }

        uint8_t podBuffer[1024];
        auto builder = SPA_POD_BUILDER_INIT (podBuffer, sizeof (podBuffer));
        const spa_pod* params[] = { spa_format_audio_raw_build (&builder, SPA_PARAM_EnumFormat, &info) };

        const auto flags = static_cast<pw_stream_flags> (PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                                         | PW_STREAM_FLAG_RT_PROCESS | PW_STREAM_FLAG_INACTIVE
                                                         | PW_STREAM_FLAG_DONT_RECONNECT);
        const bool connected = pw_stream_connect (stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) == 0
            && connection.waitLocked ([this] { return linked() || failed(); }, connectTimeout)
            && linked();

        if (! connected)
        {
            destroyStreamLocked();
            return lastError = "Could not connect to the PipeWire sink '" + getName() + "'";
        }
        return {};
    }

    void close() override
    {
        stop();
        if (stream != nullptr)
        {
            PipeWireConnection::Lock lock;
            destroyStreamLocked();
        }
    }

    bool isOpen() override { return stream != nullptr; }

    void start (juce::AudioIODeviceCallback* newCallback) override
    {
        if (stream == nullptr || newCallback == nullptr || callback.load() != nullptr)
            return;

        newCallback->audioDeviceAboutToStart (this);
        callback.store (newCallback);
        PipeWireConnection::Lock lock;
        pw_stream_set_active (stream, true);
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

        {
            PipeWireConnection::Lock lock;
            pw_stream_set_active (stream, false);
        }
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

private:
    // Loop thread, lock held.
    bool linked() const { return state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING; }
    bool failed() const { return state == PW_STREAM_STATE_ERROR || gone.load(); }

    void destroyStreamLocked()
    {
        auto& connection = PipeWireConnection::instance();
        connection.unwatchRemoval (removalWatch);
        pw_stream_destroy (stream);
        connection.releaseCore();
        stream = nullptr;
        state = PW_STREAM_STATE_UNCONNECTED;
    }

    static void stateChanged (void* data, pw_stream_state, pw_stream_state newState, const char*)
    {
        auto& device = *static_cast<PipeWireOutputDevice*> (data);
        const bool wasLinked = device.linked();
        device.state = newState;
        if (newState == PW_STREAM_STATE_ERROR || (wasLinked && newState == PW_STREAM_STATE_UNCONNECTED))
            device.gone.store (true);
        PipeWireConnection::instance().signalWaiters();
    }

    // The data thread, once per graph cycle: no locks, no allocation.
    static void process (void* data)
    {
        const RealtimeScope scope ("loomwell-output");
        auto& device = *static_cast<PipeWireOutputDevice*> (data);
        auto* buffer = pw_stream_dequeue_buffer (device.stream);
        if (buffer == nullptr)
            return;

        auto* spaBuffer = buffer->buffer;
        const auto numChannels = juce::jmin (static_cast<size_t> (spaBuffer->n_datas), device.channelData.size());
        auto frames = spaBuffer->datas[0].maxsize / sizeof (float);
        if (buffer->requested > 0)
            frames = juce::jmin (frames, static_cast<size_t> (buffer->requested));
        if (numChannels < device.channelData.size())
            frames = 0;

        for (size_t ch = 0; ch < numChannels; ++ch)
        {
            device.channelData[ch] = static_cast<float*> (spaBuffer->datas[ch].data);
            if (device.channelData[ch] == nullptr)
                frames = 0;
        }

        device.inProcess.store (true);
        auto* cb = device.gone.load() ? nullptr : device.callback.load();
        if (auto* direct = device.direct.load(); cb != nullptr && direct != nullptr)
            cb = direct;
        const auto numFrames = static_cast<int> (frames);

        for (size_t ch = 0; ch < numChannels && frames > 0; ++ch)
            std::fill_n (device.channelData[ch], frames, 0.0f);

        // Never more than the announced block size per call: the mixer's
        // scratch space is sized by it.
        for (int offset = 0; cb != nullptr && offset < numFrames; offset += device.blockSize)
        {
            const int chunk = juce::jmin (device.blockSize, numFrames - offset);
            for (size_t i = 0; i < device.activeIndices.size(); ++i)
                device.activeData[i] = device.channelData[static_cast<size_t> (device.activeIndices[i])] + offset;
            cb->audioDeviceIOCallbackWithContext (nullptr, 0, device.activeData.data(),
                                                  static_cast<int> (device.activeData.size()), chunk, {});
        }
        device.inProcess.store (false);

        for (size_t ch = 0; ch < numChannels; ++ch)
        {
            auto* chunkInfo = spaBuffer->datas[ch].chunk;
            chunkInfo->offset = 0;
            chunkInfo->stride = sizeof (float);
            chunkInfo->size = static_cast<uint32_t> (frames * sizeof (float));
        }
        pw_stream_queue_buffer (device.stream, buffer);
    }

    static pw_stream_events makeStreamEvents()
    {
        pw_stream_events events {};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = stateChanged;
        events.process = process;
        return events;
    }

    inline static const pw_stream_events streamEvents = makeStreamEvents();

    const PipeWireNode sink;
    juce::StringArray channelNames;
    double defaultRate = 48000.0, sampleRate = 48000.0;
    int defaultBlockSize = 1024, blockSize = 1024;
    juce::BigInteger activeOutputs;
    std::vector<int> activeIndices;
    std::vector<float*> channelData, activeData;
    juce::String lastError;

    pw_stream* stream = nullptr;
    spa_hook streamHook {};
    int removalWatch = 0;
    pw_stream_state state = PW_STREAM_STATE_UNCONNECTED;
    std::atomic<juce::AudioIODeviceCallback*> callback { nullptr };
    std::atomic<juce::AudioIODeviceCallback*> direct { nullptr };
    std::atomic<bool> inProcess { false };
    std::atomic<bool> gone { false };
};

class PipeWireDeviceType final : public juce::AudioIODeviceType,
                                 private PipeWireConnection::Listener
{
public:
    PipeWireDeviceType() : AudioIODeviceType (pipeWireTypeName) { PipeWireConnection::instance().addListener (this); }
    ~PipeWireDeviceType() override { PipeWireConnection::instance().removeListener (this); }

    void scanForDevices() override
    {
        auto& connection = PipeWireConnection::instance();
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

        return new PipeWireOutputDevice (names[index], sinks[static_cast<size_t> (index)]);
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

    std::vector<PipeWireNode> sinks;
    juce::StringArray names;
};

} // namespace

std::unique_ptr<juce::AudioIODeviceType> createPipeWireDeviceType()
{
    return std::make_unique<PipeWireDeviceType>();
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

void addLinuxDeviceTypes (juce::OwnedArray<juce::AudioIODeviceType>& types)
{
    types.add (createPipeWireDeviceType().release());
    if (auto* alsa = juce::AudioIODeviceType::createAudioIODeviceType_ALSA())
        types.add (alsa);
    if (auto* jack = juce::AudioIODeviceType::createAudioIODeviceType_JACK())
    {
        silenceJackLibrary();
        types.add (jack);
    }
}

} // namespace loomwell

#pragma once

#include <juce_audio_devices/juce_audio_devices.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace loomwell::test
{

class VirtualDevice;
class VirtualDeviceType;

// An in-process audio system: the output devices it lists, and the devices
// and device types that are alive. Devices run only when a test asks them
// to render a block, on the calling thread. Main thread only.
class VirtualAudioWorld
{
public:
    struct ListedDevice
    {
        std::string name;
        int numOutputs = 10;

        // Whether it reports every channel it was asked to open as active,
        // even channels it does not have, as some drivers do.
        bool reportsRequestedChannels = false;
    };

    static constexpr const char* typeName = "Virtual";

    // What the world's types list after their next scan. The first device
    // is the system's default.
    std::vector<ListedDevice> devices;

    // Device names whose open() fails with this error text.
    std::map<std::string, std::string> openErrors;

    // Every createDevice() call that produced a device, by name, and the
    // names of opened devices in the order in which they were closed.
    std::map<std::string, int> creations;
    std::vector<std::string> closings;

    // Tells every live type's listeners (the device managers) that the
    // device list changed, as a hot-plug would.
    void announceDeviceListChange();

    // The running device of that name, or nullptr.
    VirtualDevice* runningDevice (const std::string& name) const;
    std::vector<VirtualDevice*> runningDevices() const;

    // A factory for deviceBackends().createDeviceTypes: one type of this world.
    std::function<void (juce::OwnedArray<juce::AudioIODeviceType>&)> typeFactory();

private:
    friend class VirtualDevice;
    friend class VirtualDeviceType;

    std::vector<VirtualDevice*> liveDevices;
    std::vector<VirtualDeviceType*> liveTypes;
};

class VirtualDevice final : public juce::AudioIODevice
{
public:
    VirtualDevice (VirtualAudioWorld& world, const VirtualAudioWorld::ListedDevice& listing);
    ~VirtualDevice() override;

    // One block through the running callback; returns each active output.
    std::vector<std::vector<float>> renderBlock (int numFrames);

    juce::StringArray getOutputChannelNames() override;
    juce::StringArray getInputChannelNames() override { return {}; }
    juce::Array<double> getAvailableSampleRates() override { return { 48000.0 }; }
    juce::Array<int> getAvailableBufferSizes() override { return { 256 }; }
    int getDefaultBufferSize() override { return 256; }
    juce::String open (const juce::BigInteger& inputs, const juce::BigInteger& outputs, double sampleRate, int bufferSize) override;
    void close() override;
    bool isOpen() override { return opened; }
    void start (juce::AudioIODeviceCallback* callback) override;
    void stop() override;
    bool isPlaying() override { return callback != nullptr; }
    juce::String getLastError() override { return {}; }
    int getCurrentBufferSizeSamples() override { return 256; }
    double getCurrentSampleRate() override { return 48000.0; }
    int getCurrentBitDepth() override { return 32; }
    juce::BigInteger getActiveOutputChannels() const override { return activeOutputs; }
    juce::BigInteger getActiveInputChannels() const override { return {}; }
    int getOutputLatencyInSamples() override { return 0; }
    int getInputLatencyInSamples() override { return 0; }

private:
    VirtualAudioWorld& world;
    int numOutputs;
    bool reportsRequestedChannels;
    bool opened = false;
    juce::BigInteger activeOutputs;
    juce::AudioIODeviceCallback* callback = nullptr;
};

class VirtualDeviceType final : public juce::AudioIODeviceType
{
public:
    explicit VirtualDeviceType (VirtualAudioWorld& world);
    ~VirtualDeviceType() override;

    void scanForDevices() override { listed = world.devices; }
    juce::StringArray getDeviceNames (bool wantInputNames) const override;
    int getDefaultDeviceIndex (bool) const override { return 0; }
    int getIndexOfDevice (juce::AudioIODevice* device, bool asInput) const override;
    bool hasSeparateInputsAndOutputs() const override { return true; }
    juce::AudioIODevice* createDevice (const juce::String& outputName, const juce::String& inputName) override;

    using juce::AudioIODeviceType::callDeviceChangeListeners;

private:
    VirtualAudioWorld& world;
    std::vector<VirtualAudioWorld::ListedDevice> listed;
};

} // namespace loomwell::test

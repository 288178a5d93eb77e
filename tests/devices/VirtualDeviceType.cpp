#include "VirtualDeviceType.h"

namespace loomwell::test
{
namespace
{

class VirtualDevice final : public juce::AudioIODevice
{
public:
    explicit VirtualDevice (const VirtualAudioWorld::ListedDevice& listed) : juce::AudioIODevice (listed.name, "Virtual"), outputs (listed.numOutputs) {}
    ~VirtualDevice() override { close(); }

    juce::StringArray getOutputChannelNames() override
    {
        juce::StringArray names;
        while (names.size() < outputs)
            names.add ("Output " + juce::String (names.size() + 1));
        return names;
    }
    juce::StringArray getInputChannelNames() override { return {}; }
    juce::Array<double> getAvailableSampleRates() override { return { 48000.0 }; }
    juce::Array<int> getAvailableBufferSizes() override { return { 256 }; }
    int getDefaultBufferSize() override { return 256; }
    juce::String open (const juce::BigInteger&, const juce::BigInteger& wanted, double, int) override
    {
        active = wanted;
        active.setRange (outputs, std::max (0, active.getHighestBit() + 1 - outputs), false);
        return {};
    }
    void close() override { stop(); }
    bool isOpen() override { return ! active.isZero(); }
    void start (juce::AudioIODeviceCallback* starting) override
    {
        if (starting != nullptr && callback == nullptr)
            (callback = starting)->audioDeviceAboutToStart (this);
    }
    void stop() override
    {
        if (auto* stopped = std::exchange (callback, nullptr))
            stopped->audioDeviceStopped();
    }
    bool isPlaying() override { return callback != nullptr; }
    juce::String getLastError() override { return {}; }
    int getCurrentBufferSizeSamples() override { return 256; }
    double getCurrentSampleRate() override { return 48000.0; }
    int getCurrentBitDepth() override { return 32; }
    juce::BigInteger getActiveOutputChannels() const override { return active; }
    juce::BigInteger getActiveInputChannels() const override { return {}; }
    int getOutputLatencyInSamples() override { return 0; }
    int getInputLatencyInSamples() override { return 0; }

private:
    const int outputs;
    juce::BigInteger active;
    juce::AudioIODeviceCallback* callback = nullptr;
};

class VirtualDeviceType final : public juce::AudioIODeviceType
{
public:
    explicit VirtualDeviceType (VirtualAudioWorld& w) : juce::AudioIODeviceType ("Virtual"), world (w) {}

    void scanForDevices() override { listed = world.devices; }
    juce::StringArray getDeviceNames (bool wantInputNames) const override
    {
        juce::StringArray names;
        for (const auto& device : listed)
            if (! wantInputNames)
                names.add (device.name);
        return names;
    }
    int getDefaultDeviceIndex (bool) const override { return 0; }
    int getIndexOfDevice (juce::AudioIODevice* device, bool asInput) const override
    {
        return device == nullptr || asInput ? -1 : getDeviceNames (false).indexOf (device->getName());
    }
    bool hasSeparateInputsAndOutputs() const override { return true; }
    juce::AudioIODevice* createDevice (const juce::String& name, const juce::String&) override
    {
        for (const auto& device : listed)
            if (device.name == name.toStdString())
                return new VirtualDevice (device);
        return nullptr;
    }

private:
    VirtualAudioWorld& world;
    std::vector<VirtualAudioWorld::ListedDevice> listed;
};

} // namespace

std::function<void (juce::OwnedArray<juce::AudioIODeviceType>&)> VirtualAudioWorld::typeFactory()
{
    return [this] (juce::OwnedArray<juce::AudioIODeviceType>& types) { types.add (new VirtualDeviceType (*this)); };
}

} // namespace loomwell::test

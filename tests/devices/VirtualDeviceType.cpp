#include "VirtualDeviceType.h"

#include <algorithm>
#include <utility>

namespace loomwell::test
{

void VirtualAudioWorld::announceDeviceListChange()
{
    for (auto* type : std::vector<VirtualDeviceType*> (liveTypes))
    {
        type->scanForDevices();
        type->callDeviceChangeListeners();
    }
}

VirtualDevice* VirtualAudioWorld::runningDevice (const std::string& name) const
{
    for (auto* device : liveDevices)
        if (device->isPlaying() && device->getName().toStdString() == name)
            return device;
    return nullptr;
}

std::vector<VirtualDevice*> VirtualAudioWorld::runningDevices() const
{
    std::vector<VirtualDevice*> running;
    std::copy_if (liveDevices.begin(), liveDevices.end(), std::back_inserter (running),
                  [] (VirtualDevice* device) { return device->isPlaying(); });
    return running;
}

std::function<void (juce::OwnedArray<juce::AudioIODeviceType>&)> VirtualAudioWorld::typeFactory()
{
    return [this] (juce::OwnedArray<juce::AudioIODeviceType>& types) { types.add (new VirtualDeviceType (*this)); };
}

//==============================================================================
VirtualDevice::VirtualDevice (VirtualAudioWorld& w, const VirtualAudioWorld::ListedDevice& listing)
    : juce::AudioIODevice (listing.name, VirtualAudioWorld::typeName), world (w), numOutputs (listing.numOutputs),
      reportsRequestedChannels (listing.reportsRequestedChannels)
{
    world.liveDevices.push_back (this);
}

VirtualDevice::~VirtualDevice()
{
    close();
    std::erase (world.liveDevices, this);
}

juce::StringArray VirtualDevice::getOutputChannelNames()
{
    juce::StringArray names;
    for (int i = 0; i < numOutputs; ++i)
        names.add ("Output " + juce::String (i + 1));
    return names;
}

juce::String VirtualDevice::open (const juce::BigInteger&, const juce::BigInteger& outputs, double, int)
{
    if (const auto error = world.openErrors.find (getName().toStdString()); error != world.openErrors.end())
        return error->second;

    activeOutputs = outputs;
    if (! reportsRequestedChannels)
        activeOutputs.setRange (numOutputs, std::max (0, activeOutputs.getHighestBit() + 1 - numOutputs), false);
    opened = true;
    return {};
}

void VirtualDevice::close()
{
    stop();
    if (std::exchange (opened, false))
        world.closings.push_back (getName().toStdString());
}

void VirtualDevice::start (juce::AudioIODeviceCallback* newCallback)
{
    if (! opened || newCallback == nullptr || callback != nullptr)
        return;

    newCallback->audioDeviceAboutToStart (this);
    callback = newCallback;
}

void VirtualDevice::stop()
{
    if (auto* stopped = std::exchange (callback, nullptr))
        stopped->audioDeviceStopped();
}

std::vector<std::vector<float>> VirtualDevice::renderBlock (int numFrames)
{
    const int numActive = activeOutputs.countNumberOfSetBits();
    std::vector<std::vector<float>> outputs (static_cast<size_t> (numActive),
                                             std::vector<float> (static_cast<size_t> (numFrames), 1.0e9f));
    std::vector<float*> pointers;
    for (auto& channel : outputs)
        pointers.push_back (channel.data());

    if (callback != nullptr)
        callback->audioDeviceIOCallbackWithContext (nullptr, 0, pointers.data(), numActive, numFrames, {});
    return outputs;
}

//==============================================================================
VirtualDeviceType::VirtualDeviceType (VirtualAudioWorld& w)
    : juce::AudioIODeviceType (VirtualAudioWorld::typeName), world (w)
{
    world.liveTypes.push_back (this);
}

VirtualDeviceType::~VirtualDeviceType()
{
    std::erase (world.liveTypes, this);
}

juce::StringArray VirtualDeviceType::getDeviceNames (bool wantInputNames) const
{
    juce::StringArray names;
    if (! wantInputNames)
        for (const auto& listing : listed)
            names.add (listing.name);
    return names;
}

int VirtualDeviceType::getIndexOfDevice (juce::AudioIODevice* device, bool asInput) const
{
    return device == nullptr || asInput ? -1 : getDeviceNames (false).indexOf (device->getName());
}

juce::AudioIODevice* VirtualDeviceType::createDevice (const juce::String& outputName, const juce::String&)
{
    for (const auto& listing : listed)
    {
        if (listing.name == outputName.toStdString())
        {
            ++world.creations[listing.name];
            return new VirtualDevice (world, listing);
        }
    }
    return nullptr;
}

} // namespace loomwell::test

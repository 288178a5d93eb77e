#include "DeviceInstance.h"

#include "DeviceBackends.h"
#include "DeviceTracker.h"
#include "Mixer.h"
#include "PipeWireDeviceType.h"
#include "UsbProbe.h"

#include <algorithm>
#include <cstdio>

namespace loomwell
{

namespace
{
std::set<std::string>& claimedNames()
{
    static std::set<std::string> names;
    return names;
}

// Passes everything through to the type it wraps, except that it refuses to
// create any device other than the one its manager allows.
class GuardedDeviceType final : public juce::AudioIODeviceType,
                                private juce::AudioIODeviceType::Listener
{
public:
    GuardedDeviceType (std::unique_ptr<juce::AudioIODeviceType> typeToWrap, const juce::String& allowed)
        : juce::AudioIODeviceType (typeToWrap->getTypeName()), inner (std::move (typeToWrap)), allowedName (allowed)
    {
        inner->addListener (this);
    }

    ~GuardedDeviceType() override { inner->removeListener (this); }

    void scanForDevices() override { inner->scanForDevices(); }
    juce::StringArray getDeviceNames (bool wantInputNames) const override { return inner->getDeviceNames (wantInputNames); }
    int getDefaultDeviceIndex (bool forInput) const override { return inner->getDefaultDeviceIndex (forInput); }
    int getIndexOfDevice (juce::AudioIODevice* device, bool asInput) const override { return inner->getIndexOfDevice (device, asInput); }
    bool hasSeparateInputsAndOutputs() const override { return inner->hasSeparateInputsAndOutputs(); }

    juce::AudioIODevice* createDevice (const juce::String& outputName, const juce::String& inputName) override
    {
        const auto allowed = [this] (const juce::String& name) { return name.isEmpty() || name == allowedName; };

        if (allowedName.isEmpty() || (outputName.isEmpty() && inputName.isEmpty())
            || ! allowed (outputName) || ! allowed (inputName))
            return nullptr;

        return inner->createDevice (outputName, inputName);
    }

private:
    void audioDeviceListChanged() override { callDeviceChangeListeners(); }

    std::unique_ptr<juce::AudioIODeviceType> inner;
    const juce::String& allowedName;
};
} // namespace

void ConsoleDeviceManager::createAudioDeviceTypes (juce::OwnedArray<juce::AudioIODeviceType>& types)
{
    juce::OwnedArray<juce::AudioIODeviceType> created;

    if (const auto& factory = deviceBackends().createDeviceTypes)
        factory (created);
    else
        juce::AudioDeviceManager::createAudioDeviceTypes (created);

    for (auto* type : created)
        types.add (new GuardedDeviceType (std::unique_ptr<juce::AudioIODeviceType> (type), allowedDeviceName));

    created.clear (false);
}

bool isMultitrackCandidate (const std::string& name, const std::string& target)
{
    return name == target || name.starts_with (target + " (");
}

const std::set<std::string>& DeviceInstance::claimedDeviceNames() noexcept
{
    return claimedNames();
}

DeviceInstance::DeviceInstance (const ConsoleModel& model, std::string serialNumber, std::string firmwareText)
    : kind (model.kind),
      multitrackDeviceName (model.multitrackDeviceName),
      displayName (model.displayName),
      channelCount (model.channelCount),
      serial (std::move (serialNumber)),
      firmware (std::move (firmwareText))
{
}

DeviceInstance::~DeviceInstance()
{
    close();
}

bool DeviceInstance::open()
{
    std::fprintf (stderr, "LMW: DeviceInstance::open() for %s (S/N %s)\n", displayName.c_str(), serial.c_str());
    busy = true;

    bool found = false;
    for (auto* type : deviceManager.getAvailableDeviceTypes())
        if ((found = tryOpen (*type, multitrackDeviceName)))
            break;

    if (! found)
    {
        // A device left behind by a half-finished attempt must not run.
        deviceManager.closeAudioDevice();
        deviceManager.allowedDeviceName.clear();
        busy = false;
        std::fprintf (stderr, "LMW: Failed to open %s (S/N %s)\n", displayName.c_str(), serial.c_str());
        return false;
    }

    state.exchange (stateOpen);
    channelTable.rebuildSlotEntries();

    if (serial.empty())
        rereadUsbIdentity();

    std::fprintf (stderr, "LMW: Opened %s with %d channels (S/N: %s, FW: %s)\n",
                  displayName.c_str(), static_cast<int> (channelCount), serial.c_str(), firmware.c_str());

    deviceManager.addAudioCallback (this);
    // Our own device type then mixes each block without the manager's
    // callback lock in between.
    if (auto* device = deviceManager.getCurrentAudioDevice())
        callDirectly (*device, this);
    // Broadcasts of this opening (and any left over from before a close) are
    // still queued; with no listener yet they are dropped here rather than
    // reaching the listener after `busy` is cleared as a change of the list.
    deviceManager.dispatchPendingMessages();
    deviceManager.addChangeListener (this);
    busy = false;
    ringCounts.clear();
    startTimer (ringCounterLogIntervalMs);
    return true;
}

void DeviceInstance::timerCallback()
{
    // A source's blocks reach its ring buffer in the cycle that mixes them,
    // so these counters stay still unless something is wrong: say so, once
    // a minute at most. A source seen for the first time sets its baseline.
    std::map<int32_t, std::pair<uint64_t, uint64_t>> now;
    for (const auto& entry : channelTable.copyChannelStates())
        if (const auto ring = entry.active ? channelTable.shareRingBuffer (entry.channelId) : nullptr)
        {
            const auto& counts = now[entry.channelId] = { ring->getDroppedSamples(), ring->getShortReads() };
            if (const auto last = ringCounts.find (entry.channelId); last != ringCounts.end() && last->second != counts)
                std::fprintf (stderr, "LMW: %s on %s: %llu samples dropped, %llu short reads in the last minute\n", entry.name.c_str(),
                              displayName.c_str(), static_cast<unsigned long long> (counts.first - last->second.first),
                              static_cast<unsigned long long> (counts.second - last->second.second));
        }
    ringCounts = std::move (now);
}

bool DeviceInstance::tryOpen (juce::AudioIODeviceType& type, const std::string& target)
{
    type.scanForDevices();
    const auto names = type.getDeviceNames (false);

    std::fprintf (stderr, "LMW:   tryOpen for '%s' (coreAudioId=%u), JUCE sees %d devices:\n",
                  displayName.c_str(), static_cast<unsigned> (coreAudioId), names.size());
    for (int i = 0; i < names.size(); ++i)
        std::fprintf (stderr, "LMW:     [%d] '%s'\n", i, names[i].toRawUTF8());

    for (const auto& juceName : names)
    {
        const auto name = juceName.toStdString();
        if (! isMultitrackCandidate (name, target))
            continue;

        if (claimedNames().contains (name))
        {
            std::fprintf (stderr, "LMW:   skipping '%s' (already claimed by another instance)\n", name.c_str());
            continue;
        }

        deviceManager.allowedDeviceName = juceName;
        const auto error = deviceManager.initialise (0, channelCount, nullptr, false, juceName, nullptr);
        if (error.isNotEmpty())
        {
            std::fprintf (stderr, "LMW:   initialise '%s' failed: %s\n", name.c_str(), error.toRawUTF8());
            continue;
        }

        auto* device = deviceManager.getCurrentAudioDevice();
        if (device == nullptr)
            continue;

        std::fprintf (stderr, "LMW:   opened JUCE device '%s'\n", device->getName().toRawUTF8());
        const int available = device->getOutputChannelNames().size();

        auto setup = deviceManager.getAudioDeviceSetup();
        setup.outputChannels.clear();
        setup.outputChannels.setRange (0, std::min (static_cast<int> (channelCount), available), true);
        setup.inputChannels.clear();

        deviceManager.removeAudioCallback (this);
        const auto setupError = deviceManager.setAudioDeviceSetup (setup, true);
        if (setupError.isNotEmpty())
        {
            std::fprintf (stderr, "LMW:   setAudioDeviceSetup failed: %s\n", setupError.toRawUTF8());
            continue;
        }

        claimedDeviceName = name;
        claimedNames().insert (name);
        std::fprintf (stderr, "LMW:   claimed JUCE name '%s'\n", name.c_str());
        return true;
    }

    return false;
}

void DeviceInstance::rereadUsbIdentity()
{
    serial.clear();
    firmware.clear();

    auto* registry = deviceBackends().usbRegistry;
    if (registry == nullptr)
        return;

    if (const auto identity = lookupUsbIdentityByProductName (*registry, usbProductKey (kind)))
    {
        serial = identity->serial;
        firmware = identity->firmware;
        std::fprintf (stderr, "LMW: %s USB serial=%s firmware=%s\n", displayName.c_str(), serial.c_str(), firmware.c_str());
    }
}

void DeviceInstance::close()
{
    stopTimer();
    busy = true;
    deviceManager.removeChangeListener (this);
    if (auto* device = deviceManager.getCurrentAudioDevice())
        callDirectly (*device, nullptr);
    deviceManager.removeAudioCallback (this);
    deviceManager.closeAudioDevice();
    deviceManager.allowedDeviceName.clear();
    busy = false;

    if (! claimedDeviceName.empty())
    {
        claimedNames().erase (claimedDeviceName);
        claimedDeviceName.clear();
    }

    state.exchange (stateClosed);
}

bool DeviceInstance::isStale() const
{
    if (! isOpen())
        return false;

    // A sink that vanished and came back under the same name before the
    // manager looked leaves it holding a device that no longer plays.
    auto* device = deviceManager.getCurrentAudioDevice();
    return device == nullptr || device->getName().toStdString() != claimedDeviceName || ! device->isPlaying();
}

int32_t DeviceInstance::addChannel (uint32_t slot, const std::string& bundleId, const std::string& name)
{
    return channelTable.addChannel (slot, bundleId, name);
}

int32_t DeviceInstance::addInputChannel (uint32_t slot, const std::string& uid, const std::string& name, uint32_t deviceId)
{
    return channelTable.addInputChannel (slot, uid, name, deviceId);
}

RemoveOutcome DeviceInstance::removeChannel (uint32_t slot, const std::string& identifier)
{
    return channelTable.removeChannel (slot, identifier);
}

std::vector<SlotSourceInfo> DeviceInstance::channelsForSlot (uint32_t slot) const
{
    return channelTable.channelsForSlot (slot);
}

void DeviceInstance::audioDeviceIOCallbackWithContext (const float* const*, int,
                                                       float* const* outputChannelData, int numOutputChannels,
                                                       int numSamples, const juce::AudioIODeviceCallbackContext&)
{
    mixBlock (channelTable, outputChannelData, numOutputChannels, numSamples);
}

void DeviceInstance::audioDeviceAboutToStart (juce::AudioIODevice* device)
{
    currentSampleRate = device->getCurrentSampleRate();
    currentBlockSize = device->getCurrentBufferSizeSamples();

    std::fprintf (stderr, "LMW: %s started — %s @ %.0fHz, block=%d\n", displayName.c_str(),
                  device->getName().toRawUTF8(), currentSampleRate, static_cast<int> (currentBlockSize));

    channelTable.prepareToMix (currentBlockSize);
}

void DeviceInstance::changeListenerCallback (juce::ChangeBroadcaster*)
{
    if (busy)
        return;

    DeviceTracker::instance().queueDeviceListChange();
}

} // namespace loomwell

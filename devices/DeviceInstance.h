#pragma once

#include "ChannelTable.h"
#include "ConsoleModels.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace loomwell
{

// A console's device manager. It takes its device types from
// deviceBackends().createDeviceTypes and can only ever create the one output
// device it has been told to: when that device vanishes, JUCE's manager
// would otherwise open the system's default device in its place and the
// console's slots would play into the wrong device.
class ConsoleDeviceManager final : public juce::AudioDeviceManager
{
public:
    // Name of the only device the manager may create; empty: none.
    juce::String allowedDeviceName;

protected:
    void createAudioDeviceTypes (juce::OwnedArray<juce::AudioIODeviceType>& types) override;
};

// One attached console: its identity, its multitrack device and its sources.
class DeviceInstance : public juce::AudioIODeviceCallback,
                       public juce::ChangeListener,
                       private juce::Timer
{
public:
    enum : int32_t
    {
        stateClosed = 0,
        stateOpen = 2
    };

    DeviceInstance (const ConsoleModel& model, std::string serial, std::string firmware);
    ~DeviceInstance() override;

    DeviceInstance (const DeviceInstance&) = delete;
    DeviceInstance& operator= (const DeviceInstance&) = delete;

    // Main thread. open() searches every device type for this console's
    // multitrack device; close() is harmless on a closed instance.
    bool open();
    void close();

    bool isOpen() const noexcept { return state.load() == stateOpen; }

    // Open, but the manager no longer holds the device this instance claimed
    // (it vanished, or the manager replaced it), or that device stopped
    // playing on its own.
    bool isStale() const;

    // The channel table's operations (main thread).
    int32_t addChannel (uint32_t slot, const std::string& bundleId, const std::string& name);
    int32_t addInputChannel (uint32_t slot, const std::string& uid, const std::string& name, uint32_t deviceId);
    RemoveOutcome removeChannel (uint32_t slot, const std::string& identifier);
    std::vector<SlotSourceInfo> channelsForSlot (uint32_t slot) const;

    ChannelTable& getChannelTable() noexcept { return channelTable; }
    juce::AudioDeviceManager& getDeviceManager() noexcept { return deviceManager; }

    void audioDeviceIOCallbackWithContext (const float* const* inputChannelData, int numInputChannels,
                                           float* const* outputChannelData, int numOutputChannels,
                                           int numSamples,
                                           const juce::AudioIODeviceCallbackContext& context) override;
    void audioDeviceAboutToStart (juce::AudioIODevice* device) override;
    void audioDeviceStopped() override {}
    void changeListenerCallback (juce::ChangeBroadcaster*) override;

    // Names held by open instances; one device is never opened by two.
    static const std::set<std::string>& claimedDeviceNames() noexcept;

    const int32_t kind;
    const std::string multitrackDeviceName;
    const std::string displayName;
    const int32_t channelCount;
    uint32_t coreAudioId = 0;

    std::string serial;
    std::string firmware;
    std::string claimedDeviceName;

    double currentSampleRate = 44100.0;
    int32_t currentBlockSize = ChannelTable::initialMixBlockSize;

private:
    bool tryOpen (juce::AudioIODeviceType& type, const std::string& target);
    void rereadUsbIdentity();
    void timerCallback() override;

    static constexpr int ringCounterLogIntervalMs = 60 * 1000;
    std::map<int32_t, std::pair<uint64_t, uint64_t>> ringCounts; // dropped samples, short reads

    ConsoleDeviceManager deviceManager;
    ChannelTable channelTable;
    std::atomic<int32_t> state { stateClosed };
    bool busy = false;
};

// Whether an audio device of this name can be the multitrack device of a
// console whose device is listed as `target`: the name itself, or the name
// the audio layer gives a further device of that name ("target (2)").
bool isMultitrackCandidate (const std::string& name, const std::string& target);

} // namespace loomwell

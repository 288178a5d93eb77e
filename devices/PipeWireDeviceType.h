#pragma once

#include "ConsoleLanes.h"

#include <juce_audio_devices/juce_audio_devices.h>

#include <memory>

namespace loomwell
{

class PipeWireConnection;

// The "PipeWire" device type: one output device per Audio/Sink node, named
// after the node's description (same names told apart as "Name (2)", ...),
// playing into that sink as a node of its own whose lanes take the sources. It tells its listeners, on the
// message thread, whenever sinks appear or vanish.
std::unique_ptr<juce::AudioIODeviceType> createPipeWireDeviceType (PipeWireConnection&);

// Has a device of the "PipeWire" type call `callback` straight from its
// process callback rather than through the juce::AudioDeviceManager that
// started it: the manager's dispatch locks a mutex on every block, which its
// message thread holds while it adds, removes or starts callbacks, and the
// real-time thread must not wait for that. For a manager whose only callback
// this is; the manager still starts and stops the device. nullptr gives the
// blocks back to the manager and returns once no block is still calling the
// previous callback. False for a device of another type, which keeps the
// manager's dispatch.
bool callDirectly (juce::AudioIODevice& device, juce::AudioIODeviceCallback* callback);

// The lanes of an open device of the "PipeWire" type; null for any other.
std::shared_ptr<ConsoleLanes> consoleLanes (juce::AudioIODevice* device);

// The device types of a console's device manager on Linux, in search order:
// PipeWire first, then JUCE's own ALSA and JACK types where they are built.
void addLinuxDeviceTypes (PipeWireConnection&, juce::OwnedArray<juce::AudioIODeviceType>& types);

} // namespace loomwell

#pragma once

#include <juce_audio_devices/juce_audio_devices.h>

#include <memory>

namespace loomwell
{

// The "PipeWire" device type: one output device per Audio/Sink node, named
// after the node's description (same names told apart as "Name (2)", ...),
// playing through a stream into that sink. It tells its listeners, on the
// message thread, whenever sinks appear or vanish.
std::unique_ptr<juce::AudioIODeviceType> createPipeWireDeviceType();

// The device types of a console's device manager on Linux, in search order:
// PipeWire first, then JUCE's own ALSA and JACK types where they are built.
void addLinuxDeviceTypes (juce::OwnedArray<juce::AudioIODeviceType>& types);

} // namespace loomwell

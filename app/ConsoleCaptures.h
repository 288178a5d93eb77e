#pragma once

#include "DeviceTracker.h"

#include <cstdint>
#include <string>

namespace loomwell
{

// Where the tracker meets the captures: the device library cannot call the
// capture layer (which is built on it), so the program hands the tracker
// these hooks. Consoles are the capture registries' keys.
void connectTrackerToCaptures (DeviceTracker& tracker);

// Takes a source off a slot with its capture. The capture of the removed
// source is stopped before the table lets go of its buffer; when the slot
// entry takes over another entry's source, that source's capture, whose
// buffer moved with it, is filed under the slot entry and keeps playing.
// Main thread.
RemoveOutcome removeSourceFromSlot (DeviceInstance& device, uint32_t slot, const std::string& identifier);

} // namespace loomwell

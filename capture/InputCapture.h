#pragma once

#include "ConsoleLanes.h"
#include "RingBuffer.h"

#include <cstdint>
#include <memory>

namespace loomwell
{

// Capture of one audio source (see InputDevices.h) into the ring buffer of
// the channel that carries it, as interleaved stereo at the console's rate:
// the source's ports are linked into a lane of the console's node (see
// ConsoleLanes), so that its blocks reach the console in the cycle they were
// taken in, under the console's driver. A mono source is heard on both
// sides; of a source with more than two channels the first two are taken.
//
// Captures are kept per console and channel id (channel ids repeat across
// consoles); `console` is only a key. Every function here runs on the main
// thread. Nothing is logged: a start that fails leaves the channel silent.
// When the source goes away, its links go with it and the capture stays
// registered and silent; nothing is ever linked to another source.

// Stops the channel's capture first; then captures deviceId (a source's
// object serial) when it is a source with at least one channel.
void startInputCapture (const void* console, std::shared_ptr<ConsoleLanes> lanes, uint32_t deviceId, int32_t channelId,
                        std::shared_ptr<RingBuffer> ringBuffer);

// The lane writes into the ring buffer no more once it returns; nothing
// when there is no capture.
void stopInputCapture (const void* console, int32_t channelId);

// Files a running capture under another channel id (the channel table's
// take-over moves the buffer to the slot entry, see RemoveOutcome). A capture
// already filed under toChannelId is stopped first.
void moveInputCapture (const void* console, int32_t fromChannelId, int32_t toChannelId);

// Before a console's channel table is rebuilt or destroyed.
void stopAllInputCaptures (const void* console);

bool hasInputCapture (const void* console, int32_t channelId);
// Registered and linked to its source; false once the source went away.
bool inputCaptureIsLive (const void* console, int32_t channelId);

} // namespace loomwell

#pragma once

#include "RingBuffer.h"

#include <cstdint>
#include <memory>

namespace loomwell
{

// Capture of one audio source (see InputDevices.h) into the ring buffer of
// the channel that carries it, as interleaved stereo float at 48 kHz: a mono
// source is heard on both sides, a source with more than two channels is
// taken as two. The stream asks PipeWire for planar float at 48 kHz; the
// daemon converts whatever the source delivers.
//
// Captures are kept per console and channel id (channel ids repeat across
// consoles); `console` is only a key. Every function here runs on the main
// thread. Nothing is logged: a start that fails leaves the channel silent.
//
// A capture holds its share of the ring buffer until its stream can no
// longer call back, so a late stop never writes into a released channel.
// When the source goes away the capture stays registered and silent; the
// session manager is told never to move it to another source.

// Stops the channel's capture first; then captures deviceId (a source's
// object serial) when it is a source with at least one channel. Waits at most
// a few seconds for the stream to connect.
void startInputCapture (const void* console, uint32_t deviceId, int32_t channelId,
                        std::shared_ptr<RingBuffer> ringBuffer);

// Tears the stream down before returning; nothing when there is no capture.
void stopInputCapture (const void* console, int32_t channelId);

// Files a running capture under another channel id (the channel table's
// take-over moves the buffer to the slot entry, see RemoveOutcome). A capture
// already filed under toChannelId is stopped first.
void moveInputCapture (const void* console, int32_t fromChannelId, int32_t toChannelId);

// Before a console's channel table is rebuilt or destroyed.
void stopAllInputCaptures (const void* console);

bool hasInputCapture (const void* console, int32_t channelId);
// Registered and connected to its source; false once the source went away.
bool inputCaptureIsLive (const void* console, int32_t channelId);

} // namespace loomwell

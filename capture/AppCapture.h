#pragma once

#include "RingBuffer.h"

#include <cstdint>
#include <memory>
#include <string>

namespace loomwell
{

// The audio of one application, fed into a channel's ring buffer as 32-bit
// float interleaved stereo at 48 kHz. The capture is a PipeWire capture stream
// of our own that is linked to every playback stream of the application: the
// application keeps playing where it plays (a tap, not a move). It follows the
// graph for as long as it is registered: streams the application opens later
// are linked in, also after the application quit and started again; while it
// plays nothing the capture stays registered and silent.
//
// Captures are filed by console (opaque: the device instance) and channel
// id, since channel ids repeat across consoles. Main thread only; the graph
// is followed through PipeWireConnection's listener, so the message loop must
// run. Each capture keeps its share of the ring buffer until its stream can no
// longer call back: a start that gives up late or a stop never lets a writer
// into a buffer its channel has released.

// Stops the channel's capture first. Logs "LMW: App not found: %s" when no
// application with that identity is playing. Blocks at most 10 s after the stop.
// An application that is not playing when its capture starts: a source a
// person picks is left silent (giveUp); a source put back on its slot after
// the console or the sound server came back waits for it (waitForIt), as
// applications come back on their own time after a sound server restart.
enum class AbsentApp
{
    giveUp,
    waitForIt
};

void startAppCapture (const void* console, const std::string& bundleId, int32_t channelId,
                      std::shared_ptr<RingBuffer> ringBuffer, AbsentApp absent = AbsentApp::giveUp);

// Blocks at most 5 s; nothing happens when the channel has no capture.
void stopAppCapture (const void* console, int32_t channelId);

// The channel table moved a running capture's buffer to another entry (a slot
// entry took over an extra entry's source): the capture is now that entry's.
// A capture already filed under the destination is stopped first.
void moveAppCapture (const void* console, int32_t fromChannelId, int32_t toChannelId);

// Before a console's channels are rebuilt or the console goes away.
void stopAllAppCaptures (const void* console);

bool hasAppCapture (const void* console, int32_t channelId);

// Where the capture's messages go; syslog unless replaced (tests). Null
// restores syslog.
using CaptureLogSink = void (*) (const char* message);
void setCaptureLogSink (CaptureLogSink sink);

} // namespace loomwell

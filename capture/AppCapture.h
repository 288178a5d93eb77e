#pragma once

#include "ConsoleLanes.h"
#include "RingBuffer.h"

#include <cstdint>
#include <memory>
#include <string>

namespace loomwell
{

// The audio of one application, fed into a channel's ring buffer as
// interleaved stereo at the console's rate. The capture takes a lane of the
// console's node (see ConsoleLanes) and links every playback stream of the
// application into it: the application keeps playing where it plays (a tap,
// not a move), and its blocks reach the console in the cycle they were
// played in. It follows the graph for as long as it is registered: streams
// the application opens later are linked in, also after the application
// quit and started again; while it plays nothing the lane stays silent.
//
// Captures are filed by console (opaque: the device instance) and channel
// id, since channel ids repeat across consoles. Main thread only; the graph
// is followed through PipeWireConnection's listener, so the message loop must
// run. A stop returns once the lane writes into the ring buffer no more.

// Stops the channel's capture first. Logs "LMW: App not found: %s" when no
// application with that identity is playing.
// An application that is not playing when its capture starts: a source a
// person picks is left silent (giveUp); a source put back on its slot after
// the console or the sound server came back waits for it (waitForIt), as
// applications come back on their own time after a sound server restart.
enum class AbsentApp
{
    giveUp,
    waitForIt
};

void startAppCapture (const void* console, std::shared_ptr<ConsoleLanes> lanes, const std::string& bundleId, int32_t channelId,
                      std::shared_ptr<RingBuffer> ringBuffer, AbsentApp absent = AbsentApp::giveUp);

// Nothing happens when the channel has no capture.
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

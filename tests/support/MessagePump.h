#pragma once

#include <chrono>
#include <functional>

namespace juce
{
// juce_events' Linux message pump; JUCE only declares it for its own use.
// Modal loops are off in this build, so the tests pump the queue themselves.
bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
} // namespace juce

// Running the JUCE message loop on the test's (the message) thread, where
// timers, async updates and the PipeWire connection's listeners are called.
namespace loomwell::testing
{

// Runs queued messages and timers until ready() or the timeout; false on timeout.
bool pumpUntil (const std::function<bool()>& ready, std::chrono::milliseconds timeout = std::chrono::seconds (10));

// Runs queued messages and timers for that long.
void pumpFor (std::chrono::milliseconds duration);

// Runs the messages already queued (and those they queue) and returns once
// the queue is empty.
void dispatchPendingMessages();

} // namespace loomwell::testing

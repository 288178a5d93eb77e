#pragma once

#include <juce_events/juce_events.h>

#include <chrono>
#include <functional>
#include <thread>

namespace juce
{
// juce_events' Linux message pump, which JUCE declares for its own use only:
// with modal loops off in this build, the tests pump the queue themselves.
bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
} // namespace juce

namespace loomwell::testing
{

// Runs the messages and timers of the test's thread (the message thread)
// until ready() or the timeout; false on timeout.
inline bool pumpUntil (const std::function<bool()>& ready, std::chrono::milliseconds timeout = std::chrono::seconds (10))
{
    for (const auto end = std::chrono::steady_clock::now() + timeout; ! ready();)
        if (std::chrono::steady_clock::now() > end)
            return false;
        else if (! juce::dispatchNextMessageOnSystemQueue (true))
            std::this_thread::sleep_for (std::chrono::milliseconds (2));
    return true;
}

inline void pumpFor (std::chrono::milliseconds duration)
{
    pumpUntil ([] { return false; }, duration);
}

} // namespace loomwell::testing

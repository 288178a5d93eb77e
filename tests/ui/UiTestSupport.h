#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <chrono>
#include <functional>
#include <thread>

namespace juce
{
// JUCE's Linux message loop; modal loops are off in this build, so the
// tests pump the queue themselves.
bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
}

namespace loomwell::ui::testing
{

// Runs queued messages and timers until 'done' holds or the time is up.
inline bool pumpUntil (const std::function<bool()>& done, double seconds = 5.0)
{
    const auto end = juce::Time::getMillisecondCounterHiRes() + seconds * 1000.0;
    while (! done())
    {
        if (juce::Time::getMillisecondCounterHiRes() > end)
            return false;
        if (! juce::dispatchNextMessageOnSystemQueue (true))
            std::this_thread::sleep_for (std::chrono::milliseconds (1));
    }
    return true;
}

inline void pumpFor (double seconds)
{
    pumpUntil ([] { return false; }, seconds);
}

} // namespace loomwell::ui::testing

#include "MessagePump.h"

#include <thread>

namespace loomwell::testing
{

bool pumpUntil (const std::function<bool()>& ready, std::chrono::milliseconds timeout)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    while (! ready())
    {
        if (Clock::now() > deadline)
            return false;
        if (! juce::dispatchNextMessageOnSystemQueue (true))
            std::this_thread::sleep_for (std::chrono::milliseconds (2));
    }
    return true;
}

void pumpFor (std::chrono::milliseconds duration)
{
    pumpUntil ([] { return false; }, duration);
}

void dispatchPendingMessages()
{
    while (juce::dispatchNextMessageOnSystemQueue (true))
    {
    }
}

} // namespace loomwell::testing

#pragma once

#include "MessagePump.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <chrono>
#include <functional>

namespace loomwell::ui::testing
{

// The shared message pump, with the timeouts in seconds the UI tests speak in.
inline bool pumpUntil (const std::function<bool()>& done, double seconds = 5.0)
{
    return loomwell::testing::pumpUntil (done, std::chrono::duration_cast<std::chrono::milliseconds> (std::chrono::duration<double> (seconds)));
}

inline void pumpFor (double seconds)
{
    pumpUntil ([] { return false; }, seconds);
}

} // namespace loomwell::ui::testing

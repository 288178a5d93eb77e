#pragma once

#include <functional>
#include <memory>

namespace loomwell
{

// Tells the program when the computer resumes from sleep, so that the consoles,
// whose audio devices the sound server rebuilds on resume, can be dropped and
// found afresh. The source is logind's PrepareForSleep signal on the system bus.
class WakeObserver
{
public:
    // Watches logind's PrepareForSleep on the system bus; onWake runs on the message thread when the system resumes.
    // nullptr when there is no system bus or no logind (the program then runs without it).
    // Call on the message thread; the bus connection is served by its event loop.
    static std::unique_ptr<WakeObserver> create (std::function<void()> onWake);
    virtual ~WakeObserver();

    WakeObserver (const WakeObserver&) = delete;
    WakeObserver& operator= (const WakeObserver&) = delete;

protected:
    WakeObserver() = default;
};

} // namespace loomwell

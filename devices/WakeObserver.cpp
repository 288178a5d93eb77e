#include "WakeObserver.h"

#include "BusDispatch.h"

#include <juce_events/juce_events.h>

#include <systemd/sd-bus.h>

#include <cstdint>

namespace loomwell
{
namespace
{

constexpr const char* loginService = "org.freedesktop.login1";
constexpr const char* loginPath = "/org/freedesktop/login1";
constexpr const char* loginManager = "org.freedesktop.login1.Manager";

// Start-up must not hang on a bus that accepts the connection but never answers.
constexpr uint64_t callTimeoutUsec = 5'000'000;

bool nameHasOwner (sd_bus* bus, const char* name)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int owned = 0;
    if (sd_bus_call_method (bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                            "NameHasOwner", &error, &reply, "s", name) >= 0)
    {
        if (sd_bus_message_read (reply, "b", &owned) < 0)
            owned = 0;
    }
    sd_bus_message_unref (reply);
    sd_bus_error_free (&error);
    return owned != 0;
}

// The bus connection is served on the message thread (see BusDispatch).
class SdBusWakeObserver final : public WakeObserver
{
public:
    SdBusWakeObserver (sd_bus* connection, std::function<void()> wakeCallback)
        : bus (connection), onWake (std::move (wakeCallback))
    {
    }

    ~SdBusWakeObserver() override
    {
        // Queued wake calls check the token and find nobody.
        alive.reset();
        dispatch.reset();
        sd_bus_slot_unref (match);
        // Nothing we would send is worth waiting for on a bus that may have stalled.
        sd_bus_close_unref (bus);
    }

    bool start()
    {
        if (sd_bus_match_signal (bus, &match, loginService, loginPath, loginManager, "PrepareForSleep",
                                 &SdBusWakeObserver::handlePrepareForSleep, this)
            < 0)
            return false;

        // The calls made so far may have read signals into sd-bus's queue;
        // serving once hands them out and arms the descriptor. A bus that
        // goes away later stays silent: the program runs on without wake events.
        return dispatch->serve();
    }

private:
    static int handlePrepareForSleep (sd_bus_message* message, void* userData, sd_bus_error*)
    {
        int goingToSleep = 1;
        if (sd_bus_message_read (message, "b", &goingToSleep) < 0)
            return 0;

        // false: the system has resumed. onWake runs from the message queue,
        // outside sd-bus's dispatch, so it may do whatever it likes with the program.
        if (goingToSleep == 0)
        {
            auto* self = static_cast<SdBusWakeObserver*> (userData);
            juce::MessageManager::callAsync ([token = std::weak_ptr<SdBusWakeObserver*> (self->alive)]
                                             {
                                                 if (auto owner = token.lock())
                                                     (*owner)->onWake();
                                             });
        }
        return 0;
    }

    sd_bus* bus = nullptr;
    sd_bus_slot* match = nullptr;
    std::function<void()> onWake;
    std::shared_ptr<SdBusWakeObserver*> alive = std::make_shared<SdBusWakeObserver*> (this);
    std::unique_ptr<BusDispatch> dispatch = std::make_unique<BusDispatch> (bus);
};

} // namespace

WakeObserver::~WakeObserver() = default;

std::unique_ptr<WakeObserver> WakeObserver::create (std::function<void()> onWake)
{
    sd_bus* bus = nullptr;
    if (sd_bus_open_system (&bus) < 0)
        return nullptr;

    sd_bus_set_method_call_timeout (bus, callTimeoutUsec);

    // Without logind nobody would ever send the signal.
    if (! nameHasOwner (bus, loginService))
    {
        sd_bus_close_unref (bus);
        return nullptr;
    }

    auto observer = std::make_unique<SdBusWakeObserver> (bus, std::move (onWake));
    if (! observer->start())
        return nullptr;
    return observer;
}

} // namespace loomwell

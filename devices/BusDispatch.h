#pragma once

#include <juce_events/juce_events.h>

#include <functional>
#include <memory>

struct sd_bus;

namespace loomwell
{

// Serves an sd-bus connection on JUCE's message thread: its socket is one
// more descriptor of the event loop, watched for what sd-bus waits for, and a
// timer runs only while sd-bus keeps a deadline of its own (a call waiting
// for its reply). Nothing runs while nothing happens on the bus.
class BusDispatch final : private juce::Timer
{
public:
    // The connection is not owned and must outlive this.
    explicit BusDispatch (sd_bus* bus);
    ~BusDispatch() override;

    BusDispatch (const BusDispatch&) = delete;
    BusDispatch& operator= (const BusDispatch&) = delete;

    // Hands out whatever sd-bus holds (messages it read during a call of
    // ours, replies, signals), sends what is queued and arms the descriptor.
    // Call once when set up and after every message sent from outside a
    // callback of this bus. False once the bus is closed.
    bool serve();

    // Runs (once, from the message loop) when the connection is closed.
    std::function<void()> onClosed;

private:
    void rearm();
    void watch (short mask);
    void unwatch();
    void stopServing();
    void timerCallback() override;

    sd_bus* const bus;
    std::shared_ptr<BusDispatch*> alive = std::make_shared<BusDispatch*> (this);
    int watchedFd = -1;
    short watchedMask = 0;
    bool watching = false;
    bool closed = false;
};

} // namespace loomwell

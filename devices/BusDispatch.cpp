#include "BusDispatch.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <ctime>

namespace loomwell
{

namespace
{

uint64_t monotonicNowUsec()
{
    timespec now {};
    clock_gettime (CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t> (now.tv_sec) * 1'000'000u + static_cast<uint64_t> (now.tv_nsec) / 1000u;
}

} // namespace

BusDispatch::BusDispatch (sd_bus* connection) : bus (connection) {}

BusDispatch::~BusDispatch()
{
    // An fd callback JUCE has already picked for this round checks the
    // token and finds nobody.
    alive.reset();
    stopTimer();
    unwatch();
}

bool BusDispatch::serve()
{
    if (closed)
        return false;
    // A handler may end the owner of this dispatcher: the token tells.
    const std::weak_ptr<BusDispatch*> token = alive;
    for (;;)
    {
        const int r = sd_bus_process (bus, nullptr);
        if (token.expired())
            return false;
        if (r < 0)
            break;
        if (r == 0)
        {
            if (sd_bus_is_open (bus) > 0)
            {
                rearm();
                return ! closed;
            }
            break;
        }
    }

    stopServing();
    closed = true;
    juce::MessageManager::callAsync ([token] {
        if (auto owner = token.lock(); owner != nullptr && (*owner)->onClosed)
            (*owner)->onClosed();
    });
    return false;
}

void BusDispatch::rearm()
{
    const int events = sd_bus_get_events (bus);
    if (events < 0)
        return stopServing();

    const auto mask = static_cast<short> (events);
    if (! watching || mask != watchedMask)
    {
        unwatch();
        watch (mask);
        if (! watching)
            return stopServing();
    }

    uint64_t deadline = UINT64_MAX;
    if (sd_bus_get_timeout (bus, &deadline) < 0 || deadline == UINT64_MAX)
    {
        stopTimer();
        return;
    }

    const auto now = monotonicNowUsec();
    const auto waitMs = deadline > now ? (deadline - now + 999) / 1000 : 0;
    startTimer (static_cast<int> (std::clamp<uint64_t> (waitMs, 1, INT_MAX)));
}

void BusDispatch::watch (short mask)
{
    watchedFd = sd_bus_get_fd (bus);
    if (watchedFd < 0)
        return;

    juce::LinuxEventLoop::registerFdCallback (
        watchedFd,
        [token = std::weak_ptr<BusDispatch*> (alive)] (int)
        {
            if (auto owner = token.lock())
                (*owner)->serve();
        },
        mask);
    watching = true;
    watchedMask = mask;
}

void BusDispatch::unwatch()
{
    if (! watching)
        return;
    juce::LinuxEventLoop::unregisterFdCallback (watchedFd);
    watching = false;
}

void BusDispatch::stopServing()
{
    stopTimer();
    unwatch();
}

void BusDispatch::timerCallback()
{
    stopTimer();
    serve();
}

} // namespace loomwell

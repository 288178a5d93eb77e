#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace loomwell
{

// Posted on the message thread when a hot-plug run or the post-wake rescan
// has finished: the set of consoles or their slots may have changed.
inline constexpr const char* deviceStateChangedNotification = "LMWDeviceStateChanged";

// The process's notification centre: named notifications without object or
// user info, delivered to their observers on the message thread.
class NotificationCentre
{
public:
    using Token = uint64_t;

    static NotificationCentre& defaultCentre();

    // Main thread. The callback runs for every post of `name` until the
    // token is removed; 0 is never a token.
    Token addObserver (std::string name, std::function<void()> callback);
    void removeObserver (Token token);

    // On the message thread the observers run before post returns, in the
    // order they were added; from any other thread the delivery is queued to
    // the message thread. An observer removed by an earlier one in the same
    // delivery is not called.
    void post (const std::string& name);

private:
    NotificationCentre() = default;
    void deliver (const std::string& name);

    struct Observer
    {
        Token token;
        std::string name;
        std::function<void()> callback;
    };

    std::vector<Observer> observers;
    Token nextToken = 1;
};

} // namespace loomwell

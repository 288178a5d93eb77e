#include "Notifications.h"

#include <juce_events/juce_events.h>

#include <algorithm>

namespace loomwell
{

NotificationCentre& NotificationCentre::defaultCentre()
{
    static NotificationCentre centre;
    return centre;
}

NotificationCentre::Token NotificationCentre::addObserver (std::string name, std::function<void()> callback)
{
    const auto token = nextToken++;
    observers.push_back ({ token, std::move (name), std::move (callback) });
    return token;
}

void NotificationCentre::removeObserver (Token token)
{
    observers.erase (std::remove_if (observers.begin(), observers.end(),
                                     [token] (const auto& o) { return o.token == token; }),
                     observers.end());
}

void NotificationCentre::post (const std::string& name)
{
    auto* manager = juce::MessageManager::getInstanceWithoutCreating();
    if (manager != nullptr && ! manager->isThisTheMessageThread())
    {
        juce::MessageManager::callAsync ([name] { defaultCentre().deliver (name); });
        return;
    }
    deliver (name);
}

void NotificationCentre::deliver (const std::string& name)
{
    // Observers may add or remove observers while being told; the tokens
    // taken up front are checked again before each call.
    std::vector<Token> due;
    for (const auto& o : observers)
        if (o.name == name)
            due.push_back (o.token);

    for (const auto token : due)
    {
        const auto it = std::find_if (observers.begin(), observers.end(), [token] (const auto& o) { return o.token == token; });
        if (it == observers.end())
            continue;
        auto callback = it->callback; // the observer may remove itself
        callback();
    }
}

} // namespace loomwell

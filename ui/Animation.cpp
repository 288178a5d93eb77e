#include "Animation.h"

#include <juce_core/juce_core.h>

namespace loomwell::ui
{

double mediaTime()
{
    return juce::Time::getMillisecondCounterHiRes() / 1000.0;
}

float KeyframeAnimation::valueAt (double now) const
{
    if (values.empty() || values.size() != keyTimes.size())
        return -1.0f;

    if (now < beginTime)
        return fillBackwards ? values.front() : -1.0f;

    if (duration <= 0.0 || now >= beginTime + duration)
        return (fillForwards || ! removedOnCompletion) ? values.back() : -1.0f;

    const auto t = static_cast<float> ((now - beginTime) / duration);

    for (size_t k = 1; k < keyTimes.size(); ++k)
    {
        if (t <= keyTimes[k])
        {
            const auto span = keyTimes[k] - keyTimes[k - 1];
            const auto f = span > 0.0f ? (t - keyTimes[k - 1]) / span : 1.0f;
            return values[k - 1] + (values[k] - values[k - 1]) * f;
        }
    }
    return values.back();
}

void AnimationSet::add (const std::string& key, KeyframeAnimation animation)
{
    for (auto it = entries.begin(); it != entries.end(); ++it)
    {
        if (it->first == key)
        {
            entries.erase (it);
            break;
        }
    }
    entries.emplace_back (key, std::move (animation));
}

const KeyframeAnimation* AnimationSet::find (const std::string& key) const
{
    for (const auto& [k, a] : entries)
        if (k == key)
            return &a;
    return nullptr;
}

bool AnimationSet::advance (double now)
{
    std::erase_if (entries, [now] (const auto& e) { return e.second.removedOnCompletion && e.second.hasEnded (now); });

    for (const auto& [k, a] : entries)
        if (! a.hasEnded (now))
            return true;
    return false;
}

float AnimationSet::scaleAt (double now) const
{
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
    {
        const auto v = it->second.valueAt (now);
        if (v >= 0.0f)
            return v;
    }
    return 1.0f;
}

} // namespace loomwell::ui

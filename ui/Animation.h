#pragma once

#include <string>
#include <utility>
#include <vector>

namespace loomwell::ui
{

// Seconds of a monotonic clock; animations and the "+" hold-off measure time
// with it.
double mediaTime();

// A scale animation through key frames, interpolated linearly between them:
// before its begin time it applies only with fillBackwards (the first value),
// after its end only with fillForwards (the last value).
struct KeyframeAnimation
{
    std::vector<float> values;
    std::vector<float> keyTimes; // 0..1, one per value
    double beginTime = 0.0;
    double duration = 0.0;
    bool fillBackwards = false;
    bool fillForwards = false;
    bool removedOnCompletion = true;

    bool hasEnded (double now) const { return now >= beginTime + duration; }
    // The scale the animation gives at 'now', or a negative value when it does
    // not apply at that time.
    float valueAt (double now) const;
};

// The animations attached to one drawn object, by key; a newer animation of
// the same property overrides older ones, as added.
class AnimationSet
{
public:
    void add (const std::string& key, KeyframeAnimation animation);
    void removeAll() { entries.clear(); }
    const KeyframeAnimation* find (const std::string& key) const;
    // Drops finished animations that are removed on completion; true while
    // some animation still changes or holds the scale.
    bool advance (double now);
    // The effective scale at 'now' (1 when nothing applies).
    float scaleAt (double now) const;
    bool empty() const { return entries.empty(); }

private:
    std::vector<std::pair<std::string, KeyframeAnimation>> entries;
};

} // namespace loomwell::ui

#include "ScrollSteps.h"

#include <algorithm>
#include <cstdlib>

namespace knobly {

namespace {
constexpr int kNotch = 120;
// A GTK host would need this many notches in one event; Qt touchpads send it easily.
constexpr int kQtEvidence = 24;
constexpr int kSliver = kNotch / 5;
} // namespace

int ScrollSteps::accumulate(Caller &caller, int towardsUp) {
    // Turning the other way starts over.
    if (caller.remainder != 0 && (caller.remainder > 0) != (towardsUp > 0))
        caller.remainder = 0;
    caller.remainder += towardsUp;
    const int steps = caller.remainder / kNotch;
    caller.remainder -= steps * kNotch;
    return steps;
}

int ScrollSteps::steps(const QString &caller, int delta, std::int64_t nowMs,
                       bool positiveIsUpHint) {
    if (callers_.size() > 64 && !callers_.contains(caller))
        callers_.clear(); // callers that left; the live ones learn again
    Caller &c = callers_[caller];
    const bool inRun = c.called && nowMs - c.lastCallMs >= 0 && nowMs - c.lastCallMs < runGapMs;
    c.called = true;
    c.lastCallMs = nowMs;

    // abs() of the smallest int is undefined: clamp first.
    const int clamped = std::clamp(delta, -maxStepsPerCall * kNotch, maxStepsPerCall * kNotch);
    if (std::abs(clamped) >= kQtEvidence)
        c.qtUnits = true;
    if (c.qtUnits)
        return delta == 0 ? 0 : accumulate(c, clamped);

    // One notch or a sliver of one, direction by the caller's guessed convention. A floored
    // sliver down arrives as 0, which only GTK-style hosts send.
    if (delta == 0 && positiveIsUpHint)
        return 0;
    const bool up = positiveIsUpHint ? delta > 0 : delta < 0;
    if (!inRun) {
        c.remainder = 0;
        return up ? 1 : -1;
    }
    return accumulate(c, up ? kSliver : -kSliver);
}

} // namespace knobly

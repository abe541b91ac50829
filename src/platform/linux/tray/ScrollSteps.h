#pragma once

#include <QHash>
#include <QString>

#include <cstdint>

namespace knobly {

// Volume steps for the Scroll calls of panel hosts, whose units and directions differ: Qt
// hosts pass 120 per wheel notch with positive = up, GTK hosts one per notch with positive =
// down, and GNOME's extension floors touchpad slivers, so a swipe up comes as a run of -1 and
// a swipe down as a run of 0. A caller proves Qt's units by a delta no GTK host sends; until
// then a call moves one step at most, and the calls of one fast run count a fifth of a notch
// after the first, so that a swipe moves about as far as the wheel would.
class ScrollSteps {
public:
    // The largest a single call may move, whatever it claims.
    static constexpr int maxStepsPerCall = 5;
    // Calls closer than this to the one before belong to one run (touchpad events).
    static constexpr std::int64_t runGapMs = 150;

    // Steps for one vertical Scroll call (positive = up). `positiveIsUpHint` is a guess
    // about the caller's direction, used only while its deltas do not show it.
    int steps(const QString &caller, int delta, std::int64_t nowMs, bool positiveIsUpHint);

private:
    struct Caller {
        bool qtUnits = false;
        std::int64_t lastCallMs = 0;
        bool called = false;
        int remainder = 0; // in 1/120 of a notch, positive = up
    };
    static int accumulate(Caller &caller, int towardsUp);

    QHash<QString, Caller> callers_;
};

} // namespace knobly

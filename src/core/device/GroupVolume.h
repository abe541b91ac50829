#pragma once

#include <QString>

#include <cstdint>
#include <map>
#include <vector>

namespace knobly {

// Group volume: every room moved by the same step, each clamped to its own range, and the
// offsets between rooms kept through the clamping (a room held at 0 comes back to its place).
// The offsets are those of the levels found when a move starts after any other change.
class GroupVolume {
public:
    struct Level {
        QString room; // any name that stays the same for the room
        std::int64_t volume = 0;
        std::int64_t limit = 100;
    };
    // The levels to set, in the order given, for a move by `delta` from the levels shown.
    std::vector<std::int64_t> move(const std::vector<Level> &shown, std::int64_t delta);

private:
    std::map<QString, std::int64_t> anchors_, expected_;
    std::int64_t moved_ = 0;
};

} // namespace knobly

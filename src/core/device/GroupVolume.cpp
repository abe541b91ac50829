#include "GroupVolume.h"

#include <algorithm>

namespace knobly {

std::vector<std::int64_t> GroupVolume::move(const std::vector<Level> &shown, std::int64_t delta) {
    // Rooms added or left, or a level changed by anything but the last move: start afresh.
    bool same = shown.size() == expected_.size();
    for (const Level &level : shown) {
        const auto it = expected_.find(level.room);
        same = same && it != expected_.end() && it->second == level.volume;
    }
    if (!same) {
        anchors_.clear();
        for (const Level &level : shown)
            anchors_[level.room] = level.volume;
        moved_ = 0;
    }
    // No further than where every room is held at an end: the way back starts at once.
    std::int64_t lowest = 0, highest = 0;
    for (const Level &level : shown) {
        lowest = std::min(lowest, -anchors_[level.room]);
        highest = std::max(highest, level.limit - anchors_[level.room]);
    }
    moved_ = std::clamp(moved_ + delta, lowest, highest);
    std::vector<std::int64_t> levels;
    expected_.clear();
    for (const Level &level : shown) {
        const std::int64_t next =
            std::clamp<std::int64_t>(anchors_[level.room] + moved_, 0, level.limit);
        levels.push_back(next);
        expected_[level.room] = next;
    }
    return levels;
}

} // namespace knobly

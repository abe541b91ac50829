#pragma once

#include <QString>

#include <cstdint>
#include <functional>

namespace knobly {

using VolumeFeedback = std::function<void(std::int64_t volume, bool muted, const QString &device,
                                          const QString &iconName)>;

// Volume feedback drawn by the desktop, for sessions where a window of ours cannot be placed
// (Wayland); empty where our own overlay serves. The platform's, chosen at link time.
VolumeFeedback desktopVolumeFeedback();

// A notification that stays until read: no panel shows Knobly's item, how to get one, and
// what works meanwhile. Shown again in place when called again.
std::function<void()> noPanelNotice();

} // namespace knobly

#pragma once

#include <QString>

#include <functional>

namespace knobly {

// A modal warning with an action button (left out when `action` is empty) and "Cancel".
// True when the action was chosen.
bool warnWithAction(const QString &title, const QString &text, const QString &action);

// Opens this desktop's keyboard-shortcut settings: KDE System Settings' shortcuts page or
// GNOME Settings' keyboard page. Empty on desktops we do not know.
std::function<void()> shortcutSettingsOpener();

} // namespace knobly

#pragma once

namespace knobly {

// A Wayland session, whether Qt draws through Wayland or through XWayland: there a window of
// ours cannot be placed at the panel and X11 key grabs see keys only while an X11 window has
// focus.
bool isWaylandSession();

// A KDE Plasma session (XDG_CURRENT_DESKTOP names KDE).
bool isKdeSession();

} // namespace knobly

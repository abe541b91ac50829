// Picks the key tap for this session.
#include "DesktopSession.h"
// Ours or KDE Frameworks', whichever the build chose.
#include <KGlobalAccelKeyTap.h>

#include "KeyTap.h"
#include "PortalKeyTap.h"
#include "X11KeyTap.h"

namespace knobly {

// Under XWayland X11 grabs succeed but see keys only while one of our windows has focus, so
// a Wayland session always goes through the portal. Plasma, X11 or Wayland, holds the volume
// keys for its own volume control in its global shortcut service: that is where to ask.
std::unique_ptr<KeyTap> KeyTap::create() {
    if (isKdeSession())
        return std::make_unique<KGlobalAccelKeyTap>();
    if (isWaylandSession())
        return std::make_unique<PortalKeyTap>();
    return std::make_unique<X11KeyTap>();
}

} // namespace knobly

#include "DesktopSession.h"

#include <QString>

namespace knobly {

bool isWaylandSession() {
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
           qEnvironmentVariable("QT_QPA_PLATFORM").startsWith(QLatin1String("wayland"));
}

} // namespace knobly

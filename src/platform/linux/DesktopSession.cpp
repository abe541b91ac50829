#include "DesktopSession.h"

#include <QGuiApplication>

namespace knobly {

bool isWaylandSession() {
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
        qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland"))
        return true;
    return qGuiApp && QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

} // namespace knobly

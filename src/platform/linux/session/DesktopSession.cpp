#include "DesktopSession.h"

#include <QString>
#include <QStringList>

namespace knobly {

bool isWaylandSession() {
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
           qEnvironmentVariable("QT_QPA_PLATFORM").startsWith(QLatin1String("wayland"));
}

bool isKdeSession() {
    return qEnvironmentVariable("XDG_CURRENT_DESKTOP")
        .split(QLatin1Char(':'))
        .contains(QLatin1String("KDE"), Qt::CaseInsensitive);
}

} // namespace knobly

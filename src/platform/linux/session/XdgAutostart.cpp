// Start at login through the XDG autostart folder: $XDG_CONFIG_HOME/autostart/<id>.desktop.
#include "LoginItem.h"

#include "KnoblyBuild.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace knobly {

namespace {

QString entryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/%1.desktop").arg(QLatin1String(build::appId));
}

// The program path as one quoted Exec argument: quoting first, then the value's own escape
// of backslashes; '%' would start a field code. Control characters cannot be written at all.
std::optional<QString> execArgument(const QString &program) {
    QString quoted = QStringLiteral("\"");
    for (const QChar c : program) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return std::nullopt;
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c == u'%' ? QStringLiteral("%%") : QString(c);
    }
    quoted += u'"';
    return quoted.replace(u'\\', QStringLiteral("\\\\"));
}

} // namespace

bool LoginItem::isEnabled() {
    return QFileInfo(entryPath()).isFile();
}

std::optional<QString> LoginItem::setEnabled(bool on, const QString &program) {
    const QString path = entryPath();
    if (!on) {
        if (!QFileInfo::exists(path))
            return std::nullopt;
        QFile file(path);
        if (file.remove())
            return std::nullopt;
        return QCoreApplication::translate("LoginItem", "%1 could not be removed: %2.")
            .arg(path, file.errorString());
    }
    const auto exec = execArgument(program);
    if (!exec)
        return QCoreApplication::translate("LoginItem",
                                           "The program's path cannot be written in %1.")
            .arg(path);
    QSaveFile file(path);
    const bool folder = QDir().mkpath(QFileInfo(path).path());
    if (folder && file.open(QIODevice::WriteOnly)) {
        const QString entry = QStringLiteral("[Desktop Entry]\n"
                                             "Type=Application\n"
                                             "Name=Knobly\n"
                                             "Comment=WiiM streamer volume in the panel\n"
                                             "Exec=%1\n"
                                             "Icon=%2\n"
                                             "Terminal=false\n"
                                             "X-GNOME-Autostart-enabled=true\n")
                                  .arg(*exec, QLatin1String(build::appId));
        file.write(entry.toUtf8());
        if (file.commit())
            return std::nullopt;
    }
    return QCoreApplication::translate("LoginItem", "%1 could not be written: %2.")
        .arg(path, folder ? file.errorString()
                          : QCoreApplication::translate("LoginItem", "its folder cannot be made"));
}

} // namespace knobly

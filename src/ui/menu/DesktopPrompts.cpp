#include "DesktopPrompts.h"

#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>

namespace knobly {

bool warnWithAction(const QString &title, const QString &text, const QString &action) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Knobly"), title);
    box.setInformativeText(text);
    QPushButton *chosen = nullptr;
    if (!action.isEmpty()) {
        chosen = box.addButton(action, QMessageBox::AcceptRole);
        box.setDefaultButton(chosen);
    }
    QPushButton *cancel = box.addButton(QObject::tr("Cancel"), QMessageBox::RejectRole);
    if (!chosen)
        box.setDefaultButton(cancel);
    box.exec();
    return chosen && box.clickedButton() == chosen;
}

std::function<void()> shortcutSettingsOpener() {
    const QStringList desktops =
        qEnvironmentVariable("XDG_CURRENT_DESKTOP").toUpper().split(QLatin1Char(':'));
    struct Candidate {
        const char *desktop;
        const char *program;
        QStringList arguments;
    };
    const Candidate candidates[] = {
        {"KDE", "systemsettings", {QStringLiteral("kcm_keys")}},
        {"GNOME", "gnome-control-center", {QStringLiteral("keyboard")}},
    };
    for (const Candidate &c : candidates) {
        if (!desktops.contains(QLatin1String(c.desktop)))
            continue;
        const QString program = QStandardPaths::findExecutable(QLatin1String(c.program));
        if (program.isEmpty())
            continue;
        return [program, arguments = c.arguments] { QProcess::startDetached(program, arguments); };
    }
    return {};
}

} // namespace knobly

#include "UpdatePrompt.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>

namespace knobly {

void showUpdateResult(const UpdateController::Result &r, QWidget *parent) {
    QMessageBox box(parent);
    box.setWindowTitle(QStringLiteral("Knobly"));
    box.setTextFormat(Qt::PlainText);
    switch (r.kind) {
    case UpdateController::Result::UpToDate:
        box.setIcon(QMessageBox::Information);
        box.setText(QStringLiteral("Knobly is up to date."));
        box.setInformativeText(
            QStringLiteral("Version %1 is the newest version available.").arg(r.latestVersion));
        break;
    case UpdateController::Result::UpdateAvailable: {
        box.setIcon(QMessageBox::Information);
        box.setText(QStringLiteral("A new version of Knobly is available."));
        box.setInformativeText(QStringLiteral("Version %1 is available \u2014 you have %2.")
                                   .arg(r.latestVersion, UpdateController::currentVersion()));
        QPushButton *open =
            box.addButton(QStringLiteral("Open Download Page"), QMessageBox::AcceptRole);
        QPushButton *later = box.addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
        box.setDefaultButton(open);
        box.setEscapeButton(later);
        // A feed without a page leaves nothing to open.
        open->setEnabled(r.downloadPage.isValid());
        box.exec();
        if (box.clickedButton() == open)
            QDesktopServices::openUrl(r.downloadPage);
        return;
    }
    case UpdateController::Result::NoFeedConfigured:
        box.setIcon(QMessageBox::Information);
        box.setText(QStringLiteral("Updates come with your system's packages."));
        box.setInformativeText(QStringLiteral("This build of Knobly checks for no updates itself; "
                                              "your package manager keeps it current."));
        break;
    case UpdateController::Result::Failed:
        box.setIcon(QMessageBox::Warning);
        box.setText(QStringLiteral("Could not check for updates."));
        box.setInformativeText(r.error);
        break;
    }
    box.exec();
}

} // namespace knobly

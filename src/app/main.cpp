#include "AddressDialog.h"
#include "AppDelegate.h"
#include "AppInstance.h"
#include "DesktopFeedback.h"
#include "DesktopPrompts.h"
#include "DeviceEvents.h"
#include "KnoblyBuild.h"
#include "MainQueue.h"
#include "QtMainQueue.h"
#include "UnixSignals.h"
#include "UrlSession.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QLockFile>
#include <QStandardPaths>

#include <csignal>

using namespace knobly;

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Knobly"));
    QApplication::setOrganizationName(QStringLiteral("Knobly"));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(build::appId));
    QApplication::setQuitOnLastWindowClosed(false);

    // One Knobly per user session: a second copy leaves before it shows anything.
    QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty())
        runtime = QDir::tempPath();
    QLockFile lock(runtime + QStringLiteral("/knobly.lock"));
    lock.setStaleLockTime(0);
    if (!lock.tryLock(0)) {
        // The running one shows its menu, or says again why it cannot be seen.
        AppInstance::activateRunning();
        return 0;
    }
    AppInstance instance;

    MainQueue::install(std::make_shared<QtMainQueue>());
    // The device's events arrive through GLib's loop: without it they would never come.
    if (const QString why = DeviceEvents::unusableReason(); !why.isEmpty()) {
        qCritical("knobly: %s", qUtf8Printable(why));
        return 1;
    }

    AppDelegate::Environment environment;
    environment.makeStatusItem = &StatusItem::create;
    environment.askForAddress = &AddressDialog::ask;
    environment.makeKeyTap = &KeyTap::create;
    environment.warn = &warnWithAction;
    environment.openShortcutSettings = shortcutSettingsOpener();
    environment.cursorPosition = [] { return QCursor::pos(); };
    environment.makeMediaControls = &MediaControls::create;
    environment.makeEvents = &DeviceEvents::create;
    // On Wayland the desktop draws volume feedback; a window of ours would land anywhere.
    environment.showVolume = desktopVolumeFeedback();
    environment.sayNoPanel = noPanelNotice();
    AppDelegate delegate(environment);
    instance.activated = [&delegate] { delegate.activateFromDesktop(); };

    UnixSignals unixSignals({SIGTERM, SIGINT});
    QObject::connect(&unixSignals, &UnixSignals::received, &app, &QCoreApplication::quit);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);

    MainQueue::main().async([&delegate] { delegate.applicationDidFinishLaunching(); });
    const int status = app.exec();
    // Requests still open are called off while what their answers reach still exists.
    UrlSession::abortAll();
    return status;
}

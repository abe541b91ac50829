#include "MainQueue.h"
#include "Settings.h"
#include "linux/UnixSignals.h"
#include "qt/QtMainQueue.h"

#include <QApplication>

#include <csignal>

using namespace knobly;

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Knobly"));
    QApplication::setOrganizationName(QStringLiteral("Knobly"));
    QApplication::setQuitOnLastWindowClosed(false);
    MainQueue::install(std::make_shared<QtMainQueue>());

    UnixSignals unixSignals({SIGTERM, SIGINT});
    QObject::connect(&unixSignals, &UnixSignals::received, &app, &QCoreApplication::quit);

    // The saved device is all the program needs from the last run for now.
    [[maybe_unused]] const QString ip = Settings::ip();
    [[maybe_unused]] const QString name = Settings::deviceName();

    return app.exec();
}

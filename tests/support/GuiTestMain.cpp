// Test entry for code with widgets: an offscreen QApplication and a private settings folder.
#include <QApplication>
#include <QTemporaryDir>

#include "UrlSession.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char **argv) {
    QTemporaryDir config;
    if (!config.isValid())
        return 1;
    ::setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Knobly"));
    QApplication::setApplicationName(QStringLiteral("Knobly"));
    const int status = RUN_ALL_TESTS();
    // No network thread may outlive the application object.
    knobly::UrlSession::abortAll();
    return status;
}

// Test entry: a private settings folder and a QCoreApplication for the network code.
#include <QCoreApplication>
#include <QTemporaryDir>

#include "UrlSession.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char **argv) {
    // Settings paths are fixed on first use, so point them away from the user's own now.
    QTemporaryDir config;
    if (!config.isValid())
        return 1;
    ::setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Knobly"));
    QCoreApplication::setApplicationName(QStringLiteral("Knobly"));
    const int status = RUN_ALL_TESTS();
    // No network thread may outlive the application object.
    knobly::UrlSession::abortAll();
    return status;
}

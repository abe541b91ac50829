// Test entry: a private settings folder and a QCoreApplication for the network code.
#include <QCoreApplication>
#include <QTemporaryDir>

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
    return RUN_ALL_TESTS();
}

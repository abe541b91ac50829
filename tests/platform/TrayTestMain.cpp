// Test entry for the panel item: a QApplication on the offscreen platform (menus, icons and
// screens need one) and a private settings folder.
#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char **argv) {
    QTemporaryDir config;
    if (!config.isValid())
        return 1;
    ::setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    // Before the application exists: the platform plugin is picked in its constructor.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Knobly"));
    QApplication::setApplicationName(QStringLiteral("Knobly"));
    return RUN_ALL_TESTS();
}

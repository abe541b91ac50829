#pragma once

// The test entry's work: a private settings folder, an application object of type `App` named
// as the program's, the tests, and no network thread left behind.
#include <QCoreApplication>
#include <QTemporaryDir>

#include "UrlSession.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <type_traits>

template <typename App> int runTests(int argc, char **argv) {
    // Settings paths are fixed on first use, so point them away from the user's own now.
    QTemporaryDir config;
    if (!config.isValid())
        return 1;
    ::setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    // Before the application exists: the platform plugin is picked in its constructor.
    if constexpr (!std::is_same_v<App, QCoreApplication>)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    App app(argc, argv);
    App::setOrganizationName(QStringLiteral("Knobly"));
    App::setApplicationName(QStringLiteral("Knobly"));
    const int status = RUN_ALL_TESTS();
    // No network thread may outlive the application object.
    knobly::UrlSession::abortAll();
    return status;
}

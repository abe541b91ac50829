// Entry for the soak test: a settings writer when asked for one, otherwise an offscreen
// QApplication with a private settings folder running the tests.
#include "RunTests.h"
#include "Settings.h"

#include <QApplication>
#include <QCoreApplication>

#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kWriterFlag = "--settings-writer=";

// Writes the settings many times in a row; the last values are what the test expects.
int runWriter(int argc, char **argv, const char *name) {
    // The settings folder comes from the parent, so both writers share one file.
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Knobly"));
    QCoreApplication::setApplicationName(QStringLiteral("Knobly"));
    const bool a = std::strcmp(name, "A") == 0;
    if (!a && std::strcmp(name, "B") != 0)
        return 2;
    for (int i = 0; i < 300; ++i) {
        if (a) {
            knobly::Settings::setIp(QStringLiteral("10.0.%1.%2").arg(i / 256).arg(i % 256));
            knobly::Settings::setDeviceName(QStringLiteral("Writer-%1").arg(i));
        } else {
            knobly::Settings::setVolumeStep(i + 1);
            knobly::Settings::setInterceptKeys(i % 2 == 1);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kWriterFlag, std::strlen(kWriterFlag)) == 0)
            return runWriter(argc, argv, argv[i] + std::strlen(kWriterFlag));
    }
    return runTests<QApplication>(argc, argv);
}

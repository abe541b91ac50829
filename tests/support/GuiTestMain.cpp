// Test entry for code with widgets: an offscreen QApplication.
#include "RunTests.h"

#include <QApplication>

int main(int argc, char **argv) {
    return runTests<QApplication>(argc, argv);
}

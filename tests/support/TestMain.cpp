// Test entry: a QCoreApplication for the network code.
#include "RunTests.h"

int main(int argc, char **argv) {
    return runTests<QCoreApplication>(argc, argv);
}

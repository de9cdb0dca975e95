#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "support/test_support.h"

// Every test executable gets an event loop and a data directory of its own, so no test can touch
// the real home directory.
int main(int argc, char** argv) {
    QTemporaryDir home;
    qputenv("QUOVANT_HOME", home.path().toUtf8());
    quovant::testing::isolateHome(home.path());
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

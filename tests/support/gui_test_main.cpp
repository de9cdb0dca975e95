#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "support/test_support.h"

// Desktop test executables: like test_main, with a widgets application so windows can be shown.
// The display is the one the tests start themselves (Xvfb) or Qt's offscreen platform.
int main(int argc, char** argv) {
    QTemporaryDir home;
    qputenv("QUOVANT_HOME", home.path().toUtf8());
    quovant::testing::isolateHome(home.path());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// Runs the Tuner tests with a headless QApplication.

#include <QApplication>

#include <gtest/gtest.h>

#include "res/resources.h"

#if defined(__SANITIZE_THREAD__)
// Qt's raster engine splits large fills over its own thread pool with synchronisation that
// ThreadSanitizer cannot see (Qt is not instrumented). Our own code stays checked.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Gui.so.6\n";
}
#endif

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    fw::setResources(&res::resources());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

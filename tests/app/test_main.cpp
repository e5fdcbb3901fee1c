// Runs the application tests with a headless QApplication.

#include <QApplication>

#include <gtest/gtest.h>

#include "res/resources.h"

#if defined(__SANITIZE_THREAD__)
// Some tests start the tool as a child process; the link thread of a later test in the same
// process must still be allowed to start.
extern "C" const char* __tsan_default_options() {
    return "die_after_fork=0";
}
#endif

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    fw::setResources(&res::resources());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

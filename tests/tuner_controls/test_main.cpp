// Runs the tests with a headless QApplication.

#include <QApplication>

#include <gtest/gtest.h>

#if defined(__SANITIZE_THREAD__)
#define BRIX_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BRIX_TSAN 1
#endif
#endif

#if defined(BRIX_TSAN)
// Qt's raster engine splits large gradient and image fills over its own thread pool and hands
// the work over with synchronisation that ThreadSanitizer cannot see (Qt is not instrumented),
// so the pool's pixel writes, runnables and idle threads look like races. These tests start no
// thread of their own: every race report here can only come from inside Qt.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Gui.so.6\n"
           "race:libQt6Gui.so.6\n"
           "race:libQt6Core.so.6\n";
}
#endif

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// A deliberate data race inside a bridged call, to check the ThreadSanitizer setup itself: the
// suite's suppressions must not hide it. Run under ThreadSanitizer this program must fail (the
// test expects it to); a clean exit means races in bridged calls would go unseen.

#include <QCoreApplication>
#include <QTimer>

#include <thread>

#include "framework/ui_bridge.h"

namespace {
int unguarded = 0;  // written by a worker, read in a bridged call, with nothing between them
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::thread writer;
    std::thread caller;
    QTimer::singleShot(0, &app, [&] {
        caller = std::thread([] { fw::uiBridge().call([] { return unguarded; }); });
        writer = std::thread([] {
            for (int i = 0; i < 100000; ++i)
                unguarded = i;
        });
    });
    QTimer::singleShot(2000, &app, [&] { app.quit(); });
    app.exec();
    writer.join();
    fw::uiBridge().cancelAll();
    caller.join();
    return 0;
}

#include "app/quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>

#include <array>
#include <cerrno>

namespace brix {

namespace {

// A signal handler may do almost nothing: it writes the signal's number into a pipe, whose other
// end the user-interface thread watches (the classic self-pipe).
int gReadEnd = -1;
int gWriteEnd = -1;

void onSignal(int signal) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    (void)::write(gWriteEnd, &byte, 1);  // a full pipe already holds a request to quit
    errno = saved;
}

std::function<void()>& quitFunction() {
    static std::function<void()> quit;
    return quit;
}

}  // namespace

void onQuitSignals(std::function<void()> quit) {
    quitFunction() = std::move(quit);
    if (gWriteEnd < 0) {
        std::array<int, 2> ends{-1, -1};
        if (::pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) != 0)
            return;  // no pipe: the signals keep their default action
        gReadEnd = ends[0];
        gWriteEnd = ends[1];
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int signal : {SIGTERM, SIGHUP, SIGINT})
            ::sigaction(signal, &action, nullptr);
    }

    // The watcher lives with the application; a later application gets one of its own.
    static QPointer<QSocketNotifier> watcher;
    if (watcher != nullptr)
        return;
    watcher = new QSocketNotifier(gReadEnd, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(watcher, &QSocketNotifier::activated, watcher, [] {
        std::array<unsigned char, 64> drained{};
        while (::read(gReadEnd, drained.data(), drained.size()) > 0) {
        }
        if (const auto& quitNow = quitFunction())
            quitNow();
    });
}

}  // namespace brix

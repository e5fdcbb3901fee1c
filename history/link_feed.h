#pragma once
// Records what the link takes into the signal history: every RF report, every statistics report
// of a period of 10 or more, the version texts when they change, the Console's errors and the
// modem's debug messages, the link going down (no frame for 10 s) and up again, and every Tune
// and Set that a program of this PC asked for (link_share.h notes them, with the program).
//
// Only while this program owns the link: an attached program's reports are the owner's too, and
// the owner records them, so nothing is stored twice. The store is opened when the program
// becomes the owner (at start or by taking over) and never before, so that a program that only
// ever attaches leaves the store to the one that writes it.
//
// A thread of its own looks at the link twenty times a second; the Recorder's writer thread
// does the writing, so neither the link thread nor the user-interface thread waits for the disk.

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "history/recorder.h"
#include "link/link_peer.h"

namespace brix::history {

class LinkFeed {
public:
    // `onError` and `onNotice` get the recorder's messages (on a thread of the feed's).
    LinkFeed(std::string path, Recorder::Report onError, Recorder::Report onNotice);
    // Writes what is left and stops.
    ~LinkFeed();
    LinkFeed(const LinkFeed&) = delete;
    LinkFeed& operator=(const LinkFeed&) = delete;

    // Any thread, never waits for more than a short lock: a Console line as the link wrote it
    // (Latin-1). The lines of an RF or statistics report are recorded as the report instead.
    void consoleLine(MessageKind kind, const char* latin1);
    // A version text as the link shows it (Latin-1); recorded when it changes. `which`: 0 the
    // microcode's, 1 the boot code's.
    void versionText(int which, const char* latin1);

    const std::string& path() const { return path_; }
    // True while this program owns the link and records it.
    bool owning() const { return owning_.load(); }
    // True once the store has refused what was recorded (the reason was reported), but for a
    // full disk, on which it keeps trying.
    bool failed() const { return failed_.load(); }

private:
    struct Line {
        MessageKind kind;
        std::string text;
        Millis t;
    };
    void run();
    void startRecording();
    void stopRecording();
    void takeLines(Millis now);

    const std::string path_;
    const Recorder::Report onError_;
    const Recorder::Report onNotice_;

    std::mutex mutex_;
    std::deque<Line> lines_;        // guarded by mutex_
    std::string versions_[2];       // guarded by mutex_
    std::size_t droppedLines_ = 0;  // guarded by mutex_

    // Feed thread only.
    std::unique_ptr<Recorder> recorder_;
    std::deque<std::string> recordedVersions_[2];  // the last few texts recorded of each
    int skip_ = 0;

    std::atomic<bool> owning_{false};
    std::atomic<bool> failed_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace brix::history

#pragma once
// Records what the link tells (link/link_events.h) into the signal history: every RF report,
// every statistics report of a period of 10 or more, the version texts when they change, the
// link's errors and the modem's debug messages, the link going silent (no frame for 10 s) and
// heard again, a shorter gap, a change of the receive channel, and every Tune and Set that a
// program of this PC asked for (the owner notes them, with the program).
//
// Only while this program owns the link: an attached program's reports are the owner's too, and
// the owner records them, so nothing is stored twice. The store is opened when the program
// becomes the owner (at start or by taking over) and never before, so that a program that only
// ever attaches leaves the store to the one that writes it.
//
// The feed's thread sleeps until the link publishes; the Recorder's writer thread does the
// writing, so neither the link thread nor the user-interface thread waits for the disk.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "history/recorder.h"
#include "link/link_events.h"

namespace brix::history {

class LinkFeed {
public:
    // `onError` and `onNotice` get the recorder's messages (on a thread of the feed's). Make
    // the feed before the link opens, or at least before it starts, so that it misses nothing.
    LinkFeed(std::string path, Recorder::Report onError, Recorder::Report onNotice);
    // Writes what is left and stops.
    ~LinkFeed();
    LinkFeed(const LinkFeed&) = delete;
    LinkFeed& operator=(const LinkFeed&) = delete;

    const std::string& path() const { return path_; }
    // True while this program owns the link and records it.
    bool owning() const { return owning_.load(); }
    // True when the store could not be opened to record at all (the reason was reported), but
    // for a full disk, on which it keeps trying. A store that was recorded into and fails later
    // (another program's lock for a while) is tried again, not given up.
    bool failed() const;
    // True while this program owns the link and its store takes what is recorded.
    bool recording() const;
    // When rows were last written into the store by this program (Unix ms; 0: none yet).
    std::int64_t lastWrittenUnixMs() const;

private:
    void run();
    void startRecording();
    void stopRecording();
    void handle(const brix::LinkEvent& event);
    void record(const Event& event);
    // The modem's messages, the errors, channel changes and versions pass a limit each, so that
    // a sender on the segment cannot fill the store: a burst of kBurst, then kPerSecond a second;
    // what the limit holds back is counted and recorded as one "N more like this suppressed".
    void recordLimited(const Event& event);
    // Records the counts held back where the limit has room again; the next time one is due.
    std::chrono::steady_clock::time_point tellSuppressed(bool all);

    const std::string path_;
    const Recorder::Report onError_;
    const Recorder::Report onNotice_;
    // The recorder writes once a second: a flood's events are taken twenty times a second.
    brix::LinkSubscription events_{brix::LinkSubscription::kDefaultCapacity,
                                   std::chrono::milliseconds(50)};

    mutable std::mutex recorderMutex_;  // the pointer, for failed(); the feed's thread writes it
    mutable std::int64_t lastWrittenUnixMs_ = 0;  // of the recorders before; under the mutex
    std::unique_ptr<Recorder> recorder_;
    // Feed thread only.
    std::deque<std::string> recordedVersions_[2];  // the last few texts recorded of each
    bool toldLost_ = false;
    bool openDown_ = false;  // the store's last presence event is a link-down
    struct Limit {
        double tokens = kBurst;
        std::chrono::steady_clock::time_point refilled{};
        std::uint64_t held = 0;  // held back since the last told
        Millis firstHeld = 0;
        std::chrono::steady_clock::time_point firstHeldAt{}, lastHeldAt{};
    };
    // The count held back is told once the flood has paused this long, or every kTellEvery
    // while it goes on: a long flood is a line a minute, not one for each event let through.
    static constexpr auto kQuietBeforeTelling = std::chrono::seconds(1);
    static constexpr auto kTellEvery = std::chrono::seconds(60);
    static constexpr double kBurst = 50;
    static constexpr double kPerSecond = 5;
    // The modem's messages, errors, channel changes and version texts: what a sender on the
    // segment can make the link tell at will.
    static constexpr EventKind kLimited[4] = {EventKind::Embedded, EventKind::Error,
                                              EventKind::ChannelChange, EventKind::Version};
    Limit limits_[4];
    // Samples kept at most this often (a flood of reports is no more news than one a period).
    static constexpr std::int64_t kSampleEveryMs = 50;
    std::int64_t lastRfMs_ = INT64_MIN / 2;
    std::int64_t lastStatisticsMs_ = INT64_MIN / 2;

    std::atomic<bool> owning_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The texts the history keeps for the link's events.
std::string channelChangeText(const brix::ChannelChanged& c);
std::string gapText(const brix::LinkGap& g);

}  // namespace brix::history

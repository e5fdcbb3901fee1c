#pragma once
// Records into a Store without ever making its callers wait for the disk: record() puts the item
// in a bounded queue under a short lock, and a writer thread of its own writes what has come in
// once a second (or sooner when the queue is half full) in one transaction. A SIGKILL loses at
// most that second. Consolidation runs on the same thread, in small pieces.
//
// A store that cannot be opened or written (damaged, locked by another program, read-only, a
// full disk) is reported once through `onError` and recording stops; the writer tries again
// every `retryAfter` (a full disk may have room again, another program may have ended) and
// reports when it records again.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "history/history_store.h"

namespace brix::history {

class Recorder {
public:
    struct Options {
        std::size_t queueLimit = 20000;  // items waiting; more are dropped (and counted)
        std::chrono::milliseconds flushEvery{1000};
        std::chrono::milliseconds retryAfter{std::chrono::seconds(30)};
        std::chrono::milliseconds consolidateEvery{std::chrono::minutes(1)};
        // The write-ahead log moved into the main file at least this often (at the
        // consolidation after it is due), so that a copy of the main file alone is near whole.
        std::chrono::milliseconds checkpointEvery{std::chrono::minutes(2)};
    };
    // `onError` and `onNotice` are called on the writer thread; each must not block for long.
    using Report = std::function<void(const std::string&)>;

    Recorder(std::string path, Report onError, Report onNotice = {});
    Recorder(std::string path, Report onError, Report onNotice, Options options);
    // Writes what is queued, then stops the writer.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Any thread; never waits for the disk. A sample's time before the newest sample recorded (a
    // clock that jumped back) is recorded just after it, so that their order is kept; an event
    // keeps its time (equal times stay in the order recorded).
    void record(const RfSample& s);
    void record(const StatisticsSample& s);
    void record(const Event& e);

    // Waits until the store is open (or known not to be) and everything queued so far is
    // written (or has failed). For an orderly exit.
    void flush();

    // Items dropped because the queue was full or the store was not writable.
    std::uint64_t dropped() const;
    // True while the store takes what is recorded.
    bool recording() const;
    // True while the store takes what is recorded and the last write did not fail (a full disk
    // tried again now and then is not recording, though recording() says so while it tries).
    bool writing() const;
    // True while it does not because the disk is full: it goes on trying.
    bool waitingForRoom() const;
    // When rows were last written into the store (Unix ms; 0: none yet), so that a writer
    // that has stopped making progress is seen from outside.
    Millis lastWrittenUnixMs() const;
    // True once the store was open to record (it may have failed since, and is tried again).
    bool everOpened() const;

private:
    using Item = std::variant<RfSample, StatisticsSample, Event>;
    void push(Item item);
    void run();
    bool openStore(bool tell);
    bool write(std::vector<Item>& batch);

    const std::string path_;
    const Report onError_;
    const Report onNotice_;
    const Options options_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    std::vector<Item> queue_;
    std::uint64_t queued_ = 0;   // items ever queued
    std::uint64_t handled_ = 0;  // items written or given up on
    std::uint64_t dropped_ = 0;
    bool recording_ = false;
    bool waitingForRoom_ = false;
    bool stop_ = false;
    bool flushAsked_ = false;
    bool opened_ = false;  // the writer has opened the store, or found it cannot
    bool everOpened_ = false;
    Millis lastWrittenUnixMs_ = 0;
    bool writeFailed_ = false;  // from a failed write until one succeeds

    // Writer thread only.
    std::unique_ptr<Store> store_;
    Millis newestSample_ = 0;      // of the RF samples
    Millis newestStatistics_ = 0;  // of the statistics samples
    bool failed_ = false;
    bool full_ = false;  // the last failure was a full disk
    bool toldFailure_ = false;
    bool toldLock_ = false;
    int writerLock_ = -1;

    std::thread writer_;
};

}  // namespace brix::history

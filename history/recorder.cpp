#include "history/recorder.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <iterator>

#include "domain/clock.h"

namespace brix::history {
namespace {

Millis& timeOf(std::variant<RfSample, StatisticsSample, Event>& item) {
    return std::visit([](auto& x) -> Millis& { return x.t; }, item);
}

}  // namespace

Recorder::Recorder(std::string path, Report onError, Report onNotice)
    : Recorder(std::move(path), std::move(onError), std::move(onNotice), Options{}) {}

Recorder::Recorder(std::string path, Report onError, Report onNotice, Options options)
    : path_(std::move(path)),
      onError_(std::move(onError)),
      onNotice_(std::move(onNotice)),
      options_(options) {
    {
        std::lock_guard lock(mutex_);
        recording_ = true;  // until the writer finds otherwise
    }
    writer_ = std::thread([this] { run(); });
}

Recorder::~Recorder() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    writer_.join();
    store_.reset();
    if (writerLock_ >= 0)
        ::close(writerLock_);
}

void Recorder::record(const RfSample& s) {
    push(s);
}
void Recorder::record(const StatisticsSample& s) {
    push(s);
}
void Recorder::record(const Event& e) {
    push(e);
}

namespace {

// How soon rows held back by another program's lock are tried again.
constexpr auto kLockRetry = std::chrono::seconds(1);

}  // namespace

void Recorder::push(Item item) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (!recording_ || queue_.size() >= options_.queueLimit) {
            ++dropped_;
            return;
        }
        queue_.push_back(std::move(item));
        ++queued_;
        // The first of a batch wakes the writer, which then waits a second for the rest.
        wake = queue_.size() == 1 || queue_.size() >= options_.queueLimit / 2;
    }
    if (wake)
        wake_.notify_one();
}

void Recorder::flush() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = queued_;
    flushAsked_ = true;
    wake_.notify_one();
    written_.wait(lock, [&] { return (opened_ && handled_ >= target) || stop_; });
}

std::uint64_t Recorder::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

bool Recorder::recording() const {
    std::lock_guard lock(mutex_);
    return recording_;
}

Millis Recorder::lastWrittenUnixMs() const {
    std::lock_guard lock(mutex_);
    return lastWrittenUnixMs_;
}

bool Recorder::writing() const {
    std::lock_guard lock(mutex_);
    return recording_ && !writeFailed_;
}

bool Recorder::everOpened() const {
    std::lock_guard lock(mutex_);
    return everOpened_;
}

bool Recorder::waitingForRoom() const {
    std::lock_guard lock(mutex_);
    return waitingForRoom_;
}

bool Recorder::openStore(bool tell) {
    std::string error;
    if (!makeParentFolders(path_, error)) {
        if (tell && onError_)
            onError_("history not recorded: " + error);
        return false;
    }
    // One writer a store: a second recorder on the same file (another program's) stays out.
    // The lock is taken once and kept for the recorder's life, on a file of its own that only
    // the writer may open: a reader of the store (a member of the service's group) can neither
    // take it nor hold the writer out, and a store opened again after a failure is not refused
    // by this recorder's own lock.
    if (writerLock_ < 0) {
        const std::string lockPath = path_ + ".lock";
        const int fd =
            ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (fd < 0) {
            if (tell && onError_)
                onError_("history not recorded: cannot make " + lockPath + ": " +
                         std::strerror(errno));
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            if (tell && onError_)
                onError_("history not recorded: " + path_ + " is recorded into by another program");
            return false;
        }
        writerLock_ = fd;
    }
    store_ = Store::open(path_, false, error);
    full_ = store_ == nullptr && error.find("disk is full") != std::string::npos;
    if (store_ == nullptr) {
        if (tell && onError_)
            onError_("history not recorded: " + error);
        return false;
    }
    // A damaged store was set aside: what it held is not in the new one, which is an error
    // the user should see, though recording goes on.
    if (!error.empty() && onError_)
        onError_("history: " + error);
    // A row stamped ahead of the clock (by an older program's bumping under a flood) is not
    // followed: the samples from now on keep their real time.
    newestSample_ = std::min(store_->newest(), unixMsNow());
    newestStatistics_ = newestSample_;
    return true;
}

bool Recorder::write(std::vector<Item>& batch) {
    if (!store_->begin()) {
        store_->rollback();
        return false;
    }
    for (Item& item : batch) {
        // A sample's time is its key: one at or before the last of its table (a clock set back)
        // goes just after it, so that the order is kept and nothing is replaced. An event keeps
        // its real time, equal or not: events are ordered by their time, then as recorded, so
        // a flood of them never pushes what follows into the future.
        if (!std::holds_alternative<Event>(item)) {
            Millis& newest =
                std::holds_alternative<RfSample>(item) ? newestSample_ : newestStatistics_;
            Millis& t = timeOf(item);
            if (t <= newest)
                t = newest + 1;
            newest = t;
        }
        const bool ok = std::visit([&](const auto& x) { return store_->add(x); }, item);
        if (!ok) {
            store_->rollback();
            return false;
        }
    }
    if (!store_->commit()) {
        store_->rollback();
        return false;
    }
    return true;
}

void Recorder::run() {
    ::pthread_setname_np(::pthread_self(), "brix-history");
    bool usable = openStore(true);
    toldFailure_ = !usable;
    {
        std::lock_guard lock(mutex_);
        recording_ = usable;
        waitingForRoom_ = !usable && full_;
        opened_ = true;
        everOpened_ = usable;
    }
    written_.notify_all();
    auto nextConsolidation = std::chrono::steady_clock::now();
    auto nextCheckpoint = nextConsolidation + options_.checkpointEvery;
    auto nextRetry = std::chrono::steady_clock::now() + options_.retryAfter;
    std::vector<Item> batch;
    // What another program's lock on the store held back, written with the next batch.
    std::vector<Item> held;
    for (;;) {
        bool stopping = false;
        {
            std::unique_lock lock(mutex_);
            // Nothing to write: asleep until something comes, or consolidation or a retry of
            // the store is due, rather than waking every second for nothing.
            auto due = nextConsolidation;
            if (store_ == nullptr || failed_)
                due = std::min(due, nextRetry);
            if (!held.empty())
                due = std::min(due, std::chrono::steady_clock::now() + kLockRetry);
            wake_.wait_until(lock, due, [&] { return stop_ || flushAsked_ || !queue_.empty(); });
            wake_.wait_for(lock, options_.flushEvery, [&] {
                return stop_ || flushAsked_ || queue_.size() >= options_.queueLimit / 2;
            });
            // A second's worth in one transaction, unless asked to hurry.
            flushAsked_ = false;
            batch.swap(queue_);
            stopping = stop_;
        }
        const std::size_t taken = batch.size();
        if (!held.empty()) {
            held.insert(held.end(), std::make_move_iterator(batch.begin()),
                        std::make_move_iterator(batch.end()));
            batch.swap(held);
            held.clear();
        }
        std::size_t lost = 0;
        const bool writable = store_ != nullptr && !failed_;
        const bool wrote = batch.empty() || (writable && write(batch));
        const bool wroteRows = wrote && !batch.empty();
        if (!batch.empty() && !writable) {
            lost = batch.size();
        } else if (!wrote && store_->lastFailureWasLock() && !stopping) {
            // Another program holds a lock on the store for a while: the rows wait for it to
            // go (as many as the queue holds), tried again each second, not lost.
            if (batch.size() > options_.queueLimit) {
                lost = batch.size() - options_.queueLimit;
                batch.erase(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(lost));
            }
            held.swap(batch);
            if (!toldLock_ && onNotice_)
                onNotice_("history held back: " + path_ +
                          " is locked by another program; what comes meanwhile is written when "
                          "the lock is gone");
            toldLock_ = true;
        } else if (!wrote) {
            lost = batch.size();
            failed_ = true;
            const bool full = store_->lastFailureWasFullDisk();
            full_ = full;
            // One line for a failure, however often a full disk is tried again.
            if (!toldFailure_ && onError_)
                onError_("history not recorded: " + path_ + ": " + store_->lastError() +
                         (full ? " (trying again later)" : ""));
            toldFailure_ = true;
            if (!full)
                store_.reset();
            nextRetry = std::chrono::steady_clock::now() + options_.retryAfter;
        } else if (!batch.empty() && (toldFailure_ || toldLock_)) {
            toldFailure_ = toldLock_ = false;
            if (onNotice_)
                onNotice_("history recorded again: " + path_);
        }
        const std::size_t handled = taken;
        batch.clear();
        const auto now = std::chrono::steady_clock::now();
        if (failed_ && store_ != nullptr && now >= nextRetry) {
            // A full disk may have room again: the next batch tells.
            failed_ = false;
        } else if (store_ == nullptr && now >= nextRetry && !stopping) {
            // A store that could not be opened (a full disk, a file made read-only, another
            // program's that has ended) is tried again, quietly: its failure was told once.
            nextRetry = now + options_.retryAfter;
            if (openStore(false)) {
                failed_ = false;
                toldFailure_ = false;
                if (onNotice_)
                    onNotice_("history recorded again: " + path_);
            }
        }
        if (store_ != nullptr && !failed_ && now >= nextConsolidation) {
            // Small pieces, so that recording is never held up for long.
            const long moved = store_->consolidate(unixMsNow(), 5000);
            nextConsolidation =
                now + (moved > 0 ? std::chrono::milliseconds(100) : options_.consolidateEvery);
            if (now >= nextCheckpoint) {
                (void)store_->checkpoint();
                nextCheckpoint = now + options_.checkpointEvery;
            }
        }
        {
            std::lock_guard lock(mutex_);
            handled_ += handled;
            dropped_ += lost;
            if (wroteRows)
                lastWrittenUnixMs_ = unixMsNow();
            // From a failed write until one succeeds: the retries in between are no recording.
            // (rows held back for another program's lock are neither).
            if (wroteRows)
                writeFailed_ = false;
            else if (!wrote && held.empty())
                writeFailed_ = true;
            recording_ = store_ != nullptr && !failed_;
            everOpened_ = everOpened_ || recording_;
            waitingForRoom_ = !recording_ && full_;
        }
        written_.notify_all();
        if (stopping) {
            std::lock_guard lock(mutex_);
            if (queue_.empty())
                break;
        }
    }
}

}  // namespace brix::history

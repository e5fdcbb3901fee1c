// The History window's reader of the store, on a thread of its own.
#include "pages/history/history_loader.h"

#include <sys/stat.h>

#include <future>
#include <string>
#include <vector>

namespace brix {

using history::EventKind;
using history::Millis;

namespace {

// Events listed at most (the newest of the range).
constexpr int kMaxEvents = 2000;

}  // namespace

HistoryLoader::HistoryLoader(Done done) : done_(std::move(done)) {
    thread_ = std::thread([this] { run(); });
}

HistoryLoader::~HistoryLoader() {
    closing_ = true;  // a query of a crafted or huge store does not hold the window's exit
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void HistoryLoader::request(std::string path, Millis since, Millis until, int columns,
                            quint64 generation) {
    {
        std::lock_guard lock(mutex_);
        pending_ = Request{std::move(path), since, until, columns, generation};
    }
    wake_.notify_one();
}

void HistoryLoader::run() {
    for (;;) {
        Request r;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || pending_.has_value(); });
            if (stop_)
                return;
            r = std::move(*pending_);
            pending_.reset();
        }
        done_(load(r), r.generation);
    }
}

std::shared_ptr<const HistoryWindow::Data> HistoryLoader::load(const Request& r) {
    auto d = std::make_shared<HistoryWindow::Data>();
    d->path = r.path;
    d->since = r.since;
    d->until = r.until;
    if (r.path.empty()) {
        d->error = "no history is kept (BRIX_HISTORY=off, or no home folder)";
        return d;
    }
    // A store set aside and started anew is another file under the same name.
    struct stat info {};
    const bool exists = ::stat(r.path.c_str(), &info) == 0;
    if (store_ == nullptr || r.path != openPath_ || !exists || info.st_ino != openInode_) {
        store_.reset();
        second_.reset();
        std::string error;
        store_ = history::Store::open(r.path, true, error, false);
        if (store_ != nullptr)
            second_ = history::Store::open(r.path, true, error, false);
        if (store_ != nullptr)
            store_->interruptWhen(&closing_);
        if (second_ != nullptr)
            second_->interruptWhen(&closing_);
        if (second_ == nullptr) {
            store_.reset();
            d->error = error;
            return d;
        }
        openPath_ = r.path;
        openInode_ = info.st_ino;
    }
    // The two tables side by side, each on a connection of its own: a long range takes
    // the longer of the two, not their sum.
    auto statistics = std::async(std::launch::async,
                                 [&] { return second_->statistics(r.since, r.until, r.columns); });
    d->rf = store_->rf(r.since, r.until, r.columns);
    d->statistics = statistics.get();
    // The list holds the newest; what the summary counts and the shading shows is read
    // whole, however many debug messages a long range holds.
    d->events = store_->events(r.since, r.until, kMaxEvents, {}, true);
    d->eventCount = store_->countEvents(r.since, r.until);
    const std::vector<EventKind> counted = {EventKind::LinkUp, EventKind::LinkDown,
                                            EventKind::Tune,   EventKind::Error,
                                            EventKind::Gap,    EventKind::ChannelChange};
    d->counted = store_->events(r.since, r.until, 1'000'000, counted, false);
    // One record: the service's store and what a user's program recorded in its place.
    const std::string other = history::companionStore(r.path, {});
    std::string error;
    auto companion = other.empty() ? nullptr : history::Store::open(other, true, error, false);
    if (companion != nullptr) {
        companion->interruptWhen(&closing_);
        const Millis from = std::max(r.since, store_->oldest());
        history::mergeByTime(d->rf, companion->rf(from, r.until, r.columns));
        history::mergeByTime(d->statistics, companion->statistics(from, r.until, r.columns));
        history::mergeByTime(d->events, companion->events(from, r.until, kMaxEvents, {}, true));
        if (d->events.size() > static_cast<std::size_t>(kMaxEvents))
            d->events.erase(d->events.begin(), d->events.end() - kMaxEvents);  // the newest
        d->eventCount += companion->countEvents(from, r.until);
        history::mergeByTime(d->counted,
                             companion->events(from, r.until, 1'000'000, counted, false));
        d->path += " and " + other;
    }
    return d;
}

}  // namespace brix

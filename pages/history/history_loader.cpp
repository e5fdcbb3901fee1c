// The History window's reader of the store, on a thread of its own.
#include "pages/history/history_loader.h"

#include <sys/stat.h>

#include <string>
#include <vector>

namespace brix {

using history::Millis;

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
    // One record: the service's store and what a user's program recorded in its place.
    const std::string other = history::companionStore(r.path, {});
    std::string error;
    auto companion = other.empty() ? nullptr : history::Store::open(other, true, error, false);
    if (companion != nullptr)
        companion->interruptWhen(&closing_);
    history::readRange(*d, *store_, *second_, companion.get(), other, r.columns);
    return d;
}

}  // namespace brix

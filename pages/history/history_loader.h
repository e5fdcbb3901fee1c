#pragma once
// The History window's reader of the store: a thread of its own, the newest request wins, and the
// answer is handed to the window on its own thread.

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "history/history_store.h"
#include "pages/history/history_window.h"

namespace brix {

class HistoryLoader {
public:
    using Done = std::function<void(std::shared_ptr<const HistoryWindow::Data>, quint64)>;

    // `done` is called on the loader's thread with each answer and the generation it was asked
    // with.
    explicit HistoryLoader(Done done);
    ~HistoryLoader();

    void request(std::string path, history::Millis since, history::Millis until, int columns,
                 quint64 generation);

private:
    struct Request {
        std::string path;
        history::Millis since, until;
        int columns;
        quint64 generation;
    };

    void run();
    std::shared_ptr<const HistoryWindow::Data> load(const Request& r);

    Done done_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<Request> pending_;    // guarded by mutex_
    bool stop_ = false;                 // guarded by mutex_
    std::atomic<bool> closing_{false};  // ends a query under way when the window goes
    // Loader thread only.
    std::unique_ptr<history::Store> store_;
    std::unique_ptr<history::Store> second_;
    std::string openPath_;
    ino_t openInode_ = 0;
    std::thread thread_;
};

}  // namespace brix

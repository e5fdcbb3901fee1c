#pragma once
// brixctl's part of the signal history: where its store is, and a feed from a session's link
// into it (history/link_feed.h), which records while this program owns the link.

#include <memory>
#include <string>

#include "history/link_feed.h"

namespace brixctl {

// The store brixctl records into and reads: --history FILE, else the service's state folder
// ($STATE_DIRECTORY) for the unit, else the user's ($XDG_STATE_HOME/brixtool/history.sqlite3).
std::string historyPath(const std::string& option);

// Records what the link tells into the store at `path` while it lives; the store's messages go
// to standard error. Make it before the session starts.
class HistoryFeed {
public:
    explicit HistoryFeed(const std::string& path);
    // Writes what is left and stops.
    ~HistoryFeed();
    HistoryFeed(const HistoryFeed&) = delete;
    HistoryFeed& operator=(const HistoryFeed&) = delete;

    const brix::history::LinkFeed& feed() const { return feed_; }

private:
    brix::history::LinkFeed feed_;
};

}  // namespace brixctl

#pragma once
// brixctl's part of the signal history: where its store is, and a feed from a session's link
// into it (history/link_feed.h), which records while this program owns the link.

#include <functional>
#include <memory>
#include <string>

#include "history/link_feed.h"

namespace brixctl {

// The store brixctl records into and reads: --history FILE, else the service's state folder
// ($STATE_DIRECTORY) for the unit, else the user's ($XDG_STATE_HOME/brixtool/history.sqlite3).
std::string historyPath(const std::string& option);

// The store `brixctl history` reads, found as the link is: --history FILE; else the store that
// the link's owner records into (the service, or a user's program in its place); else the
// service's of `interfaceName` (or the only service's) in its state folder, where this user
// may read it; else the user's. `lookedAt` tells where it looked, for a message when the store
// is not there.
std::string historyToRead(const std::string& option, const std::string& interfaceName,
                          std::string& lookedAt);

// Records what the link tells into the store at `path` while it lives; the store's messages go
// to standard error, its errors to `onError` too (on a thread of the feed's). Make it before the
// session starts.
class HistoryFeed {
public:
    explicit HistoryFeed(const std::string& path,
                         std::function<void(const std::string&)> onError = {});
    // Writes what is left and stops.
    ~HistoryFeed();
    HistoryFeed(const HistoryFeed&) = delete;
    HistoryFeed& operator=(const HistoryFeed&) = delete;

    const brix::history::LinkFeed& feed() const { return feed_; }

private:
    brix::history::LinkFeed feed_;
};

}  // namespace brixctl

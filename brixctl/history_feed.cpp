#include "brixctl/history_feed.h"

#include <cstdio>
#include <cstdlib>

namespace brixctl {
namespace {

void toStderr(const std::string& text) {
    std::fprintf(stderr, "brixctl: %s\n", text.c_str());
}

}  // namespace

std::string historyPath(const std::string& option) {
    if (!option.empty())
        return option;
    const char* state = std::getenv("STATE_DIRECTORY");  // set by systemd for StateDirectory=
    if (state != nullptr && state[0] == '/') {
        std::string first(state);
        first = first.substr(0, first.find(':'));
        return first + "/history.sqlite3";
    }
    return brix::history::defaultStorePath();
}

HistoryFeed::HistoryFeed(Session& session, const std::string& path)
    : session_(session), feed_(path, toStderr, toStderr) {
    session_.feedHistory(&feed_);
}

HistoryFeed::~HistoryFeed() {
    // The link thread may still be calling; after this it no longer reaches the feed.
    session_.feedHistory(nullptr);
}

}  // namespace brixctl

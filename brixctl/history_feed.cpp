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

HistoryFeed::HistoryFeed(const std::string& path) : feed_(path, toStderr, toStderr) {}

HistoryFeed::~HistoryFeed() = default;

}  // namespace brixctl

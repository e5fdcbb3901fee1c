#include "brixctl/history_feed.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/link_share.h"
#include "link/link_transport.h"

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

std::string historyToRead(const std::string& option, const std::string& interfaceName,
                          std::string& lookedAt) {
    lookedAt.clear();
    if (!option.empty() || std::getenv("STATE_DIRECTORY") != nullptr)
        return historyPath(option);
    // The owner's greeting names its store; it is believed only from an owner that attach
    // trusts (this user's own folder and program, or a service's).
    if (brix::share::attach(brix::share::Key{brix::kLocalPort, interfaceName}) >= 0) {
        const std::string owner = brix::linkOwnerName();
        const std::string offered = brix::linkOwnerHistory();
        brix::share::close();
        if (!offered.empty() && ::access(offered.c_str(), R_OK) == 0)
            return offered;
        lookedAt =
            "the link's owner, " + owner + ", " +
            (offered.empty() ? std::string("records no history") : "records into " + offered);
    } else {
        lookedAt = "no link's owner here";
    }
    // A service that is not running now: its state folder.
    const std::string pattern = std::string(brix::history::kServiceStateFolder) + "/" +
                                (interfaceName.empty() ? std::string("*") : interfaceName) +
                                "/history.sqlite3";
    const std::vector<std::string> readable = brix::history::serviceStores(interfaceName);
    if (readable.size() == 1)
        return readable.front();
    lookedAt += "; " + pattern +
                (readable.empty() ? std::string(": none this user may read")
                                  : ": " + std::to_string(readable.size()) +
                                        " (choose one with --interface or --history)");
    const std::string own = brix::history::defaultStorePath();
    lookedAt += "; " + (own.empty() ? std::string("no store of this user's (HOME unset)") : own);
    return own;
}

HistoryFeed::HistoryFeed(const std::string& path, std::function<void(const std::string&)> onError)
    : feed_(
          path,
          [onError = std::move(onError)](const std::string& text) {
              toStderr(text);
              if (onError)
                  onError(text);
          },
          toStderr) {}

HistoryFeed::~HistoryFeed() = default;

}  // namespace brixctl

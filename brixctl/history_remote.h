#pragma once
// brixctl history --from URL: the rows of a history that brixctl serve serves, read as a local
// store's are, so that a script reads another site's history without logging in there.

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "history/history_store.h"

namespace brixctl {

class RemoteHistory {
public:
    // `base`: the address brixctl serve is reached at ("http://site7:9330/", or a proxy's
    // "https://noc.example/site7/"). Credentials come from the URL or ~/.netrc.
    // `caFile`: the certificate of the authority that signed the server's (its own, when it
    // signed itself); empty: the system's authorities.
    RemoteHistory(std::string base, brix::history::Millis since, brix::history::Millis until,
                  std::string caFile = {});

    // The rows of the range; empty with error() set when they could not be read.
    std::vector<brix::history::RfRow> rf(int points);
    std::vector<brix::history::StatisticsRow> statistics(int points);
    std::vector<brix::history::Event> events();

    // Follows the server's live stream: `onConnected` once it answers, `onEvent` for each event
    // recorded from then on (on this thread), until `stop`, Ctrl-C (true) or a failure (false,
    // with error() set).
    bool follow(const std::function<void(const brix::history::Event&)>& onEvent,
                const std::function<void()>& onConnected, const std::atomic<bool>& stop);

    // Why the last read failed, for the user; empty when it did not.
    const std::string& error() const { return error_; }
    // The address as shown, without any password in it.
    std::string shown() const;

private:
    bool get(const std::string& what, int points, std::string& body);

    std::string base_;
    brix::history::Millis since_, until_;
    std::string caFile_;
    std::string error_;
};

}  // namespace brixctl

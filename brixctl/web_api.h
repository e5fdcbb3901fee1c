#pragma once
// What brixctl serve answers besides /metrics: the dashboard's files, the JSON API of the status
// and the history (api/v1/...), and the live stream of both.

#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "brixctl/http_server.h"
#include "brixctl/serve_state.h"
#include "history/history_range.h"

namespace brixctl {

struct WebApiOptions {
    std::string history;        // --history, as brixctl history takes it
    std::string store;          // the store serve records into (its own, or --history's)
    std::string interfaceName;  // --interface
    std::string webRoot;        // the dashboard's files
    std::string chartsRoot;     // the charting library's files
    bool noHistory = false;     // --no-history: no history to serve
};

// The routes of the dashboard and its API on `server`; `state` outlives it.
void addWebApi(http::Server& server, const ServeState& state, const WebApiOptions& o);

// The status as api/v1/status and the stream tell it.
std::string statusJson(const ServeState& state, const std::string& interfaceName);

// Tells the stream's clients what is new: the status when a report came (at most once a
// second), the events recorded since the last call. Call about once a second, and on reports.
class StreamFeed {
public:
    StreamFeed(http::Server& server, const ServeState& state, WebApiOptions o);
    // `changed`: a report came; else only a status held back may go out now.
    void statusChanged(bool changed = true);
    void pollEvents();

private:
    http::Server& server_;
    const ServeState& state_;
    WebApiOptions o_;
    std::int64_t lastStatusNs_ = 0;
    bool statusPending_ = false;
    // While clients listen; made afresh when they come, so that older events are not news.
    std::optional<brix::history::EventFollower> events_;
};

}  // namespace brixctl

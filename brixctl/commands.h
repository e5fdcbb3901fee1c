#pragma once
// The commands of brixctl. Each validates its arguments before anything is sent, runs one
// Session and returns the exit code (session.h).

#include <cstdint>
#include <optional>
#include <string>

#include <vector>
#include "history/history_table.h"

#include "brixctl/notify.h"
#include "brixctl/output.h"

namespace brixctl {

struct Options {
    Format format = Format::Text;
    double timeout = 3;  // seconds to wait for an answer to a query
    std::string interfaceName;
    std::string channelsFile;  // empty: the window's file in the current directory
    std::string history;       // --history FILE; empty: historyPath's choice
    bool noHistory = false;    // --no-history: serve records nothing
    std::string webConfig;     // --web-config FILE: serve's TLS and users
    std::string caFile;        // history --cacert FILE: the authority of a served history
    NotifyOptions notify;      // serve's and record's messages
};

int runStatus(const Options& o);
int runWatch(const Options& o, double interval, long count);
int runConsole(const Options& o, bool statistics, long count);
int runTableGet(const Options& o);
// `file` "-": standard input.
int runTableSet(const Options& o, const std::string& file);
int runScannerGet(const Options& o);
int runScannerSet(const Options& o, const std::vector<std::string>& settings);
int runScannerDefault(const Options& o);
int runTune(const Options& o, const std::string& mhz, const std::optional<std::string>& mbits);
int runServe(const Options& o, const std::string& listen);
// Records the modem's reports into the history until interrupted.
int runRecord(const Options& o);
// `what`: samples, statistics, events, or backup (to `file`); `since`/`until`: "2h", "30m", "7d"
// ago, an ISO time ("2026-12-09T03:00:00Z", or local without the Z), or empty (the last hour /
// now).
// `from`: the address of a brixctl serve whose history is read instead of a store here.
// `follow`: the events, then those recorded as they are, until interrupted.
int runHistory(const Options& o, const std::string& what, const std::string& since,
               const std::string& until, const std::string& file, const std::string& from,
               bool follow = false);

// "2026-12-08T17:30:00.123Z".
using brix::history::isoTime;
using brix::history::localTime;

}  // namespace brixctl

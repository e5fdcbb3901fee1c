#pragma once
// The history as tables of text cells: the columns `brixctl history --csv` prints and the
// History window exports, written here once so that both give the same file.

#include <string>
#include <string_view>
#include <vector>

#include "domain/text.h"  // latin1ToUtf8, used with these tables
#include "history/history_store.h"

namespace brix::history {

struct Table {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
};

Table samplesTable(const std::vector<RfRow>& rows);
Table statisticsTable(const std::vector<StatisticsRow>& rows);
Table eventsTable(const std::vector<Event>& events);

// One CSV line (no line end): fields with a comma, quote or line end quoted, control
// characters shown as "\x1b" so that a text from the modem never reaches a terminal raw.
std::string csvLine(const std::vector<std::string>& cells);

// "2026-12-09T03:00:00.000Z".
std::string isoTime(Millis t);
// The same time for people: in the local time zone, with its offset
// ("2026-12-09T04:00:00.000+01:00"); it reads back as an ISO time does.
std::string localTime(Millis t);

}  // namespace brix::history

// Writing to the history store: its prepared inserts, and transactions around batches of them.
#include <sqlite3.h>

#include <string>

#include "history/history_store.h"

namespace brix::history {

bool Store::prepareWrites() {
    std::string statistics = "INSERT OR REPLACE INTO statistics VALUES(?1, ?2";
    for (int i = 0; i < kCounts; ++i)
        statistics += ", ?" + std::to_string(i + 3);
    statistics += ")";
    lastCode_ = sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO rf VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
                                   -1, &addRf_, nullptr);
    if (lastCode_ == SQLITE_OK)
        lastCode_ = sqlite3_prepare_v2(db_, statistics.c_str(), -1, &addStatistics_, nullptr);
    if (lastCode_ == SQLITE_OK)
        lastCode_ = sqlite3_prepare_v2(db_, "INSERT INTO events VALUES(?1, ?2, ?3, ?4)", -1,
                                       &addEvent_, nullptr);
    return lastCode_ == SQLITE_OK;
}

bool Store::begin() {
    return exec("BEGIN IMMEDIATE");
}

bool Store::commit() {
    return exec("COMMIT");
}

void Store::rollback() {
    const int code = lastCode_;
    if (!sqlite3_get_autocommit(db_))
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    lastCode_ = code;  // the failure that led here is the one to tell
}

namespace {
bool stepOnce(sqlite3_stmt* q, int& code) {
    code = sqlite3_step(q);
    sqlite3_reset(q);
    sqlite3_clear_bindings(q);
    if (code == SQLITE_DONE) {
        code = SQLITE_OK;
        return true;
    }
    return false;
}
}  // namespace

bool Store::add(const RfSample& s) {
    if (addRf_ == nullptr)
        return false;
    sqlite3_bind_int64(addRf_, 1, s.t);
    const std::uint16_t v[5] = {s.rxFrequency, s.rxRateCode, s.txFrequency, s.txRateCode,
                                s.attenuation};
    for (int i = 0; i < 5; ++i)
        sqlite3_bind_int(addRf_, i + 2, v[i]);
    return stepOnce(addRf_, lastCode_);
}

bool Store::add(const StatisticsSample& s) {
    if (addStatistics_ == nullptr || s.period == 0)
        return false;
    sqlite3_bind_int64(addStatistics_, 1, s.t);
    sqlite3_bind_int(addStatistics_, 2, s.period);
    for (int i = 0; i < kCounts; ++i)
        sqlite3_bind_int64(addStatistics_, i + 3, s.counts[static_cast<std::size_t>(i)]);
    return stepOnce(addStatistics_, lastCode_);
}

bool Store::add(const Event& e) {
    if (addEvent_ == nullptr)
        return false;
    sqlite3_bind_int64(addEvent_, 1, e.t);
    sqlite3_bind_int(addEvent_, 2, static_cast<int>(e.kind));
    const std::string text = e.text.substr(0, kMaxEventText);
    const std::string program = e.program.substr(0, 64);
    sqlite3_bind_text(addEvent_, 3, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(addEvent_, 4, program.c_str(), static_cast<int>(program.size()),
                      SQLITE_TRANSIENT);
    return stepOnce(addEvent_, lastCode_);
}

}  // namespace brix::history

#pragma once
// What the files of the history store (history_store.cpp and store_*.cpp) share: the names of
// the RF columns and the selects that read an aggregate table's columns in order.

#include <string>

namespace brix::history {

inline constexpr const char* kRfFields[5] = {"rx_frequency", "rx_rate_code", "tx_frequency",
                                             "tx_rate_code", "attenuation"};

// "SELECT t, n, f0_min, f0_sum, f0_max, ... FROM table", without a WHERE.
std::string rfAggregate(const char* table);
// The same with period_sum after n, and the counts c0..c7.
std::string statisticsAggregate(const char* table);

}  // namespace brix::history

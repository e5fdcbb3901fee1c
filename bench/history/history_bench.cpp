// The history store at full speed: how many rows a second it takes in one-second batches, how
// long a week's range takes to query (reduced to 1000 slices, as a chart draws it), and how big
// a year of continuous recording gets (an RF report every 3 s, statistics every 7 s, ageing as
// the recorder does it).
//   history_bench [days]        (default 365)
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "history/history_store.h"

using namespace brix::history;

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

long long fileBytes(const std::string& path) {
    long long total = 0;
    for (const char* suffix : {"", "-wal"}) {
        struct stat st {};
        if (::stat((path + suffix).c_str(), &st) == 0)
            total += st.st_size;
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    const int days = argc > 1 ? std::atoi(argv[1]) : 365;
    char folder[] = "/tmp/brix-history-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr)
        return 1;
    const std::string path = std::string(folder) + "/history.sqlite3";
    std::string error;
    auto store = Store::open(path, false, error);
    if (store == nullptr) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    const Millis start = 1'800'000'000'000;
    Millis nextRf = start, nextStatistics = start, nextAgeing = start + kHour;
    const Millis end = start + days * kDay;
    long long rows = 0;
    double writeSeconds = 0, ageingSeconds = 0;
    double weekQueryMs = -1;
    RfSample rf{0, 4525, 4, 300, 2, 6};
    StatisticsSample st;
    st.period = 700;
    st.counts = {70, 140, 7000, 1, 1400, 3, 700000, 35};
    for (Millis batchEnd = start + kSecond * 600; nextRf < end; batchEnd += kSecond * 600) {
        // Ten minutes of reports a transaction here: the recorder's one-second batches are
        // measured below on their own.
        auto t0 = std::chrono::steady_clock::now();
        store->begin();
        for (; nextRf < batchEnd; nextRf += 3 * kSecond, ++rows) {
            rf.t = nextRf;
            rf.attenuation = static_cast<std::uint16_t>(6 + (nextRf / kMinute) % 5);
            rf.rxFrequency = static_cast<std::uint16_t>((nextRf / kDay) % 7 == 0 ? 6035 : 4525);
            store->add(rf);
        }
        for (; nextStatistics < batchEnd; nextStatistics += 7 * kSecond, ++rows) {
            st.t = nextStatistics;
            st.counts[4] = static_cast<std::uint32_t>(1400 + (nextStatistics / kSecond) % 100);
            store->add(st);
        }
        store->commit();
        writeSeconds += seconds(t0);
        if (batchEnd >= nextAgeing) {
            t0 = std::chrono::steady_clock::now();
            while (store->consolidate(batchEnd, 5000) > 0) {
            }
            ageingSeconds += seconds(t0);
            nextAgeing += kHour;
        }
        if (weekQueryMs < 0 && batchEnd >= start + 7 * kDay) {
            t0 = std::chrono::steady_clock::now();
            const auto r = store->rf(batchEnd - 7 * kDay, batchEnd, 1000);
            const auto s = store->statistics(batchEnd - 7 * kDay, batchEnd, 1000);
            weekQueryMs = seconds(t0) * 1000;
            std::printf("a week at full resolution, reduced to %zu + %zu slices: %.0f ms\n",
                        r.size(), s.size(), weekQueryMs);
        }
    }
    store->consolidate(end, 1'000'000);
    store.reset();
    std::printf("%d days: %lld reports written, %.0f rows/s in batches of ten minutes\n", days,
                rows, rows / writeSeconds);
    std::printf("ageing: %.1f s in all\n", ageingSeconds);
    std::printf("store after %d days: %.1f MB\n", days, fileBytes(path) / 1e6);

    // One-second batches, as the recorder writes them: about one RF and 0.4 statistics rows.
    store = Store::open(path, false, error);
    auto t0 = std::chrono::steady_clock::now();
    const int batches = 2000;
    for (int b = 0; b < batches; ++b) {
        store->begin();
        rf.t = end + b * kSecond;
        store->add(rf);
        store->commit();
    }
    const double perBatch = seconds(t0) / batches;
    std::printf("a one-second batch (synchronous=NORMAL): %.3f ms, so %.4f%% of a core\n",
                perBatch * 1000, perBatch * 100);
    store.reset();
    if (std::getenv("BRIX_BENCH_KEEP") != nullptr) {
        std::printf("kept: %s\n", path.c_str());
        return 0;
    }
    std::string cleanup = std::string("rm -rf '") + folder + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}

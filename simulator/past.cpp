// The modem's simulated past (past.h).
#include "past.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "history/history_store.h"

namespace brix::sim {

namespace {

using history::Event;
using history::EventKind;
using history::kDay;
using history::kHour;
using history::kMinute;
using history::Millis;

constexpr Millis kRfEvery = 3000;          // as the modem reports
constexpr Millis kStatisticsEvery = 7000;  // as the tool asks

struct Outage {
    Millis from, length;
};

// Minutes of the day (UTC) at which something happens, `daysAgo` days before `now`'s midnight.
Millis at(Millis now, int daysAgo, int hour, int minute) {
    return now - now % kDay - daysAgo * kDay + hour * kHour + minute * kMinute;
}

}  // namespace

bool fillHistory(const std::string& path, int days, std::uint32_t seed, std::string& error) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        error = path + " exists: name a new file";
        return false;
    }
    auto store = history::Store::open(path, false, error, false);
    if (store == nullptr)
        return false;
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0, 0.35);
    std::uniform_real_distribution<double> unit(0, 1);
    const Millis now = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    const Millis start = now - days * kDay;

    // Outages of several lengths, the longer ones only where the range reaches back to them.
    std::vector<Outage> outages = {{at(now, 1, 7, 5), 30 * 1000},
                                   {at(now, 3, 22, 40), 75 * 1000},
                                   {at(now, 5, 3, 10), 45 * 1000}};
    if (days > 9)
        outages.push_back({at(now, 9, 2, 0), 10 * kMinute});
    if (days > 20)
        outages.push_back({at(now, 20, 1, 0), 2 * kHour});
    const Millis gapAt = at(now, 2, 12, 30);
    const Millis retuneAt = at(now, 3, 14, 0);
    const Millis noisyFrom = at(now, 1, 18, 0), noisyTo = at(now, 1, 23, 0);
    const auto silent = [&](Millis t) {
        for (const Outage& o : outages)
            if (t >= o.from && t < o.from + o.length)
                return true;
        return t >= gapAt && t < gapAt + 7000;
    };
    const auto noisy = [&](Millis t) { return t >= noisyFrom && t < noisyTo; };

    std::vector<Event> events;
    for (const Outage& o : outages) {
        events.push_back({o.from, EventKind::LinkDown,
                          "nothing heard from the modem since (10 s and more)", ""});
        events.push_back({o.from + o.length, EventKind::LinkUp, "the modem answers again", ""});
    }
    events.push_back({gapAt, EventKind::Gap, "nothing heard from the modem for 7.0 s", ""});
    if (retuneAt > start) {
        events.push_back({retuneAt, EventKind::Tune, "Tune to 555.2 MHz, rate code 3", "brixtool"});
        events.push_back({retuneAt + 2500, EventKind::ChannelChange,
                          "receive channel 452.5 MHz at 9.45 Mbit/s -> 555.2 MHz at 6.82 Mbit/s",
                          ""});
    }
    events.push_back({start, EventKind::Version, "2.05.17", ""});
    events.push_back({start, EventKind::Version, "Boot 1.04.2", ""});
    for (Millis t = noisyFrom; t < noisyTo && t > start; t += 20000 + Millis(unit(random) * 40000))
        events.push_back(
            {t, EventKind::Embedded,
             "MAP - 106F  GTR - 1057  DIFF - " + std::to_string(int(unit(random) * 90)), ""});
    events.push_back({noisyFrom + 95 * kMinute, EventKind::Error,
                      "Upstream retransmissions above 10% for 5 minutes", ""});

    if (!store->begin())
        return false;
    long rows = 0;
    const auto batch = [&] {
        // A transaction of some thousands of rows: fast, and the writer never holds long.
        if (++rows % 20000 == 0 && !(store->commit() && store->begin())) {
            error = path + ": " + store->lastError();
            return false;
        }
        return true;
    };
    for (Millis t = start; t < now; t += kRfEvery) {
        if (silent(t))
            continue;
        const double day = std::sin(2 * M_PI * double(t % kDay) / double(kDay));
        double attenuation = 6 + 1.5 * day + noise(random);
        if (noisy(t))
            attenuation += 3 * (unit(random) - 0.3);
        history::RfSample s;
        s.t = t;
        const bool retuned = t >= retuneAt;
        s.rxFrequency = retuned ? 5552 : 4525;
        s.rxRateCode = retuned ? 3 : 4;
        s.txFrequency = 300;
        s.txRateCode = 1;
        s.attenuation = static_cast<std::uint16_t>(std::clamp(std::lround(attenuation), 0L, 16L));
        if (!store->add(s) || !batch())
            return false;
    }
    for (Millis t = start; t < now; t += kStatisticsEvery) {
        if (silent(t))
            continue;
        // Busy evenings, quiet nights; more retransmissions while the line is noisy.
        const double load =
            0.55 + 0.45 * std::sin(2 * M_PI * double((t + 6 * kHour) % kDay) / double(kDay));
        const double packets = 40 + 160 * load * (0.8 + 0.4 * unit(random));
        history::StatisticsSample s;
        s.t = t;
        s.period = 700;
        const auto count = [](double perSecond) {
            return static_cast<std::uint32_t>(std::max(0.0, perSecond * 7));
        };
        const double up = packets * 0.4;
        s.counts = {count(up * 1.1),       count(up),
                    count(up * 420),       count(up * (noisy(t) ? 0.12 : 0.01) * unit(random)),
                    count(packets),        count(packets * 0.02),
                    count(packets * 1100), count(up * 1.3)};
        if (!store->add(s) || !batch())
            return false;
    }
    for (const Event& e : events)
        if (e.t >= start && (!store->add(e) || !batch()))
            return false;
    if (!store->commit()) {
        error = path + ": " + store->lastError();
        return false;
    }
    // What is older than a week goes into its minutes and hours, as a recorder does as it goes.
    for (long moved = 1; moved > 0;) {
        moved = store->consolidate(now);
        if (moved < 0) {
            error = path + ": " + store->lastError();
            return false;
        }
    }
    return true;
}

}  // namespace brix::sim

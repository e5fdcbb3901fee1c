#pragma once
// What brixctl serve knows of the modem, taken in from the link's events on its main thread and
// read by the HTTP server's threads: /metrics, the status and the live stream.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <variant>

#include "link/link_events.h"

namespace brixctl {

inline std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The statistics report's per-period counts, added up since serve started.
struct Totals {
    std::uint64_t upstreamFragments = 0;
    std::uint64_t upstreamPackets = 0;
    std::uint64_t upstreamBytes = 0;
    std::uint64_t retransmitted = 0;
    std::uint64_t forwarded = 0;
    std::uint64_t filtered = 0;
    std::uint64_t downstreamBytes = 0;
    std::uint64_t grants = 0;
};

// What the scrapes show of the link's events: taken in by the main thread as the link tells
// them, read by the server's thread. Every statistics report is added as it comes, so that two
// close together are both counted.
class ServeState {
public:
    void take(const brix::LinkEvent& e) {
        if (const auto* notice = std::get_if<brix::LinkNotice>(&e.body)) {
            // The link's own news (the link taken over, an attached program dropped) would
            // reach no one in a service without this: it goes to the journal.
            std::fprintf(stderr, "brixctl: %s\n", notice->text.c_str());
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::holds_alternative<brix::RfReport>(e.body)) {
            lastReportNs_ = nowNs();
            lastReportUnixMs_ = e.unixMs;
            if (!answering_) {
                answering_ = true;
                presenceSinceMs_ = e.unixMs;
            }
        } else if (const auto* silent = std::get_if<brix::LinkSilent>(&e.body)) {
            // Counted as it happens, so that losses between two scrapes are not lost to them.
            if (answering_)
                ++linkDowns_;
            answering_ = false;
            presenceSinceMs_ = silent->lastHeardMs;
        } else if (std::holds_alternative<brix::LinkHeard>(e.body)) {
            answering_ = true;
            presenceSinceMs_ = e.unixMs;
        } else if (const auto* r = std::get_if<brix::StatisticsReport>(&e.body)) {
            // A report over less than 0.1 s (the answer to a query right after another
            // program's) is too short for the link's rates, but its counts are traffic all the
            // same: the totals add up every report.
            const brix::StatisticsCounters& c = r->counts;
            totals_.upstreamFragments += c.txFragments;
            totals_.upstreamPackets += c.txPackets;
            // The byte counts travel as 32-bit words; read signed, they would go backwards.
            totals_.upstreamBytes += static_cast<std::uint32_t>(c.txBytes);
            totals_.retransmitted += c.retransmitted;
            totals_.forwarded += c.forwarded;
            totals_.filtered += c.filtered;
            totals_.downstreamBytes += static_cast<std::uint32_t>(c.rxBytes);
            totals_.grants += c.grants;
        } else if (const auto* v = std::get_if<brix::VersionText>(&e.body)) {
            // The boot version comes in two texts, one with its date after the number: the
            // same version, so the fuller one is kept rather than the two by turns.
            std::string& held = v->boot ? boot_ : microcode_;
            const bool same =
                !held.empty() && (v->text.rfind(held, 0) == 0 || held.rfind(v->text, 0) == 0);
            if (!same || v->text.size() > held.size())
                held = v->text;
        }
    }

    Totals totals() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return totals_;
    }
    std::string microcodeVersion() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return microcode_;
    }
    std::string bootVersion() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return boot_;
    }
    // Whether the modem answers, and since when (Unix ms; 0: it has not been heard yet).
    std::pair<bool, std::int64_t> presence() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return {answering_, presenceSinceMs_};
    }
    // Times the modem stopped answering since serve started.
    std::uint64_t linkDowns() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return linkDowns_;
    }
    // Unix ms of the last RF report; 0: none yet.
    std::int64_t lastReportUnixMs() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastReportUnixMs_;
    }
    // Steady nanoseconds of the last RF report; 0: none yet.
    std::int64_t lastReportNs() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastReportNs_;
    }

private:
    mutable std::mutex mutex_;
    Totals totals_;
    std::string microcode_;
    std::string boot_;
    std::int64_t lastReportNs_ = 0;
    std::int64_t lastReportUnixMs_ = 0;
    bool answering_ = false;
    std::int64_t presenceSinceMs_ = 0;
    std::uint64_t linkDowns_ = 0;
};

// The Prometheus text of /metrics.
std::string metricsText(const ServeState& s);

}  // namespace brixctl

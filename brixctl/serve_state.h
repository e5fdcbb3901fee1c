#pragma once
// What brixctl serve knows of the modem, taken in from the link's events on its main thread and
// read by the HTTP server's threads: /metrics, the status and the live stream.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "history/link_feed.h"
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

// The labels of the stored channels, from the channel file, read again when the file changes
// (looked at no more than every few seconds, however often the scrapes come). Any thread.
class ChannelLabels {
public:
    explicit ChannelLabels(std::string path) : path_(std::move(path)) {}
    // The number (1 to 10) and label of the stored channel on `tenths` (tenths of a MHz) at
    // `mbps` (a stored channel at another bit rate if none at this one); 0 when none is.
    std::pair<int, std::string> channel(std::uint16_t tenths, std::optional<double> mbps);

private:
    struct Entry {
        std::int32_t frequency = 0;
        std::optional<double> mbps;
        std::string label;
    };
    void refresh();

    const std::string path_;
    std::mutex mutex_;
    std::vector<Entry> entries_;
    std::int64_t lookedAtNs_ = 0;
    std::string fileStamp_;  // what the file was when read (inode, size, time); empty: none
};

// What /metrics tells besides the link's events: which program serves which interface, the
// stored channels' labels, and whether the history is recorded.
struct MetricsContext {
    std::string interfaceName;  // empty: any
    ChannelLabels* channels = nullptr;
    const brix::history::LinkFeed* history = nullptr;  // none: serve records nothing
};

// The Prometheus text of /metrics.
std::string metricsText(const ServeState& s, const MetricsContext& context);

}  // namespace brixctl

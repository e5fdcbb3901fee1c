// brixctl serve's /metrics: its values in the Prometheus text format.

#include <sys/stat.h>

#include <array>
#include <charconv>
#include <cmath>
#include <string>
#include <type_traits>

#include "brixctl/serve_state.h"
#include "brixctl/session.h"
#include "brixctl/values.h"
#include "channels/channel_table.h"
#include "domain/clock.h"
#include "domain/rates.h"
#include "domain/text.h"
#include "link/link_commands.h"
#include "link/link_presence.h"
#include "link/link_transport.h"

#ifndef BRIX_VERSION
#error "BRIX_VERSION comes from the project's version"
#endif

namespace brixctl {

namespace {

using namespace std::chrono_literals;

constexpr auto kUpWindow = 10s;  // brix_up: the modem answered within this
constexpr std::size_t kMaxVersionLabel = 32;
constexpr auto kChannelFileLook = 5s;  // the channel file looked at no more often

// A label value as the text format wants it: backslash, double quote and line feed escaped.
std::string labelValue(const std::string& text) {
    std::string out;
    for (const char c : brix::latin1ToUtf8(text)) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

// The version number in a version text ("1.04.2" of "Boot 1.04.2 (2019-03-11)"): from the
// first digit, letters, digits and . - _ +, at most 32 of them. The rest of the text varies
// (the boot loader's own line adds a date) and a damaged text can hold anything; as a label
// either would make a new series of brix_info for every variant.
std::string versionLabel(const std::string& text) {
    const std::size_t first = text.find_first_of("0123456789");
    if (first == std::string::npos)
        return {};
    std::string out;
    for (std::size_t i = first; i < text.size() && out.size() < kMaxVersionLabel; ++i) {
        const char c = text[i];
        const bool alnum =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!alnum && c != '.' && c != '-' && c != '_' && c != '+')
            break;
        out += c;
    }
    return out;
}

// A channel's label as a label value: a control character as a space (a file written by hand
// may hold anything); the file keeps at most 49 bytes of each, so every label is one of ten short
// texts.
std::string channelLabel(const std::string& latin1) {
    std::string clean;
    for (const char c : latin1) {
        const auto u = static_cast<unsigned char>(c);
        clean += u >= 0x20 && u != 0x7f && (u < 0x80 || u >= 0xa0) ? c : ' ';
    }
    return clean;
}

struct Writer {
    std::string text;

    void family(const char* name, const char* type, const char* help) {
        text += "# HELP ";
        text += name;
        text += ' ';
        text += help;
        text += "\n# TYPE ";
        text += name;
        text += ' ';
        text += type;
        text += '\n';
    }
    // The shortest text that reads back as the same double, as Prometheus parses it.
    template <typename Number>
    void sample(const char* name, Number value) {
        std::array<char, 32> digits;
        char* end = nullptr;
        // A whole number as one (30000000, not 3e+07), as far as a double holds it exactly.
        if constexpr (std::is_floating_point_v<Number>) {
            if (std::fabs(value) < 9007199254740992.0 && value == std::floor(value))
                end = std::to_chars(digits.data(), digits.data() + digits.size(),
                                    static_cast<long long>(value))
                          .ptr;
        }
        if (end == nullptr)
            end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
        text += name;
        text += ' ';
        text.append(digits.data(), end);
        text += '\n';
    }
    template <typename Number>
    void gauge(const char* name, const char* help, Number value) {
        family(name, "gauge", help);
        sample(name, value);
    }
    template <typename Number>
    void counter(const char* name, const char* help, Number value) {
        family(name, "counter", help);
        sample(name, value);
    }
};

}  // namespace

std::pair<int, std::string> ChannelLabels::channel(std::uint16_t tenths,
                                                   std::optional<double> mbps) {
    std::lock_guard lock(mutex_);
    refresh();
    int found = 0;
    for (std::size_t k = 0; k < entries_.size(); ++k) {
        if (entries_[k].frequency != tenths)
            continue;
        if (entries_[k].mbps == mbps)
            return {static_cast<int>(k) + 1, entries_[k].label};
        if (found == 0)
            found = static_cast<int>(k) + 1;
    }
    if (found == 0)
        return {0, {}};
    return {found, entries_[static_cast<std::size_t>(found) - 1].label};
}

void ChannelLabels::refresh() {
    const std::int64_t now = nowNs();
    if (lookedAtNs_ != 0 && now - lookedAtNs_ < std::chrono::nanoseconds(kChannelFileLook).count())
        return;
    lookedAtNs_ = now;
    struct stat info {};
    std::string stamp;
    if (::stat(path_.c_str(), &info) == 0)
        stamp = std::to_string(info.st_ino) + ':' + std::to_string(info.st_size) + ':' +
                std::to_string(info.st_mtim.tv_sec) + '.' + std::to_string(info.st_mtim.tv_nsec);
    if (stamp == fileStamp_)
        return;
    fileStamp_ = stamp;
    entries_.clear();
    brix::ChannelTable table;
    if (stamp.empty() || !table.load(path_))
        return;  // no file, no labels: the channel is not told
    for (int k = 0; k < brix::kChannelCount; ++k) {
        const brix::ChannelEntry e = table.entry(k);
        entries_.push_back(
            {e.frequency, brix::indexRateMbps(e.bitRateIndex), channelLabel(e.label)});
    }
}

std::string metricsText(const ServeState& s, const MetricsContext& context) {
    Writer w;
    w.family("brix_build_info", "gauge",
             "The brixctl that serves, and the interface of its modem (empty: any).");
    w.text += "brix_build_info{version=\"" BRIX_VERSION "\",interface=\"" +
              labelValue(context.interfaceName) + "\"} 1\n";
    const std::int64_t now = nowNs();
    const std::int64_t heard = brix::linkLastHeardMs();
    const std::int64_t report = s.lastReportNs();
    const bool up =
        heard != 0 && brix::unixMsNow() - heard <= std::chrono::milliseconds(kUpWindow).count();
    w.gauge("brix_up", "1 while the modem answered within the last 10 s.", up ? 1 : 0);

    const brix::LinkCounters counters = brix::getLinkCounters();
    w.counter("brix_link_frames_sent_total", "Datagrams the link sent to the modem.",
              counters.framesSent);
    w.counter("brix_link_frames_received_total", "Datagrams the link accepted from the modem.",
              counters.framesReceived);
    w.counter("brix_link_frames_dropped_total",
              "Datagrams the link dropped: shorter than 8 bytes or without the magic.",
              counters.framesDropped);
    w.counter("brix_rf_reports_total", "RF reports the link took.", counters.rfReports);
    w.counter("brix_statistics_reports_total", "Statistics reports the link took.",
              counters.statisticsReports);

    // The counts of the statistics reports stay while the modem is away: they are what came.
    // From the start, as 0, so that rate() has its first point before the first report.
    {
        const Totals t = s.totals();
        const struct {
            const char* name;
            const char* help;
            std::uint64_t value;
        } totals[] = {
            {"brix_upstream_fragments_total", "Upstream transmitted fragments.",
             t.upstreamFragments},
            {"brix_upstream_packets_total", "Upstream transmitted packets.", t.upstreamPackets},
            {"brix_upstream_bytes_total", "Upstream transmitted bytes.", t.upstreamBytes},
            {"brix_upstream_retransmitted_packets_total", "Upstream packets re-transmitted.",
             t.retransmitted},
            {"brix_upstream_grants_total", "Upstream transmission grants.", t.grants},
            {"brix_downstream_forwarded_packets_total", "Forwarded downstream packets.",
             t.forwarded},
            {"brix_downstream_filtered_packets_total", "Downstream packets filtered out.",
             t.filtered},
            {"brix_downstream_bytes_total", "Forwarded downstream bytes.", t.downstreamBytes},
        };
        for (const auto& m : totals)
            w.counter(m.name, m.help, m.value);
    }
    w.counter("brix_link_down_total",
              "Times the modem stopped answering (10 s without a frame) since serve started.",
              s.linkDowns());
    if (const std::int64_t since = s.presence().second; since != 0)
        w.gauge("brix_link_last_change_timestamp_seconds",
                "When the modem last began or stopped answering (its last frame before a "
                "silence).",
                static_cast<double>(since) / 1000);
    if (context.history != nullptr) {
        w.gauge("brix_history_recording",
                "1 while the signal history is recorded: this service owns the link and its "
                "store takes what comes.",
                context.history->recording() ? 1 : 0);
        if (const std::int64_t written = context.history->lastWrittenUnixMs(); written != 0)
            w.gauge("brix_history_last_write_timestamp_seconds",
                    "When rows were last written into the signal history.",
                    static_cast<double>(written) / 1000);
    }
    if (report != 0)
        w.gauge("brix_last_report_age_seconds", "Seconds since the last RF report.",
                static_cast<double>(now - report) / 1e9);

    // The modem's own values only while it answers, so that a graph shows a gap rather than
    // the last values as if they held; and only once it has reported them.
    if (!up)
        return w.text;
    const std::string microcode = s.microcodeVersion();
    const std::string boot = s.bootVersion();
    if (!microcode.empty() || !boot.empty()) {
        w.family("brix_info", "gauge", "Version numbers the modem reported.");
        w.text += "brix_info{microcode=\"" + labelValue(versionLabel(microcode)) + "\",boot=\"" +
                  labelValue(versionLabel(boot)) + "\"} 1\n";
    }
    if (counters.rfReports == 0)
        return w.text;
    std::uint16_t rxF = 0, txF = 0, rxCode = 0, txCode = 0;
    brix::getFrequencies(rxF, txF);
    brix::getRateCodes(rxCode, txCode);
    w.gauge("brix_receive_frequency_hertz", "Receive (downstream) frequency.", rxF * 100000.0);
    w.gauge("brix_transmit_frequency_hertz", "Transmit (upstream) frequency.", txF * 100000.0);
    w.gauge("brix_receive_rate_code", "Bit-rate code of the receive channel.", rxCode);
    if (context.channels != nullptr) {
        if (const auto [number, label] = context.channels->channel(rxF, brix::codeRateMbps(rxCode));
            number != 0) {
            w.family("brix_receive_channel", "gauge",
                     "The stored channel (1 to 10) the modem receives on, with its label from "
                     "the channel file.");
            w.text += "brix_receive_channel{label=\"" + labelValue(label) + "\"} " +
                      std::to_string(number) + "\n";
        }
    }
    w.gauge("brix_transmit_rate_code", "Bit-rate code of the transmit channel.", txCode);
    // In bytes, Prometheus's base unit of data (promtool refuses bits); none for codes 7+.
    if (const auto mbps = brix::codeRateMbps(rxCode))
        w.gauge("brix_receive_bit_rate_bytes_per_second", "Receive bit rate.", *mbps * 1e6 / 8);
    if (const auto mbps = brix::codeRateMbps(txCode))
        w.gauge("brix_transmit_bit_rate_bytes_per_second", "Transmit bit rate.", *mbps * 1e6 / 8);
    w.gauge("brix_attenuation_dbmv", "Attenuation level as the Console shows it.",
            -2 * static_cast<int>(brix::getAttenuation()));
    std::int32_t unused = 0, txLevel = 0;
    brix::getStatisticsRates(1, unused, txLevel, unused);
    w.gauge("brix_transmit_level", "txLevel: 16 less the attenuation code.", txLevel);

    if (counters.statisticsReports > 0)
        w.gauge("brix_statistics_period_seconds", "Period of the last statistics report.",
                brix::getLastStatistics().period / 100.0);
    return w.text;
}

}  // namespace brixctl

// brixctl serve: the link polling as the window does, and its values in the Prometheus text
// format at /metrics.

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "brixctl/commands.h"
#include "brixctl/session.h"
#include "brixctl/values.h"

namespace brixctl {

namespace {

using Clock = Session::Clock;
using namespace std::chrono_literals;

constexpr auto kUpWindow = 10s;  // brix_up: the modem answered within this

// Steady times, in nanoseconds since the clock's epoch (0: never), of the last frame the link
// accepted and of the last RF report. Written by the main thread, read by the server's.
std::atomic<std::int64_t> lastAnswerNs{0};
std::atomic<std::int64_t> lastReportNs{0};

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// A label value as the text format wants it: backslash, double quote and line feed escaped.
std::string labelValue(const std::string& text) {
    std::string out;
    for (const char c : latin1ToUtf8(text)) {
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
    void sample(const char* name, double value) {
        char line[160];
        std::snprintf(line, sizeof line, "%s %.17g\n", name, value);
        text += line;
    }
    void gauge(const char* name, const char* help, double value) {
        family(name, "gauge", help);
        sample(name, value);
    }
};

std::string metricsText(const Session& s) {
    Writer w;
    const std::int64_t now = nowNs();
    const std::int64_t answer = lastAnswerNs.load();
    const std::int64_t report = lastReportNs.load();
    w.gauge("brix_up", "1 while the modem answered within the last 10 s.",
            answer != 0 && now - answer <= std::chrono::nanoseconds(kUpWindow).count() ? 1 : 0);

    const brix::LinkCounters counters = brix::getLinkCounters();
    w.family("brix_link_frames_sent_total", "counter", "Datagrams the link sent to the modem.");
    w.sample("brix_link_frames_sent_total", static_cast<double>(counters.framesSent));
    w.family("brix_link_frames_received_total", "counter",
             "Datagrams the link accepted from the modem.");
    w.sample("brix_link_frames_received_total", static_cast<double>(counters.framesReceived));
    w.family("brix_link_frames_dropped_total", "counter",
             "Datagrams the link dropped: shorter than 8 bytes or without the magic.");
    w.sample("brix_link_frames_dropped_total", static_cast<double>(counters.framesDropped));
    w.family("brix_rf_reports_total", "counter", "RF reports the link took.");
    w.sample("brix_rf_reports_total", counters.rfReports);
    w.family("brix_statistics_reports_total", "counter", "Statistics reports the link took.");
    w.sample("brix_statistics_reports_total", counters.statisticsReports);

    const std::string microcode = s.microcodeVersion();
    const std::string boot = s.bootVersion();
    if (!microcode.empty() || !boot.empty()) {
        w.family("brix_info", "gauge", "Versions the modem reported.");
        w.text += "brix_info{microcode=\"" + labelValue(microcode) + "\",boot=\"" +
                  labelValue(boot) + "\"} 1\n";
    }
    // The modem's values exist only once it has reported them.
    if (counters.rfReports == 0)
        return w.text;

    w.gauge("brix_last_report_age_seconds", "Seconds since the last RF report.",
            report == 0 ? 0.0 : static_cast<double>(now - report) / 1e9);
    std::uint16_t rxF = 0, txF = 0, rxCode = 0, txCode = 0;
    brix::getFrequencies(rxF, txF);
    brix::getRateCodes(rxCode, txCode);
    w.gauge("brix_receive_frequency_hertz", "Receive (downstream) frequency.", rxF * 100000.0);
    w.gauge("brix_transmit_frequency_hertz", "Transmit (upstream) frequency.", txF * 100000.0);
    w.gauge("brix_receive_rate_code", "Bit-rate code of the receive channel.", rxCode);
    w.gauge("brix_transmit_rate_code", "Bit-rate code of the transmit channel.", txCode);
    // In bytes, Prometheus's base unit of data (promtool refuses bits); none for codes 7+.
    if (const auto mbps = codeRateMbps(rxCode))
        w.gauge("brix_receive_bit_rate_bytes_per_second", "Receive bit rate.", *mbps * 1e6 / 8);
    if (const auto mbps = codeRateMbps(txCode))
        w.gauge("brix_transmit_bit_rate_bytes_per_second", "Transmit bit rate.", *mbps * 1e6 / 8);
    const std::uint16_t attenuation = brix::getAttenuation();
    w.gauge("brix_attenuation_dbmv", "Attenuation level as the Console shows it.",
            -2.0 * attenuation);
    std::int32_t rxPackets = 0, grants = 0, third = 0, txFragments = 0, txLevel = 0,
                 retransmits = 0;
    brix::getStatisticsRates(0, rxPackets, grants, third);
    brix::getStatisticsRates(1, txFragments, txLevel, retransmits);
    w.gauge("brix_transmit_level", "txLevel: 16 less the attenuation code.", txLevel);

    if (counters.statisticsReports == 0)
        return w.text;
    w.gauge("brix_receive_packet_rate", "Forwarded downstream packets, as the Tuner's bar shows.",
            rxPackets);
    w.gauge("brix_grant_rate", "Upstream transmission grants, as the Tuner's bar shows.", grants);
    w.gauge("brix_transmit_fragment_rate", "Upstream fragments, as the Tuner's bar shows.",
            txFragments);
    w.gauge("brix_retransmit_rate", "Re-transmitted upstream packets, as the Tuner's bar shows.",
            retransmits);
    const brix::StatisticsCounters c = brix::getLastStatistics();
    w.gauge("brix_statistics_period_seconds", "Period of the last statistics report.",
            c.period / 100.0);
    const struct {
        const char* name;
        const char* help;
        double value;
    } perPeriod[] = {
        {"brix_report_upstream_fragments", "Upstream transmitted fragments in the last period.",
         static_cast<double>(c.txFragments)},
        {"brix_report_upstream_packets", "Upstream transmitted packets in the last period.",
         static_cast<double>(c.txPackets)},
        {"brix_report_upstream_bytes", "Upstream transmitted bytes in the last period.",
         static_cast<double>(c.txBytes)},
        {"brix_report_upstream_retransmitted_packets",
         "Upstream packets re-transmitted in the last period.",
         static_cast<double>(c.retransmitted)},
        {"brix_report_downstream_forwarded_packets",
         "Forwarded downstream packets in the last period.", static_cast<double>(c.forwarded)},
        {"brix_report_downstream_filtered_packets",
         "Downstream packets filtered out in the last period.", static_cast<double>(c.filtered)},
        {"brix_report_downstream_bytes", "Forwarded downstream bytes in the last period.",
         static_cast<double>(c.rxBytes)},
        {"brix_report_upstream_grants", "Upstream transmission grants in the last period.",
         static_cast<double>(c.grants)},
    };
    for (const auto& m : perPeriod)
        w.gauge(m.name, m.help, m.value);
    return w.text;
}

// "[HOST:]PORT" to its parts, an IPv6 host in brackets ("[::1]:9331"); false for a port
// outside 1..65535.
bool parseListen(const std::string& listen, std::string& host, int& port) {
    const std::size_t colon = listen.rfind(':');
    host = colon == std::string::npos ? "127.0.0.1" : listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string portText = colon == std::string::npos ? listen : listen.substr(colon + 1);
    if (host.empty() || portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(portText);
    return port >= 1 && port <= 65535;
}

}  // namespace

int runServe(const Options& o, const std::string& listen) {
    std::string host;
    int port = 0;
    if (!parseListen(listen, host, port)) {
        std::fprintf(stderr, "brixctl: '%s' is not [HOST:]PORT with a port from 1 to 65535\n",
                     listen.c_str());
        return kUsage;
    }
    Session s;
    if (const int rc = s.open(o.interfaceName))
        return rc;

    httplib::Server server;
    // Two threads answer scrapes: a monitoring system asks a few times a minute.
    server.new_task_queue = [] { return new httplib::ThreadPool(2); };
    // Headers and body go out as two writes: without this, a kept-alive scrape waits for the
    // delayed acknowledgement of the first (40 ms).
    server.set_tcp_nodelay(true);
    server.Get("/metrics", [&s](const httplib::Request&, httplib::Response& res) {
        res.set_content(metricsText(s), "text/plain; version=0.0.4; charset=utf-8");
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("brixctl: the metrics are at /metrics\n", "text/plain");
    });
    errno = 0;
    if (!server.bind_to_port(host, port)) {
        std::fprintf(stderr, "brixctl: cannot listen on %s: %s\n", listen.c_str(),
                     errno != 0 ? std::strerror(errno) : "no such address");
        return kFailed;
    }
    std::thread http([&server] { server.listen_after_bind(); });

    brix::sendFrame(brix::buildRequest(brix::MessageType::Version).bytes, 12);
    s.start();
    std::fprintf(stderr, "brixctl: serving http://%s%s%s:%d/metrics\n",
                 host.find(':') != std::string::npos ? "[" : "", host.c_str(),
                 host.find(':') != std::string::npos ? "]" : "", port);

    brix::LinkCounters seen;
    while (!Session::interrupted()) {
        const brix::LinkCounters c = brix::getLinkCounters();
        if (c.framesReceived != seen.framesReceived)
            lastAnswerNs.store(nowNs());
        if (c.rfReports != seen.rfReports)
            lastReportNs.store(nowNs());
        seen = c;
        s.waitUntil(Clock::now() + 50ms, [] { return false; });
    }
    server.stop();
    http.join();
    return kDone;
}

}  // namespace brixctl

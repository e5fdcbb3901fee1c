// brixctl serve: the link polling as the window does, and its values in the Prometheus text
// format at /metrics.
//
// The HTTP side is libmicrohttpd on one event-driven thread: an idle, kept-alive or slow client
// holds a connection, never a worker, so a scrape is answered at once however many of them are
// open. Connections are capped, those quiet for a second are closed, and request bodies are
// refused unread (only GET exists).

#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

#include "brixctl/commands.h"
#include "brixctl/history_feed.h"
#include "brixctl/session.h"
#include "brixctl/values.h"
#include "domain/clock.h"
#include "domain/rates.h"
#include "domain/text.h"
#include "link/link_presence.h"

namespace brixctl {

namespace {

using Clock = Session::Clock;
using namespace std::chrono_literals;

constexpr auto kUpWindow = 10s;              // brix_up: the modem answered within this
constexpr unsigned kMaxConnections = 256;    // beyond it, new connections are closed at once
constexpr unsigned kIdleTimeoutSeconds = 1;  // a connection quiet this long is closed
constexpr std::size_t kConnectionMemory = 16 * 1024;  // request line and headers, per connection
constexpr std::size_t kMaxVersionLabel = 32;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
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
            (v->boot ? boot_ : microcode_) = v->text;
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
};

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

std::string metricsText(const ServeState& s) {
    Writer w;
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

MHD_Result respond(MHD_Connection* connection, unsigned status, const std::string& body,
                   const char* type = "text/plain; charset=utf-8") {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

// A request that announces a body is refused as soon as its headers are in, before any of the
// body is read; the library then closes the connection. Any other is answered on the second
// call, once the library has seen the request through, so that the connection can stay open.
// The path a request named with a %00 in it: refused, never cut at the zero byte and served.
constexpr char kZeroInPath[] = "\x01zero";

// The library's own unescaping, but a %00 anywhere makes the path kZeroInPath.
std::size_t unescapePath(void*, MHD_Connection*, char* uri) {
    for (const char* p = uri; *p != '\0'; ++p)
        if (p[0] == '%' && p[1] == '0' && p[2] == '0') {
            std::memcpy(uri, kZeroInPath, sizeof kZeroInPath);
            return sizeof kZeroInPath - 1;
        }
    return MHD_http_unescape(uri);
}

// Headers that a request may hold once (Content-Length and Host), and whether a name is not
// one ("Content-Length : 5", which a proxy may read as the length and this server not).
struct Once {
    int lengths = 0;
    int hosts = 0;
    bool badName = false;
};

MHD_Result countHeader(void* cls, MHD_ValueKind, const char* key, const char*) {
    auto& once = *static_cast<Once*>(cls);
    for (const char* c = key; *c != '\0'; ++c)
        if (*c <= ' ' || *c >= 0x7f || std::strchr("\"(),/:;<=>?@[\\]{}", *c) != nullptr)
            once.badName = true;
    if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0)
        ++once.lengths;
    if (strcasecmp(key, MHD_HTTP_HEADER_HOST) == 0)
        ++once.hosts;
    return MHD_YES;
}

MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char* version, const char*, std::size_t* uploadSize, void** state) {
    static int headersSeen;
    if (*state == nullptr) {
        // What proxies and caches could read otherwise than we do is refused outright: two
        // lengths, an HTTP/1.1 request without Host, a path with a zero byte in it.
        Once once;
        MHD_get_connection_values(connection, MHD_HEADER_KIND, countHeader, &once);
        if (once.lengths > 1)
            return respond(connection, MHD_HTTP_BAD_REQUEST, "more than one Content-Length\n");
        if (once.hosts > 1)
            return respond(connection, MHD_HTTP_BAD_REQUEST, "more than one Host\n");
        if (once.badName)
            return respond(connection, MHD_HTTP_BAD_REQUEST, "a header name that is none\n");
        if (std::string_view(version) == MHD_HTTP_VERSION_1_1 &&
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST) ==
                nullptr)
            return respond(connection, MHD_HTTP_BAD_REQUEST, "an HTTP/1.1 request needs Host\n");
        if (std::string_view(url) == kZeroInPath)
            return respond(connection, MHD_HTTP_BAD_REQUEST, "a zero byte in the path\n");
        const std::string_view m = method;
        if (m != MHD_HTTP_METHOD_GET && m != MHD_HTTP_METHOD_HEAD)
            return respond(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET is served\n");
        const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                         MHD_HTTP_HEADER_CONTENT_LENGTH);
        if ((length != nullptr && std::string_view(length) != "0") ||
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                        MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr)
            return respond(connection, MHD_HTTP_CONTENT_TOO_LARGE, "request bodies are refused\n");
        *state = &headersSeen;
        return MHD_YES;
    }
    if (*uploadSize != 0)  // no body was announced; whatever came is dropped
        return MHD_NO;
    const auto& serve = *static_cast<const ServeState*>(cls);
    const std::string_view path = url;
    if (path == "/metrics")
        return respond(connection, MHD_HTTP_OK, metricsText(serve),
                       "text/plain; version=0.0.4; charset=utf-8");
    if (path == "/")
        return respond(connection, MHD_HTTP_OK, "brixctl: the metrics are at /metrics\n");
    return respond(connection, MHD_HTTP_NOT_FOUND, "brixctl serves /metrics only\n");
}

struct ListenAddress {
    std::string host;  // without brackets
    std::string port;
    std::string shown;  // as a URL names it
};

// "[HOST:]PORT", the host a name, an IPv4 address or an IPv6 address in brackets; false for a
// port outside 1..65535.
bool parseListen(const std::string& listen, ListenAddress& a) {
    std::string host = "127.0.0.1";
    std::string port = listen;
    if (!listen.empty() && listen.front() == '[') {
        const std::size_t close = listen.find("]:");
        if (close == std::string::npos)
            return false;
        host = listen.substr(1, close - 1);
        port = listen.substr(close + 2);
        if (host.find(':') == std::string::npos)
            return false;
    } else if (const std::size_t colon = listen.rfind(':'); colon != std::string::npos) {
        host = listen.substr(0, colon);
        port = listen.substr(colon + 1);
        if (host.find(':') != std::string::npos)  // an IPv6 address wants its brackets
            return false;
    }
    if (host.empty() || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int number = std::stoi(port);
    if (number < 1 || number > 65535)
        return false;
    a.host = host;
    a.port = std::to_string(number);
    a.shown = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + a.port;
    return true;
}

// A listening TCP socket on the address, or -1 after printing why not.
int listenOn(const ListenAddress& a) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(a.host.c_str(), a.port.c_str(), &hints, &found); rc != 0) {
        std::fprintf(stderr, "brixctl: cannot listen on %s: %s\n", a.shown.c_str(),
                     rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc));
        return -1;
    }
    int error = 0;
    int fd = -1;
    for (addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                      ai->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd, 128) != 0) {
            error = errno;
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0)
        std::fprintf(stderr, "brixctl: cannot listen on %s: %s\n", a.shown.c_str(),
                     std::strerror(error));
    return fd;
}

}  // namespace

int runServe(const Options& o, const std::string& listen) {
    ListenAddress address;
    if (!parseListen(listen, address)) {
        std::fprintf(stderr,
                     "brixctl: '%s' is not [HOST:]PORT with a port from 1 to 65535 (an IPv6 "
                     "address in brackets: [::1]:9330)\n",
                     listen.c_str());
        return kUsage;
    }
    // The feed subscribes before the link opens, so that it records from the first report.
    std::unique_ptr<HistoryFeed> feed;
    const std::string historyFile = o.noHistory ? std::string() : historyPath(o.history);
    if (!historyFile.empty())
        feed = std::make_unique<HistoryFeed>(historyFile);
    ServeState state;
    Session s;
    s.onEvent([&state, &historyFile](const brix::LinkEvent& e) {
        journalPresence(e);
        if (!historyFile.empty())
            journalRecording(e, historyFile);
        state.take(e);
    });
    if (const int rc = s.open(o.interfaceName))
        return rc;

    const int fd = listenOn(address);
    if (fd < 0)
        return kFailed;
    MHD_Daemon* daemon = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC, 0, nullptr, nullptr, &answer, &state,
        MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        kConnectionMemory, MHD_OPTION_UNESCAPE_CALLBACK, &unescapePath, nullptr,
        // Headers as the standard writes them: no space before the colon, no folded lines.
        MHD_OPTION_STRICT_FOR_CLIENT, 1, MHD_OPTION_END);
    if (daemon == nullptr) {
        std::fprintf(stderr, "brixctl: cannot serve on %s: the HTTP server did not start\n",
                     address.shown.c_str());
        ::close(fd);
        return kFailed;
    }

    brix::sendFrame(brix::buildRequest(brix::MessageType::Version).bytes, 12);
    s.start();
    std::fprintf(stderr, "brixctl: serving http://%s/metrics\n", address.shown.c_str());

    // The link's events are taken in as they come; nothing wakes this thread in between.
    s.waitUntil(Clock::time_point::max(), [] { return false; });
    // Closes every connection, however far its request has come, and the listening socket.
    MHD_stop_daemon(daemon);
    feed.reset();
    s.stop();
    return kDone;
}

}  // namespace brixctl

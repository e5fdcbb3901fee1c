// brixctl serve: the link polled as the window polls it, its values at /metrics, and the
// dashboard with its API beside them (web_api.h) on one HTTP server (http_server.h).

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "brixctl/commands.h"
#include "brixctl/history_feed.h"
#include "brixctl/http_server.h"
#include "brixctl/serve_state.h"
#include "brixctl/session.h"
#include "brixctl/values.h"
#include "brixctl/web_api.h"
#include "brixctl/web_config.h"
#include "link/link_commands.h"
#include "link/link_frame.h"
#include "link/link_transport.h"

namespace brixctl {

namespace {

// Debian's package of the charting library the dashboard draws with.
constexpr char kChartsRoot[] = "/usr/share/javascript/dygraphs";

// The dashboard's files: share/brixctl/web beside the program's bin folder, wherever it is
// installed (and in the build tree, where the build puts them there too).
std::string webRoot() {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "/usr/share/brixctl/web";
    std::string path(self, static_cast<std::size_t>(n));
    path = path.substr(0, path.rfind('/'));
    return path.substr(0, path.rfind('/')) + "/share/brixctl/web";
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
    // A bad file is told before anything starts, for the user to mend it.
    WebConfig config;
    if (!o.webConfig.empty()) {
        std::string why;
        const auto loaded = loadWebConfig(o.webConfig, why);
        if (!loaded) {
            std::fprintf(stderr, "brixctl: --web-config %s\n", why.c_str());
            return kUsage;
        }
        config = *loaded;
    }
    const char* scheme = config.certificate.empty() ? "http" : "https";
    // The feed subscribes before the link opens, so that it records from the first report.
    std::unique_ptr<Notifier> notifier;
    if (o.notify.wanted())
        notifier = std::make_unique<Notifier>(o.notify, o.interfaceName);
    std::unique_ptr<HistoryFeed> feed;
    const std::string historyFile = o.noHistory ? std::string() : historyPath(o.history);
    if (!historyFile.empty())
        feed = std::make_unique<HistoryFeed>(historyFile, [&notifier](const std::string& text) {
            if (notifier)
                notifier->recorderError(text);
        });
    ServeState state;
    Session s;
    s.onEvent([&state, &historyFile, &notifier](const brix::LinkEvent& e) {
        journalPresence(e);
        if (!historyFile.empty())
            journalRecording(e, historyFile);
        state.take(e);
        if (notifier)
            notifier->take(e);
    });
    if (const int rc = s.open(o.interfaceName))
        return rc;

    http::Server server;
    server.useTls(config.certificate, config.key);
    server.requireUsers(config.users, passwordMatches);
    WebApiOptions web{o.history, historyFile, o.interfaceName, webRoot(), kChartsRoot, o.noHistory};
    ChannelLabels channels(o.channelsFile.empty() ? kChannelFileName : o.channelsFile);
    const MetricsContext metrics{o.interfaceName, &channels,
                                 feed != nullptr ? &feed->feed() : nullptr};
    server.route("/metrics", [&state, &metrics](const http::Request&) {
        http::Reply r;
        r.type = "text/plain; version=0.0.4; charset=utf-8";
        r.body = metricsText(state, metrics);
        return r;
    });
    addWebApi(server, state, web);
    StreamFeed stream(server, state, web);
    const int fd = listenOn(address);
    if (fd < 0)
        return kFailed;
    std::string error;
    if (!server.start(fd, error)) {
        std::fprintf(stderr, "brixctl: cannot serve on %s: %s\n", address.shown.c_str(),
                     error.c_str());
        return kFailed;
    }

    brix::sendFrame(brix::buildRequest(brix::MessageType::Version).bytes, 12);
    s.start();
    std::fprintf(stderr, "brixctl: serving %s://%s/metrics and the dashboard at %s://%s/%s\n",
                 scheme, address.shown.c_str(), scheme, address.shown.c_str(),
                 config.users.empty() ? "" : " (a user and password asked)");

    // The link's events are taken in as they come; once a second the server's deadlines are
    // kept and the stream is told what was recorded.
    std::uint64_t reports = 0;
    while (!Session::interrupted()) {
        s.waitUntil(after(1), [&] { return brix::getLinkCounters().rfReports != reports; });
        if (const std::uint64_t now = brix::getLinkCounters().rfReports; now != reports) {
            reports = now;
            stream.statusChanged();
        }
        stream.statusChanged(false);
        server.tick();
        stream.pollEvents();
    }
    // Closes every connection, however far its request has come, and the listening socket.
    server.stop();
    feed.reset();
    s.stop();
    notifier.reset();  // the service's last message, after the link is handed on
    return kDone;
}

}  // namespace brixctl

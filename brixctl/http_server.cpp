// The HTTP side of brixctl serve (http_server.h).
#include "brixctl/http_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

namespace brixctl::http {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Beyond kMaxConnections open, each new one ends the oldest that has not yet sent its whole
// request: slow or idle clients, however many, never keep a scrape out. Beyond the hard limit
// new connections are closed at once.
constexpr unsigned kMaxConnections = 256;
constexpr unsigned kHardMaxConnections = 512;
constexpr unsigned kIdleTimeoutSeconds = 1;  // a connection quiet this long is closed
constexpr auto kRequestDeadline = 5s;        // from a request's first byte to its last header
constexpr std::size_t kConnectionMemory = 16 * 1024;  // request line and headers
constexpr std::size_t kMaxWaitingQueries = 64;        // beyond, 503: the worker is behind
constexpr std::size_t kMaxStreamClients = 64;
constexpr std::size_t kMaxStreamBacklog = 256 * 1024;  // a reader this far behind is dropped
constexpr auto kStreamKeepAlive = 15s;
constexpr std::size_t kGzipFrom = 1024;  // smaller bodies are sent as they are
constexpr std::size_t kLargeBody = 64 * 1024;
constexpr double kAttemptsBurst = 10;     // password checks of unknown credentials at once,
constexpr double kAttemptsPerSecond = 5;  // and then a second
constexpr std::size_t kMaxVerified = 64;
// A bcrypt hash of nothing anyone knows: an unknown user costs the check a known one does.
constexpr char kNobodysHash[] = "$2b$10$eJxTLPuXuYiBr6VRdKMe../pwzH6wJ.O7ACMNWCK0XFeb5eWEQGuO";
constexpr std::size_t kLargeBodiesBudget = 16 << 20;  // well within the unit's 64 MB

constexpr char kSecurityPolicy[] =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// The path a request named with a %00 in it: refused, never cut at the zero byte and served.
constexpr char kZeroInPath[] = "\x01zero";

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

struct Arguments {
    std::map<std::string, std::string> values;
    bool repeated = false;
    std::size_t bytes = 0;
};

MHD_Result takeArgument(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto& a = *static_cast<Arguments*>(cls);
    const std::string v = value != nullptr ? value : "";
    a.bytes += std::strlen(key) + v.size();
    if (!a.values.emplace(key, v).second)
        a.repeated = true;
    return MHD_YES;
}

bool acceptsGzip(MHD_Connection* connection) {
    const char* accepted =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING);
    if (accepted == nullptr)
        return false;
    // "gzip", "GZIP", "gzip;q=0.5", but not "gzip;q=0": codings are named in any case.
    std::string a = accepted;
    for (char& c : a)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t at = a.find("gzip");
    if (at == std::string_view::npos)
        return false;
    const std::string_view rest = std::string_view(a).substr(at + 4, a.find(',', at) - at - 4);
    const std::size_t q = rest.find("q=");
    return q == std::string_view::npos ||
           rest.substr(q + 2).find_first_of("123456789") != std::string_view::npos;
}

struct File {
    std::string type;
    std::string body;
    std::string zipped;
};

std::string typeOf(const std::string& name) {
    static const std::pair<const char*, const char*> kTypes[] = {
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".json", "application/json"},
        {".map", "application/json"},
        {".txt", "text/plain; charset=utf-8"}};
    for (const auto& [ending, type] : kTypes)
        if (name.size() > std::strlen(ending) &&
            name.compare(name.size() - std::strlen(ending), std::string::npos, ending) == 0)
            return type;
    return {};
}

}  // namespace

std::string gzip(const std::string& body) {
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    std::string out(deflateBound(&z, body.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
    z.avail_in = static_cast<uInt>(body.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return rc == Z_STREAM_END ? out : std::string();
}

// One request on a connection, from its headers to its answer.
struct Pending {
    enum class Phase { Headers, Waiting, Answered };
    Phase phase = Phase::Headers;
    MHD_Connection* connection = nullptr;
    Request request;
    const Handler* handler = nullptr;
    Reply reply;  // the worker's, once Answered
};

// A client of the live stream. Its lock guards what the publishers and the reader share.
struct StreamClient {
    std::mutex mutex;
    std::string backlog;
    bool waiting = false;  // suspended until there is something to send
    bool closing = false;
    MHD_Connection* connection = nullptr;
    Server::Impl* server = nullptr;
};

// Where a connection is: the deadline runs until its request is in.
struct Tracked {
    int fd = -1;
    Clock::time_point since;
    bool requestIn = false;
    bool streaming = false;
};

struct Server::Impl {
    std::map<std::string, Handler> quick;
    std::map<std::string, Handler> slow;
    std::map<std::string, File> files;  // by path
    std::string streamPath;
    std::function<std::string()> hello;
    MHD_Daemon* daemon = nullptr;

    std::mutex queueMutex;  // the worker's queue
    std::condition_variable queueWake;
    std::deque<Pending*> queue;
    bool stopping = false;
    std::thread worker;

    mutable std::mutex streamMutex;
    std::set<StreamClient*> clients;
    Clock::time_point lastKeepAlive = Clock::now();

    std::mutex trackMutex;
    std::map<MHD_Connection*, Tracked> tracked;

    std::atomic<std::size_t> inFlight{0};  // bytes of large bodies not yet sent

    std::string certificate, key;
    std::map<std::string, std::string> users;
    std::function<bool(const std::string&, const std::string&)> matches;
    // The server's thread only: credentials checked once (a bcrypt check takes a good part of a
    // tenth of a second), and how many more wrong ones may be checked now.
    std::set<std::string> verified;
    double attempts = kAttemptsBurst;
    Clock::time_point attemptsFilled = Clock::now();

    // True when the request may go on; else the refusal is queued in `queued`.
    bool authorized(MHD_Connection* connection, MHD_Result& queued);

    // Serving on loopback without passwords, only requests that name a loopback host are
    // answered: a web page of another name that resolves to 127.0.0.1 (DNS rebinding) cannot
    // read the history through the browser of someone on this PC.
    bool loopbackOnly = false;
    bool hostAllowed(MHD_Connection* connection) const;

    void work();
    MHD_Result dispatch(MHD_Connection* connection, Pending& p, bool head);
    MHD_Result openStream(MHD_Connection* connection);
    void wake(const std::vector<MHD_Connection*>& connections);
};

namespace {

// A body the server holds until it is sent, counted against the budget of large bodies.
struct Body {
    std::string text;
    std::atomic<std::size_t>* inFlight = nullptr;
};

void freeBody(void* cls) {
    auto* b = static_cast<Body*>(cls);
    if (b->inFlight != nullptr)
        b->inFlight->fetch_sub(b->text.size());
    delete b;
}

// `file`: one of the files read at the start, sent from where it is kept. `inFlight`: the
// bytes of large bodies not yet sent, which many slow readers of large ranges could otherwise
// grow beyond the service's memory: past the budget, a large body is refused for now.
MHD_Result send(MHD_Connection* connection, const Reply& r, const File* file = nullptr,
                std::atomic<std::size_t>* inFlight = nullptr) {
    const bool accepts = acceptsGzip(connection);
    MHD_Response* response = nullptr;
    bool zipped = false;
    if (file != nullptr) {
        zipped = accepts && !file->zipped.empty();
        const std::string& body = zipped ? file->zipped : file->body;
        response = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                   MHD_RESPMEM_PERSISTENT);
    } else {
        auto* body = new Body;
        if (r.body.size() >= kGzipFrom && accepts)
            body->text = gzip(r.body);
        zipped = !body->text.empty();
        if (!zipped)
            body->text = r.body;
        if (inFlight != nullptr && body->text.size() >= kLargeBody) {
            // One answer alone is always sent, however large (a range at the most points).
            const std::size_t others = inFlight->fetch_add(body->text.size());
            if (others != 0 && others + body->text.size() > kLargeBodiesBudget) {
                inFlight->fetch_sub(body->text.size());
                delete body;
                Reply busy{MHD_HTTP_SERVICE_UNAVAILABLE,
                           "application/json",
                           "{\"error\":\"busy sending other large answers; ask again shortly\"}\n",
                           false,
                           {}};
                return send(connection, busy);
            }
            body->inFlight = inFlight;
        }
        response = MHD_create_response_from_buffer_with_free_callback_cls(
            body->text.size(), body->text.data(), freeBody, body);
        if (response == nullptr)
            freeBody(body);
    }
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.type.c_str());
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "Content-Security-Policy", kSecurityPolicy);
    MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL,
                            r.cacheable ? "max-age=300" : "no-store");
    if (r.body.size() >= kGzipFrom || file != nullptr)
        MHD_add_response_header(response, MHD_HTTP_HEADER_VARY, "Accept-Encoding");
    if (zipped)
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_ENCODING, "gzip");
    if (!r.attachment.empty())
        MHD_add_response_header(response, "Content-Disposition",
                                ("attachment; filename=\"" + r.attachment + "\"").c_str());
    if (r.status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result queued = MHD_queue_response(connection, r.status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result sendText(MHD_Connection* connection, unsigned status, const std::string& text) {
    Reply r;
    r.status = status;
    r.type = "text/plain; charset=utf-8";
    r.body = text;
    return send(connection, r);
}

ssize_t readStream(void* cls, std::uint64_t, char* buffer, std::size_t max) {
    auto& c = *static_cast<StreamClient*>(cls);
    std::lock_guard lock(c.mutex);
    if (!c.backlog.empty()) {
        const std::size_t n = std::min(max, c.backlog.size());
        std::memcpy(buffer, c.backlog.data(), n);
        c.backlog.erase(0, n);
        return static_cast<ssize_t>(n);
    }
    if (c.closing)
        return MHD_CONTENT_READER_END_OF_STREAM;
    // Nothing to send: the connection waits aside until a publisher wakes it.
    c.waiting = true;
    MHD_suspend_connection(c.connection);
    return 0;
}

void freeStream(void* cls) {
    auto* c = static_cast<StreamClient*>(cls);
    {
        std::lock_guard lock(c->server->streamMutex);
        c->server->clients.erase(c);
    }
    delete c;
}

MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char* version, const char*, std::size_t* uploadSize, void** state) {
    auto& server = *static_cast<Server::Impl*>(cls);
    auto* p = static_cast<Pending*>(*state);
    if (p == nullptr) {
        {
            std::lock_guard lock(server.trackMutex);
            if (auto it = server.tracked.find(connection); it != server.tracked.end())
                it->second.requestIn = true;
        }
        // What proxies and caches could read otherwise than we do is refused outright: two
        // lengths, an HTTP/1.1 request without Host, a path with a zero byte in it.
        Once once;
        MHD_get_connection_values(connection, MHD_HEADER_KIND, countHeader, &once);
        if (once.lengths > 1)
            return sendText(connection, MHD_HTTP_BAD_REQUEST, "more than one Content-Length\n");
        if (once.hosts > 1)
            return sendText(connection, MHD_HTTP_BAD_REQUEST, "more than one Host\n");
        if (once.badName)
            return sendText(connection, MHD_HTTP_BAD_REQUEST, "a header name that is none\n");
        if (std::string_view(version) == MHD_HTTP_VERSION_1_1 &&
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST) ==
                nullptr)
            return sendText(connection, MHD_HTTP_BAD_REQUEST, "an HTTP/1.1 request needs Host\n");
        if (std::string_view(url) == kZeroInPath)
            return sendText(connection, MHD_HTTP_BAD_REQUEST, "a zero byte in the path\n");
        const std::string_view m = method;
        if (m != MHD_HTTP_METHOD_GET && m != MHD_HTTP_METHOD_HEAD)
            return sendText(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET is served\n");
        const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                         MHD_HTTP_HEADER_CONTENT_LENGTH);
        if ((length != nullptr && std::string_view(length) != "0") ||
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                        MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr)
            return sendText(connection, MHD_HTTP_CONTENT_TOO_LARGE, "request bodies are refused\n");
        p = new Pending;
        p->connection = connection;
        p->request.path = url;
        *state = p;
        return MHD_YES;
    }
    if (*uploadSize != 0)  // no body was announced; whatever came is dropped
        return MHD_NO;
    if (p->phase == Pending::Phase::Answered)
        return send(connection, p->reply, nullptr, &server.inFlight);
    if (p->phase == Pending::Phase::Waiting)
        return MHD_YES;  // not woken by its answer: it has none yet
    if (MHD_Result queued = MHD_NO; !server.authorized(connection, queued))
        return queued;
    if (!server.hostAllowed(connection))
        return sendText(connection, MHD_HTTP_MISDIRECTED_REQUEST,
                        "this server answers only to localhost, 127.0.0.1 or [::1]: it listens "
                        "on loopback only, and a page of another name must not read it\n");
    return server.dispatch(connection, *p, std::string_view(method) == MHD_HTTP_METHOD_HEAD);
}

void completed(void* cls, MHD_Connection* connection, void** state, MHD_RequestTerminationCode) {
    delete static_cast<Pending*>(*state);
    *state = nullptr;
    auto& server = *static_cast<Server::Impl*>(cls);
    // A kept-alive connection's next request has a deadline of its own.
    std::lock_guard lock(server.trackMutex);
    if (auto it = server.tracked.find(connection); it != server.tracked.end()) {
        it->second.requestIn = false;
        it->second.since = Clock::now();
    }
}

void noteConnection(void* cls, MHD_Connection* connection, void**,
                    MHD_ConnectionNotificationCode code) {
    auto& server = *static_cast<Server::Impl*>(cls);
    std::lock_guard lock(server.trackMutex);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        server.tracked.erase(connection);
        return;
    }
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    server.tracked[connection] = Tracked{info != nullptr ? info->connect_fd : -1, Clock::now()};
    if (server.tracked.size() <= kMaxConnections)
        return;
    const Tracked* oldest = nullptr;
    for (const auto& [other, t] : server.tracked)
        if (other != connection && !t.requestIn && !t.streaming && t.fd >= 0 &&
            (oldest == nullptr || t.since < oldest->since))
            oldest = &t;
    if (oldest != nullptr)
        ::shutdown(oldest->fd, SHUT_RDWR);  // the server's thread sees it end and closes it
}

}  // namespace

MHD_Result Server::Impl::dispatch(MHD_Connection* connection, Pending& p, bool) {
    const std::string& path = p.request.path;
    if (path == streamPath && !streamPath.empty())
        return openStream(connection);
    Arguments arguments;
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, takeArgument, &arguments);
    if (arguments.repeated || arguments.bytes > 1024)
        return send(connection,
                    Reply{MHD_HTTP_BAD_REQUEST,
                          "application/json",
                          "{\"error\":\"an argument is given twice, or the arguments are too "
                          "long\"}\n",
                          false,
                          {}});
    p.request.query = std::move(arguments.values);
    if (auto it = quick.find(path); it != quick.end())
        return send(connection, it->second(p.request));
    if (auto it = slow.find(path); it != slow.end()) {
        {
            std::lock_guard lock(queueMutex);
            if (queue.size() >= kMaxWaitingQueries || stopping)
                return sendText(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                                "too many history queries at once; ask again shortly\n");
            p.handler = &it->second;
            p.phase = Pending::Phase::Waiting;
            // Suspended before the worker can see it, so that its wake never comes first.
            MHD_suspend_connection(connection);
            queue.push_back(&p);
        }
        queueWake.notify_one();
        return MHD_YES;
    }
    if (auto it = files.find(path); it != files.end()) {
        Reply r;
        r.type = it->second.type;
        r.cacheable = true;
        return send(connection, r, &it->second);
    }
    // The path as text a terminal shows as it is: it is the client's, and may hold anything.
    std::string shown;
    for (const char c : path.substr(0, 200))
        shown += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    return sendText(connection, MHD_HTTP_NOT_FOUND, "brixctl serves no " + shown + "\n");
}

bool Server::Impl::hostAllowed(MHD_Connection* connection) const {
    if (!loopbackOnly || !users.empty())
        return true;
    const char* host =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    if (host == nullptr)
        return true;  // HTTP/1.0 without Host: no browser sends that
    // A loopback name exactly, with a port of digits at most: a rebinding page's name that
    // merely begins like one (127.0.0.1.example.net) is not one.
    std::string name = host;
    std::string port;
    if (!name.empty() && name.front() == '[') {
        const std::size_t close = name.find(']');
        if (close == std::string::npos)
            return false;
        port = name.substr(close + 1);
        name = name.substr(0, close + 1);
    } else if (const std::size_t colon = name.find(':'); colon != std::string::npos) {
        port = name.substr(colon);
        name = name.substr(0, colon);
    }
    if (!port.empty() && (port.size() < 2 || port.size() > 6 || port.front() != ':' ||
                          port.find_first_not_of("0123456789", 1) != std::string::npos))
        return false;
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    in_addr v4{};
    if (name.rfind("127.", 0) == 0 && ::inet_pton(AF_INET, name.c_str(), &v4) == 1)
        return true;
    const auto label = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
    };
    return name == "localhost" || name == "[::1]" ||
           (name.size() > 10 && name.compare(name.size() - 10, 10, ".localhost") == 0 &&
            std::all_of(name.begin(), name.end(), label));
}

bool Server::Impl::authorized(MHD_Connection* connection, MHD_Result& queued) {
    if (users.empty())
        return true;
    char* password = nullptr;
    char* name = MHD_basic_auth_get_username_password(connection, &password);
    const bool given = name != nullptr;
    const std::string user = given ? name : "";
    const std::string secret = password != nullptr ? password : "";
    MHD_free(name);
    MHD_free(password);
    if (given) {
        const std::string known = user + '\0' + secret;
        if (verified.count(known) != 0)
            return true;
        const auto now = Clock::now();
        attempts = std::min(kAttemptsBurst,
                            attempts + std::chrono::duration<double>(now - attemptsFilled).count() *
                                           kAttemptsPerSecond);
        attemptsFilled = now;
        if (attempts < 1) {
            queued = sendText(connection, MHD_HTTP_TOO_MANY_REQUESTS,
                              "too many wrong passwords; try again in a few seconds\n");
            return false;
        }
        const auto it = users.find(user);
        const bool right =
            matches(secret, it != users.end() ? it->second : kNobodysHash) && it != users.end();
        if (right) {
            if (verified.size() >= kMaxVerified)
                verified.clear();
            verified.insert(known);
            return true;
        }
        attempts -= 1;
    }
    const std::string text = "a user and password are needed\n";
    MHD_Response* response = MHD_create_response_from_buffer(
        text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        queued = MHD_NO;
        return false;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "Content-Security-Policy", kSecurityPolicy);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    queued = MHD_queue_basic_auth_fail_response(connection, "brixctl", response);
    MHD_destroy_response(response);
    return false;
}

MHD_Result Server::Impl::openStream(MHD_Connection* connection) {
    auto* c = new StreamClient;
    c->connection = connection;
    c->server = this;
    {
        std::lock_guard lock(streamMutex);
        if (clients.size() >= kMaxStreamClients) {
            delete c;
            return sendText(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                            "too many live streams open\n");
        }
        clients.insert(c);
    }
    // The retry first: a browser that loses the stream comes back within seconds.
    c->backlog = "retry: 3000\n\n";
    if (hello)
        c->backlog += hello();
    MHD_Response* response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, readStream, c, freeStream);
    if (response == nullptr) {
        freeStream(c);
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "X-Accel-Buffering", "no");  // a proxy passes it on
    {
        std::lock_guard lock(trackMutex);
        if (auto it = tracked.find(connection); it != tracked.end())
            it->second.streaming = true;
    }
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

void Server::Impl::work() {
    for (;;) {
        Pending* p = nullptr;
        {
            std::unique_lock lock(queueMutex);
            queueWake.wait(lock, [&] { return stopping || !queue.empty(); });
            if (stopping)
                return;
            p = queue.front();
            queue.pop_front();
        }
        p->reply = (*p->handler)(p->request);
        // What a large range took is given back to the system, not kept by the allocator: the
        // service's memory is what it holds, not the most it ever held.
        ::malloc_trim(0);
        p->phase = Pending::Phase::Answered;
        MHD_resume_connection(p->connection);
    }
}

void Server::Impl::wake(const std::vector<MHD_Connection*>& connections) {
    for (MHD_Connection* c : connections)
        MHD_resume_connection(c);
}

Server::Server() : impl_(std::make_unique<Impl>()) {}

Server::~Server() {
    stop();
}

void Server::route(const std::string& path, Handler handler) {
    impl_->quick[path] = std::move(handler);
}

void Server::slowRoute(const std::string& path, Handler handler) {
    impl_->slow[path] = std::move(handler);
}

bool Server::files(const std::string& prefix, const std::string& folder, const std::string& index) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return false;
    bool any = false;
    // Read once, here: what is served is a fixed set of names, so no path a client sends can
    // reach another file.
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const std::string type = typeOf(name);
        if (name.empty() || name[0] == '.' || type.empty())
            continue;
        const int fd = ::open((folder + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (fd < 0)
            continue;
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > 4 << 20) {
            ::close(fd);
            continue;
        }
        std::string body(static_cast<std::size_t>(info.st_size), '\0');
        const bool whole = ::read(fd, body.data(), body.size()) == info.st_size;
        ::close(fd);
        if (!whole)
            continue;
        File f{type, std::move(body), {}};
        // Compressed once here, for every browser that accepts it.
        if (f.body.size() >= kGzipFrom)
            if (std::string z = gzip(f.body); z.size() < f.body.size())
                f.zipped = std::move(z);
        if (name == index)
            impl_->files[prefix] = f;
        impl_->files[prefix + name] = std::move(f);
        any = true;
    }
    ::closedir(dir);
    return any;
}

void Server::stream(const std::string& path, std::function<std::string()> hello) {
    impl_->streamPath = path;
    impl_->hello = std::move(hello);
}

void Server::useTls(std::string certificate, std::string key) {
    impl_->certificate = std::move(certificate);
    impl_->key = std::move(key);
}

void Server::requireUsers(
    std::map<std::string, std::string> users,
    std::function<bool(const std::string& password, const std::string& hash)> matches) {
    impl_->users = std::move(users);
    impl_->matches = std::move(matches);
}

bool Server::start(int fd, std::string& error) {
    const bool tls = !impl_->certificate.empty();
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        if (bound.ss_family == AF_INET)
            impl_->loopbackOnly =
                (ntohl(reinterpret_cast<sockaddr_in*>(&bound)->sin_addr.s_addr) >> 24) == 127;
        else if (bound.ss_family == AF_INET6)
            impl_->loopbackOnly =
                IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<sockaddr_in6*>(&bound)->sin6_addr);
    }
    if (tls && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
        error = "this libmicrohttpd has no TLS";
        ::close(fd);
        return false;
    }
    MHD_OptionItem tlsOptions[] = {
        {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(impl_->certificate.c_str())},
        {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(impl_->key.c_str())},
        {MHD_OPTION_END, 0, nullptr}};
    MHD_OptionItem noOptions[] = {{MHD_OPTION_END, 0, nullptr}};
    impl_->worker = std::thread([this] { impl_->work(); });
    impl_->daemon = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC | MHD_ALLOW_SUSPEND_RESUME |
            (tls ? MHD_USE_TLS : 0),
        0, nullptr, nullptr, &answer, impl_.get(), MHD_OPTION_LISTEN_SOCKET, fd,
        MHD_OPTION_CONNECTION_LIMIT, kHardMaxConnections, MHD_OPTION_CONNECTION_TIMEOUT,
        kIdleTimeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
        MHD_OPTION_UNESCAPE_CALLBACK, &unescapePath, nullptr, MHD_OPTION_NOTIFY_COMPLETED,
        &completed, impl_.get(), MHD_OPTION_NOTIFY_CONNECTION, &noteConnection, impl_.get(),
        // Headers as the standard writes them: no space before the colon, no folded lines.
        MHD_OPTION_STRICT_FOR_CLIENT, 1, MHD_OPTION_ARRAY, tls ? tlsOptions : noOptions,
        MHD_OPTION_END);
    if (impl_->daemon == nullptr) {
        error = tls ? "the HTTPS server did not start: are the certificate and key PEM, and do "
                      "they belong together?"
                    : "the HTTP server did not start";
        stop();
        ::close(fd);
        return false;
    }
    return true;
}

void Server::publish(const std::string& event, const std::string& data) {
    const std::string text = event.empty() ? data : "event: " + event + "\ndata: " + data + "\n\n";
    std::vector<MHD_Connection*> woken;
    {
        std::lock_guard lock(impl_->streamMutex);
        for (StreamClient* c : impl_->clients) {
            std::lock_guard own(c->mutex);
            if (c->closing)
                continue;
            // A reader this far behind is dropped; its browser comes back and starts afresh.
            if (c->backlog.size() + text.size() > kMaxStreamBacklog)
                c->closing = true;
            else
                c->backlog += text;
            if (c->waiting) {
                c->waiting = false;
                woken.push_back(c->connection);
            }
        }
    }
    // A waiting connection stays open until it is woken, so these are still there.
    impl_->wake(woken);
}

void Server::tick() {
    const auto now = Clock::now();
    {
        std::lock_guard lock(impl_->trackMutex);
        for (const auto& [connection, t] : impl_->tracked)
            if (!t.requestIn && !t.streaming && t.fd >= 0 && now - t.since > kRequestDeadline)
                ::shutdown(t.fd, SHUT_RDWR);  // the server's thread sees it end and closes it
    }
    if (now - impl_->lastKeepAlive >= kStreamKeepAlive) {
        impl_->lastKeepAlive = now;
        // A comment: nothing to a browser, but a client gone is found when it is written.
        publish({}, ": alive\n\n");
    }
}

void Server::stop() {
    {
        std::lock_guard lock(impl_->queueMutex);
        impl_->stopping = true;
    }
    impl_->queueWake.notify_all();
    if (impl_->worker.joinable())
        impl_->worker.join();
    if (impl_->daemon == nullptr)
        return;
    // Every connection waiting aside is woken first: the server may not stop with one.
    std::vector<MHD_Connection*> woken;
    for (Pending* p : impl_->queue) {
        p->reply = Reply{503, "text/plain; charset=utf-8", "brixctl is stopping\n", false, {}};
        p->phase = Pending::Phase::Answered;
        woken.push_back(p->connection);
    }
    impl_->queue.clear();
    {
        std::lock_guard lock(impl_->streamMutex);
        for (StreamClient* c : impl_->clients) {
            std::lock_guard own(c->mutex);
            c->closing = true;
            if (c->waiting) {
                c->waiting = false;
                woken.push_back(c->connection);
            }
        }
    }
    impl_->wake(woken);
    MHD_stop_daemon(impl_->daemon);
    impl_->daemon = nullptr;
}

std::size_t Server::streamClients() const {
    std::lock_guard lock(impl_->streamMutex);
    return impl_->clients.size();
}

}  // namespace brixctl::http

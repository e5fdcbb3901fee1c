#include "brixctl/notify.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "brixctl/curl_api.h"
#include "domain/clock.h"
#include "domain/text.h"
#include "history/history_range.h"
#include "history/history_table.h"

extern char** environ;

namespace brixctl {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kTryTime = 10s;          // a command or a post, each try
constexpr std::size_t kMaxQueued = 64;  // a target's messages waiting; beyond, the oldest go
constexpr auto kStopWait = 5s;          // what stopping waits for the last messages
const std::chrono::seconds kPauses[] = {5s, 30s, 120s};  // between the tries of one message

const std::set<std::string> kChoices = {"down", "up", "channel", "message", "error", "service"};

// The choice of --notify-on that a kind of notice belongs to.
std::string choiceOf(const std::string& kind) {
    if (kind == "link-down")
        return "down";
    if (kind == "link-up")
        return "up";
    if (kind == "channel-change")
        return "channel";
    if (kind == "modem-message")
        return "message";
    if (kind == "recorder-error")
        return "error";
    return "service";
}

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> out;
    std::stringstream in(list);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty())
            out.push_back(item);
    return out;
}

std::string hostName() {
    char name[256] = "";
    ::gethostname(name, sizeof name - 1);
    return brix::visibleText(name);
}

std::string frequencyText(std::uint16_t tenths) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MHz", tenths / 10.0);
    return text;
}

// "14:03:07 UTC+01:00": the local time a person reads, with its offset.
std::string clockTime(std::int64_t unixMs) {
    const std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    const long offset = tm.tm_gmtoff / 60;
    char text[48];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d UTC%c%02ld:%02ld", tm.tm_hour, tm.tm_min,
                  tm.tm_sec, offset < 0 ? '-' : '+', std::labs(offset) / 60,
                  std::labs(offset) % 60);
    return text;
}

// What a journal line may show of a URL: no password, no token in its query.
std::string shownUrl(const std::string& url) {
    std::string shown = url.substr(0, url.find('?'));
    const std::size_t scheme = shown.find("://");
    const std::size_t at = shown.find('@');
    if (scheme != std::string::npos && at != std::string::npos && at > scheme)
        shown = shown.substr(0, scheme + 3) + shown.substr(at + 1);
    return shown;
}

}  // namespace

// True when `url`'s port, where it names one, is a port (1 to 65535).
bool portUsable(const std::string& url) {
    const std::size_t start = url.find("://") + 3;
    std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
    authority = authority.substr(authority.rfind('@') + 1);  // npos + 1: all of it
    if (authority.empty())
        return false;
    const std::size_t close = authority.front() == '[' ? authority.find(']') : 0;
    if (close == std::string::npos)
        return false;
    const std::size_t colon = authority.find(':', close);
    if (colon == std::string::npos)
        return true;
    const std::string port = authority.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int number = std::stoi(port);
    return number >= 1 && number <= 65535;
}

std::string checkNotifyOptions(const NotifyOptions& o) {
    const auto shown = [](const std::string& text) { return brix::visibleText(text); };
    const std::vector<std::string> choices = split(o.on);
    if (choices.empty())
        return "--notify-on names none of down, up, channel, message, error, service";
    for (const std::string& choice : choices)
        if (kChoices.count(choice) == 0)
            return "--notify-on " + shown(o.on) + ": '" + shown(choice) +
                   "' is none of down, up, channel, message, error, service";
    if (o.commandGiven && o.command.find_first_not_of(" \t") == std::string::npos)
        return "--notify-command is empty: give the command to run";
    if (!o.match.empty() && std::find(choices.begin(), choices.end(), "message") == choices.end())
        return "--notify-match picks among the modem's messages: add message to --notify-on";
    if (!(o.after >= 0 && o.after <= 86400))
        return "--notify-after is seconds from 0 to 86400";
    if (!(o.every >= 0 && o.every <= 86400))
        return "--notify-every is seconds from 0 to 86400";
    for (const std::string& url : o.urls) {
        const std::string plain = url.rfind("ntfy+", 0) == 0 ? url.substr(5) : url;
        if (plain.rfind("http://", 0) != 0 && plain.rfind("https://", 0) != 0)
            return "--notify-url " + shown(shownUrl(url)) +
                   ": an http:// or https:// address (ntfy+https://... for ntfy's form)";
        // A space or a line break would not reach the server as given (or would end a header).
        for (const char c : url)
            if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
                return "--notify-url " + shown(shownUrl(url)) +
                       ": holds a space or a control character (write them as %20, %0A)";
        if (!portUsable(plain))
            return "--notify-url " + shown(shownUrl(url)) +
                   ": no host, or a port that is none from 1 to 65535";
    }
    if (!o.match.empty()) {
        try {
            std::regex check(o.match, std::regex::ECMAScript);
        } catch (const std::regex_error& e) {
            return "--notify-match " + shown(o.match) + ": not a regular expression (" + e.what() +
                   ")";
        }
    }
    return {};
}

namespace {

bool isBad(const Notice& n) {
    return n.kind == "link-down" || n.kind == "recorder-error";
}

std::string titleOf(const Notice& n, const std::string& host) {
    return "Modem " +
           (n.kind == "link-down"        ? std::string("link down")
            : n.kind == "link-up"        ? std::string("link back")
            : n.kind == "channel-change" ? std::string("channel changed")
            : n.kind == "modem-message"  ? std::string("message")
            : n.kind == "recorder-error" ? std::string("history not recorded")
            : n.kind == "service-start"  ? std::string("service started")
                                         : std::string("service stopping")) +
           " at " + host;
}

}  // namespace

std::string noticeJson(const Notice& n, const std::string& interfaceName, const std::string& host) {
    const bool bad = isBad(n);
    const std::string title = titleOf(n, host);
    nlohmann::ordered_json j{{"kind", n.kind},
                             {"time", brix::history::isoTime(n.unixMs)},
                             {"text", n.text},
                             {"interface", interfaceName},
                             {"host", host}};
    if (n.duration >= 0)
        j["duration_seconds"] = std::llround(n.duration);
    j["count"] = n.count;
    // The fields Gotify (title, message, priority) and an Apprise API server (title, body,
    // type) take from the same document.
    j["title"] = title;
    j["message"] = n.text;
    j["body"] = n.text;
    j["priority"] = bad ? 8 : 4;
    j["type"] = bad ? "failure" : n.kind == "link-up" ? "success" : "info";
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// One command or URL, with its own queue and thread.
struct Notifier::Target {
    std::string command;  // or
    std::string url;
    bool ntfy = false;  // ntfy's own form: the text as the body, the rest in headers
    std::string shown;  // for the journal
    std::string interface, host;

    // A message waiting for its try: a new one at once, one that failed after its pause.
    // Retries wait beside the new messages rather than before them, so that a receiver that
    // failed once still gets the next news on time.
    struct Waiting {
        Notice notice;
        std::size_t failed = 0;  // tries that failed so far
        Clock::time_point due;
    };
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Waiting> queue;  // in the order they came or failed
    bool stopping = false;
    bool busy = false;
    std::atomic<bool> abort{false};  // a try in flight ends now
    std::thread thread;

    void run();
    bool deliver(const Notice& n, std::string& why);
    bool runCommand(const Notice& n, std::string& why);
    bool post(const Notice& n, std::string& why);

    void push(const Notice& n) {
        {
            std::lock_guard lock(mutex);
            if (queue.size() >= kMaxQueued) {
                std::fprintf(stderr, "brixctl: notify %s: a message dropped, %zu wait already\n",
                             shown.c_str(), queue.size());
                queue.pop_front();  // the oldest waiting (the one in a try is not here)
            }
            queue.push_back({n, 0, Clock::now()});
        }
        wake.notify_all();
    }
    // Until the queue is empty and nothing is being delivered, or `until`.
    void drain(Clock::time_point until) {
        std::unique_lock lock(mutex);
        wake.wait_until(lock, until, [this] { return queue.empty() && !busy; });
    }
};

void Notifier::Target::run() {
    std::unique_lock lock(mutex);
    while (true) {
        // The first message due (the earliest due; of equals, the first that came).
        auto next = queue.end();
        for (auto it = queue.begin(); it != queue.end(); ++it)
            if (next == queue.end() || it->due < next->due)
                next = it;
        if (stopping) {
            // What could not be sent in the time stopping gives is told, not waited for.
            if (!queue.empty())
                std::fprintf(stderr, "brixctl: notify %s: %zu messages not sent\n", shown.c_str(),
                             queue.size());
            return;
        }
        if (next == queue.end()) {
            wake.wait(lock);
            continue;
        }
        if (next->due > Clock::now()) {
            wake.wait_until(lock, next->due);
            continue;
        }
        Waiting w = std::move(*next);
        queue.erase(next);
        busy = true;
        lock.unlock();
        std::string why;
        const bool done = deliver(w.notice, why);
        lock.lock();
        busy = false;
        if (!done) {
            const Notice& n = w.notice;
            if (w.failed == std::size(kPauses) || stopping) {
                std::fprintf(stderr, "brixctl: notify %s: %s failed: %s; given up\n", shown.c_str(),
                             n.kind.c_str(), why.c_str());
            } else {
                std::fprintf(stderr, "brixctl: notify %s: %s failed: %s; trying again in %lld s\n",
                             shown.c_str(), n.kind.c_str(), why.c_str(),
                             static_cast<long long>(kPauses[w.failed].count()));
                w.due = Clock::now() + kPauses[w.failed];
                ++w.failed;
                if (queue.size() < kMaxQueued)
                    queue.push_back(std::move(w));
            }
        }
        wake.notify_all();
    }
}

bool Notifier::Target::deliver(const Notice& n, std::string& why) {
    return command.empty() ? post(n, why) : runCommand(n, why);
}

bool Notifier::Target::runCommand(const Notice& n, std::string& why) {
    // The JSON line on standard input, through a socket so that a command that never reads it
    // costs no signal.
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        why = std::strerror(errno);
        return false;
    }
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "BRIX_", 5) != 0)
            env.emplace_back(*e);
    char duration[32] = "";
    if (n.duration >= 0)
        std::snprintf(duration, sizeof duration, "%.0f", n.duration);
    env.push_back("BRIX_KIND=" + n.kind);
    env.push_back("BRIX_TIME=" + brix::history::isoTime(n.unixMs));
    env.push_back("BRIX_TEXT=" + n.text);
    env.push_back("BRIX_INTERFACE=" + interface);
    env.push_back("BRIX_HOST=" + host);
    env.push_back(std::string("BRIX_DURATION=") + duration);
    env.push_back("BRIX_COUNT=" + std::to_string(n.count));
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own process group, so that a command that hangs is ended with what it started; the
    // signals as a new program expects them.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::string shell = "/bin/sh", dashC = "-c", line = command;
    char* argv[] = {shell.data(), dashC.data(), line.data(), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(pair[1]);
    if (rc != 0) {
        ::close(pair[0]);
        why = std::string("cannot start /bin/sh: ") + std::strerror(rc);
        return false;
    }
    const std::string json = noticeJson(n, interface, host) + "\n";
    ::fcntl(pair[0], F_SETFL, O_NONBLOCK);
    ::send(pair[0], json.data(), json.size(), MSG_NOSIGNAL);
    ::close(pair[0]);

    const auto deadline = Clock::now() + kTryTime;
    int status = 0;
    while (true) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR) {
            why = std::strerror(errno);
            return false;
        }
        if (Clock::now() >= deadline || abort) {
            ::kill(-pid, SIGTERM);
            std::this_thread::sleep_for(500ms);
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            why = abort ? "still running when the service stopped, ended"
                        : "still running after 10 s, ended";
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    why = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                            : std::string("ended by signal ") + std::to_string(WTERMSIG(status));
    return false;
}

namespace {

std::size_t ignoreBody(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

int abortWhenAsked(void* abort, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<std::atomic<bool>*>(abort)->load() ? 1 : 0;
}

}  // namespace

bool Notifier::Target::post(const Notice& n, std::string& why) {
    const CurlApi* api = curlApi();
    if (api == nullptr) {
        why = kNoCurl;
        return false;
    }
    CURL* curl = api->init();
    if (curl == nullptr) {
        why = "cannot start a transfer";
        return false;
    }
    const std::string body = ntfy ? n.text : noticeJson(n, interface, host);
    curl_slist* headers = nullptr;
    if (ntfy) {
        // ntfy reads its title, priority (1 to 5) and tags from headers.
        headers = api->slistAppend(headers, "Content-Type: text/plain; charset=utf-8");
        headers = api->slistAppend(headers, ("Title: " + titleOf(n, host)).c_str());
        headers = api->slistAppend(headers, isBad(n) ? "Priority: 4" : "Priority: 3");
        headers = api->slistAppend(headers, ("Tags: " + n.kind).c_str());
    } else {
        headers = api->slistAppend(headers, "Content-Type: application/json");
    }
    char error[CURL_ERROR_SIZE] = "";
    api->setopt(curl, CURLOPT_URL, url.c_str());
    api->setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    api->setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    api->setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    api->setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    api->setopt(curl, CURLOPT_HTTPHEADER, headers);
    api->setopt(curl, CURLOPT_CONNECTTIMEOUT, 5L);
    api->setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(kTryTime.count()));
    api->setopt(curl, CURLOPT_NOSIGNAL, 1L);
    api->setopt(curl, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_OPTIONAL));
    api->setopt(curl, CURLOPT_USERAGENT, "brixctl");
    api->setopt(curl, CURLOPT_WRITEFUNCTION, ignoreBody);
    api->setopt(curl, CURLOPT_ERRORBUFFER, error);
    api->setopt(curl, CURLOPT_NOPROGRESS, 0L);
    api->setopt(curl, CURLOPT_XFERINFOFUNCTION, abortWhenAsked);
    api->setopt(curl, CURLOPT_XFERINFODATA, &abort);
    const CURLcode rc = api->perform(curl);
    long status = 0;
    api->getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    api->cleanup(curl);
    api->slistFree(headers);
    if (rc != CURLE_OK) {
        why = rc == CURLE_ABORTED_BY_CALLBACK ? "not answered when the service stopped"
              : error[0] != '\0'              ? error
                                              : api->strerror(rc);
        return false;
    }
    if (status < 200 || status > 299) {
        why = "HTTP " + std::to_string(status);
        return false;
    }
    return true;
}

Notifier::Notifier(const NotifyOptions& o, std::string interfaceName)
    : options_(o), interface_(std::move(interfaceName)), host_(hostName()) {
    for (const std::string& choice : split(o.on))
        chosen_.insert(choice);
    if (!o.match.empty())
        match_.emplace(o.match, std::regex::ECMAScript);
    const auto add = [this](std::unique_ptr<Target> t) {
        t->interface = interface_;
        t->host = host_;
        Target* raw = t.get();
        t->thread = std::thread([raw] { raw->run(); });
        targets_.push_back(std::move(t));
    };
    if (!o.command.empty()) {
        auto t = std::make_unique<Target>();
        t->command = o.command;
        t->shown = "command";
        add(std::move(t));
    }
    for (const std::string& url : o.urls) {
        auto t = std::make_unique<Target>();
        t->ntfy = url.rfind("ntfy+", 0) == 0;
        t->url = t->ntfy ? url.substr(5) : url;
        t->shown = shownUrl(t->url);
        add(std::move(t));
    }
    if (wants("service-start"))
        send({"service-start", brix::unixMsNow(),
              options_.program + " started" + (interface_.empty() ? "" : " on " + interface_)});
    thread_ = std::thread([this] { run(); });
}

Notifier::~Notifier() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    if (wants("service-stop"))
        send({"service-stop", brix::unixMsNow(), options_.program + " stopping"});
    const auto until = Clock::now() + kStopWait;
    for (auto& t : targets_)
        t->drain(until);
    // What is still trying now is ended, on every target at once.
    for (auto& t : targets_) {
        {
            std::lock_guard lock(t->mutex);
            t->stopping = true;
            t->abort = true;
        }
        t->wake.notify_all();
    }
    for (auto& t : targets_)
        t->thread.join();
}

bool Notifier::wants(const std::string& kind) const {
    return chosen_.count(choiceOf(kind)) != 0;
}

void Notifier::send(const Notice& n) {
    for (auto& t : targets_)
        t->push(n);
}

void Notifier::offer(Notice n) {
    if (!wants(n.kind))
        return;
    const auto now = Clock::now();
    const auto every =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.every));
    auto last = lastSent_.find(n.kind);
    if (last == lastSent_.end() || now - last->second >= every) {
        lastSent_[n.kind] = now;
        send(n);
        return;
    }
    // Within the kind's quiet time: kept, counted, and sent as one when it ends.
    auto held = held_.find(n.kind);
    if (held == held_.end()) {
        held_[n.kind] = Held{n, last->second + every};
    } else {
        const int count = held->second.notice.count + n.count;
        held->second.notice = n;
        held->second.notice.count = count;
    }
    wake_.notify_all();
}

void Notifier::take(const brix::LinkEvent& e) {
    std::lock_guard lock(mutex_);
    if (const auto* silent = std::get_if<brix::LinkSilent>(&e.body)) {
        if (!downSince_) {
            downSince_ = silent->lastHeardMs;
            downTold_ = false;
            wake_.notify_all();
        }
    } else if (std::holds_alternative<brix::LinkHeard>(e.body)) {
        if (downSince_ && downTold_) {
            const std::int64_t seconds = (e.unixMs - *downSince_ + 500) / 1000;
            offer({"link-up", e.unixMs,
                   "The modem answers again after " + brix::history::durationText(seconds * 1000) +
                       " down",
                   static_cast<double>(seconds)});
        }
        downSince_.reset();
    } else if (const auto* changed = std::get_if<brix::ChannelChanged>(&e.body)) {
        offer({"channel-change", e.unixMs,
               "The modem receives on " + frequencyText(changed->toFrequency) + " (rate code " +
                   std::to_string(changed->toRateCode) + "), not " +
                   frequencyText(changed->fromFrequency) + " (rate code " +
                   std::to_string(changed->fromRateCode) + ")"});
    } else if (const auto* message = std::get_if<brix::DebugMessage>(&e.body)) {
        if (!wants("modem-message"))
            return;
        const std::string text = brix::visibleText(brix::latin1ToUtf8(message->text));
        if (!match_ || std::regex_search(text, *match_))
            offer({"modem-message", e.unixMs, "The modem says: " + text});
    }
}

void Notifier::recorderError(const std::string& text) {
    std::lock_guard lock(mutex_);
    offer({"recorder-error", brix::unixMsNow(), brix::visibleText(text)});
}

void Notifier::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const auto now = Clock::now();
        auto next = now + 1h;
        // The link down long enough to be worth a message.
        if (downSince_ && !downTold_) {
            const std::int64_t dueMs =
                *downSince_ + static_cast<std::int64_t>(options_.after * 1000);
            const std::int64_t nowMs = brix::unixMsNow();
            if (nowMs >= dueMs) {
                downTold_ = true;
                const std::int64_t seconds = (nowMs - *downSince_ + 500) / 1000;
                offer({"link-down", *downSince_,
                       "The modem has not answered since " + clockTime(*downSince_) + " (" +
                           brix::history::durationText(seconds * 1000) + ")",
                       static_cast<double>(seconds)});
            } else {
                next = std::min(next, now + std::chrono::milliseconds(dueMs - nowMs));
            }
        }
        for (auto it = held_.begin(); it != held_.end();) {
            if (it->second.due <= now) {
                Notice n = it->second.notice;
                if (n.count > 1)
                    n.text += " (" + std::to_string(n.count) + " times since the last message)";
                lastSent_[n.kind] = now;
                send(n);
                it = held_.erase(it);
            } else {
                next = std::min(next, it->second.due);
                ++it;
            }
        }
        wake_.wait_until(lock, next);
    }
}

}  // namespace brixctl

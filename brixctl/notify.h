#pragma once
// Messages for the people who look after the modem: brixctl serve and record run a command
// and post to URLs when the link drops and comes back, the channel changes, the modem says
// what a pattern matches, the recorder fails, and the service starts and stops.
//
// A message must be worth reading: a drop shorter than `after` is none, and each kind is sent
// at most once in `every` seconds, what came meanwhile told as one message with a count.
// Delivery never holds up the link or another target: each command or URL has a thread of its
// own, a bounded time per try, a few tries with growing pauses, one journal line per failure.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "link/link_events.h"

namespace brixctl {

struct NotifyOptions {
    std::string command;                       // --notify-command: run with /bin/sh -c
    bool commandGiven = false;                 // --notify-command was given (empty or not)
    std::vector<std::string> urls;             // --notify-url, several allowed
    std::string on = "down,up,error,service";  // --notify-on
    double after = 30;                         // --notify-after: seconds down before a message
    double every = 60;                         // --notify-every: seconds between two of a kind
    std::string match;                         // --notify-match: the modem's messages to tell
    std::string program = "brixctl serve";     // what starts and stops, for the texts
    bool wanted() const { return !command.empty() || !urls.empty(); }
};

// Empty when the options can be used, else what is wrong with them.
std::string checkNotifyOptions(const NotifyOptions& o);

// One message, as the command and the URLs get it.
struct Notice {
    std::string kind;  // link-down, link-up, channel-change, modem-message, recorder-error,
                       // service-start, service-stop
    std::int64_t unixMs = 0;
    std::string text;      // UTF-8, one line
    double duration = -1;  // seconds the link was down (so far, or in all); -1: none
    int count = 1;         // how many of its kind this one stands for
};

// The JSON line of a notice: what the command reads and a URL is posted.
std::string noticeJson(const Notice& n, const std::string& interfaceName, const std::string& host);

class Notifier {
public:
    // Starts the delivery threads and sends service-start (when chosen).
    Notifier(const NotifyOptions& o, std::string interfaceName);
    // Sends service-stop (when chosen) and waits for what is queued, a few seconds at most.
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // The link's events, as the session hands them on (its thread).
    void take(const brix::LinkEvent& e);
    // A failure of the history's recorder (any thread).
    void recorderError(const std::string& text);

private:
    struct Target;
    struct Held {
        Notice notice;
        std::chrono::steady_clock::time_point due;
    };
    void run();
    void offer(Notice n);  // through the per-kind limit; mutex_ held
    void send(const Notice& n);
    bool wants(const std::string& kind) const;

    NotifyOptions options_;
    std::string interface_;
    std::string host_;
    std::set<std::string> chosen_;  // of --notify-on
    std::optional<std::regex> match_;
    std::vector<std::unique_ptr<Target>> targets_;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    // The link down since (the last frame), until the message is due or it is back.
    std::optional<std::int64_t> downSince_;
    bool downTold_ = false;
    std::map<std::string, std::chrono::steady_clock::time_point> lastSent_;
    std::map<std::string, Held> held_;
    std::thread thread_;
};

}  // namespace brixctl

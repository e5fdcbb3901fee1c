#pragma once
// What the link learns, decoded once and handed to every part of the program that wants it: the
// history's recorder, brixctl's metrics and commands, the window. Each subscriber has its own
// bounded queue; publishing takes a short lock per subscriber and never waits for a reader, so
// the link thread is never held up by one. A subscriber that falls behind loses its oldest
// events and finds an EventsLost in their place that says how many.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "link/link_commands.h"
#include "link/link_share.h"

namespace brix {

// An RF report as the modem sent it. `changed`: it differs from the report before (the Console
// shows only those).
struct RfReport {
    std::uint16_t rxFrequency = 0;  // tenths of a MHz
    std::uint16_t rxRateCode = 0;
    std::uint16_t txFrequency = 0;
    std::uint16_t txRateCode = 0;
    std::uint16_t attenuation = 0;  // the level is twice it, in -dBmV
    bool changed = false;
};

// A statistics report; one over less than 10 hundredths of a second is not taken into the
// link's rates, but is still told (it shows that the modem answered a query).
struct StatisticsReport {
    StatisticsCounters counts;  // counts.period in hundredths of a second
    bool taken() const { return counts.period >= 10; }
};

// A version text as the link shows it, Latin-1 as the modem sent it.
struct VersionText {
    bool boot = false;  // the boot code's (it names "Boot"), else the microcode's
    std::string text;
};

// A debug message of the modem, as its Console line reads (Latin-1).
struct DebugMessage {
    std::uint16_t subtype = 0;
    std::string text;
};

// An Error line of the link's for the Console.
struct ConsoleError {
    std::string text;
};

// The link's own news for the Console: taken over, attached again, a program dropped.
struct LinkNotice {
    std::string text;
};

// A Tune or a Set that a program of this PC asked of the modem, noted by the link's owner (a
// request resent by the retry rule is one request).
struct RequestSent {
    RequestKind kind = RequestKind::Tune;
    std::string text;     // "Tune to 603.5 MHz"
    std::string program;  // "brixctl"
};

// Silence and its end, as the owner hears the modem (an attached program as its owner tells).
inline constexpr std::int64_t kLinkSilentAfterMs = 10000;
struct LinkSilent {
    std::int64_t lastHeardMs = 0;  // Unix ms of the last frame before the silence
};
struct LinkHeard {
    std::int64_t silentSinceMs = 0;  // the last frame before the silence
};
// A silence longer than two RF periods that ended before the link was taken for lost.
struct LinkGap {
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
};

// The receive channel is another than in the report before.
struct ChannelChanged {
    std::uint16_t fromFrequency = 0;
    std::uint16_t fromRateCode = 0;
    std::uint16_t toFrequency = 0;
    std::uint16_t toRateCode = 0;
};

struct RoleChanged {
    LinkRole role = LinkRole::Closed;
    std::string owner;  // the owner attached to, "brixtool (pid 42)"
};

// Put where a subscriber's oldest events were lost because it fell behind.
struct EventsLost {
    std::uint64_t count = 0;
};

using LinkEventBody = std::variant<RfReport, StatisticsReport, VersionText, DebugMessage,
                                   ConsoleError, LinkNotice, RequestSent, LinkSilent, LinkHeard,
                                   LinkGap, ChannelChanged, RoleChanged, EventsLost>;

struct LinkEvent {
    std::int64_t unixMs = 0;
    std::uint64_t sequence = 0;  // in the order published, across every kind
    LinkEventBody body;
};

// Hands `body` to every subscription, stamped with `unixMs` (0: now) and the next sequence
// number. Any thread; never waits for a subscriber.
void publishLinkEvent(LinkEventBody body, std::int64_t unixMs = 0);
// True while at least one subscription exists: a publisher may skip building an event then.
bool linkEventsWanted();

class LinkSubscription {
public:
    using Deadline = std::chrono::steady_clock::time_point;
    static constexpr std::size_t kDefaultCapacity = 8192;

    // Receives every event published from now on, until destroyed.
    explicit LinkSubscription(std::size_t capacity = kDefaultCapacity);
    ~LinkSubscription();
    LinkSubscription(const LinkSubscription&) = delete;
    LinkSubscription& operator=(const LinkSubscription&) = delete;

    // Moves the waiting events into `out` (replacing what it held), without waiting.
    std::size_t take(std::vector<LinkEvent>& out);
    // The same, after waiting until an event waits, `deadline` passes, wake() is called or
    // `alsoFd` (when not -1) becomes readable or reports an error. 0 when none came.
    std::size_t wait(std::vector<LinkEvent>& out, Deadline deadline, int alsoFd = -1);
    // Ends the current or the next wait at once.
    void wake();
    // Readable while events wait (or after wake()), for a caller's own poll.
    int fd() const { return fd_; }

    // Called by publishLinkEvent.
    void push(const LinkEvent& event);

private:
    const std::size_t capacity_;
    const int fd_;  // eventfd: readable while events wait
    std::mutex mutex_;
    std::deque<LinkEvent> queue_;  // guarded by mutex_
    std::uint64_t lost_ = 0;       // guarded by mutex_: since the last take
    bool signalled_ = false;       // guarded by mutex_: fd_ holds a count
};

}  // namespace brix

#pragma once
// What the link learns, decoded once and handed to every part of the program that wants it: the
// history's recorder, brixctl's metrics and commands, the window. Each subscriber has its own
// bounded queue; publishing takes a short lock per subscriber and never waits for a reader, so
// the link thread is never held up by one. A subscriber that falls behind loses its oldest
// events and finds an EventsLost in their place that says how many.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
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
    std::uint32_t bytes = 0;  // about what it takes in a queue, texts included
};

// Hands `body` to every subscription, stamped with `unixMs` (0: now) and the next sequence
// number. Any thread; never waits for a subscriber.
void publishLinkEvent(LinkEventBody body, std::int64_t unixMs = 0);
// True while at least one subscription exists: a publisher may skip building an event then.
bool linkEventsWanted();

// While one lives on a thread, what that thread publishes is queued without waking the
// subscribers; they are woken once, when it ends (or at flushLinkEvents). The link thread holds
// one over each pass whose datagram came from what one read took, so that a burst of frames
// wakes each subscriber once rather than once a frame.
class LinkEventBurst {
public:
    LinkEventBurst();
    ~LinkEventBurst();
    LinkEventBurst(const LinkEventBurst&) = delete;
    LinkEventBurst& operator=(const LinkEventBurst&) = delete;
    // More of the burst is at hand: the next one wakes the subscribers, not this one.
    void moreToCome(bool more) { more_ = more; }

private:
    bool more_ = false;
};
// Wakes every subscription that holds events it was not woken for.
void flushLinkEvents();

class LinkSubscription {
public:
    using Deadline = std::chrono::steady_clock::time_point;
    static constexpr std::size_t kDefaultCapacity = 8192;
    // Whatever the events hold (a flood of long texts), a queue takes at most this much.
    static constexpr std::size_t kMaxQueueBytes = 2 << 20;

    // Receives every event published from now on, until destroyed. With `gather`, a wait
    // right after one that returned several events first lets that long pass, so that a reader
    // under a flood wakes at most once a `gather` rather than once an event; an event after a
    // quiet spell still wakes it at once.
    explicit LinkSubscription(std::size_t capacity = kDefaultCapacity,
                              std::chrono::milliseconds gather = std::chrono::milliseconds(0));
    ~LinkSubscription();
    LinkSubscription(const LinkSubscription&) = delete;
    LinkSubscription& operator=(const LinkSubscription&) = delete;

    // Moves the waiting events into `out` (replacing what it held), without waiting.
    std::size_t take(std::vector<LinkEvent>& out);
    // The same, after waiting until an event waits, `deadline` passes, wake() is called or one
    // of `also` (-1 for none) becomes readable or reports an error. 0 when none came.
    std::size_t wait(std::vector<LinkEvent>& out, Deadline deadline,
                     std::initializer_list<int> also = {});
    // Ends the current or the next wait at once.
    void wake();

    // Called by publishLinkEvent; `wake`: wake the reader now, else at flushLinkEvents.
    void push(const LinkEvent& event, bool wake);
    void flush();

private:
    const std::size_t capacity_;
    const std::chrono::milliseconds gather_;
    Deadline lastEvents_{};  // the reader's: when a wait last returned events
    const int fd_;           // eventfd: readable while events wait
    std::mutex mutex_;
    // Guarded by mutex_. take() swaps it with the reader's vector, so the lock is held for a
    // swap, and the two buffers keep their room between turns.
    std::vector<LinkEvent> queue_;
    std::size_t queuedBytes_ = 0;  // guarded by mutex_
    std::uint64_t lost_ = 0;       // guarded by mutex_: since the last take
    bool signalled_ = false;       // guarded by mutex_: fd_ holds a count
    // Guarded by mutex_: the reader sleeps on fd_. Only then is it woken: a reader busy with
    // the last events finds the next ones when it looks again, without a system call for them.
    bool waiting_ = false;
};

}  // namespace brix

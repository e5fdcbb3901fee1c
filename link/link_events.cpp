#include "link/link_events.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iterator>

#include "domain/clock.h"

namespace brix {

namespace {

// The subscriptions; publishers hold the lock only while they hand an event to each.
std::mutex registryMutex;
std::vector<LinkSubscription*> subscriptions;  // guarded by registryMutex
std::atomic<std::size_t> subscriptionCount{0};
std::uint64_t nextSequence = 0;  // guarded by registryMutex
thread_local bool inBurst = false;

void drain(int fd) {
    std::uint64_t count = 0;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

void signal(int fd) {
    const std::uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

}  // namespace

// About what an event takes in a queue: itself and its texts.
std::uint32_t sizeOf(const LinkEventBody& body) {
    std::size_t n = sizeof(LinkEvent);
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, VersionText> || std::is_same_v<T, DebugMessage> ||
                          std::is_same_v<T, ConsoleError> || std::is_same_v<T, LinkNotice>)
                n += v.text.capacity();
            else if constexpr (std::is_same_v<T, RequestSent>)
                n += v.text.capacity() + v.program.capacity();
            else if constexpr (std::is_same_v<T, RoleChanged>)
                n += v.owner.capacity();
        },
        body);
    return static_cast<std::uint32_t>(n);
}

void publishLinkEvent(LinkEventBody body, std::int64_t unixMs) {
    if (subscriptionCount.load(std::memory_order_acquire) == 0)
        return;
    const std::uint32_t bytes = sizeOf(body);
    LinkEvent event{unixMs != 0 ? unixMs : unixMsNow(), 0, std::move(body), bytes};
    std::lock_guard lock(registryMutex);
    event.sequence = ++nextSequence;
    for (LinkSubscription* s : subscriptions)
        s->push(event, !inBurst);
}

void flushLinkEvents() {
    if (subscriptionCount.load(std::memory_order_acquire) == 0)
        return;
    std::lock_guard lock(registryMutex);
    for (LinkSubscription* s : subscriptions)
        s->flush();
}

LinkEventBurst::LinkEventBurst() {
    inBurst = true;
}

LinkEventBurst::~LinkEventBurst() {
    inBurst = false;
    if (!more_)
        flushLinkEvents();
}

bool linkEventsWanted() {
    return subscriptionCount.load(std::memory_order_acquire) != 0;
}

LinkSubscription::LinkSubscription(std::size_t capacity, std::chrono::milliseconds gather)
    : capacity_(std::max<std::size_t>(capacity, 1)),
      gather_(gather),
      fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    std::lock_guard lock(registryMutex);
    subscriptions.push_back(this);
    subscriptionCount.store(subscriptions.size(), std::memory_order_release);
}

LinkSubscription::~LinkSubscription() {
    {
        std::lock_guard lock(registryMutex);
        std::erase(subscriptions, this);
        subscriptionCount.store(subscriptions.size(), std::memory_order_release);
    }
    if (fd_ >= 0)
        ::close(fd_);
}

void LinkSubscription::push(const LinkEvent& event, bool wake) {
    std::lock_guard lock(mutex_);
    if (!queue_.empty() &&
        (queue_.size() >= capacity_ || queuedBytes_ + event.bytes > kMaxQueueBytes)) {
        // The oldest half goes at once, so that a reader that has stopped costs each event a
        // move of a few, not of the whole queue.
        const std::size_t drop = std::max<std::size_t>(1, queue_.size() / 2);
        for (std::size_t i = 0; i < drop; ++i)
            queuedBytes_ -= queue_[i].bytes;
        std::move(queue_.begin() + static_cast<std::ptrdiff_t>(drop), queue_.end(), queue_.begin());
        queue_.resize(queue_.size() - drop);
        lost_ += drop;
    }
    queue_.push_back(event);
    queuedBytes_ += event.bytes;
    if (wake && waiting_ && !signalled_ && fd_ >= 0) {
        signal(fd_);
        signalled_ = true;
    }
}

void LinkSubscription::flush() {
    std::lock_guard lock(mutex_);
    if (waiting_ && !signalled_ && (!queue_.empty() || lost_ > 0) && fd_ >= 0) {
        signal(fd_);
        signalled_ = true;
    }
}

std::size_t LinkSubscription::take(std::vector<LinkEvent>& out) {
    out.clear();
    std::uint64_t lost = 0;
    {
        std::lock_guard lock(mutex_);
        std::swap(queue_, out);
        queuedBytes_ = 0;
        lost = lost_;
        lost_ = 0;
        if (signalled_ && fd_ >= 0) {
            drain(fd_);
            signalled_ = false;
        }
    }
    if (lost > 0) {
        // Where the lost ones were: before the oldest kept.
        const std::int64_t t = out.empty() ? unixMsNow() : out.front().unixMs;
        const std::uint64_t seq = out.empty() ? 0 : out.front().sequence;
        std::vector<LinkEvent> told;
        told.reserve(out.size() + 1);
        told.push_back(LinkEvent{t, seq, EventsLost{lost}});
        std::move(out.begin(), out.end(), std::back_inserter(told));
        out.swap(told);
    }
    return out.size();
}

namespace {

// Polls the subscription's descriptor and `also` until `deadline`. True when one of `also` was
// ready.
bool pollUntil(int own, std::initializer_list<int> also, LinkSubscription::Deadline deadline,
               int& ready) {
    pollfd p[4] = {{own, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}};
    nfds_t count = 1;
    for (const int fd : also)
        if (count < 4)
            p[count++].fd = fd;
    const auto left = deadline - std::chrono::steady_clock::now();
    ready = 0;
    if (left > LinkSubscription::Deadline::duration::zero()) {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        ready = ::poll(p, count, static_cast<int>(std::min<std::int64_t>(ms, 1 << 30)));
    }
    bool other = false;
    for (nfds_t i = 1; i < count; ++i)
        other = other || (p[i].fd >= 0 && p[i].revents != 0);
    return other;
}

}  // namespace

std::size_t LinkSubscription::wait(std::vector<LinkEvent>& out, Deadline deadline,
                                   std::initializer_list<int> also) {
    const auto gathered = [&] {
        // Only after more than one event at a time is a flood likely; after one alone (a
        // report every few seconds) the next wait sleeps at once, not a gather's time first.
        if (take(out) > 1)
            lastEvents_ = std::chrono::steady_clock::now();
        return out.size();
    };
    if (gather_.count() > 0) {
        // Right after events, more are likely: let them gather, unwoken, before looking.
        const Deadline until = std::min(deadline, lastEvents_ + gather_);
        if (std::chrono::steady_clock::now() < until) {
            int ready = 0;
            if (pollUntil(fd_, also, until, ready))
                return gathered();
        }
    }
    for (;;) {
        bool sleep = false;
        {
            std::lock_guard lock(mutex_);
            sleep = queue_.empty() && lost_ == 0 && !signalled_;
            waiting_ = sleep;
        }
        if (!sleep)
            return gathered();  // events, or a wake()
        int ready = 0;
        const bool other = pollUntil(fd_, also, deadline, ready);
        {
            std::lock_guard lock(mutex_);
            waiting_ = false;
        }
        // Events, wake(), another descriptor, a signal or the deadline: the caller looks again.
        if (ready != 0 || other || std::chrono::steady_clock::now() >= deadline)
            return gathered();
    }
}

void LinkSubscription::wake() {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) {
        signal(fd_);
        signalled_ = true;
    }
}

}  // namespace brix

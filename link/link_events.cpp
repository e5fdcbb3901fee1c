#include "link/link_events.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace brix {

namespace {

// The subscriptions; publishers hold the lock only while they hand an event to each.
std::mutex registryMutex;
std::vector<LinkSubscription*> subscriptions;  // guarded by registryMutex
std::atomic<std::size_t> subscriptionCount{0};
std::uint64_t nextSequence = 0;  // guarded by registryMutex

std::int64_t unixMsNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

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

void publishLinkEvent(LinkEventBody body, std::int64_t unixMs) {
    if (subscriptionCount.load(std::memory_order_acquire) == 0)
        return;
    LinkEvent event{unixMs != 0 ? unixMs : unixMsNow(), 0, std::move(body)};
    std::lock_guard lock(registryMutex);
    event.sequence = ++nextSequence;
    for (LinkSubscription* s : subscriptions)
        s->push(event);
}

bool linkEventsWanted() {
    return subscriptionCount.load(std::memory_order_acquire) != 0;
}

LinkSubscription::LinkSubscription(std::size_t capacity)
    : capacity_(std::max<std::size_t>(capacity, 1)), fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
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

void LinkSubscription::push(const LinkEvent& event) {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= capacity_) {
        queue_.pop_front();
        ++lost_;
    }
    queue_.push_back(event);
    if (!signalled_ && fd_ >= 0) {
        signal(fd_);
        signalled_ = true;
    }
}

std::size_t LinkSubscription::take(std::vector<LinkEvent>& out) {
    out.clear();
    std::lock_guard lock(mutex_);
    if (lost_ > 0) {
        // Where the lost ones were: before the oldest kept.
        const std::int64_t t = queue_.empty() ? unixMsNow() : queue_.front().unixMs;
        const std::uint64_t seq = queue_.empty() ? 0 : queue_.front().sequence;
        out.push_back(LinkEvent{t, seq, EventsLost{lost_}});
        lost_ = 0;
    }
    out.reserve(out.size() + queue_.size());
    for (LinkEvent& e : queue_)
        out.push_back(std::move(e));
    queue_.clear();
    if (signalled_ && fd_ >= 0) {
        drain(fd_);
        signalled_ = false;
    }
    return out.size();
}

std::size_t LinkSubscription::wait(std::vector<LinkEvent>& out, Deadline deadline, int alsoFd) {
    for (;;) {
        if (take(out) > 0)
            return out.size();
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= Deadline::duration::zero())
            return 0;
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        pollfd p[2] = {{fd_, POLLIN, 0}, {alsoFd, POLLIN, 0}};
        const int n =
            ::poll(p, alsoFd >= 0 ? 2 : 1, static_cast<int>(std::min<std::int64_t>(ms, 1 << 30)));
        if (n < 0 && errno != EINTR)
            return take(out);
        if (n > 0 && p[1].revents != 0 && alsoFd >= 0)
            return take(out);
        if (n > 0 && (p[0].revents & POLLIN) != 0) {
            // Events, or wake(): either way the caller looks again.
            take(out);
            return out.size();
        }
        if (n < 0)  // a signal: the caller checks what it wants to
            return take(out);
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

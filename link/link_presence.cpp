#include "link/link_presence.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

#include "domain/clock.h"
#include "link/link_events.h"

namespace brix {

namespace {

using Steady = std::chrono::steady_clock;

std::mutex presenceMutex;
bool everHeard = false;        // guarded by presenceMutex
bool silent = false;           // guarded by presenceMutex: the silence was told
Steady::time_point lastHeard;  // guarded by presenceMutex
std::atomic<std::int64_t> lastHeardUnixMs{0};

std::int64_t msBetween(Steady::time_point from, Steady::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

}  // namespace

void noteLinkHeard() {
    const Steady::time_point now = Steady::now();
    const std::int64_t nowUnix = unixMsNow();
    std::lock_guard lock(presenceMutex);
    const std::int64_t before = lastHeardUnixMs.load(std::memory_order_relaxed);
    if (everHeard) {
        const std::int64_t quiet = msBetween(lastHeard, now);
        if (!silent && quiet > kLinkSilentAfterMs) {
            // The link thread was held (a question open) through the whole silence.
            publishLinkEvent(LinkSilent{before});
            silent = true;
        }
        if (silent)
            publishLinkEvent(LinkHeard{before});
        else if (quiet > kLinkGapAfterMs)
            publishLinkEvent(LinkGap{before, nowUnix});
    }
    everHeard = true;
    silent = false;
    lastHeard = now;
    lastHeardUnixMs.store(nowUnix, std::memory_order_relaxed);
}

void checkLinkSilence() {
    if (lastHeardUnixMs.load(std::memory_order_relaxed) == 0)
        return;  // nothing heard yet: no silence to tell
    const Steady::time_point now = Steady::now();
    std::lock_guard lock(presenceMutex);
    if (!everHeard || silent || msBetween(lastHeard, now) <= kLinkSilentAfterMs)
        return;
    silent = true;
    publishLinkEvent(LinkSilent{lastHeardUnixMs.load(std::memory_order_relaxed)});
}

std::int64_t msUntilLinkSilence() {
    std::lock_guard lock(presenceMutex);
    if (!everHeard || silent)
        return -1;
    return std::max<std::int64_t>(0, kLinkSilentAfterMs + 1 - msBetween(lastHeard, Steady::now()));
}

std::int64_t linkLastHeardMs() {
    return lastHeardUnixMs.load(std::memory_order_relaxed);
}

void resetLinkPresence() {
    std::lock_guard lock(presenceMutex);
    everHeard = false;
    silent = false;
    lastHeardUnixMs.store(0, std::memory_order_relaxed);
}

}  // namespace brix

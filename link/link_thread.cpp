// Start and stop of the link, its thread loop and the dispatch of received frames.

#include <pthread.h>

#include <cstdio>
#include <cstring>

#include "link/link_events.h"
#include "link/link_presence.h"
#include "link/link_state.h"

namespace brix {

LinkState& linkState() {
    static LinkState state;
    return state;
}

void setLinkPeer(LinkPeer* peer) {
    linkState().peer.store(peer);
}
LinkPeer* linkPeer() {
    return linkState().peer.load();
}

void setLinkActivity(std::int16_t value) {
    linkState().activity.store(value);
}

void initReportHandlers() {
    LinkState& st = linkState();
    for (ReportHandler& h : st.reportHandlers)
        h = onIgnoredFrame;
    st.reportHandlers[0] = onGetReply;
    st.reportHandlers[1] = onSetAck;
    st.reportHandlers[3] = onStatisticsReport;
    st.reportHandlers[4] = onStatisticsReport;
    st.reportHandlers[7] = onRfReport;
    st.reportHandlers[10] = onLinkTest;
    st.reportHandlers[11] = onLinkTest;
    st.reportHandlers[15] = onVersionText;
    st.reportHandlers[16] = onVersionText;
    st.reportHandlers[17] = onDebugMessage;
}

namespace {

// Makes the receive area hold exactly `count` bytes of the datagram followed by zeros, so a
// short datagram never shows what a longer, earlier one left behind.
void clearReceiveTail(std::size_t count) {
    LinkState& st = linkState();
    if (st.receiveHighWater > count) {
        std::memset(st.receiveArea + count, 0, st.receiveHighWater - count);
    }
    st.receiveHighWater = count;
}

}  // namespace

void dispatchFrame(const std::uint8_t* frame, std::int16_t count) {
    LinkState& st = linkState();
    if (count <= 0)
        return;
    std::size_t n = static_cast<std::size_t>(count);
    if (n > kReceiveCapacity)
        n = kReceiveCapacity;
    if (frame != st.receiveArea) {
        std::memmove(st.receiveArea, frame, n);
        if (st.receiveHighWater < n)
            st.receiveHighWater = n;
    }
    clearReceiveTail(n);
    // Without a whole type word there is nothing to dispatch on.
    if (n < 10)
        return;
    auto type = static_cast<std::int16_t>(readU16(st.receiveArea + 8));
    if (type < 0 || type >= kMessageTypeCount)
        return;
    ReportHandler handler = st.reportHandlers[type];
    if (handler != nullptr)
        handler(st.receiveArea, type);
}

void acceptReceivedFrame(std::int16_t count) {
    LinkState& st = linkState();
    if (count <= 0)
        return;
    std::size_t n = static_cast<std::size_t>(count);
    if (n > kReceiveCapacity)
        n = kReceiveCapacity;
    // The read wrote the first n bytes over whatever an earlier datagram left there.
    if (st.receiveHighWater < n)
        st.receiveHighWater = n;
    clearReceiveTail(n);
    if (n >= 8 && readU16(st.receiveArea + 6) == kLinkMagic) {
        st.framesReceived.fetch_add(1, std::memory_order_relaxed);
        dispatchFrame(st.receiveArea, static_cast<std::int16_t>(n));
        setLinkActivity(1);
    } else {
        st.framesDropped.fetch_add(1, std::memory_order_relaxed);
    }
}

void linkThreadBegin() {
    {
        LinkState& st = linkState();
        std::lock_guard<std::mutex> lock(st.pendingMutex);
        st.pending.getPending = 0;
        st.pending.setPending = 0;
    }
    requestGet(DataItem::ChannelTable, kChannelTableLength);
}

namespace {

// Sends the query when strictly more than `period` has passed since its last send (`now` is the
// pass's time); its clock then takes the time after the send. Types 8 and 9 carry the value 0.
void pollQuery(LinkClock& clock, std::int32_t now, std::int32_t& lastPoll, std::int32_t period,
               MessageType type) {
    if (elapsedMs(now, lastPoll) <= period)
        return;
    if (type == MessageType::Query8 || type == MessageType::Query9) {
        sendFrame(buildValueRequest(type, 0).bytes, 14);
    } else {
        sendFrame(buildRequest(type).bytes, 12);
    }
    lastPoll = clock.nowMs();
}

// Give-up of a pending request after five sends: the page decides (1 Retry, 0 Cancel).
int askGiveUp(std::uint8_t item) {
    LinkPeer* peer = linkPeer();
    if (peer == nullptr)
        return 0;
    if (item == static_cast<std::uint8_t>(DataItem::ChannelTable)) {
        return peer->onChannelTableReply(nullptr, 1);
    }
    return peer->onScannerReply(nullptr);
}

// One retry step for the Get (isSet false) or the Set. True when a give-up ended the pass.
bool retryStep(LinkClock& clock, std::int32_t now, bool isSet) {
    LinkState& st = linkState();
    if (elapsedMs(now, st.retryTime) <= kRetryPeriodMs)
        return false;

    std::uint8_t item = 0;
    std::uint8_t length = 0;
    std::uint32_t serial = 0;
    std::uint8_t data[kMaxSetData];
    {
        std::lock_guard<std::mutex> lock(st.pendingMutex);
        const PendingRequests& p = st.pending;
        if ((isSet ? p.setPending : p.getPending) != 1)
            return false;
        item = isSet ? p.setItem : p.getItem;
        length = isSet ? p.setLength : p.getLength;
        serial = isSet ? p.setSerial : p.getSerial;
        if (isSet)
            std::memcpy(data, p.setData, length);
    }

    if (st.retryCount == kSendsBeforeGiveUp) {
        // The page's question may block for a long time: never ask it under the lock.
        int answer = askGiveUp(item) != 0 ? 1 : 0;
        {
            std::lock_guard<std::mutex> lock(st.pendingMutex);
            PendingRequests& p = st.pending;
            // A request queued while the question was open stays pending whatever the answer.
            if ((isSet ? p.setSerial : p.getSerial) == serial) {
                (isSet ? p.setPending : p.getPending) = answer;
            }
        }
        st.retryCount = 0;
        return true;
    }

    ++st.retryCount;
    if (isSet) {
        sendSetRequest(static_cast<DataItem>(item), length, data);
    } else {
        sendGetRequest(static_cast<DataItem>(item), length);
    }
    st.retryTime = clock.nowMs();
    return false;
}

}  // namespace

bool linkPass(LinkClock& clock) {
    LinkState& st = linkState();

    // The subscribers are woken once a read's datagrams are all handled, not for each.
    LinkEventBurst burst;
    std::int16_t count = 0;
    if (receiveFrame(st.receiveArea, static_cast<std::uint16_t>(kReceiveCapacity), count, clock))
        acceptReceivedFrame(count);
    burst.moreToCome(linkReadAheadWaiting());

    if (st.stopRequested.load() != 0)
        return false;

    checkLinkSilence();
    // The Tunes and Sets noted since the last pass (a tune's two frames have been paired).
    for (Request r; takeLinkRequest(r);)
        publishLinkEvent(RequestSent{r.kind, std::move(r.text), std::move(r.program)}, r.unixMs);

    // One reading of the clock serves every test of the pass: under a stream of datagrams the
    // pass is short and a reading per test would cost more than the receive itself. A send still
    // takes the time after it.
    const std::int32_t now = clock.nowMs();
    pollQuery(clock, now, st.lastVersionPoll, kVersionPeriodMs, MessageType::Version);
    pollQuery(clock, now, st.lastStatisticsPoll, kStatisticsPeriodMs, MessageType::Statistics);
    pollQuery(clock, now, st.lastQuery8, kQuery8PeriodMs, MessageType::Query8);
    pollQuery(clock, now, st.lastQuery9, kQuery9PeriodMs, MessageType::Query9);
    pollQuery(clock, now, st.lastRfPoll, kRfPeriodMs, MessageType::RfQuery);

    if (retryStep(clock, now, false))
        return true;
    retryStep(clock, now, true);
    return true;
}

void linkThreadLoop() {
    LinkClock* clock = linkState().threadClock.load();
    if (clock == nullptr)
        clock = &steadyLinkClock();
    linkThreadBegin();
    while (linkPass(*clock)) {
    }
}

namespace {

void* linkThreadEntry(void*) {
    linkThreadLoop();
    return nullptr;
}

void consoleError(const char* text) {
    if (LinkPeer* peer = linkPeer())
        peer->addConsoleMessage(MessageKind::Error, text, true);
    publishLinkEvent(ConsoleError{text});
}

// linkStart's first step: clear what every start clears.
void clearForStart() {
    LinkState& st = linkState();
    st.rxPacketRate = 0;
    st.grantRate = 0;
    st.rxThirdRate = 0;
    st.txFragmentRate = 0;
    st.txLevel = 0;
    st.retransmitRate = 0;
    st.stopRequested = 0;
    st.rxFrequency = 0;
    st.txFrequency = 0;
    st.rxRateCode = 0;
    st.txRateCode = 0;
    st.lastStatisticsPoll = 0;
    st.lastQuery8 = 0;
    st.lastQuery9 = 0;
    st.lastRfPoll = 0;
    st.retryTime = 0;
    st.lastRfValid = false;
    st.lastRxFrequency = 0;
    st.lastRxRateCode = 0;
    resetLinkPresence();
}

bool openForStart(const LinkEndpoints& endpoints) {
    clearForStart();
    initReportHandlers();
    if (!openLinkSocket(endpoints)) {
        consoleError("Cannot initialize sockets !!!");
        // A chosen interface and a port held without a link to attach to add their reason.
        const LinkSocketFailure failure = linkSocketFailure();
        if (failure == LinkSocketFailure::NoSuchInterface ||
            failure == LinkSocketFailure::InterfaceRefused ||
            failure == LinkSocketFailure::PortInUse)
            consoleError(linkSocketFailureText());
        return false;
    }
    return true;
}

void sendFirstRfQuery() {
    sendFrame(buildRequest(MessageType::RfQuery).bytes, 12);
}

bool startAt(const LinkEndpoints& endpoints, LinkClock* clock) {
    LinkState& st = linkState();
    if (st.threadRunning)
        return false;  // one start per run
    if (!openForStart(endpoints))
        return false;
    st.threadClock.store(clock);
    int err = pthread_create(&st.thread, nullptr, linkThreadEntry, nullptr);
    if (err != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "CreateThread() Failed (%ld)", static_cast<long>(err));
        consoleError(text);
        consoleError("");
        // No thread will ever use it.
        closeLinkSocket();
        return false;
    }
    st.threadRunning = true;
    sendFirstRfQuery();
    return true;
}

}  // namespace

bool linkStart() {
    return startAt(kProductEndpoints, nullptr);
}

bool linkStart(const LinkEndpoints& endpoints, LinkClock* clock) {
    return startAt(endpoints, clock);
}

bool linkOpen(const LinkEndpoints& endpoints) {
    if (!openForStart(endpoints))
        return false;
    sendFirstRfQuery();
    return true;
}

bool linkStop() {
    LinkState& st = linkState();
    st.stopRequested.store(1);
    // A link-thread call that waits on the user interface would otherwise hold up the join.
    if (LinkPeer* peer = linkPeer())
        peer->cancelPendingCalls();
    if (st.threadRunning) {
        pthread_join(st.thread, nullptr);
        st.threadRunning = false;
    }
    closeLinkSocket();
    return true;
}

void linkReset() {
    LinkState& st = linkState();
    clearForStart();
    st.peer = nullptr;
    st.threadClock = nullptr;
    std::memset(st.receiveArea, 0, sizeof st.receiveArea);
    st.receiveHighWater = 0;
    st.activity = 0;
    st.lastVersionPoll = 0;
    st.retryCount = 0;
    {
        std::lock_guard<std::mutex> lock(st.pendingMutex);
        st.pending = PendingRequests{};
    }
    st.statisticsMessages = 0;
    st.attenuation = 0;
    {
        std::lock_guard<std::mutex> lock(st.statisticsMutex);
        st.statistics = StatisticsCounters{};
    }
    st.framesSent = 0;
    st.framesReceived = 0;
    st.framesDropped = 0;
    st.rfReports = 0;
    st.statisticsReports = 0;
    std::memset(st.textBuffer, 0, sizeof st.textBuffer);
    initReportHandlers();
}

}  // namespace brix

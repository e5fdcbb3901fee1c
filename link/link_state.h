#pragma once
// The modem link: one process-wide LinkState shared by the user-interface thread and the link
// thread, and the plain functions that start, run and stop the link. The pages use the commands
// of link_commands.h; the link reaches the pages only through the LinkPeer.

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "link/link_clock.h"
#include "link/link_commands.h"
#include "link/link_frame.h"
#include "link/link_peer.h"
#include "link/link_reports.h"
#include "link/link_transport.h"

namespace brix {

inline constexpr std::int32_t kVersionPeriodMs = 20000;
inline constexpr std::int32_t kStatisticsPeriodMs = 7000;
inline constexpr std::int32_t kQuery8PeriodMs = 8000;
inline constexpr std::int32_t kQuery9PeriodMs = 9000;
inline constexpr std::int32_t kRfPeriodMs = 3000;
inline constexpr std::int32_t kRetryPeriodMs = 2000;
inline constexpr int kSendsBeforeGiveUp = 5;

// The one pending Get and the one pending Set. Guarded by LinkState::pendingMutex, so item,
// length and data are always seen together with their flag.
struct PendingRequests {
    std::uint8_t getItem = 0;
    std::uint8_t getLength = 0;
    int getPending = 0;
    std::uint8_t setItem = 0;
    std::uint8_t setLength = 0;
    std::uint8_t setData[kMaxSetData] = {};
    int setPending = 0;
    // Counts the requests queued, so a give-up answer never cancels a request that the user
    // queued while the question was open.
    std::uint32_t getSerial = 0;
    std::uint32_t setSerial = 0;
};

struct LinkState {
    // Transport: written by the UI thread at start and stop only.
    std::atomic<int> socket{-1};
    std::atomic<std::uint32_t> destinationAddress{0};
    std::atomic<std::uint16_t> destinationPort{0};

    pthread_t thread{};
    bool threadRunning = false;  // UI thread only
    std::atomic<int> stopRequested{0};
    std::atomic<LinkPeer*> peer{nullptr};
    std::atomic<LinkClock*> threadClock{nullptr};  // clock of the link thread

    // The last datagram read; link thread only. Past `receiveHighWater` it is all zero.
    std::uint8_t receiveArea[kReceiveCapacity] = {};
    std::size_t receiveHighWater = 0;

    std::atomic<std::int16_t> activity{0};

    // Poll clocks and the shared retry counter: link thread only (set up before it starts).
    std::int32_t lastVersionPoll = 0;
    std::int32_t lastStatisticsPoll = 0;
    std::int32_t lastQuery8 = 0;
    std::int32_t lastQuery9 = 0;
    std::int32_t lastRfPoll = 0;
    std::int16_t retryCount = 0;
    std::int32_t retryTime = 0;

    std::mutex pendingMutex;
    PendingRequests pending;

    // RF values and rates, written by the link thread, read by the Tuner's timer.
    std::atomic<std::uint16_t> rxFrequency{0};
    std::atomic<std::uint16_t> txFrequency{0};
    std::atomic<std::uint16_t> rxRateCode{0};
    std::atomic<std::uint16_t> txRateCode{0};
    std::atomic<std::uint32_t> rxPacketRate{0};
    std::atomic<std::uint32_t> grantRate{0};
    std::atomic<std::uint32_t> rxThirdRate{0};  // always 0
    std::atomic<std::uint32_t> txFragmentRate{0};
    std::atomic<std::int32_t> txLevel{0};
    std::atomic<std::uint32_t> retransmitRate{0};

    std::atomic<std::int16_t> statisticsMessages{0};

    // The receive channel of the run's last RF report, for telling a channel change: link
    // thread only.
    bool lastRfValid = false;
    std::uint16_t lastRxFrequency = 0;
    std::uint16_t lastRxRateCode = 0;

    std::atomic<std::uint16_t> attenuation{0};
    std::mutex statisticsMutex;
    StatisticsCounters statistics;  // guarded by statisticsMutex

    std::atomic<std::uint64_t> framesSent{0};
    std::atomic<std::uint64_t> framesReceived{0};
    std::atomic<std::uint64_t> framesDropped{0};
    std::atomic<std::uint32_t> rfReports{0};
    std::atomic<std::uint32_t> statisticsReports{0};

    ReportHandler reportHandlers[kMessageTypeCount] = {};

    // Formatting area of the handlers (link thread only).
    char textBuffer[200] = {};
};

LinkState& linkState();

// The user interface behind the link. Set before linkStart; may be null (calls then vanish and
// give-ups count as Cancel).
void setLinkPeer(LinkPeer* peer);
LinkPeer* linkPeer();

// Opens the socket, starts the link thread and sends the first RfQuery. On failure writes the
// Error line to the Console and returns false.
bool linkStart();
// Sets the stop flag, releases a link-thread call waiting on the user interface, joins the link
// thread and closes the socket. Afterwards no handler runs and nothing is sent. Returns true.
bool linkStop();

void setLinkActivity(std::int16_t value);

// Hands a frame to the handler of its type (0..18); other types reach none. A frame not in the
// receive area is copied there first (zero-padded), so handlers never read past it.
void dispatchFrame(const std::uint8_t* frame, std::int16_t count);
void initReportHandlers();
// The link thread's acceptance of the `count` bytes that the receive step has just read into the
// receive area: a datagram of at least 8 bytes with the magic at offset 6 is dispatched and marks
// receive activity; any other is dropped.
void acceptReceivedFrame(std::int16_t count);

// Body of the link thread: the start-up Get, then linkPass with the steady clock until stopped.
void linkThreadLoop();
// What the link thread does before its loop: clear both pending flags, queue the channel-table Get.
void linkThreadBegin();
// One pass of the loop (receive, stop check, periodic queries, retries). False when the thread
// is to end.
bool linkPass(LinkClock& clock);

// linkStart on other endpoints (a modem on another port or address), with the link thread on
// `clock` (null: the steady clock).
bool linkStart(const LinkEndpoints& endpoints, LinkClock* clock = nullptr);
// linkStart's steps without the thread, for a caller that runs linkPass itself: clears the
// state, fills the handlers, opens the socket and sends the first RfQuery.
bool linkOpen(const LinkEndpoints& endpoints);
// Back to the state of program start (the link must be stopped).
void linkReset();

}  // namespace brix

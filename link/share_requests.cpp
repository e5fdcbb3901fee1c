// The request log: the Tunes and Sets that the owner sends for itself and its attached
// programs, each noted once with the program that asked, for the history to take.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "domain/clock.h"
#include "domain/frequency.h"
#include "link/link_frame.h"
#include "link/link_share.h"

namespace brix {

namespace {

constexpr std::size_t kMaxRequests = 64;
// A Set resent by the retry rule (every 2 s) is the same request; so is a Tune repeated at once.
constexpr std::int64_t kSameRequestMs = 5000;

struct Sighting {
    std::string program;
    std::vector<std::uint8_t> frame;
    std::int64_t lastMs = 0;
};

std::mutex requestMutex;
std::deque<Request> requests;     // guarded by requestMutex
std::vector<Sighting> sightings;  // guarded by requestMutex: the latest few, for resends

// What a frame asks of the modem, or false when it asks nothing a user would (a query, a Get).
bool describeRequest(const std::uint8_t* f, std::size_t n, RequestKind& kind, std::string& text) {
    const auto type = static_cast<MessageType>(readU16(f + 8));
    if (type == MessageType::TuneFrequency && n >= 14) {
        kind = RequestKind::Tune;
        text = "Tune to " + mhzUnitText(readU16(f + 12));
        return true;
    }
    if (type == MessageType::TuneChannel && n >= 16) {
        kind = RequestKind::Tune;
        text = "Tune to " + mhzUnitText(readU16(f + 12)) + ", rate code " +
               std::to_string(readU16(f + 14));
        return true;
    }
    if (type != MessageType::SetData || n < 16 || 16u + f[15] > n)
        return false;
    if (f[14] == static_cast<std::uint8_t>(DataItem::ChannelTable)) {
        kind = RequestKind::ChannelTableSet;
        text = "Set the channel table";
        return true;
    }
    if (f[14] == static_cast<std::uint8_t>(DataItem::ScannerParams)) {
        kind = RequestKind::ScannerSet;
        text = "Set the scanner parameters:";
        char hex[4];
        for (std::size_t i = 0; i < f[15]; ++i) {
            std::snprintf(hex, sizeof hex, " %02x", f[16 + i]);
            text += hex;
        }
        return true;
    }
    return false;
}

}  // namespace

bool takeLinkRequest(Request& request) {
    std::lock_guard<std::mutex> lock(requestMutex);
    if (requests.empty())
        return false;
    request = std::move(requests.front());
    requests.pop_front();
    return true;
}

namespace share {

void noteRequest(const std::uint8_t* frame, std::size_t length, const std::string& program) {
    if (length < kFrameHeaderSize)
        return;
    Request r;
    if (!describeRequest(frame, length, r.kind, r.text))
        return;
    r.program = program;
    r.unixMs = unixMsNow();
    std::lock_guard<std::mutex> lock(requestMutex);
    // A channel's tune is a TuneChannel and a TuneFrequency of the same frequency, in either
    // order (the Tuner sends the frequency first, brixctl the channel): one request of the
    // user's, told with the rate code when there is one.
    const auto type = static_cast<MessageType>(readU16(frame + 8));
    if ((type == MessageType::TuneFrequency || type == MessageType::TuneChannel) && length >= 14) {
        const auto other = static_cast<std::uint16_t>(type == MessageType::TuneFrequency
                                                          ? MessageType::TuneChannel
                                                          : MessageType::TuneFrequency);
        for (const Sighting& s : sightings) {
            if (s.program != program || s.frame.size() < 14 ||
                readU16(s.frame.data() + 8) != other ||
                readU16(s.frame.data() + 12) != readU16(frame + 12) ||
                r.unixMs - s.lastMs >= kSameRequestMs || r.unixMs < s.lastMs)
                continue;
            if (type == MessageType::TuneChannel) {
                // The frequency's request, when not yet taken, gets the channel's words.
                for (auto q = requests.rbegin(); q != requests.rend(); ++q)
                    if (q->program == program && q->kind == RequestKind::Tune) {
                        q->text = r.text;
                        break;
                    }
            }
            return;
        }
    }
    const auto seen = std::find_if(sightings.begin(), sightings.end(), [&](const Sighting& s) {
        return s.program == program && s.frame.size() == length &&
               std::equal(s.frame.begin(), s.frame.end(), frame);
    });
    if (seen != sightings.end()) {
        if (r.unixMs - seen->lastMs < kSameRequestMs && r.unixMs >= seen->lastMs) {
            seen->lastMs = r.unixMs;  // sent again: the same request
            return;
        }
        sightings.erase(seen);  // asked anew, after a while
    }
    if (sightings.size() >= 8)
        sightings.erase(sightings.begin());
    sightings.push_back({program, std::vector<std::uint8_t>(frame, frame + length), r.unixMs});
    if (requests.size() >= kMaxRequests)
        requests.pop_front();
    requests.push_back(std::move(r));
}

}  // namespace share
}  // namespace brix

#include "modem.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace brix::sim {

namespace {

std::string hex2(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFFu);
    return buf;
}

std::uint16_t clampU16(double v) {
    if (v <= 0)
        return 0;
    if (v >= 65535.0)
        return 65535;
    return static_cast<std::uint16_t>(v);
}

std::uint32_t clampU32(double v) {
    if (v <= 0)
        return 0;
    if (v >= 4294967295.0)
        return 0xFFFFFFFFu;
    return static_cast<std::uint32_t>(v);
}

}  // namespace

Bytes Modem::defaultChannelTable() {
    // A cable plan in tenths of a MHz with the five bit-rate indexes spread over it.
    static constexpr std::array<std::pair<std::uint16_t, std::uint8_t>, 10> plan{{
        {4525, 4},
        {4585, 4},
        {4645, 3},
        {4705, 3},
        {5552, 4},
        {5612, 2},
        {6035, 1},
        {6095, 0},
        {7235, 4},
        {8015, 3},
    }};
    Bytes table(kChannelTableBytes, 0);
    for (std::size_t k = 0; k < plan.size(); ++k) {
        putU16(table, 3 * k, plan[k].first);
        table[3 * k + 2] = plan[k].second;
    }
    return table;
}

Modem::Modem(ModemSettings settings, std::uint32_t seed)
    : settings_(std::move(settings)), rng_(seed) {
    channelTable_ = settings_.channelTable.size() == kChannelTableBytes ? settings_.channelTable
                                                                        : defaultChannelTable();
    scanner_ = {0x01, 0x00};
    // Listening on the first stored channel, sending upstream at 30.0 MHz.
    rf_.rxFrequency = getU16(channelTable_.data());
    rf_.rxRateCode = channelTable_[2];
    rf_.txFrequency = 300;
    rf_.txRateCode = 1;
    rf_.attenuation = 6;
}

Bytes* Modem::dataFor(std::uint8_t item) {
    if (item == kItemChannelTable)
        return &channelTable_;
    if (item == kItemScanner)
        return &scanner_;
    return nullptr;
}

Bytes Modem::ackData(const Bytes& held) const {
    Bytes out = held;
    if (settings_.ackOther) {
        if (out.empty())
            out.push_back(0xFF);
        out[0] ^= 0x01;
    }
    return out;
}

Bytes Modem::statisticsFrame(std::int64_t nowMs) {
    const std::int64_t elapsed = std::max<std::int64_t>(0, nowMs - lastStatisticsMs_);
    lastStatisticsMs_ = nowMs;
    const double seconds = static_cast<double>(elapsed) / 1000.0;

    load_ += (static_cast<double>(below(301)) - 150.0) / 1000.0;
    load_ = std::clamp(load_, 0.05, 1.0);
    auto jitter = [this] { return 0.9 + static_cast<double>(below(201)) / 1000.0; };

    StatisticsValues s;
    s.period = clampU16(static_cast<double>(elapsed) / 10.0);
    const double fragments = 120.0 * load_ * seconds * jitter();
    s.txFragments = clampU16(fragments);
    s.txPackets = clampU16(fragments * 0.8);
    s.txBytes = clampU32(fragments * 0.8 * 420.0 * jitter());
    s.retransmitted = clampU16(fragments * 0.02 * jitter());
    const double downstream = 400.0 * load_ * seconds * jitter();
    s.rxForwardedPackets = clampU16(downstream);
    s.rxFilteredPackets = clampU16(downstream * 0.05 * jitter());
    s.rxForwardedBytes = clampU32(downstream * 610.0 * jitter());
    s.grants = clampU16(fragments * 1.1 * jitter());
    return encodeStatistics(chance(0.25) ? type::kStatistics2 : type::kStatistics, s);
}

Answer Modem::handle(const std::uint8_t* data, std::size_t size, std::int64_t nowMs) {
    Answer a;
    std::string why;
    const auto in = parseFrame(data, size, why);
    if (!in) {
        a.notes.push_back("ignored: " + why);
        return a;
    }
    switch (in->type) {
        case type::kGetData: {
            const auto req = decodeGetRequest(*in);
            if (!req) {
                a.notes.push_back("ignored: Get request without item and count");
                break;
            }
            const Bytes* held = dataFor(req->item);
            if (held == nullptr) {
                a.notes.push_back("ignored: unknown data item " + hex2(req->item));
                break;
            }
            if (req->count != held->size()) {
                a.notes.push_back("asked for " + std::to_string(req->count) + " bytes of item " +
                                  hex2(req->item) + ", answering " + std::to_string(held->size()));
            }
            a.frames.push_back(encodeGetReply(req->item, *held));
            break;
        }
        case type::kSetData: {
            const auto req = decodeSetRequest(*in);
            if (!req) {
                a.notes.push_back("ignored: Set request without item and count");
                break;
            }
            Bytes* held = dataFor(req->item);
            if (held == nullptr) {
                a.notes.push_back("ignored: unknown data item " + hex2(req->item));
                break;
            }
            if (req->truncated) {
                // Half a table is worse than none: keep what is held and let the tool retry.
                a.notes.push_back("ignored: Set of item " + hex2(req->item) + " cut short, " +
                                  std::to_string(req->data.size()) + " of " +
                                  std::to_string(req->count) + " bytes");
                break;
            }
            if (req->word != kSetWord) {
                char buf[64];
                std::snprintf(buf, sizeof buf, "unexpected Set word 0x%04X", req->word);
                a.notes.push_back(buf);
            }
            if (req->data.size() != held->size()) {
                a.notes.push_back("Set of item " + hex2(req->item) + " with " +
                                  std::to_string(req->data.size()) + " bytes, holds " +
                                  std::to_string(held->size()));
            }
            std::copy_n(req->data.begin(), std::min(req->data.size(), held->size()), held->begin());
            a.frames.push_back(encodeSetAck(req->item, ackData(*held)));
            if (settings_.ackOther)
                a.notes.push_back("acknowledging with other data");
            break;
        }
        case type::kStatistics:
            a.frames.push_back(statisticsFrame(nowMs));
            break;
        case type::kTuneFrequency: {
            const auto f = decodeTuneFrequency(*in);
            if (!f) {
                a.notes.push_back("ignored: TuneFrequency without a frequency");
                break;
            }
            if (settings_.ignoreTune) {
                a.notes.push_back("ignored: tune commands are off");
                break;
            }
            rf_.rxFrequency = *f;
            a.notes.push_back("receive channel now " + std::to_string(*f));
            break;
        }
        case type::kTuneChannel: {
            const auto t = decodeTuneChannel(*in);
            if (!t) {
                a.notes.push_back("ignored: TuneChannel without frequency and rate code");
                break;
            }
            if (settings_.ignoreTune) {
                a.notes.push_back("ignored: tune commands are off");
                break;
            }
            rf_.rxFrequency = t->frequency;
            if (settings_.ignoreTuneRate) {
                a.notes.push_back("receive channel now " + std::to_string(t->frequency) +
                                  ", rate code ignored");
                break;
            }
            rf_.rxRateCode = t->rateCode;
            a.notes.push_back("receive channel now " + std::to_string(t->frequency) +
                              " rate code " + std::to_string(t->rateCode));
            break;
        }
        case type::kRfQuery:
            a.frames.push_back(encodeRfReport(rf_));
            break;
        case type::kQuery8:
        case type::kQuery9:
            break;  // accepted; nothing to report
        case type::kLinkTest: {
            const std::string diff = checkLinkTestAnswer(data, size);
            const std::string verdict = diff.empty() ? "matched" : "did not match (" + diff + ")";
            if (linkTestSentMs_ >= 0) {
                a.notes.push_back("link test answer " + verdict + " after " +
                                  std::to_string(nowMs - linkTestSentMs_) + " ms");
                linkTestSentMs_ = -1;
            } else {
                a.notes.push_back("link test answer without a link test, " + verdict);
            }
            break;
        }
        case type::kVersion:
            a.frames.push_back(encodeVersionText(type::kVersion, settings_.microcodeVersion));
            a.frames.push_back(encodeVersionText(type::kVersion2, settings_.bootVersion));
            // Now and then the boot loader's own debug line follows.
            if (++versionPolls_ % 3 == 0) {
                a.frames.push_back(encodeDebugVersion("Boot 1.04.2 (2019-03-11)"));
            }
            break;
        default:
            a.notes.push_back("ignored: " + typeName(in->type) + " is not for the modem");
    }
    return a;
}

Bytes Modem::makeLinkTest(std::int64_t nowMs) {
    linkTestSentMs_ = nowMs;
    return encodeLinkTest();
}

Bytes Modem::makeDebugMessage() {
    static constexpr std::array<const char*, 6> texts{
        "Ranging complete",   "T4 timeout, re-ranging",        "Downstream lock acquired",
        "DHCP lease renewed", "Upstream power adjusted +2 dB", "Config file loaded",
    };
    const std::uint32_t pick = below(100);
    if (pick < 45)
        return encodeDebugText(texts[below(texts.size())]);
    if (pick < 70) {
        return encodeDebugDteq(static_cast<std::uint16_t>(900 + below(300)),
                               static_cast<std::uint16_t>(below(6)));
    }
    if (pick < 96) {
        mapCounter_ += 0x40 + below(0x40);
        const std::uint32_t gtr = mapCounter_ - 0x20 + below(0x30);  // sometimes ahead of MAP
        return encodeDebugMapGtr(mapCounter_, gtr);
    }
    static constexpr std::array<std::uint16_t, 4> unknown{4, 5, 8, 12};
    return encodeDebugRaw(unknown[below(unknown.size())], {0xDE, 0xAD});
}

Bytes Modem::makeFloodFrame(std::int64_t nowMs) {
    switch (below(5)) {
        case 0:
            return encodeRfReport(rf_);
        case 1: {
            // A report of its own period, so the tool's polls keep their clock.
            const std::int64_t keep = lastStatisticsMs_;
            lastStatisticsMs_ = nowMs - 500 - below(1000);
            Bytes f = statisticsFrame(nowMs);
            lastStatisticsMs_ = keep;
            return f;
        }
        case 2:
            return encodeVersionText(type::kVersion, settings_.microcodeVersion);
        case 3:
            return encodeVersionText(type::kVersion2, settings_.bootVersion);
        default:
            return makeDebugMessage();
    }
}

}  // namespace brix::sim

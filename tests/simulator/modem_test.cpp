#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "faults.h"
#include "modem.h"
#include "options.h"
#include "protocol.h"

using namespace brix::sim;

namespace {

Bytes request(int t, const Bytes& body, std::uint16_t lengthWord) {
    Bytes f = frameWithBody(t, body.size(), lengthWord);
    std::copy(body.begin(), body.end(), f.begin() + 12);
    return f;
}

Bytes rfQuery() {
    return request(type::kRfQuery, {}, 12);
}

Bytes setRequest(std::uint8_t item, const Bytes& data) {
    Bytes body{0x09, 0x11, item, static_cast<std::uint8_t>(data.size())};
    body.insert(body.end(), data.begin(), data.end());
    return request(type::kSetData, body, static_cast<std::uint16_t>(data.size() + 4));
}

Answer send(Modem& m, const Bytes& f, std::int64_t now = 0) {
    return m.handle(f.data(), f.size(), now);
}

RfValues rfOf(const Bytes& f) {
    EXPECT_EQ(f.size(), 22u);
    if (f.size() < 22)
        return {};
    return {getU16(&f[12]), getU16(&f[14]), getU16(&f[16]), getU16(&f[18]), getU16(&f[20])};
}

int typeOf(const Bytes& f) {
    return static_cast<std::int16_t>(getU16(&f[8]));
}

// The piece the tool shows: the second run between separators of '!'.
std::string secondPiece(const Bytes& f, std::size_t from) {
    std::string text(reinterpret_cast<const char*>(&f[from]));
    std::vector<std::string> pieces;
    std::string cur;
    for (char c : text) {
        if (c == '!') {
            if (!cur.empty())
                pieces.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        pieces.push_back(cur);
    return pieces.size() > 1 ? pieces[1] : "";
}

}  // namespace

TEST(SimModem, TuneCommandsChangeTheNextRfReport) {
    Modem m({}, 1);
    auto a = send(m, rfQuery());
    ASSERT_EQ(a.frames.size(), 1u);
    const RfValues start = rfOf(a.frames[0]);
    EXPECT_EQ(start.rxFrequency, 4525);  // the first channel of the built-in plan
    EXPECT_EQ(start.attenuation, 6);

    EXPECT_TRUE(send(m, request(type::kTuneFrequency, {0x88, 0x13}, 2)).frames.empty());
    RfValues rf = rfOf(send(m, rfQuery()).frames.at(0));
    EXPECT_EQ(rf.rxFrequency, 5000);
    EXPECT_EQ(rf.rxRateCode, start.rxRateCode);
    EXPECT_EQ(rf.txFrequency, start.txFrequency);

    send(m, request(type::kTuneChannel, {0xB0, 0x15, 0x02, 0x00}, 4));
    rf = rfOf(send(m, rfQuery()).frames.at(0));
    EXPECT_EQ(rf.rxFrequency, 5552);
    EXPECT_EQ(rf.rxRateCode, 2);

    // A tune command too short for its fields changes nothing.
    send(m, request(type::kTuneChannel, {0x01}, 4));
    EXPECT_EQ(rfOf(send(m, rfQuery()).frames.at(0)).rxFrequency, 5552);
}

TEST(SimModem, SetThenGetReturnsTheDataAndTheAckEchoesIt) {
    Modem m({}, 1);
    Bytes table(30);
    for (std::size_t i = 0; i < 30; ++i)
        table[i] = static_cast<std::uint8_t>(200 - i);

    auto ack = send(m, setRequest(0x62, table));
    ASSERT_EQ(ack.frames.size(), 1u);
    EXPECT_EQ(ack.frames[0], encodeSetAck(0x62, table));

    auto get = send(m, request(type::kGetData, {0x62, 30}, 2));
    ASSERT_EQ(get.frames.size(), 1u);
    EXPECT_EQ(get.frames[0], encodeGetReply(0x62, table));

    // Scanner parameters: kept apart from the table.
    EXPECT_EQ(send(m, request(type::kGetData, {0x27, 2}, 2)).frames.at(0),
              encodeGetReply(0x27, {0x01, 0x00}));
    EXPECT_EQ(send(m, setRequest(0x27, {0xFF, 0x00})).frames.at(0),
              encodeSetAck(0x27, {0xFF, 0x00}));
    EXPECT_EQ(m.scannerParams(), (Bytes{0xFF, 0x00}));
    EXPECT_EQ(m.channelTable(), table);
}

TEST(SimModem, RefusesSetsItCannotTakeWhole) {
    Modem m({}, 1);
    const Bytes before = m.channelTable();

    // Count says 30, the datagram holds 10: nothing stored, nothing acknowledged.
    Bytes cut = setRequest(0x62, Bytes(30, 0x11));
    cut.resize(16 + 10);
    auto a = send(m, cut);
    EXPECT_TRUE(a.frames.empty());
    EXPECT_FALSE(a.notes.empty());
    EXPECT_EQ(m.channelTable(), before);

    // Unknown data items get no answer, Get or Set.
    EXPECT_TRUE(send(m, setRequest(0x55, {1, 2})).frames.empty());
    EXPECT_TRUE(send(m, request(type::kGetData, {0x55, 2}, 2)).frames.empty());

    // A longer Set than the item holds stores what fits and echoes the item's size.
    auto longer = send(m, setRequest(0x27, {0x03, 0x00, 0x99}));
    EXPECT_EQ(longer.frames.at(0), encodeSetAck(0x27, {0x03, 0x00}));
}

TEST(SimModem, AckOtherAcknowledgesWithDifferentDataButKeepsTheSet) {
    ModemSettings s;
    s.ackOther = true;
    Modem m(s, 1);
    const Bytes table(30, 0x42);
    const Bytes ack = send(m, setRequest(0x62, table)).frames.at(0);
    ASSERT_EQ(ack.size(), 46u);
    EXPECT_NE(Bytes(ack.begin() + 16, ack.end()), table);
    EXPECT_EQ(send(m, request(type::kGetData, {0x62, 30}, 2)).frames.at(0),
              encodeGetReply(0x62, table));
}

TEST(SimModem, StartsFromAGivenChannelTable) {
    ModemSettings s;
    s.channelTable = Bytes(30, 0);
    s.channelTable[0] = 0x10;
    s.channelTable[1] = 0x27;  // 10000
    s.channelTable[2] = 3;
    Modem m(s, 1);
    EXPECT_EQ(send(m, request(type::kGetData, {0x62, 30}, 2)).frames.at(0),
              encodeGetReply(0x62, s.channelTable));
    const RfValues rf = rfOf(send(m, rfQuery()).frames.at(0));
    EXPECT_EQ(rf.rxFrequency, 10000);
    EXPECT_EQ(rf.rxRateCode, 3);

    // The built-in plan: ten plausible channels with rate indexes 0 to 4.
    const Bytes plan = Modem::defaultChannelTable();
    for (std::size_t k = 0; k < 10; ++k) {
        EXPECT_GE(getU16(&plan[3 * k]), 500);
        EXPECT_LE(plan[3 * k + 2], 4);
    }
}

TEST(SimModem, StatisticsCarryThePeriodSinceTheLastPoll) {
    Modem m({}, 9);
    const Bytes poll = request(type::kStatistics, {}, 12);
    std::set<int> types;
    std::int64_t now = 0;
    for (int i = 0; i < 60; ++i) {
        now += 7000 + i;
        const Bytes r = send(m, poll, now).frames.at(0);
        ASSERT_EQ(r.size(), 46u);
        types.insert(typeOf(r));
        EXPECT_EQ(getU16(&r[12]), (7000 + i) / 10);
        EXPECT_GT(getU16(&r[26]), 0);      // fragments
        EXPECT_GT(getU16(&r[36]), 0);      // forwarded downstream packets
        EXPECT_GT(getU32(&r[40]), 1000u);  // forwarded downstream bytes
    }
    EXPECT_EQ(types, (std::set<int>{3, 4}));

    // A very late poll saturates instead of wrapping.
    const Bytes late = send(m, poll, now + 3600000).frames.at(0);
    EXPECT_EQ(getU16(&late[12]), 65535);
}

TEST(SimModem, VersionTextsAndBootVersion) {
    Modem m({}, 1);
    const Bytes poll = request(type::kVersion, {}, 12);
    bool debugBoot = false;
    for (int i = 0; i < 3; ++i) {
        const auto a = send(m, poll);
        ASSERT_GE(a.frames.size(), 2u);
        EXPECT_EQ(typeOf(a.frames[0]), type::kVersion);
        EXPECT_EQ(secondPiece(a.frames[0], 12), "2.05.17");
        EXPECT_EQ(typeOf(a.frames[1]), type::kVersion2);
        EXPECT_NE(secondPiece(a.frames[1], 12).find("Boot"), std::string::npos);
        for (std::size_t k = 2; k < a.frames.size(); ++k) {
            const Bytes& f = a.frames[k];
            if (typeOf(f) == type::kDebugMessage && getU16(&f[12]) == debug::kVersion) {
                EXPECT_NE(std::string(reinterpret_cast<const char*>(&f[14])).find("Boot"),
                          std::string::npos);
                debugBoot = true;
            }
        }
    }
    EXPECT_TRUE(debugBoot);
}

TEST(SimModem, LinkTestAnswersAreChecked) {
    Modem m({}, 1);
    const Bytes answer = request(type::kLinkTest, {0x87, 0xD6, 0x12, 0x00}, 12);
    EXPECT_EQ(m.makeLinkTest(100), encodeLinkTest());
    EXPECT_TRUE(m.awaitingLinkTestAnswer());
    auto a = send(m, answer, 150);
    EXPECT_TRUE(a.frames.empty());
    ASSERT_EQ(a.notes.size(), 1u);
    EXPECT_NE(a.notes[0].find("matched after 50 ms"), std::string::npos);
    EXPECT_FALSE(m.awaitingLinkTestAnswer());

    m.makeLinkTest(200);
    Bytes wrong = answer;
    wrong[10] = 4;  // length word 4 instead of 12
    a = send(m, wrong, 210);
    EXPECT_NE(a.notes.at(0).find("did not match"), std::string::npos);
}

TEST(SimModem, DebugMessagesCoverTheirSubTypes) {
    Modem m({}, 3);
    std::set<int> subTypes;
    for (int i = 0; i < 1000; ++i) {
        const Bytes f = m.makeDebugMessage();
        ASSERT_GE(f.size(), 14u);
        EXPECT_EQ(typeOf(f), type::kDebugMessage);
        const int sub = getU16(&f[12]);
        subTypes.insert(sub);
        if (sub == debug::kText) {
            EXPECT_EQ(f.back(), 0);
        }
        if (sub == debug::kDteq) {
            EXPECT_EQ(f.size(), 18u);
        }
        if (sub == debug::kMapGtr) {
            EXPECT_EQ(f.size(), 22u);
        }
    }
    EXPECT_TRUE(subTypes.count(3) && subTypes.count(7) && subTypes.count(9));
    EXPECT_GT(subTypes.size(), 3u);  // and at least one the tool does not know
}

TEST(SimModem, SurvivesAnyDatagram) {
    Modem m({}, 1);
    std::mt19937 rng(11);
    for (int round = 0; round < 3000; ++round) {
        Bytes f(rng() % 60);
        for (auto& b : f)
            b = static_cast<std::uint8_t>(rng());
        if (f.size() >= 10 && rng() % 2) {
            f[6] = 0x79;
            f[7] = 0x77;
            f[8] = static_cast<std::uint8_t>(rng() % 20);
            f[9] = 0;
        }
        (void)send(m, f, round);
    }
    for (int i = 0; i < 200; ++i)
        EXPECT_GE(m.makeFloodFrame(1000 + i).size(), 12u);
}

// ---- faults ----

TEST(SimFaults, EachMalformationBreaksTheFrameItsWay) {
    std::mt19937 rng(4);
    const Bytes rf = encodeRfReport({4525, 4, 300, 1, 6});
    const Bytes version = encodeVersionText(type::kVersion, "BRX!!2.05!!x");
    std::string why;

    for (int i = 0; i < 50; ++i) {
        const Bytes s = malform(rf, Malformation::Short, rng);
        EXPECT_GE(s.size(), 1u);
        EXPECT_LT(s.size(), rf.size());
    }
    const Bytes magic = malform(rf, Malformation::WrongMagic, rng);
    EXPECT_FALSE(parseFrame(magic.data(), magic.size(), why));
    for (int i = 0; i < 20; ++i) {
        const Bytes t = malform(rf, Malformation::TypeOutOfRange, rng);
        const int ty = static_cast<std::int16_t>(getU16(&t[8]));
        EXPECT_TRUE(ty < 0 || ty > 18) << ty;
    }
    const Bytes text = malform(version, Malformation::UnterminatedText, rng);
    EXPECT_GT(text.size(), version.size());
    EXPECT_EQ(std::find(text.begin() + 12, text.end(), 0), text.end());
    EXPECT_EQ(malform(rf, Malformation::Oversized, rng).size(), 2000u);

    EXPECT_TRUE(carriesText(version));
    EXPECT_TRUE(carriesText(encodeDebugText("x")));
    EXPECT_FALSE(carriesText(encodeDebugDteq(1, 2)));
    EXPECT_FALSE(carriesText(rf));
}

TEST(SimFaults, InjectorDropsDuplicatesAndDamagesAsAsked) {
    const Bytes f = encodeRfReport({1, 2, 3, 4, 5});
    FaultInjector none({}, 1);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(none.apply(f).datagrams, std::vector<Bytes>{f});

    FaultInjector drop({1.0, 0, 0}, 1);
    EXPECT_TRUE(drop.apply(f).datagrams.empty());
    EXPECT_EQ(drop.counts().dropped, 1u);

    FaultInjector dup({0, 1.0, 0}, 1);
    const auto d = dup.apply(f);
    ASSERT_EQ(d.datagrams.size(), 2u);
    EXPECT_EQ(d.datagrams[0], f);
    EXPECT_EQ(d.datagrams[1], f);

    FaultInjector bad({0, 0, 1.0}, 1);
    for (int i = 0; i < 50; ++i) {
        const auto o = bad.apply(f);
        ASSERT_EQ(o.datagrams.size(), 1u);
        EXPECT_NE(o.datagrams[0], f);
    }
    EXPECT_EQ(bad.counts().malformed, 50u);

    // Half the frames, about: a seed gives the same choices every run.
    FaultInjector a({0.5, 0, 0}, 77);
    FaultInjector b({0.5, 0, 0}, 77);
    int dropped = 0;
    for (int i = 0; i < 400; ++i) {
        const bool da = a.apply(f).datagrams.empty();
        EXPECT_EQ(da, b.apply(f).datagrams.empty());
        dropped += da;
    }
    EXPECT_GT(dropped, 120);
    EXPECT_LT(dropped, 280);
}

// ---- options ----

TEST(SimOptions, ParsesEveryOption) {
    Options o;
    std::string error;
    EXPECT_EQ(parseOptions({}, o, error), ParseResult::Run);
    EXPECT_EQ(o.localPort, 30588);
    EXPECT_EQ(o.peerPort, 30587);
    EXPECT_EQ(o.destination, "255.255.255.255");

    EXPECT_EQ(parseOptions({"--silent", "--drop",      "0.25",        "--duplicate", "1",
                            "--late",   "150",         "--ack-other", "--malformed", "0",
                            "--flood",  "20.5",        "--seed",      "42",          "--port-local",
                            "40001",    "--port-peer", "40002",       "--dest",      "127.0.0.1",
                            "--bind",   "127.0.0.1",   "--quiet",     "--duration",  "2.5",
                            "--stats",  "--channels",  "ch.lb",       "--link-test", "0",
                            "--debug",  "0.5"},
                           o, error),
              ParseResult::Run)
        << error;
    EXPECT_TRUE(o.silent && o.ackOther && o.quiet && o.stats);
    EXPECT_DOUBLE_EQ(o.faults.drop, 0.25);
    EXPECT_DOUBLE_EQ(o.faults.duplicate, 1.0);
    EXPECT_EQ(o.lateMs, 150);
    EXPECT_DOUBLE_EQ(o.floodRate, 20.5);
    EXPECT_EQ(o.seed, 42u);
    EXPECT_EQ(o.localPort, 40001);
    EXPECT_EQ(o.peerPort, 40002);
    EXPECT_EQ(o.destination, "127.0.0.1");
    EXPECT_DOUBLE_EQ(o.durationSeconds, 2.5);
    EXPECT_EQ(o.channelsFile, "ch.lb");
    EXPECT_DOUBLE_EQ(o.linkTestSeconds, 0);

    Options h;
    EXPECT_EQ(parseOptions({"--quiet", "--help"}, h, error), ParseResult::Help);
}

TEST(SimOptions, RefusesBadOptionsWithAReason) {
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},
        {"--drop"},
        {"--drop", "1.5"},
        {"--drop", "-0.1"},
        {"--drop", "abc"},
        {"--drop", "nan"},
        {"--duplicate", "0.5x"},
        {"--late", "-1"},
        {"--late", "999999999"},
        {"--port-local", "0"},
        {"--port-peer", "70000"},
        {"--port-local", "30587"},  // same as the tool's port: it would answer itself
        {"--dest", "999.1.1.1"},
        {"--dest", "localhost"},
        {"--flood", "0"},
        {"--duration", "0"},
        {"--seed", "-3"},
        {"--link-test", "soon"},
        {"extra"},
    };
    for (const auto& args : bad) {
        Options o;
        std::string error;
        EXPECT_EQ(parseOptions(args, o, error), ParseResult::Error) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
    EXPECT_NE(usageText("sim").find("--malformed"), std::string::npos);
}

// The link's typed events: what each frame becomes, that every subscriber gets the same in the
// same order, and what a subscriber that falls behind is told.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "link/link_events.h"
#include "link_test_support.h"

namespace brix::testing {
namespace {

using namespace std::chrono_literals;

std::vector<LinkEvent> takeAll(LinkSubscription& s) {
    std::vector<LinkEvent> out;
    s.take(out);
    return out;
}

template <typename T>
std::vector<T> only(const std::vector<LinkEvent>& events) {
    std::vector<T> out;
    for (const LinkEvent& e : events)
        if (const T* v = std::get_if<T>(&e.body))
            out.push_back(*v);
    return out;
}

Bytes statisticsFrame(std::uint16_t period, std::uint16_t fragments) {
    Bytes f = inbound(3, 34);
    writeU16(f.data() + 12, period);
    writeU16(f.data() + 26, fragments);
    return f;
}

class EventsTest : public LinkTest {};

TEST_F(EventsTest, EachFrameIsDecodedOnceIntoTheSameEventsForEverySubscriber) {
    LinkSubscription first;
    LinkSubscription second;
    dispatch(rfReport(4525, 4, 300, 1, 3));
    dispatch(rfReport(4525, 4, 300, 1, 3));  // the same again: no Console lines
    dispatch(rfReport(6035, 3, 300, 1, 3));  // another receive channel
    dispatch(statisticsFrame(5, 9));         // too short to take, still told
    dispatch(statisticsFrame(700, 69));
    dispatch(textFrame(15, "V1!!2.05!!X"));
    dispatch(textFrame(16, "x!!Boot 0.9!!"));
    dispatch(debugFrame(3, {'h', 'i', 0}));
    dispatch(debugFrame(42, {}));

    const auto events = takeAll(first);
    const auto again = takeAll(second);
    ASSERT_EQ(events.size(), again.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].sequence, again[i].sequence);
        EXPECT_EQ(events[i].body.index(), again[i].body.index());
        if (i > 0) {
            EXPECT_GT(events[i].sequence, events[i - 1].sequence);
        }
    }

    const auto rf = only<RfReport>(events);
    ASSERT_EQ(rf.size(), 3u);
    EXPECT_TRUE(rf[0].changed);
    EXPECT_FALSE(rf[1].changed);
    EXPECT_TRUE(rf[2].changed);
    EXPECT_EQ(rf[2].rxFrequency, 6035);
    EXPECT_EQ(rf[2].attenuation, 3);
    // The Console wrote the first and the third, from the same values.
    const auto texts = peer.consoleTexts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "RF REPORT:"), 2);
    ASSERT_GE(texts.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(texts.begin(), texts.begin() + 5), rfReportLines(rf[0]));

    // The first report of a run is no change; the third moved the receive channel.
    const auto changes = only<ChannelChanged>(events);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].fromFrequency, 4525);
    EXPECT_EQ(changes[0].fromRateCode, 4);
    EXPECT_EQ(changes[0].toFrequency, 6035);
    EXPECT_EQ(changes[0].toRateCode, 3);

    const auto statistics = only<StatisticsReport>(events);
    ASSERT_EQ(statistics.size(), 2u);
    EXPECT_FALSE(statistics[0].taken());
    EXPECT_EQ(statistics[0].counts.period, 5u);
    EXPECT_TRUE(statistics[1].taken());
    EXPECT_EQ(statistics[1].counts.txFragments, 69u);

    const auto versions = only<VersionText>(events);
    ASSERT_EQ(versions.size(), 2u);
    EXPECT_FALSE(versions[0].boot);
    EXPECT_EQ(versions[0].text, "2.05");
    EXPECT_TRUE(versions[1].boot);

    const auto debug = only<DebugMessage>(events);
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(debug[0].text, "hi");
    const auto errors = only<ConsoleError>(events);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].text, "Unknown Debug Message");
}

TEST_F(EventsTest, ASubscriberThatFallsBehindLosesItsOldestAndIsToldHowMany) {
    LinkSubscription slow(4);
    LinkSubscription keeping;
    for (std::uint16_t i = 0; i < 10; ++i)
        publishLinkEvent(DebugMessage{3, std::to_string(i)});
    const auto late = takeAll(slow);
    ASSERT_EQ(late.size(), 5u);
    ASSERT_TRUE(std::holds_alternative<EventsLost>(late[0].body));
    EXPECT_EQ(std::get<EventsLost>(late[0].body).count, 6u);
    EXPECT_EQ(std::get<DebugMessage>(late[1].body).text, "6");
    EXPECT_EQ(std::get<DebugMessage>(late[4].body).text, "9");
    // Told once: the next take starts afresh.
    publishLinkEvent(DebugMessage{3, "10"});
    EXPECT_EQ(takeAll(slow).size(), 1u);
    EXPECT_EQ(takeAll(keeping).size(), 11u);

    // Long texts fill a queue by their size before their number.
    const std::string longText(1400, 'x');
    for (int i = 0; i < 4000; ++i)
        publishLinkEvent(DebugMessage{3, longText});
    const auto kept = takeAll(keeping);
    ASSERT_FALSE(kept.empty());
    ASSERT_TRUE(std::holds_alternative<EventsLost>(kept[0].body));
    EXPECT_LT(kept.size() * (sizeof(LinkEvent) + longText.size()),
              LinkSubscription::kMaxQueueBytes + 4096);
    EXPECT_EQ(std::get<EventsLost>(kept[0].body).count + kept.size() - 1, 4000u);
}

TEST_F(EventsTest, AWaitEndsWithAnEventAWakeAnotherDescriptorOrItsDeadline) {
    LinkSubscription s;
    std::vector<LinkEvent> out;
    const auto never = std::chrono::steady_clock::time_point::max();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.wait(out, start + 50ms), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);

    publishLinkEvent(LinkNotice{"waiting before the wait"});
    EXPECT_EQ(s.wait(out, never), 1u);

    const auto later = [](auto what) {
        return std::thread([what] {
            std::this_thread::sleep_for(30ms);
            what();
        });
    };
    std::thread t = later([] { publishLinkEvent(LinkNotice{"during the wait"}); });
    EXPECT_EQ(s.wait(out, never), 1u);
    t.join();

    // A burst wakes the reader once, at its end.
    t = later([] {
        LinkEventBurst burst;
        for (int i = 0; i < 3; ++i)
            publishLinkEvent(LinkNotice{"burst"});
    });
    EXPECT_EQ(s.wait(out, never), 3u);
    t.join();

    t = later([&] { s.wake(); });
    EXPECT_EQ(s.wait(out, never), 0u);
    t.join();

    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    t = later([&] { EXPECT_EQ(::write(pipe[1], "x", 1), 1); });
    EXPECT_EQ(s.wait(out, never, {-1, pipe[0]}), 0u);
    t.join();
    ::close(pipe[0]);
    ::close(pipe[1]);
}

TEST_F(EventsTest, SubscribersComeAndGoWhileSeveralThreadsPublish) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> publishers;
    for (int t = 0; t < 3; ++t)
        publishers.emplace_back([&] {
            while (!stop)
                publishLinkEvent(LinkNotice{"x"});
        });
    LinkSubscription steady;
    std::uint64_t seen = 0;
    std::uint64_t last = 0;
    std::vector<LinkEvent> out;
    const auto until = std::chrono::steady_clock::now() + 200ms;
    for (int i = 0; i < 200 || std::chrono::steady_clock::now() < until; ++i) {
        LinkSubscription passing(16);
        steady.take(out);
        for (const LinkEvent& e : out) {
            if (std::holds_alternative<EventsLost>(e.body))
                continue;  // it stands where the lost ones were
            EXPECT_GT(e.sequence, last);
            last = e.sequence;
            ++seen;
        }
    }
    stop = true;
    for (std::thread& t : publishers)
        t.join();
    EXPECT_GT(seen, 0u);
}

}  // namespace
}  // namespace brix::testing

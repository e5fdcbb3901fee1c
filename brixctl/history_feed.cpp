#include "brixctl/history_feed.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "brixctl/output.h"
#include "link/link_commands.h"

namespace brixctl {
namespace {

using brix::history::Event;
using brix::history::EventKind;
using brix::history::Millis;
using namespace std::chrono_literals;

constexpr auto kLinkDownAfter = 10s;

Millis wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Millis msOf(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// The Console lines that a report writes come in blocks; they are recorded as the report, not
// as lines. The number of lines that follow each block's first line.
int linesAfter(const std::string& text) {
    if (text == "RF REPORT:")
        return 4;
    if (text.rfind("STATISTICS REPORT:", 0) == 0)
        return 11;
    return -1;
}

}  // namespace

std::string historyPath(const std::string& option) {
    if (!option.empty())
        return option;
    const char* state = std::getenv("STATE_DIRECTORY");  // set by systemd for StateDirectory=
    if (state != nullptr && state[0] == '/') {
        std::string first(state);
        first = first.substr(0, first.find(':'));
        return first + "/history.sqlite3";
    }
    return brix::history::defaultStorePath();
}

HistoryFeed::HistoryFeed(Session& session, const std::string& path, std::string program)
    : session_(session), program_(std::move(program)) {
    session_.keepConsoleLines();
    recorder_ = std::make_unique<brix::history::Recorder>(
        path, [](const std::string& e) { std::fprintf(stderr, "brixctl: %s\n", e.c_str()); },
        [](const std::string& n) { std::fprintf(stderr, "brixctl: %s\n", n.c_str()); });
    thread_ = std::thread([this] { run(); });
}

HistoryFeed::~HistoryFeed() {
    stop_ = true;
    thread_.join();
    recorder_->flush();
}

void HistoryFeed::request(EventKind kind, const std::string& text) {
    recorder_->record(Event{wallMs(), kind, text, program_});
}

void HistoryFeed::run() {
    brix::LinkCounters seen = brix::getLinkCounters();
    auto lastFrame = std::chrono::steady_clock::now();
    bool up = false;
    bool everUp = false;
    std::string microcode, boot;
    int skip = 0;
    while (!stop_) {
        std::this_thread::sleep_for(50ms);
        const brix::LinkCounters now = brix::getLinkCounters();
        const auto steady = std::chrono::steady_clock::now();
        const Millis t = wallMs();
        if (now.framesReceived != seen.framesReceived) {
            lastFrame = steady;
            if (!up) {
                up = true;
                // The first frame of a run is no news; one after a silence is.
                if (everUp)
                    recorder_->record(Event{t, EventKind::LinkUp, "the modem answers again", ""});
                everUp = true;
            }
        } else if (up && steady - lastFrame > kLinkDownAfter) {
            up = false;
            recorder_->record(
                Event{t, EventKind::LinkDown, "no frame from the modem for 10 s", ""});
        }
        if (now.rfReports != seen.rfReports) {
            brix::history::RfSample s;
            s.t = t;
            brix::getFrequencies(s.rxFrequency, s.txFrequency);
            brix::getRateCodes(s.rxRateCode, s.txRateCode);
            s.attenuation = brix::getAttenuation();
            recorder_->record(s);
        }
        if (now.statisticsReports != seen.statisticsReports) {
            const brix::StatisticsCounters c = brix::getLastStatistics();
            brix::history::StatisticsSample s;
            s.t = t;
            s.period = static_cast<std::uint16_t>(c.period);
            s.counts = {
                c.txFragments, c.txPackets, static_cast<std::uint32_t>(c.txBytes), c.retransmitted,
                c.forwarded,   c.filtered,  static_cast<std::uint32_t>(c.rxBytes), c.grants};
            if (s.period >= 10)
                recorder_->record(s);
        }
        seen = now;
        const std::pair<std::string, std::string*> versions[] = {
            {session_.microcodeVersion(), &microcode}, {session_.bootVersion(), &boot}};
        for (const auto& [text, last] : versions) {
            if (!text.empty() && text != *last) {
                *last = text;
                recorder_->record(Event{t, EventKind::Version, latin1ToUtf8(text), ""});
            }
        }
        for (const ConsoleLine& line : session_.takeConsoleLines()) {
            if (skip > 0) {
                --skip;
                continue;
            }
            const int block = linesAfter(line.text);
            if (block >= 0) {
                skip = block;
                continue;
            }
            if (line.text.empty() ||
                (line.kind != brix::MessageKind::Error && line.kind != brix::MessageKind::Embedded))
                continue;
            recorder_->record(Event{
                msOf(line.time),
                line.kind == brix::MessageKind::Error ? EventKind::Error : EventKind::Embedded,
                latin1ToUtf8(line.text), ""});
        }
    }
}

}  // namespace brixctl

// The report of a store with known outages: each outage in the table with its times and what
// the modem said around it, the summary's counts, and the three files as their readers see them.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "report/report.h"

namespace brix::report {
namespace {

namespace fs = std::filesystem;
using history::Event;
using history::EventKind;

constexpr Millis kStart = 1'800'000'000'000;  // a day in 2027
constexpr Millis kMinute = 60'000;

class ReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
        char name[] = "/tmp/brix-report-XXXXXX";
        dir_ = ::mkdtemp(name);
        const std::string path = dir_ + "/h.sqlite3";
        std::string error;
        auto store = history::Store::open(path, false, error);
        ASSERT_NE(store, nullptr) << error;
        store->begin();
        // Two hours of reports every 3 s, silent during the two outages.
        for (Millis t = kStart; t < kStart + 120 * kMinute; t += 3000) {
            if ((t >= kStart + 30 * kMinute && t < kStart + 32 * kMinute) ||
                (t >= kStart + 80 * kMinute && t < kStart + 80 * kMinute + 45'000))
                continue;
            store->add(history::RfSample{t, 4525, 4, 300, 2, 6});
            store->add(history::StatisticsSample{t + 1, 300, {10, 100, 5000, 2, 50, 0, 9000, 7}});
        }
        const auto add = [&](Millis t, EventKind k, const char* text) {
            store->add(Event{t, k, text, ""});
        };
        add(kStart + 29 * kMinute + 50'000, EventKind::Embedded, "T3 timeout, ranging again");
        add(kStart + 30 * kMinute, EventKind::LinkDown, "nothing heard");
        add(kStart + 32 * kMinute, EventKind::LinkUp, "answers again");
        add(kStart + 32 * kMinute + 5000, EventKind::ChannelChange, "452.5 MHz -> 603.5 MHz");
        add(kStart + 80 * kMinute, EventKind::LinkDown, "nothing heard");
        add(kStart + 80 * kMinute + 45'000, EventKind::LinkUp, "answers again");
        add(kStart + 100 * kMinute, EventKind::Tune, "Tune to 603.5 MHz");
        add(kStart + 101 * kMinute, EventKind::Gap, "8 s");
        add(kStart + 1000, EventKind::Version, "2.05.17");
        add(kStart + 1000, EventKind::Version, "Boot 1.04.2");
        ASSERT_TRUE(store->commit());
        store.reset();

        auto read = history::Store::open(path, true, error);
        auto second = history::Store::open(path, true, error);
        d_.range.since = kStart;
        d_.range.until = kStart + 120 * kMinute;
        path_ = path;
        history::readRange(d_.range, *read, *second, nullptr, "", 1500);
        d_.all = history::Record{*read}.events(d_.range.since, d_.range.until, 20000, false);
        d_.allCount = static_cast<long>(d_.all.size());
        d_.source = "the history in " + path;
        d_.made = kStart + 121 * kMinute;
        analyse(d_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string file(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
    std::string path_;
    ReportData d_;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(ReportTest, EveryOutageWithItsTimesAndWhatTheModemSaidAroundIt) {
    ASSERT_EQ(d_.outages.size(), 2u);
    EXPECT_EQ(d_.outages[0].start, kStart + 30 * kMinute);
    EXPECT_EQ(d_.outages[0].end, kStart + 32 * kMinute);
    EXPECT_EQ(d_.outages[0].before, "T3 timeout, ranging again");
    EXPECT_EQ(d_.outages[0].after, "452.5 MHz -> 603.5 MHz");
    EXPECT_EQ(d_.outages[1].end - d_.outages[1].start, 45'000);
    EXPECT_EQ(d_.longest, 2 * kMinute);
    EXPECT_EQ(d_.downTotal, 2 * kMinute + 45'000);
    EXPECT_EQ(d_.microcode, "2.05.17");
    EXPECT_EQ(d_.receive, "452.5 MHz at 9.45 Mbit/s");
    const auto lines = summaryLines(d_);
    EXPECT_EQ(lines[0],
              "The link was down 2 times, for 2 min 45 s in all; the longest outage "
              "lasted 2 min.");
    EXPECT_EQ(lines[1],
              "1 gap shorter than an outage (nothing heard for 6 to 10 s); 1 retune; 1 "
              "change of the receive channel.");
    EXPECT_EQ(lines[2], "2.00% of the upstream packets were re-transmitted.");
}

// Versions are recorded when they change: the last hour's report of a store that learnt them
// at its start still names them, and holds only the hour's outage.
TEST_F(ReportTest, TheLastHoursReportNamesTheVersionsRecordedBeforeIt) {
    std::string error;
    auto read = history::Store::open(path_, true, error);
    auto second = history::Store::open(path_, true, error);
    ASSERT_NE(second, nullptr) << error;
    ReportData hour;
    hour.made = kStart + 121 * kMinute;
    readReport(hour, *read, *second, nullptr, kStart + 60 * kMinute, kStart + 120 * kMinute);
    EXPECT_EQ(hour.microcode, "2.05.17");
    EXPECT_EQ(hour.boot, "Boot 1.04.2");
    ASSERT_EQ(hour.outages.size(), 1u);
    EXPECT_EQ(hour.outages[0].start, kStart + 80 * kMinute);
}

// What the modem says reaches the files as brixctl's text shows it: an ESC or a BEL as "\x1b",
// a byte that is no UTF-8 as "\xff".
TEST_F(ReportTest, TheModemsControlCharactersAreShownEscapedNeverRaw) {
    d_.all.push_back(Event{kStart + 29 * kMinute + 55'000, EventKind::Embedded,
                           "ranging \x1b[31mfailed\a", "brix\x07tool"});
    d_.all.push_back(Event{kStart + 2000, EventKind::Version,
                           "2.05\x1b"
                           "17\xff",
                           ""});
    std::stable_sort(d_.all.begin(), d_.all.end(),
                     [](const Event& a, const Event& b) { return a.t < b.t; });
    analyse(d_);
    std::string error;
    ASSERT_TRUE(writeReport(d_, file("r.pdf"), error)) << error;
    ASSERT_TRUE(writeReport(d_, file("r.html"), error)) << error;
    const std::string html = slurp(file("r.html"));
    EXPECT_EQ(html.find('\x1b'), std::string::npos);
    EXPECT_EQ(html.find('\a'), std::string::npos);
    EXPECT_EQ(html.find('\xff'), std::string::npos);
    EXPECT_NE(html.find("ranging \\x1b[31mfailed\\x07 (brix\\x07tool)"), std::string::npos);
    EXPECT_NE(html.find("2.05\\x1b17\\xff"), std::string::npos);

    const std::string text = file("r.txt");
    ASSERT_EQ(std::system(("pdftotext -layout " + file("r.pdf") + " " + text).c_str()), 0);
    const std::string pdf = slurp(text);
    EXPECT_NE(pdf.find("2.05\\x1b17\\xff"), std::string::npos) << pdf;
    EXPECT_NE(pdf.find("ranging \\x1b[31mfailed\\x07"), std::string::npos) << pdf;
    EXPECT_EQ(pdf.find('\x1b'), std::string::npos);
}

// Berlin leaves summer time on 2026-10-25: 02:30 comes twice, at +02:00 and at +01:00. A range
// across it says both offsets and gives each time in its tables its own; one within an offset
// is told as before.
TEST_F(ReportTest, ARangeAcrossTheChangeOfOffsetGivesEachTimeItsOwn) {
    constexpr Millis kFirst = 1'792'888'200'000;  // 2026-10-25T00:30:00Z, 02:30 CEST
    constexpr Millis kHour = 60 * kMinute;
    ReportData autumn;
    autumn.range.since = kFirst - 12 * kHour - 30 * kMinute;
    autumn.range.until = kFirst + 11 * kHour + 30 * kMinute;
    autumn.made = autumn.range.until + kMinute;
    autumn.all = {Event{kFirst, EventKind::LinkDown, "nothing heard", ""},
                  Event{kFirst + kHour, EventKind::LinkUp, "answers again", ""}};
    autumn.allCount = 2;
    analyse(autumn);
    ASSERT_EQ(autumn.outages.size(), 1u);
    EXPECT_EQ(durationText(autumn.outages[0].end - autumn.outages[0].start), "1 h");
    EXPECT_EQ(zoneNote(autumn),
              "Times are local, from UTC+02:00 (CEST) to UTC+01:00 (CET); each time in the tables "
              "with its offset.");
    std::string error;
    ASSERT_TRUE(writeReport(autumn, file("autumn.html"), error)) << error;
    ASSERT_TRUE(writeReport(autumn, file("autumn.pdf"), error)) << error;
    const std::string html = slurp(file("autumn.html"));
    const std::string text = file("autumn.txt");
    ASSERT_EQ(std::system(("pdftotext -layout " + file("autumn.pdf") + " " + text).c_str()), 0);
    const std::string pdf = slurp(text);
    for (const std::string& page : {html, pdf}) {
        EXPECT_NE(page.find("2026-10-25 02:30:00 +02:00"), std::string::npos) << page;
        EXPECT_NE(page.find("2026-10-25 02:30:00 +01:00"), std::string::npos) << page;
        EXPECT_NE(page.find("from UTC+02:00 (CEST) to UTC+01:00 (CET); each time"),
                  std::string::npos);
        EXPECT_EQ(page.find("1h"), std::string::npos);  // the table's "1 h", as copied
    }

    // Winter at both ends, summer between: the offsets of its times are still two.
    ReportData year = autumn;
    year.range.since = 1'772'366'400'000;  // 2026-03-01
    year.range.until = 1'796'126'400'000;  // 2026-12-01
    year.all.insert(year.all.begin(), Event{1'782'907'200'000, EventKind::Tune, "Tune", ""});
    analyse(year);
    EXPECT_TRUE(year.severalOffsets);
    EXPECT_NE(zoneNote(year).find("at the start and the end, another offset between"),
              std::string::npos);

    // Within one offset: as ever, the times as they are.
    EXPECT_FALSE(d_.severalOffsets);
    EXPECT_EQ(zoneNote(d_), "Times are local, UTC+01:00 (CET).");
    EXPECT_EQ(madeText(d_), "Made " + localDateTime(d_.made) + ".");
    EXPECT_EQ(tableTime(d_, kStart), localDateTime(kStart));
}

// Durations as brixctl's messages give them: to the nearest second, "2 h" in the table as in
// the summary.
TEST(ReportDuration, RoundsToTheNearestSecondInTheSummarysForm) {
    EXPECT_EQ(durationText(14'900), "15 s");
    EXPECT_EQ(durationText(14'499), "14 s");
    EXPECT_EQ(durationText(59'600), "1 min");
    EXPECT_EQ(durationText(75'000), "1 min 15 s");
    EXPECT_EQ(durationText(2 * 3'600'000 - 300), "2 h");
}

// A long range is read in slices whose means blend the channel the modem left with the one it
// took; the modem's section names the newest sample's, as stored, and never a mean of two.
TEST_F(ReportTest, TheModemsChannelsAreTheNewestSamplesOfALongRange) {
    constexpr Millis kDay = 24 * 60 * kMinute;
    const std::string path = file("retuned.sqlite3");
    std::string error;
    auto store = history::Store::open(path, false, error);
    ASSERT_NE(store, nullptr) << error;
    const Millis retuned = kStart + 7 * kDay + 10'000, end = kStart + 10 * kDay;
    store->begin();
    for (Millis t = kStart; t < end; t += 20'000)
        store->add(t < retuned ? history::RfSample{t, 4525, 4, 300, 2, 6}
                               : history::RfSample{t, 5552, 3, 310, 1, 6});
    ASSERT_TRUE(store->commit());
    const auto report = [&](Millis since, Millis until) {
        auto read = history::Store::open(path, true, error);
        auto second = history::Store::open(path, true, error);
        ReportData r;
        r.made = end;
        readReport(r, *read, *second, nullptr, since, until);
        return r;
    };
    const ReportData century = report(end - 36500 * kDay, end);
    EXPECT_EQ(century.receive, "555.2 MHz at 6.82 Mbit/s");
    EXPECT_EQ(century.transmit, "31.0 MHz at 3.20 Mbit/s");
    EXPECT_GT(century.range.rf.back().samples, 1);  // the chart's rows are slices still

    // Kept as minutes, the newest of a range that ends within the retune's minute is that
    // minute: both channels it held, not their mean.
    while (store->consolidate(end + 8 * kDay) > 0) {
    }
    store.reset();
    const ReportData minutes = report(kStart, kStart + 7 * kDay + 30'000);
    EXPECT_EQ(minutes.receive, "452.5 to 555.2 MHz at 6.82 to 9.45 Mbit/s");
    EXPECT_EQ(report(end - 36500 * kDay, end).receive, "555.2 MHz at 6.82 Mbit/s");
}

TEST_F(ReportTest, ThePdfSaysItInLocalTimeTheHtmlAsksNoOtherHostThePngIsTheCharts) {
    std::string error;
    ASSERT_TRUE(writeReport(d_, file("r.pdf"), error)) << error;
    ASSERT_TRUE(writeReport(d_, file("r.html"), error)) << error;
    ASSERT_TRUE(writeReport(d_, file("r.PNG"), error)) << error;
    // Read back as a person reads it: the outage's start in Berlin's time, the zone named.
    const std::string text = file("r.txt");
    ASSERT_EQ(std::system(("pdftotext -layout " + file("r.pdf") + " " + text).c_str()), 0);
    const std::string pdf = slurp(text);
    EXPECT_NE(pdf.find("Cable modem report"), std::string::npos);
    EXPECT_NE(pdf.find(localDateTime(kStart + 30 * kMinute)), std::string::npos) << pdf;
    EXPECT_NE(pdf.find("UTC+01:00"), std::string::npos);
    EXPECT_NE(pdf.find("T3 timeout, ranging again"), std::string::npos);
    EXPECT_NE(pdf.find("2 min 45 s"), std::string::npos);

    const std::string html = slurp(file("r.html"));
    EXPECT_NE(html.find("default-src 'none'"), std::string::npos);
    for (const char* external : {"src=\"http", "href=\"http", "url(http", "@import"})
        EXPECT_EQ(html.find(external), std::string::npos) << external;
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_NE(html.find("<svg"), std::string::npos);

    const std::string png = slurp(file("r.PNG"));
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(png.substr(1, 3), "PNG");

    // What it is not given a form for, and where it cannot write, is told; nothing is left.
    EXPECT_FALSE(writeReport(d_, file("r.docx"), error));
    EXPECT_NE(error.find(".pdf, .html or .png"), std::string::npos);
    EXPECT_FALSE(writeReport(d_, file("no/such/folder/r.pdf"), error));
    EXPECT_EQ(error, file("no/such/folder/r.pdf") + ": No such file or directory");
    for (const auto& e : fs::directory_iterator(dir_))
        EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos);
}

// A report written again keeps the file's mode; one written to a symbolic link replaces the
// file it names and leaves the link; a failure while writing (a full disk, here a file size
// limit) names its cause and leaves the old report whole.
TEST_F(ReportTest, WrittenAgainThroughALinkOrFailingTheOldFileIsKept) {
    std::string error;
    const std::string report = file("r.html");
    ASSERT_TRUE(writeReport(d_, report, error)) << error;
    fs::permissions(report, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(writeReport(d_, report, error)) << error;
    EXPECT_EQ(fs::status(report).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    fs::create_directory(file("kept"));
    fs::create_symlink("kept/target.html", file("link.html"));  // not there yet
    ASSERT_TRUE(writeReport(d_, file("link.html"), error)) << error;
    ASSERT_TRUE(fs::is_symlink(file("link.html")));
    const std::string first = slurp(file("kept/target.html"));
    EXPECT_NE(first.find("<svg"), std::string::npos);
    d_.source = "another store";
    ASSERT_TRUE(writeReport(d_, file("link.html"), error)) << error;
    ASSERT_TRUE(fs::is_symlink(file("link.html")));
    EXPECT_NE(slurp(file("kept/target.html")).find("another store"), std::string::npos);
    fs::create_symlink("loop.pdf", file("loop.pdf"));
    EXPECT_FALSE(writeReport(d_, file("loop.pdf"), error));
    EXPECT_EQ(error, file("loop.pdf") + ": Too many levels of symbolic links");

    const std::string before = slurp(report);
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit was{};
    ::getrlimit(RLIMIT_FSIZE, &was);
    rlimit small = was;
    small.rlim_cur = 4096;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const bool written = writeReport(d_, report, error);
    ::setrlimit(RLIMIT_FSIZE, &was);
    EXPECT_FALSE(written);
    EXPECT_EQ(error, report + ": File too large");
    EXPECT_EQ(slurp(report), before);
    for (const char* folder : {"", "/kept"})
        for (const auto& e : fs::directory_iterator(dir_ + folder))
            EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos);
}

}  // namespace
}  // namespace brix::report

#include "brixctl/commands.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string_view>

#include <nlohmann/json.hpp>

#include "brixctl/output.h"
#include "brixctl/session.h"
#include "brixctl/values.h"
#include "channels/channel_table.h"
#include "domain/clock.h"
#include "domain/frequency.h"
#include "domain/rates.h"
#include "domain/text.h"

namespace brixctl {

using nlohmann::ordered_json;
using namespace std::chrono_literals;

namespace {

using Clock = Session::Clock;

std::string nowText() {
    return isoTime(brix::unixMsNow());
}

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

const char* kindName(brix::MessageKind kind) {
    switch (kind) {
        case brix::MessageKind::Embedded:
            return "Embedded";
        case brix::MessageKind::Driver:
            return "Driver";
        case brix::MessageKind::Application:
            return "Application";
        case brix::MessageKind::Error:
            return "Error";
    }
    return "Unknown";
}

ordered_json rateJson(std::optional<double> mbps) {
    return mbps ? ordered_json(*mbps) : ordered_json(nullptr);
}

// The RF values of the last report and the rates the tool derives from the statistics (null
// until a statistics report was taken: a 0 would read as a measured idle line).
ordered_json rfJson(const Session& s) {
    std::uint16_t rxF = 0, txF = 0, rxCode = 0, txCode = 0;
    brix::getFrequencies(rxF, txF);
    brix::getRateCodes(rxCode, txCode);
    const std::uint16_t attenuation = brix::getAttenuation();
    std::int32_t rxPackets = 0, grants = 0, third = 0, txFragments = 0, txLevel = 0,
                 retransmits = 0;
    brix::getStatisticsRates(0, rxPackets, grants, third);
    brix::getStatisticsRates(1, txFragments, txLevel, retransmits);
    const bool measured = s.statisticsReports() > 0;
    const auto rate = [&](std::int32_t v) { return measured ? ordered_json(v) : nullptr; };
    ordered_json j;
    j["receive"] = {{"frequency_mhz", rxF / 10.0},
                    {"bit_rate_mbps", rateJson(brix::codeRateMbps(rxCode))},
                    {"rate_code", rxCode}};
    j["transmit"] = {{"frequency_mhz", txF / 10.0},
                     {"bit_rate_mbps", rateJson(brix::codeRateMbps(txCode))},
                     {"rate_code", txCode}};
    j["attenuation_dbmv"] = -2 * static_cast<int>(attenuation);
    j["attenuation_code"] = attenuation;
    j["tx_level"] = txLevel;
    j["rates"] = {{"receive_packets", rate(rxPackets)},
                  {"grants", rate(grants)},
                  {"transmit_fragments", rate(txFragments)},
                  {"retransmits", rate(retransmits)}};
    return j;
}

ordered_json statisticsJson(const brix::StatisticsCounters& c) {
    const ordered_json values[] = {c.period / 100.0, c.txFragments,   c.txPackets,
                                   c.txBytes,        c.retransmitted, c.forwarded,
                                   c.filtered,       c.rxBytes,       c.grants};
    static_assert(std::size(values) == kStatisticsNames.size());
    ordered_json j;
    for (std::size_t i = 0; i < kStatisticsNames.size(); ++i)
        j[kStatisticsNames[i]] = values[i];
    return j;
}

void sendQuery(brix::MessageType type) {
    brix::sendFrame(brix::buildRequest(type).bytes, 12);
}

// The interface of the default route, the only one a broadcast leaves through.
std::string defaultRouteInterface() {
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line);  // the header
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, refs, use, metric, mask;
        if (fields >> name >> destination >> gateway >> flags >> refs >> use >> metric >> mask &&
            destination == "00000000" && mask == "00000000")
            return name;
    }
    return {};
}

// When nothing answered and other interfaces than the default route's are up, the modem may be
// cabled to one of them: say so, and how to reach it.
void suggestInterface(const Options& o) {
    if (!o.interfaceName.empty())
        return;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return;
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, ::freeifaddrs);
    const std::string route = defaultRouteInterface();
    std::vector<std::string> others;
    for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if ((a->ifa_flags & IFF_UP) == 0 || (a->ifa_flags & IFF_LOOPBACK) != 0 ||
            a->ifa_name == route ||
            std::find(others.begin(), others.end(), a->ifa_name) != others.end())
            continue;
        others.emplace_back(a->ifa_name);
    }
    if (others.empty())
        return;
    std::string names;
    for (std::size_t i = 0; i < others.size(); ++i)
        names += (i == 0 ? "" : i + 1 == others.size() ? " or " : ", ") + others[i];
    const std::string through = route.empty() ? std::string("the default route (there is none)")
                                              : route + ", the interface of the default route";
    std::fprintf(stderr,
                 "brixctl: broadcasts leave only through %s; if the modem is on %s, name it "
                 "with --interface\n",
                 brix::visibleText(through).c_str(), brix::visibleText(names).c_str());
}

int noAnswer(const Options& o, const char* what) {
    std::fprintf(stderr, "brixctl: no %s from the modem within %g s\n", what, o.timeout);
    suggestInterface(o);
    return kNoAnswer;
}

int interruptedBefore(const char* what) {
    std::fprintf(stderr, "brixctl: interrupted before %s\n", what);
    return kInterrupted;
}

// Waits for the answer to the one pending Get or Set; the link gives up after five sends
// two seconds apart.
std::optional<Reply> waitForReply(Session& s, bool table) {
    const auto deadline = after(brix::kSendsBeforeGiveUp * brix::kRetryPeriodMs / 1000.0 + 5);
    s.waitUntil(deadline, [&] { return table ? s.hasTableReply() : s.hasScannerReply(); });
    return table ? s.tableReply() : s.scannerReply();
}

// A request without its answer. An interrupt leaves a Set unconfirmed, not done: the modem may
// or may not have taken it.
int requestFailed(const Options& o, const char* what, bool set) {
    if (Session::interrupted()) {
        std::fprintf(stderr, "brixctl: interrupted before the modem %s the %s%s\n",
                     set ? "confirmed" : "answered", what,
                     set ? ": it may or may not have taken it" : "");
        return kInterrupted;
    }
    std::fprintf(stderr, "brixctl: no answer from the modem to the %s (%d sends)\n", what,
                 brix::kSendsBeforeGiveUp);
    suggestInterface(o);
    return kNoAnswer;
}

std::string channelFile(const Options& o) {
    return o.channelsFile.empty() ? kChannelFileName : o.channelsFile;
}

ordered_json scannerJson(const std::vector<std::uint8_t>& body) {
    const bool defaults = body[1] == brix::kShowDefaults;
    const std::uint8_t mask = defaults ? brix::kScannerDefaults[0] : body[0];
    ordered_json plans = ordered_json::object();
    for (const brix::ScannerPlan& p : brix::kScannerPlans) {
        ordered_json rates = ordered_json::array();
        if (mask & p.bit682)
            rates.push_back(6.82);
        if (mask & p.bit945)
            rates.push_back(9.45);
        plans[p.name] = std::move(rates);
    }
    return {{"mask", mask}, {"second_byte", body[1]}, {"defaults", defaults}, {"plans", plans}};
}

int setScanner(const Options& o, const std::uint8_t (&params)[2]) {
    Output out(o.format);
    Session s;
    if (const int rc = s.open(o.interfaceName))
        return rc;
    brix::requestSet(brix::DataItem::ScannerParams, brix::kScannerParamsLength, params);
    s.start();
    const auto reply = waitForReply(s, false);
    if (!reply || reply->gaveUp)
        return requestFailed(o, "Set of the scanner parameters", true);
    writeScanner(out, scannerJson(reply->body));
    return kDone;
}

// A table file, or standard input for "-", of at most 1 MiB: a table is a few kilobytes.
std::string readTableText(const std::string& file) {
    constexpr std::size_t kMax = 1 << 20;
    FILE* f = file == "-" ? stdin : std::fopen(file.c_str(), "rb");
    if (f == nullptr)
        throw BadValue{"cannot read " + file + ": " + std::strerror(errno)};
    std::string text(kMax, '\0');
    const std::size_t n = std::fread(text.data(), 1, kMax, f);
    const bool failed = std::ferror(f) != 0;
    const int error = errno;
    if (f != stdin)
        std::fclose(f);
    if (failed)
        throw BadValue{"cannot read " + file + ": " + std::strerror(error)};
    if (n == kMax)
        throw BadValue{(file == "-" ? std::string("standard input") : file) +
                       ": larger than 1 MiB"};
    text.resize(n);
    return text;
}

}  // namespace

int runStatus(const Options& o) {
    Output out(o.format);
    Session s;
    if (const int rc = s.open(o.interfaceName))
        return rc;
    sendQuery(brix::MessageType::Statistics);
    sendQuery(brix::MessageType::Version);
    s.start();
    const auto deadline = after(o.timeout);
    // A statistics report over less than 0.1 s (the answer to a query right after another
    // program's) is dropped by the link; asking again at once would only get another. The
    // status then shows the rates as unknown rather than wait for a longer period.
    const auto statisticsAnswered = [&] {
        return s.statisticsReports() > 0 || s.shortStatisticsReports() > 0;
    };
    const auto complete = [&] {
        return s.rfReports() > 0 && statisticsAnswered() && s.hasVersions();
    };
    // A lost datagram is asked for again four times a second while time is left.
    while (!s.waitUntil(std::min(deadline, after(0.25)), complete) && Clock::now() < deadline &&
           !Session::interrupted()) {
        if (s.rfReports() == 0)
            sendQuery(brix::MessageType::RfQuery);
        if (!statisticsAnswered())
            sendQuery(brix::MessageType::Statistics);
        if (s.microcodeVersion().empty() || s.bootVersion().empty())
            sendQuery(brix::MessageType::Version);
    }
    if (Session::interrupted() && !complete())
        return interruptedBefore("the modem answered");
    if (s.rfReports() == 0)
        return noAnswer(o, "RF report");
    ordered_json j = rfJson(s);
    j["statistics"] = s.statisticsReports() > 0 ? statisticsJson(brix::getLastStatistics())
                                                : ordered_json(nullptr);
    j["microcode_version"] = modemText(s.microcodeVersion());
    j["boot_version"] = modemText(s.bootVersion());
    j["link"] = ordered_json::parse(linkHolderJson());
    writeStatus(out, j);
    if (o.format == Format::Text)
        out.line("Link         " + linkHolderText());
    if (!statisticsAnswered())
        return noAnswer(o, "statistics report");
    if (j["microcode_version"].is_null() || j["boot_version"].is_null())
        return noAnswer(o, "version text");
    return kDone;
}

int runWatch(const Options& o, double interval, long count) {
    Output out(o.format);
    Session s;
    if (const int rc = s.open(o.interfaceName))
        return rc;
    sendQuery(brix::MessageType::Statistics);
    s.start();
    const auto rfReports = [&] { return s.rfReports(); };
    std::uint32_t seen = 0;
    // Since when a sample has been awaited: the start, or the period after the last sample.
    auto waitingSince = Clock::now();
    long printed = 0;
    for (bool first = true; !Session::interrupted(); first = false) {
        const auto periodStart = Clock::now();
        const auto periodEnd = periodStart + seconds(interval);
        if (!first) {
            sendQuery(brix::MessageType::RfQuery);
            sendQuery(brix::MessageType::Statistics);
        }
        // A sample is an RF report that arrives in its period, printed when it comes, with the
        // rates of the last statistics report. A period without one prints nothing: the values
        // held from an earlier report are not a new sample. A lost query is asked again twice a
        // second within a long period.
        bool arrived = false;
        for (auto ask = periodStart + 500ms; !arrived;) {
            const auto giveUp = waitingSince + seconds(o.timeout);
            arrived = s.waitUntil(std::min({periodEnd, giveUp, ask}),
                                  [&] { return rfReports() != seen || readerGone(); });
            if (readerGone())
                throw WriteFailed{EPIPE};
            if (Session::interrupted())
                return kDone;
            if (!arrived && Clock::now() >= giveUp)
                return noAnswer(o, "RF report");
            if (!arrived && Clock::now() >= periodEnd)
                break;
            if (!arrived) {
                sendQuery(brix::MessageType::RfQuery);
                ask += 500ms;
            }
        }
        if (arrived) {
            seen = rfReports();
            ordered_json j;
            j["time"] = nowText();
            const ordered_json rf = rfJson(s);
            for (const auto& [key, value] : rf.items())
                j[key] = value;
            writeSample(out, j);
            if (++printed == count)
                return kDone;
            waitingSince = periodEnd;
        }
        s.waitUntil(periodEnd, [] { return readerGone(); });
        if (readerGone())
            throw WriteFailed{EPIPE};
    }
    return kDone;
}

int runConsole(const Options& o, bool statistics, long count) {
    Output out(o.format);
    Session s;
    s.keepConsoleLines(statistics);
    if (const int rc = s.open(o.interfaceName))
        return rc;
    if (statistics)
        sendQuery(brix::MessageType::Statistics);
    s.start();
    // The modem must answer the first query within --timeout; afterwards the lines come as
    // they come (RF reports only when they change, debug messages now and then).
    const auto firstAnswer = after(o.timeout);
    long printed = 0;
    while (!Session::interrupted() && (count <= 0 || printed < count)) {
        s.waitUntil(after(1), [&] { return s.hasConsoleLines() || readerGone(); });
        if (readerGone())
            throw WriteFailed{EPIPE};
        if (!s.heard() && Clock::now() >= firstAnswer)
            return noAnswer(o, "answer");
        // Said, not hidden: lines lost while the reader of the output did not keep up.
        if (const std::uint64_t lost = s.takeLost(); lost > 0)
            std::fprintf(stderr,
                         "brixctl: %llu of the link's messages were lost: the output was not "
                         "read fast enough\n",
                         static_cast<unsigned long long>(lost));
        for (const ConsoleLine& line : s.takeConsoleLines()) {
            if (count > 0 && printed == count)
                break;
            writeConsoleLine(out, ordered_json{{"time", isoTime(brix::unixMs(line.time))},
                                               {"kind", kindName(line.kind)},
                                               {"text", brix::latin1ToUtf8(line.text)}});
            ++printed;
        }
    }
    return kDone;
}

int runTableGet(const Options& o) {
    Output out(o.format);
    Session s;
    if (const int rc = s.open(o.interfaceName))
        return rc;
    brix::requestGet(brix::DataItem::ChannelTable, brix::kChannelTableLength);
    s.start();
    const auto reply = waitForReply(s, true);
    if (!reply || reply->gaveUp)
        return requestFailed(o, "Get of the channel table", false);
    brix::ChannelTable stored;
    stored.load(channelFile(o));  // no file: no labels
    writeTable(out, tableJson(brix::ChannelTableBody::fromBytes(reply->body.data()), stored));
    return kDone;
}

int runTableSet(const Options& o, const std::string& file) {
    Output out(o.format);
    TableInput in;
    try {
        in = parseTableJson(readTableText(file));
    } catch (const BadValue& e) {
        std::fprintf(stderr, "brixctl: %s: %s\n", file == "-" ? "standard input" : file.c_str(),
                     e.message.c_str());
        return kUsage;
    }

    Session s;
    if (const int rc = s.open(o.interfaceName))
        return rc;
    brix::requestSet(brix::DataItem::ChannelTable, brix::kChannelTableLength, in.body.data());
    s.start();
    const auto reply = waitForReply(s, true);
    if (!reply || reply->gaveUp)
        return requestFailed(o, "Set of the channel table", true);

    // As the Advanced page does: the labels go with the table into the channel file.
    const std::string path = channelFile(o);
    brix::ChannelTable stored;
    stored.load(path);
    for (int k = 0; k < brix::kChannelCount; ++k) {
        if (const auto& label = in.labels[static_cast<std::size_t>(k)])
            stored.setLabel(k, *label);
    }
    stored.applyBody(brix::ChannelTableBody::fromBytes(reply->body.data()));
    if (std::string why; !stored.save(path, &why)) {
        std::fprintf(stderr, "brixctl: the modem took the table, but %s could not be written: %s\n",
                     path.c_str(), why.c_str());
        return kFailed;
    }
    writeTable(out, tableJson(brix::ChannelTableBody::fromBytes(reply->body.data()), stored));
    return kDone;
}

int runScannerGet(const Options& o) {
    Output out(o.format);
    Session s;
    if (const int rc = s.open(o.interfaceName))
        return rc;
    brix::requestGet(brix::DataItem::ScannerParams, brix::kScannerParamsLength);
    s.start();
    const auto reply = waitForReply(s, false);
    if (!reply || reply->gaveUp)
        return requestFailed(o, "Get of the scanner parameters", false);
    writeScanner(out, scannerJson(reply->body));
    return kDone;
}

int runScannerSet(const Options& o, const std::vector<std::string>& settings) {
    std::uint8_t mask = 0;
    try {
        for (const std::string& setting : settings)
            addScannerSetting(setting, mask);
    } catch (const BadValue& e) {
        std::fprintf(stderr, "brixctl: %s\n", e.message.c_str());
        return kUsage;
    }
    const std::uint8_t params[2] = {mask, 0x00};
    return setScanner(o, params);
}

int runScannerDefault(const Options& o) {
    return setScanner(o, brix::kScannerDefaults);
}

int runTune(const Options& o, const std::string& mhz, const std::optional<std::string>& mbits) {
    Output out(o.format);
    std::uint16_t frequency = 0;
    std::optional<int> code;
    try {
        frequency = parseFrequency(mhz);
        if (mbits)
            code = parseListRate(*mbits);
    } catch (const BadValue& e) {
        std::fprintf(stderr, "brixctl: %s\n", e.message.c_str());
        return kUsage;
    }
    Session s;
    if (const int rc = s.open(o.interfaceName))
        return rc;
    // As the Tuner sends them: a channel button both commands, Tune the frequency alone.
    if (code)
        brix::sendTuneChannel(frequency, static_cast<std::uint16_t>(*code));
    brix::sendTuneFrequency(frequency);
    s.start();
    const auto deadline = after(o.timeout);
    const auto matches = [&] {
        std::uint16_t rx = 0, tx = 0, rxCode = 0, txCode = 0;
        brix::getFrequencies(rx, tx);
        brix::getRateCodes(rxCode, txCode);
        return s.rfReports() > 0 && rx == frequency && (!code || rxCode == *code);
    };
    // Reports are not numbered: one that shows another channel may answer a query sent before
    // the tune (by this run, or late, by an earlier one). So the asked channel is awaited until
    // the deadline, asking again each half second, and only then is another one the answer.
    while (!s.waitUntil(std::min(deadline, after(0.5)), matches) && Clock::now() < deadline &&
           !Session::interrupted())
        sendQuery(brix::MessageType::RfQuery);
    const bool ok = matches();
    if (!ok && Session::interrupted())
        return interruptedBefore("the modem reported the asked channel");
    if (s.rfReports() == 0)
        return noAnswer(o, "RF report");
    ordered_json j{{"tuned", ok}};
    const ordered_json rf = rfJson(s);
    for (const auto& [key, value] : rf.items())
        j[key] = value;
    writeTune(out, j,
              brix::mhzUnitText(frequency) +
                  (code ? std::string(" at ") +
                              brix::kListRateTexts[static_cast<std::size_t>(*code)] + " Mbit/s"
                        : ""));
    return ok ? kDone : kOtherChannel;
}

}  // namespace brixctl

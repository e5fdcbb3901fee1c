#include "brixctl/commands.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string_view>

#include <nlohmann/json.hpp>

#include "brixctl/session.h"
#include "brixctl/values.h"
#include "channels/channel_table.h"

namespace brixctl {

using nlohmann::ordered_json;
using namespace std::chrono_literals;

std::string isoTime(std::int64_t unixMs) {
    const std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(unixMs % 1000));
    return text;
}

namespace {

std::int64_t unixMs(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

std::string nowText() {
    return isoTime(unixMs(std::chrono::system_clock::now()));
}

// One line out, at once: a reader at the other end of a pipe sees every sample as it comes.
void emit(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string csvField(const std::string& v) {
    if (v.find_first_of(",\"\r\n") == std::string::npos)
        return v;
    std::string out = "\"";
    for (const char c : v) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::string csvValue(const ordered_json& v) {
    if (v.is_null())
        return "";
    if (v.is_string())
        return csvField(v.get<std::string>());
    return v.dump();
}

// Header and row of a flat object (nested objects joined with '.').
void flatten(const ordered_json& v, const std::string& prefix,
             std::vector<std::pair<std::string, std::string>>& out) {
    if (v.is_object()) {
        for (const auto& [key, value] : v.items())
            flatten(value, prefix.empty() ? key : prefix + "." + key, out);
    } else {
        out.emplace_back(prefix, csvValue(v));
    }
}

void emitCsvRow(const ordered_json& v, bool header) {
    std::vector<std::pair<std::string, std::string>> cells;
    flatten(v, "", cells);
    std::string head;
    std::string row;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        head += (i ? "," : "") + csvField(cells[i].first);
        row += (i ? "," : "") + cells[i].second;
    }
    if (header)
        emit(head);
    emit(row);
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

std::string fixed(double v, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

ordered_json rateJson(std::optional<double> mbps) {
    return mbps ? ordered_json(*mbps) : ordered_json(nullptr);
}

std::string rateText(std::optional<double> mbps) {
    return mbps ? fixed(*mbps, 2) + " Mbit/s" : std::string("? Mbit/s");
}

// The RF values of the last report and the rates the tool derives from the statistics.
ordered_json rfJson() {
    std::uint16_t rxF = 0, txF = 0, rxCode = 0, txCode = 0;
    brix::getFrequencies(rxF, txF);
    brix::getRateCodes(rxCode, txCode);
    const std::uint16_t attenuation = brix::getAttenuation();
    std::int32_t rxPackets = 0, grants = 0, third = 0, txFragments = 0, txLevel = 0,
                 retransmits = 0;
    brix::getStatisticsRates(0, rxPackets, grants, third);
    brix::getStatisticsRates(1, txFragments, txLevel, retransmits);
    ordered_json j;
    j["receive"] = {{"frequency_mhz", rxF / 10.0},
                    {"bit_rate_mbps", rateJson(codeRateMbps(rxCode))},
                    {"rate_code", rxCode}};
    j["transmit"] = {{"frequency_mhz", txF / 10.0},
                     {"bit_rate_mbps", rateJson(codeRateMbps(txCode))},
                     {"rate_code", txCode}};
    j["attenuation_dbmv"] = -2 * static_cast<int>(attenuation);
    j["attenuation_code"] = attenuation;
    j["tx_level"] = txLevel;
    j["rates"] = {{"receive_packets", rxPackets},
                  {"grants", grants},
                  {"transmit_fragments", txFragments},
                  {"retransmits", retransmits}};
    return j;
}

std::string rfText(const ordered_json& j) {
    std::string s;
    for (const char* side : {"receive", "transmit"}) {
        const ordered_json& c = j[side];
        char line[128];
        std::snprintf(line, sizeof line, "%-12s %7.1f MHz  %s (code %d)\n",
                      side[0] == 'r' ? "Receive" : "Transmit", c["frequency_mhz"].get<double>(),
                      rateText(c["bit_rate_mbps"].is_null()
                                   ? std::nullopt
                                   : std::optional<double>(c["bit_rate_mbps"].get<double>()))
                          .c_str(),
                      c["rate_code"].get<int>());
        s += line;
    }
    s += "Attenuation  " + std::to_string(j["attenuation_dbmv"].get<int>()) + " dBmV (code " +
         std::to_string(j["attenuation_code"].get<int>()) + ", txLevel " +
         std::to_string(j["tx_level"].get<int>()) + ")\n";
    const ordered_json& r = j["rates"];
    s += "Rates        receive packets " + r["receive_packets"].dump() + ", grants " +
         r["grants"].dump() + ", transmit fragments " + r["transmit_fragments"].dump() +
         ", retransmits " + r["retransmits"].dump() + "\n";
    return s;
}

ordered_json statisticsJson(const brix::StatisticsCounters& c) {
    return {{"period_seconds", c.period / 100.0},
            {"upstream_transmitted_fragments", c.txFragments},
            {"upstream_transmitted_packets", c.txPackets},
            {"upstream_transmitted_bytes", c.txBytes},
            {"upstream_packets_retransmitted", c.retransmitted},
            {"downstream_packets_forwarded", c.forwarded},
            {"downstream_packets_filtered", c.filtered},
            {"downstream_bytes_forwarded", c.rxBytes},
            {"upstream_transmission_grants", c.grants}};
}

void sendQuery(brix::MessageType type) {
    brix::sendFrame(brix::buildRequest(type).bytes, 12);
}

bool noAnswer(const Options& o, const char* what) {
    std::fprintf(stderr, "brixctl: no %s from the modem within %g s\n", what, o.timeout);
    return false;
}

// Waits for the answer to the one pending Get or Set; the link gives up after five sends
// two seconds apart.
std::optional<Reply> waitForReply(Session& s, bool table) {
    const auto deadline = after(brix::kSendsBeforeGiveUp * brix::kRetryPeriodMs / 1000.0 + 5);
    s.waitUntil(deadline, [&] { return table ? s.hasTableReply() : s.hasScannerReply(); });
    return table ? s.tableReply() : s.scannerReply();
}

int requestFailed(const char* what) {
    if (Session::interrupted())
        return kDone;
    std::fprintf(stderr, "brixctl: no answer from the modem to the %s (%d sends)\n", what,
                 brix::kSendsBeforeGiveUp);
    return kNoAnswer;
}

std::string channelFile(const Options& o) {
    return o.channelsFile.empty() ? kChannelFileName : o.channelsFile;
}

void printTable(const Options& o, const ordered_json& table) {
    const ordered_json& channels = table["channels"];
    if (o.format == Format::Json) {
        emit(table.dump(2));
    } else if (o.format == Format::Csv) {
        bool first = true;
        for (const ordered_json& c : channels) {
            emitCsvRow(c, first);
            first = false;
        }
    } else {
        emit(" #  Frequency      Bit rate  Label");
        for (const ordered_json& c : channels) {
            char line[160];
            const std::string rate = c["bit_rate_mbps"].is_null()
                                         ? "(" + c["bit_rate_index"].dump() + ")"
                                         : fixed(c["bit_rate_mbps"].get<double>(), 2);
            std::snprintf(line, sizeof line, "%2d  %7.1f MHz  %6s Mbit/s  %s",
                          c["channel"].get<int>(), c["frequency_mhz"].get<double>(), rate.c_str(),
                          c["label"].get<std::string>().c_str());
            emit(line);
        }
    }
}

ordered_json scannerJson(const std::vector<std::uint8_t>& body) {
    const bool defaults = body[1] == kShowDefaults;
    const std::uint8_t mask = defaults ? kScannerDefaults[0] : body[0];
    ordered_json plans = ordered_json::object();
    for (const ScannerPlan& p : kScannerPlans) {
        ordered_json rates = ordered_json::array();
        if (mask & p.bit682)
            rates.push_back(6.82);
        if (mask & p.bit945)
            rates.push_back(9.45);
        plans[p.name] = std::move(rates);
    }
    return {{"mask", mask}, {"second_byte", body[1]}, {"defaults", defaults}, {"plans", plans}};
}

void printScanner(const Options& o, const ordered_json& j) {
    if (o.format == Format::Json) {
        emit(j.dump(2));
        return;
    }
    if (o.format == Format::Csv) {
        emit("plan,rate_6_82,rate_9_45");
        for (const auto& [plan, rates] : j["plans"].items()) {
            const auto has = [&](double r) {
                return std::find(rates.begin(), rates.end(), r) != rates.end() ? "1" : "0";
            };
            emit(plan + "," + has(6.82) + "," + has(9.45));
        }
        return;
    }
    char head[64];
    std::snprintf(head, sizeof head, "Scan mask 0x%02X%s", j["mask"].get<int>(),
                  j["defaults"].get<bool>() ? " (the modem's defaults)" : "");
    emit(head);
    for (const auto& [plan, rates] : j["plans"].items()) {
        std::string line = plan;
        line.resize(7, ' ');
        if (rates.empty())
            line += "off";
        for (const ordered_json& r : rates)
            line += fixed(r.get<double>(), 2) + " ";
        emit(line);
    }
}

int setScanner(const Options& o, const std::uint8_t (&params)[2]) {
    Session s;
    if (const int rc = s.open(o.interfaceName))
        return rc;
    brix::requestSet(brix::DataItem::ScannerParams, brix::kScannerParamsLength, params);
    s.start();
    const auto reply = waitForReply(s, false);
    if (!reply || reply->gaveUp)
        return requestFailed("Set of the scanner parameters");
    printScanner(o, scannerJson(reply->body));
    return kDone;
}

}  // namespace

int runStatus(const Options& o) {
    Session s;
    if (const int rc = s.open(o.interfaceName))
        return rc;
    sendQuery(brix::MessageType::Statistics);
    sendQuery(brix::MessageType::Version);
    s.start();
    const auto deadline = after(o.timeout);
    const auto complete = [&] {
        const brix::LinkCounters c = brix::getLinkCounters();
        return c.rfReports > 0 && c.statisticsReports > 0 && s.hasVersions();
    };
    // A lost datagram, or a statistics report over too short a period, is asked for again
    // four times a second while time is left.
    while (!s.waitUntil(std::min(deadline, after(0.25)), complete) &&
           Session::Clock::now() < deadline && !Session::interrupted()) {
        const brix::LinkCounters c = brix::getLinkCounters();
        if (c.rfReports == 0)
            sendQuery(brix::MessageType::RfQuery);
        if (c.statisticsReports == 0)
            sendQuery(brix::MessageType::Statistics);
        if (s.microcodeVersion().empty() || s.bootVersion().empty())
            sendQuery(brix::MessageType::Version);
    }
    const brix::LinkCounters c = brix::getLinkCounters();
    if (c.rfReports == 0) {
        noAnswer(o, "RF report");
        return kNoAnswer;
    }
    ordered_json j = rfJson();
    j["statistics"] =
        c.statisticsReports > 0 ? statisticsJson(brix::getLastStatistics()) : ordered_json(nullptr);
    const std::string microcode = s.microcodeVersion();
    const std::string boot = s.bootVersion();
    j["microcode_version"] = microcode.empty() ? ordered_json(nullptr) : ordered_json(microcode);
    j["boot_version"] = boot.empty() ? ordered_json(nullptr) : ordered_json(boot);

    if (o.format == Format::Json) {
        j["link"] = ordered_json::parse(linkHolderJson());
        emit(j.dump(2));
    } else if (o.format == Format::Csv) {
        emitCsvRow(j, true);
    } else {
        std::string text = rfText(j);
        if (!j["statistics"].is_null()) {
            const ordered_json& st = j["statistics"];
            text += "Statistics   period " + fixed(st["period_seconds"].get<double>(), 2) + " s\n";
            for (const auto& [key, value] : st.items()) {
                if (key == "period_seconds")
                    continue;
                std::string name = key;
                std::replace(name.begin(), name.end(), '_', ' ');
                name.resize(34, ' ');
                text += "  " + name + value.dump() + "\n";
            }
        }
        text += "Microcode    " + (microcode.empty() ? std::string("?") : microcode) + "\n";
        text += "Boot         " + (boot.empty() ? std::string("?") : boot) + "\n";
        text += "Link         " + linkHolderText();
        emit(text);
    }
    if (c.statisticsReports == 0)
        return noAnswer(o, "statistics report"), kNoAnswer;
    if (microcode.empty() || boot.empty())
        return noAnswer(o, "version text"), kNoAnswer;
    return kDone;
}

int runWatch(const Options& o, double interval, long count) {
    Session s;
    if (const int rc = s.open(o.interfaceName))
        return rc;
    sendQuery(brix::MessageType::Statistics);
    s.start();
    auto lastRf = Session::Clock::now();
    std::uint32_t seenRf = 0;
    for (long n = 0; (count <= 0 || n < count) && !Session::interrupted(); ++n) {
        const auto start = Session::Clock::now();
        if (n > 0) {
            sendQuery(brix::MessageType::RfQuery);
            sendQuery(brix::MessageType::Statistics);
        }
        // A sample is taken when its RF report comes; the rates are those of the last
        // statistics report. Waiting for a statistics report as well would hold a sample back
        // whenever the modem's answer carries too short a period, and bunch it with the next.
        const std::uint32_t before = brix::getLinkCounters().rfReports;
        const auto sampleDeadline = std::max(start + 50ms, after(interval) - 20ms);
        s.waitUntil(sampleDeadline,
                    [&] { return brix::getLinkCounters().rfReports > std::max(before, seenRf); });
        if (Session::interrupted())
            break;
        const brix::LinkCounters c = brix::getLinkCounters();
        if (c.rfReports > seenRf) {
            seenRf = c.rfReports;
            lastRf = Session::Clock::now();
        } else if (Session::Clock::now() - lastRf > std::chrono::duration<double>(o.timeout)) {
            noAnswer(o, "RF report");
            return kNoAnswer;
        } else if (seenRf == 0) {
            --n;  // no sample before the first report
            continue;
        }
        ordered_json j;
        j["time"] = nowText();
        const ordered_json rf = rfJson();
        for (const auto& [key, value] : rf.items())
            j[key] = value;
        if (o.format == Format::Json) {
            emit(j.dump());
        } else if (o.format == Format::Csv) {
            emitCsvRow(j, n == 0);
        } else {
            emit(j["time"].get<std::string>() + "\n" + rfText(j));
        }
        s.waitUntil(start + std::chrono::duration_cast<Session::Clock::duration>(
                                std::chrono::duration<double>(interval)),
                    [] { return false; });
    }
    return kDone;
}

int runConsole(const Options& o, bool statistics, long count) {
    Session s;
    s.keepConsoleLines();
    if (const int rc = s.open(o.interfaceName))
        return rc;
    if (statistics) {
        brix::setStatisticsMessages(1);
        sendQuery(brix::MessageType::Statistics);
    }
    s.start();
    bool header = true;
    long printed = 0;
    while (!Session::interrupted() && (count <= 0 || printed < count)) {
        s.waitUntil(after(1), [&] { return s.hasConsoleLines(); });
        for (const ConsoleLine& line : s.takeConsoleLines()) {
            if (count > 0 && printed == count)
                break;
            const std::string time = isoTime(unixMs(line.time));
            if (o.format == Format::Json) {
                emit(ordered_json{{"time", time},
                                  {"kind", kindName(line.kind)},
                                  {"text", latin1ToUtf8(line.text)}}
                         .dump());
            } else if (o.format == Format::Csv) {
                if (header)
                    emit("time,kind,text");
                emit(time + "," + kindName(line.kind) + "," + csvField(latin1ToUtf8(line.text)));
            } else {
                char kind[16];
                std::snprintf(kind, sizeof kind, "%-11s", kindName(line.kind));
                emit(time + " " + kind + " " + latin1ToUtf8(line.text));
            }
            header = false;
            ++printed;
        }
    }
    return kDone;
}

int runTableGet(const Options& o) {
    Session s;
    if (const int rc = s.open(o.interfaceName))
        return rc;
    brix::requestGet(brix::DataItem::ChannelTable, brix::kChannelTableLength);
    s.start();
    const auto reply = waitForReply(s, true);
    if (!reply || reply->gaveUp)
        return requestFailed("Get of the channel table");
    brix::ChannelTable stored;
    stored.load(channelFile(o));  // no file: no labels
    printTable(o, tableJson(brix::ChannelTableBody::fromBytes(reply->body.data()), stored));
    return kDone;
}

int runTableSet(const Options& o, const std::string& file) {
    TableInput in;
    try {
        std::ifstream f(file, std::ios::binary);
        if (!f) {
            std::fprintf(stderr, "brixctl: cannot read %s\n", file.c_str());
            return kUsage;
        }
        std::string text;
        // A table is a few kilobytes; anything much larger is not one.
        text.resize(1 << 20);
        f.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(f.gcount()));
        if (f.gcount() == (1 << 20))
            throw BadValue{"the file is larger than 1 MiB"};
        in = parseTableJson(text);
    } catch (const BadValue& e) {
        std::fprintf(stderr, "brixctl: %s: %s\n", file.c_str(), e.message.c_str());
        return kUsage;
    }

    Session s;
    if (const int rc = s.open(o.interfaceName))
        return rc;
    brix::requestSet(brix::DataItem::ChannelTable, brix::kChannelTableLength, in.body.data());
    s.start();
    const auto reply = waitForReply(s, true);
    if (!reply || reply->gaveUp)
        return requestFailed("Set of the channel table");

    // As the Advanced page does: the labels go with the table into the channel file.
    const std::string path = channelFile(o);
    brix::ChannelTable stored;
    stored.load(path);
    for (int k = 0; k < brix::kChannelCount; ++k) {
        if (const auto& label = in.labels[static_cast<std::size_t>(k)])
            stored.setLabel(k, *label);
    }
    stored.applyBody(brix::ChannelTableBody::fromBytes(reply->body.data()));
    if (!stored.save(path)) {
        std::fprintf(stderr, "brixctl: the modem took the table, but %s could not be written\n",
                     path.c_str());
        return kFailed;
    }
    printTable(o, tableJson(brix::ChannelTableBody::fromBytes(reply->body.data()), stored));
    return kDone;
}

int runScannerGet(const Options& o) {
    Session s;
    if (const int rc = s.open(o.interfaceName))
        return rc;
    brix::requestGet(brix::DataItem::ScannerParams, brix::kScannerParamsLength);
    s.start();
    const auto reply = waitForReply(s, false);
    if (!reply || reply->gaveUp)
        return requestFailed("Get of the scanner parameters");
    printScanner(o, scannerJson(reply->body));
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
    return setScanner(o, kScannerDefaults);
}

int runTune(const Options& o, const std::string& mhz, const std::optional<std::string>& mbits) {
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
    // Every one of these sends was followed by an RfQuery (the first one by the open).
    const std::uint32_t queries = code ? 3 : 2;
    s.start();
    const auto deadline = after(o.timeout);
    const auto matches = [&] {
        std::uint16_t rx = 0, tx = 0, rxCode = 0, txCode = 0;
        brix::getFrequencies(rx, tx);
        brix::getRateCodes(rxCode, txCode);
        return brix::getLinkCounters().rfReports > 0 && rx == frequency &&
               (!code || rxCode == *code);
    };
    // The report to the last query is the modem's answer when it shows another channel.
    while (
        !s.waitUntil(std::min(deadline, after(1)),
                     [&] { return matches() || brix::getLinkCounters().rfReports >= queries; }) &&
        Session::Clock::now() < deadline && !Session::interrupted())
        sendQuery(brix::MessageType::RfQuery);
    const brix::LinkCounters c = brix::getLinkCounters();
    if (c.rfReports == 0) {
        noAnswer(o, "RF report");
        return kNoAnswer;
    }
    const ordered_json j = rfJson();
    const bool ok = matches();
    if (o.format == Format::Json) {
        ordered_json out{{"tuned", ok}};
        for (const auto& [key, value] : j.items())
            out[key] = value;
        emit(out.dump(2));
    } else if (o.format == Format::Csv) {
        ordered_json out{{"tuned", ok}, {"receive", j["receive"]}, {"transmit", j["transmit"]}};
        emitCsvRow(out, true);
    } else {
        const std::string text = rfText(j);
        emit(text.substr(0, text.find("Attenuation")) +
             (ok ? "The modem reports the asked channel."
                 : "The modem reports another channel than " + mhzText(frequency) + " MHz" +
                       (code ? " at " + fixed(kListRates[*code] / 100.0, 2) + " Mbit/s" : "") +
                       "."));
    }
    return ok ? kDone : kOtherChannel;
}

}  // namespace brixctl

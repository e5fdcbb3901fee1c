#include "brixctl/output.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <utility>

namespace brixctl {

using nlohmann::ordered_json;

const std::array<const char*, 9> kStatisticsNames = {
    "period_seconds",
    "upstream_transmitted_fragments",
    "upstream_transmitted_packets",
    "upstream_transmitted_bytes",
    "upstream_packets_retransmitted",
    "downstream_packets_forwarded",
    "downstream_packets_filtered",
    "downstream_bytes_forwarded",
    "upstream_transmission_grants",
};

ordered_json modemText(std::string_view latin1) {
    return latin1.empty() ? ordered_json(nullptr) : ordered_json(brix::latin1ToUtf8(latin1));
}

bool readerGone() {
    pollfd p{STDOUT_FILENO, 0, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

namespace {

// A CSV field: quoted when it holds a separator, a quote or a line break.
std::string csvField(std::string_view v) {
    if (v.find_first_of(",\"\r\n") == std::string::npos)
        return std::string(v);
    std::string out = "\"";
    for (const char c : v) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace

std::string fixed(double v, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

void Output::write(std::string_view text) {
    // One line out, at once: a reader at the other end of a pipe sees every sample as it comes.
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fputc('\n', stdout) == EOF || std::fflush(stdout) != 0)
        throw WriteFailed{errno != 0 ? errno : EIO};
}

void Output::line(std::string_view text) {
    write(brix::visibleText(text));
}

std::string jsonText(const ordered_json& doc, int indent) {
    // The texts in a document are UTF-8 already; a byte that is not still must not abort the
    // output, so it becomes U+FFFD.
    // DEL and the C1 controls (U+0080..U+009F; a terminal takes U+009B as CSI) are escaped too,
    // as JSON allows: the same text for a program, nothing a terminal acts on for a person.
    const std::string dumped = doc.dump(indent, ' ', false, ordered_json::error_handler_t::replace);
    std::string safe;
    safe.reserve(dumped.size());
    for (std::size_t i = 0; i < dumped.size(); ++i) {
        const auto c = static_cast<unsigned char>(dumped[i]);
        char escaped[8];
        if (c == 0x7F) {
            safe += "\\u007f";
        } else if (c == 0xC2 && i + 1 < dumped.size() &&
                   static_cast<unsigned char>(dumped[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(dumped[i + 1]) <= 0x9F) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x",
                          static_cast<unsigned char>(dumped[i + 1]));
            safe += escaped;
            ++i;
        } else {
            safe += dumped[i];
        }
    }
    return safe;
}

void Output::json(const ordered_json& doc, bool oneLine) {
    write(jsonText(doc, oneLine ? -1 : 2));
}

namespace {

std::string csvValue(const ordered_json& v) {
    if (v.is_null())
        return "";
    // A CSV is read on a terminal as often as in a spreadsheet: control characters as text.
    if (v.is_string())
        return csvField(brix::visibleText(v.get<std::string>()));
    return v.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

void flatten(const ordered_json& v, const std::string& prefix,
             std::vector<std::pair<std::string, std::string>>& out) {
    if (v.is_object()) {
        for (const auto& [key, value] : v.items())
            flatten(value, prefix.empty() ? key : prefix + "." + key, out);
    } else {
        out.emplace_back(prefix, csvValue(v));
    }
}

}  // namespace

void Output::csvRow(const ordered_json& row) {
    std::vector<std::pair<std::string, std::string>> cells;
    flatten(row, "", cells);
    std::string head;
    std::string values;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        head += (i ? "," : "") + csvField(cells[i].first);
        values += (i ? "," : "") + cells[i].second;
    }
    if (!csvHeaderDone_)
        write(head);
    csvHeaderDone_ = true;
    write(values);
}

namespace {

std::optional<double> number(const ordered_json& v) {
    return v.is_number() ? std::optional<double>(v.get<double>()) : std::nullopt;
}

std::string numberText(const ordered_json& v) {
    return v.is_null() ? std::string("?") : v.dump();
}

std::string rateText(const ordered_json& mbps) {
    const auto v = number(mbps);
    return v ? fixed(*v, 2) + " Mbit/s" : std::string("? Mbit/s");
}

// The RF lines of a status, sample or tune: receive, transmit, attenuation, rates.
std::vector<std::string> rfLines(const ordered_json& j) {
    std::vector<std::string> lines;
    for (const char* side : {"receive", "transmit"}) {
        const ordered_json& c = j[side];
        char line[128];
        std::snprintf(line, sizeof line, "%-12s %7.1f MHz  %s (code %d)",
                      side[0] == 'r' ? "Receive" : "Transmit", c["frequency_mhz"].get<double>(),
                      rateText(c["bit_rate_mbps"]).c_str(), c["rate_code"].get<int>());
        lines.emplace_back(line);
    }
    lines.push_back("Attenuation  " + std::to_string(j["attenuation_dbmv"].get<int>()) +
                    " dBmV (code " + std::to_string(j["attenuation_code"].get<int>()) +
                    ", txLevel " + std::to_string(j["tx_level"].get<int>()) + ")");
    const ordered_json& r = j["rates"];
    if (r["receive_packets"].is_null()) {
        lines.emplace_back("Rates        unknown (no statistics report of 0.1 s or more)");
    } else {
        lines.push_back("Rates        receive packets " + numberText(r["receive_packets"]) +
                        ", grants " + numberText(r["grants"]) + ", transmit fragments " +
                        numberText(r["transmit_fragments"]) + ", retransmits " +
                        numberText(r["retransmits"]));
    }
    return lines;
}

std::string textOrUnknown(const ordered_json& v) {
    return v.is_string() ? v.get<std::string>() : std::string("?");
}

}  // namespace

void writeStatus(Output& out, const ordered_json& j) {
    if (out.format() == Format::Json)
        return out.json(j);
    if (out.format() == Format::Csv) {
        if (!j["statistics"].is_null())
            return out.csvRow(j);
        // The same columns as a status with a report.
        ordered_json row = j;
        row["statistics"] = ordered_json::object();
        for (const char* name : kStatisticsNames)
            row["statistics"][name] = nullptr;
        return out.csvRow(row);
    }
    for (const std::string& line : rfLines(j))
        out.line(line);
    if (const ordered_json& st = j["statistics"]; !st.is_null()) {
        out.line("Statistics   period " + fixed(st["period_seconds"].get<double>(), 2) + " s");
        for (const auto& [key, value] : st.items()) {
            if (key == "period_seconds")
                continue;
            std::string name = key;
            std::replace(name.begin(), name.end(), '_', ' ');
            name.resize(34, ' ');
            out.line("  " + name + value.dump());
        }
    }
    out.line("Microcode    " + textOrUnknown(j["microcode_version"]));
    out.line("Boot         " + textOrUnknown(j["boot_version"]));
}

void writeSample(Output& out, const ordered_json& j) {
    if (out.format() == Format::Json)
        return out.json(j, true);
    if (out.format() == Format::Csv)
        return out.csvRow(j);
    out.line(j["time"].get<std::string>());
    for (const std::string& line : rfLines(j))
        out.line(line);
    out.line("");
}

void writeConsoleLine(Output& out, const ordered_json& j) {
    if (out.format() == Format::Json)
        return out.json(j, true);
    if (out.format() == Format::Csv)
        return out.csvRow(j);
    char kind[16];
    std::snprintf(kind, sizeof kind, "%-11s", j["kind"].get<std::string>().c_str());
    out.line(j["time"].get<std::string>() + " " + kind + " " +
             (j["text"].is_string() ? j["text"].get<std::string>() : std::string()));
}

void writeTable(Output& out, const ordered_json& table) {
    const ordered_json& channels = table["channels"];
    if (out.format() == Format::Json)
        return out.json(table);
    if (out.format() == Format::Csv) {
        for (const ordered_json& c : channels)
            out.csvRow(c);
        return;
    }
    out.line(" #  Frequency      Bit rate  Label");
    for (const ordered_json& c : channels) {
        const std::string rate = c["bit_rate_mbps"].is_null()
                                     ? "(" + c["bit_rate_index"].dump() + ")"
                                     : fixed(c["bit_rate_mbps"].get<double>(), 2);
        char head[64];
        std::snprintf(head, sizeof head, "%2d  %7.1f MHz  %6s Mbit/s  ", c["channel"].get<int>(),
                      c["frequency_mhz"].get<double>(), rate.c_str());
        out.line(head + c["label"].get<std::string>());
    }
}

void writeScanner(Output& out, const ordered_json& j) {
    if (out.format() == Format::Json)
        return out.json(j);
    if (out.format() == Format::Csv) {
        for (const auto& [plan, rates] : j["plans"].items()) {
            const auto has = [&](double r) {
                return std::find(rates.begin(), rates.end(), r) != rates.end() ? 1 : 0;
            };
            out.csvRow(
                ordered_json{{"plan", plan}, {"rate_6_82", has(6.82)}, {"rate_9_45", has(9.45)}});
        }
        return;
    }
    char head[64];
    std::snprintf(head, sizeof head, "Scan mask 0x%02X%s", j["mask"].get<int>(),
                  j["defaults"].get<bool>() ? " (the modem's defaults)" : "");
    out.line(head);
    for (const auto& [plan, rates] : j["plans"].items()) {
        std::string line = plan;
        line.resize(7, ' ');
        if (rates.empty())
            line += "off";
        for (const ordered_json& r : rates)
            line += fixed(r.get<double>(), 2) + " ";
        out.line(line);
    }
}

void writeTune(Output& out, const ordered_json& j, const std::string& asked) {
    if (out.format() == Format::Json)
        return out.json(j);
    if (out.format() == Format::Csv) {
        return out.csvRow(ordered_json{
            {"tuned", j["tuned"]}, {"receive", j["receive"]}, {"transmit", j["transmit"]}});
    }
    const std::vector<std::string> lines = rfLines(j);
    out.line(lines[0]);
    out.line(lines[1]);
    out.line(j["tuned"].get<bool>() ? "The modem reports the asked channel."
                                    : "The modem reports another channel than " + asked + ".");
}

}  // namespace brixctl

#include "brixctl/values.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace brixctl {

using nlohmann::ordered_json;

namespace {

// A plain decimal number: digits with at most one point, no sign, exponent or spaces.
std::optional<double> decimal(std::string_view text) {
    if (text.empty() || text.size() > 16 || text.find_first_not_of("0123456789.") != text.npos ||
        text.find('.') != text.rfind('.') || text == ".")
        return std::nullopt;
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return v;
}

std::string quoted(std::string_view text) {
    std::string s(text.substr(0, 40));
    return "'" + s + (text.size() > 40 ? "...'" : "'");
}

}  // namespace

std::uint16_t frequencyFromMhz(double mhz, const std::string& what, std::uint16_t maxTenths) {
    char shown[32];
    std::snprintf(shown, sizeof shown, "%g", mhz);
    const double tenths = mhz * 10.0;
    if (!std::isfinite(mhz) || tenths < 0 || tenths > maxTenths + 0.001)
        throw BadValue{what + " " + shown + " is not from 0 to " + brix::mhzText(maxTenths) +
                       " MHz"};
    const double rounded = std::round(tenths);
    if (std::fabs(tenths - rounded) > 1e-6)
        throw BadValue{what + " " + shown + " has more than one decimal"};
    return static_cast<std::uint16_t>(rounded);
}

std::uint16_t parseFrequency(std::string_view text, std::uint16_t maxTenths) {
    const auto v = decimal(text);
    if (!v)
        throw BadValue{"frequency " + quoted(text) + " is not a number of MHz"};
    return frequencyFromMhz(*v, "frequency", maxTenths);
}

int parseListRate(std::string_view text) {
    if (const auto v = decimal(text)) {
        const long hundredths = std::lround(*v * 100.0);
        for (std::size_t i = 0; i < brix::kListRates.size(); ++i) {
            if (brix::kListRates[i] == hundredths && std::fabs(*v * 100.0 - hundredths) < 1e-6)
                return static_cast<int>(i);
        }
    }
    throw BadValue{"bit rate " + quoted(text) +
                   " is not one of 2.56, 3.20, 5.12, 6.82, 9.45 (Mbit/s)"};
}

void addScannerSetting(std::string_view setting, std::uint8_t& mask) {
    const std::size_t colon = setting.find(':');
    const std::string_view plan = setting.substr(0, colon);
    const brix::ScannerPlan* found = nullptr;
    for (const brix::ScannerPlan& p : brix::kScannerPlans) {
        const std::string_view name = p.name;
        if (name.size() == plan.size() &&
            std::equal(name.begin(), name.end(), plan.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            }))
            found = &p;
    }
    if (found == nullptr)
        throw BadValue{"scanner plan " + quoted(plan) + " is not one of NTSC, PALB, PALD, Other"};
    if (colon == setting.npos || colon + 1 == setting.size())
        throw BadValue{"scanner setting " + quoted(setting) +
                       " needs its rates, for instance NTSC:6.82,9.45"};
    std::string_view rates = setting.substr(colon + 1);
    while (!rates.empty()) {
        const std::size_t comma = rates.find(',');
        const std::string_view rate = rates.substr(0, comma);
        int index = -1;
        try {
            index = rate.empty() ? -1 : parseListRate(rate);
        } catch (const BadValue&) {
            // Named below with the two rates a plan has, not the five of the lists.
        }
        if (index == 3) {
            mask |= found->bit682;
        } else if (index == 4) {
            mask |= found->bit945;
        } else {
            throw BadValue{"scanner rate " + quoted(rate) + " of " + found->name +
                           " is not 6.82 or 9.45"};
        }
        rates = comma == rates.npos ? std::string_view() : rates.substr(comma + 1);
    }
}

std::string utf8ToLatin1(std::string_view text, const std::string& what) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto u = static_cast<unsigned char>(text[i]);
        if (u < 0x80) {
            out += static_cast<char>(u);
        } else if ((u == 0xC2 || u == 0xC3) && i + 1 < text.size() &&
                   (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
            out += static_cast<char>(((u & 0x03) << 6) |
                                     (static_cast<unsigned char>(text[i + 1]) & 0x3F));
            ++i;
        } else {
            throw BadValue{what +
                           " has a character that the channel file cannot hold "
                           "(only Latin-1)"};
        }
    }
    return out;
}

ordered_json tableJson(const brix::ChannelTableBody& body, const brix::ChannelTable& file) {
    ordered_json channels = ordered_json::array();
    for (int k = 0; k < brix::kChannelCount; ++k) {
        const brix::ChannelEntry stored = file.entry(k);
        const int index = body.bitRateIndex(k);
        const bool same = stored.frequency == body.frequency(k) && stored.bitRateIndex == index;
        ordered_json c;
        c["channel"] = k + 1;
        c["label"] = same ? brix::latin1ToUtf8(stored.label) : "";
        c["frequency_mhz"] = body.frequency(k) / 10.0;
        c["bit_rate_index"] = index;
        if (const auto mbps = brix::indexRateMbps(index)) {
            c["bit_rate_mbps"] = *mbps;
        } else {
            c["bit_rate_mbps"] = nullptr;
        }
        channels.push_back(std::move(c));
    }
    return ordered_json{{"channels", std::move(channels)}};
}

namespace {

// A table is two levels deep; the parser and the value it builds recurse once per level, so a
// file of nothing but brackets must be refused before either sees it.
constexpr int kMaxJsonDepth = 32;

bool nestedTooDeep(std::string_view text) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxJsonDepth)
                return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

TableInput tableFromJson(const ordered_json& doc);

}  // namespace

TableInput parseTableJson(std::string_view text) {
    if (nestedTooDeep(text))
        throw BadValue{"not a table: nested deeper than " + std::to_string(kMaxJsonDepth) +
                       " levels"};
    ordered_json doc;
    try {
        doc = ordered_json::parse(text.begin(), text.end());
    } catch (const nlohmann::json::exception& e) {
        // Syntax errors and numbers out of range (1e400) alike.
        throw BadValue{std::string("not valid JSON: ") + e.what()};
    }
    try {
        return tableFromJson(doc);
    } catch (const nlohmann::json::exception& e) {
        throw BadValue{std::string("not a table: ") + e.what()};
    }
}

namespace {

TableInput tableFromJson(const ordered_json& doc) {
    if (!doc.is_object() || !doc.contains("channels") || !doc["channels"].is_array() ||
        doc["channels"].size() != brix::kChannelCount)
        throw BadValue{
            "the table needs \"channels\": an array of 10 channels, as table get "
            "--json prints it"};
    TableInput in;
    for (int k = 0; k < brix::kChannelCount; ++k) {
        const ordered_json& c = doc["channels"][static_cast<std::size_t>(k)];
        const std::string what = "channel " + std::to_string(k + 1);
        if (!c.is_object())
            throw BadValue{what + " is not an object"};
        if (!c.contains("frequency_mhz") || !c["frequency_mhz"].is_number())
            throw BadValue{what + " needs \"frequency_mhz\" as a number"};
        const std::uint16_t f =
            frequencyFromMhz(c["frequency_mhz"].get<double>(), "frequency of " + what, 0xFFFF);
        // The rate as the lists show it wins; the index counts only for a rate without a name.
        int index = -1;
        if (c.contains("bit_rate_mbps") && !c["bit_rate_mbps"].is_null()) {
            if (!c["bit_rate_mbps"].is_number())
                throw BadValue{"\"bit_rate_mbps\" of " + what + " is not a number"};
            char shown[32];
            std::snprintf(shown, sizeof shown, "%.2f", c["bit_rate_mbps"].get<double>());
            try {
                index = parseListRate(shown);
            } catch (const BadValue& e) {
                throw BadValue{e.message + " in " + what};
            }
            if (std::fabs(c["bit_rate_mbps"].get<double>() * 100 -
                          brix::kListRates[static_cast<std::size_t>(index)]) > 1e-6)
                throw BadValue{"bit rate of " + what + " is not one of the list's"};
            // The name wins over an index left as it was (an edited rate), but an index that
            // is no index at all is a mistake to tell.
            if (c.contains("bit_rate_index") && !c["bit_rate_index"].is_null() &&
                !(c["bit_rate_index"].is_number_integer() &&
                  c["bit_rate_index"].get<long long>() >= 0 &&
                  c["bit_rate_index"].get<long long>() <= 255))
                throw BadValue{"\"bit_rate_index\" of " + what + " is not 0 to 255"};
        } else if (c.contains("bit_rate_index") && c["bit_rate_index"].is_number_integer() &&
                   c["bit_rate_index"].get<long long>() >= 0 &&
                   c["bit_rate_index"].get<long long>() <= 255) {
            // A rate without a name (for instance 255, no selection) is kept as the modem sent it.
            index = static_cast<int>(c["bit_rate_index"].get<long long>());
        } else {
            throw BadValue{what + " needs \"bit_rate_mbps\" (or \"bit_rate_index\" 0 to 255)"};
        }
        in.body.setRecord(k, f, static_cast<std::uint8_t>(index));
        if (c.contains("label")) {
            if (!c["label"].is_string())
                throw BadValue{"label of " + what + " is not a text"};
            std::string label = utf8ToLatin1(c["label"].get<std::string>(), "label of " + what);
            if (label.size() > brix::kMaxLabelChars)
                throw BadValue{"label of " + what + " is longer than 49 characters"};
            if (label.find('\0') != label.npos)
                throw BadValue{"label of " + what + " holds a zero character"};
            in.labels[static_cast<std::size_t>(k)] = std::move(label);
        }
    }
    return in;
}

}  // namespace

}  // namespace brixctl

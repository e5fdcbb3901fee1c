#pragma once
// What brixctl writes to standard output: text for people, JSON and CSV for programs.
//
// The modem's texts are Latin-1 bytes; they become UTF-8 here (modemText) when a command puts
// them into its document, and every output form is written from that document. Every line of
// text passes through one escape (brix::visibleText), so a control character that came from the
// modem (or a label) is shown as \xNN and never reaches the terminal raw. Every write is checked: a
// failure throws WriteFailed, which main turns into the exit code.

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "domain/text.h"

namespace brixctl {

enum class Format { Text, Json, Csv };

// A document as JSON text (`indent` -1: one line) that no byte of a text in it can break: what
// is no UTF-8 replaced, DEL and the C1 controls escaped.
std::string jsonText(const nlohmann::ordered_json& doc, int indent = -1);

// A text of the modem as a document value: UTF-8, or null when the modem sent none.
nlohmann::ordered_json modemText(std::string_view latin1);

// A write to standard output failed; `error` is its errno (EPIPE: the reader went away).
struct WriteFailed {
    int error;
};

// Whether the reader of standard output has gone (the far end of a pipe or socket closed).
// Lets a command that waits long between lines end at once rather than at its next write.
bool readerGone();

class Output {
public:
    explicit Output(Format format) : format_(format) {}

    Format format() const { return format_; }

    // One line of text for people, control characters escaped.
    void line(std::string_view text);
    // One JSON document, indented, or on one line for a stream of them.
    void json(const nlohmann::ordered_json& doc, bool oneLine = false);
    // One CSV row of a flat or nested object (nested names joined with '.'), the header line
    // before the first row.
    void csvRow(const nlohmann::ordered_json& row);

private:
    void write(std::string_view text);

    Format format_;
    bool csvHeaderDone_ = false;
};

// The names of a statistics report's values in the documents, period_seconds first. A status
// without a report keeps these columns in CSV, empty.
extern const std::array<const char*, 9> kStatisticsNames;

// The output forms of the commands, from the documents the commands build.
void writeStatus(Output& out, const nlohmann::ordered_json& status);
void writeSample(Output& out, const nlohmann::ordered_json& sample);
void writeConsoleLine(Output& out, const nlohmann::ordered_json& line);
void writeTable(Output& out, const nlohmann::ordered_json& table);
void writeScanner(Output& out, const nlohmann::ordered_json& scanner);
void writeTune(Output& out, const nlohmann::ordered_json& tune, const std::string& asked);

// "%.*f" of a value.
std::string fixed(double v, int decimals);

}  // namespace brixctl

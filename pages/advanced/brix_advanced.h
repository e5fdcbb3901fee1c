#pragma once
// The Advanced page: reads, edits and sets the modem's downstream channel table (ten channels,
// each a frequency and a bit rate, plus a label that only this computer keeps) and shows the
// modem's microcode version.
//
// Entry k is always the triple label 1023+k, frequency 1013+k, bit-rate list 1039+k, wherever
// the template puts it on screen.

#include <cstdint>
#include <string>

#include <QString>

#include "framework/dialog.h"
#include "framework/message_map.h"

namespace brix {

class BrixAdvanced : public fw::Dialog {
public:
    static constexpr const char* kClassName = "BrixAdvanced";
    static constexpr int kTemplateId = 131;

    static constexpr int kSetId = 1000;
    static constexpr int kGetId = 1001;
    static constexpr int kFirstFrequencyId = 1013;
    static constexpr int kFirstLabelId = 1023;
    static constexpr int kMicrocodeVersionId = 1036;
    static constexpr int kFirstBitRateId = 1039;

    // The characters of a frequency edit that count.
    static constexpr int kFrequencyChars = 9;

    BrixAdvanced();
    ~BrixAdvanced() override;

    // A channel-table answer (30-byte body, giveUp 0) or the link's give-up (giveUp 1, no
    // body). User-interface thread. Returns the new pending flag after a give-up (1 Retry,
    // 0 Cancel); 0 otherwise.
    int onChannelTableReply(const std::uint8_t* body, int giveUp);

    // The microcode version field (control 1036).
    void setVersionText(const QString& text);

protected:
    bool onInitDialog() override;

    FW_DECLARE_MESSAGE_MAP()

private:
    void onSet();
    void onGet();
    void applyReply(const std::uint8_t* body);
    void showEditText(int id, const QString& text);
};

// Frequency text of an edit -> the 16-bit body value in tenths of a MHz: the text is read as a
// decimal number with C rules (whatever the user's locale), times ten, truncated toward zero,
// and the low 16 bits kept. Values beyond the integer range reduce modulo 2^16 exactly as an
// in-range one does; NaN gives 0.
std::uint16_t frequencyFromText(const std::string& text);

// A 16-bit body frequency as the edit shows it: "452.5", "0.0".
QString frequencyText(std::uint16_t tenthsOfMhz);

// Labels travel between the edits, the table and the channel file as 8-bit Latin-1 text.
std::string labelToBytes(const QString& text);
QString labelFromBytes(const std::string& bytes);

}  // namespace brix

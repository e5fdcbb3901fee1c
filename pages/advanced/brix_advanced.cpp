#include "pages/advanced/brix_advanced.h"

#include <QLineEdit>

#include <locale.h>

#include <cmath>
#include <cstdlib>
#include <mutex>

#include "channels/channel_table.h"
#include "domain/frequency.h"
#include "domain/rates.h"
#include "framework/cursor.h"
#include "link/link_state.h"
#include "pages/advanced/request_buttons.h"

namespace brix {

namespace {

constexpr int kBitRateCount = static_cast<int>(kListRates.size());

// The cursor that this page's Get or Set replaced with the wait cursor. Empty for an answer
// that no request of this page preceded (the link's start-up Get): the normal cursor returns.
std::mutex savedCursorMutex;
fw::SavedCursor savedCursor;

void beginRequestCursor(QWidget* page) {
    fw::SavedCursor replaced = fw::beginWaitCursor(page);
    std::lock_guard lock(savedCursorMutex);
    savedCursor = replaced;
}

}  // namespace

void restoreRequestCursor() {
    fw::SavedCursor saved;
    {
        std::lock_guard lock(savedCursorMutex);
        saved = savedCursor;
        savedCursor = fw::SavedCursor();
    }
    fw::restoreCursor(saved);
}

// The longest decimal number at the start of `text`: white space, sign, digits, fraction,
// exponent; reading stops at the first character that does not fit. strtod alone would also
// read hexadecimal ("0x10" as 16) and "inf" or "nan".
std::string decimalPrefix(const std::string& text) {
    const auto digit = [&](std::size_t i) {
        return i < text.size() && text[i] >= '0' && text[i] <= '9';
    };
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    const std::size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    bool digits = false;
    while (digit(i)) {
        ++i;
        digits = true;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (digit(i)) {
            ++i;
            digits = true;
        }
    }
    if (!digits)
        return {};
    std::size_t end = i;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-'))
            ++j;
        if (digit(j)) {
            while (digit(j))
                ++j;
            end = j;
        }
    }
    return text.substr(start, end - start);
}

std::uint16_t frequencyFromText(const std::string& text) {
    const std::string number = decimalPrefix(text);
    if (number.empty())
        return 0;
    // strtod follows LC_NUMERIC, which the GUI takes from the user's environment; the edits
    // always use a point, so read them in the C locale.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
    double value = 0.0;
    if (cLocale != locale_t{}) {
        const locale_t previous = uselocale(cLocale);
        value = std::strtod(number.c_str(), nullptr);
        uselocale(previous);
    } else {
        value = std::strtod(number.c_str(), nullptr);
    }
    const double tenths = std::trunc(value * 10.0);
    if (std::isnan(tenths))
        return 0;
    if (std::isinf(tenths))
        return 0;  // every multiple of 2^16, as all huge doubles are
    // The low 16 bits of the truncated value, taken as a two's-complement integer would: the
    // remainder modulo 2^16 of an exact integer, brought into 0..65535.
    double low = std::fmod(tenths, 65536.0);
    if (low < 0)
        low += 65536.0;
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(low));
}

QString frequencyText(std::uint16_t tenthsOfMhz) {
    return QString::fromStdString(mhzText(tenthsOfMhz));
}

std::string labelToBytes(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QString labelFromBytes(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

FW_BEGIN_MESSAGE_MAP(BrixAdvanced)
FW_ON_CLICKED(BrixAdvanced::kSetId, onSet)
FW_ON_CLICKED(BrixAdvanced::kGetId, onGet)
FW_END_MESSAGE_MAP()

BrixAdvanced::BrixAdvanced() : fw::Dialog(kTemplateId) {}

BrixAdvanced::~BrixAdvanced() = default;

bool BrixAdvanced::onInitDialog() {
    setItemText(kMicrocodeVersionId, QStringLiteral("Unavailable"));
    for (int k = 0; k < kChannelCount; ++k) {
        // The list's texts end in a space, as the page has always shown them.
        for (const char* text : kListRateTexts)
            addString(kFirstBitRateId + k, QString::fromLatin1(text) + QLatin1Char(' '));
        // The table's column heads are far from its cells; each cell says its row.
        const QString row = QString::number(k + 1);
        if (QWidget* w = item(kFirstLabelId + k))
            w->setAccessibleName(QStringLiteral("Label of channel ") + row);
        if (QWidget* w = item(kFirstFrequencyId + k))
            w->setAccessibleName(QStringLiteral("Frequency of channel ") + row);
        if (QWidget* w = item(kFirstBitRateId + k))
            w->setAccessibleName(QStringLiteral("Bit rate of channel ") + row);
    }
    return true;
}

void BrixAdvanced::showEditText(int id, const QString& text) {
    setItemText(id, text);
    // An edit filled by the program shows the start of its text, not the end.
    if (auto* edit = itemAs<QLineEdit>(id))
        edit->setCursorPosition(0);
}

void BrixAdvanced::setVersionText(const QString& text) {
    setItemText(kMicrocodeVersionId, text);
}

void BrixAdvanced::onGet() {
    beginRequestCursor(widget());
    enableRequestButtons(false);
    requestGet(DataItem::ChannelTable, kChannelTableLength);
}

void BrixAdvanced::onSet() {
    beginRequestCursor(widget());
    enableRequestButtons(false);

    ChannelTable& table = channelTable();
    ChannelTableBody body;
    for (int k = 0; k < kChannelCount; ++k) {
        const std::string frequency =
            labelToBytes(itemTextLimited(kFirstFrequencyId + k, kFrequencyChars));
        table.setLabel(
            k, labelToBytes(itemTextLimited(kFirstLabelId + k, static_cast<int>(kMaxLabelChars))));
        // No selection reads as -1 and goes out as 255.
        const auto rate = static_cast<std::uint8_t>(curSel(kFirstBitRateId + k));
        body.setRecord(k, frequencyFromText(frequency), rate);
    }
    requestSet(DataItem::ChannelTable, kChannelTableLength, body.data());
    table.labelRefreshPending.store(1);
}

int BrixAdvanced::onChannelTableReply(const std::uint8_t* body, int giveUp) {
    if (giveUp != 0)
        return showConnectionError();
    if (body != nullptr)
        applyReply(body);
    return 0;
}

void BrixAdvanced::applyReply(const std::uint8_t* data) {
    const ChannelTableBody body = ChannelTableBody::fromBytes(data);
    ChannelTable& table = channelTable();
    // Compare with the table as it was, then take the modem's values, in one step.
    if (table.mergeReply(body)) {
        const auto labels = table.labels();
        for (int k = 0; k < kChannelCount; ++k)
            showEditText(kFirstLabelId + k, labelFromBytes(labels[static_cast<std::size_t>(k)]));
    }
    for (int k = 0; k < kChannelCount; ++k) {
        showEditText(kFirstFrequencyId + k, frequencyText(body.frequency(k)));
        const int rate = body.bitRateIndex(k);
        setCurSel(kFirstBitRateId + k, rate < kBitRateCount ? rate : -1);
    }
    enableRequestButtons(true);
    restoreRequestCursor();
}

}  // namespace brix

#include "pages/scanner/brix_scanner.h"

#include <QWidget>

#include "link/link_state.h"
#include "pages/advanced/request_buttons.h"

namespace brix {

static_assert(sizeof kScannerDefaults == kScannerParamsLength);

FW_BEGIN_MESSAGE_MAP(BrixScanner)
FW_ON_CLICKED(BrixScanner::kSetId, onSet)
FW_ON_CLICKED(BrixScanner::kGetId, onGet)
FW_ON_CLICKED(BrixScanner::kDefaultId, onDefault)
FW_ON_CLICKED(1047, onNtscClicked)
FW_ON_CLICKED(1048, onPalbClicked)
FW_ON_CLICKED(1049, onPaldClicked)
FW_ON_CLICKED(1053, onOtherClicked)
FW_END_MESSAGE_MAP()

BrixScanner::BrixScanner() : fw::Dialog(kTemplateId) {}

BrixScanner::~BrixScanner() = default;

bool BrixScanner::onInitDialog() {
    setItemText(kBootVersionId, QStringLiteral("Unavailable"));
    // Nothing may be requested before the link's start-up answer has enabled them.
    enableItem(kGetId, false);
    enableItem(kSetId, false);
    enableItem(kDefaultId, false);
    // The rate boxes have no text of their own; the page shows their rate beside them and
    // their plan at the end of the row.
    for (std::size_t row = 0; row < 4; ++row) {
        const QString plan = QString::fromLatin1(kScannerPlans[row].name);
        if (QWidget* w = item(kRows[row].rate682Id))
            w->setAccessibleName(plan + QStringLiteral(" 6.82 Mbit/s"));
        if (QWidget* w = item(kRows[row].rate945Id))
            w->setAccessibleName(plan + QStringLiteral(" 9.45 Mbit/s"));
    }
    return true;
}

void BrixScanner::setVersionText(const QString& text) {
    setItemText(kBootVersionId, text);
}

void BrixScanner::planClicked(int row) {
    const PlanRow& r = kRows[row];
    const bool on = isItemChecked(r.planId);
    enableItem(r.rate682Id, on);
    enableItem(r.rate945Id, on);
}

void BrixScanner::onNtscClicked() {
    planClicked(0);
}
void BrixScanner::onPalbClicked() {
    planClicked(1);
}
void BrixScanner::onPaldClicked() {
    planClicked(2);
}
void BrixScanner::onOtherClicked() {
    planClicked(3);
}

std::uint8_t BrixScanner::scanMask() const {
    std::uint8_t mask = 0;
    for (const PlanRow& r : kRows) {
        if (!isItemChecked(r.planId))
            continue;
        if (isItemChecked(r.rate682Id))
            mask |= r.bit682;
        if (isItemChecked(r.rate945Id))
            mask |= r.bit945;
    }
    return mask;
}

void BrixScanner::onSet() {
    const std::uint8_t params[kScannerParamsLength] = {scanMask(), 0x00};
    enableRequestButtons(false);
    requestSet(DataItem::ScannerParams, kScannerParamsLength, params);
}

void BrixScanner::onGet() {
    enableRequestButtons(false);
    requestGet(DataItem::ScannerParams, kScannerParamsLength);
}

void BrixScanner::onDefault() {
    requestSet(DataItem::ScannerParams, kScannerParamsLength, kScannerDefaults);
    enableRequestButtons(false);
}

int BrixScanner::onScannerReply(const std::uint8_t* body) {
    if (body == nullptr)
        return showConnectionError();
    applyReply(body);
    return 0;
}

void BrixScanner::applyReply(const std::uint8_t* body) {
    const std::uint8_t mask = body[1] == kShowDefaults ? kScannerDefaults[0] : body[0];
    for (const PlanRow& r : kRows) {
        const bool high = (mask & r.bit682) != 0;
        const bool low = (mask & r.bit945) != 0;
        const bool on = high || low;
        checkItem(r.planId, on);
        enableItem(r.rate682Id, on);
        enableItem(r.rate945Id, on);
        checkItem(r.rate945Id, low);
        checkItem(r.rate682Id, high);
    }
    enableRequestButtons(true);
}

}  // namespace brix

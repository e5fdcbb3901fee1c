#pragma once
// The Scanner page: which bit rates (6.82 and 9.45 Mbit/s) the modem's frequency scanner tries
// for each of four channel plans, and the modem's boot version.

#include <cstdint>

#include <QString>

#include "domain/scanner_plans.h"
#include "framework/dialog.h"
#include "framework/message_map.h"

namespace brix {

class BrixScanner : public fw::Dialog {
public:
    static constexpr const char* kClassName = "BrixScanner";
    static constexpr int kTemplateId = 282;

    static constexpr int kSetId = 1000;
    static constexpr int kGetId = 1050;
    static constexpr int kDefaultId = 1054;
    static constexpr int kBootVersionId = 1055;

    // One row per channel plan, in reply order: its plan box and its two rate boxes with
    // their scan-mask bits.
    struct PlanRow {
        int planId;
        int rate682Id;
        int rate945Id;
        std::uint8_t bit682;
        std::uint8_t bit945;
    };
    static constexpr PlanRow kRows[4] = {
        {1047, 1041, 1044, kScannerPlans[0].bit682, kScannerPlans[0].bit945},  // NTSC
        {1048, 1042, 1045, kScannerPlans[1].bit682, kScannerPlans[1].bit945},  // PALB
        {1049, 1043, 1046, kScannerPlans[2].bit682, kScannerPlans[2].bit945},  // PALD
        {1053, 1051, 1052, kScannerPlans[3].bit682,
         kScannerPlans[3].bit945},  // Other ( 100 KHz step )
    };

    BrixScanner();
    ~BrixScanner() override;

    // A scanner answer (2-byte body) or the link's give-up (no body). User-interface thread.
    // Returns the new pending flag after a give-up (1 Retry, 0 Cancel); 0 otherwise.
    int onScannerReply(const std::uint8_t* body);

    // The boot version field (control 1055).
    void setVersionText(const QString& text);

    // The scan mask the check boxes stand for: rate boxes of checked plans only.
    std::uint8_t scanMask() const;

protected:
    bool onInitDialog() override;

    FW_DECLARE_MESSAGE_MAP()

private:
    void onSet();
    void onGet();
    void onDefault();
    void onNtscClicked();
    void onPalbClicked();
    void onPaldClicked();
    void onOtherClicked();
    void planClicked(int row);
    void applyReply(const std::uint8_t* body);
};

}  // namespace brix

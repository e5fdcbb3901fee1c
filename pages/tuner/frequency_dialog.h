#pragma once
// The frequency entry of the Tuner page (template 267): one edit for a receive frequency in
// tenths of a MHz. The number is read when the window goes away, whichever button closed it;
// the page uses it only after OK.

#include <cstdint>

#include "framework/dialog.h"

namespace brix {

class FrequencyDialog : public fw::Dialog {
public:
    static constexpr int kTemplateId = 267;
    static constexpr int kFrequencyEdit = 1014;

    FrequencyDialog();

    // The edit's text read as a signed decimal number (0 when it does not translate), as its
    // 32-bit pattern: "-1" reads 0xFFFFFFFF. Kept after the window is gone.
    std::uint32_t frequency() const { return frequency_; }

protected:
    void onDestroy() override;

private:
    std::uint32_t frequency_ = 0;
};

}  // namespace brix

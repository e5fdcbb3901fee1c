#include "frequency_dialog.h"

namespace brix {

FrequencyDialog::FrequencyDialog() : fw::Dialog(kTemplateId) {}

void FrequencyDialog::onDestroy() {
    frequency_ = itemInt(kFrequencyEdit, nullptr, true);
}

}  // namespace brix

// Tuner page. Laid out by the Tuner work; until then an empty page of the tab's size.
#include "res/dialogs.h"

namespace res {

namespace ds = fw::ds;

const fw::DialogTemplate& dialog129() {
    static constexpr fw::DialogTemplate kDialog{129, "Tuner", "MS Sans Serif", 8,
                                                335, 174,     ds::Child,       {}};
    return kDialog;
}

}  // namespace res

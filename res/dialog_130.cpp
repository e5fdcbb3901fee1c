// Console page.
#include "res/dialogs.h"

namespace res {

using fw::ControlKind;
namespace cs = fw::cs;
namespace ds = fw::ds;

const fw::DialogTemplate& dialog130() {
    static constexpr fw::ControlTemplate kControls[] = {
        {1037, ControlKind::AutoCheckBox, "&Enable Statistics Messages", cs::TabStop, 5, 3, 102,
         10},
        {1029, ControlKind::ListView, "", cs::TabStop | cs::Border | cs::SingleSel, 3, 16, 326,
         155},
    };
    static constexpr fw::DialogTemplate kDialog{130, "Console", "MS Sans Serif", 8,
                                                335, 174,       ds::Child,       kControls};
    return kDialog;
}

}  // namespace res

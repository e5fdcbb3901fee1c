// Frequency entry of the Tuner page: a number in tenths of a MHz.
#include "res/dialogs.h"

namespace res {

using fw::ControlKind;
namespace cs = fw::cs;
namespace ds = fw::ds;

const fw::DialogTemplate& dialog267() {
    static constexpr fw::ControlTemplate kControls[] = {
        {-1, ControlKind::Static, "&Frequency", 0, 7, 7, 60, 8},
        {1014, ControlKind::Edit, "", cs::Border | cs::AutoHScroll | cs::TabStop, 7, 17, 136, 13},
        {1, ControlKind::DefPushButton, "OK", cs::TabStop, 39, 38, 50, 14},
        {2, ControlKind::PushButton, "Cancel", cs::TabStop, 93, 38, 50, 14},
    };
    static constexpr fw::DialogTemplate kDialog{
        267,
        "Enter Frequency",
        "MS Sans Serif",
        8,
        150,
        59,
        ds::Popup | ds::Caption | ds::SysMenu | ds::ModalFrame,
        kControls};
    return kDialog;
}

}  // namespace res

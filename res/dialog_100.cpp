// About box.
#include "res/dialogs.h"

namespace res {

using fw::ControlKind;
namespace cs = fw::cs;
namespace ds = fw::ds;

const fw::DialogTemplate& dialog100() {
    static constexpr fw::ControlTemplate kControls[] = {
        {-1, ControlKind::Icon, "128", 0, 7, 7, 0, 0},
        {1038, ControlKind::Static, "Brix Tool team", cs::Right, 55, 11, 57, 8},
        {1033, ControlKind::Static, "   Version", cs::NoPrefix, 111, 11, 34, 8},
        {1035, ControlKind::Static, "4 .2", 0, 146, 11, 21, 8},
        {1034, ControlKind::Static, "", cs::Center, 9, 30, 203, 8},
        {1, ControlKind::DefPushButton, "OK", cs::TabStop, 183, 7, 32, 14},
    };
    static constexpr fw::DialogTemplate kDialog{
        100,
        "About Brix Tool",
        "MS Sans Serif",
        8,
        222,
        53,
        ds::Popup | ds::Caption | ds::SysMenu | ds::ModalFrame,
        kControls};
    return kDialog;
}

}  // namespace res

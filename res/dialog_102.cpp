// Main window: the tab control with the four pages and four buttons.
#include "res/dialogs.h"

namespace res {

using fw::ControlKind;
namespace cs = fw::cs;
namespace ds = fw::ds;

const fw::DialogTemplate& dialog102() {
    static constexpr fw::ControlTemplate kControls[] = {
        {1001, ControlKind::TabControl, "", cs::TabStop, 7, 2, 347, 196},
        {1040, ControlKind::PushButton, "&Help", cs::TabStop, 370, 5, 44, 14},
        {16, ControlKind::DefPushButton, "&About", cs::TabStop, 370, 25, 44, 14},
        {2, ControlKind::PushButton, "&Exit", cs::TabStop, 370, 45, 44, 14},
        {1041, ControlKind::PushButton, "H&istory", cs::TabStop, 370, 65, 44, 14},
    };
    static constexpr fw::DialogTemplate kDialog{102,
                                                "Brix - Tools",
                                                "MS Sans Serif",
                                                8,
                                                418,
                                                201,
                                                ds::Popup | ds::Caption | ds::SysMenu |
                                                    ds::MinimizeBox | ds::ModalFrame | ds::Visible |
                                                    ds::AppWindow,
                                                kControls};
    return kDialog;
}

}  // namespace res

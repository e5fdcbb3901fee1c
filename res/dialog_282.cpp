// Scanner page: which bit rates the modem's frequency scanner tries for each channel plan, and
// the boot version. The rate boxes start disabled; a checked plan box enables its row.
#include "res/dialogs.h"

namespace res {

using fw::ControlKind;
namespace cs = fw::cs;
namespace ds = fw::ds;

namespace {
constexpr unsigned kRate = cs::Disabled | cs::TabStop;
}  // namespace

const fw::DialogTemplate& dialog282() {
    static constexpr fw::ControlTemplate kControls[] = {
        {-1, ControlKind::GroupBox, "Boot version", 0, 3, 0, 328, 24},
        {1055, ControlKind::Static, "Unavailable", cs::Center, 12, 9, 313, 8},
        {-1, ControlKind::GroupBox, "Frequency scanner parameters", 0, 2, 29, 328, 133},
        {1041, ControlKind::AutoCheckBox, "", kRate, 62, 61, 18, 11},
        {-1, ControlKind::Static, "6.82 MBit/s", 0, 79, 63, 50, 8},
        {1044, ControlKind::AutoCheckBox, "", kRate, 138, 61, 18, 11},
        {-1, ControlKind::Static, "9.45 MBit/s", 0, 156, 63, 50, 8},
        {1047, ControlKind::AutoCheckBox, "NTSC", cs::TabStop, 213, 61, 110, 11},
        {1042, ControlKind::AutoCheckBox, "", kRate, 62, 77, 18, 11},
        {-1, ControlKind::Static, "6.82 MBit/s", 0, 79, 79, 50, 8},
        {1045, ControlKind::AutoCheckBox, "", kRate, 138, 77, 18, 11},
        {-1, ControlKind::Static, "9.45 MBit/s", 0, 156, 79, 50, 8},
        {1048, ControlKind::AutoCheckBox, "PALB", cs::TabStop, 213, 77, 110, 11},
        {1043, ControlKind::AutoCheckBox, "", kRate, 62, 93, 18, 11},
        {-1, ControlKind::Static, "6.82 MBit/s", 0, 79, 95, 50, 8},
        {1046, ControlKind::AutoCheckBox, "", kRate, 138, 93, 18, 11},
        {-1, ControlKind::Static, "9.45 MBit/s", 0, 156, 95, 50, 8},
        {1049, ControlKind::AutoCheckBox, "PALD", cs::TabStop, 213, 93, 110, 11},
        {1051, ControlKind::AutoCheckBox, "", kRate, 62, 109, 18, 11},
        {-1, ControlKind::Static, "6.82 MBit/s", 0, 79, 111, 50, 8},
        {1052, ControlKind::AutoCheckBox, "", kRate, 138, 109, 18, 11},
        {-1, ControlKind::Static, "9.45 MBit/s", 0, 156, 111, 50, 8},
        {1053, ControlKind::AutoCheckBox, "Other ( 100 KHz step )", cs::TabStop, 213, 109, 110, 11},
        {1000, ControlKind::DefPushButton, "&Set", cs::TabStop, 51, 144, 49, 12},
        {1050, ControlKind::PushButton, "&Get", cs::TabStop, 117, 144, 49, 12},
        {1054, ControlKind::PushButton, "&Default", cs::TabStop, 183, 144, 49, 12},
    };
    static constexpr fw::DialogTemplate kDialog{282, "Scanner", "MS Sans Serif", 8,
                                                337, 169,       ds::Child,       kControls};
    return kDialog;
}

}  // namespace res

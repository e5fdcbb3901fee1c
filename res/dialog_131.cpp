// Advanced page: the modem's downstream channel table and the microcode version.
//
// Rows 2 and 3 of the left half carry the label edits of entries 2 and 1 (1025 over 1024): the
// Tuner page shows its labels the same way, and channel files written so far depend on it.
// Entry k is always label 1023+k, frequency 1013+k, bit rate 1039+k.
#include "res/dialogs.h"

namespace res {

using fw::ControlKind;
namespace cs = fw::cs;
namespace ds = fw::ds;

namespace {
constexpr unsigned kEdit = cs::Border | cs::AutoHScroll | cs::TabStop;
constexpr unsigned kList = cs::VScroll | cs::TabStop;
}  // namespace

const fw::DialogTemplate& dialog131() {
    static constexpr fw::ControlTemplate kControls[] = {
        {-1, ControlKind::GroupBox, "Microcode version", 0, 3, 0, 327, 24},
        {1036, ControlKind::Static, "Unavailable", cs::Center, 12, 9, 313, 8},
        {-1, ControlKind::GroupBox, "Downstream Channels Table", 0, 2, 29, 327, 131},
        {-1, ControlKind::Static, "Label", cs::Center, 15, 44, 46, 8},
        {-1, ControlKind::Static, "Frequency", cs::Center, 66, 40, 43, 8},
        {-1, ControlKind::Static, "( MHz )", cs::Center, 66, 49, 43, 8},
        {-1, ControlKind::Static, "Bit Rate", cs::Center, 115, 40, 40, 8},
        {-1, ControlKind::Static, "( MBit/sec )", cs::Center | cs::NoPrefix, 112, 49, 46, 8},
        {-1, ControlKind::Static, "Label", cs::Center, 175, 44, 46, 8},
        {-1, ControlKind::Static, "Frequency", cs::Center, 226, 40, 43, 8},
        {-1, ControlKind::Static, "( MHz )", cs::Center, 226, 49, 43, 8},
        {-1, ControlKind::Static, "Bit Rate", cs::Center, 275, 40, 40, 8},
        {-1, ControlKind::Static, "( MBit/sec )", cs::Center | cs::NoPrefix, 272, 49, 46, 8},
        {1023, ControlKind::Edit, "", kEdit, 15, 61, 46, 13},
        {1013, ControlKind::Edit, "", kEdit, 66, 61, 43, 13},
        {1039, ControlKind::DropDownList, "", kList, 115, 61, 40, 46},
        {1028, ControlKind::Edit, "", kEdit, 175, 61, 46, 13},
        {1018, ControlKind::Edit, "", kEdit, 226, 61, 43, 13},
        {1044, ControlKind::DropDownList, "", kList, 275, 61, 40, 46},
        {1025, ControlKind::Edit, "", kEdit, 15, 76, 46, 13},
        {1014, ControlKind::Edit, "", kEdit, 66, 76, 43, 13},
        {1040, ControlKind::DropDownList, "", kList, 115, 76, 40, 46},
        {1029, ControlKind::Edit, "", kEdit, 175, 76, 46, 13},
        {1019, ControlKind::Edit, "", kEdit, 226, 76, 43, 13},
        {1045, ControlKind::DropDownList, "", kList, 275, 76, 40, 46},
        {1024, ControlKind::Edit, "", kEdit, 15, 91, 46, 13},
        {1015, ControlKind::Edit, "", kEdit, 66, 91, 43, 13},
        {1041, ControlKind::DropDownList, "", kList, 115, 91, 40, 46},
        {1030, ControlKind::Edit, "", kEdit, 175, 91, 46, 13},
        {1020, ControlKind::Edit, "", kEdit, 226, 91, 43, 13},
        {1046, ControlKind::DropDownList, "", kList, 275, 91, 40, 46},
        {1026, ControlKind::Edit, "", kEdit, 15, 106, 46, 13},
        {1016, ControlKind::Edit, "", kEdit, 66, 106, 43, 13},
        {1042, ControlKind::DropDownList, "", kList, 115, 106, 40, 46},
        {1031, ControlKind::Edit, "", kEdit, 175, 106, 46, 13},
        {1021, ControlKind::Edit, "", kEdit, 226, 106, 43, 13},
        {1047, ControlKind::DropDownList, "", kList, 275, 106, 40, 46},
        {1027, ControlKind::Edit, "", kEdit, 15, 121, 46, 13},
        {1017, ControlKind::Edit, "", kEdit, 66, 121, 43, 13},
        {1043, ControlKind::DropDownList, "", kList, 115, 121, 40, 46},
        {1032, ControlKind::Edit, "", kEdit, 175, 121, 46, 13},
        {1022, ControlKind::Edit, "", kEdit, 226, 121, 43, 13},
        {1048, ControlKind::DropDownList, "", kList, 275, 121, 40, 46},
        {1000, ControlKind::DefPushButton, "&Set", cs::TabStop, 106, 144, 49, 12},
        {1001, ControlKind::PushButton, "&Get", cs::TabStop, 175, 144, 49, 12},
    };
    static constexpr fw::DialogTemplate kDialog{131, "Advanced", "MS Sans Serif", 8,
                                                337, 169,        ds::Child,       kControls};
    return kDialog;
}

}  // namespace res

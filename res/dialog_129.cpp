// Tuner page: a receive and a transmit column of digit displays, step buttons, step selectors
// and level bars; the activity lamps and the two action buttons under them; the ten stored
// channels on the right.
//
// The receive frequency display sits at (43, 22) pixels, 107 x 35, so that its digits lie in the
// page's fixed double-click area (45 < x < 145, 12 < y < 60). The step pictures stand over the
// four handle positions of the step selectors.
#include "res/dialogs.h"

namespace res {

using fw::ControlKind;
namespace cs = fw::cs;
namespace ds = fw::ds;

const fw::DialogTemplate& dialog129() {
    static constexpr fw::ControlTemplate kControls[] = {
        // Receive column: frequency with its step buttons and step selector, bit rate, bars.
        {-1, ControlKind::StaticBitmap, "RECCHAN", 0, 18, 2, 0, 0},
        {1061, ControlKind::OwnerDrawButton, "RecUp", cs::TabStop, 12, 14, 14, 10},
        {1062, ControlKind::OwnerDrawButton, "RecDown", cs::TabStop, 12, 25, 14, 11},
        {1007, ControlKind::Placeholder, "", 0, 29, 14, 71, 22},
        {-1, ControlKind::StaticBitmap, "FREQ", 0, 102, 20, 0, 0},
        {-1, ControlKind::StaticBitmap, "SLIDEPOS1", 0, 26, 39, 0, 0},
        {-1, ControlKind::StaticBitmap, "SLIDEPOS2", 0, 46, 39, 0, 0},
        {-1, ControlKind::StaticBitmap, "SLIDEPOS3", 0, 66, 39, 0, 0},
        {-1, ControlKind::StaticBitmap, "SLIDEPOS4", 0, 87, 39, 0, 0},
        {1006, ControlKind::Trackbar, "Slider2", cs::Ticks | cs::TabStop, 29, 47, 71, 15},
        {1065, ControlKind::OwnerDrawButton, "RecUp", cs::TabStop, 12, 66, 14, 11},
        {1066, ControlKind::OwnerDrawButton, "RecDown", cs::TabStop, 12, 77, 14, 11},
        {1009, ControlKind::Placeholder, "", 0, 29, 66, 71, 22},
        {-1, ControlKind::StaticBitmap, "BRATE", 0, 102, 72, 0, 0},
        {-1, ControlKind::Icon, "276", 0, 12, 93, 0, 0},
        {1014, ControlKind::Placeholder, "", 0, 36, 94, 67, 8},
        {1019, ControlKind::Placeholder, "", 0, 36, 104, 67, 8},
        {1028, ControlKind::Placeholder, "", 0, 36, 114, 67, 8},
        // Transmit column, the same; its step buttons stay disabled.
        {-1, ControlKind::StaticBitmap, "TRANSCHAN", 0, 132, 2, 0, 0},
        {1063, ControlKind::OwnerDrawButton, "TransUp", cs::TabStop, 126, 14, 14, 10},
        {1064, ControlKind::OwnerDrawButton, "TransDown", cs::TabStop, 126, 25, 14, 11},
        {1008, ControlKind::Placeholder, "", 0, 143, 14, 71, 22},
        {-1, ControlKind::StaticBitmap, "FREQ", 0, 216, 20, 0, 0},
        {-1, ControlKind::StaticBitmap, "SLIDEPOS1", 0, 140, 39, 0, 0},
        {-1, ControlKind::StaticBitmap, "SLIDEPOS2", 0, 160, 39, 0, 0},
        {-1, ControlKind::StaticBitmap, "SLIDEPOS3", 0, 180, 39, 0, 0},
        {-1, ControlKind::StaticBitmap, "SLIDEPOS4", 0, 201, 39, 0, 0},
        {1005, ControlKind::Trackbar, "Slider1", cs::Ticks | cs::TabStop, 143, 47, 71, 15},
        {1067, ControlKind::OwnerDrawButton, "TransUp", cs::TabStop, 126, 66, 14, 11},
        {1068, ControlKind::OwnerDrawButton, "TransDown", cs::TabStop, 126, 77, 14, 11},
        {1010, ControlKind::Placeholder, "", 0, 143, 66, 71, 22},
        {-1, ControlKind::StaticBitmap, "BRATE", 0, 216, 72, 0, 0},
        {-1, ControlKind::Icon, "277", 0, 126, 93, 0, 0},
        {1011, ControlKind::Placeholder, "", 0, 150, 94, 67, 8},
        {1012, ControlKind::Placeholder, "", 0, 150, 104, 67, 8},
        {1013, ControlKind::Placeholder, "", 0, 150, 114, 67, 8},
        // Activity lamps under the receive column.
        {-1, ControlKind::StaticBitmap, "MESSAGE", 0, 12, 131, 0, 0},
        {-1, ControlKind::Icon, "133", 0, 12, 146, 0, 0},
        {1015, ControlKind::Placeholder, "", 0, 36, 146, 15, 10},
        {-1, ControlKind::Icon, "134", 0, 64, 146, 0, 0},
        {1016, ControlKind::Placeholder, "", 0, 88, 146, 15, 10},
        // Tune/Set and Cancel under the transmit column.
        {1003, ControlKind::OwnerDrawButton, "Tune", cs::TabStop, 129, 144, 51, 15},
        {1004, ControlKind::OwnerDrawButton, "Test", cs::TabStop, 183, 144, 51, 15},
        // Stored channels, entry 0 at the top. Rows 2 and 3 carry the label displays of
        // entries 2 and 1, as on the Advanced page; saved channel files depend on it.
        {-1, ControlKind::StaticBitmap, "LABELS", 0, 245, 2, 0, 0},
        {1020, ControlKind::OwnerDrawButton, "", cs::TabStop, 245, 14, 11, 10},
        {1029, ControlKind::Edit, "", cs::ReadOnly | cs::Border | cs::AutoHScroll, 259, 13, 67, 12},
        {1021, ControlKind::OwnerDrawButton, "", cs::TabStop, 245, 30, 11, 10},
        {1031, ControlKind::Edit, "", cs::ReadOnly | cs::Border | cs::AutoHScroll, 259, 29, 67, 12},
        {1022, ControlKind::OwnerDrawButton, "", cs::TabStop, 245, 46, 11, 10},
        {1030, ControlKind::Edit, "", cs::ReadOnly | cs::Border | cs::AutoHScroll, 259, 45, 67, 12},
        {1023, ControlKind::OwnerDrawButton, "", cs::TabStop, 245, 62, 11, 10},
        {1032, ControlKind::Edit, "", cs::ReadOnly | cs::Border | cs::AutoHScroll, 259, 61, 67, 12},
        {1024, ControlKind::OwnerDrawButton, "", cs::TabStop, 245, 78, 11, 10},
        {1033, ControlKind::Edit, "", cs::ReadOnly | cs::Border | cs::AutoHScroll, 259, 77, 67, 12},
        {1025, ControlKind::OwnerDrawButton, "", cs::TabStop, 245, 94, 11, 10},
        {1034, ControlKind::Edit, "", cs::ReadOnly | cs::Border | cs::AutoHScroll, 259, 93, 67, 12},
        {1026, ControlKind::OwnerDrawButton, "", cs::TabStop, 245, 110, 11, 10},
        {1035, ControlKind::Edit, "", cs::ReadOnly | cs::Border | cs::AutoHScroll, 259, 109, 67,
         12},
        {1027, ControlKind::OwnerDrawButton, "", cs::TabStop, 245, 126, 11, 10},
        {1036, ControlKind::Edit, "", cs::ReadOnly | cs::Border | cs::AutoHScroll, 259, 125, 67,
         12},
        {1050, ControlKind::OwnerDrawButton, "", cs::TabStop, 245, 142, 11, 10},
        {1047, ControlKind::Edit, "", cs::ReadOnly | cs::Border | cs::AutoHScroll, 259, 141, 67,
         12},
        {1051, ControlKind::OwnerDrawButton, "", cs::TabStop, 245, 158, 11, 10},
        {1049, ControlKind::Edit, "", cs::ReadOnly | cs::Border | cs::AutoHScroll, 259, 157, 67,
         12},
    };
    static constexpr fw::DialogTemplate kDialog{129, "Tuner", "MS Sans Serif", 8,
                                                327, 172,     ds::Child,       kControls};
    return kDialog;
}

}  // namespace res

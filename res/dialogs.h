#pragma once
// One function per dialog template, each in its own file (dialog_<id>.cpp).

#include "framework/dialog_template.h"

namespace res {

const fw::DialogTemplate& dialog100();  // About box
const fw::DialogTemplate& dialog102();  // main window
const fw::DialogTemplate& dialog129();  // Tuner page
const fw::DialogTemplate& dialog130();  // Console page
const fw::DialogTemplate& dialog131();  // Advanced page
const fw::DialogTemplate& dialog267();  // frequency entry
const fw::DialogTemplate& dialog282();  // Scanner page

}  // namespace res

#pragma once
// The tool's resources: dialog templates and the string table. Pictures are in
// res/pictures/pictures.h (same namespace).

#include <QString>

#include "framework/dialog_template.h"
#include "framework/resources.h"

namespace res {

// The template with this id; an empty template (id 0, no controls) when there is none.
const fw::DialogTemplate& dialogTemplate(int id);
// nullptr when there is no template with this id.
const fw::DialogTemplate* findDialogTemplate(int id);

// The string with this id; empty when there is none.
QString loadString(int id);

// The templates and pictures above, as the framework takes them (fw::setResources).
const fw::Resources& resources();

}  // namespace res

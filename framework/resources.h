#pragma once
// What the framework needs of a program's resources: the dialog templates it builds windows from
// and the pictures their Bitmap and Icon controls name. The program hands them over once at
// start-up, before the first dialog; the framework knows nothing of where they come from.

#include <QPixmap>
#include <QString>

#include "framework/dialog_template.h"

namespace fw {

class Resources {
public:
    virtual ~Resources() = default;
    // nullptr when there is no template with this id.
    virtual const DialogTemplate* findDialogTemplate(int id) const = 0;
    // The picture a Bitmap or Icon control names (a number, or a bitmap's name), drawn at the
    // device pixel ratio `dpr`; a null pixmap when there is none.
    virtual QPixmap picture(ControlKind kind, const QString& name, qreal dpr) const = 0;
};

// Call on the user-interface thread before any dialog is built; `resources` must outlive them.
// Without resources, a dialog by id is empty and controls have no pictures.
void setResources(const Resources* resources);
const Resources* resources();

}  // namespace fw

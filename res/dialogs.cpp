#include "res/dialogs.h"
#include "res/resources.h"

namespace res {

const fw::DialogTemplate* findDialogTemplate(int id) {
    switch (id) {
        case 100:
            return &dialog100();
        case 102:
            return &dialog102();
        case 129:
            return &dialog129();
        case 130:
            return &dialog130();
        case 131:
            return &dialog131();
        case 267:
            return &dialog267();
        case 282:
            return &dialog282();
        default:
            return nullptr;
    }
}

const fw::DialogTemplate& dialogTemplate(int id) {
    static constexpr fw::DialogTemplate kNone{};
    const fw::DialogTemplate* t = findDialogTemplate(id);
    return t != nullptr ? *t : kNone;
}

}  // namespace res

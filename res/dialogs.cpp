#include "res/dialogs.h"
#include "res/resources.h"

#if BRIX_HAVE_PICTURES
#include "pictures.h"
#endif

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

namespace {

class ToolResources final : public fw::Resources {
public:
    const fw::DialogTemplate* findDialogTemplate(int id) const override {
        return res::findDialogTemplate(id);
    }

    QPixmap picture(fw::ControlKind kind, const QString& name, qreal dpr) const override {
#if BRIX_HAVE_PICTURES
        bool isNumber = false;
        const int number = name.toInt(&isNumber);
        if (kind == fw::ControlKind::Icon)
            return isNumber ? iconPixmap(number, dpr) : QPixmap();
        return isNumber ? bitmap(number, dpr) : bitmap(name, dpr);
#else
        (void)kind;
        (void)name;
        (void)dpr;
        return QPixmap();
#endif
    }
};

}  // namespace

const fw::Resources& resources() {
    static const ToolResources kResources;
    return kResources;
}

}  // namespace res

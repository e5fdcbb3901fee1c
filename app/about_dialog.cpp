#include "app/about_dialog.h"

#include <QWidget>

#include "res/resources.h"

namespace brix {

namespace {

constexpr int kCaptionString = 101;
constexpr int kVersionString = 102;
constexpr int kMakerString = 105;
constexpr int kNoticeString = 106;

}  // namespace

AboutDialog::AboutDialog() : fw::Dialog(kTemplateId) {}

bool AboutDialog::onInitDialog() {
    // Each text only when its string is there; the template's text stays otherwise.
    if (const QString caption = res::loadString(kCaptionString); !caption.isEmpty())
        widget()->setWindowTitle(caption);
    const struct {
        int control;
        int string;
    } texts[] = {
        {kMakerId, kMakerString}, {kVersionId, kVersionString}, {kNoticeId, kNoticeString}};
    for (const auto& t : texts) {
        if (const QString text = res::loadString(t.string); !text.isEmpty())
            setItemText(t.control, text);
    }
    return true;
}

}  // namespace brix

#pragma once
// The About box (template 100): the maker, the version and a notice line, with the tool's icon.

#include "framework/dialog.h"

namespace brix {

class AboutDialog : public fw::Dialog {
public:
    static constexpr int kTemplateId = 100;
    static constexpr int kMakerId = 1038;
    static constexpr int kVersionId = 1035;
    static constexpr int kNoticeId = 1034;

    AboutDialog();

protected:
    bool onInitDialog() override;
};

}  // namespace brix

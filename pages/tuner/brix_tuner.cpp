#include "brix_tuner.h"

#include "bitmap_button.h"
#include "channel_table.h"
#include "display_controls.h"
#include "res/resources.h"

namespace brix {

FW_BEGIN_MESSAGE_MAP(BrixTuner)
FW_ON_CLICKED(kTuneSet, onTuneSet)
FW_END_MESSAGE_MAP()

BrixTuner::BrixTuner()
    : fw::Dialog(kTemplateId),
      rxFrequency_(std::make_unique<FrequencyDisplay>()),
      txFrequency_(std::make_unique<FrequencyDisplay>()),
      rxRate_(std::make_unique<BitRateDisplay>()),
      txRate_(std::make_unique<BitRateDisplay>()),
      inLamp_(std::make_unique<LedIndicator>()),
      outLamp_(std::make_unique<LedIndicator>()) {
    for (std::size_t i = 0; i < bars_.size(); ++i)
        bars_[i] = std::make_unique<LevelBar>(i == 4 ? 16u : 1u, 24u);
    channelTable().reset();
}

BrixTuner::~BrixTuner() = default;

std::string BrixTuner::channelFileName() {
    return (res::loadString(103) + QString::fromLatin1(kChannelFileSuffix)).toStdString();
}

void BrixTuner::enableChannelButtons(bool) {}
void BrixTuner::enableStepButtons(bool) {}
void BrixTuner::refreshChannelLabels() {}
void BrixTuner::onTimer(int) {}
void BrixTuner::onTuneSet() {}
BitmapButton* BrixTuner::tuneSetButton() const {
    return itemAs<BitmapButton>(kTuneSet);
}
bool BrixTuner::onInitDialog() {
    return true;
}
void BrixTuner::onDestroy() {}
void BrixTuner::onLButtonDblClk(QPoint) {}

}  // namespace brix

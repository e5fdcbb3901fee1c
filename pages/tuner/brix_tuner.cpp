#include "brix_tuner.h"

#include <QApplication>
#include <QLineEdit>
#include <QPalette>
#include <QSlider>

#include <algorithm>

#include "app/main_dialog.h"
#include "app/tool_app.h"
#include "bitmap_button.h"
#include "channels/channel_table.h"
#include "display_controls.h"
#include "frequency_dialog.h"
#include "link/link_state.h"
#include "pages/console/brix_debug.h"
#include "pictures.h"
#include "res/resources.h"

namespace brix {

namespace {

constexpr std::array<int, 4> kReceiveStepButtons{
    BrixTuner::kReceiveFrequencyUp, BrixTuner::kReceiveFrequencyDown, BrixTuner::kReceiveRateUp,
    BrixTuner::kReceiveRateDown};
constexpr std::array<int, 4> kTransmitStepButtons{
    BrixTuner::kTransmitFrequencyUp, BrixTuner::kTransmitFrequencyDown, BrixTuner::kTransmitRateUp,
    BrixTuner::kTransmitRateDown};

// Bars in the order of levelBar(): receive message, sync, error; transmit message, level, error.
constexpr std::array<int, 6> kBarIds{BrixTuner::kReceiveMessageBar, BrixTuner::kReceiveSyncBar,
                                     BrixTuner::kReceiveErrorBar,   BrixTuner::kTransmitMessageBar,
                                     BrixTuner::kTransmitLevelBar,  BrixTuner::kTransmitErrorBar};
constexpr std::size_t kTransmitLevelBarIndex = 4;
constexpr std::uint32_t kBarCells = 24;
// The transmit level runs 0 to about 16; the other bars scale from the first value they see.
constexpr std::uint32_t kTransmitLevelPeak = 16;

const char* barColour(std::size_t index) {
    switch (index % 3) {
        case 0:
            return "GREEN";
        case 1:
            return "YELLOW";
        default:
            return "RED";
    }
}

// Up one step unless that would pass the maximum: the value never wraps and is never clamped.
void stepUp(FrequencyDisplay& display, std::uint32_t step) {
    const std::uint32_t v = display.value();
    const std::uint32_t max = display.maximum();
    if (step <= max && v <= max - step)
        display.setValue(v + step, false);
}

void stepDown(FrequencyDisplay& display, std::uint32_t step) {
    const std::uint32_t v = display.value();
    const std::uint32_t min = display.minimum();
    if (v >= min && v - min >= step)
        display.setValue(v - step, false);
}

void rateUp(BitRateDisplay& display) {
    const std::uint32_t c = display.value();
    if (c < display.maximum())
        display.setValue(c + 1, false);
}

void rateDown(BitRateDisplay& display) {
    const std::uint32_t c = display.value();
    if (c > display.minimum())
        display.setValue(c - 1, false);
}

// The timer's feed: a value the display already shows (after its clamp) is not given again,
// since the bit-rate display copies its two decimals at every call.
void follow(FrequencyDisplay& display, std::uint32_t v) {
    const std::uint32_t shown = std::clamp(v, display.minimum(), display.maximum());
    if (shown != display.value())
        display.setValue(v, false);
}

// The instrument-panel look: the dark panel colour of the pictures behind everything, light text.
QPalette panelPalette(QPalette pal) {
    const QColor panel = res::panelColor();
    const QColor text(0xd8, 0xdc, 0xe2);
    const QColor dimText(0x70, 0x76, 0x80);
    pal.setColor(QPalette::Window, panel);
    pal.setColor(QPalette::WindowText, text);
    pal.setColor(QPalette::Button, panel.lighter(135));
    pal.setColor(QPalette::ButtonText, text);
    pal.setColor(QPalette::Base, panel.darker(160));
    pal.setColor(QPalette::Text, text);
    pal.setColor(QPalette::Highlight, QColor(0x3c, 0xb4, 0x5a));
    pal.setColor(QPalette::Disabled, QPalette::WindowText, dimText);
    pal.setColor(QPalette::Disabled, QPalette::Text, dimText);
    pal.setColor(QPalette::Disabled, QPalette::ButtonText, dimText);
    pal.setColor(QPalette::Disabled, QPalette::Base, panel.darker(130));
    return pal;
}

}  // namespace

FW_BEGIN_MESSAGE_MAP(BrixTuner)
FW_ON_CLICKED(BrixTuner::kTuneSet, onTuneSet)
FW_ON_CLICKED(BrixTuner::kCancel, onCancelEdit)
FW_ON_CLICKED(BrixTuner::kReceiveFrequencyUp, onReceiveFrequencyUp)
FW_ON_CLICKED(BrixTuner::kReceiveFrequencyDown, onReceiveFrequencyDown)
FW_ON_CLICKED(BrixTuner::kReceiveRateUp, onReceiveRateUp)
FW_ON_CLICKED(BrixTuner::kReceiveRateDown, onReceiveRateDown)
FW_ON_CLICKED(BrixTuner::kTransmitFrequencyUp, onTransmitFrequencyUp)
FW_ON_CLICKED(BrixTuner::kTransmitFrequencyDown, onTransmitFrequencyDown)
FW_ON_CLICKED(BrixTuner::kTransmitRateUp, onTransmitRateUp)
FW_ON_CLICKED(BrixTuner::kTransmitRateDown, onTransmitRateDown)
FW_ON_CLICKED(1020, onChannel0)
FW_ON_CLICKED(1021, onChannel1)
FW_ON_CLICKED(1022, onChannel2)
FW_ON_CLICKED(1023, onChannel3)
FW_ON_CLICKED(1024, onChannel4)
FW_ON_CLICKED(1025, onChannel5)
FW_ON_CLICKED(1026, onChannel6)
FW_ON_CLICKED(1027, onChannel7)
FW_ON_CLICKED(1050, onChannel8)
FW_ON_CLICKED(1051, onChannel9)
FW_END_MESSAGE_MAP()

BrixTuner::BrixTuner()
    : fw::Dialog(kTemplateId),
      rxFrequency_(std::make_unique<FrequencyDisplay>(0, 0, 15000)),
      txFrequency_(std::make_unique<FrequencyDisplay>(0, 0, 15000)),
      rxRate_(std::make_unique<BitRateDisplay>(0, 0, 6)),
      txRate_(std::make_unique<BitRateDisplay>(0, 0, 6)),
      inLamp_(std::make_unique<LedIndicator>(0)),
      outLamp_(std::make_unique<LedIndicator>(0)) {
    for (std::size_t i = 0; i < bars_.size(); ++i) {
        const std::uint32_t peak = i == kTransmitLevelBarIndex ? kTransmitLevelPeak : 1;
        bars_[i] = std::make_unique<LevelBar>(peak, kBarCells);
    }
    channelTable().reset();
}

BrixTuner::~BrixTuner() {
    // The window (if the owner left it open) goes first, so onDestroy still sees the displays.
    destroyWindow();
}

std::string BrixTuner::channelFileName() {
    return (res::loadString(103) + QString::fromLatin1(kChannelFileSuffix)).toStdString();
}

std::array<QWidget*, 12> BrixTuner::displayWidgets() const {
    return {rxFrequency_.get(), txFrequency_.get(), rxRate_.get(),  txRate_.get(),
            bars_[0].get(),     bars_[1].get(),     bars_[2].get(), bars_[3].get(),
            bars_[4].get(),     bars_[5].get(),     inLamp_.get(),  outLamp_.get()};
}

bool BrixTuner::onInitDialog() {
    channelFile_ = channelFileName();
    channelTable().load(channelFile_);

    QWidget* page = widget();
    page->setAutoFillBackground(true);
    page->setPalette(panelPalette(page->palette()));

    // Every push button is a bitmap button with its template caption.
    auto makeButton = [this](int id) -> BitmapButton* {
        const fw::ControlTemplate* t = dialogTemplate().find(id);
        auto* button = new BitmapButton();
        button->setText(t != nullptr ? QString::fromUtf8(t->text) : QString());
        if (!attachControl(id, button)) {
            delete button;
            return nullptr;
        }
        return button;
    };
    for (const auto& ids : {kReceiveStepButtons, kTransmitStepButtons}) {
        for (int id : ids) {
            if (BitmapButton* b = makeButton(id))
                b->autoLoad();
        }
    }
    if (BitmapButton* tune = makeButton(kTuneSet))
        tune->loadBitmaps(QStringLiteral("TUNE"));
    if (BitmapButton* cancel = makeButton(kCancel))
        cancel->loadBitmaps(QStringLiteral("CANCEL"));
    enableItem(kCancel, false);
    for (int id : kChannelButtons) {
        if (BitmapButton* b = makeButton(id))
            b->loadBitmaps(QStringLiteral("LABEL"));
    }

    for (int id : {kReceiveStepSlider, kTransmitStepSlider}) {
        if (auto* slider = itemAs<QSlider>(id))
            slider->setRange(1, 4);
    }

    // The displays keep their bitmaps' size whatever the template's rounding gives.
    auto attach = [this](int id, QWidget* control) {
        if (attachControl(id, control))
            control->resize(control->sizeHint());
    };
    attach(kReceiveFrequency, rxFrequency_.get());
    rxFrequency_->loadBitmaps(res::kReceiveDigit0, res::kReceiveFreqBackground);
    attach(kReceiveRate, rxRate_.get());
    rxRate_->loadBitmaps(res::kReceiveDigit0, res::kReceiveRateBackground);
    attach(kTransmitFrequency, txFrequency_.get());
    txFrequency_->loadBitmaps(res::kTransmitDigit0, res::kTransmitFreqBackground);
    attach(kTransmitRate, txRate_.get());
    txRate_->loadBitmaps(res::kTransmitDigit0, res::kTransmitRateBackground);
    for (std::size_t i = 0; i < bars_.size(); ++i) {
        attach(kBarIds[i], bars_[i].get());
        bars_[i]->loadBitmaps(QString::fromLatin1(barColour(i)), QStringLiteral("BLACK"));
    }
    attach(kInLamp, inLamp_.get());
    inLamp_->loadBitmaps();
    attach(kOutLamp, outLamp_.get());
    outLamp_->loadBitmaps();

    // Label displays: a dark strip with light text, readable also while disabled.
    for (int id : kLabelDisplays) {
        if (auto* edit = itemAs<QLineEdit>(id)) {
            edit->setPalette(panelPalette(edit->palette()));
            edit->setFocusPolicy(Qt::NoFocus);
        }
    }

    nameControls();
    enableStepButtons(false);
    enableChannelButtons(true);
    return true;
}

void BrixTuner::nameControls() {
    // The page is drawn from pictures; these names are what a screen reader says instead.
    static constexpr std::pair<int, const char*> kNames[] = {
        {kReceiveFrequency, "Receive frequency"},
        {kReceiveFrequencyUp, "Receive frequency up"},
        {kReceiveFrequencyDown, "Receive frequency down"},
        {kReceiveStepSlider, "Receive step"},
        {kReceiveRate, "Receive bit rate"},
        {kReceiveRateUp, "Receive bit rate up"},
        {kReceiveRateDown, "Receive bit rate down"},
        {kReceiveMessageBar, "Receive message level"},
        {kReceiveSyncBar, "Receive sync level"},
        {kReceiveErrorBar, "Receive error level"},
        {kTransmitFrequency, "Transmit frequency"},
        {kTransmitFrequencyUp, "Transmit frequency up"},
        {kTransmitFrequencyDown, "Transmit frequency down"},
        {kTransmitStepSlider, "Transmit step"},
        {kTransmitRate, "Transmit bit rate"},
        {kTransmitRateUp, "Transmit bit rate up"},
        {kTransmitRateDown, "Transmit bit rate down"},
        {kTransmitMessageBar, "Transmit message level"},
        {kTransmitLevelBar, "Transmit level"},
        {kTransmitErrorBar, "Transmit error level"},
        {kInLamp, "In lamp"},
        {kOutLamp, "Out lamp"},
        {kTuneSet, "Tune"},
        {kCancel, "Cancel"},
    };
    for (const auto& [id, name] : kNames) {
        if (QWidget* w = item(id))
            w->setAccessibleName(QString::fromLatin1(name));
    }
    for (int k = 0; k < kChannels; ++k) {
        if (QWidget* b = item(kChannelButtons[std::size_t(k)]))
            b->setAccessibleName(QStringLiteral("Channel %1").arg(k + 1));
        if (QWidget* l = item(kLabelDisplays[std::size_t(k)]))
            l->setAccessibleName(QStringLiteral("Label of channel %1").arg(k + 1));
    }
}

void BrixTuner::onDestroy() {
    saveChannelLabels();
    // The page object owns the displays beyond its window: take them out before the window
    // deletes its children.
    for (QWidget* w : displayWidgets())
        w->setParent(nullptr);
}

void BrixTuner::saveChannelLabels() {
    // The labels of this run are lost when the file cannot be written: the Console (and the
    // message log) say why; the Console page goes after this one.
    std::string why;
    if (!channelTable().save(channelFile_.empty() ? channelFileName() : channelFile_, &why)) {
        const MainDialog* main = theApp.mainDialog;
        if (main != nullptr && main->consolePage != nullptr) {
            const std::string line = "Channel labels not saved: " + why;
            main->consolePage->addConsoleMessage(MessageKind::Error, line.c_str(), true);
        }
    }
}

void BrixTuner::enableChannelButtons(bool on) {
    for (int k = 0; k < kChannels; ++k) {
        enableItem(kChannelButtons[std::size_t(k)], on);
        enableItem(kLabelDisplays[std::size_t(k)], on);
    }
}

void BrixTuner::enableStepButtons(bool on) {
    for (int id : kReceiveStepButtons)
        enableItem(id, on);
    for (int id : kTransmitStepButtons)
        enableItem(id, false);
}

void BrixTuner::refreshChannelLabels() {
    const std::array<std::string, kChannelCount> labels = channelTable().labels();
    for (std::size_t k = 0; k < labels.size(); ++k) {
        const QString text = QString::fromLatin1(labels[k].data(), qsizetype(labels[k].size()));
        setItemText(kLabelDisplays[k], text);
        // Long labels show their beginning.
        if (auto* edit = itemAs<QLineEdit>(kLabelDisplays[k]))
            edit->setCursorPosition(0);
    }
}

void BrixTuner::onTimer(int /*id*/) {
    if (!editMode_) {
        std::uint16_t rxFrequency = 0;
        std::uint16_t txFrequency = 0;
        std::uint16_t rxCode = 0;
        std::uint16_t txCode = 0;
        getFrequencies(rxFrequency, txFrequency);
        getRateCodes(rxCode, txCode);
        follow(*rxFrequency_, rxFrequency);
        follow(*txFrequency_, txFrequency);
        follow(*rxRate_, rxCode);
        follow(*txRate_, txCode);
    }

    for (std::int16_t side = 0; side < 2; ++side) {
        std::int32_t rates[3] = {0, 0, 0};
        getStatisticsRates(side, rates[0], rates[1], rates[2]);
        for (std::size_t i = 0; i < 3; ++i) {
            bars_[std::size_t(side) * 3 + i]->setLevel(static_cast<std::uint32_t>(rates[i]), false);
        }
    }

    // Taken and marked shown in one step, so a frame of the link thread in between is neither
    // lost nor shown on the second lamp in the same tick.
    const std::int16_t activity = linkState().activity.exchange(-1);
    if (activity == 1)
        inLamp_->toggle();
    else if (activity == 0)
        outLamp_->toggle();

    if (channelTable().takeLabelRefresh())
        refreshChannelLabels();
}

BitmapButton* BrixTuner::tuneSetButton() const {
    return itemAs<BitmapButton>(kTuneSet);
}

void BrixTuner::setActionFaces(bool setFaces) {
    if (BitmapButton* b = tuneSetButton()) {
        b->loadBitmaps(setFaces ? QStringLiteral("SET") : QStringLiteral("TUNE"));
        b->setAccessibleName(setFaces ? QStringLiteral("Set") : QStringLiteral("Tune"));
        b->repaint();
    }
}

void BrixTuner::onTuneSet() {
    if (!editMode_) {
        enableChannelButtons(false);
        enableStepButtons(true);
        editMode_ = true;
        setActionFaces(true);
        enableItem(kCancel, true);
        return;
    }
    const auto frequency = static_cast<std::uint16_t>(rxFrequency_->value());
    const auto code = static_cast<std::uint16_t>(rxRate_->value());
    sendTuneFrequency(frequency);
    sendTuneChannel(frequency, code);
    enableItem(kCancel, false);
    enableChannelButtons(true);
    enableStepButtons(false);
    setActionFaces(false);
    editMode_ = false;
    outLamp_->toggle();
}

void BrixTuner::onCancelEdit() {
    if (!editMode_)
        return;
    enableChannelButtons(true);
    enableStepButtons(false);
    setActionFaces(false);
    enableItem(kCancel, false);
    editMode_ = false;
}

std::uint32_t BrixTuner::stepOf(int sliderId) const {
    const auto* slider = itemAs<QSlider>(sliderId);
    const int position = slider != nullptr ? slider->value() : 1;
    std::uint32_t step = 1;
    for (int p = 1; p < position && p < 10; ++p)
        step *= 10;
    return step;
}

void BrixTuner::onReceiveFrequencyUp() {
    stepUp(*rxFrequency_, stepOf(kReceiveStepSlider));
}
void BrixTuner::onReceiveFrequencyDown() {
    stepDown(*rxFrequency_, stepOf(kReceiveStepSlider));
}
void BrixTuner::onReceiveRateUp() {
    rateUp(*rxRate_);
}
void BrixTuner::onReceiveRateDown() {
    rateDown(*rxRate_);
}
void BrixTuner::onTransmitFrequencyUp() {
    stepUp(*txFrequency_, stepOf(kTransmitStepSlider));
}
void BrixTuner::onTransmitFrequencyDown() {
    stepDown(*txFrequency_, stepOf(kTransmitStepSlider));
}
void BrixTuner::onTransmitRateUp() {
    rateUp(*txRate_);
}
void BrixTuner::onTransmitRateDown() {
    rateDown(*txRate_);
}

void BrixTuner::tuneToChannel(int k) {
    // The buttons are disabled in edit mode; a press that still arrives would leave the Set face
    // on a page that is no longer editing.
    if (editMode_)
        return;
    const ChannelEntry entry = channelTable().entry(k);
    rxFrequency_->setValue(static_cast<std::uint32_t>(entry.frequency), false);
    rxRate_->setValue(static_cast<std::uint32_t>(entry.bitRateIndex), false);
    // Sent as the displays hold them, clamped to their ranges.
    const auto frequency = static_cast<std::uint16_t>(rxFrequency_->value());
    const auto code = static_cast<std::uint16_t>(rxRate_->value());
    sendTuneChannel(frequency, code);
    sendTuneFrequency(frequency);
    outLamp_->toggle();
}

void BrixTuner::onChannel0() {
    tuneToChannel(0);
}
void BrixTuner::onChannel1() {
    tuneToChannel(1);
}
void BrixTuner::onChannel2() {
    tuneToChannel(2);
}
void BrixTuner::onChannel3() {
    tuneToChannel(3);
}
void BrixTuner::onChannel4() {
    tuneToChannel(4);
}
void BrixTuner::onChannel5() {
    tuneToChannel(5);
}
void BrixTuner::onChannel6() {
    tuneToChannel(6);
}
void BrixTuner::onChannel7() {
    tuneToChannel(7);
}
void BrixTuner::onChannel8() {
    tuneToChannel(8);
}
void BrixTuner::onChannel9() {
    tuneToChannel(9);
}

void BrixTuner::onLButtonDblClk(QPoint pos) {
    if (!editMode_)
        return;
    if (pos.x() <= kEntryAreaLeft || pos.x() >= kEntryAreaRight || pos.y() <= kEntryAreaTop ||
        pos.y() >= kEntryAreaBottom)
        return;
    FrequencyDialog entry;
    if (entry.doModal(widget()) == fw::IDOK)
        rxFrequency_->setValue(entry.frequency(), false);
}

}  // namespace brix

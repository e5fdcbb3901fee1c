#pragma once
// The Tuner page: the modem's receive and transmit channel on four digit displays, the traffic
// level bars and the two activity lamps, and the ways to retune the receive channel (stepping
// then Set, a typed frequency, or one of the ten stored channels).
//
// The page is never pushed by the link: its 500 ms timer (started by the main window while the
// Tuner tab is shown) reads the link's values. Everything here runs on the user-interface thread.

#include <QPoint>

class QWidget;

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "framework/dialog.h"

namespace brix {

class BitmapButton;
class BitRateDisplay;
class FrequencyDisplay;
class LedIndicator;
class LevelBar;

class BrixTuner : public fw::Dialog {
public:
    // Control ids of template 129.
    static constexpr int kTemplateId = 129;
    static constexpr int kTuneSet = 1003;  // Tune in browse mode, Set in edit mode
    static constexpr int kCancel = 1004;
    static constexpr int kTransmitStepSlider = 1005;
    static constexpr int kReceiveStepSlider = 1006;
    static constexpr int kReceiveFrequency = 1007;
    static constexpr int kTransmitFrequency = 1008;
    static constexpr int kReceiveRate = 1009;
    static constexpr int kTransmitRate = 1010;
    static constexpr int kTransmitMessageBar = 1011;
    static constexpr int kTransmitLevelBar = 1012;
    static constexpr int kTransmitErrorBar = 1013;
    static constexpr int kReceiveMessageBar = 1014;
    static constexpr int kInLamp = 1015;
    static constexpr int kOutLamp = 1016;
    static constexpr int kReceiveSyncBar = 1019;
    static constexpr int kReceiveErrorBar = 1028;
    static constexpr int kReceiveFrequencyUp = 1061;
    static constexpr int kReceiveFrequencyDown = 1062;
    static constexpr int kTransmitFrequencyUp = 1063;
    static constexpr int kTransmitFrequencyDown = 1064;
    static constexpr int kReceiveRateUp = 1065;
    static constexpr int kReceiveRateDown = 1066;
    static constexpr int kTransmitRateUp = 1067;
    static constexpr int kTransmitRateDown = 1068;

    static constexpr int kChannels = 10;
    // Channel button and label display of stored entry k.
    static constexpr std::array<int, kChannels> kChannelButtons{1020, 1021, 1022, 1023, 1024,
                                                                1025, 1026, 1027, 1050, 1051};
    static constexpr std::array<int, kChannels> kLabelDisplays{1029, 1030, 1031, 1032, 1033,
                                                               1034, 1035, 1036, 1047, 1049};

    // The double-click area over the receive frequency display, in page pixels (exclusive).
    static constexpr int kEntryAreaLeft = 45;
    static constexpr int kEntryAreaRight = 145;
    static constexpr int kEntryAreaTop = 12;
    static constexpr int kEntryAreaBottom = 60;

    // Resets the stored channel table; the controls exist once the window is created (create).
    BrixTuner();
    ~BrixTuner() override;

    // The channel file: string 103 followed by ".lb", in the current directory.
    static std::string channelFileName();

    bool editMode() const { return editMode_; }

    // The ten channel buttons with their label displays.
    void enableChannelButtons(bool on);
    // The four receive step buttons as asked; the four transmit ones are always disabled.
    void enableStepButtons(bool on);
    // Label of entry k into the label display of entry k, for all ten.
    void refreshChannelLabels();

    // The 500 ms tick (the timer's id does not matter).
    void onTimer(int id) override;

    // The display objects (they live as long as the page object).
    FrequencyDisplay& receiveFrequencyDisplay() const { return *rxFrequency_; }
    FrequencyDisplay& transmitFrequencyDisplay() const { return *txFrequency_; }
    BitRateDisplay& receiveRateDisplay() const { return *rxRate_; }
    BitRateDisplay& transmitRateDisplay() const { return *txRate_; }
    // Bars in the order 1014, 1019, 1028 (receive), 1011, 1012, 1013 (transmit).
    LevelBar& levelBar(int index) const { return *bars_[std::size_t(index)]; }
    LedIndicator& inLamp() const { return *inLamp_; }
    LedIndicator& outLamp() const { return *outLamp_; }
    // The action button 1003 (its face set reads TUNE or SET).
    BitmapButton* tuneSetButton() const;

    // Writes this run's labels to the channel file; a failure is told on the Console.
    void saveChannelLabels();

protected:
    bool onInitDialog() override;
    void onDestroy() override;
    void onLButtonDblClk(QPoint pos) override;

    FW_DECLARE_MESSAGE_MAP()

private:
    void onTuneSet();
    void onCancelEdit();
    void onReceiveFrequencyUp();
    void onReceiveFrequencyDown();
    void onReceiveRateUp();
    void onReceiveRateDown();
    void onTransmitFrequencyUp();
    void onTransmitFrequencyDown();
    void onTransmitRateUp();
    void onTransmitRateDown();
    void onChannel0();
    void onChannel1();
    void onChannel2();
    void onChannel3();
    void onChannel4();
    void onChannel5();
    void onChannel6();
    void onChannel7();
    void onChannel8();
    void onChannel9();

    void tuneToChannel(int k);
    std::uint32_t stepOf(int sliderId) const;
    std::array<QWidget*, 12> displayWidgets() const;
    void nameControls();
    void setActionFaces(bool setFaces);

    bool editMode_ = false;
    std::unique_ptr<FrequencyDisplay> rxFrequency_;
    std::unique_ptr<FrequencyDisplay> txFrequency_;
    std::unique_ptr<BitRateDisplay> rxRate_;
    std::unique_ptr<BitRateDisplay> txRate_;
    std::array<std::unique_ptr<LevelBar>, 6> bars_;
    std::unique_ptr<LedIndicator> inLamp_;
    std::unique_ptr<LedIndicator> outLamp_;
    std::string channelFile_;
};

}  // namespace brix

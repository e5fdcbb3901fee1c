// The Tuner page driven by its controls: mode changes, stepping, Tune/Set/Cancel, the channel
// buttons, the timer tick and the channel file. What the page sends is caught on loopback.

#include <QFile>
#include <QLineEdit>
#include <QSlider>

#include "draw_log.h"
#include "tuner_test_support.h"

namespace brix::testing {
namespace {

constexpr int kReceiveSteps[] = {1061, 1062, 1065, 1066};
constexpr int kTransmitSteps[] = {1063, 1064, 1067, 1068};

class TunerPage : public TunerTest {
protected:
    void SetUp() override {
        TunerTest::SetUp();
        createPage();
    }

    // Browse mode or edit mode, as every control shows it.
    void expectMode(bool edit) {
        EXPECT_EQ(page->editMode(), edit);
        ASSERT_NE(page->tuneSetButton(), nullptr);
        EXPECT_EQ(page->tuneSetButton()->setName(), edit ? "SET" : "TUNE");
        EXPECT_TRUE(page->isItemEnabled(1003));
        EXPECT_EQ(page->isItemEnabled(1004), edit);
        for (int id : kReceiveSteps)
            EXPECT_EQ(page->isItemEnabled(id), edit) << id;
        for (int id : kTransmitSteps)
            EXPECT_FALSE(page->isItemEnabled(id)) << id;
        for (int k = 0; k < BrixTuner::kChannels; ++k) {
            EXPECT_EQ(page->isItemEnabled(BrixTuner::kChannelButtons[k]), !edit) << k;
            EXPECT_EQ(page->isItemEnabled(BrixTuner::kLabelDisplays[k]), !edit) << k;
        }
        EXPECT_TRUE(page->isItemEnabled(1005));
        EXPECT_TRUE(page->isItemEnabled(1006));
    }

    FrequencyDisplay& rxF() { return page->receiveFrequencyDisplay(); }
    BitRateDisplay& rxRate() { return page->receiveRateDisplay(); }
};

TEST_F(TunerPage, StartsInBrowseModeShowingTheLinkStartValues) {
    expectMode(false);
    EXPECT_EQ(page->tuneSetButton()->currentFace(), BitmapButton::Face::Normal);
    auto* cancel = qobject_cast<BitmapButton*>(control(1004));
    ASSERT_NE(cancel, nullptr);
    EXPECT_EQ(cancel->setName(), "CANCEL");
    EXPECT_EQ(cancel->currentFace(), BitmapButton::Face::Disabled);
    EXPECT_EQ(qobject_cast<BitmapButton*>(control(1061))->setName(), "RECUP");
    EXPECT_EQ(qobject_cast<BitmapButton*>(control(1068))->setName(), "TRANSDOWN");
    EXPECT_EQ(qobject_cast<BitmapButton*>(control(1051))->setName(), "LABEL");
    for (int id : {1005, 1006}) {
        auto* slider = qobject_cast<QSlider*>(control(id));
        ASSERT_NE(slider, nullptr);
        EXPECT_EQ(slider->minimum(), 1);
        EXPECT_EQ(slider->maximum(), 4);
    }
    // The displays sit in place of their template controls, at their bitmaps' size.
    EXPECT_EQ(control(1007), &page->receiveFrequencyDisplay());
    EXPECT_EQ(control(1010), &page->transmitRateDisplay());
    EXPECT_EQ(control(1012), &page->levelBar(4));
    EXPECT_EQ(control(1016), &page->outLamp());
    EXPECT_EQ(control(1007)->size(), QSize(107, 35));
    EXPECT_EQ(control(1014)->size(), QSize(100, 13));
    EXPECT_EQ(control(1015)->size(), QSize(22, 16));
    // Five bars scale from 1, the transmit level from 16.
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(page->levelBar(i).peak(), i == 4 ? 16u : 1u) << i;

    page->onTimer(1);
    EXPECT_EQ(rxF().value(), 0u);
    EXPECT_EQ(rxRate().value(), 0u);
    for (int k = 0; k < BrixTuner::kChannels; ++k)
        EXPECT_EQ(page->itemText(BrixTuner::kLabelDisplays[k]), "") << k;
    EXPECT_TRUE(modem.drain().empty());
}

TEST_F(TunerPage, TuneThenCancelSendsNothingAndTheNextTickShowsTheModemAgain) {
    setLinkValues(4525, 5552, 2, 4);
    page->onTimer(1);
    click(1003);
    expectMode(true);
    setSlider(1006, 3);
    click(1061);
    click(1065);
    EXPECT_EQ(rxF().value(), 4625u);
    page->onTimer(1);  // edit mode: the user's values stay
    EXPECT_EQ(rxF().value(), 4625u);
    EXPECT_EQ(rxRate().value(), 3u);

    click(1004);
    expectMode(false);
    EXPECT_TRUE(modem.drain().empty());
    page->onTimer(1);
    EXPECT_EQ(rxF().value(), 4525u);
    EXPECT_EQ(rxRate().value(), 2u);

    // Outside edit mode Cancel is disabled; a press that still arrives changes nothing.
    page->notify(1004, fw::Notify::Clicked);
    expectMode(false);
}

TEST_F(TunerPage, TuneThenSetSendsFourFramesWithTheShownValues) {
    setLinkValues(4525, 5552, 2, 4);
    page->onTimer(1);
    const std::int32_t outBefore = page->outLamp().state();
    click(1003);
    EXPECT_TRUE(modem.drain().empty());
    click(1003);
    expectMode(false);
    const std::vector<Bytes> sent = modem.drain();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], tuneFrequencyFrame(4525));
    EXPECT_EQ(sent[1], rfQueryFrame());
    EXPECT_EQ(sent[2], tuneChannelFrame(4525, 2));
    EXPECT_EQ(sent[3], rfQueryFrame());
    EXPECT_NE(page->outLamp().state(), outBefore);

    // Changed values go out as shown, a code past 4 included.
    click(1003);
    setSlider(1006, 1);
    click(1062);
    click(1065);
    click(1065);
    click(1065);
    click(1003);
    const std::vector<Bytes> changed = modem.drain();
    ASSERT_EQ(changed.size(), 4u);
    EXPECT_EQ(changed[0], tuneFrequencyFrame(4524));
    EXPECT_EQ(changed[2], tuneChannelFrame(4524, 5));
}

TEST_F(TunerPage, StepsStopShortOfTheLimitsInsteadOfClamping) {
    click(1003);
    rxF().setValue(14995, false);
    setSlider(1006, 2);  // 1 MHz
    click(1061);
    EXPECT_EQ(rxF().value(), 14995u);
    setSlider(1006, 1);  // 0.1 MHz
    click(1061);
    EXPECT_EQ(rxF().value(), 14996u);

    rxF().setValue(5, false);
    setSlider(1006, 2);
    click(1062);
    EXPECT_EQ(rxF().value(), 5u);
    setSlider(1006, 1);
    click(1062);
    EXPECT_EQ(rxF().value(), 4u);

    EXPECT_TRUE(modem.drain().empty());
}

TEST_F(TunerPage, RateCodesRunFromZeroToSixWhereFiveAndSixShowNineFortyFive) {
    click(1003);
    click(1066);
    EXPECT_EQ(rxRate().value(), 0u);
    for (int i = 0; i < 8; ++i)
        click(1065);
    EXPECT_EQ(rxRate().value(), 6u);
    drawLog(page->receiveRateDisplay()).clear();
    click(1066);  // 6 -> 5: the same 9.45, so only the two decimals are drawn again
    EXPECT_EQ(rxRate().value(), 5u);
    EXPECT_EQ(drawLog(page->receiveRateDisplay()).entries().size(), 2u);
    click(1003);
    const std::vector<Bytes> sent = modem.drain();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[2], tuneChannelFrame(0, 5));
}

TEST_F(TunerPage, ChannelButtonSendsTheClampedEntryInReverseOrder) {
    ChannelTableBody body;
    body.setRecord(3, 20000, 9);
    body.setRecord(0, 4525, 2);
    channelTable().applyBody(body);

    click(1023);
    EXPECT_FALSE(page->editMode());
    EXPECT_EQ(rxF().value(), 15000u);
    EXPECT_EQ(rxRate().value(), 6u);
    std::vector<Bytes> sent = modem.drain();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], tuneChannelFrame(15000, 6));
    EXPECT_EQ(sent[1], rfQueryFrame());
    EXPECT_EQ(sent[2], tuneFrequencyFrame(15000));
    EXPECT_EQ(sent[3], rfQueryFrame());
    EXPECT_EQ(page->outLamp().state(), 1);

    click(1020);
    sent = modem.drain();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], tuneChannelFrame(4525, 2));
    EXPECT_EQ(page->outLamp().state(), 0);

    // Disabled in edit mode; a press that still arrives sends nothing.
    click(1003);
    click(1020);
    page->notify(1020, fw::Notify::Clicked);
    EXPECT_TRUE(modem.drain().empty());
    expectMode(true);
}

TEST_F(TunerPage, TimerFollowsTheLinkOnlyInBrowseModeButBarsAlways) {
    setLinkValues(20000, 5552, 9, 4);
    setLinkRates(50, 100, 8, 8, 0);
    page->onTimer(1);
    EXPECT_EQ(rxF().value(), 15000u);
    EXPECT_EQ(page->transmitFrequencyDisplay().value(), 5552u);
    EXPECT_EQ(rxRate().value(), 6u);
    EXPECT_EQ(page->transmitRateDisplay().value(), 4u);
    EXPECT_EQ(page->levelBar(0).lastLit(), 24u);  // peak 1 -> 50
    EXPECT_EQ(page->levelBar(1).lastLit(), 24u);
    EXPECT_EQ(page->levelBar(4).lastLit(), 12u);  // 8 of 16
    EXPECT_EQ(page->levelBar(5).lastLit(), 0u);

    click(1003);
    setLinkValues(4525, 4000, 1, 1);
    setLinkRates(25, 50, 4, 16, 3);
    page->onTimer(1);
    EXPECT_EQ(rxF().value(), 15000u);
    EXPECT_EQ(page->transmitFrequencyDisplay().value(), 5552u);
    EXPECT_EQ(page->transmitRateDisplay().value(), 4u);
    EXPECT_EQ(page->levelBar(0).lastLit(), 12u);
    EXPECT_EQ(page->levelBar(4).lastLit(), 24u);
    EXPECT_EQ(page->levelBar(5).lastLit(), 24u);

    // A negative transmit level reads as a huge unsigned value and lights nothing.
    setLinkRates(25, 50, 4, -1, 3);
    page->onTimer(1);
    EXPECT_EQ(page->levelBar(4).lastLit(), 0u);
}

TEST_F(TunerPage, TickWithNothingChangedDrawsNothing) {
    setLinkValues(4525, 5552, 9, 4);  // a code past 6 stays 6 on the display
    setLinkRates(30, 55, 20, 9, 2);
    page->onTimer(1);
    linkState().activity = -1;
    const auto draws = [this] {
        std::uint64_t n = 0;
        for (BitmapSurfaceWidget* w : std::initializer_list<BitmapSurfaceWidget*>{
                 &page->receiveFrequencyDisplay(), &page->transmitFrequencyDisplay(),
                 &page->receiveRateDisplay(), &page->transmitRateDisplay(), &page->inLamp(),
                 &page->outLamp()})
            n += drawLog(*w).total();
        for (int i = 0; i < 6; ++i)
            n += drawLog(page->levelBar(i)).total();
        return n;
    };
    const std::uint64_t before = draws();
    page->onTimer(1);
    page->onTimer(1);
    EXPECT_EQ(draws(), before);
    setLinkValues(4526, 5552, 9, 4);
    page->onTimer(1);
    EXPECT_EQ(draws(), before + 1);  // the tenths digit only
}

TEST_F(TunerPage, AtMostOneLampTogglesPerTick) {
    LinkState& st = linkState();
    st.activity = 1;
    page->onTimer(1);
    EXPECT_EQ(page->inLamp().state(), 1);
    EXPECT_EQ(page->outLamp().state(), 0);
    EXPECT_EQ(st.activity.load(), -1);

    page->onTimer(1);  // nothing happened in between
    EXPECT_EQ(page->inLamp().state(), 1);
    EXPECT_EQ(page->outLamp().state(), 0);

    st.activity = 0;
    page->onTimer(1);
    EXPECT_EQ(page->inLamp().state(), 1);
    EXPECT_EQ(page->outLamp().state(), 1);
    EXPECT_EQ(st.activity.load(), -1);

    // Lamps blink in edit mode as well.
    click(1003);
    st.activity = 1;
    page->onTimer(1);
    EXPECT_EQ(page->inLamp().state(), 0);
}

TEST_F(TunerPage, LabelsShowAtTheTickAfterARefreshIsAskedForEvenInEditMode) {
    channelTable().setLabel(0, "Home");
    channelTable().setLabel(1, "Second");
    channelTable().setLabel(2, "Third");
    channelTable().setLabel(9, "Last \xe9t\xe9");  // 8-bit code page
    page->onTimer(1);
    EXPECT_EQ(page->itemText(1029), "");

    click(1003);
    channelTable().labelRefreshPending = 1;
    page->onTimer(1);
    EXPECT_EQ(channelTable().labelRefreshPending.load(), 0);
    EXPECT_EQ(page->itemText(1029), "Home");
    EXPECT_EQ(page->itemText(1030), "Second");
    EXPECT_EQ(page->itemText(1031), "Third");
    EXPECT_EQ(page->itemText(1049), QString::fromUtf8("Last \u00e9t\u00e9"));
    EXPECT_FALSE(page->isItemEnabled(1029));

    // Entry 1's label stands beside entry 2's button and the other way round, as on the
    // Advanced page; every other label stands beside its own button.
    const auto row = [this](int id) { return control(id)->geometry().center().y(); };
    EXPECT_EQ(row(1031), row(1021));
    EXPECT_EQ(row(1030), row(1022));
    EXPECT_EQ(row(1029), row(1020));
    EXPECT_EQ(row(1049), row(1051));
    for (int k = 1; k < BrixTuner::kChannels; ++k)
        EXPECT_GT(row(BrixTuner::kChannelButtons[k]), row(BrixTuner::kChannelButtons[k - 1]));

    channelTable().setLabel(0, "Changed");
    page->onTimer(1);
    EXPECT_EQ(page->itemText(1029), "Home");  // no refresh asked for
}

TEST_F(TunerPage, PageStaysInsideTheTabAndItsPicturesInsideThePage) {
    const QRect pageRect(QPoint(0, 0), page->widget()->size());
    EXPECT_LE(page->widget()->width(), 495);
    EXPECT_LE(page->widget()->height(), 284);
    for (QWidget* child : page->widget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isVisible()) {
            EXPECT_TRUE(pageRect.contains(child->geometry())) << child->objectName().toStdString();
        }
    }
    // The digits of the receive frequency lie in the double-click area.
    const QRect display = control(1007)->geometry();
    EXPECT_GT(display.left() + 4, BrixTuner::kEntryAreaLeft);
    EXPECT_LT(display.left() + 87 + 15 - 1, BrixTuner::kEntryAreaRight);
    EXPECT_GT(display.top(), BrixTuner::kEntryAreaTop);
    EXPECT_LT(display.bottom(), BrixTuner::kEntryAreaBottom);
}

class TunerChannelFile : public TunerTest {};

TEST_F(TunerChannelFile, ConstructionResetsCreationLoadsAndDestructionSaves) {
    EXPECT_EQ(BrixTuner::channelFileName(), "Brix Tool .lb");
    // A file from an earlier run: label "Kitchen" at entry 4, frequency 4525, index 3.
    QByteArray image(580, '\0');
    const QByteArray label("Kitchen");
    std::copy(label.begin(), label.end(), image.begin() + 4 * 58);
    image[4 * 58 + 50] = char(0xAD);
    image[4 * 58 + 51] = char(0x11);
    image[4 * 58 + 54] = 3;
    {
        QFile file(scratchPath("Brix Tool .lb"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(image);
    }
    channelTable().setLabel(0, "left over");

    page = std::make_unique<BrixTuner>();
    EXPECT_EQ(channelTable().entry(0).label, "");  // reset by construction
    host = std::make_unique<QWidget>();
    ASSERT_TRUE(page->create(host.get()));
    EXPECT_EQ(channelTable().entry(4).label, "Kitchen");
    EXPECT_EQ(channelTable().entry(4).frequency, 4525);
    EXPECT_EQ(channelTable().entry(4).bitRateIndex, 3);

    click(1024);
    std::vector<Bytes> sent = modem.drain();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], tuneChannelFrame(4525, 3));

    channelTable().setLabel(7, "Garage");
    page->destroyWindow();
    QFile saved(scratchPath("Brix Tool .lb"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const QByteArray written = saved.readAll();
    ASSERT_EQ(written.size(), 580);
    EXPECT_EQ(written.mid(4 * 58, 58), image.mid(4 * 58, 58));
    EXPECT_EQ(written.mid(7 * 58, 7), QByteArray("Garage\0", 7));

    // The displays outlive the window and are used again by a new one.
    page->receiveFrequencyDisplay().setValue(1234, false);
    ASSERT_TRUE(page->create(host.get()));
    EXPECT_EQ(control(1007), &page->receiveFrequencyDisplay());
    EXPECT_EQ(page->receiveFrequencyDisplay().value(), 1234u);
}

TEST_F(TunerChannelFile, MissingFileLeavesTheTableEmpty) {
    channelTable().setLabel(2, "stale");
    createPage();
    for (int k = 0; k < kChannelCount; ++k)
        EXPECT_EQ(channelTable().entry(k), ChannelEntry{}) << k;
    page.reset();  // destroying the page object with its window still open saves too
    EXPECT_EQ(QFile(scratchPath("Brix Tool .lb")).size(), 580);
}

}  // namespace
}  // namespace brix::testing

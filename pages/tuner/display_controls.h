#pragma once
// The Tuner's display controls: seven-segment frequency and bit-rate displays, level bars made
// of cells, and two-state lamps. Each one draws prepared bitmaps, 1:1, into a surface it owns as
// soon as its value changes, and its paint handler only copies that surface to the screen. Only
// what changed is drawn (the bit-rate display also recopies its two decimals), so the page can
// feed them every tick at no cost.
//
// A BlitObserver, when one is set, sees every copy into a surface (what was copied and where).

#include <QPainter>
#include <QPixmap>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <vector>

namespace brix {

// One bitmap copy into a control's surface, in logical pixels of the control.
struct Blit {
    enum class Kind : std::uint8_t {
        Background,  // the whole background bitmap at (0, 0)
        Cell,        // one place's cell of the background (erases a digit)
        Digit,       // digit bitmap `digit`
        Lit,         // lit bar cell or lit lamp
        Unlit,       // unlit bar cell or dark lamp
    };
    Kind kind;
    int digit;  // 0..9 for Digit, else -1
    int x;
    int y;

    friend bool operator==(const Blit&, const Blit&) = default;
};

class BitmapSurfaceWidget;

// Sees every copy a display control makes into its surface, on the user-interface thread: a
// profiler, or a recorder of what the Tuner drew. One for the process, none by default.
class BlitObserver {
public:
    virtual ~BlitObserver() = default;
    virtual void copied(const BitmapSurfaceWidget& control, const Blit& blit) = 0;
};
// Sets the observer (null: none). Set it before the controls draw.
void setBlitObserver(BlitObserver* observer);

// Common plumbing: the surface at the widget's size times an integer scale, and the paint
// handler that copies the surface out. A control draws nothing until its bitmaps are
// loaded; it keeps its state all the same and shows it once they are.
class BitmapSurfaceWidget : public QWidget {
    Q_OBJECT

public:
    // What the control shows, as assistive technology reads it ("452.5 MHz", "9 of 24 cells lit",
    // "on"), and the same as a number with its largest value.
    virtual QString stateText() const = 0;
    virtual double stateValue() const = 0;
    virtual double stateMaximum() const = 0;

    // Forgets the surface, as if the window system had lost it; the next draw or paint rebuilds
    // it from the stored state.
    void dropSurface();
    bool hasSurface() const { return !surface_.isNull(); }
    // Pixel scale of the surface: the device pixel ratio rounded up, at least 1, so bitmaps of
    // that scale copy 1:1.
    int surfaceScale() const;
    // The surface itself (device pixels, devicePixelRatio set), for pictures of the control.
    const QPixmap& surface() const;

protected:
    explicit BitmapSurfaceWidget(QWidget* parent);

    // Marks the bitmaps as (re)loaded: they are fetched again at the surface scale and the next
    // draw starts from a fresh surface.
    void bitmapsChanged();
    // Makes the surface ready to draw into. Returns false when there is nothing to draw with
    // (no bitmaps yet, or an empty widget); sets *fresh when the surface was (re)created, in
    // which case the caller must draw everything.
    bool prepareSurface(bool* fresh);
    // Fetches the bitmaps at the given scale.
    virtual void reloadBitmaps(int scale) = 0;
    // Draws the whole picture from the stored state into a fresh surface.
    virtual void redrawFromState() = 0;

    // Copies `source` whole to (x, y), 1:1, and tells the observer. `shows` tells whether the
    // picture there may have changed (else the screen is not asked to repaint for it).
    void blit(const QPixmap& source, int x, int y, Blit::Kind kind, int digit = -1,
              bool shows = true);
    // Copies the part `sourceRect` (logical pixels) of `source` to (x, y).
    void blitPart(const QPixmap& source, const QRect& sourceRect, int x, int y, Blit::Kind kind);
    // Asks for the repaint of what changed since the last flush.
    void flush();
    // Tells assistive technology that the shown state changed.
    void announceState();

    void paintEvent(QPaintEvent* event) override;

private:
    void copy(const QPixmap& source, const QRect& sourceLogical, int x, int y, bool shows);

    void endCopies();

    QPixmap surface_;
    // Open from the first copy of an update to its flush, so an update of many cells pays for
    // one painter.
    QPainter painter_;
    int surfaceScale_ = 0;
    int bitmapScale_ = 0;  // scale the bitmaps were fetched at; 0 = to be fetched
    bool hasBitmaps_ = false;
    bool painting_ = false;
    QRect dirty_;
};

// Frequency in tenths of a MHz on four integer places and a tenths place ("%6.1f").
class FrequencyDisplay : public BitmapSurfaceWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 107;
    static constexpr int kHeight = 35;

    explicit FrequencyDisplay(std::uint32_t value = 0, std::uint32_t minimum = 0,
                              std::uint32_t maximum = 15000, QWidget* parent = nullptr);

    // Takes the ten digit bitmaps firstDigitId..firstDigitId+9 and the background. Returns false
    // when one of them is missing (the control still works and leaves that picture out).
    bool loadBitmaps(int firstDigitId, int backgroundId);

    // Clamps v to the range, stores it and draws the places whose character changed (all places
    // with redrawAll).
    virtual void setValue(std::uint32_t v, bool redrawAll);
    std::uint32_t value() const { return value_; }
    std::uint32_t minimum() const { return minimum_; }
    std::uint32_t maximum() const { return maximum_; }

    QSize sizeHint() const override { return {kWidth, kHeight}; }

    QString stateText() const override;
    double stateValue() const override { return value_ / 10.0; }
    double stateMaximum() const override { return maximum_ / 10.0; }

protected:
    // Six characters: the integer places, the point and the fractional places.
    using Places = std::array<char, 6>;

    FrequencyDisplay(std::uint32_t value, std::uint32_t minimum, std::uint32_t maximum,
                     std::uint32_t displayLimit, QWidget* parent);

    void reloadBitmaps(int scale) override;
    void redrawFromState() override;

    // Draws place i (cell x = 19 i) as a blank or a digit.
    void drawPlace(int i, char c);
    void drawDigitAt(char c, int x);
    const QPixmap& digitBitmap(int d) const { return digits_[std::size_t(d)]; }

    std::uint32_t value_;
    std::uint32_t minimum_;
    std::uint32_t maximum_;

private:
    int firstDigitId_ = 0;
    int backgroundId_ = 0;
    std::array<QPixmap, 10> digits_;
    QPixmap background_;
};

// Bit-rate code 0..6 shown as its rate in Mbit/s ("%6.2f"): 2.56, 3.20, 5.12, 6.82, 9.45.
class BitRateDisplay : public FrequencyDisplay {
    Q_OBJECT

public:
    explicit BitRateDisplay(std::uint32_t value = 0, std::uint32_t minimum = 0,
                            std::uint32_t maximum = 6, QWidget* parent = nullptr);

    void setValue(std::uint32_t code, bool redrawAll) override;

    QString stateText() const override;
    double stateValue() const override { return rate(value_) / 100.0; }
    double stateMaximum() const override { return rate(maximum_) / 100.0; }

    // Rates in hundredths of a Mbit/s, by code (kCodeRates); codes past the table show its last.
    const std::array<std::uint16_t, 7>& rateTable() const { return rateTable_; }

private:
    std::uint16_t rate(std::uint32_t code) const {
        return rateTable_[std::size_t(code < rateTable_.size() ? code : rateTable_.size() - 1)];
    }

    std::array<std::uint16_t, 7> rateTable_;
};

// A row of cells; the lit count follows value / peak, where peak is the largest value seen.
class LevelBar : public BitmapSurfaceWidget {
    Q_OBJECT

public:
    static constexpr int kCellWidth = 4;
    static constexpr int kCellHeight = 13;
    // More cells than this would not fit any page; a larger count is cut to it.
    static constexpr std::uint32_t kMaxCells = 1000;

    explicit LevelBar(std::uint32_t peak = 1, std::uint32_t cellCount = 24,
                      QWidget* parent = nullptr);

    // Lit and unlit cell bitmaps by name (GREEN, YELLOW or RED; BLACK).
    bool loadBitmaps(const QString& litName, const QString& unlitName);

    // Rescales to v and draws the cells between the old and the new lit count (all cells with
    // redrawAll). A value of 2^31 or more is a negative level read as unsigned: it shows as no
    // lit cell and leaves the peak alone.
    void setLevel(std::uint32_t v, bool redrawAll);

    std::uint32_t peak() const { return peak_; }
    std::uint32_t cellCount() const { return cellCount_; }
    std::uint32_t lastLit() const { return lastLit_; }
    std::uint32_t lastValue() const { return lastValue_; }

    QSize sizeHint() const override;

    QString stateText() const override;
    double stateValue() const override { return lastLit_; }
    double stateMaximum() const override { return cellCount_; }

protected:
    void reloadBitmaps(int scale) override;
    void redrawFromState() override;

private:
    void drawCell(std::uint32_t c, bool lit);

    std::uint32_t peak_;
    std::uint32_t cellCount_;
    std::uint32_t lastLit_ = 0;
    std::uint32_t lastValue_ = 0;
    QString litName_;
    QString unlitName_;
    QPixmap lit_;
    QPixmap unlit_;
};

// A lamp: lit or dark.
class LedIndicator : public BitmapSurfaceWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 22;
    static constexpr int kHeight = 16;

    explicit LedIndicator(std::int32_t state = 0, QWidget* parent = nullptr);

    // Lit and dark bitmaps by name (LEDON, LEDOFF by default).
    bool loadBitmaps(const QString& onName = QStringLiteral("LEDON"),
                     const QString& offName = QStringLiteral("LEDOFF"));

    void toggle();
    void showOn();
    void showOff();
    std::int32_t state() const { return state_; }

    QSize sizeHint() const override { return {kWidth, kHeight}; }

    QString stateText() const override;
    double stateValue() const override { return state_; }
    double stateMaximum() const override { return 1; }

protected:
    void reloadBitmaps(int scale) override;
    void redrawFromState() override;

private:
    // Draws the lit (1) or dark (0) picture and keeps it as the state.
    void show(std::int32_t state);

    std::int32_t state_;
    QString onName_;
    QString offName_;
    QPixmap on_;
    QPixmap off_;
};

}  // namespace brix

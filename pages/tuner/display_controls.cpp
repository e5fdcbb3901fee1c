#include "display_controls.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QPaintEvent>
#include <QPainter>

#include <cmath>
#include <cstdio>

#include "domain/frequency.h"
#include "domain/rates.h"
#include "pictures.h"

namespace brix {

namespace {
BlitObserver* blitObserver = nullptr;
}  // namespace

void setBlitObserver(BlitObserver* observer) {
    blitObserver = observer;
}

// ---- Accessibility ----

namespace {

// The displays read as text with a value: a screen reader says the name ("Receive frequency"),
// then what the control shows ("452.5 MHz"); bars and lamps also as a number out of a maximum.
class SurfaceAccessible final : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit SurfaceAccessible(BitmapSurfaceWidget* w) : QAccessibleWidget(w, roleOf(w)) {}

    static QAccessible::Role roleOf(const BitmapSurfaceWidget* w) {
        if (qobject_cast<const LevelBar*>(w) != nullptr)
            return QAccessible::ProgressBar;
        // A lamp reads as text too ("on", "off"): the desktop's bridge knows no lamp role.
        return QAccessible::StaticText;
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Description || t == QAccessible::Value)
            return control()->stateText();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        return s;
    }
    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QVariant currentValue() const override { return control()->stateValue(); }
    void setCurrentValue(const QVariant&) override {}  // shown, never set by the user
    QVariant maximumValue() const override { return control()->stateMaximum(); }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override { return 0.0; }

private:
    BitmapSurfaceWidget* control() const { return static_cast<BitmapSurfaceWidget*>(widget()); }
};

QAccessibleInterface* surfaceAccessibleFactory(const QString&, QObject* object) {
    if (auto* w = qobject_cast<BitmapSurfaceWidget*>(object))
        return new SurfaceAccessible(w);
    return nullptr;
}

}  // namespace

void BitmapSurfaceWidget::announceState() {
    if (!QAccessible::isActive())
        return;
    QAccessibleValueChangeEvent value(this, stateValue());
    QAccessible::updateAccessibility(&value);
    QAccessibleEvent description(this, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&description);
}

QString FrequencyDisplay::stateText() const {
    return QString::fromStdString(mhzUnitText(value_));
}

QString BitRateDisplay::stateText() const {
    return QString::number(rate(value_) / 100.0, 'f', 2) + QStringLiteral(" Mbit/s");
}

QString LevelBar::stateText() const {
    return QStringLiteral("%1 of %2 cells lit").arg(lastLit_).arg(cellCount_);
}

QString LedIndicator::stateText() const {
    return state_ == 1 ? QStringLiteral("on") : QStringLiteral("off");
}

// ---- BitmapSurfaceWidget ----

BitmapSurfaceWidget::BitmapSurfaceWidget(QWidget* parent) : QWidget(parent) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(surfaceAccessibleFactory);
        return true;
    }();
    (void)factoryInstalled;
    // The page handles the mouse (double-click over the receive display), not the control.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

int BitmapSurfaceWidget::surfaceScale() const {
    return qMax(1, int(std::ceil(devicePixelRatioF() - 0.01)));
}

void BitmapSurfaceWidget::bitmapsChanged() {
    hasBitmaps_ = true;
    bitmapScale_ = 0;
    dropSurface();
    update();
}

void BitmapSurfaceWidget::dropSurface() {
    endCopies();
    surface_ = QPixmap();
}

const QPixmap& BitmapSurfaceWidget::surface() const {
    // Copies still open would not be in the pixmap yet.
    const_cast<BitmapSurfaceWidget*>(this)->endCopies();
    return surface_;
}

void BitmapSurfaceWidget::endCopies() {
    if (painter_.isActive()) {
        painter_.end();
    }
}

bool BitmapSurfaceWidget::prepareSurface(bool* fresh) {
    *fresh = false;
    if (!hasBitmaps_)
        return false;
    const int scale = surfaceScale();
    const QSize pixels = size() * scale;
    if (pixels.isEmpty())
        return false;
    if (!surface_.isNull() && surface_.size() == pixels && surfaceScale_ == scale)
        return true;
    if (bitmapScale_ != scale) {
        reloadBitmaps(scale);
        bitmapScale_ = scale;
    }
    endCopies();
    surface_ = QPixmap(pixels);
    surface_.setDevicePixelRatio(scale);
    surface_.fill(Qt::black);
    surfaceScale_ = scale;
    dirty_ = rect();
    *fresh = true;
    return true;
}

void BitmapSurfaceWidget::copy(const QPixmap& source, const QRect& sourceLogical, int x, int y,
                               bool shows) {
    if (shows)
        dirty_ |= QRect(QPoint(x, y), sourceLogical.size());
    // A missing picture leaves the surface as it was.
    if (source.isNull() || surface_.isNull())
        return;
    const int s = surfaceScale_;
    if (!painter_.isActive()) {
        painter_.begin(&surface_);
        painter_.setCompositionMode(QPainter::CompositionMode_Source);
    }
    // Source in device pixels; both sides have the same scale, so this is a plain copy.
    painter_.drawPixmap(QPointF(x, y), source,
                        QRectF(sourceLogical.x() * s, sourceLogical.y() * s,
                               sourceLogical.width() * s, sourceLogical.height() * s));
}

void BitmapSurfaceWidget::blit(const QPixmap& source, int x, int y, Blit::Kind kind, int digit,
                               bool shows) {
    const QSize logical = source.isNull() ? QSize(0, 0) : source.deviceIndependentSize().toSize();
    copy(source, QRect(QPoint(0, 0), logical), x, y, shows);
    if (blitObserver != nullptr)
        blitObserver->copied(*this, {kind, digit, x, y});
}

void BitmapSurfaceWidget::blitPart(const QPixmap& source, const QRect& sourceRect, int x, int y,
                                   Blit::Kind kind) {
    copy(source, sourceRect, x, y, true);
    if (blitObserver != nullptr)
        blitObserver->copied(*this, {kind, -1, x, y});
}

void BitmapSurfaceWidget::flush() {
    endCopies();
    // Within paintEvent the whole surface goes to the screen anyway.
    if (dirty_.isEmpty() || painting_)
        return;
    update(dirty_);
    dirty_ = QRect();
}

void BitmapSurfaceWidget::paintEvent(QPaintEvent* event) {
    bool fresh = false;
    const bool ready = prepareSurface(&fresh);
    if (ready && fresh) {
        painting_ = true;
        redrawFromState();
        painting_ = false;
    }
    endCopies();
    dirty_ = QRect();
    QPainter p(this);
    if (!ready) {
        p.fillRect(event->rect(), Qt::black);
        return;
    }
    p.drawPixmap(
        event->rect(), surface_,
        QRectF(event->rect().topLeft() * surfaceScale_, event->rect().size() * surfaceScale_));
}

// ---- FrequencyDisplay ----

namespace {

// The largest values whose text still fits six characters.
constexpr std::uint32_t kFrequencyLimit = 99999;  // 9999.9
constexpr std::uint32_t kRateCodeLimit = 6;       // last entry of the rate table

std::uint32_t clampTo(std::uint32_t v, std::uint32_t lo, std::uint32_t hi) {
    if (v < lo)
        v = lo;
    if (v > hi)
        v = hi;
    return v;
}

// Exactly six characters of printf `format` applied to x (x is kept small enough to fit).
std::array<char, 6> sixPlaces(const char* format, double x) {
    char text[32];
    std::snprintf(text, sizeof text, format, x);
    std::array<char, 6> places;
    for (std::size_t i = 0; i < places.size(); ++i)
        places[i] = text[i] == '\0' ? ' ' : text[i];
    return places;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

FrequencyDisplay::FrequencyDisplay(std::uint32_t value, std::uint32_t minimum,
                                   std::uint32_t maximum, QWidget* parent)
    : FrequencyDisplay(value, minimum, maximum, kFrequencyLimit, parent) {}

FrequencyDisplay::FrequencyDisplay(std::uint32_t value, std::uint32_t minimum,
                                   std::uint32_t maximum, std::uint32_t displayLimit,
                                   QWidget* parent)
    : BitmapSurfaceWidget(parent),
      minimum_(minimum),
      maximum_(maximum > displayLimit ? displayLimit : maximum) {
    value_ = clampTo(value, minimum_, maximum_);
    setFixedSize(kWidth, kHeight);
}

bool FrequencyDisplay::loadBitmaps(int firstDigitId, int backgroundId) {
    firstDigitId_ = firstDigitId;
    backgroundId_ = backgroundId;
    bool complete = !res::bitmapSize(backgroundId).isEmpty();
    for (int d = 0; d < 10; ++d)
        complete &= !res::bitmapSize(firstDigitId + d).isEmpty();
    bitmapsChanged();
    return complete;
}

void FrequencyDisplay::reloadBitmaps(int scale) {
    for (int d = 0; d < 10; ++d)
        digits_[std::size_t(d)] = res::bitmap(firstDigitId_ + d, scale);
    background_ = res::bitmap(backgroundId_, scale);
}

void FrequencyDisplay::redrawFromState() {
    blit(background_, 0, 0, Blit::Kind::Background);
    setValue(value_, true);  // through the virtual slot: a bit-rate display redraws its rate
}

void FrequencyDisplay::drawDigitAt(char c, int x) {
    if (!isDigit(c))
        return;
    const int d = c - '0';
    blit(digits_[std::size_t(d)], x, 4, Blit::Kind::Digit, d);
}

void FrequencyDisplay::drawPlace(int i, char c) {
    if (isDigit(c)) {
        drawDigitAt(c, 19 * i + 4);
    } else {
        // Erase by copying the place's own cell of the background (an unlit digit).
        blitPart(background_, QRect(19 * i, 0, 19, kHeight), 19 * i, 0, Blit::Kind::Cell);
    }
}

void FrequencyDisplay::setValue(std::uint32_t v, bool redrawAll) {
    v = clampTo(v, minimum_, maximum_);
    // The page repeats the same value every tick; the text cannot have changed.
    if (v == value_ && !redrawAll && hasSurface()) {
        return;
    }
    const Places before = sixPlaces("%6.1f", value_ / 10.0);
    const Places after = sixPlaces("%6.1f", v / 10.0);
    const bool changed = v != value_;
    value_ = v;
    if (changed)
        announceState();

    bool fresh = false;
    if (!prepareSurface(&fresh))
        return;
    if (fresh) {
        redrawFromState();
        flush();
        return;
    }
    for (int i = 0; i < 4; ++i) {
        if (redrawAll || before[std::size_t(i)] != after[std::size_t(i)]) {
            drawPlace(i, after[std::size_t(i)]);
        }
    }
    // Character 4 is the decimal point, part of the background.
    if (redrawAll || before[5] != after[5])
        drawDigitAt(after[5], 87);
    flush();
}

// ---- BitRateDisplay ----

BitRateDisplay::BitRateDisplay(std::uint32_t value, std::uint32_t minimum, std::uint32_t maximum,
                               QWidget* parent)
    : FrequencyDisplay(value, minimum, maximum, kRateCodeLimit, parent), rateTable_(kCodeRates) {}

void BitRateDisplay::setValue(std::uint32_t code, bool redrawAll) {
    code = clampTo(code, minimum_, maximum_);
    const Places before = sixPlaces("%6.2f", rate(value_) / 100.0);
    const Places after = sixPlaces("%6.2f", rate(code) / 100.0);
    const bool changed = rate(code) != rate(value_);
    value_ = code;
    if (changed)
        announceState();

    bool fresh = false;
    if (!prepareSurface(&fresh))
        return;
    if (fresh) {
        redrawFromState();
        flush();
        return;
    }
    for (int i = 0; i < 3; ++i) {
        if (redrawAll || before[std::size_t(i)] != after[std::size_t(i)]) {
            drawPlace(i, after[std::size_t(i)]);
        }
    }
    // The two decimals are copied at every call; only a real change asks for a repaint.
    const int decimalX[2] = {68, 87};
    for (std::size_t k = 0; k < 2; ++k) {
        const char c = after[4 + k];
        if (!isDigit(c))
            continue;
        const int d = c - '0';
        blit(digitBitmap(d), decimalX[k], 4, Blit::Kind::Digit, d, redrawAll || before[4 + k] != c);
    }
    flush();
}

// ---- LevelBar ----

LevelBar::LevelBar(std::uint32_t peak, std::uint32_t cellCount, QWidget* parent)
    : BitmapSurfaceWidget(parent),
      peak_(peak),
      cellCount_(cellCount > kMaxCells ? kMaxCells : cellCount) {
    setFixedSize(sizeHint());
}

QSize LevelBar::sizeHint() const {
    return {int(cellCount_ + 1) * kCellWidth, kCellHeight};
}

bool LevelBar::loadBitmaps(const QString& litName, const QString& unlitName) {
    litName_ = litName;
    unlitName_ = unlitName;
    const bool complete =
        !res::bitmapSize(litName).isEmpty() && !res::bitmapSize(unlitName).isEmpty();
    bitmapsChanged();
    return complete;
}

void LevelBar::reloadBitmaps(int scale) {
    lit_ = res::bitmap(litName_, scale);
    unlit_ = res::bitmap(unlitName_, scale);
}

void LevelBar::redrawFromState() {
    setLevel(lastValue_, true);
}

void LevelBar::drawCell(std::uint32_t c, bool lit) {
    blit(lit ? lit_ : unlit_, int(c) * kCellWidth, 0, lit ? Blit::Kind::Lit : Blit::Kind::Unlit);
}

void LevelBar::setLevel(std::uint32_t v, bool redrawAll) {
    std::uint32_t lit = 0;
    if (v < 0x80000000u) {
        if (v > peak_)
            peak_ = v;
        // 64-bit product: 24 * v must not wrap for large rates.
        if (peak_ != 0)
            lit = std::uint32_t(std::uint64_t(cellCount_) * v / peak_);
        if (lit > cellCount_)
            lit = cellCount_;
    }
    // else: a negative level read as unsigned. It would pin the peak at ~2^32 and keep the bar
    // dark for good, so it shows as dark and the scale stays as it was.
    const std::uint32_t before = lastLit_;
    lastLit_ = lit;
    lastValue_ = v;
    if (lit != before)
        announceState();
    if (lit == before && !redrawAll && hasSurface())
        return;  // the usual tick: nothing to draw

    bool fresh = false;
    if (!prepareSurface(&fresh))
        return;
    if (fresh) {
        redrawFromState();
        flush();
        return;
    }
    if (redrawAll) {
        for (std::uint32_t c = 0; c <= cellCount_; ++c)
            drawCell(c, c < lit);
    } else if (lit > before) {
        for (std::uint32_t c = before; c < lit; ++c)
            drawCell(c, true);
    } else if (lit < before) {
        for (std::uint32_t c = lit; c < before; ++c)
            drawCell(c, false);
    }
    flush();
}

// ---- LedIndicator ----

LedIndicator::LedIndicator(std::int32_t state, QWidget* parent)
    : BitmapSurfaceWidget(parent), state_(state == 1 ? 1 : 0) {
    setFixedSize(kWidth, kHeight);
}

bool LedIndicator::loadBitmaps(const QString& onName, const QString& offName) {
    onName_ = onName;
    offName_ = offName;
    const bool complete = !res::bitmapSize(onName).isEmpty() && !res::bitmapSize(offName).isEmpty();
    bitmapsChanged();
    return complete;
}

void LedIndicator::reloadBitmaps(int scale) {
    on_ = res::bitmap(onName_, scale);
    off_ = res::bitmap(offName_, scale);
}

void LedIndicator::redrawFromState() {
    if (state_ == 1) {
        showOn();
    } else {
        showOff();
    }
}

void LedIndicator::showOn() {
    show(1);
}

void LedIndicator::showOff() {
    show(0);
}

void LedIndicator::show(std::int32_t state) {
    const bool changed = state != state_;
    state_ = state;
    if (changed)
        announceState();
    bool fresh = false;
    if (!prepareSurface(&fresh))
        return;
    if (fresh) {
        redrawFromState();
    } else if (state_ == 1) {
        blit(on_, 0, 0, Blit::Kind::Lit);
    } else {
        blit(off_, 0, 0, Blit::Kind::Unlit);
    }
    flush();
}

void LedIndicator::toggle() {
    if (state_ == 1) {
        showOff();
    } else {
        showOn();
    }
}

}  // namespace brix

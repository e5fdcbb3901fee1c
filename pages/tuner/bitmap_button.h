#pragma once
// A push button drawn entirely from a face set: four bitmaps named <set>U (normal), <set>D
// (pressed), <set>F (focused) and <set>X (disabled).

#include <QAbstractButton>
#include <QPixmap>
#include <QString>

namespace brix {

class BitmapButton : public QAbstractButton {
    Q_OBJECT

public:
    enum class Face { Normal, Pressed, Focused, Disabled };

    explicit BitmapButton(QWidget* parent = nullptr);

    // Takes the face set `setName` (case-insensitive) and sizes the button to it. Returns false
    // when one of the four faces is missing; a missing face is drawn as the normal face.
    bool loadBitmaps(const QString& setName);
    // The set named by the caption, upper-cased: "RecUp" -> RECUPU, RECUPD, RECUPF, RECUPX.
    bool autoLoad(const QString& caption);
    // autoLoad with the button's own text.
    bool autoLoad() { return autoLoad(text()); }

    QString setName() const { return setName_; }
    // Pressed, else focused, else disabled, else normal.
    Face currentFace() const;
    static QChar faceLetter(Face face);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap facePixmap(Face face, qreal dpr) const;

    QString setName_;
    QSize faceSize_;
};

}  // namespace brix

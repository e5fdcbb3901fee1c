// The table of pictures and the cache in front of it.

#include "pictures.h"

#include <QCoreApplication>
#include <QHash>
#include <QImage>
#include <QPainter>

#include <cmath>
#include <functional>
#include <map>

#include "painters.h"

namespace res {
namespace {

using paint::DigitSet;
using paint::FaceState;

struct Picture {
    QSize size;
    std::function<void(QPainter&)> draw;
};

using Table = std::map<QString, Picture>;

void addFaceSet(Table& t, const QString& set, QSize size,
                const std::function<void(QPainter&, QSize, FaceState)>& face) {
    const struct {
        QChar letter;
        FaceState state;
    } faces[] = {{u'U', FaceState::Normal},
                 {u'D', FaceState::Pressed},
                 {u'F', FaceState::Focused},
                 {u'X', FaceState::Disabled}};
    for (const auto& f : faces) {
        const FaceState state = f.state;
        t[set + f.letter] = {size, [face, size, state](QPainter& p) { face(p, size, state); }};
    }
}

Table buildTable() {
    Table t;
    for (int d = 0; d < 10; ++d) {
        t[QString::number(kTransmitDigit0 + d)] = {
            paint::kDigitSize, [d](QPainter& p) { paint::digit(p, DigitSet::Transmit, d); }};
        t[QString::number(kReceiveDigit0 + d)] = {
            paint::kDigitSize, [d](QPainter& p) { paint::digit(p, DigitSet::Receive, d); }};
    }
    const struct {
        int id;
        DigitSet set;
        bool bitRate;
    } backgrounds[] = {{kTransmitFreqBackground, DigitSet::Transmit, false},
                       {kReceiveFreqBackground, DigitSet::Receive, false},
                       {kTransmitRateBackground, DigitSet::Transmit, true},
                       {kReceiveRateBackground, DigitSet::Receive, true}};
    for (const auto& b : backgrounds) {
        const DigitSet set = b.set;
        const bool bitRate = b.bitRate;
        t[QString::number(b.id)] = {paint::kDisplaySize, [set, bitRate](QPainter& p) {
                                        paint::displayBackground(p, set, bitRate);
                                    }};
    }
    t[QString::number(kMessageKinds)] = {QSize(64, 16), paint::kindStrip};

    const QSize cell(4, 13);
    t[QStringLiteral("GREEN")] = {cell,
                                  [](QPainter& p) { paint::barCell(p, QColor(60, 225, 95)); }};
    t[QStringLiteral("YELLOW")] = {cell,
                                   [](QPainter& p) { paint::barCell(p, QColor(245, 210, 55)); }};
    t[QStringLiteral("RED")] = {cell, [](QPainter& p) { paint::barCell(p, QColor(240, 60, 45)); }};
    t[QStringLiteral("BLACK")] = {cell, [](QPainter& p) { paint::barCell(p, QColor()); }};
    t[QStringLiteral("LEDON")] = {QSize(22, 16), [](QPainter& p) { paint::lamp(p, true); }};
    t[QStringLiteral("LEDOFF")] = {QSize(22, 16), [](QPainter& p) { paint::lamp(p, false); }};

    const QSize action(77, 23);
    for (const QString& word :
         {QStringLiteral("TUNE"), QStringLiteral("SET"), QStringLiteral("CANCEL")}) {
        addFaceSet(t, word, action,
                   [word](QPainter& p, QSize s, FaceState st) { paint::textFace(p, s, word, st); });
    }
    addFaceSet(t, QStringLiteral("LABEL"), QSize(17, 17), paint::labelFace);
    const struct {
        const char* name;
        bool up;
        bool receive;
    } arrows[] = {{"RECUP", true, true},
                  {"RECDOWN", false, true},
                  {"TRANSUP", true, false},
                  {"TRANSDOWN", false, false}};
    for (const auto& a : arrows) {
        const bool up = a.up;
        const bool receive = a.receive;
        addFaceSet(t, QString::fromLatin1(a.name), QSize(21, 17),
                   [up, receive](QPainter& p, QSize s, FaceState st) {
                       paint::arrowFace(p, s, up, receive, st);
                   });
    }

    const QColor receive(90, 230, 120), transmit(245, 200, 70), plain(214, 220, 228);
    auto text = [&t](const QString& name, QSize size, const QString& words, QColor colour,
                     int pixelSize) {
        t[name] = {size, [size, words, colour, pixelSize](QPainter& p) {
                       paint::caption(p, size, words, colour, pixelSize);
                   }};
    };
    text(QStringLiteral("RECCHAN"), QSize(140, 16), QStringLiteral("RECEIVE CHANNEL"), receive, 11);
    text(QStringLiteral("TRANSCHAN"), QSize(140, 16), QStringLiteral("TRANSMIT CHANNEL"), transmit,
         11);
    text(QStringLiteral("FREQ"), QSize(32, 16), QStringLiteral("MHz"), plain, 10);
    text(QStringLiteral("BRATE"), QSize(32, 16), QStringLiteral("MB/S"), plain, 10);
    const char* steps[] = {"0.1", "1", "10", "100"};
    for (int k = 0; k < 4; ++k) {
        text(QStringLiteral("SLIDEPOS%1").arg(k + 1), QSize(24, 12), QString::fromLatin1(steps[k]),
             plain, 9);
    }
    text(QStringLiteral("MESSAGE"), QSize(80, 16), QStringLiteral("MESSAGE"), plain, 11);
    text(QStringLiteral("LABELS"), QSize(120, 16), QStringLiteral("LABELS"), plain, 11);
    return t;
}

const Table& table() {
    static const Table t = buildTable();
    return t;
}

QString keyOf(const QString& name) {
    QString k = name.trimmed().toUpper();
    if (k.startsWith(u'#'))
        k.remove(0, 1);  // "#211" is the number 211
    return k;
}

// Pictures in use, by key and scale. Emptied when the application object goes away, since a
// QPixmap must not outlive it.
QHash<QString, QPixmap>& cache() {
    static QHash<QString, QPixmap>* c = [] {
        auto* h = new QHash<QString, QPixmap>;
        qAddPostRoutine([] { cache().clear(); });
        return h;
    }();
    return *c;
}

QImage render(QSize logical, qreal dpr, const std::function<void(QPainter&)>& draw) {
    const QSize pixels(int(std::ceil(logical.width() * dpr - 1e-6)),
                       int(std::ceil(logical.height() * dpr - 1e-6)));
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setDevicePixelRatio(dpr);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    draw(p);
    p.end();
    return image;
}

qreal sanitisedDpr(qreal dpr) {
    // Beyond 8x nothing gets sharper; below 1 pictures would lose pixels.
    if (!(dpr >= 1.0))
        return 1.0;
    return dpr > 8.0 ? 8.0 : dpr;
}

// Icons other than 128: pictures of words or signs on the panel.
struct IconPicture {
    QSize size;
    std::function<void(QPainter&)> draw;
};

bool iconPicture(int id, IconPicture* out) {
    const QColor green(90, 230, 120), yellow(245, 210, 60), red(240, 70, 55);
    const QColor plain(214, 220, 228);
    switch (id) {
        case kInIcon:
        case kOutIcon: {
            const QString word = id == kInIcon ? QStringLiteral("In") : QStringLiteral("OUT");
            *out = {QSize(32, 16), [word, plain](QPainter& p) {
                        paint::caption(p, QSize(32, 16), word, plain, 11);
                    }};
            return true;
        }
        case kReceiveBarsIcon:
        case kTransmitBarsIcon: {
            const QStringList words =
                id == kReceiveBarsIcon ? QStringList{QStringLiteral("MSG"), QStringLiteral("SYNC"),
                                                     QStringLiteral("ERR")}
                                       : QStringList{QStringLiteral("MSG"), QStringLiteral("LVL"),
                                                     QStringLiteral("ERR")};
            *out = {QSize(32, 48), [words, green, yellow, red](QPainter& p) {
                        paint::stackedWords(p, QSize(32, 48), words, {green, yellow, red}, 9);
                    }};
            return true;
        }
        default:
            return false;
    }
}

}  // namespace

QColor panelColor() {
    return paint::panel();
}

QPixmap bitmap(const QString& name) {
    return bitmap(name, 1.0);
}

QPixmap bitmap(const QString& name, qreal dpr) {
    dpr = sanitisedDpr(dpr);
    const QString key = keyOf(name);
    const QString cacheKey = key + u'@' + QString::number(dpr);
    auto& c = cache();
    const auto hit = c.constFind(cacheKey);
    if (hit != c.constEnd())
        return *hit;
    const auto it = table().find(key);
    if (it == table().end())
        return QPixmap();
    QPixmap pm = QPixmap::fromImage(render(it->second.size, dpr, it->second.draw));
    c.insert(cacheKey, pm);
    return pm;
}

QPixmap bitmap(int id) {
    return bitmap(QString::number(id), 1.0);
}
QPixmap bitmap(int id, qreal dpr) {
    return bitmap(QString::number(id), dpr);
}

QSize bitmapSize(const QString& name) {
    const auto it = table().find(keyOf(name));
    return it == table().end() ? QSize() : it->second.size;
}

QSize bitmapSize(int id) {
    return bitmapSize(QString::number(id));
}

QSize iconSize(int id) {
    if (id == kAppIcon)
        return QSize(32, 32);
    IconPicture pic;
    return iconPicture(id, &pic) ? pic.size : QSize();
}

QPixmap iconPixmap(int id, qreal dpr, QSize size) {
    dpr = sanitisedDpr(dpr);
    const QSize natural = iconSize(id);
    if (natural.isEmpty())
        return QPixmap();
    if (size.isEmpty())
        size = natural;
    const QString cacheKey =
        QStringLiteral("icon%1:%2x%3@%4").arg(id).arg(size.width()).arg(size.height()).arg(dpr);
    auto& c = cache();
    const auto hit = c.constFind(cacheKey);
    if (hit != c.constEnd())
        return *hit;

    QImage image;
    if (id == kAppIcon) {
        const int side = qMin(size.width(), size.height());
        image = render(QSize(side, side), dpr, [side](QPainter& p) { paint::appIcon(p, side); });
    } else {
        IconPicture pic;
        iconPicture(id, &pic);
        const qreal sx = qreal(size.width()) / natural.width();
        const qreal sy = qreal(size.height()) / natural.height();
        image = render(size, dpr, [&pic, sx, sy](QPainter& p) {
            p.scale(sx, sy);
            pic.draw(p);
        });
    }
    QPixmap pm = QPixmap::fromImage(image);
    c.insert(cacheKey, pm);
    return pm;
}

QIcon icon(int id) {
    const QSize natural = iconSize(id);
    if (natural.isEmpty())
        return QIcon();
    QIcon result;
    if (id == kAppIcon) {
        for (int side : {16, 32, 48, 64, 96, 256}) {
            result.addPixmap(iconPixmap(id, 1.0, QSize(side, side)));
        }
    } else {
        result.addPixmap(iconPixmap(id, 1.0));
        result.addPixmap(iconPixmap(id, 2.0));
    }
    return result;
}

QStringList bitmapNames() {
    QStringList names;
    for (const auto& entry : table())
        names << entry.first;
    return names;
}

QList<int> iconIds() {
    return {kAppIcon, kInIcon, kOutIcon, kReceiveBarsIcon, kTransmitBarsIcon};
}

}  // namespace res

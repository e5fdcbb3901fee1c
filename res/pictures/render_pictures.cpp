// Writes every picture of the tool to PNG files for people to look at:
//   render_pictures <folder> [zoom]
// Each bitmap goes to <NAME>.png (1x) and <NAME>@2x.png (2x); each icon to icon<N>.png, its 2x
// picture, and the tool's icon also at 16, 32, 48 and 256 pixels (brixtool-<size>.png, for the
// desktop entry), and as brixtool.svg, drawn by the same painter, for the desktop's scalable
// icon. sheet-1x.png and sheet-2x.png show everything on one page, enlarged by `zoom`
// (default 4 for 1x, 2 for 2x) without smoothing, so single pixels can be judged.

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QSvgGenerator>
#include <QTextStream>

#include <cstdio>
#include <vector>

#include "painters.h"
#include "pictures.h"

namespace {

struct Item {
    QString label;
    QImage image;  // device pixels
};

// Lays the pictures out in rows, each enlarged `zoom` times with a caption under it.
QImage contactSheet(const std::vector<Item>& items, int zoom) {
    const int width = 1400;
    const int pad = 10;
    const int captionHeight = 14;
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);

    // First pass: positions.
    struct Placed {
        int x, y;
    };
    std::vector<Placed> at;
    int x = pad, y = pad, rowHeight = 0;
    for (const Item& it : items) {
        const int w = qMax(it.image.width() * zoom, 60);
        const int h = it.image.height() * zoom + captionHeight;
        if (x + w > width - pad && x > pad) {
            x = pad;
            y += rowHeight + pad;
            rowHeight = 0;
        }
        at.push_back({x, y});
        x += w + pad;
        rowHeight = qMax(rowHeight, h);
    }
    QImage sheet(width, y + rowHeight + pad, QImage::Format_RGB32);
    sheet.fill(QColor(128, 128, 128));
    QPainter p(&sheet);
    p.setFont(font);
    p.setPen(Qt::black);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const QImage& img = items[i].image;
        QImage plain = img;
        plain.setDevicePixelRatio(1.0);
        p.drawImage(QRect(at[i].x, at[i].y, img.width() * zoom, img.height() * zoom),
                    plain.scaled(img.width() * zoom, img.height() * zoom, Qt::IgnoreAspectRatio,
                                 Qt::FastTransformation));
        p.drawText(at[i].x, at[i].y + img.height() * zoom + captionHeight - 3, items[i].label);
    }
    return sheet;
}

// The four displays as the tool shows them, composed by the controls' placement rules: digits
// at x = 19 i + 4 (and 87, or 68 and 87), y = 4, on their backgrounds.
QImage displayPreview(qreal dpr) {
    struct Sample {
        int background;
        int digit0;
        const char* text;  // six places, as printf gives them
        bool bitRate;
    };
    const Sample samples[] = {{res::kReceiveFreqBackground, res::kReceiveDigit0, " 452.5", false},
                              {res::kReceiveRateBackground, res::kReceiveDigit0, "  9.45", true},
                              {res::kTransmitFreqBackground, res::kTransmitDigit0, "1500.0", false},
                              {res::kTransmitRateBackground, res::kTransmitDigit0, "  2.56", true}};
    QImage out(QSize(2 * 107 + 30, 2 * 35 + 30 + 3 * 17 + 20) * dpr, QImage::Format_RGB32);
    out.setDevicePixelRatio(dpr);
    out.fill(res::panelColor());
    QPainter p(&out);
    for (int k = 0; k < 4; ++k) {
        const Sample& s = samples[k];
        const QPoint at(10 + (k % 2) * 117, 10 + (k / 2) * 45);
        p.drawPixmap(at, res::bitmap(s.background, dpr));
        const int integerPlaces = s.bitRate ? 3 : 4;
        for (int i = 0; i < 6; ++i) {
            const char c = s.text[i];
            if (c < '0' || c > '9')
                continue;
            int x = 0;
            if (i < integerPlaces) {
                x = 19 * i + 4;
            } else if (s.bitRate) {
                x = i == 4 ? 68 : 87;
            } else {
                x = 87;
            }
            p.drawPixmap(at + QPoint(x, 4), res::bitmap(s.digit0 + (c - '0'), dpr));
        }
    }
    // Three bars of 25 cells, partly lit as the controls draw them, and the two lamps.
    const char* lit[] = {"GREEN", "YELLOW", "RED"};
    const int litCells[] = {17, 9, 2};
    for (int b = 0; b < 3; ++b) {
        const QPoint at(10, 100 + 17 * b);
        for (int c = 0; c < 25; ++c) {
            const QString name = c < litCells[b] ? QString::fromLatin1(lit[b]) : "BLACK";
            p.drawPixmap(at + QPoint(4 * c, 0), res::bitmap(name, dpr));
        }
    }
    p.drawPixmap(QPoint(127, 100), res::bitmap("LEDON", dpr));
    p.drawPixmap(QPoint(157, 100), res::bitmap("LEDOFF", dpr));
    return out;
}

int written = 0;

bool save(const QImage& image, const QString& path) {
    if (image.save(path)) {
        ++written;
        return true;
    }
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
}

// The tool's icon as vectors: the painter's own 32-unit drawing, so the scalable icon cannot
// drift from the pixel ones.
bool saveAppIconSvg(const QString& path) {
    QSvgGenerator svg;
    svg.setFileName(path);
    svg.setSize(QSize(32, 32));
    svg.setViewBox(QRect(0, 0, 32, 32));
    svg.setTitle(QStringLiteral("Brix Tool"));
    QPainter p;
    if (!p.begin(&svg)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    res::paint::appIcon(p, 32);
    p.end();
    ++written;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: render_pictures <folder> [zoom]\n");
        return 2;
    }
    const QDir dir(args[1]);
    if (!QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(dir.path()));
        return 1;
    }
    const int zoom = args.size() > 2 ? qBound(1, args[2].toInt(), 16) : 4;

    bool ok = true;
    std::vector<Item> at1, at2;
    for (const QString& name : res::bitmapNames()) {
        const QImage one = res::bitmap(name).toImage();
        const QImage two = res::bitmap(name, 2.0).toImage();
        ok &= save(one, dir.filePath(name + QStringLiteral(".png")));
        ok &= save(two, dir.filePath(name + QStringLiteral("@2x.png")));
        at1.push_back({name, one});
        at2.push_back({name, two});
    }
    for (int id : res::iconIds()) {
        const QImage one = res::iconPixmap(id).toImage();
        const QImage two = res::iconPixmap(id, 2.0).toImage();
        ok &= save(one, dir.filePath(QStringLiteral("icon%1.png").arg(id)));
        ok &= save(two, dir.filePath(QStringLiteral("icon%1@2x.png").arg(id)));
        at1.push_back({QStringLiteral("icon %1").arg(id), one});
        at2.push_back({QStringLiteral("icon %1").arg(id), two});
    }
    for (int side : {16, 32, 48, 256}) {
        const QImage img = res::iconPixmap(res::kAppIcon, 1.0, QSize(side, side)).toImage();
        ok &= save(img, dir.filePath(QStringLiteral("brixtool-%1.png").arg(side)));
        if (side < 256)
            at1.push_back({QStringLiteral("128 @%1").arg(side), img});
    }
    ok &= saveAppIconSvg(dir.filePath(QStringLiteral("brixtool.svg")));
    at1.insert(at1.begin(), {QStringLiteral("displays"), displayPreview(1.0)});
    at2.insert(at2.begin(), {QStringLiteral("displays"), displayPreview(2.0)});
    ok &= save(displayPreview(1.0), dir.filePath(QStringLiteral("displays.png")));
    ok &= save(displayPreview(2.0), dir.filePath(QStringLiteral("displays@2x.png")));
    ok &= save(contactSheet(at1, zoom), dir.filePath(QStringLiteral("sheet-1x.png")));
    ok &= save(contactSheet(at2, qMax(1, zoom / 2)), dir.filePath(QStringLiteral("sheet-2x.png")));
    QTextStream(stdout) << "wrote " << written << " files to " << dir.path() << '\n';
    return ok ? 0 : 1;
}

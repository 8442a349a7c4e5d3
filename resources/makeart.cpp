// Draws the program's pictures: the three button pictures, the hand pointer
// HAND-M.CUR, the drag pointer drag.ico and the application icon, the icon
// also in every size of the desktop's icon theme (icons/<N>x<N>/rasterwell.png,
// each drawn at its size) and as an SVG (icons/scalable/rasterwell.svg).
// Usage: makeart OUTPUT_FOLDER

#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtEndian>

#include <cstdio>

namespace {

QImage canvas()
{
    QImage img(32, 32, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    return img;
}

// A white page with a folded corner, its top-left at (x, y).
void drawPage(QPainter &p, int x, int y, int w, int h)
{
    QPainterPath page;
    page.moveTo(x, y);
    page.lineTo(x + w - 6, y);
    page.lineTo(x + w, y + 6);
    page.lineTo(x + w, y + h);
    page.lineTo(x, y + h);
    page.closeSubpath();
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.setBrush(Qt::white);
    p.drawPath(page);
    p.setBrush(QColor(210, 210, 210));
    p.drawPolygon(QPolygon({QPoint(x + w - 6, y), QPoint(x + w - 6, y + 6), QPoint(x + w, y + 6)}));
}

// The red curved mark of a PDF document.
void drawPdfMark(QPainter &p, int x, int y)
{
    QPainterPath mark;
    mark.moveTo(x, y + 10);
    mark.cubicTo(x + 3, y - 2, x + 6, y + 14, x + 10, y + 4);
    p.setPen(QPen(QColor(200, 20, 20), 2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(mark);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 20, 20));
    p.drawRect(x, y + 12, 10, 2);
}

QImage pdfPage()
{
    QImage img = canvas();
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    drawPage(p, 5, 1, 20, 27);
    drawPdfMark(p, 9, 6);
    return img;
}

QImage addFiles()
{
    QImage img = pdfPage();
    QPainter p(&img);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRect(18, 18, 14, 14));
    p.setBrush(QColor(220, 0, 0));
    p.drawRect(23, 19, 4, 12);
    p.drawRect(19, 23, 12, 4);
    return img;
}

QImage convertPicture()
{
    QImage img = pdfPage();
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.setBrush(QColor(120, 180, 240));
    p.drawRect(16, 18, 15, 12);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(60, 150, 60));
    p.drawPolygon(QPolygon({QPoint(17, 29), QPoint(22, 22), QPoint(26, 26), QPoint(28, 24),
                            QPoint(30, 29)}));
    p.setBrush(QColor(250, 210, 0));
    p.drawEllipse(QRect(26, 19, 4, 4));
    return img;
}

QImage folderPicture()
{
    QImage img = canvas();
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(150, 110, 0), 1));
    p.setBrush(QColor(230, 180, 30));
    p.drawPolygon(QPolygon({QPoint(2, 8), QPoint(11, 8), QPoint(13, 11), QPoint(27, 11),
                            QPoint(27, 28), QPoint(2, 28)}));
    // papers sticking out
    p.setBrush(Qt::white);
    p.setPen(QPen(QColor(120, 120, 120), 1));
    p.drawRect(7, 6, 16, 14);
    p.drawRect(10, 4, 16, 14);
    p.setPen(QPen(QColor(160, 160, 200), 1));
    for (int y = 8; y < 16; y += 3)
        p.drawLine(12, y, 23, y);
    // the open front flap
    p.setPen(QPen(QColor(150, 110, 0), 1));
    p.setBrush(QColor(255, 215, 70));
    p.drawPolygon(QPolygon({QPoint(5, 15), QPoint(31, 15), QPoint(27, 29), QPoint(1, 29)}));
    return img;
}

// A hand pointing up with its index finger; the fingertip is at (HandTipX, 1).
constexpr int HandTipX = 10;
constexpr int HandTipY = 1;

void drawHand(QPainter &p, int dx, int dy)
{
    QPainterPath hand;
    hand.moveTo(dx + 8, dy + 4);
    hand.arcTo(dx + 8, dy + 1, 4, 4, 180, -180); // fingertip
    hand.lineTo(dx + 12, dy + 12);
    hand.arcTo(dx + 12, dy + 10, 4, 4, 180, -180);
    hand.lineTo(dx + 16, dy + 13);
    hand.arcTo(dx + 16, dy + 11, 4, 4, 180, -180);
    hand.lineTo(dx + 20, dy + 14);
    hand.arcTo(dx + 20, dy + 12, 4, 4, 180, -180);
    hand.lineTo(dx + 24, dy + 22);
    hand.quadTo(dx + 24, dy + 30, dx + 16, dy + 30);
    hand.lineTo(dx + 12, dy + 30);
    hand.quadTo(dx + 8, dy + 30, dx + 4, dy + 22);
    hand.lineTo(dx + 2, dy + 17);
    hand.quadTo(dx + 2, dy + 14, dx + 5, dy + 15);
    hand.lineTo(dx + 8, dy + 19);
    hand.closeSubpath();
    p.setPen(QPen(Qt::black, 1.2));
    p.setBrush(Qt::white);
    p.drawPath(hand);
    p.drawLine(QPointF(dx + 12, dy + 12), QPointF(dx + 12, dy + 17));
    p.drawLine(QPointF(dx + 16, dy + 13), QPointF(dx + 16, dy + 18));
    p.drawLine(QPointF(dx + 20, dy + 14), QPointF(dx + 20, dy + 19));
}

QImage handPointer()
{
    QImage img = canvas();
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    drawHand(p, 0, 0);
    return img;
}

QImage dragPicture()
{
    QImage img = canvas();
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    drawPage(p, 9, 8, 14, 17);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 80, 200));
    p.drawPolygon(QPolygon({QPoint(16, 0), QPoint(22, 6), QPoint(10, 6)}));
    p.drawPolygon(QPolygon({QPoint(16, 32), QPoint(22, 26), QPoint(10, 26)}));
    return img;
}

// The application icon drawn at `size` pixels: the same shapes as on the
// 32-pixel grid, rendered at the target size rather than scaled from 32.
bool writeFile(const QString &path, const QByteArray &data);

QImage appIcon(int size = 32)
{
    QImage img(size, size, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    drawPage(p, 1, 2, 15, 20);
    drawPdfMark(p, 3, 6);
    drawPage(p, 16, 2, 15, 20);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(20, 60, 210));
    p.drawRect(18, 5, 9, 2);   // the T's bar
    p.drawRect(21, 5, 3, 8);   // its stem
    for (int y = 15; y < 21; y += 2)
        p.drawRect(18, y, 10, 1);
    p.scale(0.6, 0.6);
    drawHand(p, 15, 22); // in front, pointing from the PDF page to the text page
    return img;
}

// The application icon as SVG on the 32-unit grid: the shapes of appIcon().
QByteArray appIconSvg()
{
    auto page = [](int x, int y, int w, int h) {
        return QStringLiteral("<path d=\"M%1 %2H%3L%4 %5V%6H%1Z\" fill=\"#fff\" stroke=\"#5a5a5a\"/>"
                              "<path d=\"M%3 %2V%5H%4Z\" fill=\"#d2d2d2\" stroke=\"#5a5a5a\"/>")
            .arg(x).arg(y).arg(x + w - 6).arg(x + w).arg(y + 6).arg(y + h);
    };
    const int mx = 3, my = 6; // the PDF mark
    QString svg = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"32\" height=\"32\" "
                                 "viewBox=\"0 0 32 32\">\n");
    svg += page(1, 2, 15, 20) + QLatin1Char('\n');
    svg += QStringLiteral("<path d=\"M%1 %2C%3 %4 %5 %6 %7 %8\" fill=\"none\" stroke=\"#c81414\" "
                          "stroke-width=\"2\" stroke-linecap=\"round\"/>"
                          "<rect x=\"%1\" y=\"%9\" width=\"10\" height=\"2\" fill=\"#c81414\"/>\n")
               .arg(mx).arg(my + 10).arg(mx + 3).arg(my - 2).arg(mx + 6).arg(my + 14).arg(mx + 10)
               .arg(my + 4).arg(my + 12);
    svg += page(16, 2, 15, 20) + QLatin1Char('\n');
    svg += QStringLiteral("<g fill=\"#143cd2\"><rect x=\"18\" y=\"5\" width=\"9\" height=\"2\"/>"
                          "<rect x=\"21\" y=\"5\" width=\"3\" height=\"8\"/>");
    for (int y = 15; y < 21; y += 2)
        svg += QStringLiteral("<rect x=\"18\" y=\"%1\" width=\"10\" height=\"1\"/>").arg(y);
    svg += QStringLiteral("</g>\n");
    // The hand of drawHand() at (15, 22) on a grid scaled by 0.6; each
    // finger is a line to its left edge, then a half circle over its tip.
    const int dx = 15, dy = 22;
    auto finger = [&](int x, int top) {
        return QStringLiteral("L%1 %2A2 2 0 0 1 %3 %2").arg(dx + x).arg(dy + top + 2).arg(dx + x + 4);
    };
    svg += QStringLiteral("<g transform=\"scale(0.6)\" fill=\"#fff\" stroke=\"#000\" stroke-width=\"1.2\">"
                          "<path d=\"M%1 %2").arg(dx + 8).arg(dy + 4);
    svg += finger(8, 1) + QStringLiteral("L%1 %2").arg(dx + 12).arg(dy + 12) + finger(12, 10)
           + QStringLiteral("L%1 %2").arg(dx + 16).arg(dy + 13) + finger(16, 11)
           + QStringLiteral("L%1 %2").arg(dx + 20).arg(dy + 14) + finger(20, 12);
    svg += QStringLiteral("L%1 %2Q%1 %3 %4 %3L%5 %3Q%6 %3 %7 %2L%8 %9Q%8 %10 %11 %12L%6 %13Z\"/>")
               .arg(dx + 24).arg(dy + 22).arg(dy + 30).arg(dx + 16).arg(dx + 12).arg(dx + 8).arg(dx + 4)
               .arg(dx + 2).arg(dy + 17).arg(dy + 14).arg(dx + 5).arg(dy + 15).arg(dy + 19);
    for (int x : {12, 16, 20}) {
        const int top = x == 12 ? 12 : x == 16 ? 13 : 14;
        svg += QStringLiteral("<path d=\"M%1 %2V%3\"/>").arg(dx + x).arg(dy + top).arg(dy + top + 5);
    }
    svg += QStringLiteral("</g>\n</svg>\n");
    return svg.toUtf8();
}

// The sizes of the desktop's icon theme the icon is drawn in.
constexpr int IconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

bool writeThemeIcons(const QString &out)
{
    for (int size : IconSizes) {
        const QString folder = out + QStringLiteral("/icons/%1x%1").arg(size);
        if (!QDir().mkpath(folder) || !appIcon(size).save(folder + QStringLiteral("/rasterwell.png")))
            return false;
    }
    return QDir().mkpath(out + QStringLiteral("/icons/scalable"))
           && writeFile(out + QStringLiteral("/icons/scalable/rasterwell.svg"), appIconSvg());
}

// An ICO (type 1) or CUR (type 2) container holding one 32x32 32-bit BMP image.
QByteArray icoContainer(const QImage &src, int type, int hotX, int hotY)
{
    const QImage img = src.convertToFormat(QImage::Format_ARGB32);
    const int w = img.width(), h = img.height();
    QByteArray dib;
    auto put16 = [](QByteArray &b, int v) { b.append(char(v & 0xff)).append(char((v >> 8) & 0xff)); };
    auto put32 = [](QByteArray &b, quint32 v) {
        for (int i = 0; i < 4; ++i)
            b.append(char((v >> (8 * i)) & 0xff));
    };
    put32(dib, 40);
    put32(dib, quint32(w));
    put32(dib, quint32(h * 2)); // colour image plus AND mask
    put16(dib, 1);
    put16(dib, 32);
    put32(dib, 0);
    const int maskStride = ((w + 31) / 32) * 4;
    put32(dib, quint32(w * h * 4 + maskStride * h));
    put32(dib, 0);
    put32(dib, 0);
    put32(dib, 0);
    put32(dib, 0);
    for (int y = h - 1; y >= 0; --y) {
        const auto *line = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        for (int x = 0; x < w; ++x)
            put32(dib, line[x]); // BGRA in memory, as a DIB wants
    }
    for (int y = h - 1; y >= 0; --y) {
        QByteArray row(maskStride, 0);
        const auto *line = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        for (int x = 0; x < w; ++x)
            if (qAlpha(line[x]) == 0)
                row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
        dib += row;
    }

    QByteArray out;
    put16(out, 0);
    put16(out, type);
    put16(out, 1);
    out.append(char(w)).append(char(h)).append(char(0)).append(char(0));
    put16(out, type == 2 ? hotX : 1);  // planes for an icon
    put16(out, type == 2 ? hotY : 32); // bit count for an icon
    put32(out, quint32(dib.size()));
    put32(out, 6 + 16);
    return out + dib;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: makeart OUTPUT_FOLDER\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    bool ok = addFiles().save(out + "/add-files.png")
              && convertPicture().save(out + "/convert.png")
              && folderPicture().save(out + "/add-folder.png")
              && appIcon().save(out + "/rasterwell.png")
              && writeFile(out + "/HAND-M.CUR", icoContainer(handPointer(), 2, HandTipX, HandTipY))
              && writeFile(out + "/drag.ico", icoContainer(dragPicture(), 1, 0, 0))
              && writeFile(out + "/rasterwell.ico", icoContainer(appIcon(), 1, 0, 0))
              && writeThemeIcons(out);
    if (!ok) {
        std::fprintf(stderr, "makeart: cannot write into %s\n", argv[1]);
        return 1;
    }
    return 0;
}

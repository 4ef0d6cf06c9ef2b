// Paints the program's pictures (toolbar, status bar, login dialog) into PNG
// files. A developer tool: run it once after changing a picture and commit the
// files; the program itself loads the committed PNGs from its resources.
//   sms_make_pictures <folder>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>
#include <functional>

namespace {

const QColor kBlue(0x2f, 0x6f, 0xc4);
const QColor kDarkBlue(0x1d, 0x47, 0x85);
const QColor kGreen(0x2e, 0x9d, 0x4a);
const QColor kRed(0xd0, 0x3b, 0x34);
const QColor kGold(0xe0, 0xa8, 0x1c);
const QColor kGrey(0x55, 0x5b, 0x66);

QImage picture(int w, int h, const std::function<void(QPainter&)>& draw)
{
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    {
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(w / 32.0, h / 32.0); // every picture is drawn on a 32 x 32 grid
        draw(p);
    }
    return img;
}

bool paint(const QString& file, int w, int h, const std::function<void(QPainter&)>& draw)
{
    if (!picture(w, h, draw).save(file)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        return false;
    }
    return true;
}

// A Windows icon file holding the picture in each of sizes, every one stored
// as a PNG (as Windows reads icons since Vista).
bool paintIcon(const QString& file, const QList<int>& sizes, const std::function<void(QPainter&)>& draw)
{
    QList<QByteArray> pngs;
    for (int size : sizes) {
        QByteArray png;
        QBuffer buf(&png);
        buf.open(QIODevice::WriteOnly);
        if (!picture(size, size, draw).save(&buf, "PNG"))
            return false;
        pngs << png;
    }
    QByteArray ico;
    auto le16 = [&](int v) { ico.append(char(v & 0xff)).append(char((v >> 8) & 0xff)); };
    auto le32 = [&](qint64 v) {
        le16(int(v & 0xffff));
        le16(int((v >> 16) & 0xffff));
    };
    le16(0); // reserved
    le16(1); // an icon
    le16(int(sizes.size()));
    qint64 offset = 6 + 16 * sizes.size();
    for (qsizetype i = 0; i < sizes.size(); ++i) {
        ico.append(char(sizes[i] >= 256 ? 0 : sizes[i])).append(char(sizes[i] >= 256 ? 0 : sizes[i]));
        ico.append(char(0)).append(char(0)); // no palette, reserved
        le16(1);                             // colour planes
        le16(32);                            // bits a pixel
        le32(pngs[i].size());
        le32(offset);
        offset += pngs[i].size();
    }
    for (const QByteArray& png : pngs)
        ico.append(png);
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(ico) != ico.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        return false;
    }
    return true;
}

void person(QPainter& p, QPointF at, qreal s, const QColor& c)
{
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawEllipse(QPointF(at.x(), at.y() - 5 * s), 4.2 * s, 4.2 * s);
    QPainterPath body;
    body.moveTo(at.x() - 8 * s, at.y() + 9 * s);
    body.cubicTo(at.x() - 8 * s, at.y() + 0.5 * s, at.x() + 8 * s, at.y() + 0.5 * s, at.x() + 8 * s,
                 at.y() + 9 * s);
    body.closeSubpath();
    p.drawPath(body);
}

void envelope(QPainter& p, const QRectF& r)
{
    p.setPen(QPen(kDarkBlue, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::white);
    p.drawRoundedRect(r, 1.5, 1.5);
    QPainterPath flap;
    flap.moveTo(r.topLeft() + QPointF(1, 1));
    flap.lineTo(r.center().x(), r.center().y() + 1);
    flap.lineTo(r.topRight() + QPointF(-1, 1));
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);
}

void arrowRight(QPainter& p, QPointF from, qreal len, const QColor& c)
{
    p.setPen(QPen(c, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(from, from + QPointF(len, 0));
    p.drawLine(from + QPointF(len, 0), from + QPointF(len - 4, -4));
    p.drawLine(from + QPointF(len, 0), from + QPointF(len - 4, 4));
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(dir);
    auto f = [&](const char* name) -> QString { return dir + QLatin1Char('/') + QLatin1String(name); };
    bool ok = true;

    // Log in again: a person with a circular arrow.
    ok &= paint(f("login.png"), 32, 32, [](QPainter& p) {
        person(p, QPointF(12, 15), 1.0, kBlue);
        p.setPen(QPen(kGreen, 2.6, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(17, 15, 13, 13), 90 * 16, 270 * 16);
        p.setPen(Qt::NoPen);
        p.setBrush(kGreen);
        p.drawPolygon(QPolygonF({QPointF(23.5, 12.5), QPointF(28, 15.5), QPointF(23.5, 18.5)}));
    });
    // Send messages: an envelope flying right.
    ok &= paint(f("send.png"), 32, 32, [](QPainter& p) {
        envelope(p, QRectF(9, 8, 21, 15));
        arrowRight(p, QPointF(1, 26), 14, kGreen);
        p.setPen(QPen(kGreen, 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(2, 12), QPointF(6, 12));
        p.drawLine(QPointF(1, 17), QPointF(6, 17));
    });
    // Account management: two persons.
    ok &= paint(f("accounts.png"), 32, 32, [](QPainter& p) {
        person(p, QPointF(21, 15), 0.95, kGrey);
        person(p, QPointF(12, 18), 1.05, kBlue);
    });
    // Send records: a sheet with lines.
    ok &= paint(f("records.png"), 32, 32, [](QPainter& p) {
        p.setPen(QPen(kGrey, 1.6));
        p.setBrush(Qt::white);
        p.drawRoundedRect(QRectF(6, 3, 20, 26), 2, 2);
        p.setPen(QPen(kBlue, 2, Qt::SolidLine, Qt::RoundCap));
        for (int i = 0; i < 5; ++i)
            p.drawLine(QPointF(10, 9 + i * 4), QPointF(i % 2 ? 19 : 22, 9 + i * 4));
        p.setPen(Qt::NoPen);
        p.setBrush(kGreen);
        p.drawEllipse(QPointF(24, 25), 5, 5);
        p.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(24, 22), QPointF(24, 25));
        p.drawLine(QPointF(24, 25), QPointF(26.5, 26.5));
    });
    // Change password: a key.
    ok &= paint(f("password.png"), 32, 32, [](QPainter& p) {
        p.setPen(QPen(kGold.darker(140), 1.4));
        p.setBrush(kGold);
        p.drawEllipse(QPointF(10, 16), 7, 7);
        p.drawRect(QRectF(16, 14, 14, 4));
        p.drawRect(QRectF(24, 18, 3, 5));
        p.drawRect(QRectF(19, 18, 3, 4));
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(8.5, 16), 2.3, 2.3);
    });
    // Exit: a power symbol.
    ok &= paint(f("exit.png"), 32, 32, [](QPainter& p) {
        p.setPen(QPen(kRed, 3.4, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(5, 6, 22, 22), 125 * 16, 290 * 16);
        p.drawLine(QPointF(16, 3), QPointF(16, 15));
    });
    // Status bar user panel.
    ok &= paint(f("user.png"), 16, 16, [](QPainter& p) { person(p, QPointF(16, 17), 1.45, kBlue); });
    // Login dialog buttons.
    ok &= paint(f("ok.png"), 16, 16, [](QPainter& p) {
        p.setPen(QPen(kGreen, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(5, 17), QPointF(13, 25), QPointF(27, 8)}));
    });
    ok &= paint(f("cancel.png"), 16, 16, [](QPainter& p) {
        p.setPen(QPen(kRed, 5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(7, 7), QPointF(25, 25));
        p.drawLine(QPointF(25, 7), QPointF(7, 25));
    });
    // Window icon, and the same picture in the sizes of the installed program's
    // icon (packaging/korvessa.svg draws it too, for the scalable size).
    const auto appIcon = [](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(kBlue);
        p.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
        envelope(p, QRectF(5, 9, 22, 15));
    };
    ok &= paint(f("app.png"), 32, 32, appIcon);
    for (int size : {48, 64, 128, 256})
        ok &= paint(dir + QStringLiteral("/app_%1.png").arg(size), size, size, appIcon);
    // The icon of korvessa.exe (app/korvessa.rc).
    ok &= paintIcon(f("app.ico"), {16, 24, 32, 48, 64, 256}, appIcon);
    // Login dialog picture: a phone with a message bubble.
    ok &= paint(f("login_side.png"), 145, 145, [](QPainter& p) {
        QLinearGradient bg(0, 0, 32, 32);
        bg.setColorAt(0, QColor(0xe8, 0xf1, 0xfc));
        bg.setColorAt(1, QColor(0xc5, 0xda, 0xf5));
        p.setPen(Qt::NoPen);
        p.setBrush(bg);
        p.drawRect(QRectF(0, 0, 32, 32));
        p.setBrush(kDarkBlue);
        p.drawRoundedRect(QRectF(5, 6, 13, 23), 2.2, 2.2);
        p.setBrush(QColor(0xdd, 0xee, 0xff));
        p.drawRect(QRectF(6.3, 9, 10.4, 15.5));
        p.setBrush(QColor(0x9a, 0xb4, 0xd8));
        p.drawEllipse(QPointF(11.5, 26.8), 1.1, 1.1);
        for (int i = 0; i < 4; ++i) {
            p.setBrush(kBlue.lighter(120 + i * 10));
            p.drawRect(QRectF(7.5, 11 + i * 3.2, i % 2 ? 6 : 8, 1.4));
        }
        QPainterPath bubble;
        bubble.addRoundedRect(QRectF(14, 3, 15, 10), 3, 3);
        QPainterPath tail;
        tail.moveTo(17, 12);
        tail.lineTo(15, 16.5);
        tail.lineTo(21, 12);
        tail.closeSubpath();
        p.setBrush(kGreen);
        p.drawPath(bubble.united(tail));
        p.setBrush(Qt::white);
        for (int i = 0; i < 3; ++i)
            p.drawEllipse(QPointF(17.5 + i * 4, 8), 1.2, 1.2);
    });
    return ok ? 0 : 1;
}

#include "app/uStatusPanels.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <algorithm>

QString ClockText(const QDateTime& when, const QLocale& locale)
{
    // The long time format of many locales ends in a time zone name ("t"),
    // which the clock leaves out.
    QString timeFormat = locale.timeFormat(QLocale::LongFormat);
    timeFormat.remove(QLatin1Char('t'));
    timeFormat = timeFormat.trimmed();
    return locale.toString(when.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(when.time(), timeFormat);
}

TClockPanel::TClockPanel(QWidget* parent, const QLocale& locale) : QLabel(parent), locale_(locale)
{
    setAlignment(Qt::AlignCenter);
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    timer_.setInterval(250);
    connect(&timer_, &QTimer::timeout, this, &TClockPanel::Tick);
    timer_.start();
    Tick();
}

void TClockPanel::Tick()
{
    const QString t = ClockText(QDateTime::currentDateTime(), locale_);
    if (t != text())
        setText(t);
}

void TClockPanel::FitWidth(int minimum)
{
    minimumWidth_ = minimum;
    const QFontMetrics fm = fontMetrics();
    // Date and time are measured apart: every month and weekday (two-digit
    // days of this year), every hour of the day.
    const int year = QDate::currentDate().year();
    QDate widestDate(year, 1, 22);
    int dateWidth = -1;
    for (int month = 1; month <= 12; ++month) {
        for (int day = 22; day <= 28; ++day) {
            const QDate d(year, month, day);
            const int w = fm.horizontalAdvance(ClockText(QDateTime(d, QTime(0, 0)), locale_));
            if (w > dateWidth) {
                dateWidth = w;
                widestDate = d;
            }
        }
    }
    int textWidth = 0;
    for (int hour = 0; hour < 24; ++hour) {
        const QDateTime when(widestDate, QTime(hour, 58, 58));
        textWidth = std::max(textWidth, fm.horizontalAdvance(ClockText(when, locale_)));
    }
    const int frame = width() - contentsRect().width();             // frame and margins
    const int padding = 2 * fm.horizontalAdvance(QLatin1Char(' ')); // a blank's room on either side
    setFixedWidth(std::max(minimum, textWidth + frame + 2 * margin() + padding));
}

void TClockPanel::changeEvent(QEvent* e)
{
    QLabel::changeEvent(e);
    if (e->type() == QEvent::FontChange && minimumWidth_ > 0)
        FitWidth(minimumWidth_);
}

TPicturePanel::TPicturePanel(const QPixmap& picture, const QString& text, QWidget* parent)
    : QFrame(parent), picture_(new QLabel(this)), text_(new QLabel(text, this))
{
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    picture_->setPixmap(picture);
    auto* lay = new QHBoxLayout(this);
    lay->setContentsMargins(3, 0, 3, 0);
    lay->setSpacing(3);
    lay->addWidget(picture_);
    lay->addWidget(text_, 1);
}

TScrollText::TScrollText(const QString& text, QWidget* parent) : QFrame(parent), text_(text)
{
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    timer_.setInterval(StepMs);
    connect(&timer_, &QTimer::timeout, this, &TScrollText::Step);
    timer_.start();
}

void TScrollText::setText(const QString& text)
{
    if (text == text_)
        return;
    text_ = text;
    placed_ = false; // a new text comes in from the right edge
    update();
}

void TScrollText::Step()
{
    if (!isVisible())
        return;
    const QRect area = contentsRect();
    if (!placed_) {
        offset_ = area.width();
        placed_ = true;
    }
    --offset_;
    const int textWidth = fontMetrics().horizontalAdvance(text_);
    if (offset_ + textWidth < 0)
        offset_ = area.width();
    update();
}

void TScrollText::paintEvent(QPaintEvent* e)
{
    QFrame::paintEvent(e);
    QPainter p(this);
    const QRect area = contentsRect();
    p.setClipRect(area);
    const QFontMetrics fm = fontMetrics();
    const int baseline = area.top() + (area.height() + fm.ascent() - fm.descent()) / 2;
    p.drawText(QPoint(area.left() + (placed_ ? offset_ : area.width()), baseline), text_);
}

QSize TScrollText::sizeHint() const
{
    return QSize(200, fontMetrics().height() + 2 * frameWidth());
}

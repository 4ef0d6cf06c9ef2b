#pragma once
// The main window's status bar panels that a plain label cannot be: the clock,
// a text with a small picture, and the scrolling notice.

#include <QDateTime>
#include <QFrame>
#include <QLabel>
#include <QLocale>
#include <QPixmap>
#include <QTimer>

// The system's short date, a blank and the system's long time (without a time zone name).
QString ClockText(const QDateTime& when, const QLocale& locale = QLocale::system());

// Shows the current date and time in a locale's format and keeps it up to date itself.
class TClockPanel final : public QLabel
{
    Q_OBJECT
public:
    explicit TClockPanel(QWidget* parent = nullptr, const QLocale& locale = QLocale::system());
    void Tick();
    // Fixes the width at that of the longest text the locale's format can
    // give (month and weekday names, one- and two-digit hours, AM/PM), and at
    // least minimum pixels; kept so when the font changes.
    void FitWidth(int minimum);

protected:
    void changeEvent(QEvent* e) override;

private:
    QLocale locale_;
    int minimumWidth_ = 0;
    QTimer timer_;
};

// A text with a small picture before it.
class TPicturePanel final : public QFrame
{
    Q_OBJECT
public:
    explicit TPicturePanel(const QPixmap& picture, const QString& text, QWidget* parent = nullptr);
    QString text() const { return text_->text(); }
    void setText(const QString& text) { text_->setText(text); }

private:
    QLabel* picture_ = nullptr;
    QLabel* text_ = nullptr;
};

// A text that moves from right to left, one pixel per step, and comes in
// again from the right edge once it has left at the left edge.
class TScrollText final : public QFrame
{
    Q_OBJECT
public:
    static constexpr int StepMs = 30;

    explicit TScrollText(const QString& text, QWidget* parent = nullptr);
    QString text() const { return text_; }
    void setText(const QString& text);
    // Position of the text's left edge inside the panel.
    int Offset() const { return offset_; }
    bool Running() const { return timer_.isActive(); }
    void Step();

protected:
    void paintEvent(QPaintEvent* e) override;
    QSize sizeHint() const override;

private:
    QString text_;
    int offset_ = 0;
    bool placed_ = false;
    QTimer timer_;
};

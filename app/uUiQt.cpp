#include "app/uUiQt.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QStringList>

static QMessageBox::StandardButton toButton(TMsgResult r)
{
    switch (r) {
    case TMsgResult::Yes:
        return QMessageBox::Yes;
    case TMsgResult::No:
        return QMessageBox::No;
    case TMsgResult::Cancel:
        return QMessageBox::Cancel;
    case TMsgResult::Ok:
        break;
    }
    return QMessageBox::Ok;
}

int CaptionRoom(const QString& caption, const QFont& font)
{
    QFont title = font;
    title.setBold(true);
    const QFontMetrics fm(title);
    // A title bar is about a line and a half of its font high, and each of its
    // buttons about as wide as the bar is high.
    const int bar = fm.height() * 3 / 2;
    return fm.horizontalAdvance(caption) + 4 * bar + 2 * fm.height();
}

TMsgResult TQtUiSeam::message(const TUiMessage& m)
{
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(m.caption);
    box.setText(m.text);
    switch (m.icon) {
    case TMsgIcon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case TMsgIcon::Warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case TMsgIcon::Error:
        box.setIcon(QMessageBox::Critical);
        break;
    case TMsgIcon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    case TMsgIcon::NoIcon:
        break;
    }
    if (m.buttons == TMsgButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.button(QMessageBox::Yes)->setText(QStringLiteral("是(&Y)"));
        box.button(QMessageBox::No)->setText(QStringLiteral("否(&N)"));
        box.setEscapeButton(QMessageBox::No);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    }
    box.setDefaultButton(toButton(m.defaultButton));
    // The box sizes itself to its text and leaves its caption only a little
    // room, so a window manager cuts a caption that is wider than a short
    // text ("发送成功" over "信息提交成功"). An empty row as wide as the
    // caption needs widens the box's layout, and with it the box. (Last:
    // setting the icon lays the box out anew.)
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(CaptionRoom(m.caption, box.font()), 0, QSizePolicy::Minimum,
                                      QSizePolicy::Minimum),
                      grid->rowCount(), 0, 1, grid->columnCount());
    const int r = box.exec();
    switch (r) {
    case QMessageBox::Yes:
        return TMsgResult::Yes;
    case QMessageBox::No:
        return TMsgResult::No;
    case QMessageBox::Ok:
        return TMsgResult::Ok;
    default:
        return m.buttons == TMsgButtons::YesNo ? TMsgResult::No : TMsgResult::Cancel;
    }
}

QString QtFileFilter(const QString& filter)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString& desc = parts.at(i);
        const QString& pattern = parts.at(i + 1);
        out << (desc.contains(pattern) ? desc : desc + QStringLiteral(" (") + pattern + QLatin1Char(')'));
    }
    if (out.isEmpty() && !filter.isEmpty())
        out << filter;
    return out.join(QStringLiteral(";;"));
}

QString TQtUiSeam::openFileName(const QString& filter)
{
    // Qt's own dialog, not the desktop's: it speaks the program's language
    // (Qt's Chinese translation) whatever the desktop's language is.
    return QFileDialog::getOpenFileName(QApplication::activeWindow(), QStringLiteral("打开"), QString(),
                                        QtFileFilter(filter), nullptr, QFileDialog::DontUseNativeDialog);
}

TBusyCursor::TBusyCursor()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

TBusyCursor::~TBusyCursor()
{
    release();
}

void TBusyCursor::release()
{
    if (active_) {
        active_ = false;
        QApplication::restoreOverrideCursor();
    }
}

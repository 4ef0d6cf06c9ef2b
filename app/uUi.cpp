#include "app/uUi.h"

#include <QCoreApplication>
#include <QThread>
#include <cstdio>

namespace {
TUiSeam* g_seam = nullptr;
QString g_title = QStringLiteral("Orvanta");
} // namespace

TUiSeam* SetUiSeam(TUiSeam* seam)
{
    TUiSeam* old = g_seam;
    g_seam = seam;
    return old;
}

TUiSeam* UiSeam()
{
    return g_seam;
}

void SetAppTitle(const QString& title)
{
    g_title = title;
}
QString AppTitle()
{
    return g_title;
}

static TMsgResult show(const TUiMessage& m)
{
    if (g_seam)
        return g_seam->message(m);
    std::fprintf(stderr, "[%s] %s\n", qPrintable(m.caption), qPrintable(m.text));
    return m.buttons == TMsgButtons::YesNo ? TMsgResult::No : TMsgResult::Ok;
}

TMsgResult ShowMessage(const QString& text, const QString& caption, TMsgIcon icon, TMsgButtons buttons)
{
    TUiMessage m;
    m.text = text;
    m.caption = caption;
    m.icon = icon;
    m.buttons = buttons;
    m.defaultButton = buttons == TMsgButtons::YesNo ? TMsgResult::No : TMsgResult::Ok;
    return show(m);
}

void ShowError(const QString& text, const QString& caption)
{
    ShowMessage(text, caption, TMsgIcon::Error);
}

void ShowInfo(const QString& text, const QString& caption)
{
    ShowMessage(text, caption, TMsgIcon::Information);
}

bool AskYesNo(const QString& text, const QString& caption)
{
    return ShowMessage(text, caption, TMsgIcon::Question, TMsgButtons::YesNo) == TMsgResult::Yes;
}

void ReportError(const QString& text)
{
    TUiMessage m;
    m.text = text;
    m.caption = g_title;
    m.icon = TMsgIcon::Error;
    m.topLevelError = true;
    show(m);
}

QString AskOpenFileName(const QString& filter)
{
    return g_seam ? g_seam->openFileName(filter) : QString();
}

void PumpMessages()
{
    QCoreApplication::processEvents();
}

void Pause(int ms)
{
    if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

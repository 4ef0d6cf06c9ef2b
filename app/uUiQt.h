#pragma once
// The widget implementation of the message seam: real message boxes and the file-open dialog.

#include "app/uUi.h"

class QFont;

class TQtUiSeam final : public TUiSeam
{
public:
    TMsgResult message(const TUiMessage& m) override;
    QString openFileName(const QString& filter) override;
};

// The width a window needs for a window manager to show its caption whole: the
// caption in a bold title font, the window's icon and three title-bar buttons
// (minimize, maximize, close) with the bar's margins.
int CaptionRoom(const QString& caption, const QFont& font);

// Converts "txt(*.txt)|*.txt" into the dialog's own form "txt(*.txt)".
QString QtFileFilter(const QString& filter);

// Sets the application-wide busy cursor for its lifetime.
class TBusyCursor
{
public:
    TBusyCursor();
    ~TBusyCursor();
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;
    void release();

private:
    bool active_ = true;
};

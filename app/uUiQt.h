#pragma once
// The widget implementation of the message seam: real message boxes and the file-open dialog.

#include "app/uUi.h"

class TQtUiSeam final : public TUiSeam
{
public:
    TMsgResult message(const TUiMessage& m) override;
    QString openFileName(const QString& filter) override;
};

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

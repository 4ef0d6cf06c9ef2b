#pragma once
// The one seam between the program and what it shows the user in boxes:
// message boxes, the file-open dialog and the top-level error report.
// The program installs the widget implementation (uUiQt.h); tests install a
// recorder that reads what was shown and answers it.

#include <QString>

enum class TMsgIcon { NoIcon, Information, Warning, Error, Question };
enum class TMsgButtons { Ok, YesNo };
enum class TMsgResult { Ok, Yes, No, Cancel };

struct TUiMessage
{
    QString text;
    QString caption;
    TMsgIcon icon = TMsgIcon::NoIcon;
    TMsgButtons buttons = TMsgButtons::Ok;
    TMsgResult defaultButton = TMsgResult::Ok;
    bool topLevelError = false; // shown by the program's top-level error report
};

class TUiSeam
{
public:
    virtual ~TUiSeam() = default;
    virtual TMsgResult message(const TUiMessage& m) = 0;
    // filter in the program's own form: "description|pattern[|description|pattern...]".
    // Returns the chosen file, or an empty text when the user cancelled.
    virtual QString openFileName(const QString& filter) = 0;
};

// Installs a seam and returns the one it replaces. Without a seam, messages
// are written to standard error and answered with No / Ok, file dialogs are cancelled.
TUiSeam* SetUiSeam(TUiSeam* seam);
TUiSeam* UiSeam();

// The application title: caption of the top-level error report.
void SetAppTitle(const QString& title);
QString AppTitle();

TMsgResult ShowMessage(const QString& text, const QString& caption, TMsgIcon icon,
                       TMsgButtons buttons = TMsgButtons::Ok);
void ShowError(const QString& text, const QString& caption);
void ShowInfo(const QString& text, const QString& caption);
// Question with Yes and No, the question icon and No as the default button.
bool AskYesNo(const QString& text, const QString& caption = QStringLiteral("提示"));
// The program's top-level error report: the error's text under the application title.
void ReportError(const QString& text);
QString AskOpenFileName(const QString& filter);

// Lets the window system handle what is pending (repaints, timers, input).
void PumpMessages();
// A blocking pause.
void Pause(int ms);

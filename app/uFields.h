#pragma once
// Behaviour that several dialogs and pages give their fields.

#include <QObject>

class QKeyEvent;
class QLineEdit;
class QWidget;

// Return on the main keyboard or Enter on the keypad.
bool IsEnterKey(const QKeyEvent* k);

// A password field: every typed character shows as "*".
void MakePasswordField(QLineEdit* e);

// Key preview of a dialog: Enter typed in a watched field is swallowed and
// the focus moves to the next control in tab order, as Tab would move it; a
// watched button takes Enter as a press.
class TEnterMovesFocus final : public QObject
{
public:
    explicit TEnterMovesFocus(QWidget* dialog);
    void watch(QWidget* w);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

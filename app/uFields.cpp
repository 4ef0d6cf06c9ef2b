#include "app/uFields.h"

#include <QAbstractButton>
#include <QKeyEvent>
#include <QLineEdit>
#include <QWidget>

bool IsEnterKey(const QKeyEvent* k)
{
    return k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter;
}

void MakePasswordField(QLineEdit* e)
{
    e->setEchoMode(QLineEdit::Password);
    e->setStyleSheet(QStringLiteral("lineedit-password-character: 42")); // "*"
}

TEnterMovesFocus::TEnterMovesFocus(QWidget* dialog) : QObject(dialog) {}

void TEnterMovesFocus::watch(QWidget* w)
{
    w->installEventFilter(this);
}

namespace {
// The control that Tab moves to from w: the next one in the focus chain that
// takes the focus by Tab, within the same window.
QWidget* nextInTabOrder(QWidget* w)
{
    for (QWidget* next = w->nextInFocusChain(); next && next != w; next = next->nextInFocusChain()) {
        if ((next->focusPolicy() & Qt::TabFocus) == Qt::TabFocus && next->isEnabled() &&
            next->isVisibleTo(w->window()) && next->window() == w->window() && !next->focusProxy())
            return next;
    }
    return nullptr;
}
} // namespace

bool TEnterMovesFocus::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress || !IsEnterKey(static_cast<QKeyEvent*>(event)))
        return false;
    if (auto* b = qobject_cast<QAbstractButton*>(watched)) {
        b->click();
        return true;
    }
    if (auto* w = qobject_cast<QWidget*>(watched)) {
        if (QWidget* next = nextInTabOrder(w))
            next->setFocus(Qt::TabFocusReason);
        return true; // never reaches the field or a button
    }
    return false;
}

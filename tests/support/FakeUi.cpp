#include "tests/support/FakeUi.h"

FakeUi::FakeUi()
{
    prev_ = SetUiSeam(this);
}

FakeUi::~FakeUi()
{
    SetUiSeam(prev_);
}

TMsgResult FakeUi::message(const TUiMessage& m)
{
    shown << m;
    if (onMessage)
        onMessage(m);
    if (!answers.isEmpty())
        return answers.takeFirst();
    return m.buttons == TMsgButtons::YesNo ? questionAnswer : TMsgResult::Ok;
}

QString FakeUi::openFileName(const QString& filter)
{
    filters << filter;
    return files.isEmpty() ? QString() : files.takeFirst();
}

void FakeUi::clear()
{
    shown.clear();
    answers.clear();
    files.clear();
    filters.clear();
}

QStringList FakeUi::texts() const
{
    QStringList out;
    for (const TUiMessage& m : shown)
        out << m.text;
    return out;
}

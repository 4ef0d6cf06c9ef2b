#pragma once
// Stands in for the message seam in tests: records what the user was shown
// and answers it. Installs itself for its lifetime.

#include "app/uUi.h"

#include <QList>
#include <QStringList>
#include <functional>

class FakeUi final : public TUiSeam
{
public:
    FakeUi();
    ~FakeUi() override;
    FakeUi(const FakeUi&) = delete;
    FakeUi& operator=(const FakeUi&) = delete;

    TMsgResult message(const TUiMessage& m) override;
    QString openFileName(const QString& filter) override;

    void clear();
    int count() const { return int(shown.size()); }
    QStringList texts() const;
    TUiMessage last() const { return shown.isEmpty() ? TUiMessage{} : shown.last(); }

    QList<TUiMessage> shown;                          // every message, in order
    QList<TMsgResult> answers;                        // next answers, one used per message
    TMsgResult questionAnswer = TMsgResult::Yes;      // for Yes/No questions when answers is empty
    QStringList files;                                // next file-open results ("" = cancelled)
    QStringList filters;                              // filters the file-open dialog was given
    std::function<void(const TUiMessage&)> onMessage; // runs while the "box" is open

private:
    TUiSeam* prev_ = nullptr;
};

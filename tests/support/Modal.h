#pragma once
// Driving modal dialogs and message boxes from a test: the code under test
// opens them with exec(), so the test queues what it does with them first.

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <functional>

// Runs f with the modal dialog once it is up (tries for about five seconds).
// A dialog that the code under test failed to close is closed ten seconds
// later, so the test fails instead of hanging.
inline void whenModal(std::function<void(QWidget*)> f, int triesLeft = 500)
{
    QTimer::singleShot(triesLeft == 500 ? 0 : 10, qApp, [f, triesLeft] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            f(w);
            QTimer::singleShot(10000, w, [w] { w->close(); });
        } else if (triesLeft > 0) {
            whenModal(f, triesLeft - 1);
        }
    });
}

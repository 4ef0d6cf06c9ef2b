#pragma once
// Small helpers of the send benchmarks.

#include "send/frmSend.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <cstdio>

// A figure of /proc/self/status in kB ("VmRSS", "VmHWM").
inline long procStatusKb(const char* field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    return -1;
}

inline void report(const char* what, double ms, double goalMs)
{
    std::printf("%-62s %9.1f ms  (goal < %.0f ms)  %s\n", what, ms, goalMs, ms < goalMs ? "ok" : "OVER");
    std::fflush(stdout);
}

inline double msSince(const QElapsedTimer& t)
{
    return double(t.nsecsElapsed()) / 1e6;
}

// A send page shown at a common size, set up as the main window sets it up.
struct TBenchPage
{
    TSendFrm page;
    TBenchPage()
    {
        page.resize(1000, 700);
        page.show();
        page.InitPage();
        (void)QTest::qWaitForWindowExposed(&page);
    }
};

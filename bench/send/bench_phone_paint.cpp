// Paint of the send page's phone list when a line is very long: the time of
// one paint and the memory it takes on top of what the list already holds.
#include "bench/send/benchutil.h"
#include "send/frmSend.h"
#include "send/uPhoneList.h"
#include "tests/support/FakeUi.h"

#include <QApplication>
#include <QTest>

namespace {
// Resets the process's peak resident size to its current size, so that VmHWM
// afterwards tells the peak of what follows.
bool resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
}

void paintOnce(const char* what, const QString& line)
{
    TSendFrm page;
    page.resize(1000, 700);
    page.show();
    page.InitPage();
    (void)QTest::qWaitForWindowExposed(&page);
    TPhoneListModel* model = page.PhoneModel();
    model->reserve(2, line.size() + 16);
    model->stage(line);
    model->stage(u"13800000000");
    model->announce();
    QWidget* vp = page.lstPhone->viewport();
    QApplication::processEvents();

    double first = 0, worst = 0, total = 0;
    long extraKb = 0;
    constexpr int Rounds = 5;
    for (int i = 0; i < Rounds; ++i) {
        const long rss0 = procStatusKb("VmRSS");
        const bool peakReset = resetPeak();
        QElapsedTimer t;
        t.start();
        vp->repaint();
        const double ms = msSince(t);
        const long hwm = procStatusKb("VmHWM");
        if (peakReset)
            extraKb = std::max(extraKb, hwm - rss0);
        if (i == 0)
            first = ms;
        worst = std::max(worst, ms);
        total += ms;
    }
    char label[160];
    std::snprintf(label, sizeof label, "paint of the list holding %s", what);
    report(label, worst, 20);
    std::printf("    first %.1f ms, mean %.1f ms over %d paints; peak extra memory %.1f MB (goal < 20 MB); "
                "line %.1f MB as text\n",
                first, total / Rounds, Rounds, extraKb / 1024.0, line.size() * 2 / 1048576.0);
}
} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    FakeUi ui;

    {
        // One line of 20 MiB of digits, as a file without a single line end gives.
        QString line(20 * 1024 * 1024, QLatin1Char('0'));
        for (qsizetype i = 0; i < line.size(); i += 11)
            line[i] = QLatin1Char('1');
        paintOnce("one 20 MiB line", line);
    }
    {
        // A million numbers separated by commas on one line.
        QString line;
        line.reserve(12 * 1000000);
        for (int i = 0; i < 1000000; ++i) {
            if (i)
                line += QLatin1Char(',');
            line += QString::number(13800000000LL + i);
        }
        paintOnce("1,000,000 numbers on one comma-separated line", line);
    }
    return 0;
}

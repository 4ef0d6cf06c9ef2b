// The send page's number check on a million lines, 10% of them duplicates and
// 1% no plausible mobile number, followed by their removal.
#include "app/uDataType.h"
#include "bench/send/benchutil.h"
#include "send/frmSend.h"
#include "send/uPhoneList.h"
#include "tests/support/FakeUi.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>
#include <ctime>

namespace {
constexpr int Lines = 1000000;

// Lines in a shuffled order: 10% repeat an earlier line, 1% are too short.
QStringList fixture()
{
    QRandomGenerator rng(12);
    QStringList out;
    out.reserve(Lines);
    for (int i = 0; i < Lines; ++i) {
        if (i % 100 == 50)
            out << QString::number(1380000 + i); // 7 digits
        else if (i % 10 == 5)                    // a number listed before
        {
            qint64 j = 10 * rng.bounded(i / 10 + 1);
            if (j % 100 == 50) // not one of the short ones
                j -= 10;
            out << QString::number(13800000000LL + j);
        } else
            out << QString::number(13800000000LL + i);
    }
    return out;
}
} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    FakeUi ui;
    const QStringList lines = fixture();

    for (const bool byHand : {false, true}) {
        Para = TPara();
        TSendFrm page;
        page.resize(1000, 700);
        page.show();
        page.InitPage();
        (void)QTest::qWaitForWindowExposed(&page);
        if (byHand) {
            // Entered by hand: every removed line also takes an entry of the pending list.
            page.inputPhones = [&lines](QStringList*& list) {
                *list = lines;
                return true;
            };
            page.BtnInput->click();
        } else {
            page.PhoneModel()->append(lines);
            page.ShowPhoneCount();
        }
        QApplication::processEvents();
        ui.clear();
        ui.questionAnswer = TMsgResult::Yes;
        QElapsedTimer t;
        t.start();
        const std::clock_t cpu0 = std::clock();
        page.BtnCheckPhone->click();
        QApplication::processEvents();
        const double cpuMs = double(std::clock() - cpu0) * 1000.0 / CLOCKS_PER_SEC;
        report(byHand ? "number check and removal, 1,000,000 lines entered by hand"
                      : "number check and removal, 1,000,000 imported lines",
               msSince(t), 500);
        std::printf("    left %lld lines (label %s), pending %lld; 140 ms of it are the fixed pauses; "
                    "processor time %.1f ms (on a busy machine the wall time is longer)\n",
                    qint64(page.PhoneModel()->count()), qPrintable(page.lblPhoneCnt->text()),
                    qint64(Para.Phones.size()), cpuMs);
        if (!byHand)
            std::printf("%s\n\n%s\n", qPrintable(ui.shown.value(0).text), qPrintable(ui.shown.value(1).text));
    }
    return 0;
}

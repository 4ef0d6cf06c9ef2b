// Benchmarks of the send page's phone list at a million numbers.
#include "app/uDataType.h"
#include "bench/send/benchutil.h"
#include "send/frmSend.h"
#include "send/uPhoneList.h"
#include "tests/support/FakeUi.h"

#include <QApplication>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {
QStringList numbers(qint64 first, int n)
{
    QStringList out;
    out.reserve(n);
    for (int i = 0; i < n; ++i)
        out << QString::number(first + i);
    return out;
}

std::function<bool(QStringList*&)> accepting(const QStringList& lines)
{
    return [lines](QStringList*& list) {
        list->clear();
        list->append(lines);
        return true;
    };
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    FakeUi ui;
    QTemporaryDir dir;

    // A file of a million numbers, CR LF line ends as Windows tools write them.
    const QString file = dir.filePath(QStringLiteral("million.txt"));
    {
        QByteArray bytes;
        bytes.reserve(13 * 1000000);
        for (int i = 0; i < 1000000; ++i) {
            bytes += QByteArray::number(13800000000LL + i);
            bytes += "\r\n";
        }
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return 1;
    }

    {
        TBenchPage p;
        QApplication::processEvents();
        const long rss0 = procStatusKb("VmRSS");
        ui.files << file;
        QElapsedTimer t;
        t.start();
        p.page.BtnLoadPhone->click();
        QApplication::processEvents(); // the list painted with its numbers
        const double ms = msSince(t);
        const long rss1 = procStatusKb("VmRSS");
        const long hwm = procStatusKb("VmHWM");
        report("import 1,000,000-line file until listed and counted", ms, 1000);
        std::printf("    listed %s, label %s; extra resident memory %.1f MB (peak of process %.1f MB, before "
                    "%.1f MB; goal < 150 MB extra)\n",
                    qPrintable(QString::number(p.page.PhoneModel()->count())),
                    qPrintable(p.page.lblPhoneCnt->text()), (rss1 - rss0) / 1024.0, hwm / 1024.0,
                    rss0 / 1024.0);
        std::printf("    peak extra over start of import: %.1f MB\n", (hwm - rss0) / 1024.0);

        QElapsedTimer c;
        c.start();
        p.page.btnClear->click();
        QApplication::processEvents();
        report("clear 1,000,000", msSince(c), 100);
    }

    {
        TBenchPage p;
        p.page.inputPhones = accepting(numbers(13800000000LL, 100000));
        QElapsedTimer t;
        t.start();
        p.page.BtnInput->click();
        QApplication::processEvents();
        report("hand entry of 100,000 lines through the dialog's result", msSince(t), 500);
        std::printf("    listed %lld, pending %lld (of which 110 ms are the fixed pauses)\n",
                    qint64(p.page.PhoneModel()->count()), qint64(Para.Phones.size()));
        p.page.btnClear->click();
    }

    // Delete 100,000 selected of 1,000,000, half of them entered by hand.
    for (int variant = 0; variant < 3; ++variant) {
        TBenchPage p;
        p.page.inputPhones = accepting(numbers(13800000000LL, 500000));
        p.page.BtnInput->click();
        {
            QByteArray bytes;
            for (int i = 0; i < 500000; ++i) {
                bytes += QByteArray::number(13900000000LL + i);
                bytes += '\n';
            }
            const QString half = dir.filePath(QStringLiteral("half.txt"));
            QFile f(half);
            if (!f.open(QIODevice::WriteOnly))
                return 1;
            f.write(bytes);
            f.close();
            ui.files << half;
            p.page.BtnLoadPhone->click();
        }
        TPhoneListView* v = p.page.lstPhone;
        QItemSelection sel;
        const char* what = nullptr;
        if (variant == 0) {
            what = "delete 100,000 selected (one block) of 1,000,000";
            sel.select(v->model()->index(450000, 0), v->model()->index(549999, 0));
        } else if (variant == 1) {
            what = "delete 100,000 selected (1,000 blocks of 100) of 1,000,000";
            for (int b = 0; b < 1000; ++b)
                sel.select(v->model()->index(b * 1000, 0), v->model()->index(b * 1000 + 99, 0));
        } else {
            what = "delete 100,000 selected (every 10th line) of 1,000,000";
            for (int r = 0; r < 1000000; r += 10)
                sel.select(v->model()->index(r, 0), v->model()->index(r, 0));
        }
        QElapsedTimer s;
        s.start();
        v->selectionModel()->select(sel, QItemSelectionModel::ClearAndSelect);
        const double selectMs = msSince(s);
        const qsizetype before = Para.Phones.size();
        QElapsedTimer t;
        t.start();
        p.page.BtnDelete->click();
        QApplication::processEvents();
        report(what, msSince(t), 1000);
        std::printf(
            "    listed %lld, pending %lld -> %lld (selecting took %.1f ms; 80 ms are fixed pauses)\n",
            qint64(p.page.PhoneModel()->count()), qint64(before), qint64(Para.Phones.size()), selectMs);
        p.page.btnClear->click();
    }
    return 0;
}

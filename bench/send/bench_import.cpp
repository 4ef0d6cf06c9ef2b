// Benchmarks of the send page's import: a text file of 10,000,000 numbers;
// CSV files, .xlsx and .ods workbooks of 1,000,000 rows x 3 columns (name,
// number, city) and an .xls workbook of 65,535 rows, written as spreadsheet
// programs write them (bench/send/listfiles.h); and pasting 1,000,000 numbers
// from the clipboard. Each goes through the real page, offscreen; the time
// runs from the click until the numbers are listed and counted, the memory is
// the process's peak resident size during the import over its size before.
//
// Usage: bench_import [text] [csv] [xlsx] [ods] [xls] [paste]   (all when none is named)
#include "bench/send/benchutil.h"
#include "send/frmSend.h"
#include "send/uPhoneList.h"
#include "tests/support/FakeUi.h"

#include "bench/send/listfiles.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <ctime>

namespace {

// CPU time of the process in ms: on a busy machine it says more than the clock on the wall.
double cpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Starts a new peak of resident memory (Linux: 5 in clear_refs resets VmHWM).
void resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

struct TGoal
{
    double ms = 0;           // wall time
    double fileFactor = 0;   // peak extra memory, in sizes of the file (0: none)
    qint64 unpacked = 0;     // a workbook's unpacked sheet: peak above the list at most twice it
};

// Clicks the button (the file dialog answers `file`), then prints time and memory.
void importThrough(FakeUi& ui, const QString& file, const char* what, const TGoal& goal,
                   QPushButton* TSendFrm::*button = &TSendFrm::BtnLoadPhone, const char* buttonName = nullptr)
{
    const qint64 size = file.isEmpty() ? 0 : QFileInfo(file).size();
    TBenchPage p;
    QPushButton* b = buttonName ? p.page.findChild<QPushButton*>(QLatin1String(buttonName)) : p.page.*button;
    if (!b) {
        std::printf("%-62s (the page has no button %s)\n", what, buttonName);
        return;
    }
    QApplication::processEvents();
    const long rss0 = procStatusKb("VmRSS");
    resetPeak();
    ui.clear();
    if (!file.isEmpty())
        ui.files << file;
    QElapsedTimer t;
    t.start();
    const double cpu0 = cpuMs();
    b->click();
    QApplication::processEvents(); // the list painted with its numbers
    const double ms = msSince(t);
    const double cpu = cpuMs() - cpu0;
    const long hwm = procStatusKb("VmHWM");
    const long rss1 = procStatusKb("VmRSS");
    report(what, ms, goal.ms);
    const double extra = (hwm - rss0) * 1024.0;
    std::printf("    CPU time %.1f ms (110 ms of the wall time are the page's fixed pauses)\n", cpu);
    std::printf("    ");
    if (size > 0)
        std::printf("file %.1f MB; ", size / 1048576.0);
    std::printf("listed %s (label %s), messages %d%s%s\n", qPrintable(QString::number(p.page.PhoneModel()->count())),
                qPrintable(p.page.lblPhoneCnt->text()), ui.count(), ui.count() ? ": " : "",
                ui.count() ? qPrintable(ui.last().text.left(60).replace(QLatin1Char('\n'), QLatin1Char(' '))) : "");
    std::printf("    peak extra memory %.1f MB", extra / 1048576.0);
    if (size > 0)
        std::printf(" = %.2f x the file", extra / double(size));
    if (goal.fileFactor > 0)
        std::printf(" (goal < %.0f x)  %s", goal.fileFactor, extra < goal.fileFactor * double(size) ? "ok" : "OVER");
    std::printf("; held after (the list): %.1f MB\n", (rss1 - rss0) / 1024.0);
    if (goal.unpacked > 0) {
        const double above = (hwm - rss1) * 1024.0;
        std::printf("    peak above the list %.1f MB = %.2f x the unpacked sheet (%.1f MB; goal <= 2 x)  %s\n",
                    above / 1048576.0, above / double(goal.unpacked), goal.unpacked / 1048576.0,
                    above <= 2.0 * double(goal.unpacked) ? "ok" : "OVER");
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    FakeUi ui;
    QTemporaryDir dir;
    QStringList which = app.arguments().mid(1);
    if (which.isEmpty())
        which = {QStringLiteral("text"), QStringLiteral("csv"), QStringLiteral("xlsx"), QStringLiteral("ods"),
                 QStringLiteral("xls"),  QStringLiteral("paste")};
    constexpr int Rows = 1000000;

    if (which.contains(QStringLiteral("text"))) {
        const QString file = dir.filePath(QStringLiteral("numbers.txt"));
        {
            QByteArray bytes;
            bytes.reserve(qsizetype(12) * 10000000);
            for (int i = 0; i < 10000000; ++i) {
                bytes += QByteArray::number(13800000000LL + i);
                bytes += '\n';
            }
            if (!writeFile(file, bytes))
                return 1;
        }
        importThrough(ui, file, "import of a 10,000,000-number text file (UTF-8, LF)", {1500, 2});
        QFile::remove(file);
        const QString crlf = dir.filePath(QStringLiteral("numbers-crlf.txt"));
        {
            QByteArray bytes;
            bytes.reserve(qsizetype(13) * 10000000);
            for (int i = 0; i < 10000000; ++i) {
                bytes += QByteArray::number(13800000000LL + i);
                bytes += "\r\n";
            }
            if (!writeFile(crlf, bytes))
                return 1;
        }
        importThrough(ui, crlf, "import of a 10,000,000-number text file (CR LF)", {1500, 2});
        QFile::remove(crlf);
        const QString utf16 = dir.filePath(QStringLiteral("numbers-utf16.txt"));
        {
            QString text;
            text.reserve(qsizetype(13) * 1000000 + 1);
            text += QChar(0xFEFF);
            for (int i = 0; i < 1000000; ++i) {
                text += QString::number(13800000000LL + i);
                text += QLatin1String("\r\n");
            }
            if (!writeFile(utf16, QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2)))
                return 1;
        }
        importThrough(ui, utf16, "import of a 1,000,000-number text file (UTF-16 LE)", {1500, 2});
        QFile::remove(utf16);
    }

    if (which.contains(QStringLiteral("csv"))) {
        const QString file = dir.filePath(QStringLiteral("list.csv"));
        if (!WriteCsvFile(file, Rows, ',', false))
            return 1;
        importThrough(ui, file, "import of a CSV file, 1,000,000 rows x 3 columns (UTF-8)", {600, 3});
        {
            QFile f(file);
            if (!f.open(QIODevice::ReadOnly))
                return 1;
            QStringEncoder encoder("GB18030");
            const QByteArray gb = encoder(QString::fromUtf8(f.readAll()));
            f.close();
            if (!writeFile(file, gb))
                return 1;
        }
        importThrough(ui, file, "import of a CSV file, 1,000,000 rows x 3 columns (GB18030)", {600, 3});
        if (!WriteCsvFile(file, Rows, ';', true))
            return 1;
        importThrough(ui, file, "import of a CSV file, 1,000,000 rows, ';' and UTF-8 mark", {600, 3});
        QFile::remove(file);
    }

    if (which.contains(QStringLiteral("xlsx"))) {
        for (const TXlsxKind kind : {TXlsxKind::SharedStrings, TXlsxKind::InlineStrings}) {
            const QString file = dir.filePath(QStringLiteral("list.xlsx"));
            qint64 sheet = 0;
            if (!WriteXlsxBook(file, Rows, kind, &sheet))
                return 1;
            importThrough(ui, file,
                          kind == TXlsxKind::SharedStrings ? "import of an .xlsx, 1,000,000 x 3, shared strings"
                                                           : "import of an .xlsx, 1,000,000 x 3, inline strings",
                          {1500, 0, sheet});
            QFile::remove(file);
        }
    }

    if (which.contains(QStringLiteral("ods"))) {
        const QString file = dir.filePath(QStringLiteral("list.ods"));
        qint64 content = 0;
        if (!WriteOdsBook(file, Rows, &content))
            return 1;
        importThrough(ui, file, "import of an .ods workbook, 1,000,000 rows x 3 columns", {3000});
        std::printf("    content.xml unpacked %.1f MB\n", content / 1048576.0);
        QFile::remove(file);
    }

    if (which.contains(QStringLiteral("xls"))) {
        const QString file = dir.filePath(QStringLiteral("list.xls"));
        if (!WriteXlsBook(file, 65535))
            return 1;
        importThrough(ui, file, "import of an .xls workbook, 65,535 rows x 3 columns", {300});
        QFile::remove(file);
    }

    if (which.contains(QStringLiteral("paste"))) {
        QByteArray lines, block = "姓名\t手机号码\t城市\r\n";
        lines.reserve(qsizetype(12) * Rows);
        for (int i = 0; i < Rows; ++i) {
            lines += BenchNumber(i) + '\n';
            block += BenchName(i) + '\t' + BenchNumber(i) + '\t' + BenchCity(i) + "\r\n";
        }
        QGuiApplication::clipboard()->setText(QString::fromUtf8(lines));
        lines = QByteArray();
        importThrough(ui, QString(), "paste of 1,000,000 numbers, one a line", {500}, nullptr, "btnPasteImport");
        QGuiApplication::clipboard()->setText(QString::fromUtf8(block));
        block = QByteArray();
        importThrough(ui, QString(), "paste of 1,000,000 copied rows x 3 cells (tabs)", {1000}, nullptr,
                      "btnPasteImport");
        QGuiApplication::clipboard()->clear();
    }
    return 0;
}

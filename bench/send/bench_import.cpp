// Benchmarks of the send page's file import: a text file of 10,000,000 numbers,
// a CSV file and an Excel workbook of 1,000,000 rows × 3 columns (name,
// number, city). Each is imported through the real page, offscreen; the time
// runs from the click until the numbers are listed and counted, the memory is
// the process's peak resident size during the import over its size before.
//
// Usage: bench_import [text] [csv] [xlsx]   (all three when none is named)
#include "bench/send/benchutil.h"
#include "send/frmSend.h"
#include "send/uPhoneList.h"
#include "tests/support/FakeUi.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <ctime>

#if __has_include("send/uPhoneImport.h")
#include "send/uPhoneImport.h"

#include <QBuffer>
#include <QXmlStreamReader>
#include <quazip.h>
#include <quazipfile.h>
#define HAVE_TABLES 1
#endif

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

// Imports the file through the page and prints time and memory.
void importThrough(FakeUi& ui, const QString& file, const char* what, double goalMs, double goalFactor)
{
    const qint64 size = QFileInfo(file).size();
    TBenchPage p;
    QApplication::processEvents();
    const long rss0 = procStatusKb("VmRSS");
    resetPeak();
    ui.clear();
    ui.files << file;
    QElapsedTimer t;
    t.start();
    const double cpu0 = cpuMs();
    p.page.BtnLoadPhone->click();
    QApplication::processEvents(); // the list painted with its numbers
    const double ms = msSince(t);
    const double cpu = cpuMs() - cpu0;
    const long hwm = procStatusKb("VmHWM");
    const long rss1 = procStatusKb("VmRSS");
    report(what, ms, goalMs);
    const double extra = (hwm - rss0) * 1024.0;
    std::printf("    CPU time %.1f ms (110 ms of the wall time are the page's fixed pauses)\n", cpu);
    std::printf("    file %.1f MB; listed %s (label %s), messages %d\n", size / 1048576.0,
                qPrintable(QString::number(p.page.PhoneModel()->count())),
                qPrintable(p.page.lblPhoneCnt->text()), ui.count());
    std::printf("    peak extra memory %.1f MB = %.2f x the file", extra / 1048576.0, extra / double(size));
    if (goalFactor > 0)
        std::printf(" (goal < %.0f x)  %s", goalFactor, extra < goalFactor * double(size) ? "ok" : "OVER");
    std::printf("; held after: %.1f MB\n", (rss1 - rss0) / 1024.0);
    std::fflush(stdout);
}

const char* const Names[] = {"张三", "李四", "王五", "赵六", "孙七", "周八", "吴九", "郑十"};
const char* const Cities[] = {"北京", "上海", "广州", "深圳", "杭州", "成都", "武汉", "西安"};

#ifdef HAVE_TABLES
bool addPart(QuaZip& zip, const QString& name, const QByteArray& data)
{
    QuaZipFile f(&zip);
    if (!f.open(QIODevice::WriteOnly, QuaZipNewInfo(name)))
        return false;
    const bool ok = f.write(data) == data.size();
    f.close();
    return ok && f.getZipError() == 0;
}

// A workbook of `rows` rows: a header row of shared strings, then name and city as
// shared strings and the number as a numeric cell.
bool writeWorkbook(const QString& path, int rows, QByteArray* sheetXml)
{
    QByteArray strings = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                         "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
                         "<si><t>姓名</t></si><si><t>手机号码</t></si><si><t>城市</t></si>";
    for (const char* c : Cities)
        strings += QByteArray("<si><t>") + c + "</t></si>";
    // Unique names: one shared string per row, as a real list has.
    for (int i = 0; i < rows; ++i)
        strings += QByteArray("<si><t>") + Names[i % 8] + QByteArray::number(i) + "</t></si>";
    strings += "</sst>";
    QByteArray& sheet = *sheetXml;
    sheet = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
            "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheetData>"
            "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c>"
            "<c r=\"C1\" t=\"s\"><v>2</v></c></row>";
    sheet.reserve(qsizetype(rows) * 110);
    for (int i = 0; i < rows; ++i) {
        const QByteArray r = QByteArray::number(i + 2);
        sheet += "<row r=\"" + r + "\"><c r=\"A" + r + "\" t=\"s\"><v>" + QByteArray::number(3 + 8 + i) +
                 "</v></c><c r=\"B" + r + "\"><v>" + QByteArray::number(13900000000LL + i) +
                 "</v></c><c r=\"C" + r + "\" t=\"s\"><v>" + QByteArray::number(3 + i % 8) + "</v></c></row>";
    }
    sheet += "</sheetData></worksheet>";
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    bool ok = addPart(zip, QStringLiteral("[Content_Types].xml"),
                      "<?xml version=\"1.0\"?><Types "
                      "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>");
    ok = ok && addPart(zip, QStringLiteral("xl/workbook.xml"),
                       "<?xml version=\"1.0\"?><workbook "
                       "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                       "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                       "<sheets><sheet name=\"Sheet1\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>");
    ok = ok &&
         addPart(zip, QStringLiteral("xl/_rels/workbook.xml.rels"),
                 "<?xml version=\"1.0\"?><Relationships "
                 "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                 "<Relationship Id=\"rId1\" "
                 "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
                 "Target=\"worksheets/sheet1.xml\"/>"
                 "<Relationship Id=\"rId2\" "
                 "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings\" "
                 "Target=\"sharedStrings.xml\"/></Relationships>");
    ok = ok && addPart(zip, QStringLiteral("xl/sharedStrings.xml"), strings);
    ok = ok && addPart(zip, QStringLiteral("xl/worksheets/sheet1.xml"), sheet);
    zip.close();
    return ok && zip.getZipError() == 0;
}

// Where the time of a workbook import goes: unpacking the sheet, reading its XML.
void workbookBreakdown(const QString& path, const QByteArray& sheetXml)
{
    QuaZip zip(path);
    zip.open(QuaZip::mdUnzip);
    QElapsedTimer t;
    t.start();
    double c = cpuMs();
    qint64 unpacked = 0;
    for (const char* part : {"xl/sharedStrings.xml", "xl/worksheets/sheet1.xml"}) {
        zip.setCurrentFile(QString::fromLatin1(part));
        QuaZipFile f(&zip);
        f.open(QIODevice::ReadOnly);
        char buf[1 << 16];
        for (qint64 n; (n = f.read(buf, sizeof buf)) > 0;)
            unpacked += n;
    }
    std::printf("    of which: unpacking shared strings and sheet (%.0f MB of XML) %.0f ms\n",
                unpacked / 1048576.0, msSince(t));
    QBuffer buffer;
    buffer.setData(sheetXml);
    buffer.open(QIODevice::ReadOnly);
    t.restart();
    c = cpuMs();
    QXmlStreamReader xml(&buffer);
    qint64 tokens = 0;
    while (!xml.atEnd()) {
        xml.readNext();
        ++tokens;
    }
    std::printf("              reading the sheet's XML alone (%.0f MB, %lld tokens) %.0f ms (CPU %.0f ms)\n",
                sheetXml.size() / 1048576.0, tokens, msSince(t), cpuMs() - c);
    std::fflush(stdout);
}
#endif

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    FakeUi ui;
    QTemporaryDir dir;
    QStringList which = app.arguments().mid(1);
    if (which.isEmpty())
        which = {QStringLiteral("text"), QStringLiteral("csv"), QStringLiteral("xlsx")};

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
        importThrough(ui, file, "import of a 10,000,000-number text file (UTF-8, LF)", 1500, 2);
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
        importThrough(ui, crlf, "import of a 10,000,000-number text file (CR LF)", 1500, 2);
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
        importThrough(ui, utf16, "import of a 1,000,000-number text file (UTF-16 LE)", 1500, 2);
        QFile::remove(utf16);
    }

#ifdef HAVE_TABLES
    if (which.contains(QStringLiteral("csv"))) {
        for (const bool gb : {false, true}) {
            const QString file =
                dir.filePath(gb ? QStringLiteral("list-gb.csv") : QStringLiteral("list.csv"));
            QByteArray bytes = "姓名,手机号码,城市\r\n";
            bytes.reserve(qsizetype(40) * 1000000);
            for (int i = 0; i < 1000000; ++i) {
                bytes += Names[i % 8];
                bytes += QByteArray::number(i);
                bytes += ',';
                bytes += QByteArray::number(13900000000LL + i);
                bytes += ',';
                bytes += Cities[i % 8];
                bytes += "\r\n";
            }
            if (gb) {
                QStringEncoder encoder("GB18030");
                bytes = encoder(QString::fromUtf8(bytes));
            }
            if (!writeFile(file, bytes))
                return 1;
            bytes = QByteArray();
            importThrough(ui, file,
                          gb ? "import of a CSV file, 1,000,000 rows x 3 columns (GB18030)"
                             : "import of a CSV file, 1,000,000 rows x 3 columns (UTF-8)",
                          1500, 3);
            QFile::remove(file);
        }
    }

    if (which.contains(QStringLiteral("xlsx"))) {
        const QString file = dir.filePath(QStringLiteral("list.xlsx"));
        QByteArray sheet;
        if (!writeWorkbook(file, 1000000, &sheet))
            return 1;
        importThrough(ui, file, "import of an .xlsx workbook, 1,000,000 rows x 3 columns", 6000, 0);
        workbookBreakdown(file, sheet);
    }
#endif
    return 0;
}

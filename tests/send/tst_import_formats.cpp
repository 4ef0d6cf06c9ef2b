// The workbook formats of the import on files as an office program saves them
// (tests/send/fixtures, written by LibreOffice Calc: see make-fixtures.py),
// files read by what they are rather than by their names, and the structures
// of .ods and .xlsx parts that those fixtures do not show.
#include "send/uPhoneImport.h"
#include "tests/support/ImportRun.h"
#include "tests/support/TextList.h"
#include "tests/support/ZipParts.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString fixture(const QString& name)
{
    return QStringLiteral(SMS_SOURCE_DIR "/tests/send/fixtures/") + name;
}

const QByteArray OdsType = "application/vnd.oasis.opendocument.spreadsheet";

// An .ods workbook whose body (inside office:spreadsheet) is given.
QList<TPart> odsBook(const QByteArray& tables, const QByteArray& type = OdsType)
{
    const QByteArray content =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document-content "
        "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
        "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
        "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
        "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
        "xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\" office:version=\"1.3\">"
        "<office:body><office:spreadsheet>" +
        tables + "</office:spreadsheet></office:body></office:document-content>";
    return {TPart{QStringLiteral("mimetype"), type},
            TPart{QStringLiteral("META-INF/manifest.xml"),
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?><manifest:manifest "
                  "xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\"/>"},
            TPart{QStringLiteral("content.xml"), content}};
}

// A table:table-row of cells; a cell "n:13900000001" is a number, "s:text" a
// string; "*3" after either repeats it in three columns; "-" is an empty cell.
QByteArray odsRow(std::initializer_list<const char*> cells, qint64 repeat = 1)
{
    QByteArray out = "<table:table-row";
    if (repeat != 1)
        out += " table:number-rows-repeated=\"" + QByteArray::number(repeat) + "\"";
    out += ">";
    for (const char* c : cells) {
        QByteArray cell(c);
        QByteArray times;
        if (const qsizetype star = cell.lastIndexOf('*'); star > 0) {
            times = " table:number-columns-repeated=\"" + cell.mid(star + 1) + "\"";
            cell.truncate(star);
        }
        if (cell == "-")
            out += "<table:table-cell" + times + "/>";
        else if (cell.startsWith("n:"))
            out += "<table:table-cell" + times + " office:value-type=\"float\" office:value=\"" + cell.mid(2) +
                   "\"><text:p>" + cell.mid(2) + "</text:p></table:table-cell>";
        else
            out += "<table:table-cell" + times + " office:value-type=\"string\"><text:p>" + cell.mid(2) +
                   "</text:p></table:table-cell>";
    }
    return out + "</table:table-row>";
}

QByteArray odsTable(const QByteArray& rows)
{
    return "<table:table table:name=\"S\">" + rows + "</table:table>";
}

const QByteArray MainNs = "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"";
const QByteArray RelNs = "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"";

// An .xlsx workbook of one sheet, its XML given whole, and shared strings given whole.
QList<TPart> xlsxBook(const QByteArray& sheetXml, const QByteArray& stringsXml = {})
{
    QList<TPart> parts = {
        TPart{QStringLiteral("[Content_Types].xml"), "<?xml version=\"1.0\"?><Types/>"},
        TPart{QStringLiteral("xl/workbook.xml"),
              "<?xml version=\"1.0\"?><workbook " + MainNs + " " + RelNs +
                  "><sheets><sheet name=\"S\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>"},
        TPart{QStringLiteral("xl/_rels/workbook.xml.rels"),
              "<?xml version=\"1.0\"?><Relationships "
              "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship Id=\"rId1\" "
              "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
              "Target=\"worksheets/sheet1.xml\"/></Relationships>"},
        TPart{QStringLiteral("xl/worksheets/sheet1.xml"), sheetXml}};
    if (!stringsXml.isEmpty())
        parts << TPart{QStringLiteral("xl/sharedStrings.xml"), stringsXml};
    return parts;
}

QByteArray sheetOf(const QByteArray& sheetData)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><worksheet " + MainNs + "><sheetData>" + sheetData +
           "</sheetData></worksheet>";
}

} // namespace

class TstImportFormats : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;

    QString write(const QString& name, const QByteArray& bytes) { return WriteFile(dir, name, bytes); }
    QString zip(const QString& name, const QList<TPart>& parts)
    {
        const QString path = dir.filePath(name);
        return WriteZip(path, parts, parts.value(0).name == QLatin1String("mimetype")) ? path : QString();
    }
    TImportOutcome run(const QString& path, QStringList* lines, TPhoneImport* reader = nullptr)
    {
        return RunImport(path, lines, reader);
    }
    // Imports; on anything but Done the message names the file and says nothing was added.
    void expect(const QString& path, TImportOutcome outcome, const QStringList& expected = {})
    {
        TPhoneImport reader;
        QStringList lines;
        QCOMPARE(int(run(path, &lines, &reader)), int(outcome));
        if (outcome == TImportOutcome::Done) {
            QCOMPARE(lines, expected);
            return;
        }
        QVERIFY(lines.isEmpty());
        QVERIFY2(reader.message().contains(path), qPrintable(reader.message()));
        QVERIFY2(reader.message().contains(QStringLiteral("未添加任何号码")), qPrintable(reader.message()));
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    // Every kind of fixture in each of the three workbook formats. The list's
    // second sheet and the empty book's second sheet hold numbers that must
    // stay unread.
    void fixtures_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("column");
        QTest::addColumn<bool>("header");
        for (const char* ext : {"xlsx", "xls", "ods"}) {
            auto name = [&](const char* base) { return QStringLiteral("%1.%2").arg(QLatin1String(base), QLatin1String(ext)); };
            QTest::newRow(qPrintable(name("list")))
                << name("list") << int(TImportOutcome::Done)
                << S({"13900000001", "13900000002", "8613900000003", "13900000005", "13900000005", "13900000005",
                      "13900000006"})
                << 1 << true;
            QTest::newRow(qPrintable(name("numbers as text")))
                << name("text-numbers") << int(TImportOutcome::Done)
                << S({"13900000011", "+8613900000012", " 13900000013", "013900000014"}) << 0 << true;
            QTest::newRow(qPrintable(name("blank first column and row")))
                << name("blank-first-column") << int(TImportOutcome::Done) << S({"13900000021", "13900000022"})
                << 2 << true;
            QTest::newRow(qPrintable(name("header only")))
                << name("header-only") << int(TImportOutcome::NoNumberColumn) << QStringList() << -1 << false;
            QTest::newRow(qPrintable(name("empty first sheet")))
                << name("empty") << int(TImportOutcome::NoNumberColumn) << QStringList() << -1 << false;
            QTest::newRow(qPrintable(name("password")))
                << name("encrypted") << int(TImportOutcome::Encrypted) << QStringList() << -1 << false;
        }
    }
    void fixtures()
    {
        QFETCH(QString, file);
        QFETCH(int, outcome);
        QFETCH(QStringList, expected);
        QFETCH(int, column);
        QFETCH(bool, header);
        // A copy, so that the file's name in the message is one the test knows.
        const QString path = write(file, ReadWhole(fixture(file)));
        QVERIFY(!path.isEmpty());
        expect(path, TImportOutcome(outcome), expected);
        TPhoneImport reader;
        QStringList lines;
        run(path, &lines, &reader);
        if (outcome == int(TImportOutcome::Done)) {
            QCOMPARE(reader.column(), column);
            QCOMPARE(reader.headerSkipped(), header);
        } else if (outcome == int(TImportOutcome::NoNumberColumn)) {
            QVERIFY(reader.message().contains(QStringLiteral("第一个工作表中没有号码列")));
        } else {
            QVERIFY(reader.message().contains(QStringLiteral("密码")));
        }
    }

    // A damaged workbook of each format: cut short, or with its packed data spoilt.
    void damaged_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("cut");    // bytes kept, from the start; -1: all
        QTest::addColumn<int>("spoil");  // where 32 bytes are spoilt; -1: nowhere
        for (const char* f : {"list.xlsx", "list.ods", "list.xls"}) {
            QTest::newRow(qPrintable(QStringLiteral("%1 cut in half").arg(QLatin1String(f))))
                << QString::fromLatin1(f) << -2 << -1;
            QTest::newRow(qPrintable(QStringLiteral("%1 cut after its first sector").arg(QLatin1String(f))))
                << QString::fromLatin1(f) << 600 << -1;
        }
        // Inside the packed content.xml / sheet: the inflater or the check sum notices.
        QTest::newRow("list.xlsx spoilt") << "list.xlsx" << -1 << 1;
        QTest::newRow("list.ods spoilt") << "list.ods" << -1 << 2;
    }
    void damaged()
    {
        QFETCH(QString, file);
        QFETCH(int, cut);
        QFETCH(int, spoil);
        QByteArray bytes = ReadWhole(fixture(file));
        QVERIFY(!bytes.isEmpty());
        if (cut == -2)
            bytes.truncate(bytes.size() / 2);
        else if (cut >= 0)
            bytes.truncate(cut);
        if (spoil >= 0) {
            // The packed data of the part that holds the cells.
            // Past the part's name in its local header, inside its packed data.
            const QByteArray part = spoil == 1 ? "xl/worksheets/sheet1.xml" : "content.xml";
            const qsizetype at = bytes.indexOf(part) + part.size() + 40;
            QVERIFY(at > 0 && at + 32 < bytes.size());
            for (qsizetype i = at; i < at + 32; ++i)
                bytes[i] = char(bytes[i] ^ 0x5A);
        }
        const QString path = write(QStringLiteral("damaged-") + file, bytes);
        expect(path, TImportOutcome::BadWorkbook);
    }

    // A workbook cut anywhere, or with bytes spoilt anywhere, ends the import
    // with a message or reads as far as it is whole: it never brings the
    // program down. (A seeded run over each format's fixture.)
    void spoiltAnywhere_data()
    {
        QTest::addColumn<QString>("file");
        for (const char* f : {"list.xlsx", "list.ods", "list.xls", "text-numbers.xls"})
            QTest::newRow(f) << QString::fromLatin1(f);
    }
    void spoiltAnywhere()
    {
        QFETCH(QString, file);
        const QByteArray whole = ReadWhole(fixture(file));
        QVERIFY(!whole.isEmpty());
        QRandomGenerator rng(20240611);
        int failed = 0;
        for (int round = 0; round < 120; ++round) {
            QByteArray bytes = whole;
            if (round < 40) {
                bytes.truncate(whole.size() * round / 40);
            } else {
                for (int k = 0; k < 1 + round % 8; ++k)
                    bytes[rng.bounded(int(bytes.size()))] = char(rng.bounded(256));
            }
            const QString path = write(QStringLiteral("spoilt-") + file, bytes);
            TPhoneImport reader;
            QStringList lines;
            const TImportOutcome outcome = run(path, &lines, &reader);
            if (outcome != TImportOutcome::Done) {
                ++failed;
                QVERIFY(lines.isEmpty());
                QVERIFY2(!reader.message().isEmpty(), qPrintable(QString::number(round)));
            }
        }
        QVERIFY(failed >= 40); // every cut one at least
    }

    // What a file is, its content says, not its name: a workbook under any
    // name is read as the workbook it is; a PDF, a picture, a document or
    // other bytes that are no text are never read as lines.
    void byContent_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("says");
        const QByteArray xlsx = ReadWhole(fixture(QStringLiteral("list.xlsx")));
        const QByteArray ods = ReadWhole(fixture(QStringLiteral("list.ods")));
        const QByteArray xls = ReadWhole(fixture(QStringLiteral("list.xls")));
        QTest::newRow(".xlsx named .txt") << "book.txt" << xlsx << int(TImportOutcome::Done) << "";
        QTest::newRow(".xlsx named .xls") << "book.xls" << xlsx << int(TImportOutcome::Done) << "";
        QTest::newRow(".ods named .csv") << "book.csv" << ods << int(TImportOutcome::Done) << "";
        QTest::newRow(".ods named .xlsx") << "book.xlsx" << ods << int(TImportOutcome::Done) << "";
        QTest::newRow(".xls named .xlsx") << "book.xlsx" << xls << int(TImportOutcome::Done) << "";
        QTest::newRow(".xls without a suffix") << "book" << xls << int(TImportOutcome::Done) << "";
        QTest::newRow("PDF named .txt") << "numbers.txt" << QByteArray("%PDF-1.7\n%\xE2\xE3\xCF\xD3\n1 0 obj\n")
                                        << int(TImportOutcome::NotAList) << "PDF";
        QTest::newRow("PNG named .csv") << "numbers.csv"
                                        << QByteArray("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16)
                                        << int(TImportOutcome::NotAList) << "图片";
        QTest::newRow("JPEG named .xlsx") << "numbers.xlsx" << QByteArray("\xFF\xD8\xFF\xE0\0\x10JFIF", 10)
                                          << int(TImportOutcome::NotAList) << "图片";
        QTest::newRow("bytes with NULs named .txt")
            << "numbers.txt" << QByteArray("13900000001\n\0\0\x01\x02 13900000002\n", 30)
            << int(TImportOutcome::NotAList) << "不是文本";
        QTest::newRow("gzip named .csv") << "numbers.csv" << QByteArray("\x1F\x8B\x08\0\0\0\0\0", 8)
                                         << int(TImportOutcome::NotAList) << "压缩文件";
        const QString docx = zip(QStringLiteral("letter.zip"),
                                 {TPart{QStringLiteral("[Content_Types].xml"), "<Types/>"},
                                  TPart{QStringLiteral("word/document.xml"), "<w:document/>"}});
        QTest::newRow("Word document named .txt")
            << "letter.txt" << ReadWhole(docx) << int(TImportOutcome::NotAList) << "Word";
        const QString odt = zip(QStringLiteral("text.zip"),
                                odsBook({}, "application/vnd.oasis.opendocument.text"));
        QTest::newRow("OpenDocument text named .ods")
            << "text.ods" << ReadWhole(odt) << int(TImportOutcome::NotAList) << "不是表格";
        const QString plainZip =
            zip(QStringLiteral("plain.zip"), {TPart{QStringLiteral("numbers.txt"), "13900000001\n"}});
        QTest::newRow("zip of a text file named .txt")
            << "packed.txt" << ReadWhole(plainZip) << int(TImportOutcome::NotAList) << "ZIP";
        QTest::newRow("text named .ods") << "list.ods" << QByteArray("13900000001\n")
                                         << int(TImportOutcome::BadWorkbook) << "OpenDocument";
        QTest::newRow("text named .xls") << "list.xls" << QByteArray("13900000001\n")
                                         << int(TImportOutcome::BadWorkbook) << "*.xls";
    }
    void byContent()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(int, outcome);
        QFETCH(QString, says);
        const QString path = write(name, bytes);
        QVERIFY(!path.isEmpty());
        TPhoneImport reader;
        QStringList lines;
        QCOMPARE(int(run(path, &lines, &reader)), outcome);
        if (outcome == int(TImportOutcome::Done)) {
            QCOMPARE(lines.value(0), QStringLiteral("13900000001"));
            QCOMPARE(lines.size(), 7);
            return;
        }
        QVERIFY(lines.isEmpty());
        QVERIFY2(reader.message().contains(says), qPrintable(reader.message()));
        QVERIFY(reader.message().contains(path));
        if (outcome == int(TImportOutcome::NotAList)) // says what does work
            for (const char* f : {"*.txt", "*.csv", "*.tsv", "*.xlsx", "*.xlsm", "*.xls", "*.ods"})
                QVERIFY2(reader.message().contains(QLatin1String(f)), f);
    }

    // The first table of an .ods as the format writes it: repeated rows and
    // cells, numbers by their office:value, text by its paragraphs, and what
    // is no cell text (notes, shapes) left out.
    void odsStructure_data()
    {
        QTest::addColumn<QByteArray>("tables");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("column");
        QTest::newRow("repeated rows and cells with numbers in them")
            << odsTable(odsRow({"s:姓名", "s:手机"}) + odsRow({"s:张三", "n:13900000001"}, 3) +
                        odsRow({"-", "n:13900000002*2"}))
            << S({"13900000001", "13900000001", "13900000001", "13900000002"}) << 1;
        // Columns beyond the widest worksheet's (16,384) and rows beyond the
        // longest's (16,777,216) are not looked at.
        QTest::newRow("a number column behind many repeated empty columns")
            << odsTable(odsRow({"-*16000", "s:手机"}) + odsRow({"-*16000", "n:13900000003"}) +
                        odsRow({"-*2147483647", "n:13900000004"}))
            << S({"13900000003"}) << 16000;
        QTest::newRow("rows after millions of repeated empty rows")
            << odsTable(odsRow({"n:13900000005"}) + odsRow({"-*16384"}, 1048000) + odsRow({"n:13900000006"}) +
                        odsRow({"-*16384"}, 2147483647) + odsRow({"n:13900000007"}))
            << S({"13900000005", "13900000006"}) << 0;
        QTest::newRow("the value, not the text shown")
            << odsTable("<table:table-row><table:table-cell office:value-type=\"float\" office:value=\"1.39E+10\">"
                        "<text:p>1.39E+10</text:p></table:table-cell></table:table-row><table:table-row>"
                        "<table:table-cell office:value-type=\"float\" office:value=\"13900000007\"><text:p>"
                        "139-0000-0007</text:p></table:table-cell></table:table-row>")
            << S({"13900000000", "13900000007"}) << 0;
        QTest::newRow("paragraphs, spaces, spans; notes and shapes left out")
            << odsTable("<table:table-row><table:table-cell office:value-type=\"string\"><text:p>139"
                        "<text:span>0000</text:span>0008</text:p><office:annotation><dc:creator>x</dc:creator>"
                        "<text:p>13700000000</text:p></office:annotation></table:table-cell></table:table-row>"
                        "<table:table-row><table:table-cell office:value-type=\"string\"><text:p>tel</text:p>"
                        "<text:p>13900000009<text:s text:c=\"2\"/>x</text:p><draw:frame><draw:text-box><text:p>"
                        "shape</text:p></draw:text-box></draw:frame></table:table-cell></table:table-row>" +
                        odsRow({"n:13900000011"}))
            << S({"13900000008", "tel 13900000009  x", "13900000011"}) << 0;
        QTest::newRow("header rows, covered cells, a second table")
            << "<table:table table:name=\"S\"><table:table-header-rows>" + odsRow({"s:手机", "s:备注"}) +
                   "</table:table-header-rows><table:table-row><table:table-cell office:value-type=\"float\" "
                   "office:value=\"13900000010\" table:number-columns-spanned=\"2\"><text:p>13900000010</text:p>"
                   "</table:table-cell><table:covered-table-cell/></table:table-row></table:table>" +
                   odsTable(odsRow({"n:13700000001"}))
            << S({"13900000010"}) << 0;
    }
    void odsStructure()
    {
        QFETCH(QByteArray, tables);
        QFETCH(QStringList, expected);
        QFETCH(int, column);
        const QString path = zip(QStringLiteral("made.ods"), odsBook(tables));
        QVERIFY(!path.isEmpty());
        TPhoneImport reader;
        QStringList lines;
        QElapsedTimer t;
        t.start();
        QCOMPARE(int(run(path, &lines, &reader)), int(TImportOutcome::Done));
        // Empty cells claimed in the billions cost nothing: no loop over them.
        QVERIFY2(t.elapsed() < 5000, "the import walked the repeated empty cells");
        QCOMPARE(lines, expected);
        QCOMPARE(reader.column(), column);
    }

    // Repeated cells with content make cells; claimed in the millions they
    // make a table larger than an import may hold, refused as too large.
    void odsRepeatsTooLarge()
    {
        const QString path = zip(QStringLiteral("many.ods"), odsBook(odsTable(odsRow({"n:13900000001*16384"}, 1000000))));
        TPhoneImport reader;
        reader.maxBytes = 4 << 20;
        QStringList lines;
        QCOMPARE(int(run(path, &lines, &reader)), int(TImportOutcome::TooLarge));
        QVERIFY(lines.isEmpty());
        QVERIFY(reader.message().contains(QStringLiteral("太大")));
    }

    // An .xlsx sheet as other writers write it: prefixed names, rich and
    // phonetic runs, references, CDATA, a part in UTF-16.
    void xlsxStructure_data()
    {
        QTest::addColumn<QList<TPart>>("parts");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("prefixed names")
            << xlsxBook("<?xml version=\"1.0\"?><x:worksheet xmlns:x=\"http://schemas.openxmlformats.org/"
                        "spreadsheetml/2006/main\"><x:sheetData><x:row r=\"1\"><x:c r=\"A1\" t=\"inlineStr\"><x:is>"
                        "<x:t>tel</x:t></x:is></x:c></x:row><x:row r=\"2\"><x:c r=\"A2\"><x:v>13900000001</x:v>"
                        "</x:c></x:row></x:sheetData></x:worksheet>")
            << S({"13900000001"});
        QTest::newRow("rich and phonetic runs, references, CDATA")
            << xlsxBook(sheetOf("<row><c t=\"s\"><v>0</v></c></row><row><c t=\"s\"><v>1</v></c></row>"
                                "<row><c t=\"inlineStr\"><is><t><![CDATA[13900000003]]></t></is></c></row>"
                                "<row><c t=\"s\"><v>7</v></c></row>"),
                        "<sst " + MainNs + "><si><r><t>1390000</t></r><r><t>0001</t></r><rPh><t>x</t></rPh></si>"
                                           "<si><t>&#x31;39&#48;000000&#50;</t></si></sst>")
            << S({"13900000001", "13900000002", "13900000003"});
        QString utf16 = QString::fromUtf8(sheetOf("<row><c><v>13900000004</v></c></row>"));
        utf16.replace(QStringLiteral("UTF-8"), QStringLiteral("UTF-16"));
        QByteArray sheet16 = QByteArray("\xFF\xFE") +
                             QByteArray(reinterpret_cast<const char*>(utf16.utf16()), utf16.size() * 2);
        QTest::newRow("a sheet in UTF-16") << xlsxBook(sheet16) << S({"13900000004"});
    }
    void xlsxStructure()
    {
        QFETCH(QList<TPart>, parts);
        QFETCH(QStringList, expected);
        const QString path = zip(QStringLiteral("made.xlsx"), parts);
        QStringList lines;
        TPhoneImport reader;
        QCOMPARE(int(run(path, &lines, &reader)), int(TImportOutcome::Done));
        QCOMPARE(lines, expected);
    }

    // Parts of a megabyte and more are unpacked ahead of their reading, on a
    // thread of their own: read to the end, left at an error, or left unread
    // after the first table.
    void largeParts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QList<TPart>>("parts");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("lines");
        QByteArray rows, cells;
        for (int i = 0; i < 60000; ++i) {
            rows += "<row><c><v>" + QByteArray::number(13900000000LL + i) + "</v></c><c t=\"inlineStr\"><is><t>姓名" +
                    QByteArray::number(i) + "</t></is></c></row>";
            cells += odsRow({"s:姓名", qPrintable(QStringLiteral("n:%1").arg(13800000000LL + i))});
        }
        QTest::newRow("a large sheet") << "large.xlsx" << xlsxBook(sheetOf(rows)) << int(TImportOutcome::Done) << 60000;
        QTest::newRow("a large sheet broken at its start")
            << "broken.xlsx" << xlsxBook(sheetOf("<row><c></v></c></row>" + rows)) << int(TImportOutcome::BadWorkbook)
            << 0;
        QTest::newRow("a small first table before a large second one")
            << "second.ods" << odsBook(odsTable(odsRow({"n:13900000001"})) + odsTable(cells)) << int(TImportOutcome::Done)
            << 1;
    }
    void largeParts()
    {
        QFETCH(QString, name);
        QFETCH(QList<TPart>, parts);
        QFETCH(int, outcome);
        QFETCH(int, lines);
        const QString path = zip(name, parts);
        QStringList got;
        QCOMPARE(int(run(path, &got)), outcome);
        QCOMPARE(got.size(), lines);
        if (lines > 1)
            QCOMPARE(got.last(), QStringLiteral("13900059999"));
    }

    // XML a workbook must not hold: the import refuses the workbook.
    void badXml_data()
    {
        QTest::addColumn<QByteArray>("sheet");
        QTest::addColumn<QString>("says");
        QTest::newRow("an end tag that is not its start tag's")
            << sheetOf("<row><c><v>13900000001</c></v></row>") << "不配对";
        QTest::newRow("a reference XML does not define")
            << sheetOf("<row><c t=\"inlineStr\"><is><t>&nbsp;13900000001</t></is></c></row>") << "实体";
        QTest::newRow("a document type declaration")
            << QByteArray("<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY a \"13900000001\">]>") +
                   sheetOf("<row><c><v>1</v></c></row>")
            << "DOCTYPE";
        QTest::newRow("an attribute without quotes") << sheetOf("<row><c r=A1><v>13900000001</v></c></row>") << "引号";
        QTest::newRow("a second root element") << sheetOf("") + "<worksheet/>" << "根元素";
        QTest::newRow("text outside the root") << sheetOf("") + "13900000001" << "根元素";
        QTest::newRow("no end") << sheetOf("<row><c><v>13900000001</v></c></row>").chopped(12) << "不完整";
    }
    void badXml()
    {
        QFETCH(QByteArray, sheet);
        QFETCH(QString, says);
        const QString path = zip(QStringLiteral("bad.xlsx"), xlsxBook(sheet));
        TPhoneImport reader;
        QStringList lines;
        QCOMPARE(int(run(path, &lines, &reader)), int(TImportOutcome::BadWorkbook));
        QVERIFY(lines.isEmpty());
        QVERIFY2(reader.message().contains(says), qPrintable(reader.message()));
        QVERIFY(reader.message().contains(QStringLiteral("sheet1.xml")));
    }

    // Text from the clipboard: copied cells (tabs) are a table, other text lines.
    void pasted_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("numbers, one a line") << QStringLiteral("13900000001\r\n\r\n 13900000002 \n张三")
                                             << int(TImportOutcome::Done)
                                             << S({"13900000001", " 13900000002 ", "张三"});
        QTest::newRow("cells copied from a spreadsheet")
            << QStringLiteral("姓名\t手机\t城市\n张三\t13900000003\t北京\n李四\t13900000004\t上海\n")
            << int(TImportOutcome::Done) << S({"13900000003", "13900000004"});
        QTest::newRow("a cell with a line break, copied") << QStringLiteral("手机\t备注\n13900000005\t\"a\nb\"\n")
                                                          << int(TImportOutcome::Done) << S({"13900000005"});
        QTest::newRow("copied cells without numbers")
            << QStringLiteral("姓名\t城市\n张三\t北京\n") << int(TImportOutcome::NoNumberColumn) << QStringList();
        QTest::newRow("nothing") << QString() << int(TImportOutcome::Done) << QStringList();
    }
    void pasted()
    {
        QFETCH(QString, text);
        QFETCH(int, outcome);
        QFETCH(QStringList, expected);
        TPhoneImport reader;
        QStringList lines;
        QCOMPARE(int(reader.runPasted(text,
                                      [&](QByteArrayView line) {
                                          lines << QString::fromUtf8(line);
                                          return true;
                                      })),
                 outcome);
        QCOMPARE(lines, expected);
        if (outcome == int(TImportOutcome::NoNumberColumn)) {
            QVERIFY(reader.message().contains(QStringLiteral("复制的表格中没有号码列")));
            QVERIFY(reader.message().contains(QStringLiteral("未添加任何号码")));
        }
        reader.maxBytes = 4;
        if (text.size() > 4)
            QCOMPARE(int(reader.runPasted(text, [](QByteArrayView) { return true; })), int(TImportOutcome::TooLarge));
    }
};

QTEST_GUILESS_MAIN(TstImportFormats)
#include "tst_import_formats.moc"

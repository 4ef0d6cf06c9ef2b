// Reading numbers from files: encodings of text files, CSV tables, Excel
// workbooks, and the files an import must refuse.
#include "send/uPhoneImport.h"
#include "tests/support/ImportRun.h"
#include "tests/support/SpecialFile.h"
#include "tests/support/TextList.h"
#include "tests/support/ZipParts.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <memory>

namespace {

QByteArray utf16(const QString& s, bool bigEndian)
{
    QStringEncoder e(bigEndian ? QStringConverter::Utf16BE : QStringConverter::Utf16LE);
    return QByteArray(bigEndian ? "\xFE\xFF" : "\xFF\xFE") + QByteArray(e(s));
}

// Where Qt has no GB18030 codec (Windows) the reader decodes in the system
// code page: there the tests run under code page 936, whose GBK writes these
// texts as GB18030 does.
QByteArray gb18030(const QString& s)
{
    QStringEncoder e("GB18030");
    if (!e.isValid())
        e = QStringEncoder(QStringConverter::System);
    return e(s);
}

const QByteArray MainNs = "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"";
const QByteArray RelNs = "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"";
const QByteArray RelType = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

// The parts of a workbook whose sheets are given by their sheetData, in tab
// order; `files` names the part of each sheet (so the first tab need not be sheet1.xml).
QList<TPart> workbook(const QList<QByteArray>& sheets, const QStringList& shared,
                      const QStringList& files = {})
{
    QByteArray book =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><workbook " + MainNs + " " + RelNs + "><sheets>";
    QByteArray rels = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Relationships "
                      "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
    QList<TPart> parts;
    for (qsizetype i = 0; i < sheets.size(); ++i) {
        const QByteArray id = "rId" + QByteArray::number(i + 1);
        const QString file = i < files.size() ? files[i] : QStringLiteral("sheet%1.xml").arg(i + 1);
        book += "<sheet name=\"S" + QByteArray::number(i + 1) + "\" sheetId=\"" + QByteArray::number(i + 1) +
                "\" r:id=\"" + id + "\"/>";
        rels += "<Relationship Id=\"" + id + "\" Type=\"" + RelType + "worksheet\" Target=\"worksheets/" +
                file.toUtf8() + "\"/>";
        parts << TPart{QStringLiteral("xl/worksheets/") + file,
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><worksheet " + MainNs + "><sheetData>" +
                           sheets[i] + "</sheetData></worksheet>"};
    }
    book += "</sheets></workbook>";
    rels += "<Relationship Id=\"rIdS\" Type=\"" + RelType + "sharedStrings\" Target=\"sharedStrings.xml\"/>";
    rels += "</Relationships>";
    QByteArray sst = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><sst " + MainNs + ">";
    for (const QString& s : shared)
        sst += "<si><t xml:space=\"preserve\">" + s.toHtmlEscaped().toUtf8() + "</t></si>";
    sst += "</sst>";
    parts << TPart{QStringLiteral("[Content_Types].xml"),
                   "<?xml version=\"1.0\"?><Types "
                   "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>"}
          << TPart{QStringLiteral("xl/workbook.xml"), book}
          << TPart{QStringLiteral("xl/_rels/workbook.xml.rels"), rels}
          << TPart{QStringLiteral("xl/sharedStrings.xml"), sst};
    return parts;
}

// Cells for sheetData: "A1:s:0" is a shared string, "B2::1.39E+10" a number,
// "A3:inlineStr:text" an inline string.
QByteArray row(int r, std::initializer_list<const char*> cells)
{
    QByteArray out = "<row r=\"" + QByteArray::number(r) + "\">";
    for (const char* c : cells) {
        const QList<QByteArray> f = QByteArray(c).split(':');
        const QByteArray ref = f.value(0), type = f.value(1), value = f.mid(2).join(':');
        out += "<c r=\"" + ref + "\"";
        if (!type.isEmpty())
            out += " t=\"" + type + "\"";
        out += ">";
        if (type == "inlineStr")
            out += "<is><t>" + value + "</t></is>";
        else
            out += "<v>" + value + "</v>";
        out += "</c>";
    }
    return out + "</row>";
}
} // namespace

class TstPhoneImport : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;

    QString write(const QString& name, const QByteArray& bytes) { return WriteFile(dir, name, bytes); }
    TImportOutcome run(const QString& path, QStringList* lines, TPhoneImport* reader = nullptr)
    {
        return RunImport(path, lines, reader);
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void formats_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("format");
        QTest::newRow("txt") << "a.txt" << int(TImportFormat::Text);
        QTest::newRow("no suffix") << "numbers" << int(TImportFormat::Text);
        QTest::newRow("csv") << "a.CSV" << int(TImportFormat::Csv);
        QTest::newRow("tsv") << "a.tsv" << int(TImportFormat::Tsv);
        QTest::newRow("xlsx") << "dir.v2/a.Xlsx" << int(TImportFormat::Xlsx);
        QTest::newRow("xlsm") << "a.xlsm" << int(TImportFormat::Xlsx);
        QTest::newRow("xls") << "a.xls" << int(TImportFormat::Xls);
        QTest::newRow("ods") << "a.ODS" << int(TImportFormat::Ods);
    }
    void formats()
    {
        QFETCH(QString, name);
        QFETCH(int, format);
        QCOMPARE(int(ImportFormatOf(name)), format);
    }

    // A text file is decoded by its byte-order mark first, else as UTF-8 when valid, else as GB18030.
    void textEncodings_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expected");
        const QString text = QStringLiteral("13900000001\r\n张三 13900000002\r\n\r\n 139\n");
        const QStringList lines = S({"13900000001", "张三 13900000002", " 139"});
        QTest::newRow("UTF-16 LE with mark") << utf16(text, false) << lines;
        QTest::newRow("UTF-16 BE with mark") << utf16(text, true) << lines;
        QTest::newRow("UTF-16 LE, last line without end")
            << utf16(QStringLiteral("1\r\n2"), false) << S({"1", "2"});
        QTest::newRow("UTF-8 with mark") << "\xEF\xBB\xBF" + text.toUtf8() << lines;
        QTest::newRow("UTF-8") << text.toUtf8() << lines;
        QTest::newRow("GB18030") << gb18030(text) << lines;
        QTest::newRow("UTF-8 mark, bad byte after it") << QByteArray("\xEF\xBB\xBF"
                                                                     "1\xFF\n2")
                                                       << S({"1\xEF\xBF\xBD", "2"});
        QTest::newRow("only a mark") << QByteArray("\xFF\xFE") << QStringList();
        QTest::newRow("CR only") << QByteArray("1\r2\r") << S({"1", "2"});
    }
    void textEncodings()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, expected);
        QStringList lines;
        QCOMPARE(int(run(write(QStringLiteral("enc.txt"), bytes), &lines)), int(TImportOutcome::Done));
        QCOMPARE(lines, expected);
    }

    // A file is read in pieces: a line end, a CR LF pair or a character cut at
    // a piece's border still reads as one.
    void piecesBorders_data()
    {
        QTest::addColumn<QString>("encoding");
        QTest::addColumn<int>("shift");
        for (const char* e : {"UTF-8", "GB18030", "UTF-16LE"})
            for (int shift : {-3, -2, -1, 0, 1})
                QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(QLatin1String(e)).arg(shift)))
                    << QString::fromLatin1(e) << shift;
    }
    void piecesBorders()
    {
        QFETCH(QString, encoding);
        QFETCH(int, shift);
        // Pad so that "张\r\n" sits across the 1 MiB border, moved by shift bytes.
        const QByteArray mark = encoding == QLatin1String("UTF-16LE") ? QByteArray("\xFF\xFE") : QByteArray();
        QStringEncoder enc(encoding == QLatin1String("UTF-16LE") ? "UTF-16LE" : qPrintable(encoding));
        if (!enc.isValid()) // no GB18030 codec: the system code page, as gb18030() has it
            enc = QStringEncoder(QStringConverter::System);
        const QByteArray tail = enc(QStringLiteral("张\r\n13900000001\r\n"));
        const qsizetype unit = encoding == QLatin1String("UTF-16LE") ? 2 : 1;
        const qsizetype border = qsizetype(1) << 20;
        const qsizetype padChars = (border - mark.size() - 2 * unit + shift * unit) / unit;
        QString pad(padChars, QLatin1Char('1'));
        const QByteArray bytes = mark + QByteArray(enc(pad)) + tail;
        QStringList lines;
        QCOMPARE(int(run(write(QStringLiteral("border.txt"), bytes), &lines)), int(TImportOutcome::Done));
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0].size(), padChars + 1);
        QVERIFY(lines[0].endsWith(QStringLiteral("1张")));
        QCOMPARE(lines[1], QStringLiteral("13900000001"));
    }

    void csv_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("column");
        QTest::addColumn<bool>("header");
        QTest::newRow("header, quotes, comma in a name")
            << QByteArray("姓名,手机号码,城市\r\n"
                          "\"张,三\",13900000001,北京\r\n"
                          "\"李\"\"四\"\"\",\"13900000002\",\"上海\"\r\n"
                          "王五, 13900000003 ,广州\r\n")
            << S({"13900000001", "13900000002", " 13900000003 "}) << 1 << true;
        QTest::newRow("no header, number first")
            << QByteArray("13900000001,a\n13900000002,b") << S({"13900000001", "13900000002"}) << 0 << false;
        QTest::newRow("prefixed numbers, third column")
            << QByteArray("n,c,tel\nx,y,+8613900000001\nx,y,008613900000002\nx,y,8613900000003\n")
            << S({"+8613900000001", "008613900000002", "8613900000003"}) << 2 << true;
        QTest::newRow("a line break inside a quoted name")
            << QByteArray("name,tel\r\n\"first\r\nsecond\",13900000001\r\n\"x\",13900000002\r\n")
            << S({"13900000001", "13900000002"}) << 1 << true;
        QTest::newRow("every non-empty cell of the column, as read")
            << QByteArray("tel\n13900000001\n\n 13900000002\n12345\n,\n13900000003\n")
            << S({"13900000001", " 13900000002", "12345", "13900000003"}) << 0 << true;
        QTest::newRow("first column of mostly names is passed over")
            << QByteArray("a,13900000001\n13900000009,13900000002\nb,13900000003\n")
            << S({"13900000001", "13900000002", "13900000003"}) << 1 << false;
        QTest::newRow("a first row that is a number is data")
            << QByteArray("13900000001\n13900000002\n") << S({"13900000001", "13900000002"}) << 0 << false;
        QTest::newRow("quoted number cell with a line break is one line")
            << QByteArray("tel\n\"13900000001\n13900000002\"\n13900000003\n13900000004\n")
            << S({"13900000001 13900000002", "13900000003", "13900000004"}) << 0 << true;
        QTest::newRow("GB18030") << gb18030(QStringLiteral(
                                        "姓名,手机\r\n张三,13900000001\r\n李四,13900000002\r\n"))
                                 << S({"13900000001", "13900000002"}) << 1 << true;
        QTest::newRow("UTF-16 LE with mark")
            << utf16(QStringLiteral("姓名,手机\r\n张三,13900000001\r\n"), false) << S({"13900000001"}) << 1
            << true;
        QTest::newRow("quote never closed")
            << QByteArray("tel,x\n13900000001,\"abc\n13900000002,d\n") << S({"13900000001"}) << 0 << true;
    }
    void csv()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, expected);
        QFETCH(int, column);
        QFETCH(bool, header);
        TPhoneImport reader;
        QStringList lines;
        QCOMPARE(int(run(write(QStringLiteral("list.csv"), bytes), &lines, &reader)),
                 int(TImportOutcome::Done));
        QCOMPARE(lines, expected);
        QCOMPARE(reader.column(), column);
        QCOMPARE(reader.headerSkipped(), header);
    }

    // Tables of other delimiters: the semicolon of Excel's CSV in locales with
    // a decimal comma, the tab of .tsv files and of some CSV exports. A text
    // file stays one number a line, tabs and all.
    void delimited_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("column");
        QTest::newRow("semicolons, as Excel writes")
            << "list.csv" << QByteArray("姓名;手机号码;城市\r\n张三;13900000001;北京\r\n李四;13900000002;上海\r\n")
            << S({"13900000001", "13900000002"}) << 1;
        QTest::newRow("semicolons, UTF-8 mark, a quoted semicolon")
            << "list.csv" << QByteArray("\xEF\xBB\xBF姓名;手机\r\n\"王;五\";13900000003\r\n李四;13900000004\r\n")
            << S({"13900000003", "13900000004"}) << 1;
        QTest::newRow("commas inside the fields of a semicolon table")
            << "list.csv" << QByteArray("name;tel\nSmith, John;13900000005\nDoe, Jane;13900000006\n")
            << S({"13900000005", "13900000006"}) << 1;
        QTest::newRow("semicolons inside the fields of a comma table")
            << "list.csv" << QByteArray("name,tel,note\nA,13900000007,x;y\nB,13900000008,z\n")
            << S({"13900000007", "13900000008"}) << 1;
        QTest::newRow("a .tsv export, quoted names, empty last cells")
            << "list.tsv" << QByteArray("客户\t手机\t备注\r\n\"客户1\"\t13500000007\t\r\n客户2\t13500000008\t\r\n")
            << S({"13500000007", "13500000008"}) << 1;
        QTest::newRow("tabs in a .csv") << "list.csv" << QByteArray("姓名\t手机\n张三\t13900000009\n")
                                        << S({"13900000009"}) << 1;
        QTest::newRow("commas inside the cells of a .tsv")
            << "list.TSV" << QByteArray("a,b\t13900000010\nc,d\t13900000011\n")
            << S({"13900000010", "13900000011"}) << 1;
        QTest::newRow("a .txt with tabs is lines as read")
            << "list.txt" << QByteArray("客户1\t13500000007\n客户2\t13500000008\n")
            << S({"客户1\t13500000007", "客户2\t13500000008"}) << -1;
    }
    void delimited()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, expected);
        QFETCH(int, column);
        TPhoneImport reader;
        QStringList lines;
        QCOMPARE(int(run(write(name, bytes), &lines, &reader)), int(TImportOutcome::Done));
        QCOMPARE(lines, expected);
        QCOMPARE(reader.column(), column);
    }

    void noNumberColumn_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("csv of names") << "names.csv" << QByteArray("姓名,城市\n张三,北京\n李四,上海\n");
        QTest::newRow("csv, numbers in the minority")
            << "few.csv" << QByteArray("tel\n13900000001\n12345\n139\n");
        QTest::newRow("empty csv") << "empty.csv" << QByteArray();
        QString path = dir.filePath(QStringLiteral("names.xlsx"));
        QVERIFY(WriteZip(path, workbook({row(1, {"A1:s:0", "B1:s:1"}) + row(2, {"A2:s:2", "B2::12.5"})},
                                        S({"姓名", "金额", "张三"}))));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QTest::newRow("workbook without numbers") << "names.xlsx" << f.readAll();
    }
    void noNumberColumn()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        TPhoneImport reader;
        QStringList lines;
        QCOMPARE(int(run(write(name, bytes), &lines, &reader)), int(TImportOutcome::NoNumberColumn));
        QVERIFY(lines.isEmpty());
        QVERIFY(reader.message().contains(QStringLiteral("没有号码列")));
        QVERIFY(reader.message().contains(QStringLiteral("未添加任何号码")));
    }

    void wholeNumbers_data()
    {
        QTest::addColumn<QByteArray>("in");
        QTest::addColumn<QByteArray>("out");
        QTest::newRow("exponent") << QByteArray("1.39E+10") << QByteArray("13900000000");
        QTest::newRow("exponent, more digits") << QByteArray("1.3900000001E+10") << QByteArray("13900000001");
        QTest::newRow("point zero") << QByteArray("13900000001.0") << QByteArray("13900000001");
        QTest::newRow("small e") << QByteArray("8.613900000001e12") << QByteArray("8613900000001");
        QTest::newRow("plain") << QByteArray("13900000001") << QByteArray("13900000001");
        QTest::newRow("not whole") << QByteArray("12.5") << QByteArray("12.5");
        QTest::newRow("not whole after exponent") << QByteArray("1.395E+2") << QByteArray("1.395E+2");
        QTest::newRow("negative exponent, whole") << QByteArray("1300E-2") << QByteArray("13");
        QTest::newRow("zero") << QByteArray("0.0") << QByteArray("0");
        QTest::newRow("negative") << QByteArray("-1.5E1") << QByteArray("-15");
        QTest::newRow("text") << QByteArray("abc") << QByteArray("abc");
        QTest::newRow("absurd exponent") << QByteArray("1E+400") << QByteArray("1E+400");
    }
    void wholeNumbers()
    {
        QFETCH(QByteArray, in);
        QFETCH(QByteArray, out);
        QCOMPARE(WholeNumberText(in), out);
    }

    void workbooks_data()
    {
        QTest::addColumn<QList<QByteArray>>("sheets");
        QTest::addColumn<QStringList>("shared");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("column");
        const QStringList shared = S({"手机号码", "姓名", "张三", "李四", "13900000005", "北京"});
        QTest::newRow("numbers as number cells, shared-string header")
            << QList<QByteArray>{row(1, {"A1:s:0"}) + row(2, {"A2::1.39E+10"}) +
                                 row(3, {"A3::13900000001.0"}) + row(5, {"A5::13900000002"})}
            << shared << QStringList() << S({"13900000000", "13900000001", "13900000002"}) << 0;
        QTest::newRow("number column second, numbers as shared strings")
            << QList<QByteArray>{row(1, {"A1:s:1", "B1:s:0", "C1:s:5"}) +
                                 row(2, {"A2:s:2", "B2:s:4", "C2:s:5"}) +
                                 row(3, {"A3:s:3", "B3::13900000006", "C3:s:5"})}
            << shared << QStringList() << S({"13900000005", "13900000006"}) << 1;
        QTest::newRow("inline strings and a gap")
            << QList<QByteArray>{row(1, {"A1:inlineStr:tel"}) + row(2, {"A2:inlineStr: 13900000007"}) +
                                 row(9, {"A9:inlineStr:+8613900000008"})}
            << shared << QStringList() << S({" 13900000007", "+8613900000008"}) << 0;
        QTest::newRow("first tab is not sheet1.xml")
            << QList<QByteArray>{row(1, {"B1::13900000011"}), row(1, {"A1::13900000099"})} << shared
            << S({"sheet2.xml", "sheet1.xml"}) << S({"13900000011"}) << 1;
        QTest::newRow("cells without references")
            << QList<QByteArray>{"<row><c t=\"s\"><v>1</v></c><c><v>13900000001</v></c></row>"
                                 "<row><c t=\"s\"><v>2</v></c><c><v>13900000002</v></c></row>"}
            << shared << QStringList() << S({"13900000001", "13900000002"}) << 1;
    }
    void workbooks()
    {
        QFETCH(QList<QByteArray>, sheets);
        QFETCH(QStringList, shared);
        QFETCH(QStringList, files);
        QFETCH(QStringList, expected);
        QFETCH(int, column);
        const QString path = dir.filePath(QStringLiteral("book.xlsx"));
        QFile::remove(path);
        QVERIFY(WriteZip(path, workbook(sheets, shared, files)));
        TPhoneImport reader;
        QStringList lines;
        QCOMPARE(int(run(path, &lines, &reader)), int(TImportOutcome::Done));
        QCOMPARE(lines, expected);
        QCOMPARE(reader.column(), column);
    }

    void badWorkbooks_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("outcome");
        const QString good = dir.filePath(QStringLiteral("good.xlsx"));
        QVERIFY(WriteZip(good, workbook({row(1, {"A1::13900000001"}) + row(2, {"A2::13900000002"})}, {})));
        QFile f(good);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray zip = f.readAll();
        QTest::newRow("not a zip") << "junk.xlsx" << QByteArray("just some text\n13900000001\n")
                                   << int(TImportOutcome::BadWorkbook);
        QTest::newRow("cut in half") << "half.xlsx" << zip.left(zip.size() / 2)
                                     << int(TImportOutcome::BadWorkbook);
        QByteArray flipped = zip;
        // Spoil the packed data of the first part (the sheet): the check sum or the inflater notices.
        for (qsizetype i = 60; i < 90 && i < flipped.size(); ++i)
            flipped[i] = char(flipped[i] ^ 0x5A);
        QTest::newRow("damaged data") << "flipped.xlsx" << flipped << int(TImportOutcome::BadWorkbook);
        const QString noBook = dir.filePath(QStringLiteral("nobook.zip"));
        QVERIFY(WriteZip(noBook, {TPart{QStringLiteral("a.txt"), "13900000001"}}));
        QFile nb(noBook);
        QVERIFY(nb.open(QIODevice::ReadOnly));
        QTest::newRow("a zip but no workbook")
            << "nobook.xlsx" << nb.readAll() << int(TImportOutcome::BadWorkbook);
        const QString badXml = dir.filePath(QStringLiteral("badxml.zip"));
        QList<TPart> parts = workbook({row(1, {"A1::13900000001"})}, {});
        parts[0].data.chop(20); // the sheet's XML ends early
        QVERIFY(WriteZip(badXml, parts));
        QFile bx(badXml);
        QVERIFY(bx.open(QIODevice::ReadOnly));
        QTest::newRow("broken XML") << "badxml.xlsx" << bx.readAll() << int(TImportOutcome::BadWorkbook);
        QTest::newRow("password-protected")
            << "secret.xlsx" << QByteArray("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1") + QByteArray(4000, '\0')
            << int(TImportOutcome::Encrypted);
        QTest::newRow("damaged legacy workbook")
            << "old.xls" << QByteArray("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1") + QByteArray(4000, '\0')
            << int(TImportOutcome::BadWorkbook);
    }
    void badWorkbooks()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(int, outcome);
        TPhoneImport reader;
        QStringList lines;
        QCOMPARE(int(run(write(name, bytes), &lines, &reader)), outcome);
        QVERIFY(lines.isEmpty());
        QVERIFY(reader.message().contains(dir.filePath(name)));
        QVERIFY(reader.message().contains(QStringLiteral("未添加任何号码")));
    }

    // Only regular files are read; anything else ends the import at once, as
    // a file that cannot be opened does.
    void notRegularFiles_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char* k : {"pipe", "device", "folder", "missing", "pipe.csv", "pipe.xlsx"})
            QTest::newRow(k) << QString::fromLatin1(k);
    }
    void notRegularFiles()
    {
        QFETCH(QString, kind);
        QString path;
        std::unique_ptr<TSpecialFile> special;
        if (kind.startsWith(QLatin1String("pipe"))) {
            special = std::make_unique<TSpecialFile>(
                QStringLiteral("pipe"), dir.path(), QStringLiteral("pipe") + (kind.contains(u'.') ? kind.mid(4) : QStringLiteral(".txt")));
        } else if (kind == QLatin1String("device")) {
            special = std::make_unique<TSpecialFile>(kind, dir.path(), QStringLiteral("zero.txt"));
        } else if (kind == QLatin1String("folder")) {
            path = dir.filePath(QStringLiteral("folder.csv"));
            QVERIFY(QDir().mkpath(path));
        } else {
            path = dir.filePath(QStringLiteral("missing.txt"));
        }
        if (special) {
            QVERIFY(special->ok());
            path = special->path();
        }
        // Should the import block in opening the pipe, a writer comes along after
        // a few seconds to free it, and the test fails instead of hanging.
        std::atomic<bool> done{false};
        std::unique_ptr<QThread> rescue(QThread::create([&] {
            for (int i = 0; i < 50 && !done; ++i)
                QThread::msleep(100);
            if (!done && special)
                special->unblock();
        }));
        rescue->start();
        TPhoneImport reader;
        QStringList lines;
        QElapsedTimer t;
        t.start();
        const TImportOutcome outcome = run(path, &lines, &reader);
        done = true;
        rescue->wait();
        QVERIFY2(t.elapsed() < 2000, "the import waited on the file");
        QCOMPARE(int(outcome), int(TImportOutcome::CannotOpen));
        QVERIFY(lines.isEmpty());
        QVERIFY(reader.message().startsWith(QStringLiteral("无法打开文件 \"%1\"").arg(path)));
    }

    // A file larger than an import may be is refused before it is read.
    void tooLarge_data()
    {
        QTest::addColumn<QString>("name");
        for (const char* n : {"big.txt", "big.csv", "big.tsv", "big.xlsx", "big.ods", "big.xls"})
            QTest::newRow(n) << QString::fromLatin1(n);
    }
    void tooLarge()
    {
        QFETCH(QString, name);
        const QByteArray bytes = QByteArray("13900000001\n").repeated(100);
        TPhoneImport reader;
        reader.maxBytes = bytes.size() - 1;
        QStringList lines;
        QCOMPARE(int(run(write(name, bytes), &lines, &reader)), int(TImportOutcome::TooLarge));
        QVERIFY(lines.isEmpty());
        QVERIFY(reader.message().contains(QStringLiteral("太大")));
        reader.maxBytes = bytes.size();
        if (ImportFormatOf(name) != TImportFormat::Text && ImportFormatOf(name) != TImportFormat::Csv &&
            ImportFormatOf(name) != TImportFormat::Tsv)
            return;
        QCOMPARE(int(run(dir.filePath(name), &lines, &reader)), int(TImportOutcome::Done));
        QCOMPARE(lines.size(), 100);
    }

    // A small workbook that unpacks to more than an import may read is refused too.
    void workbookUnpacksTooLarge()
    {
        QByteArray sheet;
        for (int r = 1; r <= 5000; ++r)
            sheet += row(r, {"A1::13900000001"});
        const QString path = dir.filePath(QStringLiteral("bomb.xlsx"));
        QFile::remove(path);
        QVERIFY(WriteZip(path, workbook({sheet}, {})));
        TPhoneImport reader;
        reader.maxBytes = QFileInfo(path).size() * 2;
        QVERIFY(reader.maxBytes < sheet.size());
        QStringList lines;
        QCOMPARE(int(run(path, &lines, &reader)), int(TImportOutcome::TooLarge));
        QVERIFY(lines.isEmpty());
        reader.maxBytes = MaxImportBytes;
        QCOMPARE(int(run(path, &lines, &reader)), int(TImportOutcome::Done));
        QCOMPARE(lines.size(), 5000);
    }

    // The sink can stop an import; the text import tells the page now and then that it is alive.
    void stopsAndReportsProgress()
    {
        const QString path = write(QStringLiteral("many.txt"), QByteArray("13900000001\n").repeated(5000));
        TPhoneImport reader;
        int ticks = 0;
        reader.progress = [&] { ++ticks; };
        int taken = 0;
        QCOMPARE(int(reader.run(path, [&](QByteArrayView) { return ++taken < 3000; })),
                 int(TImportOutcome::Stopped));
        QCOMPARE(taken, 3000);
        QVERIFY(ticks >= 2);
    }
};

QTEST_GUILESS_MAIN(TstPhoneImport)
#include "tst_phone_import.moc"

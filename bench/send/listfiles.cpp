#include "bench/send/listfiles.h"

#include <QFile>
#include <QStringEncoder>
#include <QtEndian>
#include <cstring>
#include <functional>
#include <quazip.h>
#include <quazipfile.h>

namespace {

const char* const Names[] = {"张三", "李四", "王五", "赵六", "孙七", "周八", "吴九", "郑十"};
const char* const Cities[] = {"北京", "上海", "广州", "深圳", "杭州", "成都", "武汉", "西安"};
constexpr int CityCount = 8;

// Every fourth number is stored as text, the others as numbers.
bool numberAsText(int i)
{
    return i % 4 == 3;
}

// Writes a part of `total` chunks, each made by chunk(k, out), without holding the whole part.
bool addPart(QuaZip& zip, const QString& name, const std::function<bool(int, QByteArray&)>& chunk,
             qint64* written = nullptr, bool stored = false)
{
    QuaZipFile f(&zip);
    if (!f.open(QIODevice::WriteOnly, QuaZipNewInfo(name), nullptr, 0, stored ? 0 : Z_DEFLATED,
                stored ? 0 : Z_DEFAULT_COMPRESSION))
        return false;
    QByteArray out;
    qint64 total = 0;
    for (int k = 0;; ++k) {
        out.clear();
        const bool more = chunk(k, out);
        if (f.write(out) != out.size())
            return false;
        total += out.size();
        if (!more)
            break;
    }
    f.close();
    if (written)
        *written = total;
    return f.getZipError() == 0;
}

bool addPart(QuaZip& zip, const QString& name, const QByteArray& data, bool stored = false)
{
    return addPart(
        zip, name,
        [&](int, QByteArray& out) {
            out = data;
            return false;
        },
        nullptr, stored);
}

// Rows [from, to) of a sheet, in chunks of this many rows.
constexpr int RowsPerChunk = 10000;

QByteArray xmlEscaped(const QByteArray& s)
{
    return QString::fromUtf8(s).toHtmlEscaped().toUtf8();
}

const QByteArray XlsxContentTypes =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
    "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
    "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
    "<Override PartName=\"/xl/workbook.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
    "<Override PartName=\"/xl/worksheets/sheet1.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>"
    "<Override PartName=\"/xl/worksheets/sheet2.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>"
    "<Override PartName=\"/xl/sharedStrings.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml\"/>"
    "</Types>";

const QByteArray SheetHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
    "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
    "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" "
    "xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\" mc:Ignorable=\"x14ac xr xr2 xr3\" "
    "xmlns:x14ac=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/ac\" "
    "xmlns:xr=\"http://schemas.microsoft.com/office/spreadsheetml/2014/revision\" "
    "xmlns:xr2=\"http://schemas.microsoft.com/office/spreadsheetml/2015/revision2\" "
    "xmlns:xr3=\"http://schemas.microsoft.com/office/spreadsheetml/2016/revision3\" "
    "xr:uid=\"{00000000-0001-0000-0000-000000000000}\">";

QByteArray sheetTail()
{
    return "</sheetData><phoneticPr fontId=\"1\" type=\"noConversion\"/>"
           "<pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" footer=\"0.3\"/>"
           "<pageSetup paperSize=\"9\" orientation=\"portrait\" r:id=\"rId1\"/></worksheet>";
}

} // namespace

QByteArray BenchName(int i)
{
    return QByteArray(Names[i % 8]) + QByteArray::number(i);
}

QByteArray BenchNumber(int i)
{
    return QByteArray::number(13900000000LL + i);
}

QByteArray BenchCity(int i)
{
    return Cities[i % CityCount];
}

bool WriteXlsxBook(const QString& path, int rows, TXlsxKind kind, qint64* sheetBytes)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    const bool shared = kind == TXlsxKind::SharedStrings;
    // Shared strings: the three captions, the cities, then one name per row
    // and the numbers stored as text, in the order the sheet first uses them.
    const int header = 3, cities = header, names = cities + CityCount;
    // Per four rows: four names, then the number of the fourth row, which is stored as text.
    auto nameIndex = [&](int i) { return names + (i / 4) * 5 + (i % 4); };
    auto textNumberIndex = [&](int i) { return names + (i / 4) * 5 + 4; };

    bool ok = addPart(zip, QStringLiteral("[Content_Types].xml"), XlsxContentTypes);
    ok = ok && addPart(zip, QStringLiteral("_rels/.rels"),
                       "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                       "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                       "<Relationship Id=\"rId1\" "
                       "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
                       "officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>");
    ok = ok &&
         addPart(zip, QStringLiteral("xl/workbook.xml"),
                 "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                 "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                 "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                 "<fileVersion appName=\"xl\" lastEdited=\"7\" lowestEdited=\"7\" rupBuild=\"27328\"/>"
                 "<workbookPr defaultThemeVersion=\"124226\"/><bookViews><workbookView xWindow=\"240\" "
                 "yWindow=\"15\" windowWidth=\"16095\" windowHeight=\"9660\"/></bookViews>"
                 "<sheets><sheet name=\"号码\" sheetId=\"1\" r:id=\"rId1\"/>"
                 "<sheet name=\"其他\" sheetId=\"2\" r:id=\"rId2\"/></sheets>"
                 "<calcPr calcId=\"191029\"/></workbook>");
    ok = ok &&
         addPart(zip, QStringLiteral("xl/_rels/workbook.xml.rels"),
                 "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                 "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                 "<Relationship Id=\"rId3\" "
                 "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" "
                 "Target=\"styles.xml\"/>"
                 "<Relationship Id=\"rId2\" "
                 "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
                 "Target=\"worksheets/sheet2.xml\"/>"
                 "<Relationship Id=\"rId1\" "
                 "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
                 "Target=\"worksheets/sheet1.xml\"/>"
                 "<Relationship Id=\"rId4\" "
                 "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings\" "
                 "Target=\"sharedStrings.xml\"/></Relationships>");
    ok = ok && addPart(zip, QStringLiteral("xl/styles.xml"),
                       "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                       "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
                       "<fonts count=\"1\"><font><sz val=\"11\"/><name val=\"宋体\"/></font></fonts>"
                       "<cellXfs count=\"2\"><xf numFmtId=\"0\" fontId=\"0\"/><xf numFmtId=\"1\" fontId=\"0\" "
                       "applyNumberFormat=\"1\"/></cellXfs></styleSheet>");
    if (shared) {
        const int uniqueCount = names + rows + (rows + 3) / 4;
        ok = ok && addPart(zip, QStringLiteral("xl/sharedStrings.xml"), [&](int k, QByteArray& out) {
            if (k == 0) {
                out = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                      "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" count=\"" +
                      QByteArray::number(qint64(rows) * 3 + 3) + "\" uniqueCount=\"" +
                      QByteArray::number(uniqueCount) + "\">";
                for (const char* s : {"姓名", "手机号码", "城市"})
                    out += QByteArray("<si><t>") + s + "</t><phoneticPr fontId=\"1\" type=\"noConversion\"/></si>";
                for (const char* c : Cities)
                    out += QByteArray("<si><t>") + c + "</t><phoneticPr fontId=\"1\" type=\"noConversion\"/></si>";
                return true;
            }
            const int from = (k - 1) * RowsPerChunk;
            for (int q = from; q < rows && q < from + RowsPerChunk; q += 4) {
                for (int i = q; i < q + 4; ++i)
                    out += "<si><t>" + (i < rows ? BenchName(i) : QByteArray("-")) +
                           "</t><phoneticPr fontId=\"1\" type=\"noConversion\"/></si>";
                out += "<si><t>" + BenchNumber(q + 3) + "</t><phoneticPr fontId=\"1\" type=\"noConversion\"/></si>";
            }
            if (from + RowsPerChunk >= rows) {
                out += "</sst>";
                return false;
            }
            return true;
        });
    }
    const QByteArray lastRow = QByteArray::number(rows + 1);
    ok = ok && addPart(
                   zip, QStringLiteral("xl/worksheets/sheet1.xml"),
                   [&](int k, QByteArray& out) {
                       if (k == 0) {
                           out = SheetHead + "<dimension ref=\"A1:C" + lastRow +
                                 "\"/><sheetViews><sheetView tabSelected=\"1\" workbookViewId=\"0\"/>"
                                 "</sheetViews><sheetFormatPr defaultRowHeight=\"13.5\" "
                                 "x14ac:dyDescent=\"0.15\"/><cols><col min=\"2\" max=\"2\" "
                                 "width=\"14.625\" customWidth=\"1\"/></cols><sheetData>"
                                 "<row r=\"1\" spans=\"1:3\" x14ac:dyDescent=\"0.15\">";
                           if (shared)
                               out += "<c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c>"
                                      "<c r=\"C1\" t=\"s\"><v>2</v></c></row>";
                           else
                               out += "<c r=\"A1\" t=\"inlineStr\"><is><t>姓名</t></is></c>"
                                      "<c r=\"B1\" t=\"inlineStr\"><is><t>手机号码</t></is></c>"
                                      "<c r=\"C1\" t=\"inlineStr\"><is><t>城市</t></is></c></row>";
                           return true;
                       }
                       const int from = (k - 1) * RowsPerChunk;
                       for (int i = from; i < rows && i < from + RowsPerChunk; ++i) {
                           const QByteArray r = QByteArray::number(i + 2);
                           out += "<row r=\"" + r + "\" spans=\"1:3\" x14ac:dyDescent=\"0.15\">";
                           if (shared) {
                               out += "<c r=\"A" + r + "\" t=\"s\"><v>" + QByteArray::number(nameIndex(i)) +
                                      "</v></c>";
                               if (numberAsText(i))
                                   out += "<c r=\"B" + r + "\" t=\"s\"><v>" +
                                          QByteArray::number(textNumberIndex(i)) + "</v></c>";
                               else
                                   out += "<c r=\"B" + r + "\" s=\"1\"><v>" + BenchNumber(i) + "</v></c>";
                               out += "<c r=\"C" + r + "\" t=\"s\"><v>" +
                                      QByteArray::number(cities + i % CityCount) + "</v></c>";
                           } else {
                               out += "<c r=\"A" + r + "\" t=\"inlineStr\"><is><t>" + BenchName(i) +
                                      "</t></is></c>";
                               if (numberAsText(i))
                                   out += "<c r=\"B" + r + "\" t=\"inlineStr\"><is><t>" + BenchNumber(i) +
                                          "</t></is></c>";
                               else
                                   out += "<c r=\"B" + r + "\" t=\"n\"><v>" + BenchNumber(i) + "</v></c>";
                               out += "<c r=\"C" + r + "\" t=\"inlineStr\"><is><t>" + BenchCity(i) +
                                      "</t></is></c>";
                           }
                           out += "</row>";
                       }
                       if (from + RowsPerChunk >= rows) {
                           out += sheetTail();
                           return false;
                       }
                       return true;
                   },
                   sheetBytes);
    // The second sheet: other numbers, which the import does not read.
    ok = ok && addPart(zip, QStringLiteral("xl/worksheets/sheet2.xml"), [&](int, QByteArray& out) {
        out = SheetHead + "<dimension ref=\"A1:B1000\"/><sheetData>";
        for (int i = 0; i < 1000; ++i) {
            const QByteArray r = QByteArray::number(i + 1);
            out += "<row r=\"" + r + "\" spans=\"1:2\"><c r=\"A" + r + "\" t=\"inlineStr\"><is><t>备注" + r +
                   "</t></is></c><c r=\"B" + r + "\"><v>" + QByteArray::number(13700000000LL + i) + "</v></c></row>";
        }
        out += sheetTail();
        return false;
    });
    zip.close();
    return ok && zip.getZipError() == 0;
}

bool WriteOdsBook(const QString& path, int rows, qint64* contentBytes)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    const QByteArray type = "application/vnd.oasis.opendocument.spreadsheet";
    bool ok = addPart(zip, QStringLiteral("mimetype"), type, true);
    ok = ok && addPart(zip, QStringLiteral("META-INF/manifest.xml"),
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<manifest:manifest "
                       "xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\" "
                       "manifest:version=\"1.3\">\n <manifest:file-entry manifest:full-path=\"/\" "
                       "manifest:version=\"1.3\" manifest:media-type=\"" +
                           type +
                           "\"/>\n <manifest:file-entry manifest:full-path=\"content.xml\" "
                           "manifest:media-type=\"text/xml\"/>\n</manifest:manifest>");
    auto cell = [](const QByteArray& text) -> QByteArray {
        return "<table:table-cell office:value-type=\"string\" calcext:value-type=\"string\"><text:p>" +
               xmlEscaped(text) + "</text:p></table:table-cell>";
    };
    auto number = [](const QByteArray& n) -> QByteArray {
        return "<table:table-cell office:value-type=\"float\" office:value=\"" + n +
               "\" calcext:value-type=\"float\"><text:p>" + n + "</text:p></table:table-cell>";
    };
    const QByteArray row = "<table:table-row table:style-name=\"ro1\">";
    ok = ok && addPart(
                   zip, QStringLiteral("content.xml"),
                   [&](int k, QByteArray& out) {
                       if (k == 0) {
                           out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document-content "
                                 "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
                                 "xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\" "
                                 "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
                                 "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
                                 "xmlns:fo=\"urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0\" "
                                 "xmlns:calcext=\"urn:org:documentfoundation:names:experimental:calc:xmlns:"
                                 "calcext:1.0\" office:version=\"1.3\"><office:scripts/>"
                                 "<office:automatic-styles><style:style style:name=\"co1\" "
                                 "style:family=\"table-column\"><style:table-column-properties "
                                 "fo:break-before=\"auto\" style:column-width=\"0.889in\"/></style:style>"
                                 "<style:style style:name=\"ro1\" style:family=\"table-row\">"
                                 "<style:table-row-properties style:row-height=\"0.178in\" "
                                 "fo:break-before=\"auto\" style:use-optimal-row-height=\"true\"/>"
                                 "</style:style></office:automatic-styles><office:body><office:spreadsheet>"
                                 "<table:calculation-settings table:automatic-find-labels=\"false\"/>"
                                 "<table:table table:name=\"号码\" table:style-name=\"ta1\">"
                                 "<table:table-column table:style-name=\"co1\" "
                                 "table:number-columns-repeated=\"3\" "
                                 "table:default-cell-style-name=\"Default\"/>" +
                                 row + cell("姓名") + cell("手机号码") + cell("城市") + "</table:table-row>";
                           return true;
                       }
                       const int from = (k - 1) * RowsPerChunk;
                       for (int i = from; i < rows && i < from + RowsPerChunk; ++i)
                           out += row + cell(BenchName(i)) +
                                  (numberAsText(i) ? cell(BenchNumber(i)) : number(BenchNumber(i))) +
                                  cell(BenchCity(i)) + "</table:table-row>";
                       if (from + RowsPerChunk < rows)
                           return true;
                       // A formatted range below the list: empty rows and cells, claimed in the millions.
                       out += "<table:table-row table:style-name=\"ro1\" table:number-rows-repeated=\"" +
                              QByteArray::number(1048575 - rows) +
                              "\"><table:table-cell table:number-columns-repeated=\"16384\"/>"
                              "</table:table-row></table:table>";
                       out += "<table:table table:name=\"其他\" table:style-name=\"ta1\">";
                       for (int i = 0; i < 1000; ++i)
                           out += row + cell("备注") + number(QByteArray::number(13700000000LL + i)) +
                                  "</table:table-row>";
                       out += "</table:table><table:named-expressions/></office:spreadsheet></office:body>"
                              "</office:document-content>";
                       return false;
                   },
                   contentBytes);
    zip.close();
    return ok && zip.getZipError() == 0;
}

// --- Excel 97-2003: BIFF8 records in an OLE compound file ---

namespace {

class TBiff
{
public:
    QByteArray data;

    void record(quint16 type, const QByteArray& payload)
    {
        u16(type);
        u16(quint16(payload.size()));
        data += payload;
    }
    void u16(quint16 v) { put(&v, 2); }
    void u32(quint32 v) { put(&v, 4); }

    static QByteArray le16(quint16 v) { return bytes(&v, 2); }
    static QByteArray le32(quint32 v) { return bytes(&v, 4); }
    static QByteArray le64(double v)
    {
        quint64 b;
        std::memcpy(&b, &v, 8);
        return bytes(&b, 8);
    }
    // XLUnicodeString: 8-bit characters where they all fit, UTF-16 otherwise.
    static QByteArray string(const QByteArray& utf8, bool shortLength)
    {
        const QString s = QString::fromUtf8(utf8);
        bool narrow = true;
        for (QChar c : s)
            narrow = narrow && c.unicode() < 0x100;
        QByteArray out = shortLength ? QByteArray(1, char(s.size())) : le16(quint16(s.size()));
        out += char(narrow ? 0 : 1);
        for (QChar c : s)
            out += narrow ? QByteArray(1, char(c.unicode())) : le16(c.unicode());
        return out;
    }

private:
    template <typename T> static QByteArray bytes(const T* v, int n)
    {
        T le = qToLittleEndian(*v);
        return QByteArray(reinterpret_cast<const char*>(&le), n);
    }
    template <typename T> void put(const T* v, int n) { data += bytes(v, n); }
};

QByteArray bof(quint16 kind)
{
    return TBiff::le16(0x0600) + TBiff::le16(kind) + TBiff::le16(0x0DBB) + TBiff::le16(0x07CC) +
           TBiff::le32(0x000100C1) + TBiff::le32(0x00000006);
}

// The workbook stream wrapped in a compound file of 512-byte sectors.
QByteArray compoundFile(QByteArray stream)
{
    constexpr quint32 End = 0xFFFFFFFE, Free = 0xFFFFFFFF, FatSector = 0xFFFFFFFD;
    const quint32 size = quint32(stream.size());
    stream.append(QByteArray((512 - stream.size() % 512) % 512, '\0'));
    const quint32 n = quint32(stream.size() / 512);
    quint32 fats = 1;
    while (n + 1 + fats > fats * 128)
        ++fats;
    if (fats > 109)
        return {};
    QByteArray head(512, '\0');
    auto put32 = [&](QByteArray& b, int at, quint32 v) { qToLittleEndian(v, b.data() + at); };
    auto put16 = [&](QByteArray& b, int at, quint16 v) { qToLittleEndian(v, b.data() + at); };
    std::memcpy(head.data(), "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    put16(head, 0x18, 0x003E);
    put16(head, 0x1A, 0x0003);
    put16(head, 0x1C, 0xFFFE);
    put16(head, 0x1E, 9);
    put16(head, 0x20, 6);
    put32(head, 0x2C, fats);
    put32(head, 0x30, n);
    put32(head, 0x38, 4096);
    put32(head, 0x3C, End);
    put32(head, 0x44, End);
    for (quint32 i = 0; i < 109; ++i)
        put32(head, 0x4C + 4 * int(i), i < fats ? n + 1 + i : Free);

    QByteArray dir(512, '\0');
    auto entry = [&](int k, const char16_t* name, quint8 type, quint32 child, quint32 start, quint32 bytes) {
        const int at = k * 128;
        int len = 0;
        for (; name[len]; ++len)
            put16(dir, at + 2 * len, quint16(name[len]));
        put16(dir, at + 0x40, quint16(2 * (len + 1)));
        dir[at + 0x42] = char(type);
        dir[at + 0x43] = 1;
        put32(dir, at + 0x44, Free);
        put32(dir, at + 0x48, Free);
        put32(dir, at + 0x4C, child);
        put32(dir, at + 0x74, start);
        put32(dir, at + 0x78, bytes);
    };
    entry(0, u"Root Entry", 5, 1, End, 0);
    entry(1, u"Workbook", 2, Free, 0, size);
    for (int k = 2; k < 4; ++k) {
        put32(dir, k * 128 + 0x44, Free);
        put32(dir, k * 128 + 0x48, Free);
        put32(dir, k * 128 + 0x4C, Free);
    }

    QByteArray fat(int(fats) * 512, '\xFF');
    for (quint32 i = 0; i < n; ++i)
        put32(fat, int(4 * i), i + 1 < n ? i + 1 : End);
    put32(fat, int(4 * n), End);
    for (quint32 i = 0; i < fats; ++i)
        put32(fat, int(4 * (n + 1 + i)), FatSector);
    return head + stream + dir + fat;
}

} // namespace

bool WriteXlsBook(const QString& path, int rows)
{
    if (rows > 65535)
        return false;
    // Shared strings: captions, cities, one name a row, the numbers kept as text.
    QList<QByteArray> strings = {"姓名", "手机号码", "城市"};
    for (int c = 0; c < CityCount; ++c)
        strings << Cities[c];
    const int names = int(strings.size());
    for (int i = 0; i < rows; ++i)
        strings << BenchName(i);
    const int texts = int(strings.size());
    for (int i = 3; i < rows; i += 4)
        strings << BenchNumber(i);

    TBiff book;
    book.record(0x0809, bof(0x0005));
    book.record(0x0042, TBiff::le16(1200)); // CODEPAGE: UTF-16
    // Style records enough for readers that look up a cell's format.
    for (int i = 0; i < 21; ++i)
        book.record(0x00E0, TBiff::le16(0) + TBiff::le16(0) + TBiff::le16(i < 15 ? 0xFFF5 : 0x0001) +
                                TBiff::le16(0x20) + TBiff::le16(0) + TBiff::le32(0) + TBiff::le32(0) +
                                TBiff::le16(0x20C0));
    QList<qsizetype> sheetOffsets;
    const QList<QByteArray> sheetNames = {"号码", "其他"};
    for (const QByteArray& name : sheetNames) {
        sheetOffsets << book.data.size() + 4;
        book.record(0x0085, TBiff::le32(0) + QByteArray(2, '\0') + TBiff::string(name, true));
    }
    // SST, continued in CONTINUE records; no string is split between two records.
    {
        QByteArray payload = TBiff::le32(quint32(rows * 3 + 3)) + TBiff::le32(quint32(strings.size()));
        quint16 type = 0x00FC;
        for (const QByteArray& s : strings) {
            const QByteArray one = TBiff::string(s, false);
            if (payload.size() + one.size() > 8224) {
                book.record(type, payload);
                payload.clear();
                type = 0x003C;
            }
            payload += one;
        }
        book.record(type, payload);
    }
    book.record(0x000A, {});

    auto sheet = [&](int k, int count, const std::function<void(int)>& cells) {
        const quint32 at = quint32(book.data.size());
        qToLittleEndian(at, book.data.data() + sheetOffsets[k]);
        book.record(0x0809, bof(0x0010));
        book.record(0x0200, TBiff::le32(0) + TBiff::le32(quint32(count)) + TBiff::le16(0) + TBiff::le16(3) +
                                TBiff::le16(0));
        for (int r = 0; r < count; ++r)
            cells(r);
        book.record(0x000A, {});
    };
    auto label = [&](int r, int c, int s) {
        book.record(0x00FD, TBiff::le16(quint16(r)) + TBiff::le16(quint16(c)) + TBiff::le16(15) +
                                TBiff::le32(quint32(s)));
    };
    auto number = [&](int r, int c, double v) {
        book.record(0x0203, TBiff::le16(quint16(r)) + TBiff::le16(quint16(c)) + TBiff::le16(15) + TBiff::le64(v));
    };
    sheet(0, rows + 1, [&](int r) {
        if (r == 0) {
            for (int c = 0; c < 3; ++c)
                label(0, c, c);
            return;
        }
        const int i = r - 1;
        label(r, 0, names + i);
        if (numberAsText(i))
            label(r, 1, texts + i / 4);
        else
            number(r, 1, double(13900000000LL + i));
        label(r, 2, 3 + i % CityCount);
    });
    sheet(1, 1000, [&](int r) {
        label(r, 0, 0);
        number(r, 1, double(13700000000LL + r));
    });
    const QByteArray file = compoundFile(book.data);
    QFile f(path);
    return !file.isEmpty() && f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(file) == file.size();
}

bool WriteCsvFile(const QString& path, int rows, char separator, bool mark)
{
    QByteArray bytes = mark ? "\xEF\xBB\xBF" : "";
    const char sep[2] = {separator, 0};
    bytes += QByteArray("姓名") + sep + "手机号码" + sep + "城市\r\n";
    bytes.reserve(qsizetype(40) * rows);
    for (int i = 0; i < rows; ++i)
        bytes += BenchName(i) + sep + BenchNumber(i) + sep + BenchCity(i) + "\r\n";
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray UnpackedPart(const QString& zipPath, const QString& part)
{
    QuaZip zip(zipPath);
    if (!zip.open(QuaZip::mdUnzip) || !zip.setCurrentFile(part))
        return {};
    QuaZipFile f(&zip);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

// Which XML reader reads a workbook's cells fastest: the import's own
// scanner (send/import/uXmlScanner) against expat and pugixml, each taking
// the same cells from the same unpacked bytes in memory: an .xlsx sheet of
// 1,000,000 rows x 3 (shared strings, numbers as numbers and as text), its
// shared strings, and an .ods content.xml of as many rows. Each reader runs
// three times; the best time counts. Also prints what unpacking those parts
// takes, the other half of a workbook import's time.
//
// Usage: bench_xml_scan [rows] [own]   (default 1,000,000 rows; "own": the own scanner only)
#include "bench/send/benchutil.h"
#include "bench/send/listfiles.h"
#include "send/import/uSheetXml.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstring>
#include <ctime>
#include <functional>
#include <quazip.h>
#include <quazipfile.h>
#ifdef SMS_BENCH_EXPAT
#include <expat.h>
#endif
#ifdef SMS_BENCH_PUGIXML
#include <pugixml.hpp>
#endif

namespace {

double cpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// What a reader found: enough to tell that all of them read the same cells.
struct TFound
{
    qint64 cells = 0;
    qint64 bytes = 0;
    qint64 rows = 0;
    bool operator==(const TFound&) const = default;
};

TFound summary(const TCellList& list, const TSharedStrings* strings)
{
    TCellList& l = const_cast<TCellList&>(list);
    l.setSharedStrings(strings);
    TFound f;
    qint64 lastRow = -1;
    list.forEachCell([&](qint64 row, int, QByteArrayView cell) {
        ++f.cells;
        f.bytes += cell.size();
        if (row != lastRow)
            ++f.rows, lastRow = row;
        return true;
    });
    return f;
}

bool ownOnly = false;

// Runs `read` three times; prints the best CPU time and what was found.
TFound measure(const char* what, qint64 bytes, const std::function<TFound()>& read)
{
    double best = 1e18;
    TFound found;
    for (int i = 0; i < (ownOnly ? 10 : 3); ++i) {
        const double c = cpuMs();
        found = read();
        best = std::min(best, cpuMs() - c);
    }
    std::printf("  %-34s %8.1f ms  %6.0f MB/s   (%lld cells, %lld bytes of text)\n", what, best,
                bytes / 1048576.0 / (best / 1000.0), found.cells, found.bytes);
    std::fflush(stdout);
    return found;
}

// The own scanner over bytes in memory, handed over in the pieces an unpacked part comes in.
TXmlScanner scannerOver(const QByteArray& xml)
{
    auto at = std::make_shared<qsizetype>(0);
    return TXmlScanner([&xml, at](QByteArray& buf) {
        if (*at >= xml.size())
            return false;
        const qsizetype n = std::min<qsizetype>(256 * 1024, xml.size() - *at);
        buf.append(xml.constData() + *at, n);
        *at += n;
        return true;
    });
}

QByteArrayView local(const char* name)
{
    const char* colon = std::strrchr(name, ':');
    return colon ? QByteArrayView(colon + 1) : QByteArrayView(name);
}

#ifdef SMS_BENCH_EXPAT
// The sheet's cells through expat's callbacks, the same way ReadXlsxSheet takes them.
struct TExpatSheet
{
    TCellList* cells = nullptr;
    qint64 row = 0, col = -1;
    int type = 0; // 0 number, 1 shared, 2 other
    bool inCell = false, inValue = false;
    QByteArray value;

    static int columnOf(const char* ref)
    {
        int c = 0, i = 0;
        for (; ref[i] >= 'A' && ref[i] <= 'Z'; ++i)
            c = c * 26 + (ref[i] - 'A' + 1);
        return i ? c - 1 : -1;
    }
    static void start(void* u, const char* name, const char** atts)
    {
        auto* s = static_cast<TExpatSheet*>(u);
        const QByteArrayView n(name);
        if (n == "c") {
            const char* r = nullptr;
            const char* t = nullptr;
            for (int i = 0; atts[i]; i += 2) {
                if (!std::strcmp(atts[i], "r"))
                    r = atts[i + 1];
                else if (!std::strcmp(atts[i], "t"))
                    t = atts[i + 1];
            }
            const int c = r ? columnOf(r) : -1;
            s->col = c >= 0 ? c : s->col + 1;
            s->type = !t || !std::strcmp(t, "n") ? 0 : !std::strcmp(t, "s") ? 1 : 2;
            s->value.clear();
            s->inCell = true;
        } else if (s->inCell && (n == "v" || n == "t")) {
            s->inValue = true;
        } else if (n == "row") {
            ++s->row;
            s->col = -1;
        }
    }
    static void end(void* u, const char* name)
    {
        auto* s = static_cast<TExpatSheet*>(u);
        const QByteArrayView n(name);
        if (n == "v" || n == "t") {
            s->inValue = false;
        } else if (n == "c") {
            s->inCell = false;
            if (s->type == 1)
                s->cells->addShared(s->row, int(s->col), s->value.toLongLong());
            else if (HasContent(s->value))
                s->cells->addText(s->row, int(s->col), s->type == 0 ? WholeNumberText(s->value) : s->value);
        }
    }
    static void chars(void* u, const char* t, int len)
    {
        auto* s = static_cast<TExpatSheet*>(u);
        if (s->inValue)
            s->value.append(t, len);
    }
};

struct TExpatStrings
{
    TSharedStrings* strings = nullptr;
    int inText = 0;
    static void start(void* u, const char* name, const char**)
    {
        if (!std::strcmp(name, "t"))
            ++static_cast<TExpatStrings*>(u)->inText;
    }
    static void end(void* u, const char* name)
    {
        auto* s = static_cast<TExpatStrings*>(u);
        if (!std::strcmp(name, "t"))
            --s->inText;
        else if (!std::strcmp(name, "si"))
            s->strings->end();
    }
    static void chars(void* u, const char* t, int len)
    {
        auto* s = static_cast<TExpatStrings*>(u);
        if (s->inText > 0)
            s->strings->text().append(t, size_t(len));
    }
};

// The .ods table through expat: cells' office:value or paragraph text, columns repeated.
struct TExpatOds
{
    TCellList* cells = nullptr;
    int depth = 0, tableDepth = -1, cellDepth = -1, pDepth = -1;
    bool done = false, number = false;
    qint64 row = 0, col = 0, rowRepeat = 1, colRepeat = 1;
    QByteArray value, text;

    static void start(void* u, const char* name, const char** atts)
    {
        auto* s = static_cast<TExpatOds*>(u);
        ++s->depth;
        if (s->done)
            return;
        const QByteArrayView n = local(name);
        if (s->tableDepth < 0) {
            if (n == "table")
                s->tableDepth = s->depth;
            return;
        }
        auto att = [&](const char* want) -> const char* {
            for (int i = 0; atts[i]; i += 2)
                if (local(atts[i]) == QByteArrayView(want))
                    return atts[i + 1];
            return nullptr;
        };
        if (s->cellDepth >= 0) {
            if (n == "p" && s->depth == s->cellDepth + 1)
                s->pDepth = s->depth;
        } else if (n == "table-row") {
            const char* r = att("number-rows-repeated");
            s->rowRepeat = r ? std::atoll(r) : 1;
            s->col = 0;
        } else if (n == "table-cell" || n == "covered-table-cell") {
            s->cellDepth = s->depth;
            const char* c = att("number-columns-repeated");
            s->colRepeat = c ? std::atoll(c) : 1;
            const char* type = att("value-type");
            const char* v = att("value");
            s->number = type && v && !std::strcmp(type, "float");
            s->value = v ? QByteArray(v) : QByteArray();
            s->text.clear();
        }
    }
    static void end(void* u, const char* name)
    {
        auto* s = static_cast<TExpatOds*>(u);
        const int d = s->depth--;
        if (s->done || s->tableDepth < 0)
            return;
        if (d == s->pDepth) {
            s->pDepth = -1;
        } else if (d == s->cellDepth) {
            s->cellDepth = -1;
            const QByteArray cell = s->number ? WholeNumberText(s->value) : s->text;
            if (HasContent(cell) && s->col < MaxColumns) {
                s->cells->addText(s->row, int(s->col), cell);
                for (qint64 k = 1; k < s->colRepeat && s->col + k < MaxColumns; ++k)
                    s->cells->repeatLast(int(s->col + k));
            }
            s->col = std::min<qint64>(s->col + s->colRepeat, MaxColumns);
        } else if (local(name) == "table-row") {
            s->row += s->rowRepeat;
        } else if (d == s->tableDepth) {
            s->done = true;
        }
    }
    static void chars(void* u, const char* t, int len)
    {
        auto* s = static_cast<TExpatOds*>(u);
        if (s->pDepth >= 0)
            s->text.append(t, len);
    }
};

template <typename State> bool expatParse(const QByteArray& xml, State& state)
{
    XML_Parser p = XML_ParserCreate("UTF-8");
    XML_SetUserData(p, &state);
    XML_SetElementHandler(p, &State::start, &State::end);
    XML_SetCharacterDataHandler(p, &State::chars);
    // In the pieces an unpacked part comes in.
    bool ok = true;
    for (qsizetype at = 0; ok && at < xml.size(); at += 256 * 1024) {
        const qsizetype n = std::min<qsizetype>(256 * 1024, xml.size() - at);
        ok = XML_Parse(p, xml.constData() + at, int(n), at + n >= xml.size()) != XML_STATUS_ERROR;
    }
    XML_ParserFree(p);
    return ok;
}
#endif

#ifdef SMS_BENCH_PUGIXML
int columnOfRef(const char* ref)
{
    int c = 0, i = 0;
    for (; ref[i] >= 'A' && ref[i] <= 'Z'; ++i)
        c = c * 26 + (ref[i] - 'A' + 1);
    return i ? c - 1 : -1;
}

// pugixml parses the whole document into a tree first (in the buffer itself), then the tree is walked.
void pugiSheet(QByteArray xml, TCellList& cells)
{
    pugi::xml_document doc;
    if (!doc.load_buffer_inplace(xml.data(), size_t(xml.size()), pugi::parse_default))
        return;
    qint64 row = 0;
    for (pugi::xml_node r : doc.child("worksheet").child("sheetData").children("row")) {
        ++row;
        qint64 col = -1;
        for (pugi::xml_node c : r.children("c")) {
            const int rc = columnOfRef(c.attribute("r").value());
            col = rc >= 0 ? rc : col + 1;
            const char* t = c.attribute("t").value();
            if (!std::strcmp(t, "s")) {
                cells.addShared(row, int(col), c.child("v").text().as_llong(-1));
                continue;
            }
            QByteArray value;
            if (!std::strcmp(t, "inlineStr")) {
                for (pugi::xml_node x : c.child("is").children())
                    value += x.name() == std::string_view("t") ? x.text().get() : x.child("t").text().get();
            } else {
                value = c.child("v").text().get();
            }
            if (HasContent(value))
                cells.addText(row, int(col), !*t || !std::strcmp(t, "n") ? WholeNumberText(value) : value);
        }
    }
}

void pugiStrings(QByteArray xml, TSharedStrings& strings)
{
    pugi::xml_document doc;
    if (!doc.load_buffer_inplace(xml.data(), size_t(xml.size()), pugi::parse_default))
        return;
    for (pugi::xml_node si : doc.child("sst").children("si")) {
        if (pugi::xml_node t = si.child("t"))
            strings.text().append(t.text().get());
        for (pugi::xml_node r : si.children("r"))
            strings.text().append(r.child("t").text().get());
        strings.end();
    }
}

void pugiOds(QByteArray xml, TCellList& cells)
{
    pugi::xml_document doc;
    if (!doc.load_buffer_inplace(xml.data(), size_t(xml.size()), pugi::parse_default))
        return;
    pugi::xml_node table =
        doc.child("office:document-content").child("office:body").child("office:spreadsheet").child("table:table");
    qint64 row = 0;
    for (pugi::xml_node r : table.children("table:table-row")) {
        qint64 col = 0;
        for (pugi::xml_node c : r.children()) {
            const qint64 repeat = std::max<qint64>(1, c.attribute("table:number-columns-repeated").as_llong(1));
            const bool number = !std::strcmp(c.attribute("office:value-type").value(), "float");
            QByteArray cell = number ? WholeNumberText(c.attribute("office:value").value())
                                     : QByteArray(c.child("text:p").text().get());
            if (HasContent(cell) && col < MaxColumns) {
                cells.addText(row, int(col), cell);
                for (qint64 k = 1; k < repeat && col + k < MaxColumns; ++k)
                    cells.repeatLast(int(col + k));
            }
            col = std::min<qint64>(col + repeat, MaxColumns);
        }
        row += std::max<qint64>(1, r.attribute("table:number-rows-repeated").as_llong(1));
    }
}
#endif

void compare(const char* title, const QByteArray& xml, const std::function<TFound()>& own,
             const std::function<TFound()>& expat, const std::function<TFound()>& pugi)
{
    std::printf("%s (%.1f MB of XML)\n", title, xml.size() / 1048576.0);
    const TFound a = measure("own scanner (uXmlScanner)", xml.size(), own);
    if (ownOnly)
        return;
#ifdef SMS_BENCH_EXPAT
    const TFound b = measure("expat 2 (callbacks)", xml.size(), expat);
    if (!(b == a))
        std::printf("  expat found other cells\n");
#else
    (void)expat;
    std::printf("  expat: not built (libexpat1-dev)\n");
#endif
#ifdef SMS_BENCH_PUGIXML
    const TFound c = measure("pugixml 1 (tree, in place)", xml.size(), pugi);
    if (!(c == a))
        std::printf("  pugixml found other cells\n");
#else
    (void)pugi;
    std::printf("  pugixml: not built (libpugixml-dev)\n");
#endif
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rows = argc > 1 ? std::atoi(argv[1]) : 1000000;
    ownOnly = argc > 2 && !std::strcmp(argv[2], "own");
    QTemporaryDir dir;
    const QString xlsx = dir.filePath(QStringLiteral("list.xlsx"));
    const QString ods = dir.filePath(QStringLiteral("list.ods"));
    qint64 size = 0;
    if (!WriteXlsxBook(xlsx, rows, TXlsxKind::SharedStrings, &size) || !WriteOdsBook(ods, rows, &size))
        return 1;

    // Unpacking alone: what every reader pays before it sees a byte.
    auto unpack = [&](const QString& zip, const QString& part, const char* what) {
        double best = 1e18;
        QByteArray bytes;
        for (int i = 0; i < 3; ++i) {
            const double c = cpuMs();
            bytes = UnpackedPart(zip, part);
            best = std::min(best, cpuMs() - c);
        }
        std::printf("unpacking %-32s %8.1f ms  %6.0f MB/s   (%.1f MB)\n", what, best,
                    bytes.size() / 1048576.0 / (best / 1000.0), bytes.size() / 1048576.0);
        return bytes;
    };
    const QByteArray sheet = unpack(xlsx, QStringLiteral("xl/worksheets/sheet1.xml"), "the .xlsx sheet");
    const QByteArray strings = unpack(xlsx, QStringLiteral("xl/sharedStrings.xml"), "the .xlsx shared strings");
    const QByteArray content = unpack(ods, QStringLiteral("content.xml"), "the .ods content.xml");
    std::printf("\n");

    if (ownOnly) {
        for (const QByteArray* xml : {&sheet, &content})
            measure("tokens only, no cells", xml->size(), [&] {
                TXmlScanner x = scannerOver(*xml);
                TFound f;
                for (auto t = x.next(); t != TXmlScanner::EndDocument && t != TXmlScanner::Invalid; t = x.next())
                    ++f.cells;
                return f;
            });
    }
    compare(
        "the .xlsx sheet's cells", sheet,
        [&] {
            TCellList cells(MaxImportBytes);
            TXmlScanner xml = scannerOver(sheet);
            ReadXlsxSheet(xml, cells, [] {});
            return summary(cells, nullptr);
        },
        [&] {
            TCellList cells(MaxImportBytes);
#ifdef SMS_BENCH_EXPAT
            TExpatSheet s;
            s.cells = &cells;
            expatParse(sheet, s);
#endif
            return summary(cells, nullptr);
        },
        [&] {
            TCellList cells(MaxImportBytes);
#ifdef SMS_BENCH_PUGIXML
            pugiSheet(sheet, cells);
#endif
            return summary(cells, nullptr);
        });
    auto stringsFound = [](const TSharedStrings& s) {
        TFound f;
        for (qint64 i = 0; i < s.size(); ++i) {
            ++f.cells;
            f.bytes += s.at(i).size();
        }
        return f;
    };
    compare(
        "the .xlsx shared strings", strings,
        [&] {
            TSharedStrings s;
            TXmlScanner xml = scannerOver(strings);
            ReadXlsxSharedStrings(xml, s, [] { return true; });
            return stringsFound(s);
        },
        [&] {
            TSharedStrings s;
#ifdef SMS_BENCH_EXPAT
            TExpatStrings e;
            e.strings = &s;
            expatParse(strings, e);
#endif
            return stringsFound(s);
        },
        [&] {
            TSharedStrings s;
#ifdef SMS_BENCH_PUGIXML
            pugiStrings(strings, s);
#endif
            return stringsFound(s);
        });
    compare(
        "the .ods first table's cells", content,
        [&] {
            TCellList cells(MaxImportBytes);
            TXmlScanner xml = scannerOver(content);
            ReadOdsTable(xml, cells, [] {});
            return summary(cells, nullptr);
        },
        [&] {
            TCellList cells(MaxImportBytes);
#ifdef SMS_BENCH_EXPAT
            TExpatOds s;
            s.cells = &cells;
            expatParse(content, s);
#endif
            return summary(cells, nullptr);
        },
        [&] {
            TCellList cells(MaxImportBytes);
#ifdef SMS_BENCH_PUGIXML
            pugiOds(content, cells);
#endif
            return summary(cells, nullptr);
        });
    return 0;
}

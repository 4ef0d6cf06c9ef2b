// Excel workbooks (.xlsx, .xlsm): a ZIP archive of XML parts. The workbook
// part names the sheets in tab order, its relationships say which part each
// one is; cells hold their text, a number, or the index of a shared string.
#include "send/import/uListReader.h"
#include "send/import/uSheetXml.h"
#include "send/import/uZipPart.h"

#include <QFile>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <memory>
#include <quazip.h>

namespace {

// "B12" -> 1; -1 when the reference has no column letters.
int columnOfRef(QByteArrayView ref)
{
    int col = 0;
    qsizetype i = 0;
    for (; i < ref.size(); ++i) {
        const char c = ref[i];
        if (c >= 'A' && c <= 'Z')
            col = col * 26 + (c - 'A' + 1);
        else if (c >= 'a' && c <= 'z')
            col = col * 26 + (c - 'a' + 1);
        else
            break;
        if (col > MaxColumns)
            return -1;
    }
    return i == 0 ? -1 : col - 1;
}

// A shared string's index as a cell gives it; -1 when it is none.
qint64 indexOf(QByteArrayView value)
{
    value = value.trimmed();
    if (value.isEmpty() || value.size() > 10)
        return -1;
    qint64 i = 0;
    for (char c : value) {
        if (c < '0' || c > '9')
            return -1;
        i = i * 10 + (c - '0');
    }
    return i;
}

// A part's name from a relationship target: relative to xl/, or absolute.
QString partName(QByteArrayView target)
{
    const QString t = QString::fromUtf8(target);
    if (t.startsWith(u'/'))
        return t.sliced(1);
    QStringList parts;
    for (const QString& p : QString(QStringLiteral("xl/") + t).split(QLatin1Char('/'))) {
        if (p == QLatin1String(".."))
            (void)(parts.isEmpty() ? void() : parts.removeLast());
        else if (p != QLatin1String(".") && !p.isEmpty())
            parts << p;
    }
    return parts.join(QLatin1Char('/'));
}

} // namespace

bool ReadXlsxSheet(TXmlScanner& xml, TCellList& cells, TFunctionRef<void()> tick)
{
    qint64 row = 0;
    qint64 col = -1;
    enum { Number, Shared, Other } type = Number;
    bool inCell = false, inValue = false;
    int phonetic = 0;
    std::string value;
    for (;;) {
        switch (xml.next()) {
        case TXmlScanner::StartElement: {
            const QByteArrayView name = xml.name();
            if (IsName(name, "c")) {
                const QByteArrayView ref = xml.attribute("r");
                const int c = ref.isEmpty() ? -1 : columnOfRef(ref);
                col = c >= 0 ? c : col + 1;
                const QByteArrayView t = xml.attribute("t");
                type = t.isEmpty() || t == "n" ? Number : t == "s" ? Shared : Other;
                value.clear();
                inCell = true;
            } else if (inCell && (IsName(name, "v") || IsName(name, "t"))) {
                inValue = true;
            } else if (IsName(name, "rPh")) {
                ++phonetic;
            } else if (IsName(name, "row")) {
                // Only the order of rows matters (which comes first), not their numbers.
                ++row;
                col = -1;
            }
            break;
        }
        case TXmlScanner::Characters:
            if (inValue && phonetic == 0 && !xml.appendText(value))
                return true;
            break;
        case TXmlScanner::EndElement: {
            const QByteArrayView name = xml.name();
            if (IsName(name, "v") || IsName(name, "t")) {
                inValue = false;
            } else if (IsName(name, "rPh")) {
                --phonetic;
            } else if (IsName(name, "c") && inCell) {
                inCell = false;
                tick();
                if (col >= MaxColumns)
                    break;
                bool added = true;
                const QByteArrayView v = ViewOf(value);
                if (type == Shared)
                    added = cells.addShared(row, int(col), indexOf(v));
                else if (!HasContent(v))
                    break;
                else if (type == Number && !IsPlainDigits(v))
                    added = cells.addText(row, int(col), WholeNumberText(v));
                else
                    added = cells.addText(row, int(col), v);
                if (!added)
                    return false;
            }
            break;
        }
        case TXmlScanner::EndDocument:
        case TXmlScanner::Invalid:
            return true;
        }
    }
}

bool ReadXlsxSharedStrings(TXmlScanner& xml, TSharedStrings& strings, TFunctionRef<bool()> alive)
{
    int inText = 0, phonetic = 0;
    unsigned items = 0;
    for (;;) {
        switch (xml.next()) {
        case TXmlScanner::StartElement:
            if (IsName(xml.name(), "t"))
                ++inText;
            else if (IsName(xml.name(), "rPh"))
                ++phonetic;
            break;
        case TXmlScanner::EndElement:
            if (IsName(xml.name(), "t")) {
                --inText;
            } else if (IsName(xml.name(), "rPh")) {
                --phonetic;
            } else if (IsName(xml.name(), "si")) {
                strings.end();
                if ((++items & 1023) == 0 && !alive())
                    return false;
            }
            break;
        case TXmlScanner::Characters:
            if (inText > 0 && phonetic == 0 && !xml.appendText(strings.text()))
                return true;
            break;
        case TXmlScanner::EndDocument:
        case TXmlScanner::Invalid:
            return true;
        }
    }
}

TImportOutcome TXlsxReader::read(QFile& file, qint64, TImportJob& job)
{
    const QString kind = QStringLiteral(" Excel 工作簿（*.xlsx）");
    QuaZip zip;
    if (const TImportOutcome o = OpenWorkbookZip(zip, file, job, kind); o != TImportOutcome::Done)
        return o;
    auto failed = [&](const TPartResult& part) { return PartFailed(job, kind, part); };
    const qint64 maxBytes = job.maxBytes();

    // The first worksheet: the workbook names its sheets in order, the
    // workbook's relationships say which part each one is.
    std::string firstSheetId;
    TPartResult part = ScanZipPart(zip, QStringLiteral("xl/workbook.xml"), maxBytes, [&](TXmlScanner& xml) {
        for (auto t = xml.next(); t != TXmlScanner::EndDocument && t != TXmlScanner::Invalid; t = xml.next())
            if (t == TXmlScanner::StartElement && IsName(xml.name(), "sheet")) {
                // r:id, in the relationships namespace
                xml.appendValue(firstSheetId, xml.attribute("id"));
                break;
            }
        return true;
    });
    if (part.kind != TPartResult::Ok)
        return failed(part);
    QString sheetPart = QStringLiteral("xl/worksheets/sheet1.xml");
    QString stringsPart = QStringLiteral("xl/sharedStrings.xml");
    part = ScanZipPart(zip, QStringLiteral("xl/_rels/workbook.xml.rels"), maxBytes, [&](TXmlScanner& xml) {
        std::string value;
        for (auto t = xml.next(); t != TXmlScanner::EndDocument && t != TXmlScanner::Invalid; t = xml.next()) {
            if (t != TXmlScanner::StartElement || !IsName(xml.name(), "Relationship"))
                continue;
            value.clear();
            if (!xml.appendValue(value, xml.attribute("Target")))
                break;
            if (!firstSheetId.empty() && xml.attribute("Id") == ViewOf(firstSheetId))
                sheetPart = partName(ViewOf(value));
            if (xml.attribute("Type").endsWith("/sharedStrings"))
                stringsPart = partName(ViewOf(value));
        }
        return true;
    });
    if (part.kind != TPartResult::Ok && part.kind != TPartResult::Missing)
        return failed(part);

    // The shared strings are read beside the sheet, on a thread of their own
    // with a second handle on the file: in a list of names they are the second
    // largest part, and reading XML is where a workbook's time goes. The
    // sheet keeps a shared-string cell as its index until both are read.
    TSharedStrings strings;
    std::atomic<bool> stop{false};
    TPartResult stringsResult;
    auto readStrings = [&](QuaZip& z) {
        stringsResult = ScanZipPart(z, stringsPart, maxBytes, [&](TXmlScanner& xml) {
            return ReadXlsxSharedStrings(xml, strings, [&] { return !stop.load(); });
        });
    };
    QFile second(job.fileName()); // a handle of its own, with its own offset
    std::unique_ptr<QThread> worker;
    if (second.open(QIODevice::ReadOnly)) {
        worker.reset(QThread::create([&] {
            QuaZip z(&second);
            if (!z.open(QuaZip::mdUnzip)) {
                stringsResult = TPartResult{TPartResult::Broken, stringsPart, QStringLiteral("不是 ZIP 压缩格式")};
                return;
            }
            readStrings(z);
        }));
        worker->start();
    } else {
        readStrings(zip);
    }
    struct TJoin
    {
        std::unique_ptr<QThread>& worker;
        std::atomic<bool>& stop;
        ~TJoin()
        {
            if (worker) {
                stop = true;
                worker->wait();
            }
        }
    } join{worker, stop};

    // The sheet: every cell, kept until the number column is known.
    TCellList cells(maxBytes);
    part = ScanZipPart(zip, sheetPart, maxBytes,
                       [&](TXmlScanner& xml) { return ReadXlsxSheet(xml, cells, [&] { job.tick(); }); });
    if (cells.full())
        return job.tooLarge();
    if (part.kind != TPartResult::Ok)
        return failed(part);
    if (worker) {
        worker->wait();
        worker.reset();
    }
    if (stringsResult.kind != TPartResult::Ok && stringsResult.kind != TPartResult::Missing)
        return failed(stringsResult);
    cells.setSharedStrings(&strings);
    return job.takeNumberColumn(cells, QStringLiteral("工作簿 \"%1\" 的第一个工作表").arg(job.fileName()));
}

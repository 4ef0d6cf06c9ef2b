// OpenDocument spreadsheets (.ods): a ZIP archive whose content.xml holds
// every table of the document, the first one first. Rows and cells that
// repeat are written once with a count (table:number-rows-repeated,
// table:number-columns-repeated), which a formatted range below a list puts
// in the millions: empty ones only move the position on.
#include "send/import/uListReader.h"
#include "send/import/uSheetXml.h"
#include "send/import/uZipPart.h"

#include <QFile>
#include <quazip.h>

namespace {

// A repeat count as the file gives it: at least 1, and never more than can matter.
qint64 repeatCount(QByteArrayView value)
{
    if (value.isNull())
        return 1;
    qint64 n = 0;
    for (char c : value.trimmed()) {
        if (c < '0' || c > '9')
            return 1;
        n = std::min<qint64>(n * 10 + (c - '0'), MaxOdsRows * MaxColumns);
    }
    return std::max<qint64>(n, 1);
}

bool isNumberType(QByteArrayView type)
{
    return type == "float" || type == "percentage" || type == "currency";
}

} // namespace

bool ReadOdsTable(TXmlScanner& xml, TCellList& cells, TFunctionRef<void()> tick)
{
    bool inSpreadsheet = false;
    int tableDepth = -1;           // depth of the first table, once it has begun
    qint64 row = 0, col = 0;       // where the next row, the next cell goes
    qint64 rowRepeat = 1;
    qsizetype rowFirstCell = 0;    // the list's size when the row began
    int cellDepth = -1, paragraphDepth = -1;
    qint64 colRepeat = 1;
    bool number = false, paragraphs = false;
    std::string value, text;
    for (;;) {
        switch (xml.next()) {
        case TXmlScanner::StartElement: {
            const QByteArrayView name = xml.name();
            if (tableDepth < 0) {
                if (IsName(name, "spreadsheet"))
                    inSpreadsheet = true;
                else if (inSpreadsheet && IsName(name, "table"))
                    tableDepth = xml.depth();
                break;
            }
            if (cellDepth >= 0) {
                // A cell's text: its paragraphs, not those of a note or a shape in it.
                if (IsName(name, "p") && xml.depth() == cellDepth + 1) {
                    if (paragraphs)
                        text.push_back('\n');
                    paragraphs = true;
                    paragraphDepth = xml.depth();
                } else if (paragraphDepth >= 0) {
                    if (IsName(name, "s"))
                        text.append(size_t(std::min<qint64>(repeatCount(xml.attribute("c")), 1000)), ' ');
                    else if (IsName(name, "tab"))
                        text.push_back('\t');
                    else if (IsName(name, "line-break"))
                        text.push_back('\n');
                }
            } else if (IsName(name, "table-row")) {
                rowRepeat = repeatCount(xml.attribute("number-rows-repeated"));
                rowFirstCell = cells.size();
                col = 0;
            } else if (IsName(name, "table-cell") || IsName(name, "covered-table-cell")) {
                cellDepth = xml.depth();
                colRepeat = repeatCount(xml.attribute("number-columns-repeated"));
                const QByteArrayView officeValue = xml.attribute("value");
                number = isNumberType(xml.attribute("value-type")) && !officeValue.isNull();
                value.clear();
                text.clear();
                paragraphs = false;
                if (number && !xml.appendValue(value, officeValue))
                    return true;
            }
            break;
        }
        case TXmlScanner::Characters:
            if (paragraphDepth >= 0 && !xml.appendText(text))
                return true;
            break;
        case TXmlScanner::EndElement: {
            if (tableDepth < 0)
                break;
            const int depth = xml.depth() + 1; // of the element that ended
            if (depth == paragraphDepth) {
                paragraphDepth = -1;
            } else if (depth == cellDepth) {
                cellDepth = -1;
                tick();
                if (number && !IsPlainDigits(ViewOf(value)))
                    value = WholeNumberText(ViewOf(value)).toStdString();
                const QByteArrayView cell = ViewOf(number ? value : text);
                if (HasContent(cell) && row < MaxOdsRows && col < MaxColumns) {
                    if (!cells.addText(row, int(col), cell))
                        return false;
                    for (qint64 k = 1; k < colRepeat && col + k < MaxColumns; ++k)
                        if (!cells.repeatLast(int(col + k)))
                            return false;
                }
                col = std::min<qint64>(col + colRepeat, MaxColumns);
            } else if (IsName(xml.name(), "table-row")) {
                // A row with cells that repeats: its cells once more per repetition.
                const qsizetype rowEnd = cells.size();
                if (rowEnd > rowFirstCell)
                    for (qint64 k = 1; k < rowRepeat && row + k < MaxOdsRows; ++k)
                        if (!cells.repeatCells(rowFirstCell, rowEnd, row + k))
                            return false;
                row = std::min<qint64>(row + rowRepeat, MaxOdsRows);
            } else if (depth == tableDepth) {
                return true; // the first table is read; the others are not looked at
            }
            break;
        }
        case TXmlScanner::EndDocument:
        case TXmlScanner::Invalid:
            return true;
        }
    }
}

TImportOutcome TOdsReader::read(QFile& file, qint64, TImportJob& job)
{
    const QString kind = QStringLiteral(" OpenDocument 表格（*.ods）");
    QuaZip zip;
    if (const TImportOutcome o = OpenWorkbookZip(zip, file, job, kind); o != TImportOutcome::Done)
        return o;
    // A document saved with a password lists the key of each encrypted part in its manifest.
    QByteArray manifest;
    const TPartResult m =
        ReadZipPart(zip, QStringLiteral("META-INF/manifest.xml"), job.maxBytes(), &manifest);
    if (m.kind == TPartResult::Ok && manifest.contains("encryption-data"))
        return job.encrypted();

    TCellList cells(job.maxBytes());
    const TPartResult part = ScanZipPart(zip, QStringLiteral("content.xml"), job.maxBytes(), [&](TXmlScanner& xml) {
        return ReadOdsTable(xml, cells, [&] { job.tick(); });
    });
    if (cells.full())
        return job.tooLarge();
    if (part.kind != TPartResult::Ok)
        return PartFailed(job, kind, part);
    return job.takeNumberColumn(cells, QStringLiteral("表格 \"%1\" 的第一个工作表").arg(job.fileName()));
}

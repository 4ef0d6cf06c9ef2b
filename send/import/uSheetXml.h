#pragma once
// The cells of a worksheet read from its XML: an .xlsx sheet part (with its
// shared strings) and the first table of an .ods content part. Each takes the
// tokens of a scanner and adds the cells to a list; the readers of those
// formats stream an unpacked part through them, the benchmark compares them
// on bytes in memory with other XML readers.

#include "send/import/uCellList.h"
#include "send/import/uXmlScanner.h"

// Digits only, not starting with a zero unless alone: a number cell already
// in its whole digits, which WholeNumberText would give back unchanged.
inline bool IsPlainDigits(QByteArrayView s)
{
    if (s.isEmpty() || (s[0] == '0' && s.size() > 1))
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// Rows of an .ods table looked at: as many as a spreadsheet program's largest sheets have.
constexpr qint64 MaxOdsRows = qint64(1) << 24;

// The cells of an .xlsx worksheet (<sheetData>): shared strings as their
// index, numbers as whole digits where they are whole (WholeNumberText).
// tick() runs once a cell. False when the list is full; an error of the XML
// ends the scan as well (the scanner says so).
bool ReadXlsxSheet(TXmlScanner& xml, TCellList& cells, TFunctionRef<void()> tick);

// The shared strings of an .xlsx workbook (<si> items, phonetic runs left
// out). alive() is asked now and then; false from it cancels (false back).
bool ReadXlsxSharedStrings(TXmlScanner& xml, TSharedStrings& strings, TFunctionRef<bool()> alive);

// The first table of an .ods spreadsheet (office:spreadsheet): rows and cells
// repeated as the file says, empty ones at no cost; a number cell is its
// office:value as whole digits, any other the text of its paragraphs.
// Returns at the table's end, without reading further. False when the list is full.
bool ReadOdsTable(TXmlScanner& xml, TCellList& cells, TFunctionRef<void()> tick);

#pragma once
// List files for the import benchmarks, written the way spreadsheet programs
// write them: a header row, then name, mobile number and city per row; the
// number stored as a number in most rows and as text in every fourth; a
// second sheet of other data that the import must pass over.

#include <QByteArray>
#include <QString>

// The three columns of row i (0-based, after the header).
QByteArray BenchName(int i);
QByteArray BenchNumber(int i);
QByteArray BenchCity(int i);

enum class TXlsxKind {
    SharedStrings, // as Excel saves: text in the shared strings, numbers as numbers or as shared text
    InlineStrings, // as streaming exporters write: text inline in the cells, no shared strings
};

// An .xlsx workbook of `rows` rows; *sheetBytes: the unpacked size of the first sheet.
bool WriteXlsxBook(const QString& path, int rows, TXlsxKind kind, qint64* sheetBytes);
// An .ods workbook as LibreOffice Calc saves it, with the repeated empty rows
// and columns of a formatted range below the list; *contentBytes: content.xml unpacked.
bool WriteOdsBook(const QString& path, int rows, qint64* contentBytes);
// An Excel 97-2003 (.xls, BIFF8) workbook: shared strings, numbers as NUMBER
// records, text numbers as strings; rows at most 65,535.
bool WriteXlsBook(const QString& path, int rows);
// A CSV file; separator ',' or ';' (as Excel writes in locales with a decimal
// comma), with or without Excel's UTF-8 mark.
bool WriteCsvFile(const QString& path, int rows, char separator, bool mark);

// One part of a zip archive, unpacked.
QByteArray UnpackedPart(const QString& zipPath, const QString& part);

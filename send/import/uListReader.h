#pragma once
// The readers of list files, one per format, behind one small interface. The
// import (send/uPhoneImport) tells the format by the file's content and name
// and hands the open file to the reader; a reader feeds the job's sink and
// leaves the shared steps (the number column, the header, the messages) to
// the job.

#include "send/import/uImportJob.h"

#include <QByteArrayView>

class QFile;

class TListReader
{
public:
    virtual ~TListReader() = default;
    // Reads the open file (size bytes, at most the job's maxBytes) into the job.
    virtual TImportOutcome read(QFile& file, qint64 size, TImportJob& job) = 0;
};

// Text, one number a line: every line that is not blank, as read.
class TTextLinesReader final : public TListReader
{
public:
    TImportOutcome read(QFile& file, qint64 size, TImportJob& job) override;
};

// CSV and TSV: the number column of a delimited table.
class TDelimitedReader final : public TListReader
{
public:
    // preferred: the delimiter the file's name suggests (',' for .csv, tab for .tsv).
    explicit TDelimitedReader(char preferred) : preferred_(preferred) {}
    TImportOutcome read(QFile& file, qint64 size, TImportJob& job) override;

private:
    char preferred_;
};

// Excel workbooks (.xlsx, .xlsm): the first worksheet.
class TXlsxReader final : public TListReader
{
public:
    TImportOutcome read(QFile& file, qint64 size, TImportJob& job) override;
};

// OpenDocument spreadsheets (.ods): the first table.
class TOdsReader final : public TListReader
{
public:
    TImportOutcome read(QFile& file, qint64 size, TImportJob& job) override;
};

// Excel 97-2003 workbooks (.xls, BIFF8 in an OLE compound file): the first worksheet.
class TXlsReader final : public TListReader
{
public:
    // nameSaysXlsx: the file is named .xlsx/.xlsm; an OLE file of that name
    // that holds no workbook is an encrypted .xlsx.
    explicit TXlsReader(bool nameSaysXlsx) : nameSaysXlsx_(nameSaysXlsx) {}
    TImportOutcome read(QFile& file, qint64 size, TImportJob& job) override;

private:
    bool nameSaysXlsx_;
};

// Text from the clipboard, in UTF-8: cells copied from a spreadsheet (tabs
// between them) as a table, like a .tsv file; anything else as lines, like a
// text file.
TImportOutcome ReadPastedText(QByteArrayView utf8, TImportJob& job);

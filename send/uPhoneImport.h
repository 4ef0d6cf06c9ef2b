#pragma once
// Reading numbers for the send page's list, from a file or from the
// clipboard: text files (one number a line), CSV and TSV tables, Excel
// workbooks (.xlsx, .xlsm, .xls) and OpenDocument spreadsheets (.ods). No
// widgets here: the page gives a sink for the lines and a hook that pumps
// window messages. A file is read as what its bytes are, whatever its name
// says; the readers of the formats are in send/import/.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <functional>

// What a file's name (its suffix, case-insensitive) says it is. Its content
// decides for workbooks and for what holds no text; for text it is the name:
// a .csv or .tsv is a table, anything else one number a line.
enum class TImportFormat { Text, Csv, Tsv, Xlsx, Xls, Ods };
TImportFormat ImportFormatOf(const QString& fileName);

// The file-open dialog's filter, in the program's own "description|pattern|..." form.
QString PhoneImportFilter();

// How an import ended.
enum class TImportOutcome {
    Done,
    CannotOpen,     // missing, unreadable, or not a regular file (a device, a pipe, a folder)
    ReadFailed,     // an error while reading
    TooLarge,       // larger than an import may be; nothing was read
    NoNumberColumn, // a table without a column of mobile numbers
    BadWorkbook,    // not a readable workbook: damaged, or not a workbook at all
    Encrypted,      // a password-protected workbook
    NotAList,       // a file of a kind that holds no list (a PDF, a picture, a document)
    Stopped,        // the sink asked to stop
};

// Largest file (and largest part of a workbook, unpacked) an import reads.
constexpr qint64 MaxImportBytes = qint64(1) << 30;

// A number cell of a worksheet as its whole digits when it holds a whole
// number ("1.39E+10" -> "13900000000", "13900000001.0" -> "13900000001");
// any other text comes back unchanged.
QByteArray WholeNumberText(QByteArrayView number);

class TPhoneImport
{
public:
    // Receives every line to add, in order, in UTF-8 without a line end: the
    // lines of a text that are not blank, the non-empty cells of a table's
    // number column. Return false to stop the import (outcome Stopped).
    using Sink = std::function<bool(QByteArrayView line)>;

    // Called now and then while the import runs, to keep the window alive.
    std::function<void()> progress;
    qint64 maxBytes = MaxImportBytes;

    // Reads the file. Only a regular file is read: its kind is looked at
    // before it is opened, and opening never waits (a pipe, a device or a
    // folder ends the import as CannotOpen). A file larger than maxBytes is
    // refused before it is read.
    //
    // A table's number column is the first in which most non-empty cells are
    // plausible mobile numbers; the first row's cell is a header, and skipped,
    // when it does not read as a number. A cell holding line breaks becomes one
    // line, blanks in their place. Lines of a table reach the sink only once the
    // whole table has been read and its column found; a text file streams its
    // lines, so on a failure the caller drops what it received.
    TImportOutcome run(const QString& fileName, const Sink& sink);

    // Reads text from the clipboard: cells copied from a spreadsheet (tabs
    // between them) as a table, anything else one number a line.
    TImportOutcome runPasted(const QString& text, const Sink& sink);

    // After run: the message for the user when the outcome is not Done (Chinese).
    QString message() const { return message_; }
    // Table imports: the column taken (0 = first) and whether a header row was skipped.
    int column() const { return column_; }
    bool headerSkipped() const { return headerSkipped_; }

private:
    QString message_;
    int column_ = -1;
    bool headerSkipped_ = false;
};

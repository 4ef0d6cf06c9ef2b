#pragma once
// Delimited text tables: CSV as RFC 4180 writes it, with a comma, a semicolon
// (as Excel writes CSV in locales with a decimal comma) or a tab (.tsv, and
// cells copied from a spreadsheet) between the fields.

#include "send/import/uImportJob.h"

#include <QByteArray>
#include <QByteArrayView>

// Reads the fields of delimited text: a field in double quotes may hold the
// delimiter, doubled quotes and line breaks. Records end at CR LF, LF or CR.
// Lenient with what the format does not allow: text after a closing quote
// stays part of the field, a quote that is never closed runs to the end.
class TCsvReader
{
public:
    TCsvReader(QByteArrayView data, char delimiter) : d_(data), delimiter_(delimiter) {}
    bool atEnd() const { return pos_ >= d_.size(); }
    // Reads the next field into *value; returns true when it ended its record.
    bool next(QByteArrayView* value);

private:
    qsizetype scanToDelimiter() const;
    QByteArrayView take(qsizetype from, qsizetype to, bool copied);

    QByteArrayView d_;
    char delimiter_;
    qsizetype pos_ = 0;
    QByteArray scratch_;
};

// A table of delimited text held in UTF-8.
class TDelimitedTable final : public TCellTable
{
public:
    TDelimitedTable(QByteArrayView text, char delimiter) : text_(text), delimiter_(delimiter) {}
    void forEachCell(TCellFn f) const override;

private:
    QByteArrayView text_;
    char delimiter_;
};

// The delimiter of a table: of ',' ';' and tab, the one that splits the first
// records into the same number of fields (two or more) most often; preferred
// wins a tie, and stands when none splits anything.
char ChooseDelimiter(QByteArrayView text, char preferred);

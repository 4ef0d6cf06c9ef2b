#pragma once
// The account page's listings in memory: the rows of a listing read out of
// its query in full, and the read-only table model a grid shows them through.
// No widgets.

#include "data/uDM.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QSqlError>
#include <QString>
#include <QStringList>
#include <QVariant>

// Rows of one listing, read out of the query in full. Only the kept columns
// are converted and held; the others are known by name only.
struct TRows
{
    QStringList names; // every column of the result
    QList<int> slot;   // per column: its place among the held values, or -1
    int held = 0;      // values held per row
    int rows = 0;
    QList<QVariant> values; // row after row, held values each

    // The column of that name, letter case aside; -1 when there is none.
    int column(const QString& name) const;
};

// Runs a listing statement on the data module's connection and reads every
// row. keep lists the columns to hold (lower case); empty holds them all. On
// failure err holds the server's (or the client library's) error.
bool fetchRows(const QString& sql, const TSqlParams& params, const QStringList& keep, TRows& out,
               QSqlError& err);

// Reads the time column timeName from the text column textName (both held),
// as the server's wall clock, and drops the text column.
void takeTimeText(TRows& rows, const QString& timeName, const QString& textName);

// A read-only in-memory copy of a listing's rows, shown by a grid.
class TAccountRows final : public QAbstractTableModel
{
public:
    // captions: lower-case column name -> caption, for the columns the grid shows.
    TAccountRows(QHash<QString, QString> captions, QObject* parent);

    void setRows(TRows rows);
    void clear() { setRows(TRows{}); }

    int column(const QString& name) const { return rows_.column(name); }
    QVariant value(int row, int col) const;
    // Whether the grid shows the column.
    bool shown(int col) const { return captions_.contains(rows_.names.value(col).toLower()); }

    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : rows_.rows; }
    int columnCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : int(rows_.names.size());
    }
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QHash<QString, QString> captions_;
    TRows rows_;
};

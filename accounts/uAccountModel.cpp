#include "accounts/uAccountModel.h"

#include "data/uWallClock.h"

#include <QDateTime>
#include <QSqlQuery>
#include <QSqlRecord>

int TRows::column(const QString& name) const
{
    for (int i = 0; i < names.size(); ++i)
        if (QString::compare(names.at(i), name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

bool fetchRows(const QString& sql, const TSqlParams& params, const QStringList& keep, TRows& out,
               QSqlError& err)
{
    if (!DM) {
        err = QSqlError(QStringLiteral("no data module"), QString(), QSqlError::UnknownError);
        return false;
    }
    QSqlQuery q(DM->conn());
    q.setForwardOnly(true);
    if (!DM->Exec(q, sql, params, &err))
        return false;
    const QSqlRecord rec = q.record();
    out = TRows{};
    QList<int> columns; // result columns to read, in held order
    for (int i = 0; i < rec.count(); ++i) {
        out.names << rec.fieldName(i);
        const bool kept = keep.isEmpty() || keep.contains(rec.fieldName(i).toLower());
        out.slot << (kept ? int(columns.size()) : -1);
        if (kept)
            columns << i;
    }
    out.held = int(columns.size());
    if (q.size() > 0)
        out.values.reserve(qsizetype(q.size()) * out.held);
    while (q.next()) {
        for (int c : std::as_const(columns))
            out.values << q.value(c);
        ++out.rows;
    }
    if (q.lastError().isValid()) {
        err = q.lastError();
        return false;
    }
    return true;
}

void takeTimeText(TRows& rows, const QString& timeName, const QString& textName)
{
    const int t = rows.column(timeName);
    const int x = rows.column(textName);
    if (t < 0 || x < 0 || rows.slot.at(t) < 0 || rows.slot.at(x) < 0)
        return;
    const int ts = rows.slot.at(t);
    const int xs = rows.slot.at(x);
    QList<QVariant> values;
    values.reserve(qsizetype(rows.rows) * (rows.held - 1));
    for (int r = 0; r < rows.rows; ++r) {
        const QVariant* row = rows.values.constData() + qsizetype(r) * rows.held;
        for (int h = 0; h < rows.held; ++h) {
            if (h == xs)
                continue;
            if (h == ts)
                values << (row[xs].isNull() ? QVariant() : QVariant(WallClockValue(row[xs])));
            else
                values << row[h];
        }
    }
    rows.values = std::move(values);
    rows.names.removeAt(x);
    rows.slot.removeAt(x);
    for (int& slot : rows.slot)
        if (slot > xs)
            --slot;
    --rows.held;
}

TAccountRows::TAccountRows(QHash<QString, QString> captions, QObject* parent)
    : QAbstractTableModel(parent), captions_(std::move(captions))
{
}

void TAccountRows::setRows(TRows rows)
{
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

QVariant TAccountRows::value(int row, int col) const
{
    if (row < 0 || row >= rows_.rows || col < 0 || col >= rows_.names.size() || rows_.slot.at(col) < 0)
        return {};
    return rows_.values.at(qsizetype(row) * rows_.held + rows_.slot.at(col));
}

QVariant TAccountRows::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    const QVariant v = value(index.row(), index.column());
    if (v.metaType().id() == QMetaType::QDateTime)
        return v.toDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    return v;
}

QVariant TAccountRows::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return {};
    const QString name = rows_.names.value(section);
    return captions_.value(name.toLower(), name);
}

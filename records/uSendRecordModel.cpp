#include "records/uSendRecordModel.h"

#include <QMetaObject>
#include <QSqlQuery>

namespace {

// Continues the listing's where clause after (or from) a row. The index
// (customername, submittime) with its key submitid gives the order without
// sorting. The plain bound on submittime lets the server start reading the
// index at that row instead of at the customer's first one (without it the
// server walks the customer's whole index up to there for every packet); the
// second condition drops the rows of that very second already read.
const QString kAfterKey =
    QStringLiteral("\n and submittime>=:pagetime and (submittime>:pagetime2 or submitid>:pageid)");
const QString kFromKey =
    QStringLiteral("\n and submittime>=:pagetime and (submittime>:pagetime2 or submitid>=:pageid)");

// The server's answer when a statement names an index that the table does not
// have: the service's database may name its indexes otherwise, or lack them.
bool isUnknownIndex(const QSqlError& e)
{
    return e.nativeErrorCode() == QLatin1String("1176");
}

} // namespace

TSendRecordModel::TSendRecordModel(QObject* parent) : QAbstractTableModel(parent) {}

QString TSendRecordModel::PacketSql(const QString& select, bool first, bool inclusive, bool indexHint)
{
    QString sql = select;
    // Where the packet's row lies past the middle of the customer's batches,
    // the server's own estimate prefers reading the index from the customer's
    // first entry; naming the index makes it start at the row. A table without
    // that index refuses the name, and the packet is read without it.
    const qsizetype where = sql.indexOf(QLatin1String(" where "), 0, Qt::CaseInsensitive);
    if (where > 0 && indexHint)
        sql.insert(where, QLatin1String(" force index(ix_submit_customer_time)"));
    if (!first)
        sql += inclusive ? kFromKey : kAfterKey;
    return sql + QStringLiteral("\n order by submittime,submitid limit %1").arg(PacketRows);
}

void TSendRecordModel::Clear()
{
    beginResetModel();
    select_.clear();
    params_.clear();
    active_ = false;
    atEnd_ = true;
    broken_ = false;
    total_ = 0;
    rows_ = 0;
    anchors_.clear();
    last_ = Key{};
    cache_.clear();
    recent_.clear();
    endResetModel();
}

bool TSendRecordModel::Open(const QString& select, const QString& countSql, const TSqlParams& params,
                            qint64* total, QSqlError* err, const std::function<void(qint64)>& counted)
{
    Clear();
    qint64 count = 0;
    {
        QSqlQuery q(DM->conn());
        q.setForwardOnly(true);
        if (!DM->Exec(q, countSql, params, err))
            return false;
        if (!q.next()) {
            if (err)
                *err = q.lastError().isValid()
                           ? q.lastError()
                           : QSqlError(QStringLiteral("no count"), QString(), QSqlError::UnknownError);
            return false;
        }
        count = q.value(0).toLongLong();
    }
    select_ = select;
    params_ = params;
    Packet first;
    if (!readPacket(nullptr, false, first, err)) {
        select_.clear();
        params_.clear();
        return false;
    }
    if (total)
        *total = count;
    if (counted)
        counted(count);
    beginResetModel();
    active_ = true;
    total_ = count;
    rows_ = int(first.size());
    atEnd_ = first.size() < PacketRows;
    if (!first.isEmpty()) {
        anchors_.append(Key{first.first().submitTime, first.first().submitId});
        last_ = Key{first.last().submitTime, first.last().submitId};
        keep(0, std::move(first));
    }
    endResetModel();
    return true;
}

bool TSendRecordModel::readPacket(const Key* from, bool inclusive, Packet& out, QSqlError* err) const
{
    out.clear();
    TSqlParams params = params_;
    const QString sql = PacketSql(select_, from == nullptr, inclusive, indexHint_);
    if (from)
        params << TSqlParam{QStringLiteral("pagetime"), from->submitTime}
               << TSqlParam{QStringLiteral("pagetime2"), from->submitTime}
               << TSqlParam{QStringLiteral("pageid"), from->submitId};
    QSqlQuery q(DM->conn());
    q.setForwardOnly(true);
    QSqlError e;
    if (!DM->Exec(q, sql, params, &e)) {
        if (!indexHint_ || !isUnknownIndex(e)) {
            if (err)
                *err = e;
            return false;
        }
        indexHint_ = false; // for the rest of this listing and the ones after it
        return readPacket(from, inclusive, out, err);
    }
    out.reserve(PacketRows);
    while (q.next()) {
        Row r;
        r.submitId = q.value(0).toInt();
        r.content = q.value(1).toString();
        r.customerName = q.value(2).toString();
        r.submitTime = WallClockValue(q.value(3));
        r.phoneCount = q.value(4).toInt();
        r.msgCount = q.value(5).toInt();
        out.append(std::move(r));
    }
    if (q.lastError().isValid()) {
        if (err)
            *err = q.lastError();
        out.clear();
        return false;
    }
    return true;
}

void TSendRecordModel::keep(int index, Packet rows) const
{
    cache_.insert(index, std::move(rows));
    recent_.removeOne(index);
    recent_.append(index);
    while (recent_.size() > CachedPackets)
        cache_.remove(recent_.takeFirst());
}

const TSendRecordModel::Packet* TSendRecordModel::packet(int index) const
{
    auto it = cache_.constFind(index);
    if (it != cache_.constEnd()) {
        if (recent_.last() != index) {
            recent_.removeOne(index);
            recent_.append(index);
        }
        return &it.value();
    }
    if (broken_ || index < 0 || index >= anchors_.size())
        return nullptr;
    Packet rows;
    QSqlError err;
    if (!readPacket(&anchors_.at(index), true, rows, &err)) {
        fail(err);
        return nullptr;
    }
    keep(index, std::move(rows));
    return &cache_.constFind(index).value();
}

void TSendRecordModel::fail(const QSqlError& err) const
{
    broken_ = true;
    auto* self = const_cast<TSendRecordModel*>(this);
    // The grid asked from inside its own painting or scrolling: report later.
    QMetaObject::invokeMethod(
        self, [self, err]() { emit self->fetchFailed(err); }, Qt::QueuedConnection);
}

int TSendRecordModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : rows_;
}

int TSendRecordModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TSendRecordModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rows_ ||
        (role != Qt::DisplayRole && role != Qt::EditRole && role != Qt::ToolTipRole))
        return {};
    const Packet* p = packet(index.row() / PacketRows);
    const int at = index.row() % PacketRows;
    if (!p || at >= p->size())
        return {};
    const Row& r = p->at(at);
    if (role == Qt::ToolTipRole)
        return index.column() == colContent ? QVariant(r.content) : QVariant();
    switch (index.column()) {
    case colSubmitId:
        return r.submitId;
    case colCustomerName:
        return r.customerName;
    case colSubmitTime:
        return r.submitTime.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    case colPhoneCount:
        return r.phoneCount;
    case colMsgCount:
        return r.msgCount;
    case colContent:
        return r.content;
    default:
        return {};
    }
}

QVariant TSendRecordModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case colSubmitId:
        return QStringLiteral("流水号");
    case colCustomerName:
        return QStringLiteral("账号");
    case colSubmitTime:
        return QStringLiteral("提交时间");
    case colPhoneCount:
        return QStringLiteral("号码个数");
    case colMsgCount:
        return QStringLiteral("信息条数");
    case colContent:
        return QStringLiteral("发送内容");
    default:
        return {};
    }
}

Qt::ItemFlags TSendRecordModel::flags(const QModelIndex& index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

bool TSendRecordModel::canFetchMore(const QModelIndex& parent) const
{
    return !parent.isValid() && active_ && !atEnd_ && !broken_;
}

void TSendRecordModel::fetchMore(const QModelIndex& parent)
{
    if (!canFetchMore(parent))
        return;
    Packet rows;
    QSqlError err;
    if (!readPacket(&last_, false, rows, &err)) {
        fail(err);
        return;
    }
    atEnd_ = rows.size() < PacketRows;
    if (rows.isEmpty())
        return;
    const int index = int(anchors_.size());
    anchors_.append(Key{rows.first().submitTime, rows.first().submitId});
    last_ = Key{rows.last().submitTime, rows.last().submitId};
    const int n = int(rows.size());
    beginInsertRows(QModelIndex(), rows_, rows_ + n - 1);
    rows_ += n;
    keep(index, std::move(rows));
    endInsertRows();
}

#pragma once
// Read-only table model over a customer's send batches.
//
// A customer of a bulk service collects many batches, each with a text of up
// to a few hundred characters, and the MySQL driver keeps a whole result on
// the client side. So the model never runs the listing as one result: it
// counts the listing with count(*) and reads the rows in packets of 100 as the
// grid scrolls, each packet a statement of its own that continues after the
// last row read (keyset paging on submittime, submitid: the order of the index
// (customername, submittime), which carries the key submitid). Only the most
// recently used packets stay in memory; a packet read earlier and dropped is
// read again from the first row it held when the grid shows it again.
//
// No statement stays open between calls, so the data module's own operations
// on the same connection are never held up by the grid.

#include "data/uDM.h"
#include "data/uWallClock.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSqlError>

#include <functional>

class TSendRecordModel final : public QAbstractTableModel
{
    Q_OBJECT
public:
    static constexpr int PacketRows = 100;
    static constexpr int CachedPackets = 40;

    // Grid columns, in the grid's order.
    enum Column {
        colSubmitId,
        colCustomerName,
        colSubmitTime,
        colPhoneCount,
        colMsgCount,
        colContent,
        ColumnCount
    };

    explicit TSendRecordModel(QObject* parent = nullptr);

    // Starts a listing. select is the listing statement, which must return
    // submitid, content, customerName, submittime, phonecount, msgcount in this
    // order (submittime as a date-time or as text "yyyy-MM-dd hh:mm:ss") and
    // end in its where clause; countSql counts the same rows; params
    // are the values of both. On success the first packet is shown and *total
    // is the number of rows of the listing. On failure the model is empty and
    // *err holds the server's error. counted, when given, runs with the count
    // once everything has been read and before the grid shows the rows.
    bool Open(const QString& select, const QString& countSql, const TSqlParams& params, qint64* total,
              QSqlError* err, const std::function<void(qint64)>& counted = {});
    // The statement of one packet: the listing's first rows, or those after
    // (from, when inclusive) the row given by :pagetime, :pagetime2 (both its
    // submittime) and :pageid (its submitid). indexHint names the index
    // (customername, submittime) that the project's schema gives the table.
    static QString PacketSql(const QString& select, bool first, bool inclusive = false,
                             bool indexHint = true);
    // Empties the model.
    void Clear();
    bool IsActive() const { return active_; }
    qint64 Total() const { return total_; }
    // Packets held in memory now (for tests and benchmarks).
    int CachedPacketCount() const { return int(cache_.size()); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

signals:
    // Reading a packet failed while the grid scrolled; the listing stops
    // there. Delivered after the grid's own event has been handled.
    void fetchFailed(const QSqlError& error);

private:
    struct Row
    {
        int submitId = 0;
        QString content;
        QString customerName;
        QDateTime submitTime;
        int phoneCount = 0;
        int msgCount = 0;
    };
    struct Key
    {
        QDateTime submitTime;
        int submitId = 0;
    };
    using Packet = QList<Row>;

    // Reads up to PacketRows rows that follow *from (or begin at it when
    // inclusive); from the first row when from is null.
    bool readPacket(const Key* from, bool inclusive, Packet& out, QSqlError* err) const;
    const Packet* packet(int index) const;
    void keep(int index, Packet rows) const;
    void fail(const QSqlError& err) const;

    QString select_;
    TSqlParams params_;
    bool active_ = false;
    bool atEnd_ = true;
    mutable bool broken_ = false;
    qint64 total_ = 0;
    int rows_ = 0;
    QList<Key> anchors_; // first row of every packet read so far
    Key last_;           // last row read so far
    mutable QHash<int, Packet> cache_;
    mutable QList<int> recent_;     // cached packets, most recently used last
    mutable bool indexHint_ = true; // false once the server refused the index's name
};

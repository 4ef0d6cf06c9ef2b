#include "send/import/uCellList.h"

#include <limits>

namespace {
constexpr qint64 MaxOffset = std::numeric_limits<quint32>::max();
} // namespace

bool TCellList::push(const TCell& c)
{
    if (full_)
        return false;
    const qint64 bytes = qint64(text_.size()) + qint64(cells_.size() + 1) * qint64(sizeof(TCell));
    if (bytes > limit_) {
        full_ = true;
        return false;
    }
    cells_.push_back(c);
    return true;
}

bool TCellList::addText(qint64 row, int column, QByteArrayView text)
{
    if (column < 0 || column >= MaxColumns)
        return true; // beyond the columns looked at
    if (row < 0 || row > MaxOffset || qint64(text_.size()) + text.size() > MaxOffset) {
        full_ = true;
        return false;
    }
    const size_t from = text_.size();
    if (!push(TCell{quint32(row), quint16(column), 0, quint32(from), quint32(text.size())}))
        return false;
    text_.append(text.data(), size_t(text.size()));
    return true;
}

bool TCellList::addShared(qint64 row, int column, qint64 index)
{
    if (column < 0 || column >= MaxColumns || index < 0 || index > MaxOffset)
        return true; // beyond the columns looked at, or a string that is not there: an empty cell
    if (row < 0 || row > MaxOffset) {
        full_ = true;
        return false;
    }
    return push(TCell{quint32(row), quint16(column), 1, quint32(index), 0});
}

bool TCellList::repeatLast(int column)
{
    if (cells_.empty() || column < 0 || column >= MaxColumns)
        return !cells_.empty();
    TCell c = cells_.back();
    c.column = quint16(column);
    return push(c);
}

bool TCellList::repeatCells(qsizetype from, qsizetype to, qint64 row)
{
    if (row < 0 || row > MaxOffset) {
        full_ = true;
        return false;
    }
    for (qsizetype i = from; i < to; ++i) {
        TCell c = cells_[size_t(i)];
        c.row = quint32(row);
        if (!push(c))
            return false;
    }
    return true;
}

void TCellList::forEachCell(TCellFn f) const
{
    const QByteArrayView text(text_.data(), qsizetype(text_.size()));
    for (const TCell& c : cells_) {
        const QByteArrayView cell = c.shared ? (shared_ ? shared_->at(c.from) : QByteArrayView())
                                             : text.sliced(c.from, c.length);
        if (!f(c.row, c.column, cell))
            return;
    }
}

#include "send/uPhoneList.h"

#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStringDecoder>
#include <QStyledItemDelegate>
#include <QWheelEvent>
#include <algorithm>
#include <cstring>
#include <vector>

QString Utf8Text(QByteArrayView utf8)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(utf8);
}

// --- model ---

TPhoneListModel::TPhoneListModel(QObject* parent) : QAbstractListModel(parent) {}

int TPhoneListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(announced_);
}

QVariant TPhoneListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= announced_)
        return {};
    if (role == Qt::DisplayRole || role == Qt::EditRole)
        return line(index.row());
    return {};
}

QByteArrayView TPhoneListModel::lineUtf8(qsizetype row) const
{
    if (row < 0 || row >= starts_.size())
        return {};
    const qsizetype b = starts_[row];
    return QByteArrayView(buf_).sliced(b, end(row) - 1 - b);
}

QStringList TPhoneListModel::lines() const
{
    QStringList out;
    out.reserve(announced_);
    for (qsizetype i = 0; i < announced_; ++i)
        out << line(i);
    return out;
}

QString TPhoneListModel::text() const
{
    const qsizetype size = announced_ < starts_.size() ? starts_[announced_] : buf_.size();
    return Utf8Text(QByteArrayView(buf_).first(size));
}

void TPhoneListModel::reserve(qsizetype lines, qsizetype bytes)
{
    starts_.reserve(starts_.size() + lines);
    buf_.reserve(buf_.size() + bytes);
}

void TPhoneListModel::stage(QStringView line)
{
    starts_.append(buf_.size());
    // Numbers are mostly ASCII: copy those straight, convert the rest.
    bool ascii = true;
    for (QChar c : line)
        if (c.unicode() >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii) {
        const qsizetype at = buf_.size();
        buf_.resize(at + line.size());
        char* out = buf_.data() + at;
        for (QChar c : line)
            *out++ = char(c.unicode());
    } else {
        buf_.append(line.toUtf8());
    }
    buf_.append('\n');
}

void TPhoneListModel::stageUtf8(QByteArrayView line)
{
    const qsizetype at = buf_.size();
    starts_.append(at);
    buf_.resize(at + line.size() + 1);
    char* out = buf_.data() + at;
    std::memcpy(out, line.data(), size_t(line.size()));
    out[line.size()] = '\n';
}

void TPhoneListModel::announce()
{
    const qsizetype total = starts_.size();
    if (total == announced_)
        return;
    beginInsertRows(QModelIndex(), int(announced_), int(total - 1));
    announced_ = total;
    endInsertRows();
}

void TPhoneListModel::append(const QStringList& lines)
{
    qsizetype chars = 0;
    for (const QString& s : lines)
        chars += s.size() + 1;
    reserve(lines.size(), chars);
    for (const QString& s : lines)
        stage(s);
    announce();
}

void TPhoneListModel::truncate(qsizetype row)
{
    row = std::max<qsizetype>(row, 0);
    if (row >= starts_.size())
        return;
    const bool shown = announced_ > row;
    if (shown)
        beginRemoveRows(QModelIndex(), int(row), int(announced_ - 1));
    buf_.truncate(starts_[row]);
    starts_.resize(row);
    announced_ = std::min(announced_, row);
    if (shown)
        endRemoveRows();
}

void TPhoneListModel::removeRanges(const QList<QPair<qsizetype, qsizetype>>& ranges)
{
    announce();
    if (ranges.isEmpty())
        return;
    beginResetModel();
    // Compact buffer and offsets in place, keeping the rows between the ranges.
    char* data = buf_.data();
    qsizetype write = 0;    // next free position in buf_
    qsizetype writeRow = 0; // next free row in starts_
    qsizetype row = 0;
    auto keep = [&](qsizetype first, qsizetype last) { // rows [first, last)
        if (first >= last)
            return;
        const qsizetype from = starts_[first];
        const qsizetype to = end(last - 1);
        const qsizetype shift = from - write;
        if (shift != 0) {
            std::memmove(data + write, data + from, size_t(to - from));
            for (qsizetype r = first; r < last; ++r)
                starts_[writeRow + (r - first)] = starts_[r] - shift;
        } else if (writeRow != first) {
            for (qsizetype r = first; r < last; ++r)
                starts_[writeRow + (r - first)] = starts_[r];
        }
        writeRow += last - first;
        write += to - from;
    };
    for (const auto& r : ranges) {
        const qsizetype a = std::clamp<qsizetype>(r.first, 0, starts_.size());
        const qsizetype b = std::clamp<qsizetype>(r.second + 1, a, starts_.size());
        keep(row, a);
        row = std::max(row, b);
    }
    keep(row, starts_.size());
    buf_.truncate(write);
    starts_.resize(writeRow);
    announced_ = writeRow;
    endResetModel();
}

void TPhoneListModel::clear()
{
    beginResetModel();
    buf_ = QByteArray();
    starts_ = QList<qsizetype>();
    announced_ = 0;
    endResetModel();
}

// --- view ---

namespace {
// Paints a line of the list from what its cell can show: the line's text is
// cut after as many characters as the cell has pixels, so neither the copy
// nor the text layout grows with the length of the line.
class TPhoneItemDelegate final : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        const auto* model = qobject_cast<const TPhoneListModel*>(index.model());
        if (!model) {
            QStyledItemDelegate::initStyleOption(option, index);
            return;
        }
        option->index = index;
        option->features |= QStyleOptionViewItem::HasDisplay;
        option->text = VisiblePart(model->lineUtf8(index.row()), option->rect.width());
        option->backgroundBrush = QBrush();
        option->styleObject = nullptr;
    }
};
} // namespace

QString VisiblePart(QStringView line, int width)
{
    // A character that is drawn takes at least one pixel.
    qsizetype keep = std::max(width, 0) + 1;
    if (line.size() <= keep)
        return line.toString();
    if (line[keep - 1].isHighSurrogate())
        --keep;
    // The mark tells that the line goes on even where the kept part fits the cell.
    return line.first(keep).toString() + QChar(0x2026);
}

QString VisiblePart(QByteArrayView utf8, int width)
{
    return VisiblePart(QStringView(Utf8Prefix(utf8, qsizetype(std::max(width, 0)) + 2)), width);
}

QString Utf8Prefix(QByteArrayView utf8, qsizetype chars)
{
    // A UTF-16 unit takes at most three bytes of UTF-8; the cut is moved back
    // to the start of a character, which loses at most one.
    qsizetype bytes = std::max<qsizetype>(chars, 0) * 3 + 4;
    if (bytes >= utf8.size())
        return Utf8Text(utf8);
    while (bytes > 0 && (uchar(utf8[bytes]) & 0xC0) == 0x80)
        --bytes;
    return Utf8Text(utf8.first(bytes));
}

TPhoneListView::TPhoneListView(QWidget* parent) : QAbstractItemView(parent)
{
    setItemDelegate(new TPhoneItemDelegate(this));
    setSelectionMode(ExtendedSelection);
    setSelectionBehavior(SelectRows);
    setEditTriggers(NoEditTriggers);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setAutoScroll(false);
}

qsizetype TPhoneListView::rows() const
{
    return model() ? model()->rowCount(rootIndex()) : 0;
}

int TPhoneListView::rowHeight() const
{
    return std::max(1, fontMetrics().height() + 2);
}

void TPhoneListView::setColumnCount(int n)
{
    columns_ = std::max(1, n);
    updateGeometries();
    viewport()->update();
}

int TPhoneListView::rowsPerColumn() const
{
    return std::max(1, viewport()->height() / rowHeight());
}

int TPhoneListView::columnWidth() const
{
    return std::max(1, viewport()->width() / columns_);
}

int TPhoneListView::firstColumn() const
{
    return horizontalScrollBar()->value();
}

QRect TPhoneListView::visualRect(const QModelIndex& index) const
{
    if (!index.isValid() || index.row() >= rows())
        return {};
    const int r = rowsPerColumn();
    const qsizetype col = index.row() / r - firstColumn();
    const int w = columnWidth();
    return QRect(int(col * w), (index.row() % r) * rowHeight(), w, rowHeight());
}

void TPhoneListView::scrollTo(const QModelIndex& index, ScrollHint)
{
    if (!index.isValid())
        return;
    const int col = index.row() / rowsPerColumn();
    QScrollBar* bar = horizontalScrollBar();
    if (col < bar->value())
        bar->setValue(col);
    else if (col >= bar->value() + columns_)
        bar->setValue(col - columns_ + 1);
}

QModelIndex TPhoneListView::indexAt(const QPoint& p) const
{
    if (!model() || p.x() < 0 || p.y() < 0)
        return {};
    const int r = rowsPerColumn();
    const int rowInCol = p.y() / rowHeight();
    if (rowInCol >= r || p.x() >= columns_ * columnWidth()) // the strip right of the last whole column
        return {};
    const qsizetype row = qsizetype(p.x() / columnWidth() + firstColumn()) * r + rowInCol;
    if (row >= rows())
        return {};
    return model()->index(int(row), 0, rootIndex());
}

QModelIndex TPhoneListView::moveCursor(CursorAction action, Qt::KeyboardModifiers)
{
    const qsizetype n = rows();
    if (n == 0)
        return {};
    const QModelIndex cur = currentIndex();
    qsizetype row = cur.isValid() ? cur.row() : 0;
    const qsizetype r = rowsPerColumn();
    switch (action) {
    case MoveUp:
    case MovePrevious:
        --row;
        break;
    case MoveDown:
    case MoveNext:
        ++row;
        break;
    case MoveLeft:
        row -= r;
        break;
    case MoveRight:
        row += r;
        break;
    case MoveHome:
        row = 0;
        break;
    case MoveEnd:
        row = n - 1;
        break;
    case MovePageUp:
        row -= r * columns_;
        break;
    case MovePageDown:
        row += r * columns_;
        break;
    }
    row = std::clamp<qsizetype>(row, 0, n - 1);
    return model()->index(int(row), 0, rootIndex());
}

int TPhoneListView::horizontalOffset() const
{
    return firstColumn() * columnWidth();
}

int TPhoneListView::verticalOffset() const
{
    return 0;
}

bool TPhoneListView::isIndexHidden(const QModelIndex&) const
{
    return false;
}

qsizetype TPhoneListView::rowNear(const QPoint& p) const
{
    const int w = columnWidth();
    const int h = rowHeight();
    const int r = rowsPerColumn();
    // Floor division: points left of the viewport lie in earlier columns.
    const qsizetype col = firstColumn() + (p.x() >= 0 ? p.x() / w : -((-p.x() + w - 1) / w));
    const int k = std::clamp(p.y() >= 0 ? p.y() / h : -1, 0, r - 1);
    return std::clamp<qsizetype>(col * r + k, 0, rows() - 1);
}

void TPhoneListView::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command)
{
    if (!model() || !selectionModel() || rows() == 0)
        return;
    // The item view hands over the rectangle from the anchor (its first corner)
    // to the line under the mouse or the new current line (its second corner).
    // A list selects the run of lines between the two in list order, across
    // columns, not a rectangle of the flowed layout.
    qsizetype a = rowNear(rect.topLeft());
    qsizetype b = rowNear(rect.bottomRight());
    if (a > b)
        std::swap(a, b);
    const QItemSelection sel(model()->index(int(a), 0, rootIndex()), model()->index(int(b), 0, rootIndex()));
    selectionModel()->select(sel, command);
}

QRegion TPhoneListView::visualRegionForSelection(const QItemSelection& selection) const
{
    QRegion region;
    const int r = rowsPerColumn();
    const qsizetype firstVisible = qsizetype(firstColumn()) * r;
    const qsizetype lastVisible = firstVisible + qsizetype(columns_ + 1) * r - 1;
    const int w = columnWidth();
    const int h = rowHeight();
    for (const QItemSelectionRange& range : selection) {
        const qsizetype a = std::max<qsizetype>(range.top(), firstVisible);
        const qsizetype b = std::min<qsizetype>(range.bottom(), lastVisible);
        for (qsizetype c = a / r; a <= b && c <= b / r; ++c) {
            const qsizetype top = std::max(a, c * r) - c * r;
            const qsizetype bottom = std::min(b, c * r + r - 1) - c * r;
            region += QRect(int((c - firstColumn()) * w), int(top * h), w, int((bottom - top + 1) * h));
        }
    }
    return region;
}

void TPhoneListView::updateGeometries()
{
    const qsizetype n = rows();
    const qsizetype r = rowsPerColumn();
    const qsizetype totalCols = (n + r - 1) / r;
    QScrollBar* bar = horizontalScrollBar();
    bar->setSingleStep(1);
    bar->setPageStep(columns_);
    bar->setRange(0, int(std::max<qsizetype>(0, totalCols - columns_)));
    QAbstractItemView::updateGeometries();
}

void TPhoneListView::paintEvent(QPaintEvent* event)
{
    QPainter painter(viewport());
    const qsizetype n = rows();
    if (n == 0 || !model())
        return;
    const int r = rowsPerColumn();
    const int w = columnWidth();
    const int h = rowHeight();
    const QRect area = event->rect();
    const qsizetype c0 = std::max(0, area.left()) / w;
    const qsizetype c1 = std::min<qsizetype>(std::max(0, area.right()) / w, columns_ - 1);
    const int r0 = std::clamp(area.top() / h, 0, r - 1);
    const int r1 = std::clamp(area.bottom() / h, 0, r - 1);
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    // Enabled and active (window active, list focused) as the view says, so a
    // selected line shows in the highlight of the right colour group.
    const QStyle::State base = option.state & ~(QStyle::State_Selected | QStyle::State_HasFocus);
    const QModelIndex current = currentIndex();
    // Which of the painted rows are selected, from one walk over the selection:
    // asking the selection model row by row costs every range for every row.
    const qsizetype first = (c0 + firstColumn()) * r;
    const qsizetype last = std::min<qsizetype>((c1 + firstColumn()) * r + r - 1, n - 1);
    std::vector<char> selected(size_t(std::max<qsizetype>(0, last - first + 1)), 0);
    if (QItemSelectionModel* sm = selectionModel(); sm && !selected.empty()) {
        for (const QItemSelectionRange& range : sm->selection()) {
            const qsizetype a = std::max<qsizetype>(range.top(), first);
            const qsizetype b = std::min<qsizetype>(range.bottom(), last);
            if (range.isValid() && a <= b)
                std::fill(selected.begin() + (a - first), selected.begin() + (b - first + 1), 1);
        }
    }
    for (qsizetype c = c0; c <= c1; ++c) {
        const qsizetype col = c + firstColumn();
        for (int k = r0; k <= r1; ++k) {
            const qsizetype row = col * r + k;
            if (row >= n)
                break;
            const QModelIndex idx = model()->index(int(row), 0, rootIndex());
            option.rect = QRect(int(c * w), k * h, w, h);
            option.state = base;
            if (selected[size_t(row - first)])
                option.state |= QStyle::State_Selected;
            if (idx == current && hasFocus())
                option.state |= QStyle::State_HasFocus;
            itemDelegateForIndex(idx)->paint(&painter, option, idx);
        }
    }
}

void TPhoneListView::resizeEvent(QResizeEvent* event)
{
    QAbstractItemView::resizeEvent(event);
    updateGeometries();
}

void TPhoneListView::scrollContentsBy(int, int)
{
    viewport()->update();
}

void TPhoneListView::wheelEvent(QWheelEvent* event)
{
    // The list only scrolls sideways: the wheel turns its horizontal scroll bar.
    QCoreApplication::sendEvent(horizontalScrollBar(), event);
}

void TPhoneListView::currentChanged(const QModelIndex& current, const QModelIndex& previous)
{
    QAbstractItemView::currentChanged(current, previous);
    // Keys move the current line out of sight; bring it into view.
    if (current.isValid() && isVisible())
        scrollTo(current);
}

void TPhoneListView::rowsInserted(const QModelIndex& parent, int start, int end)
{
    QAbstractItemView::rowsInserted(parent, start, end);
    updateGeometries();
    if (isVisible())
        viewport()->update();
}

void TPhoneListView::reset()
{
    QAbstractItemView::reset();
    updateGeometries();
    viewport()->update();
}

QList<QPair<qsizetype, qsizetype>> TPhoneListView::selectedRanges() const
{
    QList<QPair<qsizetype, qsizetype>> out;
    if (!selectionModel())
        return out;
    const QItemSelection sel = selectionModel()->selection();
    out.reserve(sel.size());
    for (const QItemSelectionRange& range : sel)
        if (range.isValid())
            out.append({range.top(), range.bottom()});
    std::sort(out.begin(), out.end());
    // Merge overlapping and touching ranges.
    QList<QPair<qsizetype, qsizetype>> merged;
    for (const auto& p : out) {
        if (!merged.isEmpty() && p.first <= merged.last().second + 1)
            merged.last().second = std::max(merged.last().second, p.second);
        else
            merged.append(p);
    }
    return merged;
}

void TPhoneListView::selectRows(qsizetype first, qsizetype last)
{
    if (!model() || !selectionModel() || first > last)
        return;
    selectionModel()->select(
        QItemSelection(model()->index(int(first), 0, rootIndex()), model()->index(int(last), 0, rootIndex())),
        QItemSelectionModel::Select);
}

// --- import helpers ---

void ForEachLine(QStringView text, const std::function<bool(QStringView)>& f)
{
    const QChar* p = text.data();
    const qsizetype n = text.size();
    qsizetype b = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = p[i].unicode();
        if (c == u'\n' || c == u'\r') {
            if (!f(text.mid(b, i - b)))
                return;
            if (c == u'\r' && i + 1 < n && p[i + 1].unicode() == u'\n')
                ++i;
            b = i + 1;
        }
    }
    if (b < n)
        f(text.mid(b));
}

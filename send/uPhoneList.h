#pragma once
// The phone list of the send page: a compact line store with its model, and a
// view that flows the lines top to bottom into columns. Both stay fast at a
// million lines: nothing here walks every line to lay out, paint or select.

#include <QAbstractItemView>
#include <QAbstractListModel>
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <functional>

// Decodes UTF-8 as it stands: a byte-order mark at its start is a character of
// the text (U+FEFF), kept as it was entered; QString::fromUtf8 would drop it.
QString Utf8Text(QByteArrayView utf8);

// Lines kept in one UTF-8 buffer, each followed by a line feed, plus the start
// offset of every line. UTF-8 keeps a list of numbers at about the size of the
// file it came from; the batch's number text is decoded from it once, at send.
class TPhoneListModel final : public QAbstractListModel
{
    Q_OBJECT
public:
    explicit TPhoneListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    qsizetype count() const { return announced_; }
    QString line(qsizetype row) const { return Utf8Text(lineUtf8(row)); }
    // The line's bytes in UTF-8, without its line feed.
    QByteArrayView lineUtf8(qsizetype row) const;
    QStringList lines() const;
    // Every line, each followed by a line feed.
    QString text() const;

    // Adding runs in two steps: stage lines, then announce them to views.
    void reserve(qsizetype lines, qsizetype bytes);
    void stage(QStringView line);
    // A line given in UTF-8; it must not hold a line feed.
    void stageUtf8(QByteArrayView line);
    qsizetype staged() const { return starts_.size(); }
    void announce();
    void append(const QStringList& lines);
    // Drops every line from row on, staged or announced (an add that failed).
    void truncate(qsizetype row);

    // Removes the rows of sorted, disjoint, inclusive ranges in one pass.
    void removeRanges(const QList<QPair<qsizetype, qsizetype>>& ranges);
    void clear();

private:
    qsizetype end(qsizetype row) const { return row + 1 < starts_.size() ? starts_[row + 1] : buf_.size(); }

    QByteArray buf_;
    QList<qsizetype> starts_;
    qsizetype announced_ = 0;
};

// A multi-column list over TPhoneListModel: lines flow top to bottom, column
// after column; the columns share the width equally; the list scrolls sideways
// by whole columns. Layout, painting and selection work on the visible rows
// and on selection ranges only.
class TPhoneListView final : public QAbstractItemView
{
    Q_OBJECT
public:
    explicit TPhoneListView(QWidget* parent = nullptr);

    void setColumnCount(int n);
    int columnCount() const { return columns_; }
    int rowsPerColumn() const;
    int columnWidth() const;
    int firstColumn() const;

    QRect visualRect(const QModelIndex& index) const override;
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
    QModelIndex indexAt(const QPoint& point) const override;

    // Selected rows as sorted, disjoint, inclusive ranges.
    QList<QPair<qsizetype, qsizetype>> selectedRanges() const;
    // Selects rows [first, last] (adds to the selection).
    void selectRows(qsizetype first, qsizetype last);

protected:
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    bool isIndexHidden(const QModelIndex& index) const override;
    void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) override;
    QRegion visualRegionForSelection(const QItemSelection& selection) const override;
    void updateGeometries() override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void wheelEvent(QWheelEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void rowsInserted(const QModelIndex& parent, int start, int end) override;
    void reset() override;

private:
    qsizetype rows() const;
    // The line at p, or the nearest one in list order when p lies beside the
    // lines (outside the viewport, below a column's last line).
    qsizetype rowNear(const QPoint& p) const;
    int rowHeight() const;
    int columns_ = 1;
};

// What a cell of the given width in pixels shows of a line: the line itself,
// or, when it is longer than the cell can show, its start followed by "…".
QString VisiblePart(QStringView line, int width);
// The same for a line held in UTF-8; only the part the cell can show is decoded.
QString VisiblePart(QByteArrayView utf8, int width);

// The start of a UTF-8 text decoded: at least its first chars UTF-16 units, or
// all of it when it is shorter. The cost does not grow with the text's length.
QString Utf8Prefix(QByteArrayView utf8, qsizetype chars);

// Calls f for every line of text; lines end at CR LF, LF or CR, and a last
// line without a line end counts. f returns false to stop early.
void ForEachLine(QStringView text, const std::function<bool(QStringView)>& f);

// True when the line has a character above code 32 (not blank after trimming).
inline bool HasContent(QStringView line)
{
    for (QChar c : line)
        if (c.unicode() > 32)
            return true;
    return false;
}

#pragma once
// The cells of a worksheet as a workbook reader collects them while the
// sheet's XML goes by: its own texts one after another in one buffer, and per
// cell its place and where its text lies (or which shared string it is).
// About 16 bytes a cell besides the text, so a million-row sheet takes a
// fraction of its XML.

#include "send/import/uImportJob.h"

#include <QByteArray>
#include <string>
#include <vector>

// The shared strings of a workbook, in UTF-8, one after another.
class TSharedStrings
{
public:
    // Appends to the string being read; end() closes it.
    std::string& text() { return text_; }
    void end() { ends_.push_back(text_.size()); }
    qint64 size() const { return qint64(ends_.size()); }
    QByteArrayView at(qint64 i) const
    {
        if (i < 0 || i >= qint64(ends_.size()))
            return {};
        const size_t b = i == 0 ? 0 : ends_[size_t(i - 1)];
        return QByteArrayView(text_.data() + b, qsizetype(ends_[size_t(i)] - b));
    }

private:
    std::string text_;
    std::vector<size_t> ends_;
};

class TCellList final : public TCellTable
{
public:
    // limitBytes: what the list may take; an add beyond it fails.
    explicit TCellList(qint64 limitBytes) : limit_(limitBytes) {}

    // Cells are added row by row, in order. Each returns false when the list is full.
    bool addText(qint64 row, int column, QByteArrayView text);
    bool addShared(qint64 row, int column, qint64 index);
    // The text of the cell added last, once more, in another column of its row.
    bool repeatLast(int column);
    // The cells [from, to) (one row's), once more, in another row.
    bool repeatCells(qsizetype from, qsizetype to, qint64 row);
    qsizetype size() const { return qsizetype(cells_.size()); }
    bool full() const { return full_; }

    // Where the shared strings are, once they are read.
    void setSharedStrings(const TSharedStrings* strings) { shared_ = strings; }
    void forEachCell(TCellFn f) const override;

private:
    struct TCell
    {
        quint32 row;
        quint16 column;
        quint16 shared; // 1: from is the index of a shared string
        quint32 from;
        quint32 length;
    };
    bool push(const TCell& c);

    qint64 limit_;
    bool full_ = false;
    std::string text_;
    std::vector<TCell> cells_;
    const TSharedStrings* shared_ = nullptr;
};

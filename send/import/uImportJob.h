#pragma once
// What every list reader shares: the job of one import (where the lines go,
// the limits, the progress hook, how it ended and what the user is told), the
// table that a reader of a table format hands over, and the steps that turn a
// table into lines: choose the number column, skip the header, feed the list.

#include "send/uPhoneImport.h"

#include <QByteArrayView>
#include <QString>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

// Columns of a table looked at for numbers: as many as a worksheet can have (A to XFD).
constexpr int MaxColumns = 16384;

// A reference to a callable, cheap to pass and to call (no allocation); the
// callable must outlive the reference.
template <typename Signature> class TFunctionRef;
template <typename R, typename... Args> class TFunctionRef<R(Args...)>
{
public:
    template <typename F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, TFunctionRef> && std::is_invocable_r_v<R, F&, Args...>)
    TFunctionRef(F&& f) // NOLINT: converts like std::function does
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* o, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(args)...);
          })
    {
    }
    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};

// One cell: its row (rows count up, gaps allowed), its column (0 = first) and
// its text in UTF-8. Returns false to end the walk.
using TCellFn = TFunctionRef<bool(qint64 row, int column, QByteArrayView cell)>;

// A table as a reader hands it over: its cells, row after row, as often as
// they are asked for. Empty cells may be left out.
class TCellTable
{
public:
    virtual ~TCellTable() = default;
    virtual void forEachCell(TCellFn f) const = 0;
};

// True when the text has a character above code 32 (is not blank after
// trimming); in UTF-8 the characters of code 32 and below are single bytes.
bool HasContent(QByteArrayView text);

// Text without the characters of code 32 and below at its ends (UTF-8: they are single bytes).
QByteArrayView TrimmedText(QByteArrayView s);

// The formats an import reads, for messages.
QString FormatsThatWork();

class TImportJob
{
public:
    // subject: how messages name what is imported ("文件 "…" ", "剪贴板中的内容").
    TImportJob(QString fileName, QString subject, qint64 maxBytes, const TPhoneImport::Sink& sink,
               const std::function<void()>& progress);

    const QString& fileName() const { return fileName_; }
    qint64 maxBytes() const { return maxBytes_; }

    // Called once per unit of work (a line, a cell, a piece of a file); the
    // page's progress hook runs every 1024 calls.
    void tick()
    {
        if ((++ticks_ & 1023) == 0 && progress_)
            progress_();
    }
    // One line for the list; false when the sink asked to stop.
    bool take(QByteArrayView line) { return sink_(line); }

    // Ends the import with an outcome and the message for the user.
    TImportOutcome fail(TImportOutcome outcome, const QString& message);
    TImportOutcome stopped() { return fail(TImportOutcome::Stopped, QString()); }
    TImportOutcome readFailed(const QString& why);
    // Larger than an import may be; size: the file's size when that is what is too large.
    TImportOutcome tooLarge(qint64 size = -1);
    // Not a readable workbook of the kind named ("Excel 工作簿（*.xlsx）"): damaged, or no workbook at all.
    TImportOutcome damaged(const QString& kind, const QString& detail);
    TImportOutcome encrypted();
    // Not a list at all: what it is instead ("PDF 文档").
    TImportOutcome notAList(const QString& what);

    // The number column of the table goes to the sink: the first column in
    // which most non-empty cells are plausible mobile numbers. The first row
    // that holds anything is a header, and skipped, where its cell in that
    // column does not read as a number. A cell holding line breaks becomes
    // one line, blanks in their place. where: the table in messages.
    TImportOutcome takeNumberColumn(const TCellTable& table, const QString& where);

    const QString& message() const { return message_; }
    int column() const { return column_; }
    bool headerSkipped() const { return headerSkipped_; }

private:
    QString fileName_;
    QString subject_;
    qint64 maxBytes_;
    const TPhoneImport::Sink& sink_;
    std::function<void()> progress_;
    unsigned ticks_ = 0;
    QString message_;
    int column_ = -1;
    bool headerSkipped_ = false;
};

#include "send/import/uImportJob.h"

#include "app/uDataType.h"
#include "send/uPhoneCheck.h"
#include "send/uPhoneList.h"
#include "send/import/uTextInput.h"

#include <QList>
#include <cstring>

namespace {

const QString NothingAdded = QStringLiteral("\n未添加任何号码。");

// True when a cell reads as a number of some kind (digits, perhaps with + - ( ) . and
// blanks): a first row whose cell does not is taken for a header.
bool looksLikeNumber(QByteArrayView cell)
{
    const QByteArrayView t = TrimmedText(cell);
    bool digit = false;
    for (char c : t) {
        if (c >= '0' && c <= '9')
            digit = true;
        else if (!std::strchr("+-(). ", c) || c == 0)
            return false;
    }
    return digit;
}

// Counts, per column, the non-empty cells and those that look like mobile
// numbers, and picks the number column.
class TColumnStats
{
public:
    // A cell with content; firstRow: it lies in the table's first non-empty row.
    void add(int column, bool firstRow, QByteArrayView cell)
    {
        if (column < 0 || column >= MaxColumns)
            return;
        if (column >= cells_.size()) {
            cells_.resize(column + 1, 0);
            plausible_.resize(column + 1, 0);
        }
        // A header cell is no vote for or against its column.
        if (firstRow && !looksLikeNumber(cell))
            return;
        ++cells_[column];
        if (IsPlausibleMobile(cell))
            ++plausible_[column];
    }
    // The first column in which most non-empty cells look like mobile numbers; -1 if none.
    int choose() const
    {
        for (qsizetype c = 0; c < cells_.size(); ++c)
            if (cells_[c] > 0 && plausible_[c] * 2 > cells_[c])
                return int(c);
        return -1;
    }

private:
    QList<qint64> cells_;
    QList<qint64> plausible_;
};

// A cell becomes one line of valid UTF-8: line breaks inside it (a quoted
// CSV field, a wrapped spreadsheet cell) turn into blanks, bytes that are no
// UTF-8 into replacement characters.
QByteArrayView oneLine(QByteArrayView cell, QByteArray& scratch)
{
    bool bad = false;
    if (ValidUtf8Prefix(reinterpret_cast<const uchar*>(cell.data()), cell.size(), &bad) != cell.size() || bad) {
        scratch = Utf8Text(cell).toUtf8();
        cell = scratch;
    }
    if (!cell.contains('\n') && !cell.contains('\r'))
        return cell;
    QByteArray out = cell.toByteArray();
    out.replace("\r\n", " ");
    out.replace('\r', ' ');
    out.replace('\n', ' ');
    scratch = std::move(out);
    return scratch;
}

} // namespace

QByteArrayView TrimmedText(QByteArrayView s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && uchar(s[b]) <= 32)
        ++b;
    while (e > b && uchar(s[e - 1]) <= 32)
        --e;
    return s.sliced(b, e - b);
}

bool HasContent(QByteArrayView text)
{
    for (char c : text)
        if (uchar(c) > 32)
            return true;
    return false;
}

QString FormatsThatWork()
{
    return QStringLiteral("文本文件（*.txt）、CSV 文件（*.csv、*.tsv）、Excel 工作簿（*.xlsx、*.xlsm、*.xls）、"
                          "OpenDocument 表格（*.ods）");
}

TImportJob::TImportJob(QString fileName, QString subject, qint64 maxBytes, const TPhoneImport::Sink& sink,
                       const std::function<void()>& progress)
    : fileName_(std::move(fileName)), subject_(std::move(subject)), maxBytes_(maxBytes), sink_(sink),
      progress_(progress)
{
}

TImportOutcome TImportJob::fail(TImportOutcome outcome, const QString& message)
{
    message_ = message;
    return outcome;
}

TImportOutcome TImportJob::readFailed(const QString& why)
{
    return fail(TImportOutcome::ReadFailed, QStringLiteral("读取文件 \"%1\" 失败：%2").arg(fileName_, why) + NothingAdded);
}

TImportOutcome TImportJob::tooLarge(qint64 size)
{
    const QString actual = size >= 0 ? QStringLiteral("（%1 MB）").arg(Megabytes(size)) : QString();
    return fail(TImportOutcome::TooLarge,
                QStringLiteral("%1太大%2，不能导入号码列表：可导入的内容最大 %3 MB（工作簿按解压后的每一部分计）。")
                        .arg(subject_, actual, Megabytes(maxBytes_)) +
                    NothingAdded);
}

TImportOutcome TImportJob::damaged(const QString& kind, const QString& detail)
{
    return fail(TImportOutcome::BadWorkbook,
                QStringLiteral("文件 \"%1\" 不是可读的%2，可能已损坏：%3。").arg(fileName_, kind, detail) + NothingAdded);
}

TImportOutcome TImportJob::encrypted()
{
    return fail(TImportOutcome::Encrypted,
                QStringLiteral("工作簿 \"%1\" 设有打开密码（已加密），无法读取。\n"
                               "请在保存它的程序中取消密码，或另存为 CSV 文件后再导入。")
                        .arg(fileName_) +
                    NothingAdded);
}

TImportOutcome TImportJob::notAList(const QString& what)
{
    return fail(TImportOutcome::NotAList,
                QStringLiteral("文件 \"%1\" 是%2，不是号码列表，不能导入。\n可导入的格式：%3。")
                        .arg(fileName_, what, FormatsThatWork()) +
                    NothingAdded);
}

TImportOutcome TImportJob::takeNumberColumn(const TCellTable& table, const QString& where)
{
    // First walk: which column holds the numbers, and which row comes first.
    TColumnStats stats;
    qint64 firstRow = -1;
    table.forEachCell([&](qint64 row, int column, QByteArrayView cell) {
        tick();
        if (!HasContent(cell))
            return true;
        if (firstRow < 0)
            firstRow = row;
        stats.add(column, row == firstRow, cell);
        return true;
    });
    column_ = stats.choose();
    if (column_ < 0)
        return fail(TImportOutcome::NoNumberColumn,
                    QStringLiteral("%1中没有号码列：没有哪一列的多数单元格是手机号码（%2）。")
                            .arg(where, PlausibleMobileRule()) +
                        NothingAdded);

    // Second walk: the cells of that column.
    QByteArray scratch;
    bool go = true;
    table.forEachCell([&](qint64 row, int column, QByteArrayView cell) {
        tick();
        if (column != column_ || !HasContent(cell))
            return true;
        if (row == firstRow && !looksLikeNumber(cell)) {
            headerSkipped_ = true;
            return true;
        }
        go = take(oneLine(cell, scratch));
        return go;
    });
    return go ? TImportOutcome::Done : stopped();
}

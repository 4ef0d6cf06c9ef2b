#include "send/import/uDelimited.h"

#include <QHash>
#include <cstring>

bool TCsvReader::next(QByteArrayView* value)
{
    const char* p = d_.data();
    const qsizetype n = d_.size();
    if (pos_ < n && p[pos_] == '"') {
        qsizetype start = ++pos_;
        bool copied = false;
        for (;;) {
            const void* q = pos_ < n ? std::memchr(p + pos_, '"', size_t(n - pos_)) : nullptr;
            if (!q) { // never closed
                *value = take(start, n, copied);
                pos_ = n;
                return true;
            }
            const qsizetype at = static_cast<const char*>(q) - p;
            if (at + 1 < n && p[at + 1] == '"') { // a doubled quote stands for one
                if (!copied)
                    scratch_.clear();
                copied = true;
                scratch_.append(p + start, at + 1 - start);
                pos_ = start = at + 2;
                continue;
            }
            *value = take(start, at, copied);
            pos_ = at + 1;
            break;
        }
        const qsizetype rest = scanToDelimiter();
        if (rest > pos_) {
            if (value->data() != scratch_.constData())
                scratch_ = value->toByteArray();
            scratch_.append(p + pos_, rest - pos_);
            *value = scratch_;
            pos_ = rest;
        }
    } else {
        const qsizetype e = scanToDelimiter();
        *value = d_.sliced(pos_, e - pos_);
        pos_ = e;
    }
    if (pos_ >= n)
        return true;
    if (p[pos_] == delimiter_) {
        ++pos_;
        return false;
    }
    if (p[pos_] == '\r' && pos_ + 1 < n && p[pos_ + 1] == '\n')
        ++pos_;
    ++pos_;
    return true;
}

qsizetype TCsvReader::scanToDelimiter() const
{
    const char* p = d_.data();
    qsizetype i = pos_;
    const qsizetype n = d_.size();
    const char d = delimiter_;
    while (i < n && p[i] != d && p[i] != '\n' && p[i] != '\r')
        ++i;
    return i;
}

QByteArrayView TCsvReader::take(qsizetype from, qsizetype to, bool copied)
{
    if (!copied)
        return d_.sliced(from, to - from);
    scratch_.append(d_.data() + from, to - from);
    return scratch_;
}

void TDelimitedTable::forEachCell(TCellFn f) const
{
    TCsvReader csv(text_, delimiter_);
    qint64 row = 0;
    int col = 0;
    QByteArrayView cell;
    while (!csv.atEnd()) {
        const bool end = csv.next(&cell);
        if (!f(row, col, cell))
            return;
        if (end)
            ++row, col = 0;
        else if (col < MaxColumns)
            ++col;
    }
}

char ChooseDelimiter(QByteArrayView text, char preferred)
{
    constexpr int Records = 100;
    constexpr qsizetype Sample = 64 * 1024;
    // The sample ends at a record's end where one lies in reach, so that its
    // last record is not cut short.
    QByteArrayView sample = text.first(std::min(text.size(), Sample));
    if (sample.size() < text.size()) {
        const qsizetype lf = sample.lastIndexOf('\n');
        if (lf > 0)
            sample = sample.first(lf + 1);
    }
    char best = preferred;
    int bestScore = 0;
    const char order[] = {preferred, ',', ';', '\t'};
    for (char d : order) {
        // Field counts of the first records; the score: how many share the most common count.
        QHash<int, int> counts;
        TCsvReader csv(sample, d);
        int fields = 1, records = 0;
        QByteArrayView cell;
        while (!csv.atEnd() && records < Records) {
            if (csv.next(&cell)) {
                ++counts[fields];
                ++records;
                fields = 1;
            } else {
                ++fields;
            }
        }
        int score = 0;
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            if (it.key() >= 2 && it.value() > score)
                score = it.value();
        if (score > bestScore) {
            best = d;
            bestScore = score;
        }
    }
    return best;
}

#include "app/uDataType.h"

TPara Para;

bool SamePassword(const QString& a, const QString& b, TPasswordMatch how)
{
    switch (how) {
    case TPasswordMatch::Exact:
        break;
    case TPasswordMatch::IgnoreCase:
        return QString::compare(a, b, Qt::CaseInsensitive) == 0;
    case TPasswordMatch::Trimmed:
        return TrimCtl(a) == TrimCtl(b);
    }
    return a == b;
}

QString TrimCtl(const QString& s)
{
    qsizetype b = 0;
    qsizetype e = s.size();
    while (b < e && s.at(b).unicode() <= 32)
        ++b;
    while (e > b && s.at(e - 1).unicode() <= 32)
        --e;
    if (b == 0 && e == s.size())
        return s;
    return s.mid(b, e - b);
}

QString Megabytes(qint64 bytes)
{
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1);
}

#include "send/uPhoneCheck.h"

namespace {
QStringView trimmed(QStringView s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && s[b].unicode() <= 32)
        ++b;
    while (e > b && s[e - 1].unicode() <= 32)
        --e;
    return s.sliced(b, e - b);
}

bool isMobileDigits(QStringView s)
{
    if (s.size() != 11 || s[0] != u'1')
        return false;
    for (QChar c : s)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}
} // namespace

bool IsPlausibleMobile(QStringView line)
{
    const QStringView s = trimmed(line);
    if (isMobileDigits(s))
        return true;
    for (QStringView prefix : {u"+86", u"0086", u"86"})
        if (s.startsWith(prefix) && isMobileDigits(s.sliced(prefix.size())))
            return true;
    return false;
}

QString PlausibleMobileRule()
{
    return QStringLiteral("11位数字且以1开头，可带+86、0086或86前缀");
}

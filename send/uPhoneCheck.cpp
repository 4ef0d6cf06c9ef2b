#include "send/uPhoneCheck.h"

#include <initializer_list>

namespace {
uint code(QChar c)
{
    return c.unicode();
}
uint code(char c)
{
    return uchar(c);
}

// Works on UTF-16 units and on UTF-8 bytes alike: every character that the
// rule accepts or trims is ASCII, and no byte of a longer UTF-8 sequence is.
template <typename View> View trimmed(View s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && code(s[b]) <= 32)
        ++b;
    while (e > b && code(s[e - 1]) <= 32)
        --e;
    return s.sliced(b, e - b);
}

template <typename View> bool isMobileDigits(View s)
{
    if (s.size() != 11 || code(s[0]) != '1')
        return false;
    for (qsizetype i = 0; i < s.size(); ++i)
        if (code(s[i]) < '0' || code(s[i]) > '9')
            return false;
    return true;
}

template <typename View> bool plausible(View line)
{
    const View s = trimmed(line);
    if (isMobileDigits(s))
        return true;
    for (const char* prefix : {"+86", "0086", "86"}) {
        const qsizetype n = qsizetype(qstrlen(prefix));
        if (s.size() <= n)
            continue;
        bool same = true;
        for (qsizetype i = 0; i < n && same; ++i)
            same = code(s[i]) == code(prefix[i]);
        if (same && isMobileDigits(s.sliced(n)))
            return true;
    }
    return false;
}
} // namespace

bool IsPlausibleMobile(QStringView line)
{
    return plausible(line);
}

bool IsPlausibleMobile(QByteArrayView utf8)
{
    return plausible(utf8);
}

QString PlausibleMobileRule()
{
    return QStringLiteral("11位数字且以1开头，可带+86、0086或86前缀");
}

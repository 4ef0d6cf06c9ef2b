#pragma once
// A list of texts written as UTF-8 literals: S({"13800000000", "张三"}).

#include <QString>
#include <QStringList>
#include <initializer_list>

inline QStringList S(std::initializer_list<const char*> items)
{
    QStringList out;
    for (const char* s : items)
        out << QString::fromUtf8(s);
    return out;
}

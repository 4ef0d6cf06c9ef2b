#include "data/uWallClock.h"

QDateTime WallClock(const QDate& date, const QTime& time)
{
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time, Qt::UTC);
}

QDateTime WallClock(const QDateTime& t)
{
    return t.isValid() ? WallClock(t.date(), t.time()) : QDateTime();
}

QDateTime ReadWallClock(const QString& text)
{
    // Date and time of day are read apart: as one local date-time the text
    // would be invalid in an hour that the local zone skips.
    if (text.size() != 19 || text.at(10) != QLatin1Char(' '))
        return {};
    const QDate d = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
    const QTime t = QTime::fromString(text.mid(11), QStringLiteral("hh:mm:ss"));
    return WallClock(d, t);
}

QDateTime WallClockValue(const QVariant& value)
{
    if (value.isNull())
        return {};
    if (value.metaType().id() == QMetaType::QDateTime)
        return WallClock(value.toDateTime());
    return ReadWallClock(value.toString());
}

QString ServerTimeText(const QString& expr)
{
    return QStringLiteral("date_format(%1,'%Y-%m-%d %H:%i:%s')").arg(expr);
}

QDateTime PeriodStart(const QDate& first)
{
    return WallClock(first, QTime(0, 0, 0));
}

QDateTime PeriodEnd(const QDate& last)
{
    return ReadWallClock(last.toString(QStringLiteral("yyyy-MM-dd ")) + QStringLiteral("23:59:59"));
}

#pragma once
// Times as the database server holds them: a date and a time of day, without a
// zone. The client keeps them as UTC date-times so that no local rule (an hour
// or a midnight that a change to summer time skips) can make one invalid or
// move it; a UTC date-time is bound to a statement as exactly these fields.
//
// Times are read from the server as text in one fixed form (the server formats
// them, see ServerTimeText) so that the reading does not depend on how the
// client library hands a DATETIME to a prepared statement.

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QTime>
#include <QVariant>

QDateTime WallClock(const QDate& date, const QTime& time);
QDateTime WallClock(const QDateTime& t);
// Reads the fixed form "yyyy-MM-dd hh:mm:ss", exactly; anything else gives an invalid date-time.
QDateTime ReadWallClock(const QString& text);
// A time column as a query returns it: text in the fixed form, or a date-time.
// NULL, an unreadable text or an invalid date-time give an invalid date-time.
QDateTime WallClockValue(const QVariant& value);
// The server expression that writes expr (a DATETIME) in the fixed form.
QString ServerTimeText(const QString& expr);

// The bounds of a period of days, both inclusive: the first day at 00:00:00,
// and the last day at 23:59:59 (the day written "yyyy-MM-dd " with "23:59:59"
// appended and read back in that fixed form, whatever the system's date format).
QDateTime PeriodStart(const QDate& first);
QDateTime PeriodEnd(const QDate& last);

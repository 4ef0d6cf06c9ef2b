#pragma once
// What the user is told when a page's list query fails: one sentence that says
// what failed and what to do about it, chosen by the kind of failure, and the
// server's or the driver's own text below it.

#include <QSqlError>
#include <QString>

enum class TDbFailure {
    NoConnection,   // the server cannot be reached, or does not take the connection
    ConnectionLost, // the connection broke off (dropped, killed, timed out)
    Busy,           // deadlock, lock wait time-out, too many connections, a node not ready
    Denied,         // the server's account lacks the right to the statement or the database
    Refused,        // the server refused the statement (a table or column missing, a bad statement)
    Unknown
};

TDbFailure DbFailureKind(const QSqlError& e);

// failed says what failed ("读取发送记录失败"); the report reads, for example,
// "读取发送记录失败：无法连接数据库服务器，请检查网络后重试。", a blank line,
// then the error's own text.
QString DbFailureReport(const QString& failed, const QSqlError& e);

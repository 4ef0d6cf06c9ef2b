#include "data/uDbFailure.h"

#include <initializer_list>

namespace {

bool oneOf(int code, std::initializer_list<int> codes)
{
    for (int c : codes)
        if (c == code)
            return true;
    return false;
}

QString advice(TDbFailure kind)
{
    switch (kind) {
    case TDbFailure::NoConnection:
        return QStringLiteral("无法连接数据库服务器，请检查网络后重试。");
    case TDbFailure::ConnectionLost:
        return QStringLiteral("与数据库服务器的连接中断了，请检查网络后重试。");
    case TDbFailure::Busy:
        return QStringLiteral("数据库服务器正忙，请稍后重试。");
    case TDbFailure::Denied:
        return QStringLiteral("数据库服务器拒绝了访问，请联系管理员。");
    case TDbFailure::Refused:
        return QStringLiteral("数据库服务器拒绝了这次查询，请联系管理员。");
    case TDbFailure::Unknown:
        break;
    }
    return QStringLiteral("发生了意外的错误，请稍后重试；如果仍然失败，请联系管理员。");
}

} // namespace

TDbFailure DbFailureKind(const QSqlError& e)
{
    bool numeric = false;
    const int code = e.nativeErrorCode().toInt(&numeric);
    if (numeric) {
        // Client library: no socket, no route, unknown host, refused, TLS failed.
        if (oneOf(code, {2001, 2002, 2003, 2004, 2005, 2026}))
            return TDbFailure::NoConnection;
        // Gone away, lost during the query, killed, server shutting down.
        if (oneOf(code, {2006, 2013, 2055, 4031, 1053, 1927}))
            return TDbFailure::ConnectionLost;
        // Too many connections, lock wait time-out, deadlock, a cluster node
        // that is not (yet) part of the cluster.
        if (oneOf(code, {1040, 1203, 1205, 1213, 1047, 1180}))
            return TDbFailure::Busy;
        // Access denied to the account, the database, a table or a column.
        if (oneOf(code, {1044, 1045, 1142, 1143, 1227, 1370}))
            return TDbFailure::Denied;
        // Every other server error is the server's answer to the statement.
        if (code > 0 && code < 2000)
            return TDbFailure::Refused;
        if (code >= 3000 && code < 5000)
            return TDbFailure::Refused;
    }
    switch (e.type()) {
    case QSqlError::ConnectionError:
        return TDbFailure::NoConnection;
    case QSqlError::StatementError:
        return TDbFailure::Refused;
    default:
        return TDbFailure::Unknown;
    }
}

QString DbFailureReport(const QString& failed, const QSqlError& e)
{
    QString text = failed + QStringLiteral("：") + advice(DbFailureKind(e));
    const QString detail = e.text().trimmed();
    if (!detail.isEmpty())
        text += QStringLiteral("\n\n") + detail;
    return text;
}

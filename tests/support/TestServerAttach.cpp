// TestServer where the test run, not the test, starts the servers: the servers
// named in SMS_TEST_SERVERS (Windows, where a test cannot start MariaDB
// through the project's scripts; on Linux too when that variable is set).
#include "tests/support/TestServer.h"

#include <QFile>
#include <QSet>
#include <QSqlError>

namespace {
struct TServerEntry
{
    QString host;
    int port = 0;
    QString options; // mariadbd options, separated by one blank
};

QList<TServerEntry> entries()
{
    QList<TServerEntry> list;
    const QStringList parts = qEnvironmentVariable("SMS_TEST_SERVERS").split(u';', Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        const QStringList words = part.split(u' ', Qt::SkipEmptyParts);
        if (words.isEmpty())
            continue;
        const qsizetype colon = words[0].lastIndexOf(u':');
        TServerEntry e;
        e.host = words[0].left(colon);
        e.port = colon > 0 ? words[0].mid(colon + 1).toInt() : 0;
        e.options = words.mid(1).join(u' ');
        list << e;
    }
    return list;
}

QSet<int> g_taken;
} // namespace

bool TestServer::ownsServers()
{
#ifdef Q_OS_WIN
    return false;
#else
    return !qEnvironmentVariableIsSet("SMS_TEST_SERVERS");
#endif
}

bool TestServer::attach()
{
    // An entry not yet taken by another server of this process, else one
    // that is (the two then share it).
    const QList<TServerEntry> list = entries();
    const QString options = extraArgs_.join(u' ');
    int found = -1;
    for (int i = 0; i < list.size(); ++i) {
        if (list[i].options != options || list[i].port <= 0)
            continue;
        if (found < 0 || (g_taken.contains(found) && !g_taken.contains(i)))
            found = i;
    }
    if (found < 0) {
        error_ = QStringLiteral("SMS_TEST_SERVERS names no server with the options \"%1\"").arg(options);
        return false;
    }
    const bool first = !g_taken.contains(found);
    g_taken.insert(found);
    host_ = list[found].host;
    port_ = list[found].port;
    QSqlDatabase db = connectionTo(adminName_, host_, port_);
    if (!db.open()) {
        error_ = db.lastError().text();
        return false;
    }
    taken_ = found;
    // What an earlier test program left there goes: the schema anew, as a
    // server of the test's own would have it.
    if (first && !(exec(QStringLiteral("drop database if exists sms"), &error_) && loadSchema())) {
        error_ = QStringLiteral("cannot load the schema on %1:%2 %3").arg(host_).arg(port_).arg(error_);
        return false;
    }
    return true;
}

bool TestServer::runStatements(const QString& path)
{
    // As the command-line client reads such a file: statements end at the
    // delimiter at the end of a line, "DELIMITER x" changes it, and lines of
    // comment stand outside the statements.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    QString delimiter = QStringLiteral(";");
    QString statement;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (statement.isEmpty() && (line.isEmpty() || line.startsWith(QLatin1String("--"))))
            continue;
        if (statement.isEmpty() && line.startsWith(QLatin1String("DELIMITER "), Qt::CaseInsensitive)) {
            delimiter = line.mid(10).trimmed();
            continue;
        }
        statement += raw + u'\n';
        if (!line.endsWith(delimiter))
            continue;
        statement = statement.trimmed();
        statement.chop(delimiter.size());
        QString err;
        if (!exec(statement, &err)) {
            qWarning("%s: %s", qPrintable(path), qPrintable(err));
            return false;
        }
        statement.clear();
    }
    return statement.trimmed().isEmpty() || exec(statement);
}

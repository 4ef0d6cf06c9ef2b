#pragma once
// The cluster the cluster tests run on: three database nodes and a proxy in
// front, started by scripts/cluster.sh (scripts/test-cluster.sh starts one and
// runs these tests with it). Without SMS_CLUSTER_PORT the tests are skipped.
//
//   SMS_CLUSTER_PORT   the proxy's loopback port
//   SMS_CLUSTER_NODES  the nodes' own ports, comma-separated
//   SMS_CLUSTER_DIR    the cluster's folder (for killing and restarting a node)

#include "tests/support/TestServer.h"

#include <QDateTime>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

class TClusterEnv
{
public:
    TClusterEnv()
    {
        proxyPort = qEnvironmentVariableIntValue("SMS_CLUSTER_PORT");
        for (const QString& p :
             qEnvironmentVariable("SMS_CLUSTER_NODES").split(QLatin1Char(','), Qt::SkipEmptyParts))
            nodePorts << p.toInt();
        dir = qEnvironmentVariable("SMS_CLUSTER_DIR");
        // Names of this run's own rows: the cluster may hold other data.
        tag = QStringLiteral("t%1").arg(QRandomGenerator::global()->bounded(100000, 999999));
    }
    bool given() const { return proxyPort > 0; }

    QString host() const { return QStringLiteral("127.0.0.1"); }
    int proxyPort = 0;
    QList<int> nodePorts;
    QString dir;
    QString tag;

    // An administrative connection straight to one port. Its reads wait until
    // the node has applied what the cluster committed before them.
    QSqlDatabase open(const QString& name, int port, QString* err = nullptr) const
    {
        QSqlDatabase db = TestServer::connectionTo(name, host(), port);
        if (!db.open()) {
            if (err)
                *err = db.lastError().text();
            return db;
        }
        QSqlQuery(db).exec(QStringLiteral("set session wsrep_sync_wait=1"));
        return db;
    }

    // Runs scripts/cluster.sh with the given arguments on this cluster.
    bool script(const QStringList& args, QString* output = nullptr) const
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStringLiteral("bash"), QStringList{QStringLiteral(SMS_SOURCE_DIR "/scripts/cluster.sh")}
                                            << args << QStringLiteral("--dir") << dir);
        const bool done = p.waitForFinished(300000);
        if (output)
            *output = QString::fromLocal8Bit(p.readAll());
        return done && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }
};

inline bool execOn(QSqlDatabase db, const QString& sql, const QVariantList& values = {},
                   QString* err = nullptr)
{
    QSqlQuery q(db);
    bool ok = values.isEmpty() ? q.exec(sql) : q.prepare(sql);
    if (ok && !values.isEmpty()) {
        for (const QVariant& v : values)
            q.addBindValue(v);
        ok = q.exec();
    }
    if (!ok && err)
        *err = q.lastError().text();
    return ok;
}

inline QVariant scalarOn(QSqlDatabase db, const QString& sql, const QVariantList& values = {})
{
    QSqlQuery q(db);
    if (!q.prepare(sql))
        return {};
    for (const QVariant& v : values)
        q.addBindValue(v);
    if (!q.exec() || !q.next())
        return {};
    return q.value(0);
}

#define SKIP_WITHOUT_CLUSTER(env)                                                                            \
    do {                                                                                                     \
        if (!(env).given())                                                                                  \
            QSKIP(                                                                                           \
                "no cluster given (SMS_CLUSTER_PORT); scripts/test-cluster.sh starts one for these tests");  \
    } while (false)

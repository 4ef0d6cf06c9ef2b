#pragma once
// The cluster the cluster tests run on: three database nodes and a proxy in
// front, started by scripts/cluster.sh (scripts/test-cluster.sh starts one and
// runs these tests with it). Without SMS_CLUSTER_PORT the tests are skipped.
//
//   SMS_CLUSTER_PORT     the proxy's loopback port
//   SMS_CLUSTER_NODES    the nodes' own ports, comma-separated
//   SMS_CLUSTER_DIR      the cluster's folder (for killing and restarting a node)
//   SMS_CLUSTER_HARDENED 1: the cluster is hardened (cluster.sh start --hardened):
//                        TLS, db/hardened.sql, root through a node's socket only
//   SMS_CLUSTER_CA       its CA (default SMS_CLUSTER_DIR/tls/ca.pem)
//   SMS_CLUSTER_SOCKETS  its nodes' sockets, comma-separated, in the order of
//                        SMS_CLUSTER_NODES (default SMS_CLUSTER_DIR/nodeN/sock)

#include "data/uDM.h"
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
        hardened = qEnvironmentVariable("SMS_CLUSTER_HARDENED") == QLatin1String("1");
        if (hardened) {
            caFile = qEnvironmentVariable("SMS_CLUSTER_CA", dir + QStringLiteral("/tls/ca.pem"));
            sockets = qEnvironmentVariable("SMS_CLUSTER_SOCKETS").split(QLatin1Char(','), Qt::SkipEmptyParts);
            for (int i = int(sockets.size()); i < nodePorts.size(); ++i)
                sockets << dir + QStringLiteral("/node%1/sock").arg(i + 1);
        }
        // Names of this run's own rows: the cluster may hold other data.
        tag = QStringLiteral("t%1").arg(QRandomGenerator::global()->bounded(100000, 999999));
    }
    bool given() const { return proxyPort > 0; }

    QString host() const { return QStringLiteral("127.0.0.1"); }
    int proxyPort = 0;
    QList<int> nodePorts;
    QString dir;
    QString tag;
    bool hardened = false;
    QString caFile;      // hardened: what the data module is given (SetServerCa)
    QStringList sockets; // hardened: the nodes' sockets, for root

    // A data module for this cluster at one of its ports (not yet connected):
    // on a hardened cluster with its CA, and bound to the customer from its
    // first statement on (the views show nothing without a login; the
    // routines act for that customer only). The module belongs to the thread
    // that uses it.
    void point(TDM& dm, int port, const QString& customer = QString(),
               const QString& password = QStringLiteral("pw")) const
    {
        dm.SetServer(host(), port);
        if (!hardened)
            return;
        dm.SetServerCa(caFile);
        if (!customer.isEmpty())
            dm.SetSession(customer, password);
    }

    // An administrative connection straight to the node at one of the
    // nodes' ports (on a hardened cluster through that node's socket). Its
    // reads wait until the node has applied what the cluster committed before
    // them.
    QSqlDatabase open(const QString& name, int port, QString* err = nullptr) const
    {
        QSqlDatabase db = TestServer::connectionTo(name, host(), port);
        const int node = int(nodePorts.indexOf(port));
        db.setConnectOptions(QString());
        if (hardened && node >= 0) {
            // root logs in through the socket only.
            db.setHostName(QStringLiteral("localhost"));
            db.setConnectOptions(QStringLiteral("UNIX_SOCKET=") + sockets.value(node));
        }
        return opened(db, err);
    }

    // A connection through the proxy that only asks the node behind it about
    // itself: root in legacy mode; on a hardened cluster the program's account
    // over TLS (root reaches no node over TCP there).
    QSqlDatabase openThroughProxy(const QString& name, QString* err = nullptr) const
    {
        QSqlDatabase db = TestServer::connectionTo(name, host(), proxyPort);
        db.setConnectOptions(QString());
        if (hardened) {
            db.setUserName(QString::fromLatin1(TDM::ClientUser));
            db.setPassword(QString::fromLatin1(TDM::ClientPassword));
            db.setDatabaseName(QString::fromLatin1(TDM::ApiDbName));
            db.setConnectOptions(QStringLiteral("SSL_CA=") + caFile);
        }
        return opened(db, err);
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

private:
    static QSqlDatabase opened(QSqlDatabase db, QString* err)
    {
        if (!db.open()) {
            if (err)
                *err = db.lastError().text();
            return db;
        }
        QSqlQuery(db).exec(QStringLiteral("set session wsrep_sync_wait=1"));
        return db;
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

// The data module on one server and on a three-node cluster behind the proxy:
//   SubmitBatch of a 1,000,000-number batch;
//   small batches (10 numbers) from 4 clients at once for 10 s: sends per
//   second, how many tries the data module ran again after a conflict, and how
//   many transactions the cluster's nodes aborted by conflicts.
// Usage: bench_cluster [seconds]   (of each small-batch run, default 10)
// With SMS_CLUSTER_PORT, SMS_CLUSTER_NODES (see tests/cluster/ClusterEnv.h) it
// uses that cluster; otherwise it starts one with scripts/cluster.sh in a
// temporary folder and stops it at the end.
#include "data/uDM.h"
#include "tests/cluster/ClusterEnv.h"
#include "tests/support/FakeUi.h"
#include "tests/support/TestServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

struct TTarget
{
    const char* label;
    QString host;
    int port;
    QList<int> nodes; // for the conflict counters; empty for one server
};

QSqlDatabase adminOn(const QString& name, int port)
{
    TClusterEnv env;
    return env.open(name, port);
}

qint64 conflictCount(const TTarget& t)
{
    qint64 sum = 0;
    for (int i = 0; i < t.nodes.size(); ++i)
        sum += scalarOn(adminOn(QStringLiteral("stats%1").arg(i), t.nodes[i]),
                        QStringLiteral("select sum(variable_value) from information_schema.global_status "
                                       "where variable_name in ('wsrep_local_cert_failures',"
                                       "'wsrep_local_bf_aborts')"))
                   .toLongLong();
    return sum;
}

void bigBatch(const TTarget& t, QSqlDatabase admin)
{
    const QString customer = QStringLiteral("benchbig%1").arg(QRandomGenerator::global()->bounded(1000000));
    execOn(admin, QStringLiteral("insert into customers(customername,password,smscount) values(?,'pw',?)"),
           {customer, 100000000000LL});
    TSmsRec b;
    const int n = 1000000;
    b.PhonesText.reserve(n * 13);
    for (int i = 0; i < n; ++i) {
        b.PhonesText += QString::number(138000000000LL + i);
        b.PhonesText += QLatin1Char('\n');
    }
    b.TestPhonesText = b.PhonesText;
    b.PhoneCount = n;
    b.MsgCount = 1;
    b.Content = QStringLiteral("基准测试短信内容");
    b.CustomerName = customer;
    TDM dm;
    dm.SetServer(t.host, t.port);
    if (!dm.EnsureConnected()) {
        std::printf("%-8s SubmitBatch: no connection\n", t.label);
        return;
    }
    std::vector<double> ms;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer c;
        c.start();
        const bool ok = dm.SubmitBatch(b);
        ms.push_back(c.nsecsElapsed() / 1e6);
        if (!ok) {
            std::printf("%-8s SubmitBatch failed: %s\n", t.label, qPrintable(dm.LastError().text()));
            return;
        }
    }
    std::sort(ms.begin(), ms.end());
    std::printf(
        "%-8s SubmitBatch 1,000,000 numbers (2 x 13 MB): median %7.0f ms  best %7.0f ms  worst %7.0f ms\n",
        t.label, ms[1], ms[0], ms[2]);
    std::fflush(stdout);
}

// Four clients send 10-number batches for the given time; sharedCustomer: all in one name.
void smallBatches(const TTarget& t, QSqlDatabase admin, int seconds, bool sharedCustomer)
{
    constexpr int kClients = 4;
    const QString prefix = QStringLiteral("benchsmall%1_").arg(QRandomGenerator::global()->bounded(1000000));
    for (int c = 0; c < kClients; ++c)
        execOn(admin,
               QStringLiteral("insert into customers(customername,password,smscount) values(?,'pw',?)"),
               {QString(prefix + QString::number(c)), 1000000000LL});
    std::vector<int> sent(kClients, 0), failed(kClients, 0), retries(kClients, 0);
    std::atomic<int> ready{0};
    std::atomic<bool> stop{false};
    const qint64 conflictsBefore = conflictCount(t);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            TDM dm;
            dm.SetServer(t.host, t.port);
            dm.EnsureConnected();
            ++ready;
            while (ready.load() < kClients)
                std::this_thread::yield();
            TSmsRec b;
            for (int k = 0; k < 10; ++k)
                b.PhonesText += QStringLiteral("1390000%1\n").arg(k);
            b.PhoneCount = 10;
            b.MsgCount = 1;
            b.Content = QStringLiteral("小批量");
            b.CustomerName = prefix + QString::number(sharedCustomer ? 0 : c);
            while (!stop.load())
                (dm.SubmitBatch(b) ? sent[c] : failed[c])++;
            retries[c] = dm.Retries();
        });
    }
    while (ready.load() < kClients)
        std::this_thread::yield();
    QElapsedTimer clock;
    clock.start();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop = true;
    for (std::thread& th : clients)
        th.join();
    const double s = clock.nsecsElapsed() / 1e9;
    int total = 0, failures = 0, retried = 0;
    for (int c = 0; c < kClients; ++c) {
        total += sent[c];
        failures += failed[c];
        retried += retries[c];
    }
    std::printf(
        "%-8s 4 clients, 10-number batches, %s: %7.1f sends/s (%d in %.1f s), %d failed, %d tries run "
        "again",
        t.label, sharedCustomer ? "one customer " : "own customers", total / s, total, s, failures, retried);
    if (!t.nodes.isEmpty()) {
        const qint64 conflicts = conflictCount(t) - conflictsBefore;
        std::printf(" (%lld transactions aborted by conflicts, %.2f per send)", conflicts,
                    total ? double(conflicts) / total : 0.0);
    }
    std::printf("\n");
    std::fflush(stdout);
}

int freePort()
{
    QTcpServer s;
    s.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0);
    return s.serverPort();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    FakeUi ui; // connection failures are recorded, not shown

    TestServer server;
    if (!server.start()) {
        std::fprintf(stderr, "bench_cluster: server: %s\n", qPrintable(server.error()));
        return 1;
    }

    // The cluster: the one given, or one of our own.
    TClusterEnv env;
    std::unique_ptr<QTemporaryDir> own;
    if (!env.given()) {
        own = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/bench-cluster-XXXXXX"));
        env.dir = own->path();
        env.proxyPort = freePort();
        std::printf("starting a three-node cluster in %s ...\n", qPrintable(env.dir));
        std::fflush(stdout);
        QString out;
        if (!env.script({QStringLiteral("start"), QStringLiteral("--port"), QString::number(env.proxyPort)},
                        &out)) {
            std::fprintf(stderr, "bench_cluster: cluster did not start:\n%s\n", qPrintable(out));
            env.script({QStringLiteral("stop")});
            return 1;
        }
        QFile ports(env.dir + QStringLiteral("/ports.env"));
        ports.open(QIODevice::ReadOnly);
        for (const QByteArray& line : ports.readAll().split('\n'))
            if (line.startsWith("SQL"))
                env.nodePorts << line.mid(line.indexOf('=') + 1).toInt();
    }

    // A cluster of our own goes with the benchmark, however main returns.
    auto stopOwn = qScopeGuard([&] {
        if (own)
            env.script({QStringLiteral("stop")});
    });
    const TTarget single{"server", server.host(), server.port(), {}};
    const TTarget cluster{"cluster", env.host(), env.proxyPort, env.nodePorts};
    QSqlDatabase clusterAdmin = adminOn(QStringLiteral("clusteradmin"), env.nodePorts.value(0));

    bigBatch(single, server.admin());
    bigBatch(cluster, clusterAdmin);
    for (bool shared : {false, true}) {
        smallBatches(single, server.admin(), seconds, shared);
        smallBatches(cluster, clusterAdmin, seconds, shared);
    }
    if (ui.count())
        std::printf("messages shown: %d (%s)\n", ui.count(),
                    qPrintable(ui.texts().join(QStringLiteral("; "))));
    return 0;
}

// The data module on one server and on a three-node cluster behind the proxy,
// the proxy both with one writer (node 1 active, the others standing by) and
// with every node taking writes (round robin):
//   SubmitBatch of a 1,000,000-number batch;
//   small batches (10 numbers) from 4 clients at once for 10 s, each client in
//   a name of its own and all in one name: sends per second, how many tries
//   the data module ran again after a conflict, and how many transactions
//   the cluster's nodes aborted by conflicts;
//   on the cluster, the same four clients while node 1 is killed (-9): the
//   pause from the kill until each client's first success, what the clients
//   were told meanwhile; then node 1 is started again.
// Usage: bench_cluster [seconds]   (of each small-batch run, default 10)
// With SMS_CLUSTER_PORT, SMS_CLUSTER_NODES, SMS_CLUSTER_DIR (see
// tests/cluster/ClusterEnv.h) it uses that cluster and leaves its proxy as it
// found it; otherwise it starts one with scripts/cluster.sh in a temporary
// folder and stops it at the end.
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
    QList<int> nodes;       // for the conflict counters; empty for one server
    QStringList shape = {}; // the options of cluster.sh start that give the proxy this shape
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

// Figures by measure, printed together at the end.
QMap<int, QStringList> g_summary;

void report(int measure, const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
    g_summary[measure] << line;
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
        report(0, QStringLiteral("%1 SubmitBatch: no connection").arg(QLatin1String(t.label), -8));
        return;
    }
    std::vector<double> ms;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer c;
        c.start();
        const bool ok = dm.SubmitBatch(b);
        ms.push_back(c.nsecsElapsed() / 1e6);
        if (!ok) {
            report(0, QStringLiteral("%1 SubmitBatch failed: %2")
                          .arg(QLatin1String(t.label), -8)
                          .arg(dm.LastError().text()));
            return;
        }
    }
    std::sort(ms.begin(), ms.end());
    report(0, QStringLiteral(
                  "%1 SubmitBatch 1,000,000 numbers (2 x 13 MB): median %2 ms  best %3 ms  worst %4 ms")
                  .arg(QLatin1String(t.label), -8)
                  .arg(ms[1], 7, 'f', 0)
                  .arg(ms[0], 7, 'f', 0)
                  .arg(ms[2], 7, 'f', 0));
}

constexpr int kClients = 4;

// kClients customers with plenty of credit: the names' common beginning.
QString addCustomers(QSqlDatabase admin, const char* kind)
{
    const QString prefix = QStringLiteral("bench%1%2_")
                               .arg(QLatin1String(kind))
                               .arg(QRandomGenerator::global()->bounded(1000000));
    for (int c = 0; c < kClients; ++c)
        execOn(admin,
               QStringLiteral("insert into customers(customername,password,smscount) values(?,'pw',?)"),
               {QString(prefix + QString::number(c)), 1000000000LL});
    return prefix;
}

TSmsRec smallBatch(const QString& customer)
{
    TSmsRec b;
    for (int k = 0; k < 10; ++k)
        b.PhonesText += QStringLiteral("1390000%1\n").arg(k);
    b.PhoneCount = 10;
    b.MsgCount = 1;
    b.Content = QStringLiteral("小批量");
    b.CustomerName = customer;
    return b;
}

// Four clients send 10-number batches for the given time; sharedCustomer: all in one name.
void smallBatches(const TTarget& t, QSqlDatabase admin, int seconds, bool sharedCustomer)
{
    const QString prefix = addCustomers(admin, "small");
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
            const TSmsRec b = smallBatch(prefix + QString::number(sharedCustomer ? 0 : c));
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
    QString line =
        QStringLiteral("%1 4 clients, 10-number batches, %2: %3 sends/s (%4 in %5 s), %6 failed, "
                       "%7 tries run again")
            .arg(QLatin1String(t.label), -8)
            .arg(sharedCustomer ? QStringLiteral("one customer ") : QStringLiteral("own customers"))
            .arg(total / s, 7, 'f', 1)
            .arg(total)
            .arg(s, 0, 'f', 1)
            .arg(failures)
            .arg(retried);
    if (!t.nodes.isEmpty()) {
        const qint64 conflicts = conflictCount(t) - conflictsBefore;
        line += QStringLiteral(" (%1 transactions aborted by conflicts, %2 per send)")
                    .arg(conflicts)
                    .arg(total ? double(conflicts) / total : 0.0, 0, 'f', 2);
    }
    report(sharedCustomer ? 2 : 1, line);
}

// The node the proxy sends a new connection to, by name; empty when none answers.
QString nodeBehind(const TTarget& t)
{
    QSqlDatabase db = TestServer::connectionTo(QStringLiteral("behind"), t.host, t.port);
    QString name;
    if (db.open())
        name = scalarOn(db, QStringLiteral("select @@wsrep_node_name")).toString();
    db.close();
    return name;
}

// Four clients send 10-number batches, each in its own name; node 1 is killed
// two seconds in. Each client's pause: from the kill to its first success.
void killActiveNode(const TTarget& t, const TClusterEnv& env, QSqlDatabase admin)
{
    const QString prefix = addCustomers(admin, "kill");
    std::vector<std::vector<qint64>> doneAt(kClients); // when each success came back, ms
    std::vector<int> failed(kClients, 0), reconnects(kClients, 0), lostCommits(kClients, 0);
    std::atomic<int> ready{0};
    std::atomic<bool> stop{false};
    QElapsedTimer clock;
    clock.start();
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            TDM dm;
            dm.SetServer(t.host, t.port);
            dm.EnsureConnected();
            ++ready;
            const TSmsRec b = smallBatch(prefix + QString::number(c));
            while (!stop.load()) {
                if (dm.SubmitBatch(b))
                    doneAt[c].push_back(clock.elapsed());
                else
                    ++failed[c];
            }
            reconnects[c] = dm.Reconnects();
            lostCommits[c] = dm.LostCommits();
        });
    }
    while (ready.load() < kClients)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const qint64 killing = clock.elapsed();
    const bool killed = env.script({QStringLiteral("kill"), QStringLiteral("1")});
    const qint64 killedAt = clock.elapsed(); // the node is gone
    std::this_thread::sleep_for(std::chrono::seconds(12));
    stop = true;
    for (std::thread& th : clients)
        th.join();
    // Each client's pause: the longest time without a success from the last
    // success before the kill on; and when the first success came after the
    // node was gone (a killed server takes a moment to end).
    QStringList gaps, firsts;
    int failures = 0, reconnected = 0, lost = 0;
    for (int c = 0; c < kClients; ++c) {
        const std::vector<qint64>& d = doneAt[c];
        auto it = std::upper_bound(d.begin(), d.end(), killing);
        qint64 gap = it == d.end() ? clock.elapsed() - killing : 0;
        for (auto from = it == d.begin() ? it : it - 1; from != d.end() && from + 1 != d.end(); ++from)
            gap = std::max(gap, *(from + 1) - *from);
        const auto first = std::upper_bound(d.begin(), d.end(), killedAt);
        gaps << QString::number(gap);
        firsts << (first == d.end() ? QStringLiteral("none") : QString::number(*first - killedAt));
        failures += failed[c];
        reconnected += reconnects[c];
        lost += lostCommits[c];
    }
    report(3,
           QStringLiteral("%1 node 1 killed%2: no success for %3 ms, the first %4 ms after the node was gone "
                          "(%5 ms to kill it; each client); %6 failed, %7 run again on a new connection, "
                          "%8 COMMIT answers lost")
               .arg(QLatin1String(t.label), -8)
               .arg(killed ? QString() : QStringLiteral(" (kill failed)"))
               .arg(gaps.join(QStringLiteral(" / ")))
               .arg(firsts.join(QStringLiteral(" / ")))
               .arg(killedAt - killing)
               .arg(failures)
               .arg(reconnected)
               .arg(lost));
    // Node 1 back, and taking writes again (the proxy takes it back after two checks).
    env.script({QStringLiteral("start")});
    QElapsedTimer back;
    back.start();
    const bool oneWriter = t.shape.value(0) == QLatin1String("--active");
    while (oneWriter && back.elapsed() < 30000 && nodeBehind(t) != QLatin1String("node1"))
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::this_thread::sleep_for(std::chrono::seconds(3));
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
    if (env.dir.isEmpty() || env.nodePorts.size() != 3) {
        std::fprintf(stderr,
                     "bench_cluster: a given cluster needs SMS_CLUSTER_DIR and three SMS_CLUSTER_NODES\n");
        return 1;
    }

    // The proxy's shape as found, given back at the end; a cluster of our own
    // goes with the benchmark, however main returns.
    QFile shapeFile(env.dir + QStringLiteral("/proxy.shape"));
    const QStringList found = shapeFile.open(QIODevice::ReadOnly)
                                  ? QString::fromLatin1(shapeFile.readAll()).trimmed().split(QLatin1Char(' '))
                                  : QStringList{QStringLiteral("active"), QStringLiteral("1")};
    QStringList foundOptions;
    if (found.value(0) == QLatin1String("multi-primary"))
        foundOptions << QStringLiteral("--multi-primary");
    else
        foundOptions << QStringLiteral("--active") << found.value(1, QStringLiteral("1"));
    auto restore = qScopeGuard([&] {
        if (own)
            env.script({QStringLiteral("stop")});
        else
            env.script(QStringList{QStringLiteral("start")} << foundOptions);
    });

    const TTarget single{"server", server.host(), server.port(), {}};
    const TTarget oneWriter{"1-writer",
                            env.host(),
                            env.proxyPort,
                            env.nodePorts,
                            {QStringLiteral("--active"), QStringLiteral("1")}};
    const TTarget multi{
        "multi", env.host(), env.proxyPort, env.nodePorts, {QStringLiteral("--multi-primary")}};
    // Node 2: never killed here.
    QSqlDatabase clusterAdmin = adminOn(QStringLiteral("clusteradmin"), env.nodePorts[1]);

    for (const TTarget* t : {&single, &oneWriter, &multi}) {
        QSqlDatabase admin = server.admin();
        if (!t->nodes.isEmpty()) {
            QString out;
            if (!env.script(QStringList{QStringLiteral("start")} << t->shape, &out)) {
                std::fprintf(stderr, "bench_cluster: proxy for %s:\n%s\n", t->label, qPrintable(out));
                return 1;
            }
            admin = clusterAdmin;
        }
        bigBatch(*t, admin);
        for (bool shared : {false, true})
            smallBatches(*t, admin, seconds, shared);
        if (!t->nodes.isEmpty())
            killActiveNode(*t, env, admin);
    }
    std::printf("\n");
    for (const QStringList& lines : g_summary)
        for (const QString& line : lines)
            std::printf("%s\n", qPrintable(line));
    std::printf("(one server has no node to fail over to)\n");
    if (ui.count())
        std::printf("messages shown: %d (%s)\n", ui.count(),
                    qPrintable(ui.texts().join(QStringLiteral("; "))));
    return 0;
}

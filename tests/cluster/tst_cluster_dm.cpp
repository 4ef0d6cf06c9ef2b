// The data module on a multi-primary cluster: counters taken on different
// nodes at once, and sends and recharges through the proxy while a node is
// killed and brought back. Conflicting changes on two nodes make one of them
// fail at once (error 1213); the module must run such work again rather than
// fail the customer, and nothing may be stored twice or lost.
#include "data/uDM.h"
#include "tests/cluster/ClusterEnv.h"

#include <QElapsedTimer>
#include <QSet>
#include <QThread>
#include <QtTest>
#include <atomic>
#include <random>
#include <thread>

namespace {

// Conflicts the nodes resolved by aborting a transaction, summed over the nodes.
qint64 conflictCount(const TClusterEnv& env)
{
    qint64 sum = 0;
    for (int i = 0; i < env.nodePorts.size(); ++i) {
        QSqlDatabase db = env.open(QStringLiteral("conflicts%1").arg(i), env.nodePorts[i]);
        sum += scalarOn(db, QStringLiteral("select sum(variable_value) from information_schema.global_status "
                                           "where variable_name in ('wsrep_local_cert_failures',"
                                           "'wsrep_local_bf_aborts','innodb_deadlocks')"))
                   .toLongLong();
        db.close();
    }
    return sum;
}

// Where the node-failure workload stands; each operation notes the phase it ended in.
enum TPhase { Before, NodeDown, NodeBack, Done };

struct TOp
{
    bool send = false;
    QString content; // the batch's own text, to find its row
    bool ok = false;
    bool errored = false;    // failed with a server or connection error, not a refusal
    bool lostAnswer = false; // that error was a lost connection: the work may be stored
    QString code;            // the server's error number
    int tries = 1;           // conflicts met, plus one
    int phase = Before;
};

struct TWorker
{
    std::vector<TOp> ops;
    QString error;
    bool probeOk = false;
    int retries = 0;
};

bool isLostConnection(const QSqlError& e)
{
    const QString c = e.nativeErrorCode();
    return c == QLatin1String("2013") || c == QLatin1String("2006");
}

// "1: 850, 2: 40, 3: 10" from the tries each call took.
QString histogram(const std::vector<std::vector<int>>& tries)
{
    QMap<int, int> n;
    for (const std::vector<int>& v : tries)
        for (int k : v)
            n[k]++;
    QStringList out;
    for (auto it = n.constBegin(); it != n.constEnd(); ++it)
        out << QStringLiteral("%1: %2").arg(it.key()).arg(it.value());
    return out.join(QStringLiteral(", "));
}

} // namespace

class TstClusterDm : public QObject
{
    Q_OBJECT
    TClusterEnv env;
    QSqlDatabase admin;
    QStringList customers;

    QString name(int i) const { return env.tag + QStringLiteral("c%1").arg(i); }

private slots:
    void initTestCase()
    {
        SKIP_WITHOUT_CLUSTER(env);
        QCOMPARE(env.nodePorts.size(), 3);
        QString err;
        // The node that is never killed.
        admin = env.open(QStringLiteral("admin"), env.nodePorts[0], &err);
        QVERIFY2(admin.isOpen(), qPrintable(err));
    }

    // Clients on every node send at once: each batch takes its number from the
    // one counter (seq), the row all nodes change. Every batch is stored under
    // a number of its own, none is refused.
    void batchNumbersOnEveryNodeAtOnce()
    {
        constexpr int kPerNode = 2, kCalls = 150;
        const int threads = int(env.nodePorts.size()) * kPerNode;
        QVariantList names;
        for (int t = 0; t < threads; ++t) {
            names << QString(env.tag + QStringLiteral("n%1").arg(t));
            QVERIFY(execOn(admin,
                           QStringLiteral("insert into customers(customername,password,smscount) "
                                          "values(?,'pw',1000000)"),
                           {names.last()}));
        }
        std::vector<int> failures(threads, 0), retries(threads, 0);
        std::vector<std::vector<int>> tries(threads); // tries each send took
        std::vector<QString> errors(threads);
        std::atomic<int> ready{0};
        const qint64 conflictsBefore = conflictCount(env);
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                TDM dm;
                dm.SetServer(env.host(), env.nodePorts[t % env.nodePorts.size()]);
                const bool connected = dm.EnsureConnected();
                ++ready;
                if (!connected) {
                    errors[t] = QStringLiteral("no connection");
                    return;
                }
                while (ready.load() < threads)
                    std::this_thread::yield();
                TSmsRec b;
                b.PhonesText = QStringLiteral("13900000000\n");
                b.PhoneCount = 1;
                b.MsgCount = 1;
                b.CustomerName = names[t].toString();
                for (int i = 0; i < kCalls; ++i) {
                    b.Content = QStringLiteral("%1 %2/%3").arg(env.tag).arg(t).arg(i);
                    const int before = dm.Retries() + dm.ConflictFailures();
                    const bool ok = dm.SubmitBatch(b);
                    tries[t].push_back(1 + dm.Retries() + dm.ConflictFailures() - before);
                    if (!ok) {
                        ++failures[t];
                        errors[t] = dm.LastError().text();
                    }
                }
                retries[t] = dm.Retries();
            });
        }
        for (std::thread& w : workers)
            w.join();

        int failed = 0, retried = 0;
        for (int t = 0; t < threads; ++t) {
            failed += failures[t];
            retried += retries[t];
        }
        const qint64 conflicts = conflictCount(env) - conflictsBefore;
        qInfo("%d batches from %d clients on %d nodes: %d failed, %d tries run again; %lld transactions "
              "aborted by conflicts",
              threads * kCalls, threads, int(env.nodePorts.size()), failed, retried, conflicts);
        qInfo("sends by tries taken: %s", qPrintable(histogram(tries)));
        for (int t = 0; t < threads; ++t)
            QVERIFY2(failures[t] == 0, qPrintable(QStringLiteral("client %1: %2 of %3 sends failed, last: %4")
                                                      .arg(t)
                                                      .arg(failures[t])
                                                      .arg(kCalls)
                                                      .arg(errors[t])));
        const QString mine = QStringLiteral(" from submit where customername in (") +
                             QStringLiteral("?,").repeated(threads - 1) + QStringLiteral("?)");
        QCOMPARE(scalarOn(admin, QStringLiteral("select count(*)") + mine, names).toInt(), threads * kCalls);
        QCOMPARE(scalarOn(admin, QStringLiteral("select count(distinct submitid)") + mine, names).toInt(),
                 threads * kCalls);
    }

    // Random sends and recharges among a parent and its sub-accounts through the
    // proxy; meanwhile one node is killed and, some seconds later, started again.
    void workloadWhileANodeDies()
    {
        constexpr int kThreads = 4;
        constexpr qint64 kStart = 10000;
        customers.clear();
        for (int i = 0; i < 4; ++i)
            customers << name(i);
        QString err;
        QVERIFY2(execOn(admin,
                        QStringLiteral("insert into customers(customername,password,parentname,smscount) "
                                       "values(?,'pw','',?),(?,'pw',?,?),(?,'pw',?,?),(?,'pw',?,?)"),
                        {customers[0], kStart, customers[1], customers[0], kStart, customers[2], customers[0],
                         kStart, customers[3], customers[0], kStart},
                        &err),
                 qPrintable(err));

        std::vector<TWorker> results(kThreads);
        std::atomic<int> phase{Before};
        std::atomic<int> ready{0};
        const qint64 conflictsBefore = conflictCount(env);
        std::vector<std::thread> workers;
        for (int t = 0; t < kThreads; ++t) {
            workers.emplace_back([&, t] {
                TWorker& r = results[t];
                TDM dm;
                dm.SetServer(env.host(), env.proxyPort);
                if (!dm.EnsureConnected()) {
                    r.error = QStringLiteral("no connection");
                    ++ready;
                    return;
                }
                ++ready;
                while (ready.load() < kThreads)
                    std::this_thread::yield();
                std::mt19937 rng(4321u + unsigned(t));
                auto pick = [&](int n) { return int(rng() % unsigned(n)); };
                for (int i = 0; phase.load() != Done; ++i) {
                    TOp op;
                    dm.ClearLastError();
                    const int conflictFailures = dm.ConflictFailures();
                    const int retriesBefore = dm.Retries();
                    if (pick(2) == 0) {
                        TSmsRec b;
                        b.PhoneCount = 1 + pick(5);
                        for (qint64 k = 0; k < b.PhoneCount; ++k)
                            b.PhonesText += QStringLiteral("1390000%1\n").arg(k);
                        b.MsgCount = 1 + pick(4);
                        b.Content = QStringLiteral("%1 集群 %2/%3").arg(env.tag).arg(t).arg(i);
                        b.CustomerName = customers[pick(customers.size())];
                        if (pick(2) == 0)
                            b.TestPhonesText = QStringLiteral("13800000000\n");
                        op.send = true;
                        op.content = b.Content;
                        op.ok = dm.SubmitBatch(b);
                    } else {
                        const int from = pick(customers.size());
                        const int to = (from + 1 + pick(customers.size() - 1)) % customers.size();
                        op.ok = dm.Recharge(customers[from], customers[to], pick(161) - 60);
                    }
                    // A conflict that was run again and then refused for the balance is
                    // a refusal; one met at the last try is a failure.
                    const QSqlError e = dm.LastError();
                    const bool conflict = e.nativeErrorCode() == QLatin1String("1213") ||
                                          e.nativeErrorCode() == QLatin1String("1205");
                    if (!op.ok && e.isValid() && (!conflict || dm.ConflictFailures() > conflictFailures)) {
                        op.errored = true;
                        op.lostAnswer = isLostConnection(e);
                        op.code = e.nativeErrorCode();
                    }
                    // The phase the call ended in: one that began before the kill may meet it.
                    op.phase = std::min(phase.load(), int(NodeBack));
                    op.tries = 1 + dm.Retries() - retriesBefore + dm.ConflictFailures() - conflictFailures;
                    r.ops.push_back(op);
                }
                // Once the node is back, a client works as before: a zero recharge changes
                // no balance and is refused only by an error.
                r.retries = dm.Retries();
                r.probeOk = dm.Recharge(customers[t % 4], customers[(t + 1) % 4], 0);
                if (!r.probeOk)
                    r.error = QStringLiteral("last recharge failed: ") + dm.LastError().text();
            });
        }
        while (ready.load() < kThreads)
            QThread::msleep(10);

        QElapsedTimer clock;
        clock.start();
        QThread::sleep(3);
        QString out;
        phase = NodeDown; // calls from here on may meet the dying node
        const bool killed = env.script({QStringLiteral("kill"), QStringLiteral("3")}, &out);
        const qint64 killedAt = clock.elapsed();
        QThread::sleep(8);
        const bool restarted = killed && env.script({QStringLiteral("start")}, &out);
        const qint64 backAt = clock.elapsed();
        phase = NodeBack;
        QThread::sleep(4);
        phase = Done;
        for (std::thread& w : workers)
            w.join();
        const qint64 conflicts = conflictCount(env) - conflictsBefore;
        QVERIFY2(killed && restarted, qPrintable(out));

        // What the clients were told.
        int ops = 0, sentOk = 0, chargedOk = 0, lostCharges = 0, retried = 0;
        int erroredIn[3] = {0, 0, 0}, okIn[3] = {0, 0, 0};
        QHash<QString, bool> sends;
        QMap<QString, int> codes; // errors by number
        QStringList stuck;        // clients without a success while the node was down, or after it was back
        for (int t = 0; t < kThreads; ++t) {
            const TWorker& r = results[t];
            QVERIFY2(r.error.isEmpty(), qPrintable(QStringLiteral("client %1: %2").arg(t).arg(r.error)));
            int answered[3] = {0, 0, 0}, calls[3] = {0, 0, 0};
            for (const TOp& op : r.ops) {
                ++ops;
                if (op.send) {
                    sends.insert(op.content, op.ok);
                    sentOk += op.ok;
                } else {
                    chargedOk += op.ok;
                    lostCharges += op.lostAnswer;
                }
                erroredIn[op.phase] += op.errored;
                if (op.errored)
                    codes[op.code]++;
                okIn[op.phase] += op.ok;
                answered[op.phase] += !op.errored; // done, or refused for its balance
                ++calls[op.phase];
            }
            if (answered[NodeDown] == 0 || answered[NodeBack] == 0)
                stuck << QStringLiteral(
                             "client %1: %2 of %3 calls answered while the node was down, %4 of %5 after")
                             .arg(t)
                             .arg(answered[NodeDown])
                             .arg(calls[NodeDown])
                             .arg(answered[NodeBack])
                             .arg(calls[NodeBack]);
            chargedOk += r.probeOk;
            retried += r.retries;
        }
        qInfo("%d calls in %lld ms (node killed at %lld ms, back at %lld ms); %d batches and %d recharges "
              "stored; errors before/down/back: %d/%d/%d (successes %d/%d/%d); %d tries run again, %lld "
              "transactions aborted by conflicts",
              ops, (long long)clock.elapsed(), (long long)killedAt, (long long)backAt, sentOk, chargedOk,
              erroredIn[0], erroredIn[1], erroredIn[2], okIn[0], okIn[1], okIn[2], retried, conflicts);
        {
            std::vector<std::vector<int>> tries(1);
            for (const TWorker& r : results)
                for (const TOp& op : r.ops)
                    tries[0].push_back(op.tries);
            qInfo("calls by tries taken: %s", qPrintable(histogram(tries)));
        }
        QStringList tally;
        for (auto it = codes.constBegin(); it != codes.constEnd(); ++it)
            tally << QStringLiteral("%1 x %2").arg(it.value()).arg(it.key());
        if (!tally.isEmpty())
            qInfo("errors by number: %s", qPrintable(tally.join(QStringLiteral(", "))));
        // No client stays failing once the node is gone, nor after it is back.
        QVERIFY2(stuck.isEmpty(), qPrintable(stuck.join(QLatin1Char('\n'))));

        // What the cluster stored, read on a node that stayed up.
        const QString mine = QStringLiteral(" customername in (?,?,?,?)");
        const QVariantList names{customers[0], customers[1], customers[2], customers[3]};
        QSet<QString> stored;
        {
            QSqlQuery q(admin);
            QVERIFY(q.prepare(QStringLiteral("select content from submit where") + mine));
            for (const QVariant& n : names)
                q.addBindValue(n);
            QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
            while (q.next()) {
                QVERIFY2(!stored.contains(q.value(0).toString()), "a batch is stored twice");
                stored.insert(q.value(0).toString());
            }
        }
        // A send reported as done is stored once; one reported as failed is not stored.
        for (auto it = sends.constBegin(); it != sends.constEnd(); ++it)
            QVERIFY2(
                stored.contains(it.key()) == it.value(),
                qPrintable(QStringLiteral("batch \"%1\" reported %2 but %3")
                               .arg(it.key(), it.value() ? QStringLiteral("sent") : QStringLiteral("failed"),
                                    stored.contains(it.key()) ? QStringLiteral("stored")
                                                              : QStringLiteral("not stored"))));
        QCOMPARE(int(stored.size()), sentOk);
        QCOMPARE(
            scalarOn(admin, QStringLiteral("select count(distinct submitid) from submit where") + mine, names)
                .toInt(),
            sentOk);
        // A recharge whose answer was lost with the node may have been stored; no other may differ.
        const int charges =
            scalarOn(admin, QStringLiteral("select count(*) from charge where") + mine, names).toInt();
        QVERIFY2(charges >= chargedOk && charges <= chargedOk + lostCharges,
                 qPrintable(QStringLiteral("%1 recharge rows, %2 reported done, %3 answers lost")
                                .arg(charges)
                                .arg(chargedOk)
                                .arg(lostCharges)));

        // No credit appeared or vanished, and none went below zero.
        const qint64 balances =
            scalarOn(admin, QStringLiteral("select sum(smscount) from customers where") + mine, names)
                .toLongLong();
        const qint64 sent =
            scalarOn(admin,
                     QStringLiteral("select coalesce(sum(phonecount*msgcount),0) from submit where") + mine,
                     names)
                .toLongLong();
        QCOMPARE(balances + sent, kStart * customers.size());
        QCOMPARE(
            scalarOn(admin,
                     QStringLiteral("select count(*) from customers where (smscount<0 or smscount is null) "
                                    "and") +
                         mine,
                     names)
                .toInt(),
            0);
        for (const QString& c : customers) {
            const qint64 received =
                scalarOn(
                    admin,
                    QStringLiteral("select coalesce(sum(chargePoint),0) from charge where customername=?"),
                    {c})
                    .toLongLong();
            const qint64 given =
                scalarOn(
                    admin,
                    QStringLiteral("select coalesce(sum(chargePoint),0) from charge where contributor=?"),
                    {c})
                    .toLongLong();
            const qint64 spent =
                scalarOn(admin,
                         QStringLiteral(
                             "select coalesce(sum(phonecount*msgcount),0) from submit where customername=?"),
                         {c})
                    .toLongLong();
            const qint64 now =
                scalarOn(admin, QStringLiteral("select smscount from customers where customername=?"), {c})
                    .toLongLong();
            QCOMPARE(kStart + received - given - spent, now);
        }
        // Conflicts are worked off, not passed on: only the lost node may cost a failure.
        QCOMPARE(codes.value(QStringLiteral("1213")) + codes.value(QStringLiteral("1205")), 0);
        QCOMPARE(erroredIn[Before], 0);
        QCOMPARE(erroredIn[NodeBack], 0);
        QVERIFY(sentOk > 50 && chargedOk > 50);
    }
};

QTEST_GUILESS_MAIN(TstClusterDm)
#include "tst_cluster_dm.moc"

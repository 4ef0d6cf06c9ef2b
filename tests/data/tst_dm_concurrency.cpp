// Several clients send and recharge among a few customers at the same time,
// each over its own connection. Afterwards no credit has appeared or vanished,
// no balance is below zero, and every record matches its balance changes.
#include "data/uDM.h"
#include "tests/support/TestServer.h"

#include <QElapsedTimer>
#include <QtTest>
#include <atomic>
#include <random>
#include <thread>

namespace {

constexpr int kThreads = 4;
constexpr int kOpsPerThread = 1000;
const QStringList kCustomers{QStringLiteral("c0"), QStringLiteral("c1"), QStringLiteral("c2"),
                             QStringLiteral("c3")};
constexpr qint64 kStart = 3000;

struct TWorkerResult
{
    int sentOk = 0, sentRefused = 0, chargedOk = 0, chargedRefused = 0;
    QString error;
};

} // namespace

class TstDmConcurrency : public QObject
{
    Q_OBJECT
    TestServer server;

private slots:
    void initTestCase() { QVERIFY2(server.start(), qPrintable(server.error())); }

    void bankWorkload()
    {
        QVERIFY(server.resetData());
        // On a hardened server each client is logged in as one customer, sends
        // in its own name and recharges only its direct sub-accounts: c0 is
        // the parent of c1 and c2, c1 that of c3.
        const bool hardened = server.hardened();
        const QStringList parents{QString(), QStringLiteral("c0"), QStringLiteral("c0"), QStringLiteral("c1")};
        auto childrenOf = [&](int t) {
            QList<int> out;
            for (int k = 0; k < kCustomers.size(); ++k)
                if (parents[k] == kCustomers[t])
                    out << k;
            return out;
        };
        for (int k = 0; k < kCustomers.size(); ++k)
            QVERIFY(server.exec(QStringLiteral("insert into customers(customername,password,smscount,parentname) "
                                               "values(?,'pw',?,?)"),
                                {kCustomers[k], kStart,
                                 hardened && !parents[k].isEmpty() ? QVariant(parents[k]) : QVariant()}));

        std::vector<TWorkerResult> results(kThreads);
        std::vector<std::thread> workers;
        std::atomic<int> ready{0};
        QElapsedTimer clock;
        clock.start();
        for (int t = 0; t < kThreads; ++t) {
            workers.emplace_back([&, t] {
                TWorkerResult& r = results[t];
                {
                    // The connection belongs to the thread that creates it.
                    TDM dm;
                    dm.SetServer(server.host(), server.port());
                    dm.SetServerCa(server.caFile());
                    if (hardened)
                        dm.SetSession(kCustomers[t], QStringLiteral("pw"));
                    if (!dm.EnsureConnected()) {
                        r.error = QStringLiteral("no connection");
                        return;
                    }
                    ++ready;
                    while (ready.load() < kThreads)
                        std::this_thread::yield();
                    std::mt19937 rng(1234u + unsigned(t));
                    auto pick = [&](int n) { return int(rng() % unsigned(n)); };
                    const QList<int> children = childrenOf(t);
                    for (int i = 0; i < kOpsPerThread; ++i) {
                        if (pick(2) == 0 || (hardened && children.isEmpty())) {
                            TSmsRec b;
                            b.PhoneCount = 1 + pick(5);
                            for (qint64 k = 0; k < b.PhoneCount; ++k)
                                b.PhonesText += QStringLiteral("1390000%1\n").arg(k);
                            b.MsgCount = 1 + pick(4);
                            b.Content = QStringLiteral("并发 %1/%2").arg(t).arg(i);
                            b.CustomerName = kCustomers[pick(kCustomers.size())];
                            if (hardened)
                                b.CustomerName = kCustomers[t];
                            if (pick(2) == 0)
                                b.TestPhonesText = QStringLiteral("13800000000\n");
                            (dm.SubmitBatch(b) ? r.sentOk : r.sentRefused)++;
                        } else {
                            int from = pick(kCustomers.size());
                            int to = (from + 1 + pick(kCustomers.size() - 1)) % kCustomers.size();
                            if (hardened) {
                                from = t;
                                to = children[pick(int(children.size()))];
                            }
                            const int amount = pick(161) - 60; // -60..100, 0 included
                            (dm.Recharge(kCustomers[from], kCustomers[to], amount) ? r.chargedOk
                                                                                   : r.chargedRefused)++;
                        }
                    }
                }
            });
        }
        for (std::thread& w : workers)
            w.join();
        const qint64 ms = clock.elapsed();

        int sentOk = 0, sentRefused = 0, chargedOk = 0, chargedRefused = 0;
        for (const TWorkerResult& r : results) {
            QVERIFY2(r.error.isEmpty(), qPrintable(r.error));
            sentOk += r.sentOk;
            sentRefused += r.sentRefused;
            chargedOk += r.chargedOk;
            chargedRefused += r.chargedRefused;
        }
        qInfo("%d calls in %lld ms: %d batches stored, %d refused; %d recharges stored, %d refused",
              kThreads * kOpsPerThread, ms, sentOk, sentRefused, chargedOk, chargedRefused);

        // A true result is exactly a stored row; a false one stored nothing.
        QCOMPARE(server.scalar(QStringLiteral("select count(*) from submit")).toInt(), sentOk);
        QCOMPARE(server.scalar(QStringLiteral("select count(*) from charge")).toInt(), chargedOk);
        QCOMPARE(server.scalar(QStringLiteral("select count(distinct submitid) from submit")).toInt(),
                 sentOk);

        // No credit appeared or vanished.
        const qint64 balances =
            server.scalar(QStringLiteral("select sum(smscount) from customers")).toLongLong();
        const qint64 sent =
            server.scalar(QStringLiteral("select coalesce(sum(phonecount*msgcount),0) from submit"))
                .toLongLong();
        QCOMPARE(balances + sent, kStart * kCustomers.size());
        QCOMPARE(
            server
                .scalar(QStringLiteral("select count(*) from customers where smscount<0 or smscount is null"))
                .toInt(),
            0);

        // Every customer's balance is its start plus what it received, minus what
        // it gave and what it sent.
        for (const QString& c : kCustomers) {
            const qint64 received =
                server
                    .scalar(QStringLiteral(
                                "select coalesce(sum(chargePoint),0) from charge where customername=?"),
                            {c})
                    .toLongLong();
            const qint64 given =
                server
                    .scalar(
                        QStringLiteral("select coalesce(sum(chargePoint),0) from charge where contributor=?"),
                        {c})
                    .toLongLong();
            const qint64 spent =
                server
                    .scalar(
                        QStringLiteral(
                            "select coalesce(sum(phonecount*msgcount),0) from submit where customername=?"),
                        {c})
                    .toLongLong();
            const qint64 now =
                server.scalar(QStringLiteral("select smscount from customers where customername=?"), {c})
                    .toLongLong();
            QCOMPARE(kStart + received - given - spent, now);
        }
        // Each batch row's counts and each charge row's point are sane.
        QCOMPARE(
            server
                .scalar(QStringLiteral("select count(*) from submit where phonecount<1 or phonecount>5 or "
                                       "msgcount<1 or msgcount>4 or "
                                       "length(phones)-length(replace(phones,'\\n',''))<>phonecount"))
                .toInt(),
            0);
        QCOMPARE(server
                     .scalar(QStringLiteral("select count(*) from charge where customername=contributor or "
                                            "chargePoint<-60 or chargePoint>100"))
                     .toInt(),
                 0);
        // The workload must have succeeded often and pushed balances to their limit.
        QVERIFY(sentOk > 100 && chargedOk > 100);
        QVERIFY(sentRefused > 0 && chargedRefused > 0);
    }
};

QTEST_GUILESS_MAIN(TstDmConcurrency)
#include "tst_dm_concurrency.moc"

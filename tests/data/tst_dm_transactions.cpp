// The two balance transactions of the data module against a real server:
// storing a send batch and moving credit between two customers.
#include "data/uDM.h"
#include "tests/support/CutProxy.h"
#include "tests/support/DmFixture.h"
#include "tests/support/FakeUi.h"
#include "tests/support/ZoneScope.h"

#include <QElapsedTimer>
#include <QtTest>
#include <atomic>
#include <functional>
#include <thread>
#include <time.h>

namespace {

TSmsRec batch(const QString& customer, int phones, int msgCount, const QString& appoint = QString())
{
    TSmsRec r;
    for (int i = 0; i < phones; ++i)
        r.PhonesText += QStringLiteral("1380000%1\n").arg(i, 4, 10, QLatin1Char('0'));
    r.PhoneCount = phones;
    r.TestPhonesText = QStringLiteral("13900000000\n");
    r.Content = QStringLiteral("测试短信");
    r.MsgCount = msgCount;
    r.CustomerName = customer;
    r.AppointTime = appoint;
    return r;
}

// A second client of the server, with the administrator's rights: work runs
// on a connection of its own, on a thread of its own, while the test's thread
// waits in a data-module call.
std::thread otherClient(const TestServer& server, std::function<void(QSqlDatabase&)> work)
{
    return std::thread([&server, work = std::move(work)] {
        static std::atomic<int> counter{0};
        const QString name = QStringLiteral("other%1").arg(counter++);
        {
            QSqlDatabase db = server.adminConnectionTo(name);
            if (db.open())
                work(db);
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    });
}

qint64 status(QSqlDatabase& db, const char* name)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("show global status like '%1'").arg(QLatin1String(name))) || !q.next())
        return -1;
    return q.value(1).toLongLong();
}

// Waits (up to a minute) until done() holds or stop is set.
bool waitFor(const std::function<bool()>& done, const std::atomic<bool>* stop = nullptr)
{
    QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired()) {
        if (done())
            return true;
        if (stop && *stop)
            return false;
        QThread::msleep(10);
    }
    return false;
}

} // namespace

// The cutting relay finds the statement to cut at in what it passes on, which
// a hardened server's TLS hides.
#define SKIP_IF_RELAY_CANNOT_READ()                                                                          \
    do {                                                                                                     \
        if (server.hardened())                                                                               \
            QSKIP("the relay cuts at statements that it reads, and TLS hides them");                       \
    } while (false)

class TstDmTransactions : public QObject, TDmFixture
{
    Q_OBJECT

    // For the tests that run either balance transaction: a parent (100) and
    // a child (10); a send of 3 numbers x 2 segments by the parent, or a
    // recharge of 5 from the parent to the child; the parent's balance after either.
    static void sendOrRecharge_data()
    {
        QTest::addColumn<bool>("recharge");
        QTest::newRow("send") << false;
        QTest::newRow("recharge") << true;
    }
    void addParentAndChild()
    {
        addCustomer({.name = "parent", .balance = 100});
        addCustomer({.name = "child", .balance = 10});
        childOf(QStringLiteral("child"), QStringLiteral("parent"));
        sessionIfHardened(QStringLiteral("parent"));
    }
    // A hardened database moves credit only between a customer and its
    // direct sub-account: the row is made one (nothing in legacy mode).
    void childOf(const QString& child, const QString& parent)
    {
        if (server.hardened())
            QVERIFY(server.exec(QStringLiteral("update customers set parentname=? where customername=?"),
                                {parent, child}));
    }
    bool sendOrRecharge(bool recharge)
    {
        return recharge ? dm->Recharge(QStringLiteral("parent"), QStringLiteral("child"), 5)
                        : dm->SubmitBatch(batch(QStringLiteral("parent"), 3, 2));
    }
    static qint64 parentAfter(bool recharge) { return recharge ? 95 : 94; }

private slots:
    void initTestCase() { QVERIFY2(startServer(), qPrintable(server.error())); }
    void init() { QVERIFY(freshModule()); }
    void cleanup() { dropModule(); }

    // --- SubmitBatch ---

    void immediateBatch()
    {
        FakeUi ui;
        addCustomer({.name = "alice", .balance = 100});
        addCustomer({.name = "bob", .balance = 100});
        sessionIfHardened(QStringLiteral("ALICE")); // the batch is stored with the name the session gave
        // The server's default for appointtime must be what an immediate batch gets.
        SQL_EXEC(server, "alter table submit alter appointtime set default '2001-02-03 04:05:06'");
        auto restore = qScopeGuard([&] {
            server.exec(QStringLiteral("alter table submit alter appointtime set default current_timestamp"));
        });
        const TSmsRec b = batch(QStringLiteral("ALICE"), 3, 2);
        QVERIFY(dm->SubmitBatch(b));
        QCOMPARE(balanceOf(QStringLiteral("alice")).toLongLong(), 94LL);
        QCOMPARE(balanceOf(QStringLiteral("bob")).toLongLong(), 100LL);
        QSqlQuery q(server.admin());
        QVERIFY(q.exec(QStringLiteral("select submitid,phones,testPhones,content,appointtime,customername,"
                                      "submittime,phonecount,msgcount,now() from submit")));
        QVERIFY(q.next());
        QCOMPARE(q.value(1).toString(), b.PhonesText);
        QCOMPARE(q.value(2).toString(), b.TestPhonesText);
        QCOMPARE(q.value(3).toString(), b.Content);
        QCOMPARE(q.value(4).toDateTime(), QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6)));
        QCOMPARE(q.value(5).toString(), QStringLiteral("ALICE"));
        QVERIFY(qAbs(q.value(6).toDateTime().secsTo(q.value(9).toDateTime())) <= 5);
        QCOMPARE(q.value(7).toInt(), 3);
        QCOMPARE(q.value(8).toInt(), 2);
        QVERIFY(!q.next());
        QCOMPARE(ui.count(), 0);
    }

    // A booked time is the server's wall clock: an hour (or a midnight) that
    // the local zone skips for summer time is still stored as the fields give it.
    void bookedTimeInAnyZone_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("appoint");
        QTest::newRow("hour skipped at 02:00")
            << QByteArray("Europe/Berlin") << QStringLiteral("2024-03-31 02:30:00");
        QTest::newRow("midnight skipped")
            << QByteArray("America/Santiago") << QStringLiteral("2024-09-08 00:15:00");
        QTest::newRow("no summer time") << QByteArray("UTC") << QStringLiteral("2024-03-31 02:30:00");
    }
    void bookedTimeInAnyZone()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QString, appoint);
        TZoneScope tz(zone);
        addCustomer({.name = "alice", .balance = 100});
        sessionIfHardened(QStringLiteral("alice"));
        QVERIFY(dm->SubmitBatch(batch(QStringLiteral("alice"), 2, 1, appoint)));
        QCOMPARE(
            server.scalar(QStringLiteral("select date_format(appointtime,'%Y-%m-%d %H:%i:%s') from submit"))
                .toString(),
            appoint);
        QCOMPARE(balanceOf(QStringLiteral("alice")).toLongLong(), 98LL);
    }

    void bookedBatch()
    {
        addCustomer({.name = "alice", .balance = 100});
        sessionIfHardened(QStringLiteral("alice"));
        QVERIFY(dm->SubmitBatch(batch(QStringLiteral("alice"), 5, 1, QStringLiteral("2031-12-24 18:30:05"))));
        QCOMPARE(balanceOf(QStringLiteral("alice")).toLongLong(), 95LL);
        QCOMPARE(server.scalar(QStringLiteral("select appointtime from submit")).toDateTime(),
                 QDateTime(QDate(2031, 12, 24), QTime(18, 30, 5)));
    }

    void readCommitted()
    {
        QVERIFY(dm->EnsureConnected());
        QSqlQuery q(dm->conn());
        QVERIFY(q.exec(QStringLiteral("select @@session.tx_isolation")) && q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("READ-COMMITTED"));
    }

    void distinctIdsPerBatch()
    {
        addCustomer({.name = "alice", .balance = 100});
        sessionIfHardened(QStringLiteral("alice"));
        for (int i = 0; i < 3; ++i)
            QVERIFY(dm->SubmitBatch(batch(QStringLiteral("alice"), 1, 1)));
        QCOMPARE(server.scalar(QStringLiteral("select count(distinct submitid) from submit")).toInt(), 3);
    }

    void coverage_data()
    {
        QTest::addColumn<QVariant>("start");
        QTest::addColumn<int>("phones");
        QTest::addColumn<int>("msgCount");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("okHardened"); // a hardened database takes no batch without numbers
        QTest::newRow("more than enough") << QVariant(10) << 3 << 3 << true << true;
        QTest::newRow("exactly enough") << QVariant(9) << 3 << 3 << true << true;
        QTest::newRow("one short") << QVariant(8) << 3 << 3 << false << false;
        QTest::newRow("zero balance") << QVariant(0) << 1 << 1 << false << false;
        QTest::newRow("negative balance") << QVariant(-5) << 1 << 1 << false << false;
        QTest::newRow("NULL balance") << QVariant() << 1 << 1 << false << false;
        QTest::newRow("above 32 bits") << QVariant(5000000000LL) << 2 << 3 << true << true;
        QTest::newRow("negative message count") << QVariant(10) << 3 << -1 << false << false;
        QTest::newRow("no numbers") << QVariant(10) << 0 << 1 << true << false;
    }
    void coverage()
    {
        // The balance is lowered only when it covers the cost; otherwise nothing is stored.
        QFETCH(QVariant, start);
        QFETCH(int, phones);
        QFETCH(int, msgCount);
        QFETCH(bool, ok);
        QFETCH(bool, okHardened);
        if (server.hardened())
            ok = okHardened;
        addCustomer({.name = "alice", .balance = start});
        sessionIfHardened(QStringLiteral("alice"));
        QCOMPARE(dm->SubmitBatch(batch(QStringLiteral("alice"), phones, msgCount)), ok);
        const QVariant after = balanceOf(QStringLiteral("alice"));
        if (ok)
            QCOMPARE(after.toLongLong(), start.toLongLong() - phones * msgCount);
        else if (start.isNull())
            QVERIFY(after.isNull());
        else
            QCOMPARE(after.toLongLong(), start.toLongLong());
        QCOMPARE(rows("submit"), ok ? 1 : 0);
    }

    void emptyTextsStoredAsEmpty()
    {
        // A batch without test numbers (a null text) is stored with empty text, not refused.
        addCustomer({.name = "alice", .balance = 100});
        sessionIfHardened(QStringLiteral("alice"));
        TSmsRec b = batch(QStringLiteral("alice"), 2, 1);
        b.TestPhonesText = QString();
        b.Content = QString();
        QVERIFY(dm->SubmitBatch(b));
        QCOMPARE(balanceOf(QStringLiteral("alice")).toLongLong(), 98LL);
        QCOMPARE(
            server.scalar(QStringLiteral("select count(*) from submit where testPhones='' and content=''"))
                .toInt(),
            1);
        QVERIFY(dm->ChangePassword(QStringLiteral("alice"), QStringLiteral("pw"), QString()));
        QCOMPARE(server.scalar(QStringLiteral("select count(*) from customers where password=''")).toInt(),
                 1);
    }

    void missingCustomerStoresNothing()
    {
        addCustomer({.name = "alice", .balance = 100});
        if (server.hardened())
            dm->SetSession(QStringLiteral("nobody"), QStringLiteral("pw")); // a login that finds no row
        QVERIFY(!dm->SubmitBatch(batch(QStringLiteral("nobody"), 1, 1)));
        QCOMPARE(rows("submit"), 0);
    }

    void badAppointTime()
    {
        addCustomer({.name = "alice", .balance = 100});
        sessionIfHardened(QStringLiteral("alice"));
        QVERIFY(
            !dm->SubmitBatch(batch(QStringLiteral("alice"), 1, 1, QStringLiteral("2031-13-40 25:00:00"))));
        QVERIFY(!dm->SubmitBatch(batch(QStringLiteral("alice"), 1, 1, QStringLiteral("tomorrow"))));
        QCOMPARE(balanceOf(QStringLiteral("alice")).toLongLong(), 100LL);
        QCOMPARE(rows("submit"), 0);
    }

    void failingInsertLeavesBalance()
    {
        addCustomer({.name = "alice", .balance = 100});
        sessionIfHardened(QStringLiteral("alice"));
        SQL_EXEC(server, "rename table submit to submit_away");
        auto restore =
            qScopeGuard([&] { server.exec(QStringLiteral("rename table submit_away to submit")); });
        FakeUi ui;
        QVERIFY(!dm->SubmitBatch(batch(QStringLiteral("alice"), 3, 2)));
        QCOMPARE(balanceOf(QStringLiteral("alice")).toLongLong(), 100LL);
        restore.dismiss();
        SQL_EXEC(server, "rename table submit_away to submit");
        // The connection is fit for the next batch.
        QVERIFY(dm->SubmitBatch(batch(QStringLiteral("alice"), 3, 2)));
        QCOMPARE(balanceOf(QStringLiteral("alice")).toLongLong(), 94LL);
        QCOMPARE(rows("submit"), 1);
        QCOMPARE(ui.count(), 0);
    }

    void missingSeqLeavesBalance()
    {
        addCustomer({.name = "alice", .balance = 100});
        // The hardened database's seq is its own: there its counter goes.
        const bool hardened = server.hardened();
        sessionIfHardened(QStringLiteral("alice"));
        SQL_EXEC(server, hardened ? "rename table seqcounter to seqcounter_gone" : "drop function seq");
        auto restore = qScopeGuard([&] {
            if (hardened)
                server.exec(QStringLiteral("rename table seqcounter_gone to seqcounter"));
            else
                server.loadSchema();
        });
        QVERIFY(!dm->SubmitBatch(batch(QStringLiteral("alice"), 3, 2)));
        QCOMPARE(balanceOf(QStringLiteral("alice")).toLongLong(), 100LL);
        QCOMPARE(rows("submit"), 0);
        restore.dismiss();
        if (hardened)
            SQL_EXEC(server, "rename table seqcounter_gone to seqcounter");
        else
            QVERIFY(server.loadSchema());
        QVERIFY(dm->SubmitBatch(batch(QStringLiteral("alice"), 3, 2)));
        QCOMPARE(balanceOf(QStringLiteral("alice")).toLongLong(), 94LL);
    }

    void oddTextsStoredExactly()
    {
        const QStringList names{QStringLiteral("o'brien"), QStringLiteral("back\\slash"),
                                QStringLiteral("100%_off"), QStringLiteral("张三"),
                                QStringLiteral("emoji😀x")};
        for (const QString& n : names)
            addCustomer({.name = n, .balance = 1000});
        addCustomer({.name = "100", .balance = 1000}); // what a pattern "100%" would also hit
        int expectRows = 0;
        for (const QString& n : names) {
            sessionIfHardened(n);
            TSmsRec b = batch(n, 2, 1);
            b.Content = QStringLiteral("它's \"quoted\" \\n 100% 😀🇨🇳 ') ; --") + n;
            b.TestPhonesText = n + QStringLiteral("\n");
            QVERIFY2(dm->SubmitBatch(b), qPrintable(n));
            ++expectRows;
            QCOMPARE(balanceOf(n).toLongLong(), 998LL);
            QCOMPARE(server
                         .scalar(QStringLiteral(
                             "select content from submit where submitid=(select max(submitid) from submit)"))
                         .toString(),
                     b.Content);
            QCOMPARE(
                server
                    .scalar(QStringLiteral(
                        "select testPhones from submit where submitid=(select max(submitid) from submit)"))
                    .toString(),
                b.TestPhonesText);
            QCOMPARE(
                server
                    .scalar(QStringLiteral(
                        "select customername from submit where submitid=(select max(submitid) from submit)"))
                    .toString(),
                n);
        }
        QCOMPARE(rows("submit"), expectRows);
        QCOMPARE(balanceOf(QStringLiteral("100")).toLongLong(), 1000LL);
        // Credit moves between such names as well.
        childOf(names[3], names[0]);
        childOf(names[1], names[4]);
        sessionIfHardened(names[0]);
        QVERIFY(dm->Recharge(names[0], names[3], 7));
        sessionIfHardened(names[4]);
        QVERIFY(dm->Recharge(names[4], names[1], -3));
        QCOMPARE(balanceOf(names[0]).toLongLong(), 991LL);
        QCOMPARE(balanceOf(names[3]).toLongLong(), 1005LL);
        QCOMPARE(balanceOf(names[4]).toLongLong(), 1001LL);
        QCOMPARE(balanceOf(names[1]).toLongLong(), 995LL);
        QCOMPARE(
            server.scalar(QStringLiteral("select contributor from charge where customername=?"), {names[3]})
                .toString(),
            names[0]);
    }

    // --- Recharge ---

    void recharge_data()
    {
        QTest::addColumn<qint64>("giverStart");
        QTest::addColumn<QVariant>("takerStart");
        QTest::addColumn<int>("amount");
        QTest::addColumn<bool>("ok");
        QTest::newRow("50") << qint64(200) << QVariant(30) << 50 << true;
        QTest::newRow("-20") << qint64(200) << QVariant(30) << -20 << true;
        QTest::newRow("0") << qint64(200) << QVariant(30) << 0 << true;
        QTest::newRow("whole balance") << qint64(50) << QVariant(30) << 50 << true;
        QTest::newRow("overdraw by one") << qint64(49) << QVariant(30) << 50 << false;
        QTest::newRow("take back whole balance") << qint64(0) << QVariant(30) << -30 << true;
        QTest::newRow("take back too much") << qint64(0) << QVariant(30) << -31 << false;
        QTest::newRow("to a NULL balance") << qint64(200) << QVariant() << 50 << true;
        QTest::newRow("take back from a NULL balance") << qint64(200) << QVariant() << -1 << false;
        QTest::newRow("to a balance above 32 bits") << qint64(200) << QVariant(3000000000LL) << 50 << true;
        QTest::newRow("least amount")
            << qint64(200) << QVariant(30) << std::numeric_limits<int>::min() << false;
        QTest::newRow("greatest amount")
            << qint64(3000000000LL) << QVariant(30) << std::numeric_limits<int>::max() << true;
    }
    void recharge()
    {
        QFETCH(qint64, giverStart);
        QFETCH(QVariant, takerStart);
        QFETCH(int, amount);
        QFETCH(bool, ok);
        FakeUi ui;
        addCustomer({.name = "parent", .balance = giverStart});
        addCustomer({.name = "child", .balance = takerStart});
        addCustomer({.name = "bystander", .balance = 500});
        childOf(QStringLiteral("child"), QStringLiteral("parent"));
        sessionIfHardened(QStringLiteral("parent"));
        QCOMPARE(dm->Recharge(QStringLiteral("parent"), QStringLiteral("child"), amount), ok);
        const QVariant giver = balanceOf(QStringLiteral("parent"));
        const QVariant taker = balanceOf(QStringLiteral("child"));
        QCOMPARE(balanceOf(QStringLiteral("bystander")).toLongLong(), 500LL);
        if (!ok) {
            QCOMPARE(giver.toLongLong(), giverStart);
            QCOMPARE(taker.isNull(), takerStart.isNull());
            QCOMPARE(taker.toLongLong(), takerStart.toLongLong());
            QCOMPARE(rows("charge"), 0);
        } else {
            QCOMPARE(giver.toLongLong(), giverStart - amount);
            QVERIFY(!taker.isNull());
            QCOMPARE(taker.toLongLong(), takerStart.toLongLong() + amount);
            QSqlQuery q(server.admin());
            QVERIFY(q.exec(QStringLiteral(
                "select customername,remainWhenCharge,chargePoint,contributor,chargeTime,now() "
                "from charge")));
            QVERIFY(q.next());
            QCOMPARE(q.value(0).toString(), QStringLiteral("child"));
            QCOMPARE(q.value(1).toLongLong(), takerStart.toLongLong());
            QCOMPARE(q.value(2).toInt(), amount);
            QCOMPARE(q.value(3).toString(), QStringLiteral("parent"));
            QVERIFY(qAbs(q.value(4).toDateTime().secsTo(q.value(5).toDateTime())) <= 5);
            QVERIFY(!q.next());
        }
        QCOMPARE(ui.count(), 0);
    }

    void rechargeMissingRows()
    {
        addCustomer({.name = "parent", .balance = 100});
        addCustomer({.name = "child", .balance = 10});
        childOf(QStringLiteral("child"), QStringLiteral("parent"));
        sessionIfHardened(QStringLiteral("parent"));
        // No receiving row.
        QVERIFY(!dm->Recharge(QStringLiteral("parent"), QStringLiteral("nobody"), 5));
        // Hardened, the contributor is the session's customer: a name without
        // a row has no session (the one before is ended first).
        if (server.hardened()) {
            dm->Logout();
            dm->SetSession(QStringLiteral("nobody"), QStringLiteral("pw"));
        }
        // No contributor row: no credit out of nothing, for either sign or 0.
        QVERIFY(!dm->Recharge(QStringLiteral("nobody"), QStringLiteral("child"), 5));
        QVERIFY(!dm->Recharge(QStringLiteral("nobody"), QStringLiteral("child"), -5));
        QVERIFY(!dm->Recharge(QStringLiteral("nobody"), QStringLiteral("child"), 0));
        QCOMPARE(balanceOf(QStringLiteral("parent")).toLongLong(), 100LL);
        QCOMPARE(balanceOf(QStringLiteral("child")).toLongLong(), 10LL);
        QCOMPARE(rows("charge"), 0);
    }

    void rechargeFailingInsert()
    {
        addParentAndChild();
        SQL_EXEC(server, "rename table charge to charge_away");
        auto restore =
            qScopeGuard([&] { server.exec(QStringLiteral("rename table charge_away to charge")); });
        QVERIFY(!dm->Recharge(QStringLiteral("parent"), QStringLiteral("child"), 5));
        QCOMPARE(balanceOf(QStringLiteral("parent")).toLongLong(), 100LL);
        QCOMPARE(balanceOf(QStringLiteral("child")).toLongLong(), 10LL);
    }

    void rechargeOverflowRefused()
    {
        // A balance that would leave the 64-bit range is refused, not wrapped.
        addCustomer({.name = "parent", .balance = 100});
        addCustomer({.name = "child", .balance = std::numeric_limits<qint64>::max() - 10});
        childOf(QStringLiteral("child"), QStringLiteral("parent"));
        sessionIfHardened(QStringLiteral("parent"));
        QVERIFY(!dm->Recharge(QStringLiteral("parent"), QStringLiteral("child"), 11));
        QCOMPARE(balanceOf(QStringLiteral("parent")).toLongLong(), 100LL);
        QCOMPARE(balanceOf(QStringLiteral("child")).toLongLong(), std::numeric_limits<qint64>::max() - 10);
        QVERIFY(dm->Recharge(QStringLiteral("parent"), QStringLiteral("child"), 10));
        QCOMPARE(server.scalar(QStringLiteral("select remainWhenCharge from charge")).toLongLong(),
                 std::numeric_limits<qint64>::max() - 10);
    }

    // --- server unreachable ---

    void unreachable()
    {
        addParentAndChild();
        FakeUi ui;
        dm->SetServer(server.host(), deadPort());
        QVERIFY(!dm->SubmitBatch(batch(QStringLiteral("parent"), 1, 1)));
        QCOMPARE(ui.count(), 2); // its own connect and the one of the id
        ui.clear();
        QVERIFY(!dm->Recharge(QStringLiteral("parent"), QStringLiteral("child"), 5));
        QCOMPARE(ui.count(), 1);
        for (const TUiMessage& m : ui.shown) {
            QCOMPARE(m.text, QStringLiteral("网络异常，数据库连接失败"));
            QCOMPARE(m.caption, QStringLiteral("连接异常"));
        }
        QCOMPARE(balanceOf(QStringLiteral("parent")).toLongLong(), 100LL);
        QCOMPARE(rows("submit") + rows("charge"), 0);
    }

    void connectionKilledInsideTransaction()
    {
        // The server ends the connection while the send's insert waits for a
        // lock, after the deduction: the deduction does not survive, and the
        // send runs again on a new connection, under the same number.
        addCustomer({.name = "alice", .balance = 100});
        sessionIfHardened(QStringLiteral("alice")); // bound again on the new connection
        FakeUi ui;
        QVERIFY(dm->EnsureConnected());
        const qlonglong cid = connectionId(*dm);
        // Hardened, the insert runs inside the routine's CALL.
        const QString waiting =
            server.hardened() ? QStringLiteral("call submit_batch%") : QStringLiteral("insert into submit%");
        std::atomic<bool> holding{false};
        std::thread other = otherClient(server, [&](QSqlDatabase& db) {
            QSqlQuery l(db);
            if (!l.exec(QStringLiteral("lock tables submit write")))
                qWarning() << "other client:" << l.lastError().text();
            holding = true;
            // Once the insert waits for the table, its connection is killed; then the table is free.
            waitFor([&] {
                QSqlQuery w(db);
                return w.exec(QStringLiteral("select count(*) from information_schema.processlist where "
                                             "id=%1 and info like '%2'")
                                  .arg(cid)
                                  .arg(waiting)) &&
                       w.next() && w.value(0).toInt() > 0;
            });
            QSqlQuery k(db);
            if (!k.exec(QStringLiteral("kill %1").arg(cid)))
                qWarning() << "other client:" << k.lastError().text();
            l.exec(QStringLiteral("unlock tables"));
        });
        QVERIFY(waitFor([&] { return holding.load(); }));
        const bool ok = dm->SubmitBatch(batch(QStringLiteral("alice"), 3, 2));
        other.join();
        QVERIFY2(ok, qPrintable(dm->LastError().text()));
        QCOMPARE(dm->Reconnects(), 1);
        QCOMPARE(balanceOf(QStringLiteral("alice")).toLongLong(), 94LL);
        QCOMPARE(rows("submit"), 1);
        QCOMPARE(server.scalar(QStringLiteral("select submitid from submit")),
                 server.scalar(QStringLiteral("select v from seqcounter where name='one'")));
        QCOMPARE(ui.count(), 0);
    }

    // The connection dies on its way to the server at one statement of a send
    // or a recharge, before COMMIT: the server keeps nothing of the try, and
    // the operation runs again at once on a new connection, all of it and
    // once. A send keeps the number it took: the counter moved by one.
    void connectionLostBeforeCommit_data()
    {
        QTest::addColumn<bool>("recharge");
        QTest::addColumn<QString>("statement"); // the one whose sending cuts the connection
        QTest::newRow("send, the packet limit") << false << QStringLiteral("select @@max_allowed_packet");
        QTest::newRow("send, beginning the transaction") << false << QStringLiteral("begin");
        QTest::newRow("send, the deduction") << false << QStringLiteral("update customers");
        QTest::newRow("send, the insert after the deduction")
            << false << QStringLiteral("insert into submit");
        QTest::newRow("recharge, the server time") << true << QStringLiteral("select");
        QTest::newRow("recharge, beginning the transaction") << true << QStringLiteral("begin");
        QTest::newRow("recharge, the insert after both updates")
            << true << QStringLiteral("insert into charge");
    }
    void connectionLostBeforeCommit()
    {
        SKIP_IF_RELAY_CANNOT_READ();
        QFETCH(bool, recharge);
        QFETCH(QString, statement);
        addParentAndChild();
        TCutProxy proxy(server.port());
        QVERIFY(proxy.listening());
        dm->SetServer(server.host(), proxy.port());
        FakeUi ui;
        QVERIFY(dm->EnsureConnected());
        proxy.armBefore(statement.toStdString());
        const bool ok = sendOrRecharge(recharge);
        QCOMPARE(proxy.cuts(), 1);
        QVERIFY2(ok, qPrintable(dm->LastError().text()));
        QCOMPARE(dm->Reconnects(), 1);
        QCOMPARE(dm->Retries(), 0);
        QCOMPARE(dm->LostCommits(), 0);
        QCOMPARE(ui.count(), 0);
        QCOMPARE(balanceOf(QStringLiteral("parent")).toLongLong(), parentAfter(recharge));
        QCOMPARE(balanceOf(QStringLiteral("child")).toLongLong(), recharge ? 15LL : 10LL);
        QCOMPARE(rows("charge"), recharge ? 1 : 0);
        QCOMPARE(rows("submit"), recharge ? 0 : 1);
        if (!recharge)
            QCOMPARE(server.scalar(QStringLiteral("select submitid from submit")),
                     server.scalar(QStringLiteral("select v from seqcounter where name='one'")));
    }

    // The connection is lost again on each new connection, lost times in all
    // (behind a proxy: the failover, then the failback moving the sessions
    // back). Up to LostConnectionTries new connections the call goes on and
    // changes the books once; lost on every one it fails having changed
    // nothing, and the next call works.
    void connectionLostOnNewConnections_data()
    {
        QTest::addColumn<bool>("recharge");
        QTest::addColumn<int>("lost");
        for (const bool recharge : {false, true}) {
            const char* what = recharge ? "recharge" : "send";
            QTest::addRow("%s, lost twice", what) << recharge << 2;
            QTest::addRow("%s, lost on every new connection", what)
                << recharge << TDM::LostConnectionTries + 1;
        }
    }
    void connectionLostOnNewConnections()
    {
        SKIP_IF_RELAY_CANNOT_READ();
        QFETCH(bool, recharge);
        QFETCH(int, lost);
        addParentAndChild();
        TCutProxy proxy(server.port());
        dm->SetServer(server.host(), proxy.port());
        FakeUi ui;
        QVERIFY(dm->EnsureConnected());
        const bool goesOn = lost <= TDM::LostConnectionTries;
        // One cut more than the call meets waits for the next call.
        proxy.armBefore(recharge ? "insert into charge" : "insert into submit", goesOn ? lost : lost + 1);
        if (goesOn) {
            QVERIFY2(sendOrRecharge(recharge), qPrintable(dm->LastError().text()));
            QCOMPARE(proxy.cuts(), lost);
            QCOMPARE(dm->Reconnects(), lost);
            QCOMPARE(dm->LostCommits(), 0);
            QCOMPARE(balanceOf(QStringLiteral("parent")).toLongLong(), parentAfter(recharge));
            QCOMPARE(rows("charge") + rows("submit"), 1);
            QCOMPARE(ui.count(), 0);
            return;
        }
        QVERIFY(!sendOrRecharge(recharge));
        QCOMPARE(proxy.cuts(), lost);
        QCOMPARE(dm->Reconnects(), TDM::LostConnectionTries);
        QCOMPARE(dm->LastError().nativeErrorCode(), QStringLiteral("2013"));
        QVERIFY(dm->SubmitRefusal().isEmpty());
        QCOMPARE(balanceOf(QStringLiteral("parent")).toLongLong(), 100LL);
        QCOMPARE(balanceOf(QStringLiteral("child")).toLongLong(), 10LL);
        QCOMPARE(rows("charge") + rows("submit"), 0);
        // The last cut meets the next call, whose new connection then goes through.
        QVERIFY(sendOrRecharge(recharge));
        QCOMPARE(proxy.cuts(), lost + 1);
        QCOMPARE(balanceOf(QStringLiteral("parent")).toLongLong(), parentAfter(recharge));
        QCOMPARE(ui.count(), 0);
    }

    void droppedWhileIdle_data() { sendOrRecharge_data(); }
    void droppedWhileIdle()
    {
        // The connection is dropped while the client is idle, and for a moment
        // new connections are taken and closed at once, as a proxy does until
        // it notices that its server died: the operation waits for a
        // connection instead of failing, and no box is shown.
        QFETCH(bool, recharge);
        addParentAndChild();
        TCutProxy proxy(server.port());
        dm->SetServer(server.host(), proxy.port());
        FakeUi ui;
        QVERIFY(dm->EnsureConnected());
        const qlonglong cid = connectionId(*dm);
        proxy.refuseFor(1500);
        SQL_EXEC(server, QStringLiteral("kill %1").arg(cid));
        QElapsedTimer clock;
        clock.start();
        const bool ok = sendOrRecharge(recharge);
        QVERIFY2(ok, qPrintable(dm->LastError().text()));
        QVERIFY(proxy.refused() > 0);
        QVERIFY(clock.elapsed() < TDM::ReconnectWaitMs);
        QCOMPARE(ui.count(), 0);
        QCOMPARE(balanceOf(QStringLiteral("parent")).toLongLong(), parentAfter(recharge));
    }

    // --- the connection dies or the server restarts ---

    void serverGoneBehindAProxy()
    {
        // The connection is dropped and the server stays gone, behind a proxy
        // that takes connections and closes them: the first operation waits
        // for a connection once, then shows the box and fails; the next one
        // does not wait again.
        addParentAndChild();
        TCutProxy proxy(server.port());
        dm->SetServer(server.host(), proxy.port());
        FakeUi ui;
        QVERIFY(dm->EnsureConnected());
        const qlonglong cid = connectionId(*dm);
        proxy.refuseFor(120000);
        SQL_EXEC(server, QStringLiteral("kill %1").arg(cid));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!sendOrRecharge(false));
        const qint64 first = clock.restart();
        QVERIFY(!sendOrRecharge(true));
        const qint64 second = clock.elapsed();
        QVERIFY2(first >= TDM::ReconnectWaitMs && first < TDM::ReconnectWaitMs + 3000,
                 qPrintable(QString::number(first)));
        QVERIFY2(second < 3000, qPrintable(QString::number(second)));
        QCOMPARE(ui.count(), 2); // one box per operation
        QCOMPARE(dm->Reconnects(), 0);
        QCOMPARE(balanceOf(QStringLiteral("parent")).toLongLong(), 100LL);
        QCOMPARE(rows("charge") + rows("submit"), 0);
    }

    // The connection dies after COMMIT went out. The batch number is known, so
    // the outcome is looked up after reconnecting: stored means success, and a
    // user who sends again does not pay twice.
    void lostAnswerToCommit_data()
    {
        QTest::addColumn<TCutProxy::TCut>("cut");
        QTest::addColumn<bool>("stored");
        QTest::addColumn<int>("refuseMs"); // new connections closed at once for so long after the cut
        QTest::newRow("after the server committed") << TCutProxy::TCut::AfterCommit << true << 0;
        QTest::newRow("before the server saw COMMIT") << TCutProxy::TCut::BeforeCommit << false << 0;
        QTest::newRow("after the server committed, no connection for a moment")
            << TCutProxy::TCut::AfterCommit << true << 1500;
        QTest::newRow("before the server saw COMMIT, no connection for a moment")
            << TCutProxy::TCut::BeforeCommit << false << 1500;
    }
    void lostAnswerToCommit()
    {
        SKIP_IF_RELAY_CANNOT_READ();
        QFETCH(TCutProxy::TCut, cut);
        QFETCH(bool, stored);
        QFETCH(int, refuseMs);
        addCustomer({.name = "alice", .balance = 100});
        TCutProxy proxy(server.port());
        QVERIFY(proxy.listening());
        dm->SetServer(server.host(), proxy.port());
        FakeUi ui;
        QVERIFY(dm->SubmitBatch(batch(QStringLiteral("alice"), 1, 1))); // connected through the proxy
        proxy.arm(cut);
        if (refuseMs > 0)
            proxy.refuseFor(refuseMs); // the connection in use stays; only new ones are closed
        QCOMPARE(dm->SubmitBatch(batch(QStringLiteral("alice"), 3, 2)), stored);
        QCOMPARE(proxy.cuts(), 1);
        QCOMPARE(dm->LostCommits(), 1);
        QCOMPARE(dm->Reconnects(), 0); // never run again
        QCOMPARE(proxy.refused() > 0, refuseMs > 0);
        QCOMPARE(rows("submit"), stored ? 2 : 1);
        QCOMPARE(balanceOf(QStringLiteral("alice")).toLongLong(), stored ? 93LL : 99LL);
        QVERIFY(dm->SubmitRefusal().isEmpty()); // the outcome is known either way
        QCOMPARE(ui.count(), 0);
        QVERIFY(dm->SubmitBatch(batch(QStringLiteral("alice"), 1, 1)));
    }

    void lostAnswerToCommitUnconfirmed()
    {
        SKIP_IF_RELAY_CANNOT_READ();
        // No server to ask afterwards: the outcome is unknown, and the user is
        // told to look at the send records before sending again.
        addCustomer({.name = "alice", .balance = 100});
        TCutProxy proxy(server.port());
        dm->SetServer(server.host(), proxy.port());
        QVERIFY(dm->EnsureConnected());
        proxy.arm(TCutProxy::TCut::AfterCommit, /*thenRefuse=*/true);
        FakeUi ui;
        QVERIFY(!dm->SubmitBatch(batch(QStringLiteral("alice"), 3, 2)));
        QCOMPARE(rows("submit"), 1); // it was stored: only the answer was lost
        const int id = server.scalar(QStringLiteral("select submitid from submit")).toInt();
        QVERIFY2(dm->SubmitRefusal().contains(QStringLiteral("无法确认")) &&
                     dm->SubmitRefusal().contains(QString::number(id)) &&
                     dm->SubmitRefusal().contains(QStringLiteral("发送记录")),
                 qPrintable(dm->SubmitRefusal()));
        QCOMPARE(ui.count(), 0);
    }

    void rechargeLostAnswerNotRepeated()
    {
        SKIP_IF_RELAY_CANNOT_READ();
        // A recharge has no key to look up: its result stays a failure, and it is not run again.
        addParentAndChild();
        TCutProxy proxy(server.port());
        dm->SetServer(server.host(), proxy.port());
        QVERIFY(dm->EnsureConnected());
        proxy.arm(TCutProxy::TCut::AfterCommit);
        QVERIFY(!dm->Recharge(QStringLiteral("parent"), QStringLiteral("child"), 5));
        QCOMPARE(proxy.cuts(), 1);
        QCOMPARE(rows("charge"), 1);
        QCOMPARE(balanceOf(QStringLiteral("parent")).toLongLong(), 95LL);
        QCOMPARE(balanceOf(QStringLiteral("child")).toLongLong(), 15LL);
    }

    // The answer to COMMIT is lost with no relay in between (a hardened
    // server's TLS hides the statements from one): the operation's statement
    // waits for a row that another client holds; meanwhile the administrator
    // blocks every commit (BACKUP STAGE BLOCK_COMMIT: statements go on,
    // COMMITs wait; FLUSH TABLES WITH READ LOCK would block the statements
    // too); the row is let go, the operation's COMMIT waits, and the server
    // kills its connection there. The server has committed nothing: a send is
    // looked up on a new connection (logged in again on a hardened server) and
    // ends as not stored, nothing charged; a recharge keeps its failure and is
    // not run again. The books agree afterwards.
    void commitKilledWhileWaiting_data() { sendOrRecharge_data(); }
    void commitKilledWhileWaiting()
    {
        QFETCH(bool, recharge);
        addParentAndChild();
        FakeUi ui;
        qint64 balance = 0;
        QVERIFY(dm->TryGetBalance(QStringLiteral("parent"), balance)); // connected (and logged in)
        QCOMPARE(balance, 100LL);
        const qlonglong cid = connectionId(*dm);
        QVERIFY(cid > 0);
        std::atomic<bool> holding{false};
        std::atomic<bool> stop{false};
        std::atomic<bool> sawCommitWait{false};
        std::atomic<bool> killed{false};
        QString problem;
        auto onConnection = [&](QSqlDatabase& db, const QString& sql) {
            QSqlQuery q(db);
            if (q.exec(sql))
                return true;
            problem += sql + QStringLiteral(": ") + q.lastError().text() + QLatin1Char('\n');
            return false;
        };
        auto count = [&](QSqlDatabase& db, const QString& sql) {
            QSqlQuery q(db);
            return q.exec(sql) && q.next() ? q.value(0).toInt() : -1;
        };
        std::thread other = otherClient(server, [&](QSqlDatabase& rowHolder) {
            onConnection(rowHolder, QStringLiteral("start transaction"));
            onConnection(rowHolder, QStringLiteral("select * from customers where customername='parent' for update"));
            holding = true;
            const bool waitsForRow = waitFor(
                [&] {
                    // Its statement has run for a while: it waits for the row.
                    return count(rowHolder, QStringLiteral("select count(*) from information_schema.processlist "
                                                           "where id=%1 and command<>'Sleep' and time_ms>500")
                                                .arg(cid)) > 0;
                },
                &stop);
            const QString name = QStringLiteral("blocker");
            {
                QSqlDatabase blocker = server.adminConnectionTo(name);
                if (waitsForRow && blocker.open() && onConnection(blocker, QStringLiteral("backup stage start")) &&
                    onConnection(blocker, QStringLiteral("backup stage block_commit"))) {
                    onConnection(rowHolder, QStringLiteral("rollback"));
                    sawCommitWait = waitFor(
                        [&] {
                            return count(blocker, QStringLiteral("select count(*) from information_schema.processlist "
                                                                 "where id=%1 and info like 'commit%' and "
                                                                 "state='Waiting for backup lock'")
                                                      .arg(cid)) > 0;
                        },
                        &stop);
                    // Commits stay blocked until the connection is gone: a
                    // COMMIT woken by the lock before it sees the kill would
                    // still commit.
                    killed = onConnection(blocker, QStringLiteral("kill connection %1").arg(cid)) &&
                             waitFor([&] {
                                 return count(blocker, QStringLiteral("select count(*) from "
                                                                      "information_schema.processlist where id=%1")
                                                           .arg(cid)) == 0;
                             });
                    onConnection(blocker, QStringLiteral("backup stage end"));
                }
                blocker.close();
            }
            QSqlDatabase::removeDatabase(name);
            onConnection(rowHolder, QStringLiteral("rollback"));
        });
        QVERIFY(waitFor([&] { return holding.load(); }));
        const bool ok = sendOrRecharge(recharge);
        stop = true;
        other.join();
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QVERIFY(sawCommitWait);
        QVERIFY(killed);
        QVERIFY(!ok);
        QCOMPARE(dm->LostCommits(), 1);
        QCOMPARE(dm->Reconnects(), 0); // never run again
        QCOMPARE(dm->Retries(), 0);
        QCOMPARE(ui.count(), 0);
        if (!recharge) {
            QVERIFY2(dm->SubmitRefusal().isEmpty(), qPrintable(dm->SubmitRefusal())); // the outcome is known
            // Looked up on a new connection, bound to the customer again.
            const qlonglong looked = connectionId(*dm);
            QVERIFY(looked > 0 && looked != cid);
            if (server.hardened())
                QCOMPARE(server.scalar(QStringLiteral("select count(*) from sms_api.sessions where conn_id=?"), {looked})
                             .toInt(),
                         1);
        }
        // Nothing stored, nothing charged: the books agree.
        QCOMPARE(balanceOf(QStringLiteral("parent")).toLongLong(), 100LL);
        QCOMPARE(balanceOf(QStringLiteral("child")).toLongLong(), 10LL);
        QCOMPARE(rows("submit") + rows("charge"), 0);
        // The module goes on as before.
        QVERIFY(sendOrRecharge(recharge));
        QCOMPARE(balanceOf(QStringLiteral("parent")).toLongLong(), parentAfter(recharge));
        QCOMPARE(balanceOf(QStringLiteral("parent")).toLongLong() + balanceOf(QStringLiteral("child")).toLongLong() +
                     server.scalar(QStringLiteral("select ifnull(sum(phonecount*msgcount),0) from submit")).toLongLong(),
                 110LL);
        QCOMPARE(rows("submit") + rows("charge"), 1);
    }

    void firstStatementAfterRestart_data()
    {
        QTest::addColumn<bool>("recharge");
        QTest::newRow("recharge") << true;
        QTest::newRow("send") << false;
    }
    void firstStatementAfterRestart()
    {
        // The server restarted while the client was idle: the open handle is
        // dead, and the operation's first statement must not go to it.
        SKIP_UNLESS_OWN_SERVERS();
        QFETCH(bool, recharge);
        addParentAndChild();
        QVERIFY(dm->EnsureConnected());
        server.stop();
        QVERIFY2(server.start(), qPrintable(server.error()));
        FakeUi ui;
        if (recharge)
            QVERIFY(dm->Recharge(QStringLiteral("parent"), QStringLiteral("child"), 5));
        else
            QVERIFY(dm->SubmitBatch(batch(QStringLiteral("parent"), 5, 1)));
        QCOMPARE(balanceOf(QStringLiteral("parent")).toLongLong(), 95LL);
        QCOMPARE(ui.count(), 0);
    }

    // --- deadlocks and lock-wait time-outs ---

    void oppositeRechargesDeadlock()
    {
        // Another client moves credit the opposite way at the same moment:
        // each holds one balance and waits for the other's. The server undoes
        // the lighter transaction, this client's; it is run again and succeeds.
        addCustomer({.name = "a", .balance = 1000});
        addCustomer({.name = "b", .balance = 1000});
        childOf(QStringLiteral("b"), QStringLiteral("a"));
        sessionIfHardened(QStringLiteral("a"));
        // Hardened, the recharge's statements run inside its CALL, as the
        // routines' owner: it is seen waiting there for a while.
        const QString asksForB =
            server.hardened()
                ? QStringLiteral("select count(*) from information_schema.processlist "
                                 "where user='sms_api_owner' and command<>'Sleep' and time_ms>300")
                : QStringLiteral("select count(*) from information_schema.processlist "
                                 "where info like 'update customers set smscount=ifnull(smscount,0)+%'");
        SQL_EXEC(server, "create table if not exists weight(i int) engine=InnoDB");
        auto drop = qScopeGuard([&] { server.exec(QStringLiteral("drop table if exists weight")); });
        std::atomic<bool> holding{false};
        std::atomic<bool> stop{false};
        std::atomic<bool> committed{false};
        std::thread other = otherClient(server, [&](QSqlDatabase& db) {
            QSqlQuery q(db);
            q.exec(QStringLiteral("start transaction"));
            if (!q.exec(QStringLiteral("insert into weight select seq from seq_1_to_200")) ||
                !q.exec(QStringLiteral("update customers set smscount=smscount-5 where customername='b'")))
                qWarning() << "other client:" << q.lastError().text();
            holding = true;
            // Once this client's recharge asks for b, ask for a.
            if (!waitFor(
                    [&] {
                        QSqlQuery w(db);
                        return w.exec(asksForB) && w.next() && w.value(0).toInt() > 0;
                    },
                    &stop))
                return;
            q.exec(QStringLiteral("update customers set smscount=smscount+5 where customername='a'"));
            if (!q.lastError().isValid())
                committed = q.exec(QStringLiteral("commit"));
            else
                qWarning() << "other client:" << q.lastError().text();
        });
        QVERIFY(waitFor([&] { return holding.load(); }));
        const bool ok = dm->Recharge(QStringLiteral("a"), QStringLiteral("b"), 10);
        stop = true;
        other.join();
        QVERIFY(committed);
        QVERIFY(ok);
        QCOMPARE(balanceOf(QStringLiteral("a")).toLongLong(), 995LL);
        QCOMPARE(balanceOf(QStringLiteral("b")).toLongLong(), 1005LL);
        QCOMPARE(rows("charge"), 1);
    }

    void lockWaitTimeouts_data()
    {
        QTest::addColumn<bool>("recharge");
        QTest::addColumn<QString>("lock");
        QTest::addColumn<int>("releaseAtWait"); // 0: the lock is held throughout
        QTest::newRow("recharge, contributor's row")
            << true << QStringLiteral("select * from customers where customername='a' for update") << 2;
        QTest::newRow("send, sender's row")
            << false << QStringLiteral("select * from customers where customername='a' for update") << 2;
        QTest::newRow("send, the sequence's counter")
            << false << QStringLiteral("select * from seqcounter where name='one' for update") << 2;
        QTest::newRow("recharge, lock never released")
            << true << QStringLiteral("select * from customers where customername='a' for update") << 0;
        QTest::newRow("send, lock never released")
            << false << QStringLiteral("select * from customers where customername='a' for update") << 0;
    }
    void lockWaitTimeouts()
    {
        // Every try waits a second for a row that another client holds and
        // then gives up (1205). The whole transaction is tried again, up to
        // LockWaitTries times; a lock released during the second wait lets
        // that try through.
        QFETCH(bool, recharge);
        QFETCH(QString, lock);
        QFETCH(int, releaseAtWait);
        addCustomer({.name = "a", .balance = 1000});
        addCustomer({.name = "b", .balance = 1000});
        childOf(QStringLiteral("b"), QStringLiteral("a"));
        sessionIfHardened(QStringLiteral("a"));
        const qint64 numberBefore = server.scalar(QStringLiteral("select seq('one')")).toLongLong();
        QVERIFY(numberBefore > 0);
        SQL_EXEC(server, "set global innodb_lock_wait_timeout=1");
        auto restore =
            qScopeGuard([&] { server.exec(QStringLiteral("set global innodb_lock_wait_timeout=50")); });
        const qint64 waitsBefore =
            server
                .scalar(QStringLiteral("select variable_value from information_schema.global_status "
                                       "where variable_name='INNODB_ROW_LOCK_WAITS'"))
                .toLongLong();
        std::atomic<bool> holding{false};
        std::atomic<bool> stop{false};
        std::thread other = otherClient(server, [&](QSqlDatabase& db) {
            QSqlQuery q(db);
            q.exec(QStringLiteral("start transaction"));
            q.exec(lock);
            holding = true;
            if (releaseAtWait > 0)
                waitFor([&] { return status(db, "Innodb_row_lock_waits") >= waitsBefore + releaseAtWait; },
                        &stop);
            else
                waitFor([] { return false; }, &stop);
            q.exec(QStringLiteral("rollback"));
        });
        QVERIFY(waitFor([&] { return holding.load(); }));
        const bool ok = recharge ? dm->Recharge(QStringLiteral("a"), QStringLiteral("b"), 10)
                                 : dm->SubmitBatch(batch(QStringLiteral("a"), 2, 5));
        stop = true;
        other.join();
        const qint64 waits =
            server
                .scalar(QStringLiteral("select variable_value from information_schema.global_status "
                                       "where variable_name='INNODB_ROW_LOCK_WAITS'"))
                .toLongLong() -
            waitsBefore;
        const bool released = releaseAtWait > 0;
        QCOMPARE(ok, released);
        QCOMPARE(waits, qint64(released ? releaseAtWait : TDM::LockWaitTries));
        QCOMPARE(balanceOf(QStringLiteral("a")).toLongLong(), released ? 990LL : 1000LL);
        QCOMPARE(rows("charge") + rows("submit"), released ? 1 : 0);
        // A send tried again keeps the number its first try took, if any.
        if (!recharge && released) {
            QCOMPARE(server.scalar(QStringLiteral("select submitid from submit")).toLongLong(),
                     numberBefore + 1);
            QCOMPARE(server.scalar(QStringLiteral("select v from seqcounter where name='one'")).toLongLong(),
                     numberBefore + 1);
        }
    }
};

QTEST_GUILESS_MAIN(TstDmTransactions)
#include "tst_dm_transactions.moc"

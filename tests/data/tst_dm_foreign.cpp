// The send and recharge transactions against a service database that is not
// the project's own: a server without strict mode and with the default 16 MiB
// max_allowed_packet, and tables whose columns are shorter or use the 3-byte
// utf8 character set.
#include "data/uDM.h"
#include "tests/support/DmFixture.h"
#include "tests/support/FakeUi.h"

#include <QtTest>

namespace {

TSmsRec batch(const QString& customer, const QString& phones, const QString& content)
{
    TSmsRec r;
    r.PhonesText = phones;
    r.PhoneCount = phones.count(QLatin1Char('\n'));
    r.TestPhonesText = QStringLiteral("13900000000\n");
    r.Content = content;
    r.MsgCount = 1;
    r.CustomerName = customer;
    return r;
}

QString numbers(int count)
{
    QString s;
    s.reserve(qsizetype(count) * 13);
    for (int i = 0; i < count; ++i)
        s += QStringLiteral("138%1\n").arg(i, 9, 10, QLatin1Char('0'));
    return s;
}

} // namespace

class TstDmForeign : public QObject, TDmFixture
{
    Q_OBJECT

public:
    TstDmForeign() : TDmFixture({QStringLiteral("--sql-mode="), QStringLiteral("--max-allowed-packet=16M")})
    {
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(startServer(), qPrintable(server.error()));
        QCOMPARE(server.scalar(QStringLiteral("select @@global.sql_mode")).toString(), QString());
        QCOMPARE(server.scalar(QStringLiteral("select @@global.max_allowed_packet")).toLongLong(),
                 16LL << 20);
    }
    void init() { QVERIFY(freshModule()); }
    void cleanup() { dropModule(); }

    // A value that the server would cut or alter to store it refuses the
    // whole batch: nothing is stored and nothing charged. What fits is
    // stored exactly as given.
    void cutOrAlteredRefused_data()
    {
        QTest::addColumn<QString>("column");  // the column's definition in this variant
        QTest::addColumn<QString>("phones");  // the batch's numbers
        QTest::addColumn<QString>("content"); // the batch's text
        QTest::addColumn<QString>("told");    // part of what the user is told; empty: stored
        const QString emoji = QStringLiteral("会议改到周五 \U0001F600");
        QTest::newRow("text longer than a TEXT column")
            << QStringLiteral("content text not null") << numbers(2) << QString(70000, QLatin1Char('x'))
            << QStringLiteral("长度");
        QTest::newRow("Chinese text longer than a TEXT column")
            << QStringLiteral("content text not null") << numbers(2) << QString(30000, QChar(0x4E2D))
            << QStringLiteral("长度");
        QTest::newRow("numbers longer than a TEXT column")
            << QStringLiteral("phones text not null") << numbers(6000) << QStringLiteral("hello")
            << QStringLiteral("长度");
        QTest::newRow("emoji in a utf8mb3 column")
            << QStringLiteral("content mediumtext character set utf8mb3 not null") << numbers(2) << emoji
            << QStringLiteral("字符");
        QTest::newRow("emoji in a utf8mb4 column")
            << QStringLiteral("content mediumtext not null") << numbers(2) << emoji << QString();
        QTest::newRow("Chinese in a utf8mb3 column")
            << QStringLiteral("content mediumtext character set utf8mb3 not null") << numbers(2)
            << QStringLiteral("会议改到周五") << QString();
        QTest::newRow("text that just fits a TEXT column")
            << QStringLiteral("content text not null") << numbers(2) << QString(65535, QLatin1Char('x'))
            << QString();
    }
    void cutOrAlteredRefused()
    {
        QFETCH(QString, column);
        QFETCH(QString, phones);
        QFETCH(QString, content);
        QFETCH(QString, told);
        SQL_EXEC(server, QStringLiteral("alter table submit modify ") + column);
        auto restore = qScopeGuard([&] {
            server.exec(QStringLiteral("alter table submit modify content mediumtext not null, "
                                       "modify phones longtext not null"));
        });
        addCustomer({.name = "alice", .balance = 100000});
        FakeUi ui;
        const TSmsRec b = batch(QStringLiteral("alice"), phones, content);
        const bool stored = told.isEmpty();
        QCOMPARE(dm->SubmitBatch(b), stored);
        QCOMPARE(ui.count(), 0);
        if (!stored) {
            QCOMPARE(balanceOf(QStringLiteral("alice")).toLongLong(), 100000LL);
            QCOMPARE(rows("submit"), 0);
            QVERIFY2(dm->SubmitRefusal().contains(told) &&
                         dm->SubmitRefusal().contains(QStringLiteral("未扣费")),
                     qPrintable(dm->SubmitRefusal()));
            return;
        }
        QCOMPARE(balanceOf(QStringLiteral("alice")).toLongLong(), 100000LL - b.PhoneCount);
        QSqlQuery q(server.admin());
        QVERIFY(q.exec(QStringLiteral("select phones,content from submit")) && q.next());
        QCOMPARE(q.value(0).toString(), b.PhonesText);
        QCOMPARE(q.value(1).toString(), b.Content);
    }

    void rechargeAlteredRefused()
    {
        // A record column too narrow for the balance it keeps: the recharge
        // is refused rather than recorded with a clipped value.
        SQL_EXEC(server, "alter table charge modify remainWhenCharge int not null default 0");
        auto restore = qScopeGuard([&] {
            server.exec(
                QStringLiteral("alter table charge modify remainWhenCharge bigint not null default 0"));
        });
        addCustomer({.name = "parent", .balance = 100});
        addCustomer({.name = "child", .balance = 5000000000LL});
        addCustomer({.name = "small", .balance = 7});
        QVERIFY(!dm->Recharge(QStringLiteral("parent"), QStringLiteral("child"), 10));
        QCOMPARE(balanceOf(QStringLiteral("parent")).toLongLong(), 100LL);
        QCOMPARE(balanceOf(QStringLiteral("child")).toLongLong(), 5000000000LL);
        QCOMPARE(rows("charge"), 0);
        QVERIFY(dm->Recharge(QStringLiteral("parent"), QStringLiteral("small"), 10));
        QCOMPARE(server.scalar(QStringLiteral("select remainWhenCharge from charge")).toLongLong(), 7LL);
    }

    // A batch bigger than the server's max_allowed_packet is refused before
    // it is sent, with the limit named; nothing is charged and the
    // connection stays usable. One that fits is stored.
    void packetLimit_data()
    {
        QTest::addColumn<int>("count"); // hand-entered numbers: in both number texts
        QTest::addColumn<bool>("fits");
        QTest::newRow("a million numbers") << 1000000 << false;
        QTest::newRow("just over the limit") << 650000 << false;
        QTest::newRow("600,000 numbers") << 600000 << true;
    }
    void packetLimit()
    {
        QFETCH(int, count);
        QFETCH(bool, fits);
        addCustomer({.name = "alice", .balance = 10000000});
        TSmsRec b = batch(QStringLiteral("alice"), numbers(count), QStringLiteral("通知"));
        b.TestPhonesText = b.PhonesText;
        FakeUi ui;
        QCOMPARE(dm->SubmitBatch(b), fits);
        QCOMPARE(ui.count(), 0);
        if (fits) {
            QCOMPARE(balanceOf(QStringLiteral("alice")).toLongLong(), 10000000LL - count);
            QCOMPARE(server.scalar(QStringLiteral("select length(phones) from submit")).toLongLong(),
                     qint64(count) * 13);
            return;
        }
        const QString told = dm->SubmitRefusal();
        QVERIFY2(told.contains(QStringLiteral("16.0 MB")) && told.contains(QStringLiteral("16777216")) &&
                     told.contains(QStringLiteral("分成几批")) && told.contains(QStringLiteral("未扣费")),
                 qPrintable(told));
        QCOMPARE(balanceOf(QStringLiteral("alice")).toLongLong(), 10000000LL);
        QCOMPARE(rows("submit"), 0);
        // The connection is still there for the next batch.
        QVERIFY(dm->SubmitBatch(batch(QStringLiteral("alice"), numbers(3), QStringLiteral("通知"))));
        QVERIFY(dm->SubmitRefusal().isEmpty());
    }

    void sessionStaysStrict()
    {
        // Every connection the module opens is strict, also after a reconnect.
        QVERIFY(dm->EnsureConnected());
        auto strict = [&] {
            QSqlQuery q(dm->conn());
            return q.exec(QStringLiteral("select @@session.sql_mode")) && q.next() &&
                   q.value(0).toString().contains(QStringLiteral("STRICT_ALL_TABLES"));
        };
        QVERIFY(strict());
        dm->Close();
        QVERIFY(dm->EnsureConnected());
        QVERIFY(strict());
    }
};

QTEST_GUILESS_MAIN(TstDmForeign)
#include "tst_dm_foreign.moc"

// Customer account queries of the data module against a real server: login
// check, name test, own password change, balance and limit-rate reads.
#include "data/uDM.h"
#include "tests/support/DmFixture.h"
#include "tests/support/FakeUi.h"

#include <QtTest>

namespace {

// Texts that a careless statement would mangle or misread.
QStringList oddTexts()
{
    return {QStringLiteral("o'brien"),
            QStringLiteral("back\\slash"),
            QStringLiteral("100%_off"),
            QStringLiteral("\"quoted\" name"),
            QStringLiteral("张三"),
            QStringLiteral("emoji😀x"),
            QStringLiteral("a'; drop table x;--")};
}

} // namespace

class TstDmAccount : public QObject, TDmFixture
{
    Q_OBJECT

    QString passwordOf(int id)
    {
        return server.scalar(QStringLiteral("select password from customers where customerid=?"), {id})
            .toString();
    }

private slots:
    void initTestCase() { QVERIFY2(startServer(), qPrintable(server.error())); }
    void init() { QVERIFY(freshModule()); }
    void cleanup() { dropModule(); }

    // --- VerifyLogin ---

    void verifyLogin_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("ok");
        QTest::newRow("exact") << "alice"
                               << "Secret1" << true;
        QTest::newRow("name in other case") << "ALICE"
                                            << "Secret1" << true;
        QTest::newRow("password in other case") << "alice"
                                                << "secret1" << false;
        QTest::newRow("password with a trailing blank") << "alice"
                                                        << "Secret1 " << false;
        QTest::newRow("password prefix") << "alice"
                                         << "Secret" << false;
        QTest::newRow("empty password") << "alice"
                                        << "" << false;
        QTest::newRow("missing name") << "bob"
                                      << "Secret1" << false;
        QTest::newRow("name pattern is not a pattern") << "al%"
                                                       << "Secret1" << false;
    }
    void verifyLogin()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(bool, ok);
        FakeUi ui;
        addCustomer({.name = "alice", .password = "Secret1", .balance = 10, .grade = 3, .company = "4"});
        SQL_EXEC(server, "insert into sysPara(name,value) values('customerNotice','hello')");
        Para.Grade = 7;
        Para.CompanyId = QStringLiteral("old");
        QString msg;
        QCOMPARE(dm->VerifyLogin(name, password, msg), ok);
        // The system parameters are loaded on every attempt that reaches the
        // server; a hardened database shows them to a session only.
        QCOMPARE(Para.Notice, ok || !server.hardened() ? QStringLiteral("hello") : QStringLiteral("欢迎使用本系统"));
        if (ok) {
            QCOMPARE(Para.Grade, 3);
            QCOMPARE(Para.CompanyId, QStringLiteral("4"));
        } else {
            QCOMPARE(msg, QStringLiteral("用户名或密码无效"));
            QCOMPARE(Para.Grade, 7);
            QCOMPARE(Para.CompanyId, QStringLiteral("old"));
        }
        QVERIFY(Para.UserName.isEmpty());
        QVERIFY(!Para.LoggedIn);
        QCOMPARE(ui.count(), 0);
    }

    // --- ChangePassword ---

    // Hardened (okHardened): the session's customer (alice) changes its own
    // password, whatever name is passed, and the old one must match exactly.
    void changePassword_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("oldPassword");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("okHardened");
        QTest::newRow("exact") << "alice"
                               << "Secret1" << true << true;
        QTest::newRow("old password in other case") << "alice"
                                                    << "SECRET1" << true << false;
        QTest::newRow("name in other case") << "Alice"
                                            << "secret1" << true << false;
        QTest::newRow("wrong old password") << "alice"
                                            << "Secret2" << false << false;
        QTest::newRow("old password with a blank") << "alice"
                                                   << " Secret1" << false << false;
        QTest::newRow("missing name") << "alicia"
                                      << "Secret1" << false << true;
        QTest::newRow("name with trailing blank") << "alice "
                                                  << "Secret1" << false << true;
    }
    void changePassword()
    {
        QFETCH(QString, name);
        QFETCH(QString, oldPassword);
        QFETCH(bool, ok);
        QFETCH(bool, okHardened);
        if (server.hardened())
            ok = okHardened;
        addCustomer({.name = "alice", .password = "Secret1"});
        addCustomer({.name = "bob", .password = "Secret1"});
        sessionIfHardened(QStringLiteral("alice"), QStringLiteral("Secret1"));
        const int alice =
            server.scalar(QStringLiteral("select customerid from customers where customername='alice'"))
                .toInt();
        const int bob =
            server.scalar(QStringLiteral("select customerid from customers where customername='bob'"))
                .toInt();
        QCOMPARE(dm->ChangePassword(name, oldPassword, QStringLiteral(" New Pw ")), ok);
        // Stored exactly as passed, no trimming; nobody else touched.
        QCOMPARE(passwordOf(alice), ok ? QStringLiteral(" New Pw ") : QStringLiteral("Secret1"));
        QCOMPARE(passwordOf(bob), QStringLiteral("Secret1"));
        if (server.hardened())
            QCOMPARE(dm->Refusal(), ok ? 0 : TDM::WrongOldPassword);
    }

    void changePasswordLastMatchWins()
    {
        // Duplicate names: the scan's last matching row is the one changed.
        addCustomer({.name = "twin", .password = "pw"});
        addCustomer({.name = "other", .password = "pw"});
        addCustomer({.name = "TWIN", .password = "PW"});
        addCustomer({.name = "twin", .password = "nope"});
        QSqlQuery q(server.admin());
        QVERIFY(q.exec(QStringLiteral("select customerid from customers order by customerid")));
        QList<int> ids;
        while (q.next())
            ids << q.value(0).toInt();
        QCOMPARE(ids.size(), 4);
        if (server.hardened()) {
            // The session is the first row of the name, and only that row changes.
            sessionIfHardened(QStringLiteral("twin"), QStringLiteral("pw"));
            QVERIFY(dm->ChangePassword(QStringLiteral("Twin"), QStringLiteral("pw"), QStringLiteral("fresh")));
            QCOMPARE(passwordOf(ids[0]), QStringLiteral("fresh"));
            QCOMPARE(passwordOf(ids[1]), QStringLiteral("pw"));
            QCOMPARE(passwordOf(ids[2]), QStringLiteral("PW"));
            QCOMPARE(passwordOf(ids[3]), QStringLiteral("nope"));
            return;
        }
        QVERIFY(dm->ChangePassword(QStringLiteral("Twin"), QStringLiteral("pW"), QStringLiteral("fresh")));
        QCOMPARE(passwordOf(ids[0]), QStringLiteral("pw"));
        QCOMPARE(passwordOf(ids[1]), QStringLiteral("pw"));
        QCOMPARE(passwordOf(ids[2]), QStringLiteral("fresh"));
        QCOMPARE(passwordOf(ids[3]), QStringLiteral("nope"));
    }

    // --- balances and limit rate ---

    void balances_data()
    {
        QTest::addColumn<QString>("stored"); // SQL literal
        QTest::addColumn<qint64>("balance");
        QTest::newRow("whole") << "150" << qint64(150);
        QTest::newRow("zero") << "0" << qint64(0);
        QTest::newRow("negative") << "-7" << qint64(-7);
        QTest::newRow("NULL") << "NULL" << qint64(0);
        QTest::newRow("above 32 bits") << "9000000000" << qint64(9000000000LL);
        QTest::newRow("largest") << "9223372036854775807" << std::numeric_limits<qint64>::max();
        QTest::newRow("fraction 12.9") << "12.9" << qint64(12);
        QTest::newRow("fraction -0.5") << "-0.5" << qint64(0);
        QTest::newRow("fraction -3.99") << "-3.99" << qint64(-3);
    }
    void balances()
    {
        QFETCH(QString, stored);
        QFETCH(qint64, balance);
        if (stored.contains(QLatin1Char('.'))) {
            // Fractional balances only exist in a decimal column.
            SQL_EXEC(server, "alter table customers modify smscount decimal(22,2) null default 0");
        }
        auto restore = qScopeGuard([&] {
            server.exec(QStringLiteral("delete from customers"));
            server.exec(QStringLiteral("alter table customers modify smscount bigint null default 0"));
        });
        SQL_EXEC(server,
                 QStringLiteral("insert into customers(customername,smscount) values('c',%1)").arg(stored));
        sessionIfHardened(QStringLiteral("c"), QStringLiteral(""));
        FakeUi ui;
        QCOMPARE(dm->GetBalance(QStringLiteral("c")), balance);
        QCOMPARE(dm->GetBalance(QStringLiteral("C")), balance);
        qint64 got = -12345;
        QVERIFY(dm->TryGetBalance(QStringLiteral("c"), got));
        QCOMPARE(got, balance);
        QCOMPARE(ui.count(), 0);
    }

    void missingCustomer()
    {
        FakeUi ui;
        addCustomer({.name = "someone", .password = "x", .balance = 99, .limitrate = 80});
        // Hardened, the names of other customers are not shown at all; a
        // taken one is refused by the routine that creates a sub-account.
        sessionIfHardened(QStringLiteral("someone"), QStringLiteral("x"));
        QCOMPARE(dm->GetBalance(QStringLiteral("nobody")), qint64(0));
        qint64 got = 4242;
        QVERIFY(!dm->TryGetBalance(QStringLiteral("nobody"), got));
        QCOMPARE(got, qint64(4242));
        int rate = 55;
        QVERIFY(!dm->GetLimitRate(QStringLiteral("nobody"), rate));
        QCOMPARE(rate, 0);
        QVERIFY(!dm->CustomerExists(QStringLiteral("nobody")));
        QVERIFY(!dm->CustomerExists(QStringLiteral("some%")));
        QVERIFY(dm->CustomerExists(QStringLiteral("someone")));
        QVERIFY(dm->CustomerExists(QStringLiteral("SomeOne")));
        QVERIFY(dm->GetLimitRate(QStringLiteral("someone"), rate));
        QCOMPARE(rate, 80);
        QCOMPARE(ui.count(), 0);
    }

    void firstRowOfDuplicateNames()
    {
        addCustomer({.name = "dup", .password = "first", .balance = 11, .grade = 1, .limitrate = 70});
        addCustomer({.name = "dup", .password = "second", .balance = 22, .grade = 2, .limitrate = 60});
        sessionIfHardened(QStringLiteral("dup"), QStringLiteral("first"));
        QCOMPARE(dm->GetBalance(QStringLiteral("dup")), qint64(11));
        int rate = 0;
        QVERIFY(dm->GetLimitRate(QStringLiteral("dup"), rate));
        QCOMPARE(rate, 70);
        QString msg;
        QVERIFY(dm->VerifyLogin(QStringLiteral("dup"), QStringLiteral("first"), msg));
        QCOMPARE(Para.Grade, 1);
        QVERIFY(!dm->VerifyLogin(QStringLiteral("dup"), QStringLiteral("second"), msg));
    }

    // --- texts that need binding ---

    void oddTextsStoredExactly()
    {
        FakeUi ui;
        const QStringList texts = oddTexts();
        for (int i = 0; i < texts.size(); ++i)
            addCustomer({.name = texts[i],
                         .password = texts[i],
                         .balance = 100 + i,
                         .grade = i,
                         .limitrate = 10 + i});
        addCustomer({.name = "plain", .password = "plain", .balance = 1});
        for (int i = 0; i < texts.size(); ++i) {
            const QString& t = texts[i];
            QString msg;
            QVERIFY2(dm->VerifyLogin(t, t, msg), qPrintable(t));
            QCOMPARE(Para.Grade, i);
            QVERIFY(dm->CustomerExists(t));
            QCOMPARE(dm->GetBalance(t), qint64(100 + i));
            int rate = 0;
            QVERIFY(dm->GetLimitRate(t, rate));
            QCOMPARE(rate, 10 + i);
            const QString fresh = t + QStringLiteral("\\'%_新😀");
            QVERIFY2(dm->ChangePassword(t, t, fresh), qPrintable(t));
            QCOMPARE(server.scalar(QStringLiteral("select password from customers where customername=?"), {t})
                         .toString(),
                     fresh);
            QVERIFY(dm->VerifyLogin(t, fresh, msg));
        }
        QCOMPARE(server.scalar(QStringLiteral("select count(*) from customers")).toInt(), texts.size() + 1);
        QCOMPARE(server.scalar(QStringLiteral("select password from customers where customername='plain'"))
                     .toString(),
                 QStringLiteral("plain"));
        QCOMPARE(ui.count(), 0);
    }

    // --- server unreachable ---

    void unreachable()
    {
        addCustomer({.name = "alice", .password = "pw", .balance = 50});
        FakeUi ui;
        dm->SetServer(server.host(), deadPort());
        auto boxShown = [&](int n) {
            QCOMPARE(ui.count(), n);
            for (const TUiMessage& m : ui.shown) {
                QCOMPARE(m.text, QStringLiteral("网络异常，数据库连接失败"));
                QCOMPARE(m.caption, QStringLiteral("连接异常"));
                QCOMPARE(m.icon, TMsgIcon::Error);
                QCOMPARE(m.buttons, TMsgButtons::Ok);
            }
            ui.clear();
        };

        Para.Notice = QStringLiteral("untouched");
        QString msg;
        QVERIFY(!dm->VerifyLogin(QStringLiteral("alice"), QStringLiteral("pw"), msg));
        QCOMPARE(msg, QStringLiteral("数据库连接异常"));
        QCOMPARE(Para.Notice, QStringLiteral("untouched")); // no parameters loaded
        boxShown(1);

        QVERIFY(dm->CustomerExists(QStringLiteral("free-name")));
        boxShown(1);
        QVERIFY(!dm->ChangePassword(QStringLiteral("alice"), QStringLiteral("pw"), QStringLiteral("x")));
        boxShown(1);
        QCOMPARE(dm->GetBalance(QStringLiteral("alice")), qint64(0));
        boxShown(1);
        qint64 b = 77;
        QVERIFY(!dm->TryGetBalance(QStringLiteral("alice"), b));
        QCOMPARE(b, qint64(77));
        boxShown(1);
        int rate = 9;
        QVERIFY(!dm->GetLimitRate(QStringLiteral("alice"), rate));
        QCOMPARE(rate, 0);
        boxShown(1);

        // Back on the live server everything works again.
        dm->SetServer(server.host(), server.port());
        QVERIFY(dm->VerifyLogin(QStringLiteral("alice"), QStringLiteral("pw"), msg));
        QCOMPARE(dm->GetBalance(QStringLiteral("alice")), qint64(50));
        boxShown(0);
        QCOMPARE(server.scalar(QStringLiteral("select password from customers")).toString(),
                 QStringLiteral("pw"));
    }

    void serverGoneAndBack()
    {
        // A connection the server dropped is noticed and opened anew.
        addCustomer({.name = "alice", .password = "pw", .balance = 50});
        sessionIfHardened(QStringLiteral("alice")); // bound again on the new connection
        FakeUi ui;
        QCOMPARE(dm->GetBalance(QStringLiteral("alice")), qint64(50));
        QSqlQuery q(dm->conn());
        QVERIFY(q.exec(QStringLiteral("select connection_id()")) && q.next());
        SQL_EXEC(server, QStringLiteral("kill %1").arg(q.value(0).toLongLong()));
        QCOMPARE(dm->GetBalance(QStringLiteral("alice")), qint64(50));
        QCOMPARE(ui.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TstDmAccount)
#include "tst_dm_account.moc"

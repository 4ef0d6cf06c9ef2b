// How the data module chooses between a hardened and a legacy service
// database: the client account over TLS first, the legacy account only when
// the server denies the client account (1045), never for a server once found
// hardened; a connection that is not encrypted is refused. And what a
// hardened connection keeps: its session after a reconnect, the database's
// refusals by code.
#include "data/uDM.h"
#include "tests/support/CutProxy.h"
#include "tests/support/FakeUi.h"
#include "tests/support/TestServer.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString scalarOn(TDM& dm, const QString& sql)
{
    QSqlQuery q(dm.conn());
    return q.exec(sql) && q.next() ? q.value(0).toString() : QString();
}

} // namespace

class TstDmMode : public QObject
{
    Q_OBJECT

    TestServer legacy;
    TestServer hardened;
    std::unique_ptr<TDM> dm;

    // A module pointed at the server, with the server's CA.
    std::unique_ptr<TDM> moduleFor(const TestServer& s, int port = 0)
    {
        auto m = std::make_unique<TDM>();
        m->SetServer(s.host(), port ? port : s.port());
        m->SetServerCa(s.caFile());
        DM = m.get();
        return m;
    }

    void dropClientAccount()
    {
        legacy.exec(QStringLiteral("drop user if exists 'sms_client'@'%'"));
        legacy.exec(QStringLiteral("drop database if exists sms_api"));
    }

private slots:
    void initTestCase()
    {
        legacy.setHardened(false);
        hardened.setHardened(true);
        QVERIFY2(legacy.start(), qPrintable(legacy.error()));
        QVERIFY2(hardened.start(), qPrintable(hardened.error()));
    }
    void init()
    {
        QVERIFY(legacy.resetData());
        QVERIFY(hardened.resetData());
        SQL_EXEC(hardened, QStringLiteral("insert into customers(customername,password,smscount,parentname) values"
                                          "('boss','pw',100,null),('kid','k',5,'boss'),('other','o',7,null)"));
        SQL_EXEC(legacy, QStringLiteral("insert into customers(customername,password,smscount) values('boss','pw',100)"));
    }
    void cleanup()
    {
        DM = nullptr;
        dm.reset();
        dropClientAccount();
    }

    void legacyServerIsReachedWithTheLegacyAccount()
    {
        FakeUi ui;
        dm = moduleFor(legacy);
        QVERIFY(dm->EnsureConnected());
        QCOMPARE(dm->Mode(), TDbMode::Legacy);
        QCOMPARE(scalarOn(*dm, QStringLiteral("select current_user()")), QStringLiteral("root@127.0.0.1"));
        QCOMPARE(dm->GetBalance(QStringLiteral("boss")), 100);
        QCOMPARE(ui.count(), 0);
    }

    void hardenedServerIsReachedOverTls()
    {
        FakeUi ui;
        dm = moduleFor(hardened);
        QVERIFY2(dm->EnsureConnected(), qPrintable(dm->LastError().text()));
        QCOMPARE(dm->Mode(), TDbMode::Hardened);
        QCOMPARE(scalarOn(*dm, QStringLiteral("select current_user()")), QStringLiteral("sms_client@%"));
        QCOMPARE(scalarOn(*dm, QStringLiteral("select database()")), QStringLiteral("sms_api"));
        QVERIFY(!scalarOn(*dm, QStringLiteral("show session status like 'Ssl_cipher'")).isNull());
        // Nothing shows before a login; the login binds the session.
        QCOMPARE(dm->GetBalance(QStringLiteral("boss")), 0);
        QString message;
        QVERIFY(dm->VerifyLogin(QStringLiteral("boss"), QStringLiteral("pw"), message));
        QCOMPARE(dm->GetBalance(QStringLiteral("boss")), 100);
        QCOMPARE(dm->GetBalance(QStringLiteral("other")), 0); // not its own
        QCOMPARE(ui.count(), 0);
    }

    // On a legacy server, the client account in states other than "denied":
    // only 1045 leads to the legacy account.
    void onlyAccessDeniedFallsBack_data()
    {
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<bool>("connects");
        QTest::addColumn<QString>("code");
        const QString create = QStringLiteral("create user 'sms_client'@'%' identified by ");
        QTest::newRow("no such account") << QStringList{} << true << QString();
        QTest::newRow("other password (1045)")
            << QStringList{create + QStringLiteral("'other'")} << true << QString();
        QTest::newRow("account locked (4151)")
            << QStringList{create + QStringLiteral("'Kv-client-2026.sms' account lock")} << false
            << QStringLiteral("4151");
        QTest::newRow("database denied (1044)")
            << QStringList{create + QStringLiteral("'Kv-client-2026.sms'"),
                           QStringLiteral("create database sms_api")}
            << false << QStringLiteral("1044");
        QTest::newRow("plain text only")
            << QStringList{create + QStringLiteral("'Kv-client-2026.sms'"), QStringLiteral("create database sms_api"),
                           QStringLiteral("grant select on sms_api.* to 'sms_client'@'%'")}
            << false << QStringLiteral("2026");
    }
    void onlyAccessDeniedFallsBack()
    {
        QFETCH(QStringList, setup);
        QFETCH(bool, connects);
        QFETCH(QString, code);
        for (const QString& sql : setup)
            SQL_EXEC(legacy, sql);
        FakeUi ui;
        dm = moduleFor(legacy);
        QCOMPARE(dm->EnsureConnected(), connects);
        if (connects) {
            QCOMPARE(dm->Mode(), TDbMode::Legacy);
            QCOMPARE(ui.count(), 0);
        } else {
            QCOMPARE(dm->Mode(), TDbMode::None);
            QCOMPARE(dm->LastError().nativeErrorCode(), code);
            QCOMPARE(ui.count(), 1); // the connection box
            QVERIFY(!dm->IsConnected());
            // Neither a login nor a read goes anywhere.
            QString message;
            QVERIFY(!dm->VerifyLogin(QStringLiteral("boss"), QStringLiteral("pw"), message));
            QCOMPARE(dm->GetBalance(QStringLiteral("boss")), 0);
        }
    }

    void plainTextConnectionIsRefused()
    {
        // What a server without TLS, or someone in between, would offer: the
        // client account answers, in plain text.
        SQL_EXEC(legacy, QStringLiteral("create user 'sms_client'@'%' identified by 'Kv-client-2026.sms'"));
        SQL_EXEC(legacy, QStringLiteral("create database sms_api"));
        SQL_EXEC(legacy, QStringLiteral("create view sms_api.customers as select * from sms.customers"));
        SQL_EXEC(legacy, QStringLiteral("grant select on sms_api.* to 'sms_client'@'%'"));
        FakeUi ui;
        dm = moduleFor(hardened); // with a CA given
        dm->SetServer(legacy.host(), legacy.port());
        QVERIFY(!dm->EnsureConnected());
        QVERIFY(!dm->IsConnected());
        QCOMPARE(dm->Mode(), TDbMode::None);
        QCOMPARE(dm->GetBalance(QStringLiteral("boss")), 0);
        QCOMPARE(dm->LastError().nativeErrorCode(), QStringLiteral("2026"));
    }

    void certificateOfAnotherCaIsRefused()
    {
        // A CA of its own that did not sign the server's certificate.
        QTemporaryDir other;
        QCOMPARE(QProcess::execute(QStringLiteral("bash"),
                                   {QStringLiteral(SMS_SOURCE_DIR "/scripts/tls.sh"), other.path()}),
                 0);
        FakeUi ui;
        dm = moduleFor(hardened);
        dm->SetServerCa(other.path() + QStringLiteral("/tls/ca.pem"));
        QVERIFY(!dm->EnsureConnected());
        QCOMPARE(dm->Mode(), TDbMode::None);
        QCOMPARE(dm->LastError().nativeErrorCode(), QStringLiteral("2026"));
        // The right CA connects.
        dm->SetServerCa(hardened.caFile());
        QVERIFY(dm->EnsureConnected());
        QCOMPARE(dm->Mode(), TDbMode::Hardened);
    }

    void noFallbackOnceSeenHardened()
    {
        // One address that leads first to the hardened server, then to the legacy one.
        TCutProxy proxy(hardened.port());
        QVERIFY(proxy.listening());
        FakeUi ui;
        dm = moduleFor(hardened, proxy.port());
        QVERIFY2(dm->EnsureConnected(), qPrintable(dm->LastError().text()));
        QCOMPARE(dm->Mode(), TDbMode::Hardened);
        dm->Close();
        proxy.retarget(legacy.port());
        QVERIFY(!dm->EnsureConnected()); // the client account is denied there: no fallback
        QCOMPARE(dm->LastError().nativeErrorCode(), QStringLiteral("1045"));
        QCOMPARE(dm->Mode(), TDbMode::None);
        // A module that has not seen the address hardened takes it for legacy.
        auto fresh = moduleFor(hardened, proxy.port());
        QVERIFY(fresh->EnsureConnected());
        QCOMPARE(fresh->Mode(), TDbMode::Legacy);
    }

    void sessionIsBoundAgainAfterAReconnect()
    {
        FakeUi ui;
        dm = moduleFor(hardened);
        QString message;
        QVERIFY(dm->VerifyLogin(QStringLiteral("boss"), QStringLiteral("pw"), message));
        QVERIFY(dm->ChangePassword(QStringLiteral("boss"), QStringLiteral("pw"), QStringLiteral("new")));
        // The server drops the connection; the next operation opens a new one
        // and logs in there with the password now in force.
        const QString id = scalarOn(*dm, QStringLiteral("select connection_id()"));
        SQL_EXEC(hardened, QStringLiteral("kill connection ") + id);
        QCOMPARE(dm->GetBalance(QStringLiteral("boss")), 100);
        QVERIFY(scalarOn(*dm, QStringLiteral("select connection_id()")) != id);
        QVERIFY(dm->Recharge(QStringLiteral("boss"), QStringLiteral("kid"), 10));
        QCOMPARE(hardened.scalar(QStringLiteral("select smscount from customers where customername='kid'")).toInt(),
                 15);
        QCOMPARE(ui.count(), 0);
    }

    // A send or a recharge whose connection is closed (lost before) and
    // cannot be opened at its first attempt, but at the next: the try runs on
    // the connection it opens, in that connection's mode. (On a hardened
    // server the legacy statements are refused: 1142.)
    void closedConnectionIsOpenedBeforeATry()
    {
        FakeUi ui;
        TCutProxy proxy(hardened.port());
        QVERIFY(proxy.listening());
        dm = moduleFor(hardened, proxy.port());
        dm->SetSession(QStringLiteral("boss"), QStringLiteral("pw"));
        QVERIFY(dm->EnsureConnected());
        QVERIFY(dm->Hardened());

        dm->Close();
        proxy.refuseNext(1);
        QVERIFY2(dm->Recharge(QStringLiteral("boss"), QStringLiteral("kid"), 10), qPrintable(dm->LastError().text()));
        QCOMPARE(dm->Mode(), TDbMode::Hardened);
        QCOMPARE(hardened.scalar(QStringLiteral("select smscount from customers where customername='kid'")).toInt(),
                 15);

        dm->Close();
        proxy.refuseNext(1);
        TSmsRec b;
        b.PhonesText = QStringLiteral("13900000000\n");
        b.PhoneCount = 1;
        b.MsgCount = 1;
        b.Content = QStringLiteral("once");
        b.CustomerName = QStringLiteral("boss");
        QVERIFY2(dm->SubmitBatch(b), qPrintable(dm->LastError().text()));
        QCOMPARE(hardened.scalar(QStringLiteral("select smscount from customers where customername='boss'")).toInt(),
                 89);
        QCOMPARE(hardened.scalar(QStringLiteral("select count(*) from submit where content='once'")).toInt(), 1);
        QCOMPARE(proxy.refused(), 2);
    }

    void expiredSessionIsBoundAgain()
    {
        FakeUi ui;
        dm = moduleFor(hardened);
        QString message;
        QVERIFY(dm->VerifyLogin(QStringLiteral("boss"), QStringLiteral("pw"), message));
        SQL_EXEC(hardened, QStringLiteral("update sms_api.sessions set expires = now() - interval 1 second"));
        // A write refused for want of a session logs in again and runs.
        QVERIFY(dm->Recharge(QStringLiteral("boss"), QStringLiteral("kid"), 10));
        QCOMPARE(dm->Refusal(), 0);
        QCOMPARE(hardened.scalar(QStringLiteral("select smscount from customers where customername='boss'")).toInt(),
                 90);
    }

    void loginReadsTheCustomerAndTheParameters()
    {
        FakeUi ui;
        SQL_EXEC(hardened, QStringLiteral("update customers set customerGrade=3, companyid='77' "
                                          "where customername='boss'"));
        SQL_EXEC(hardened, QStringLiteral("insert into sysPara(name,value) values('customerNotice','通知'),"
                                          "('defaultlimitrate','80'),('other','x')"));
        dm = moduleFor(hardened);
        TPara para;
        Para = para;
        QString message;
        QVERIFY(dm->VerifyLogin(QStringLiteral("boss"), QStringLiteral("pw"), message));
        QCOMPARE(Para.Grade, 3);
        QCOMPARE(Para.CompanyId, QStringLiteral("77"));
        QCOMPARE(Para.Notice, QStringLiteral("通知"));
        QCOMPARE(Para.DefaultLimitRate, 80.0);
        // Refused: the reads after the login do not run; the parameters are
        // read for the session there is (none for a new module).
        for (const QString& name : {QStringLiteral("kid"), QString(2000, QLatin1Char('k'))}) {
            auto other = moduleFor(hardened);
            Para = para;
            QVERIFY(!other->VerifyLogin(name, QStringLiteral("wrong"), message));
            QCOMPARE(message, QStringLiteral("用户名或密码无效"));
            QCOMPARE(Para.Notice, QStringLiteral("欢迎使用本系统"));
            QCOMPARE(other->GetBalance(QStringLiteral("kid")), 0);
        }
        // The first module's session is as it was, and its connection works on.
        DM = dm.get();
        QVERIFY(!dm->VerifyLogin(QStringLiteral("kid"), QStringLiteral("wrong"), message));
        QCOMPARE(Para.Notice, QStringLiteral("通知"));
        QCOMPARE(dm->GetBalance(QStringLiteral("boss")), 100);
        QCOMPARE(ui.count(), 0);
    }

    void valuesArriveExactlyInBothModes()
    {
        // Small values go inside a hardened statement's text, large ones are
        // bound; either way the server receives what was given.
        const QString big = QString(70 * 1024, QLatin1Char('x')) + QStringLiteral("'尾");
        const QList<QVariant> values{QStringLiteral("it's a \\ back'slash\\"),
                                     QStringLiteral("名字😀 :name ? %_"),
                                     QString(),
                                     QStringLiteral(""),
                                     QVariant(),
                                     QVariant(-2147483647 - 1),
                                     QVariant(qint64(9007199254740993LL)),
                                     QVariant(quint64(18446744073709551615ULL)),
                                     QVariant(QByteArray("\x00\x01'\\\xff", 5)),
                                     big};
        for (TestServer* s : {&legacy, &hardened}) {
            FakeUi ui;
            dm = moduleFor(*s);
            QVERIFY(dm->EnsureConnected());
            for (const QVariant& v : values) {
                const QString what = QStringLiteral("%1 %2 (mode %3)")
                                         .arg(v.typeName(), v.toString().left(30))
                                         .arg(int(dm->Mode()));
                const QByteArray bytes =
                    v.typeId() == QMetaType::QByteArray ? v.toByteArray() : v.toString().toUtf8();
                QSqlQuery q(dm->conn());
                // The quoted ':v' and '?' are text, not placeholders.
                const bool text = v.typeId() == QMetaType::QString || v.typeId() == QMetaType::QByteArray;
                // A number is compared as its decimal text.
                QVERIFY2(
                    dm->Exec(q,
                             QStringLiteral("select hex(%1) = :hex, ':v?' = concat(':', 'v?'), :W is null, "
                                            "octet_length(%2)")
                                 .arg(text ? QStringLiteral(":v") : QStringLiteral("cast(:v as char)"),
                                      text ? QStringLiteral(":x") : QStringLiteral("cast(:x as char)")),
                             {{QStringLiteral("v"), v},
                              {QStringLiteral("hex"), QString::fromLatin1(bytes.toHex().toUpper())},
                              {QStringLiteral("w"), v},
                              {QStringLiteral("X"), v}}),
                    qPrintable(what + dm->LastError().text()));
                QVERIFY2(q.next(), qPrintable(what + q.lastError().text()));
                QCOMPARE(q.value(1).toInt(), 1);
                if (!v.isValid()) {
                    QVERIFY2(q.value(2).toInt() == 1, qPrintable(what));
                    continue;
                }
                // A null text goes out as an empty one.
                QVERIFY2(q.value(0).toInt() == 1, qPrintable(what));
                QVERIFY2(q.value(2).toInt() == 0, qPrintable(what));
                QVERIFY2(q.value(3).toLongLong() == bytes.size(), qPrintable(what));
            }
            DM = nullptr;
            dm.reset();
        }
    }

    void readingSessionIsKeptAlive()
    {
        // Reads through the views do not move the session's expiry on; a
        // module that only reads keeps its session alive by itself.
        FakeUi ui;
        dm = moduleFor(hardened);
        dm->SetSessionKeepAliveMs(300);
        QString message;
        QVERIFY(dm->VerifyLogin(QStringLiteral("boss"), QStringLiteral("pw"), message));
        const QString id = scalarOn(*dm, QStringLiteral("select connection_id()"));
        SQL_EXEC(hardened, QStringLiteral("update sms_api.sessions set expires = now() + interval 1 hour "
                                          "where conn_id = ") +
                               id);
        const QString nearExpiry = QStringLiteral("select count(*) from sms_api.sessions "
                                                  "where expires < now() + interval 2 hour and conn_id = ") +
                                   id;
        QCOMPARE(dm->GetBalance(QStringLiteral("boss")), 100);
        QCOMPARE(hardened.scalar(nearExpiry).toInt(), 1);
        QTest::qWait(400);
        QCOMPARE(dm->GetBalance(QStringLiteral("boss")), 100);
        QCOMPARE(hardened.scalar(nearExpiry).toInt(), 0);
        QCOMPARE(ui.count(), 0);
    }

    void refusedReloginKeepsTheSessionBefore()
    {
        // The login dialog refuses a customer whose password matched (its
        // version or company): the connection goes back to the one before.
        FakeUi ui;
        dm = moduleFor(hardened);
        QString message;
        QVERIFY(dm->VerifyLogin(QStringLiteral("boss"), QStringLiteral("pw"), message));
        QVERIFY(dm->VerifyLogin(QStringLiteral("other"), QStringLiteral("o"), message));
        QCOMPARE(dm->GetBalance(QStringLiteral("other")), 7);
        dm->RevertLogin();
        QCOMPARE(dm->GetBalance(QStringLiteral("boss")), 100);
        QCOMPARE(dm->GetBalance(QStringLiteral("other")), 0);
        // A failed login leaves the session as it was.
        QVERIFY(!dm->VerifyLogin(QStringLiteral("other"), QStringLiteral("wrong"), message));
        QCOMPARE(dm->GetBalance(QStringLiteral("boss")), 100);
        // The first customer of a run refused: no session at all.
        auto first = moduleFor(hardened);
        QVERIFY(first->VerifyLogin(QStringLiteral("other"), QStringLiteral("o"), message));
        first->RevertLogin();
        QCOMPARE(first->GetBalance(QStringLiteral("other")), 0);
        QCOMPARE(ui.count(), 0);
    }

    void refusalsComeWithTheirTexts()
    {
        FakeUi ui;
        dm = moduleFor(hardened);
        QString message;
        QVERIFY(!dm->VerifyLogin(QStringLiteral("boss"), QStringLiteral("PW"), message));
        QCOMPARE(dm->Refusal(), 50101);
        QCOMPARE(message, QStringLiteral("用户名或密码无效"));
        QVERIFY(dm->VerifyLogin(QStringLiteral("boss"), QStringLiteral("pw"), message));
        // Not a child of its own; more than the balance; each changes nothing.
        QVERIFY(!dm->Recharge(QStringLiteral("boss"), QStringLiteral("other"), 1));
        QCOMPARE(dm->Refusal(), 50106);
        QVERIFY(!dm->RefusalText().isEmpty());
        QVERIFY(!dm->Recharge(QStringLiteral("boss"), QStringLiteral("kid"), 101));
        QCOMPARE(dm->Refusal(), 50110);
        QCOMPARE(dm->RefusalText(), QStringLiteral("账户余额不足"));
        TSmsRec b;
        b.PhonesText = QStringLiteral("13800000000\n13800000001\n");
        b.PhoneCount = 1; // fewer than the lines
        b.Content = QStringLiteral("x");
        b.MsgCount = 1;
        b.CustomerName = QStringLiteral("boss");
        QVERIFY(!dm->SubmitBatch(b));
        QCOMPARE(dm->Refusal(), 50107);
        QCOMPARE(dm->SubmitRefusal(), TDM::RefusalText(50107));
        b.PhoneCount = 2;
        b.MsgCount = 60; // 120 > 100
        QVERIFY(!dm->SubmitBatch(b));
        QCOMPARE(dm->SubmitRefusal(), QStringLiteral("账户余额不足，请充值后再发送"));
        QCOMPARE(hardened.scalar(QStringLiteral("select sum(smscount) from customers")).toInt(), 112);
        QCOMPARE(hardened.scalar(QStringLiteral("select count(*) from submit")).toInt(), 0);
        QCOMPARE(hardened.scalar(QStringLiteral("select count(*) from charge")).toInt(), 0);
        // Every code has a text of its own.
        for (int code = TDM::FirstRefusal; code <= TDM::LastRefusal; ++code)
            QVERIFY2(!TDM::RefusalText(code).isEmpty(), qPrintable(QString::number(code)));
        QCOMPARE(ui.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TstDmMode)
#include "tst_dm_mode.moc"

// The data module's connection and statement helpers against a real server.
#include "data/uDM.h"
#include "data/uDbFailure.h"
#include "tests/support/DmFixture.h"
#include "tests/support/FakeUi.h"

#include <QSet>
#include <QThread>
#include <QtTest>

class TstDmCore : public QObject, TDmFixture
{
    Q_OBJECT

    void restoreSchema() { QVERIFY(server.loadSchema()); }

private slots:
    void initTestCase() { QVERIFY2(startServer(), qPrintable(server.error())); }
    void init() { QVERIFY(freshModule()); }
    void cleanup() { dropModule(); }

    void isInCommaList_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<bool>("expected");
        QTest::newRow("two items") << "1.1,1.2" << true;
        QTest::newRow("blank after comma") << "1.1, 1.2" << true;
        QTest::newRow("alone") << "1.2" << true;
        QTest::newRow("quoted") << "1.1,\"1.2\"" << true;
        QTest::newRow("quoted with blank inside") << "\"1.2 beta\",1.3" << false;
        QTest::newRow("1.20 only") << "1.20" << false;
        QTest::newRow("1.3") << "1.3" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("blanks only") << "   " << false;
        QTest::newRow("blank separates") << "1.1 1.2" << true;
        QTest::newRow("surrounded by blanks") << "  1.2  " << true;
        QTest::newRow("empty items") << ",,1.2," << true;
        QTest::newRow("prefix only") << "1.21,11.2" << false;
    }
    void isInCommaList()
    {
        QFETCH(QString, list);
        QFETCH(bool, expected);
        QCOMPARE(TDM::IsInCommaList(ClientVersion, list), expected);
    }
    void commaTextItems()
    {
        QCOMPARE(CommaTextItems(QStringLiteral("a,,b,")), QStringList({"a", "", "b", ""}));
        QCOMPARE(CommaTextItems(QStringLiteral("\"x \"\"y\"\"\" z")), QStringList({"x \"y\"", "z"}));
        QCOMPARE(CommaTextItems(QString()), QStringList());
    }
    void isInCommaListIgnoresCase()
    {
        QVERIFY(TDM::IsInCommaList(QStringLiteral("v1.2"), QStringLiteral("V1.1,V1.2")));
    }

    // The sentence that leads the report of a failed listing, by what the
    // client library or the server said; the error's own text follows it.
    void dbFailureReport_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("advice");
        const QString noConnection = QStringLiteral("无法连接数据库服务器，请检查网络后重试。");
        const QString lost = QStringLiteral("与数据库服务器的连接中断了，请检查网络后重试。");
        const QString busy = QStringLiteral("数据库服务器正忙，请稍后重试。");
        const QString denied = QStringLiteral("数据库服务器拒绝了访问，请联系管理员。");
        const QString refused = QStringLiteral("数据库服务器拒绝了这次查询，请联系管理员。");
        const QString unknown = QStringLiteral("发生了意外的错误，请稍后重试；如果仍然失败，请联系管理员。");
        const int conn = QSqlError::ConnectionError, stmt = QSqlError::StatementError;
        QTest::newRow("refused port") << "2002" << conn << noConnection;
        QTest::newRow("unknown host") << "2005" << conn << noConnection;
        QTest::newRow("no code, connecting") << "" << conn << noConnection;
        QTest::newRow("gone away") << "2006" << stmt << lost;
        QTest::newRow("idle connection dropped") << "4031" << stmt << lost;
        QTest::newRow("deadlock") << "1213" << stmt << busy;
        QTest::newRow("cluster node not ready") << "1047" << stmt << busy;
        QTest::newRow("too many connections") << "1040" << conn << busy;
        QTest::newRow("table access denied") << "1142" << stmt << denied;
        QTest::newRow("account refused") << "1045" << conn << denied;
        QTest::newRow("no such table") << "1146" << stmt << refused;
        QTest::newRow("no code, statement") << "" << stmt << refused;
        QTest::newRow("commands out of sync") << "2014" << int(QSqlError::UnknownError) << unknown;
    }
    void dbFailureReport()
    {
        QFETCH(QString, code);
        QFETCH(int, type);
        QFETCH(QString, advice);
        const QSqlError e(QStringLiteral("QMYSQL: 无法执行"), QStringLiteral("the server's words"),
                          QSqlError::ErrorType(type), code);
        QCOMPARE(DbFailureReport(QStringLiteral("读取发送记录失败"), e),
                 QStringLiteral("读取发送记录失败：") + advice + QStringLiteral("\n\n") + e.text());
    }

    void sameTextOrEmpty_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("other");
        QTest::addColumn<bool>("expected");
        QTest::newRow("empty") << ""
                               << "4" << true;
        QTest::newRow("4") << "4"
                           << "4" << true;
        QTest::newRow("04") << "04"
                            << "4" << false;
        QTest::newRow("blank 4") << " 4"
                                 << "4" << false;
        QTest::newRow("latin case") << "abc"
                                    << "ABC" << true;
        QTest::newRow("non-latin not folded") << "ä"
                                              << "Ä" << false;
    }
    void sameTextOrEmpty()
    {
        QFETCH(QString, text);
        QFETCH(QString, other);
        QFETCH(bool, expected);
        QCOMPARE(TDM::SameTextOrEmpty(text, other), expected);
    }

    void ensureConnectedKeepsOpenConnection()
    {
        FakeUi ui;
        QVERIFY(!dm->IsConnected()); // nothing connects before the first operation
        QVERIFY2(dm->EnsureConnected(), qPrintable(dm->LastError().text() + dm->LastError().nativeErrorCode()));
        const qlonglong id = connectionId(*dm);
        QVERIFY(id > 0);
        QVERIFY(dm->EnsureConnected());
        QVERIFY(dm->EnsureConnected());
        QCOMPARE(connectionId(*dm), id);
        QCOMPARE(ui.count(), 0);
    }

    void unreachableServerShowsBoxOnEveryCall()
    {
        FakeUi ui;
        dm->SetServer(server.host(), deadPort());
        QVERIFY(!dm->EnsureConnected());
        QVERIFY(!dm->EnsureConnected());
        QCOMPARE(ui.count(), 2);
        for (const TUiMessage& m : ui.shown) {
            QCOMPARE(m.text, QStringLiteral("网络异常，数据库连接失败"));
            QCOMPARE(m.caption, QStringLiteral("连接异常"));
            QCOMPARE(m.icon, TMsgIcon::Error);
            QCOMPARE(m.buttons, TMsgButtons::Ok);
        }
        ui.clear();
        int id = 0;
        QVERIFY(!dm->NextSubmitId(id));
        QString message;
        QVERIFY(!dm->VerifyLogin(QStringLiteral("a"), QStringLiteral("b"), message));
        QCOMPARE(message, QStringLiteral("数据库连接异常"));
        QCOMPARE(ui.count(), 2); // one box per call, nothing else
    }

    void recoversAfterServerRestart()
    {
        SKIP_UNLESS_OWN_SERVERS();
        FakeUi ui;
        SQL_EXEC(server, "insert into customers(customername,password,smscount) values('u1','p',7)");
        sessionIfHardened(QStringLiteral("u1"), QStringLiteral("p")); // bound again on the new connection
        QCOMPARE(dm->GetBalance(QStringLiteral("u1")), qint64(7));
        server.stop();
        QCOMPARE(dm->GetBalance(QStringLiteral("u1")), qint64(0));
        QVERIFY(ui.count() >= 1);
        QCOMPARE(ui.last().text, QStringLiteral("网络异常，数据库连接失败"));
        QVERIFY2(server.start(), qPrintable(server.error()));
        ui.clear();
        // The very next operation reconnects by itself.
        QCOMPARE(dm->GetBalance(QStringLiteral("u1")), qint64(7));
        QCOMPARE(ui.count(), 0);
    }

    void executeSqlPassesErrorsOn()
    {
        FakeUi ui;
        QVERIFY(dm->EnsureConnected());
        QSqlError err;
        QVERIFY(!dm->ExecuteSql(QStringLiteral("update nosuchtable set a=1"), {}, err));
        QVERIFY(err.isValid());
        if (server.hardened()) {
            // The client account may write no table: denied before the name is looked up.
            QCOMPARE(err.nativeErrorCode(), QStringLiteral("1142"));
            QVERIFY(!dm->TryExecuteSql(QStringLiteral("update nosuchtable set a=1")));
            // Names bound without regard to letter case, through a routine.
            QVERIFY(addSubAccount(QStringLiteral("kid"), QStringLiteral("boss")));
            sessionIfHardened(QStringLiteral("boss"));
            QVERIFY(dm->TryExecuteSql(QStringLiteral("call set_child_contact(:child,:Phone,:address)"),
                                      {{QStringLiteral("CHILD"), QStringLiteral("kid")},
                                       {QStringLiteral("phone"), QStringLiteral("123")},
                                       {QStringLiteral("Address"), QStringLiteral("here")}}));
            QCOMPARE(column(QStringLiteral("kid"), QStringLiteral("concat(telphone,'/',address)")).toString(),
                     QStringLiteral("123/here"));
            QCOMPARE(ui.count(), 0);
            return;
        }
        QCOMPARE(err.nativeErrorCode(), QStringLiteral("1146"));
        QVERIFY(!dm->TryExecuteSql(QStringLiteral("update nosuchtable set a=1")));
        QVERIFY(dm->TryExecuteSql(
            QStringLiteral("insert into sysPara(name,value) values(:name,:Value)"),
            {{QStringLiteral("NAME"), QStringLiteral("n")}, {QStringLiteral("value"), QStringLiteral("v")}}));
        QCOMPARE(server.scalar(QStringLiteral("select value from sysPara where name='n'")).toString(),
                 QStringLiteral("v"));
        QCOMPARE(ui.count(), 0);
    }

    void statementOnClosedConnectionOpensIt()
    {
        FakeUi ui;
        // A statement that stores the name where the test reads it: a
        // parameter row, or on a hardened server a sub-account of the
        // session's customer (bound again on every new connection).
        const bool hardened = server.hardened();
        sessionIfHardened(QStringLiteral("boss"));
        auto store = [&](const char* name, const char* value) {
            return dm->TryExecuteSql(
                hardened ? QStringLiteral("call create_child('%1','pw','','')").arg(QLatin1String(name))
                         : QStringLiteral("insert into sysPara(name,value) values('%1','%2')")
                               .arg(QLatin1String(name), QLatin1String(value)));
        };
        // Never connected: the statement opens the connection itself, silently.
        QVERIFY(!dm->IsConnected());
        QVERIFY(store("a", "1"));
        QVERIFY(dm->IsConnected());
        // Closed after a lost connection: the next statement works again.
        QVERIFY(server.exec(QStringLiteral("kill %1").arg(connectionId(*dm))));
        QVERIFY(!store("b", "2"));
        QVERIFY(!dm->IsConnected());
        QVERIFY(store("c", "3"));
        QCOMPARE(server
                     .scalar(hardened ? QStringLiteral("select group_concat(customername order by customerid) "
                                                       "from customers where parentname='boss'")
                                      : QStringLiteral("select group_concat(name order by id) from sysPara"))
                     .toString(),
                 QStringLiteral("a,c"));
        // Nothing listening: the statement fails, and only EnsureConnected shows a box.
        dm->Close();
        dm->SetServer(server.host(), deadPort());
        QVERIFY(!store("d", "4"));
        QCOMPARE(ui.count(), 0);
    }

    void unboundPlaceholderIsRefused()
    {
        FakeUi ui;
        QVERIFY(dm->EnsureConnected());
        // A placeholder without a value would otherwise go out as NULL.
        QVERIFY(!dm->TryExecuteSql(QStringLiteral("insert into sysPara(name,value) values(:name,:value)"),
                                   {{QStringLiteral("name"), QStringLiteral("n")}}));
        QCOMPARE(server.scalar(QStringLiteral("select count(*) from sysPara")).toInt(), 0);
    }

    void nextSubmitIdWithoutSeq()
    {
        FakeUi ui;
        int id = 0;
        if (server.hardened()) {
            // The client's seq is the hardened database's own: its counter gone.
            sessionIfHardened(QStringLiteral("boss"));
            SQL_EXEC(server, "rename table seqcounter to seqcounter_gone");
            auto restore =
                qScopeGuard([&] { server.exec(QStringLiteral("rename table seqcounter_gone to seqcounter")); });
            QVERIFY(!dm->NextSubmitId(id));
            restore.dismiss();
            SQL_EXEC(server, "rename table seqcounter_gone to seqcounter");
            QVERIFY(dm->NextSubmitId(id));
            QCOMPARE(id, 1);
            return;
        }
        SQL_EXEC(server, "drop function seq");
        QVERIFY(!dm->NextSubmitId(id));
        restoreSchema();
        QVERIFY(dm->NextSubmitId(id));
        QCOMPARE(id, 1);
    }

    void serverTimeFollowsServerClock()
    {
        // A server whose clock runs in a zone of its own.
        TestServer other({QStringLiteral("--default-time-zone=+07:13")});
        QVERIFY2(other.start(), qPrintable(other.error()));
        TDM dm2;
        dm2.SetServer(other.host(), other.port());
        dm2.SetServerCa(other.caFile());
        FakeUi ui;
        QVERIFY(dm2.EnsureConnected());
        QDateTime now;
        QVERIFY(dm2.GetServerTime(now));
        const QDateTime serverWall(now.date(), now.time(), Qt::UTC);
        const QDateTime expected = QDateTime::currentDateTimeUtc().addSecs(7 * 3600 + 13 * 60);
        QVERIFY2(
            qAbs(serverWall.secsTo(expected)) < 60,
            qPrintable(now.toString(Qt::ISODate) + QStringLiteral(" vs ") + expected.toString(Qt::ISODate)));
        if (!TestServer::ownsServers())
            return; // that server cannot be stopped from here
        other.stop();
        QSqlError err;
        QVERIFY(!dm2.GetServerTime(now, &err));
        QVERIFY(err.isValid());
    }

    void loadSystemParameters()
    {
        FakeUi ui;
        sessionIfHardened(QStringLiteral("boss")); // the parameters are shown to a session only
        QVERIFY(dm->EnsureConnected());
        Para.BookingNotice = QStringLiteral("earlier");
        Para.ServerVersion = QStringLiteral("0.9");
        Para.Notice = QStringLiteral("x");
        Para.DefaultLimitRate = 12;
        dm->LoadSystemParameters(Para); // empty table
        QCOMPARE(Para.Notice, QStringLiteral("欢迎使用本系统"));
        QCOMPARE(Para.DefaultLimitRate, 90.0);
        QCOMPARE(Para.BookingNotice, QStringLiteral("earlier"));
        QCOMPARE(Para.ServerVersion, QStringLiteral("0.9"));
        QVERIFY(Para.VersionMessage.isEmpty());

        SQL_EXEC(server, "insert into sysPara(name,value) values ('DEFAULTLIMITRATE','85.5'),"
                         "('softerVer','1.0'),('SofterVer','1.1,1.2'),('customerNotice','通知 😀'),"
                         "('bookingnotice',NULL),('other','ignored')");
        dm->LoadSystemParameters(Para);
        QCOMPARE(Para.DefaultLimitRate, 85.5);
        QCOMPARE(Para.ServerVersion, QStringLiteral("1.1,1.2")); // the last row wins
        QCOMPARE(Para.VersionMessage, QStringLiteral("当前程序版本【1.2】已不再使用，请联系客服获取新版本"));
        QCOMPARE(Para.Notice, QStringLiteral("通知 😀"));
        QCOMPARE(Para.BookingNotice, QString()); // NULL reads as empty text

        SQL_EXEC(server, "update sysPara set value='abc' where name='DEFAULTLIMITRATE'");
        dm->LoadSystemParameters(Para);
        QCOMPARE(Para.DefaultLimitRate, 90.0);
        SQL_EXEC(server, "update sysPara set value='' where name='DEFAULTLIMITRATE'");
        dm->LoadSystemParameters(Para);
        QCOMPARE(Para.DefaultLimitRate, 90.0);

        // Rows gone: Notice falls back, BookingNotice keeps its text.
        SQL_EXEC(server, "update sysPara set value='keep' where name='bookingnotice'");
        dm->LoadSystemParameters(Para);
        SQL_EXEC(server, "delete from sysPara where name in ('bookingnotice','customerNotice')");
        dm->LoadSystemParameters(Para);
        QCOMPARE(Para.BookingNotice, QStringLiteral("keep"));
        QCOMPARE(Para.Notice, QStringLiteral("欢迎使用本系统"));

        // A failing read keeps what was there and shows nothing.
        SQL_EXEC(server, "rename table sysPara to sysPara_gone");
        Para.Notice = QStringLiteral("x");
        dm->LoadSystemParameters(Para);
        SQL_EXEC(server, "rename table sysPara_gone to sysPara");
        QCOMPARE(Para.ServerVersion, QStringLiteral("1.1,1.2"));
        QCOMPARE(Para.Notice, QStringLiteral("欢迎使用本系统"));
        QCOMPARE(ui.count(), 0);
    }

    void defaultLimitRate_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<double>("expected");
        QTest::newRow("85.5") << "85.5" << 85.5;
        QTest::newRow("blanks around") << " 70 " << 70.0;
        QTest::newRow("negative") << "-5" << -5.0;
        QTest::newRow("letters") << "abc" << 90.0;
        QTest::newRow("number then letters") << "85.5abc" << 90.0;
        QTest::newRow("empty") << "" << 90.0;
        // A thousands separator is no part of a plain number: not 1500.
        QTest::newRow("1,500") << "1,500" << 90.0;
    }
    void defaultLimitRate()
    {
        QFETCH(QString, value);
        QFETCH(double, expected);
        FakeUi ui;
        sessionIfHardened(QStringLiteral("boss"));
        QVERIFY(dm->EnsureConnected());
        QString err;
        QVERIFY2(server.exec(QStringLiteral("insert into sysPara(name,value) values('defaultlimitrate',?)"),
                             {value}, &err),
                 qPrintable(err));
        Para.DefaultLimitRate = 1;
        dm->LoadSystemParameters(Para);
        QCOMPARE(Para.DefaultLimitRate, expected);
    }

    void textRoundTrips()
    {
        FakeUi ui;
        QVERIFY(dm->EnsureConnected());
        const QString text = QStringLiteral("中文 'quote' \"dq\" \\ % _ 😀🎉 ñ");
        QSqlError err;
        if (server.hardened()) {
            // Written through a routine, read through the parameters' view.
            QVERIFY(addSubAccount(QStringLiteral("kid"), QStringLiteral("boss")));
            sessionIfHardened(QStringLiteral("boss"));
            QVERIFY2(dm->ExecuteSql(QStringLiteral("call set_child_contact('kid','',:v)"),
                                    {{QStringLiteral("v"), text}}, err),
                     qPrintable(err.text()));
            QCOMPARE(column(QStringLiteral("kid"), QStringLiteral("address")).toString(), text);
            QVERIFY(server.exec(QStringLiteral("insert into sysPara(name,value) values('customerNotice',?)"), {text}));
            dm->LoadSystemParameters(Para);
            QCOMPARE(Para.Notice, text);
            return;
        }
        QVERIFY2(dm->ExecuteSql(QStringLiteral("insert into sysPara(name,value) values('customerNotice',:v)"),
                                {{QStringLiteral("v"), text}}, err),
                 qPrintable(err.text()));
        dm->LoadSystemParameters(Para);
        QCOMPARE(Para.Notice, text);
        QCOMPARE(server.scalar(QStringLiteral("select value from sysPara")).toString(), text);
    }

    void seqIsDistinctAcrossConnections()
    {
        constexpr int threads = 4;
        constexpr int calls = 300;
        QList<QList<qlonglong>> got(threads);
        QList<QThread*> workers;
        const bool hardened = server.hardened();
        for (int t = 0; t < threads; ++t)
            if (hardened)
                SQL_EXEC(server, QStringLiteral("insert into customers(customername,password) values('seqtest%1','pw')")
                                     .arg(t));
        for (int t = 0; t < threads; ++t) {
            workers << QThread::create([&, t] {
                const QString name = QStringLiteral("seqtest%1").arg(t);
                if (hardened) {
                    // The hardened seq issues numbers to a session: one customer per client.
                    TDM client;
                    client.SetServer(server.host(), server.port());
                    client.SetServerCa(server.caFile());
                    client.SetSession(name, QStringLiteral("pw"));
                    int id = 0;
                    for (int i = 0; i < calls; ++i)
                        if (client.NextSubmitId(id))
                            got[t] << id;
                    return;
                }
                {
                    QSqlDatabase db = TestServer::connectionTo(name, server.host(), server.port());
                    if (db.open()) {
                        QSqlQuery q(db);
                        for (int i = 0; i < calls; ++i)
                            if (q.exec(QStringLiteral("select seq('one')")) && q.next())
                                got[t] << q.value(0).toLongLong();
                    }
                    db.close();
                }
                QSqlDatabase::removeDatabase(name);
            });
            workers.last()->start();
        }
        for (QThread* w : workers) {
            w->wait();
            delete w;
        }
        QSet<qlonglong> all;
        for (const auto& l : got) {
            QCOMPARE(l.size(), calls);
            for (qlonglong v : l)
                all.insert(v);
        }
        QCOMPARE(all.size(), threads * calls);
        QCOMPARE(*std::max_element(all.begin(), all.end()), qlonglong(threads * calls));
    }
};

QTEST_GUILESS_MAIN(TstDmCore)
#include "tst_dm_core.moc"

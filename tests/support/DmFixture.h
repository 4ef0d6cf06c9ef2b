#pragma once
// The set-up that the tests against a server share: one throwaway server per
// test program, and for every test function empty tables, an empty parameter
// record and a new data module pointed at that server (installed as DM). A
// test class derives from it next to QObject and calls startServer() in
// initTestCase, freshModule() in init and dropModule() in cleanup. Page tests
// add a logged-in customer with logIn(); the pages' balance refreshes then
// reach `host`.

#include "app/uDataType.h"
#include "app/uPageHost.h"
#include "data/uDM.h"
#include "tests/support/TestServer.h"

#include <QTcpServer>
#include <QtTest>
#include <memory>

// One customers row; what a test leaves out gets these values.
struct TCustomerRow
{
    QString name = QString();
    QString password = QStringLiteral("pw");
    QVariant balance = 0;        // smscount; an invalid QVariant stores NULL
    int grade = 0;               // customerGrade
    QString company = QString(); // companyid
    int limitrate = 0;
};

// Counts the balance refreshes that a page asks of the main window.
class TFakeHost final : public TPageHost
{
public:
    void RefreshBalance() override { ++refreshes; }
    int refreshes = 0;
};

class TDmFixture
{
protected:
    // serverArgs go to the test's server (mariadbd options).
    explicit TDmFixture(QStringList serverArgs = {}) : server(std::move(serverArgs)) {}

    TestServer server;
    std::unique_ptr<TDM> dm;
    TFakeHost host;

    bool startServer() { return server.start(); }

    bool freshModule()
    {
        if (!server.resetData())
            return false;
        Para = TPara();
        standIn_.clear();
        dm = std::make_unique<TDM>();
        dm->SetServer(server.host(), server.port());
        dm->SetServerCa(server.caFile());
        DM = dm.get();
        return true;
    }

    void dropModule()
    {
        if (PageHost == &host)
            PageHost = nullptr;
        DM = nullptr;
        dm.reset();
    }

    // The parameter record as a login leaves it, and `host` (with no refresh
    // counted yet) standing in for the main window.
    // On a hardened server the module's connection is bound to the customer
    // too, from its next statement on, as the login dialog's check binds it
    // (the customer's row must be there by then).
    // A hardened session needs the customer's row: when the test has not
    // added it yet, a stand-in row is added, which the test's own row for
    // that name then replaces in place (addCustomer, addSubAccount).
    void logIn(const QString& name, const QString& password = QStringLiteral("pw"), int grade = 0,
               const QString& company = QString())
    {
        if (DM)
            DM->SetSession(name, password);
        if (server.hardened() && !column(name, QStringLiteral("customerid")).isValid()) {
            QVERIFY(server.exec(QStringLiteral("insert into customers(customername,password,smscount,"
                                               "customerGrade,companyid) values(?,?,0,?,?)"),
                                {name, password.isNull() ? QStringLiteral("") : password, grade,
                                 company.isNull() ? QStringLiteral("") : company}));
            standIn_ = name;
        }
        Para.UserName = name;
        Para.Password = password;
        Para.LoggedIn = true;
        Para.Grade = grade;
        Para.CompanyId = company;
        PageHost = &host;
        host.refreshes = 0;
    }

    // Adds the row with bound values; a failure fails the running test.
    void addCustomer(const TCustomerRow& row)
    {
        QString err;
        if (takeStandIn(row.name)) {
            const bool ok = server.exec(
                QStringLiteral("update customers set password=?,smscount=?,customerGrade=?,companyid=?,limitrate=? "
                               "where customername=?"),
                {row.password.isNull() ? QStringLiteral("") : row.password, row.balance, row.grade,
                 row.company.isNull() ? QStringLiteral("") : row.company, row.limitrate, row.name},
                &err);
            QVERIFY2(ok, qPrintable(QStringLiteral("adding customer %1: %2").arg(row.name, err)));
            DM->SetSession(row.name, row.password);
            return;
        }
        const bool ok = server.exec(
            QStringLiteral(
                "insert into customers(customername,password,smscount,customerGrade,companyid,limitrate) "
                "values(?,?,?,?,?,?)"),
            {row.name, row.password.isNull() ? QStringLiteral("") : row.password, row.balance, row.grade,
             row.company.isNull() ? QStringLiteral("") : row.company, row.limitrate},
            &err);
        QVERIFY2(ok, qPrintable(QStringLiteral("adding customer %1: %2").arg(row.name, err)));
    }

    // A customer row with a parent (NULL when parent is null), phone and address.
    bool addSubAccount(const QString& name, const QString& parent, qint64 balance = 0,
                       const QString& password = QString(), const QString& phone = QString(),
                       const QString& address = QString(), int grade = 2)
    {
        if (takeStandIn(name)) {
            DM->SetSession(name, password.isNull() ? QStringLiteral("") : password);
            return server.exec(
                QStringLiteral("update customers set password=coalesce(?,''),parentname=?,smscount=?,"
                               "telphone=coalesce(?,''),address=coalesce(?,''),customerGrade=? where customername=?"),
                {password, parent.isNull() ? QVariant() : QVariant(parent), balance, phone, address, grade, name});
        }
        return server.exec(
            QStringLiteral("insert into customers(customername,password,parentname,smscount,"
                           "telphone,address,customerGrade) values(?,coalesce(?,''),?,?,coalesce(?,''),"
                           "coalesce(?,''),?)"),
            {name, password, parent.isNull() ? QVariant() : QVariant(parent), balance, phone, address,
             grade});
    }
    // The stand-in row of a hardened session's customer, taken over by the
    // test's row of that name (true); the session is bound again with it.
    QString standIn_;
    bool takeStandIn(const QString& name)
    {
        if (standIn_.isEmpty() || name != standIn_ || !DM)
            return false;
        standIn_.clear();
        return true;
    }

    // On a hardened server, whose views show nothing before a login: the
    // module's connection bound to the customer from its next statement on,
    // the customer's row added first when there is none (with password).
    // Nothing in legacy mode.
    void sessionIfHardened(const QString& name, const QString& password = QStringLiteral("pw"))
    {
        if (!server.hardened())
            return;
        if (!column(name, QStringLiteral("customerid")).isValid())
            QVERIFY(server.exec(QStringLiteral("insert into customers(customername,password,smscount) values(?,?,0)"),
                                {name, password}));
        dm->SetSession(name, password);
    }

    // One column of the customer's row (null when there is no such row).
    QVariant column(const QString& name, const QString& col)
    {
        return server.scalar(QStringLiteral("select %1 from customers where customername=?").arg(col),
                             {name});
    }

    QVariant balanceOf(const QString& name)
    {
        return server.scalar(QStringLiteral("select smscount from customers where customername=?"), {name});
    }
    int rows(const char* table)
    {
        return server.scalar(QStringLiteral("select count(*) from %1").arg(QLatin1String(table))).toInt();
    }

    // The server's id of the module's connection (-1 when it cannot be read).
    static qlonglong connectionId(TDM& dm)
    {
        QSqlQuery q(dm.conn());
        if (!q.exec(QStringLiteral("select connection_id()")) || !q.next())
            return -1;
        return q.value(0).toLongLong();
    }

    // A loopback port on which nothing listens.
    static int deadPort()
    {
        QTcpServer s;
        s.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0);
        return s.serverPort(); // closed again when s goes
    }
};

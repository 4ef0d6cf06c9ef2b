#pragma once
// The set-up that the data-module and shell tests share: one throwaway server
// per test program, and for every test function empty tables, an empty
// parameter record and a new data module pointed at that server (installed as
// DM). A test class derives from it next to QObject and calls startServer()
// in initTestCase, freshModule() in init and dropModule() in cleanup.

#include "app/uDataType.h"
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

class TDmFixture
{
protected:
    // serverArgs go to the test's server (mariadbd options).
    explicit TDmFixture(QStringList serverArgs = {}) : server(std::move(serverArgs)) {}

    TestServer server;
    std::unique_ptr<TDM> dm;

    bool startServer() { return server.start(); }

    bool freshModule()
    {
        if (!server.resetData())
            return false;
        Para = TPara();
        dm = std::make_unique<TDM>();
        dm->SetServer(server.host(), server.port());
        DM = dm.get();
        return true;
    }

    void dropModule()
    {
        DM = nullptr;
        dm.reset();
    }

    // Adds the row with bound values; a failure fails the running test.
    void addCustomer(const TCustomerRow& row)
    {
        QString err;
        const bool ok = server.exec(
            QStringLiteral(
                "insert into customers(customername,password,smscount,customerGrade,companyid,limitrate) "
                "values(?,?,?,?,?,?)"),
            {row.name, row.password.isNull() ? QStringLiteral("") : row.password, row.balance, row.grade,
             row.company.isNull() ? QStringLiteral("") : row.company, row.limitrate},
            &err);
        QVERIFY2(ok, qPrintable(QStringLiteral("adding customer %1: %2").arg(row.name, err)));
    }

    QVariant balanceOf(const QString& name)
    {
        return server.scalar(QStringLiteral("select smscount from customers where customername=?"), {name});
    }
    int rows(const char* table)
    {
        return server.scalar(QStringLiteral("select count(*) from %1").arg(QLatin1String(table))).toInt();
    }

    // A loopback port on which nothing listens.
    static int deadPort()
    {
        QTcpServer s;
        s.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0);
        return s.serverPort(); // closed again when s goes
    }
};

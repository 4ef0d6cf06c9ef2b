#pragma once
// Shared set-up of the account administration tests: a server of their own,
// a data module pointed at it and a logged-in customer.

#include "app/uDataType.h"
#include "app/uPageHost.h"
#include "data/uDM.h"
#include "tests/support/TestServer.h"

#include <QtTest>
#include <memory>

// Counts the balance refreshes that a page asks of the main window.
class TFakeHost final : public TPageHost
{
public:
    void RefreshBalance() override { ++refreshes; }
    int refreshes = 0;
};

struct TAccountFixture
{
    TestServer server;
    std::unique_ptr<TDM> dm;
    TFakeHost host;

    bool start() { return server.start(); }

    // Empty tables, a fresh data module and "boss" logged in.
    bool reset()
    {
        if (!server.resetData())
            return false;
        dm = std::make_unique<TDM>();
        dm->SetServer(server.host(), server.port());
        DM = dm.get();
        PageHost = &host;
        host.refreshes = 0;
        Para = TPara{};
        Para.UserName = QStringLiteral("boss");
        Para.Password = QStringLiteral("pw");
        Para.LoggedIn = true;
        Para.Grade = 1;
        Para.CompanyId = QStringLiteral("C01");
        return dm->EnsureConnected();
    }
    void finish()
    {
        PageHost = nullptr;
        DM = nullptr;
        dm.reset();
    }

    bool addCustomer(const QString& name, const QString& parent, qint64 balance = 0,
                     const QString& password = QString(), const QString& phone = QString(),
                     const QString& address = QString(), int grade = 2)
    {
        return server.exec(
            QStringLiteral("insert into customers(customername,password,parentname,smscount,"
                           "telphone,address,customerGrade) values(?,coalesce(?,''),?,?,coalesce(?,''),"
                           "coalesce(?,''),?)"),
            {name, password, parent.isNull() ? QVariant() : QVariant(parent), balance, phone, address,
             grade});
    }
    QVariant column(const QString& name, const QString& col)
    {
        return server.scalar(QStringLiteral("select %1 from customers where customername=?").arg(col),
                             {name});
    }
    qint64 balance(const QString& name) { return column(name, QStringLiteral("smscount")).toLongLong(); }
};

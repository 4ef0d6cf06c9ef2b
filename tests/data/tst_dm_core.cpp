// The data module's connection and statement helpers against a real server.
#include "data/uDM.h"
#include "tests/support/FakeUi.h"
#include "tests/support/TestServer.h"

#include <QtTest>

class TstDmCore : public QObject
{
    Q_OBJECT
    TestServer server;
    std::unique_ptr<TDM> dm;

private slots:
    void initTestCase()
    {
        QVERIFY2(server.start(), qPrintable(server.error()));
    }
    void init()
    {
        QVERIFY(server.resetData());
        dm = std::make_unique<TDM>();
        dm->SetServer(server.host(), server.port());
        DM = dm.get();
    }
    void cleanup()
    {
        DM = nullptr;
        dm.reset();
    }

    void connectsAndTakesIds()
    {
        FakeUi ui;
        QVERIFY(dm->EnsureConnected());
        int a = 0, b = 0;
        QVERIFY(dm->NextSubmitId(a));
        QVERIFY(dm->NextSubmitId(b));
        QCOMPARE(b, a + 1);
        QCOMPARE(ui.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TstDmCore)
#include "tst_dm_core.moc"

// Times the data module's heavy paths against a server of its own:
//   SubmitBatch of a 1,000,000-number batch (goal: under 2 s),
//   ChangePassword with 1,000,000 customers (goal: under 50 ms),
//   VerifyLogin with 1,000,000 customers (goal: under 10 ms);
// then the legacy and the hardened mode side by side, each on a server of its
// own with the same rows, the two taking turns round by round: login,
// balance, a recharge and SubmitBatch of 1,000,000 numbers (goal: hardened at
// most 2.5 times legacy).
// Usage: bench_dm [rounds]   (rounds of the two login operations, default 200)
// BENCH_SERVER_ARGS adds options to the server's command line.
#include "data/uDM.h"
#include "tests/support/FakeUi.h"
#include "tests/support/TestServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

namespace {

struct TFigures
{
    double median = 0, worst = 0, mean = 0;
};

// A batch of 1,000,000 distinct 12-digit numbers from the customer "bench".
TSmsRec millionBatch()
{
    TSmsRec b;
    const int n = 1000000;
    b.PhonesText.reserve(n * 13);
    for (int i = 0; i < n; ++i) {
        b.PhonesText += QString::number(138000000000LL + i);
        b.PhonesText += QLatin1Char('\n');
    }
    b.PhoneCount = n;
    b.MsgCount = 1;
    b.Content = QStringLiteral("基准测试短信内容");
    b.CustomerName = QStringLiteral("bench");
    return b;
}

// Median, mean and worst of a list of times (ms).
TFigures figuresOf(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    TFigures r;
    r.median = ms[ms.size() / 2];
    r.worst = ms.back();
    for (double v : ms)
        r.mean += v;
    r.mean /= ms.size();
    return r;
}

template <class F> TFigures timeIt(int rounds, F&& f)
{
    std::vector<double> ms;
    ms.reserve(rounds);
    QElapsedTimer t;
    for (int i = 0; i < rounds; ++i) {
        t.start();
        f(i);
        ms.push_back(t.nsecsElapsed() / 1e6);
    }
    return figuresOf(std::move(ms));
}

void print(const char* what, const TFigures& f, double goal)
{
    std::printf("%-46s median %9.3f ms  mean %9.3f ms  worst %9.3f ms", what, f.median, f.mean, f.worst);
    if (goal > 0)
        std::printf("  goal < %g ms: %s", goal, f.median < goal ? "met" : "MISSED");
    std::printf("\n");
    std::fflush(stdout);
}

bool fail(const char* what, const QString& detail = QString())
{
    std::fprintf(stderr, "bench_dm: %s %s\n", what, qPrintable(detail));
    return false;
}

// One mode's figures of the side-by-side comparison.
struct TModeFigures
{
    TFigures login, balance, recharge, submit;
};

// Fills the server alike for both modes: 100,000 customers, the sender
// "bench" and its sub-account "benchkid".
bool fillForModes(TestServer& server)
{
    QString err;
    if (!server.exec(QStringLiteral("insert into customers(customername,password,realname,smscount,customerGrade) "
                                    "select concat('user',seq),concat('Pw',seq),concat('user',seq),1000,1 "
                                    "from seq_1_to_100000"),
                     &err))
        return fail("filling customers:", err);
    return server.exec(QStringLiteral("insert into customers(customername,password,smscount,parentname) values"
                                      "('bench','Bench1',100000000000,null),('benchkid','k',0,'bench')")) &&
           server.exec(QStringLiteral("insert into sysPara(name,value) values('customerNotice','n'),"
                                      "('defaultlimitrate','90'),('softerVer','1.1,1.2'),('bookingNotice','b')")) &&
           server.exec(QStringLiteral("analyze table customers"));
}

// Times one operation in both modes, the two modules taking turns within
// each round (which goes first alternates), so that both meet the same load
// on the machine.
template <class F> void timeBoth(int rounds, TModeFigures (&fig)[2], TFigures TModeFigures::*which, F&& f)
{
    std::vector<double> ms[2];
    QElapsedTimer t;
    for (int i = 0; i < rounds; ++i) {
        for (int k = 0; k < 2; ++k) {
            const int h = (i + k) % 2;
            t.start();
            f(h, i);
            ms[h].push_back(t.nsecsElapsed() / 1e6);
        }
    }
    for (int h = 0; h < 2; ++h)
        fig[h].*which = figuresOf(std::move(ms[h]));
}

// The legacy module (dm[0]) and the hardened one (dm[1]), each on a server
// of its own with the same rows.
bool timeModes(TDM (&dm)[2], const TSmsRec& batch, int rounds, TModeFigures (&fig)[2])
{
    bool ok = true;
    QString msg;
    timeBoth(rounds, fig, &TModeFigures::login, [&](int h, int) {
        DM = &dm[h];
        ok = dm[h].VerifyLogin(QStringLiteral("bench"), QStringLiteral("Bench1"), msg) && ok;
    });
    if (!ok)
        return fail("VerifyLogin refused the sender:",
                    msg + dm[0].LastError().text() + dm[1].LastError().text());
    for (int h = 0; h < 2; ++h)
        if (dm[h].Mode() != (h ? TDbMode::Hardened : TDbMode::Legacy))
            return fail("the module did not choose the server's mode");
    qint64 balance = 0;
    timeBoth(rounds, fig, &TModeFigures::balance, [&](int h, int) {
        DM = &dm[h];
        ok = dm[h].TryGetBalance(QStringLiteral("bench"), balance) && ok;
    });
    timeBoth(rounds, fig, &TModeFigures::recharge, [&](int h, int i) {
        DM = &dm[h];
        ok = dm[h].Recharge(QStringLiteral("bench"), QStringLiteral("benchkid"), i % 2 ? -1 : 2) && ok;
    });
    if (!ok)
        return fail("balance or recharge failed:", dm[0].LastError().text() + dm[1].LastError().text());
    // A batch leaves its server minutes of writing behind it: taking turns
    // would charge one server's writing to the other's send. Each mode sends
    // its three batches in a row, on a server that has settled.
    for (int h = 0; h < 2; ++h) {
        DM = &dm[h];
        QThread::sleep(5);
        fig[h].submit = timeIt(3, [&](int) { ok = dm[h].SubmitBatch(batch) && ok; });
    }
    DM = nullptr;
    if (!ok)
        return fail("SubmitBatch failed:", dm[0].SubmitRefusal() + dm[0].LastError().text() +
                                               dm[1].SubmitRefusal() + dm[1].LastError().text());
    return true;
}

void printModes(const char* what, const TFigures& legacy, const TFigures& hardened)
{
    const double ratio = legacy.median > 0 ? hardened.median / legacy.median : 0;
    std::printf("%-34s legacy %9.3f ms  hardened %9.3f ms  x%5.2f  goal <= 2.5x: %s\n", what, legacy.median,
                hardened.median, ratio, ratio <= 2.5 ? "met" : "MISSED");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 200;
    FakeUi ui; // a connection failure is recorded, not shown

    // Extra server options for experiments, e.g. BENCH_SERVER_ARGS="--innodb-log-file-size=256M".
    TestServer server(qEnvironmentVariable("BENCH_SERVER_ARGS").split(QLatin1Char(' '), Qt::SkipEmptyParts));
    if (!server.start())
        return fail("server:", server.error()), 1;

    QElapsedTimer fillClock;
    fillClock.start();
    QString err;
    if (!server.exec(
            QStringLiteral("insert into customers(customername,password,realname,smscount,customerGrade) "
                           "select concat('user',seq),concat('Pw',seq),concat('user',seq),1000,1 "
                           "from seq_1_to_1000000"),
            &err))
        return fail("filling customers:", err), 1;
    server.exec(QStringLiteral("insert into customers(customername,password,smscount) "
                               "values('bench','Bench1',100000000000)"));
    server.exec(QStringLiteral("insert into sysPara(name,value) values('customerNotice','n'),"
                               "('defaultlimitrate','90'),('softerVer','1.1,1.2'),('bookingNotice','b')"));
    server.exec(QStringLiteral("analyze table customers"));
    std::printf("customers: %lld rows, filled in %lld ms\n",
                server.scalar(QStringLiteral("select count(*) from customers")).toLongLong(),
                (long long)fillClock.elapsed());

    TDM dm;
    dm.SetServer(server.host(), server.port());
    DM = &dm;
    if (!dm.EnsureConnected())
        return fail("cannot connect"), 1;

    // --- VerifyLogin ---
    {
        QString msg;
        bool allOk = true;
        const TFigures f = timeIt(rounds, [&](int i) {
            const QString n = QStringLiteral("user%1").arg(1 + (i * 7919) % 1000000);
            const QString p = QStringLiteral("Pw%1").arg(1 + (i * 7919) % 1000000);
            allOk = dm.VerifyLogin(n, p, msg) && allOk;
        });
        if (!allOk)
            return fail("VerifyLogin refused a valid login"), 1;
        print("VerifyLogin (1,000,000 customers)", f, 10);
    }

    // --- ChangePassword ---
    {
        bool allOk = true;
        const TFigures f = timeIt(rounds, [&](int i) {
            const QString n = QStringLiteral("user%1").arg(500000 + i);
            allOk = dm.ChangePassword(n, QStringLiteral("pw%1").arg(500000 + i),
                                      QStringLiteral("New%1").arg(i)) &&
                    allOk;
        });
        if (!allOk)
            return fail("ChangePassword failed"), 1;
        print("ChangePassword (1,000,000 customers)", f, 50);
    }

    // For comparison: the same change by a scan over every customer row.
    {
        const TFigures f = timeIt(3, [&](int i) {
            const QString name = QStringLiteral("user%1").arg(700000 + i);
            QSqlQuery q(dm.conn());
            q.setForwardOnly(true);
            QString matched;
            if (q.exec(QStringLiteral("select customerid,customername,password from customers")))
                while (q.next())
                    if (QString::compare(q.value(1).toString(), name, Qt::CaseInsensitive) == 0 &&
                        QString::compare(q.value(2).toString(), QStringLiteral("pw%1").arg(700000 + i),
                                         Qt::CaseInsensitive) == 0)
                        matched = q.value(0).toString();
        });
        print("  (scan of every customer row, for comparison)", f, 0);
    }

    // --- SubmitBatch of 1,000,000 numbers ---
    {
        TSmsRec b = millionBatch();
        b.TestPhonesText = b.PhonesText;
        std::printf("batch texts: %.1f MB + %.1f MB\n", b.PhonesText.size() / 1e6,
                    b.TestPhonesText.size() / 1e6);
        const int batchRounds = 5;
        bool allOk = true;
        auto cpuMs = [] {
            rusage u{};
            getrusage(RUSAGE_SELF, &u);
            return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
                   (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
        };
        const double cpu0 = cpuMs();
        const TFigures f = timeIt(batchRounds, [&](int i) {
            if (i % 2)
                b.AppointTime = QStringLiteral("2031-01-01 08:00:00");
            else
                b.AppointTime.clear();
            allOk = dm.SubmitBatch(b) && allOk;
        });
        if (!allOk)
            return fail("SubmitBatch failed:", dm.LastError().text()), 1;
        const qint64 stored =
            server.scalar(QStringLiteral("select sum(length(phones)) from submit")).toLongLong();
        if (stored != qint64(batchRounds) * b.PhonesText.size())
            return fail("stored numbers differ"), 1;
        print("SubmitBatch (1,000,000 numbers, 2 x 13 MB)", f, 2000);
        std::printf("  (client CPU per batch %.1f ms; the rest is the server storing 26 MB)\n",
                    (cpuMs() - cpu0) / batchRounds);
    }
    DM = nullptr;
    server.stop();

    // --- legacy and hardened side by side ---
    {
        TSmsRec b = millionBatch();
        b.TestPhonesText = QStringLiteral("13900000000\n");
        TModeFigures fig[2];
        const QStringList args =
            qEnvironmentVariable("BENCH_SERVER_ARGS").split(QLatin1Char(' '), Qt::SkipEmptyParts);
        TestServer servers[2]{TestServer(args), TestServer(args)};
        TDM dm[2];
        for (int h = 0; h < 2; ++h) {
            servers[h].setHardened(h == 1);
            if (!servers[h].start())
                return fail("server:", servers[h].error()), 1;
            if (!fillForModes(servers[h]))
                return 1;
            dm[h].SetServer(servers[h].host(), servers[h].port());
            dm[h].SetServerCa(servers[h].caFile());
        }
        if (!timeModes(dm, b, rounds, fig))
            return 1;
        std::printf("legacy and hardened mode (100,000 customers; medians):\n");
        printModes("VerifyLogin", fig[0].login, fig[1].login);
        printModes("TryGetBalance", fig[0].balance, fig[1].balance);
        printModes("Recharge", fig[0].recharge, fig[1].recharge);
        printModes("SubmitBatch (1,000,000 numbers)", fig[0].submit, fig[1].submit);
    }
    if (ui.count())
        std::printf("messages shown: %d (%s)\n", ui.count(),
                    qPrintable(ui.texts().join(QStringLiteral("; "))));
    return 0;
}

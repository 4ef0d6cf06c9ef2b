// "全部子账户" with 100,000 sub-accounts: time from the click until the list,
// its count and the first row's details are shown (window painted).
#include "accounts/frmMgrAccount.h"
#include "app/uDataType.h"
#include "data/uDM.h"
#include "tests/support/FakeUi.h"
#include "tests/support/TestServer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QToolButton>
#include <algorithm>
#include <cstdio>

namespace {

constexpr int kSubAccounts = 100000;
constexpr int kRuns = 5;

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.at(v.size() / 2);
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    FakeUi ui;

    TestServer server;
    if (!server.start()) {
        std::fprintf(stderr, "server: %s\n", qPrintable(server.error()));
        return 1;
    }
    QString err;
    const bool seeded =
        server.exec(
            QStringLiteral("insert into customers(customername,password,realname,parentname,smscount,"
                           "customerKind,customerGrade) values('boss','pw','boss',NULL,1000000,'',1)"),
            &err) &&
        server.exec(
            QStringLiteral("insert into customers(customername,password,realname,parentname,limitrate,"
                           "smscount,customerKind,customerGrade,childCount,createtime,telphone,address,"
                           "companyid) "
                           "select concat('sub', lpad(seq, 6, '0')), concat('pw', seq), concat('sub', seq), "
                           "'boss', 90, seq * 7, '新开', 2, 0, now(), concat('139', lpad(seq, 8, '0')), "
                           "concat('某市某区某路', seq, '号'), 'C01' from seq_1_to_%1")
                .arg(kSubAccounts),
            &err) &&
        // Another customer's accounts, so that the statement has to pick.
        server.exec(QStringLiteral("insert into customers(customername,parentname,smscount) "
                                   "select concat('oth', seq), 'other', 1 from seq_1_to_20000"),
                    &err);
    if (!seeded) {
        std::fprintf(stderr, "seeding failed: %s\n", qPrintable(err));
        return 1;
    }

    TDM dm;
    dm.SetServer(server.host(), server.port());
    DM = &dm;
    if (!dm.EnsureConnected())
        return 1;
    Para.UserName = QStringLiteral("boss");
    Para.LoggedIn = true;

    TaccountMgrFrm page;
    page.resize(1200, 800);
    page.show();
    QApplication::processEvents();

    const QString expectedCount = QStringLiteral("记录个数:  %1").arg(kSubAccounts);
    auto timed = [&](QToolButton* button, const char* what) {
        QList<double> ms;
        for (int i = 0; i < kRuns; ++i) {
            QElapsedTimer t;
            t.start();
            button->click();
            page.repaint(); // the grid, count and details drawn
            QApplication::processEvents();
            ms << t.nsecsElapsed() / 1e6;
            if (page.lblAccountCnt->text() != expectedCount ||
                page.dgAccount->model()->rowCount() != kSubAccounts || page.edtUser->text().isEmpty() ||
                ui.count() != 0) {
                std::fprintf(stderr, "%s: wrong result (%s, %d rows, user '%s', %d messages)\n", what,
                             qPrintable(page.lblAccountCnt->text()), page.dgAccount->model()->rowCount(),
                             qPrintable(page.edtUser->text()), ui.count());
                return false;
            }
        }
        QStringList each;
        for (double v : ms)
            each << QString::number(v, 'f', 1);
        std::printf("%-28s %d sub-accounts: median %.1f ms (runs: %s ms)\n", what, kSubAccounts, median(ms),
                    qPrintable(each.join(QStringLiteral(", "))));
        return true;
    };

    bool ok = timed(page.btnAll, "全部子账户 (btnAll)");
    page.edtFilterValue->setText(QStringLiteral("sub"));
    ok = timed(page.btnAccountFilter, "模糊查询 'sub'") && ok;
    {
        QElapsedTimer t;
        t.start();
        page.RefreshAccounts();
        QApplication::processEvents();
        std::printf("%-28s %d sub-accounts: %.1f ms\n", "RefreshAccounts", kSubAccounts,
                    t.nsecsElapsed() / 1e6);
    }
    std::printf("first row shown: %s, balance %s\n", qPrintable(page.edtUser->text()),
                qPrintable(page.edtCount->text()));
    DM = nullptr;
    return ok ? 0 : 1;
}

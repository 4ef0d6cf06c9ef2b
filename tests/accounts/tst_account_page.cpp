// The account administration page against a real server: the sub-account
// list, the detail fields and their buttons, changes, recharge and records.
#include "accounts/frmMgrAccount.h"
#include "data/uWallClock.h"
#include "tests/support/DmFixture.h"
#include "tests/support/FakeUi.h"
#include "tests/support/ZoneScope.h"

#include <QDateEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>

#include <ctime>

namespace {

QStringList listedNames(const TaccountMgrFrm& page)
{
    QStringList out;
    const QAbstractItemModel* m = page.dgAccount->model();
    int col = -1;
    for (int c = 0; c < m->columnCount(); ++c)
        if (m->headerData(c, Qt::Horizontal).toString() == QStringLiteral("账户"))
            col = c;
    for (int r = 0; r < m->rowCount(); ++r)
        out << m->index(r, col).data().toString();
    out.sort();
    return out;
}

QStringList shownCaptions(const QTableView* grid)
{
    QStringList out;
    const QAbstractItemModel* m = grid->model();
    for (int c = 0; c < m->columnCount(); ++c)
        if (!grid->isColumnHidden(c))
            out << m->headerData(c, Qt::Horizontal).toString();
    return out;
}

void selectRow(TaccountMgrFrm& page, const QString& name)
{
    const QAbstractItemModel* m = page.dgAccount->model();
    for (int r = 0; r < m->rowCount(); ++r)
        for (int c = 0; c < m->columnCount(); ++c)
            if (page.dgAccount->model()->headerData(c, Qt::Horizontal).toString() == QStringLiteral("账户") &&
                m->index(r, c).data().toString() == name) {
                page.dgAccount->setCurrentIndex(m->index(r, c));
                return;
            }
    QFAIL(qPrintable(QStringLiteral("row %1 not listed").arg(name)));
}

// Enabled state of btnEditPwd, btnEditAddr, btnCharge.
QString buttons(const TaccountMgrFrm& page)
{
    return QString::number(page.btnEditPwd->isEnabled()) + QString::number(page.btnEditAddr->isEnabled()) +
           QString::number(page.btnCharge->isEnabled());
}

} // namespace

class TstAccountPage : public QObject, TDmFixture
{
    Q_OBJECT

    // The password field of a row as the page fills it: a hardened database
    // shows none (every password is masked), so one can only be set anew.
    QString shownPassword(const char* stored) const
    {
        return server.hardened() ? QString() : QString::fromUtf8(stored);
    }

private slots:
    void initTestCase() { QVERIFY2(startServer(), qPrintable(server.error())); }
    void init()
    {
        QVERIFY(freshModule());
        logIn(QStringLiteral("boss"), QStringLiteral("pw"), 1, QStringLiteral("C01"));
        QVERIFY(dm->EnsureConnected());
    }
    void cleanup() { dropModule(); }

    // The address field is twice as wide as the phone field at any page width.
    void addressFieldTwiceAsWide_data()
    {
        QTest::addColumn<int>("width");
        QTest::newRow("small") << 800;
        QTest::newRow("default") << 915;
        QTest::newRow("wide") << 1900;
    }
    void addressFieldTwiceAsWide()
    {
        QFETCH(int, width);
        TaccountMgrFrm page;
        page.resize(width, 600);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        QCOMPARE(page.edtAddr->width(), 2 * page.edtPhone->width());
        QVERIFY(page.edtPhone->width() >=
                page.edtPhone->fontMetrics().horizontalAdvance(QStringLiteral("13800000000")));
        // Each change button stands beside its own field.
        QVERIFY(page.btnEditAddr->x() > page.edtAddr->x() + page.edtAddr->width());
        QVERIFY(page.btnEditPwd->x() > page.edtPwd->x() + page.edtPwd->width());
    }

    void layoutNamesCaptionsAndColumns()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("boss"), QString(), 100));
        QVERIFY(addSubAccount(QStringLiteral("kid"), QStringLiteral("boss"), 5));
        TaccountMgrFrm page;
        for (const char* name :
             {"edtFilterValue", "btnAccountFilter", "btnAll",        "btnAddAccount", "lblAccountCnt",
              "dgAccount",      "edtUser",          "edtPwd",        "btnEditPwd",    "edtGrade",
              "edtCount",       "edtCharge",        "btnCharge",     "edtPhone",      "edtAddr",
              "btnEditAddr",    "btnDetailFilter",  "edtStartDate",  "edtEndDate",    "btnChargeDetail",
              "edtCustomer",    "lblDetailCnt",     "dgChargeDetail"})
            QVERIFY2(page.findChild<QWidget*>(QLatin1String(name)), name);
        QCOMPARE(page.btnAccountFilter->text(), QStringLiteral("模糊查询"));
        QCOMPARE(page.btnAll->text(), QStringLiteral("全部子账户"));
        QCOMPARE(page.btnAddAccount->text(), QStringLiteral("添加子帐户"));
        QCOMPARE(page.btnEditPwd->text(), QStringLiteral("修改密码"));
        QCOMPARE(page.btnCharge->text(), QStringLiteral("充值"));
        QCOMPARE(page.btnEditAddr->text(), QStringLiteral("修改电话、地址"));
        QCOMPARE(page.btnDetailFilter->text(), QStringLiteral("按时间过滤"));
        QCOMPARE(page.btnChargeDetail->text(), QStringLiteral("按子帐号查询"));
        QCOMPARE(page.grpChargeDetail->title(), QStringLiteral("充值记录明细"));
        QCOMPARE(page.lblAccountCnt->text(), QStringLiteral("记录数"));
        QCOMPARE(page.lblDetailCnt->text(), QStringLiteral("记录数"));
        QVERIFY(!page.edtUser->isEnabled());
        QVERIFY(!page.edtGrade->isEnabled());
        QVERIFY(!page.edtCount->isEnabled());
        QCOMPARE(page.edtPwd->echoMode(), QLineEdit::Password);
        QCOMPARE(buttons(page), QStringLiteral("111")); // the buttons start enabled

        page.InitPage();
        QCOMPARE(page.edtStartDate->date(), QDate::currentDate());
        QCOMPARE(page.edtEndDate->date(), QDate::currentDate());
        QCOMPARE(shownCaptions(page.dgAccount),
                 (QStringList{QStringLiteral("账户"), QStringLiteral("条数")}));
        QVERIFY(page.dgAccount->editTriggers() == QAbstractItemView::NoEditTriggers);
        page.edtCustomer->setText(QStringLiteral("kid"));
        page.btnChargeDetail->click();
        QCOMPARE(
            shownCaptions(page.dgChargeDetail),
            (QStringList{QStringLiteral("账户"), QStringLiteral("充值时余额"), QStringLiteral("本次充值数"),
                         QStringLiteral("充值人"), QStringLiteral("充值时间")}));
        QCOMPARE(ui.count(), 0);
    }

    void customerWithoutSubAccounts()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("boss"), QString(), 100));
        QVERIFY(addSubAccount(QStringLiteral("stranger"), QStringLiteral("other"), 5, QStringLiteral("x")));
        TaccountMgrFrm page;
        page.InitPage();
        QVERIFY(page.ListLoaded());
        QCOMPARE(page.lblAccountCnt->text(), QStringLiteral("记录个数:  0"));
        QCOMPARE(page.dgAccount->model()->rowCount(), 0);
        for (QLineEdit* e :
             {page.edtUser, page.edtPwd, page.edtCount, page.edtGrade, page.edtPhone, page.edtAddr})
            QVERIFY(e->text().isEmpty());
        // The buttons may stand enabled; on an empty list they do nothing.
        page.edtCharge->setText(QStringLiteral("5"));
        page.btnCharge->click();
        page.btnEditPwd->click();
        page.btnEditAddr->click();
        emit page.dgAccount->doubleClicked(QModelIndex());
        QVERIFY(page.edtCustomer->text().isEmpty());
        QCOMPARE(ui.count(), 0);
        QCOMPARE(server.scalar(QStringLiteral("select count(*) from charge")).toInt(), 0);
    }

    // A load that finds nothing empties the six fields and leaves the amount and
    // the buttons as they were; a refresh that finds nothing leaves the fields too.
    void emptyResultsAndTheDetailFields()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("alpha"), QStringLiteral("boss"), 11, QStringLiteral("pa"),
                              QStringLiteral("111"), QStringLiteral("addr")));
        TaccountMgrFrm page;
        page.InitPage();
        QCOMPARE(buttons(page), QStringLiteral("000"));
        page.edtCharge->setText(QStringLiteral("7"));
        QCOMPARE(buttons(page), QStringLiteral("001"));
        page.edtFilterValue->setText(QStringLiteral("nomatch"));
        page.btnAccountFilter->click();
        QCOMPARE(page.lblAccountCnt->text(), QStringLiteral("记录个数:  0"));
        for (QLineEdit* e :
             {page.edtUser, page.edtPwd, page.edtCount, page.edtGrade, page.edtPhone, page.edtAddr})
            QVERIFY(e->text().isEmpty());
        QCOMPARE(page.edtCharge->text(), QStringLiteral("7"));
        // Emptying the fields counts as their change; nothing disables. A
        // hardened database shows no password: that field was empty already.
        QCOMPARE(buttons(page), server.hardened() ? QStringLiteral("011") : QStringLiteral("111"));

        page.edtFilterValue->setText(QStringLiteral("alp"));
        page.btnAccountFilter->click();
        QCOMPARE(page.edtUser->text(), QStringLiteral("alpha"));
        QCOMPARE(buttons(page), QStringLiteral("000"));
        SQL_EXEC(server,
                 QStringLiteral("update customers set parentname='other' where customername='alpha'"));
        page.RefreshAccounts();
        QCOMPARE(page.dgAccount->model()->rowCount(), 0);
        QCOMPARE(page.edtUser->text(), QStringLiteral("alpha"));
        QCOMPARE(page.edtPhone->text(), QStringLiteral("111"));
        QCOMPARE(page.lblAccountCnt->text(), QStringLiteral("记录个数:  1"));
        // Nothing to act on now.
        page.edtPwd->setText(QStringLiteral("x"));
        page.btnEditPwd->click();
        QCOMPARE(column(QStringLiteral("alpha"), QStringLiteral("password")).toString(),
                 QStringLiteral("pa"));
        QCOMPARE(ui.count(), 0);
    }

    void notLoggedInRefusesBothLoads()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("kid"), QStringLiteral("boss")));
        Para.LoggedIn = false;
        TaccountMgrFrm page;
        page.btnAll->click();
        page.btnAccountFilter->click();
        QCOMPARE(ui.count(), 2);
        for (const TUiMessage& m : ui.shown) {
            QCOMPARE(m.text, QStringLiteral("数据库未连接，提交失败"));
            QCOMPARE(m.caption, QStringLiteral("发送失败"));
            QCOMPARE(m.icon, TMsgIcon::Error);
        }
        QVERIFY(!page.ListLoaded());
        QCOMPARE(page.lblAccountCnt->text(), QStringLiteral("记录数"));
    }

    void search_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("single quote") << QStringLiteral("'") << QStringList{QStringLiteral("o'brien")};
        QTest::newRow("double quote") << QStringLiteral("\"") << QStringList{QStringLiteral("a\"b")};
        QTest::newRow("empty lists all")
            << QString()
            << QStringList{QStringLiteral("a\"b"), QStringLiteral("ab sp"), QStringLiteral("o'brien"),
                           QStringLiteral("spx"),  QStringLiteral("x%y"),   QStringLiteral("xay")};
        QTest::newRow("percent keeps its meaning")
            << QStringLiteral("x%y") << QStringList{QStringLiteral("x%y"), QStringLiteral("xay")};
        QTest::newRow("underscore keeps its meaning")
            << QStringLiteral("x_y") << QStringList{QStringLiteral("x%y"), QStringLiteral("xay")};
        QTest::newRow("leading blank kept") << QStringLiteral(" sp") << QStringList{QStringLiteral("ab sp")};
        QTest::newRow("trailing blank kept") << QStringLiteral("sp ") << QStringList{};
        QTest::newRow("statement not disturbed") << QStringLiteral("' or '1'='1") << QStringList{};
        QTest::newRow("case follows the column")
            << QStringLiteral("O'B") << QStringList{QStringLiteral("o'brien")};
    }
    void search()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        FakeUi ui;
        for (const char* n : {"o'brien", "a\"b", "x%y", "xay", "ab sp", "spx"})
            QVERIFY(addSubAccount(QString::fromUtf8(n), QStringLiteral("boss")));
        QVERIFY(addSubAccount(QStringLiteral("o'brien2"), QStringLiteral("other")));
        TaccountMgrFrm page;
        page.edtFilterValue->setText(text);
        page.btnAccountFilter->click();
        QCOMPARE(ui.count(), 0);
        QCOMPARE(listedNames(page), expected);
        QCOMPARE(page.lblAccountCnt->text(), QStringLiteral("记录个数:  %1").arg(expected.size()));
    }

    void failingListQueryIsReportedAndLeavesListClosed()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("kid"), QStringLiteral("boss")));
        TaccountMgrFrm page;
        page.InitPage();
        QCOMPARE(page.dgAccount->model()->rowCount(), 1);
        SQL_EXEC(server, QStringLiteral("rename table customers to customers_gone"));
        // A refresh that fails is reported the same way; the grid keeps its rows.
        page.RefreshAccounts();
        const int refreshRows = page.dgAccount->model()->rowCount();
        const bool loadedAfterRefresh = page.ListLoaded();
        page.btnAll->click();
        SQL_EXEC(server, QStringLiteral("rename table customers_gone to customers"));
        QCOMPARE(ui.count(), 2);
        QVERIFY(ui.shown.first().topLevelError);
        QVERIFY2(ui.shown.first().text.startsWith(
                     QStringLiteral("读取子账户列表失败：数据库服务器拒绝了这次查询，请联系管理员。\n\n")),
                 qPrintable(ui.shown.first().text));
        QCOMPARE(refreshRows, 1);
        QVERIFY(loadedAfterRefresh);
        ui.shown.removeFirst();
        QVERIFY(ui.last().topLevelError);
        QVERIFY2(ui.last().text.startsWith(
                     QStringLiteral("读取子账户列表失败：数据库服务器拒绝了这次查询，请联系管理员。\n\n")),
                 qPrintable(ui.last().text));
        QVERIFY(ui.last().text.contains(QStringLiteral("customers")));
        QVERIFY(!page.ListLoaded());
        QCOMPARE(page.dgAccount->model()->rowCount(), 0);
        QCOMPARE(page.lblAccountCnt->text(), QStringLiteral("记录个数:  1"));
        // Guarded actions do nothing while the list is closed.
        page.edtCustomer->setText(QStringLiteral("kid"));
        page.btnChargeDetail->click();
        page.btnDetailFilter->click();
        QCOMPARE(page.lblDetailCnt->text(), QStringLiteral("记录数"));
        QCOMPARE(ui.count(), 1);
    }

    void closedConnectionIsReopenedForTheList()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("kid"), QStringLiteral("boss")));
        TaccountMgrFrm page;
        dm->Close(); // as after a lost connection
        page.InitPage();
        QCOMPARE(ui.count(), 0);
        QCOMPARE(page.dgAccount->model()->rowCount(), 1);

        // Server unreachable: the failed statement goes to the top-level error
        // report, as every failing list query does; no connection box besides.
        dm->SetServer(server.host(), 1);
        page.btnAll->click();
        QCOMPARE(ui.count(), 1);
        QVERIFY(ui.last().topLevelError);
        QVERIFY2(ui.last().text.startsWith(
                     QStringLiteral("读取子账户列表失败：无法连接数据库服务器，请检查网络后重试。\n\n")),
                 qPrintable(ui.last().text));
        QVERIFY2(ui.last().text.contains(QStringLiteral("connect")), qPrintable(ui.last().text));
        QVERIFY(!page.ListLoaded());
        QCOMPARE(page.dgAccount->model()->rowCount(), 0);
    }

    void rowChangeRefillsDetailsAndDisablesButtons()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("alpha"), QStringLiteral("boss"), 11, QStringLiteral("pa"),
                              QStringLiteral("111"), QStringLiteral("addr a"), 2));
        QVERIFY(addSubAccount(QStringLiteral("beta"), QStringLiteral("boss"), 22, QStringLiteral("pb"),
                              QStringLiteral("222"), QStringLiteral("addr b"), 3));
        TaccountMgrFrm page;
        page.InitPage();
        QCOMPARE(page.lblAccountCnt->text(), QStringLiteral("记录个数:  2"));
        QCOMPARE(page.CurrentRow(), 0);
        QVERIFY(!page.edtUser->text().isEmpty());
        QCOMPARE(buttons(page), QStringLiteral("000"));

        selectRow(page, QStringLiteral("beta"));
        page.edtCharge->setText(QStringLiteral("7"));
        QCOMPARE(page.edtUser->text(), QStringLiteral("beta"));
        selectRow(page, QStringLiteral("alpha"));
        QCOMPARE(page.edtUser->text(), QStringLiteral("alpha"));
        QCOMPARE(page.edtPwd->text(), shownPassword("pa"));
        QCOMPARE(page.edtCount->text(), QStringLiteral("11"));
        QCOMPARE(page.edtGrade->text(), QStringLiteral("2"));
        QCOMPARE(page.edtPhone->text(), QStringLiteral("111"));
        QCOMPARE(page.edtAddr->text(), QStringLiteral("addr a"));
        QVERIFY(page.edtCharge->text().isEmpty());
        QCOMPARE(buttons(page), QStringLiteral("000"));

        selectRow(page, QStringLiteral("beta"));
        QCOMPARE(page.edtPwd->text(), shownPassword("pb"));
        QCOMPARE(page.edtCount->text(), QStringLiteral("22"));
        QCOMPARE(page.edtGrade->text(), QStringLiteral("3"));
        QCOMPARE(page.edtAddr->text(), QStringLiteral("addr b"));
        QCOMPARE(buttons(page), QStringLiteral("000"));
    }

    void typingEnablesOnlyTheMatchingButton()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("alpha"), QStringLiteral("boss"), 11, QStringLiteral("pa"),
                              QStringLiteral("111"), QStringLiteral("addr")));
        TaccountMgrFrm page;
        page.InitPage();
        QCOMPARE(buttons(page), QStringLiteral("000"));
        QTest::keyClicks(page.edtAddr, QStringLiteral("x"));
        QCOMPARE(buttons(page), QStringLiteral("010"));
        page.RefreshAccounts();
        QCOMPARE(buttons(page), QStringLiteral("000"));
        QTest::keyClicks(page.edtPhone, QStringLiteral("9"));
        QCOMPARE(buttons(page), QStringLiteral("010"));
        page.RefreshAccounts();
        QTest::keyClicks(page.edtPwd, QStringLiteral("q"));
        QCOMPARE(buttons(page), QStringLiteral("100"));
        // Typing the old text back leaves the button enabled.
        QTest::keyClick(page.edtPwd, Qt::Key_Backspace);
        QCOMPARE(page.edtPwd->text(), shownPassword("pa"));
        QCOMPARE(buttons(page), QStringLiteral("100"));
        QTest::keyClicks(page.edtCharge, QStringLiteral("5"));
        QCOMPARE(buttons(page), QStringLiteral("101"));
    }

    // The user moves with the keyboard and the mouse, not through setCurrentIndex:
    // every move to another row refills the details and disables the buttons.
    void keyboardAndMouseMovesRunTheRowChange()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("alpha"), QStringLiteral("boss"), 11, QStringLiteral("pa")));
        QVERIFY(addSubAccount(QStringLiteral("beta"), QStringLiteral("boss"), 22, QStringLiteral("pb")));
        QVERIFY(addSubAccount(QStringLiteral("gamma"), QStringLiteral("boss"), 33, QStringLiteral("pc")));
        TaccountMgrFrm page;
        page.resize(900, 700);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        page.InitPage();
        QTableView* grid = page.dgAccount;
        const QAbstractItemModel* m = grid->model();
        const QModelIndex current = grid->currentIndex();
        QVERIFY(current.isValid());
        QVERIFY(!grid->isColumnHidden(current.column()));
        auto nameAt = [&](int row) { return m->index(row, current.column()).data().toString(); };
        auto typeIntoAll = [&] {
            page.edtPwd->setText(QStringLiteral("x"));
            page.edtAddr->setText(QStringLiteral("y"));
            page.edtCharge->setText(QStringLiteral("5"));
            QCOMPARE(buttons(page), QStringLiteral("111"));
        };

        grid->setFocus();
        typeIntoAll();
        QTest::keyClick(grid, Qt::Key_Down);
        QCOMPARE(page.CurrentRow(), 1);
        QCOMPARE(page.edtUser->text(), nameAt(1));
        QVERIFY(page.edtCharge->text().isEmpty());
        QCOMPARE(buttons(page), QStringLiteral("000"));

        typeIntoAll();
        QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(page.CurrentRow(), 2);
        QCOMPARE(page.edtUser->text(), nameAt(2));
        const QHash<QString, QString> counts{{QStringLiteral("alpha"), QStringLiteral("11")},
                                             {QStringLiteral("beta"), QStringLiteral("22")},
                                             {QStringLiteral("gamma"), QStringLiteral("33")}};
        QCOMPARE(page.edtCount->text(), counts.value(nameAt(2)));
        QCOMPARE(buttons(page), QStringLiteral("000"));

        typeIntoAll();
        QTest::keyClick(grid, Qt::Key_Up);
        QCOMPARE(page.edtUser->text(), nameAt(1));
        QCOMPARE(buttons(page), QStringLiteral("000"));

        // A mouse click on another row.
        typeIntoAll();
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                          grid->visualRect(m->index(0, current.column())).center());
        QCOMPARE(page.CurrentRow(), 0);
        QCOMPARE(page.edtUser->text(), nameAt(0));
        QCOMPARE(buttons(page), QStringLiteral("000"));

        // A move within the row (another cell of it) is no row change.
        typeIntoAll();
        QTest::keyClick(grid, Qt::Key_Right);
        QCOMPARE(page.CurrentRow(), 0);
        QCOMPARE(buttons(page), QStringLiteral("111"));

        // A double click on a row, as the window system delivers it (press,
        // release, press, double click, release), makes it current and copies its name.
        const QPoint third = grid->visualRect(m->index(2, current.column())).center();
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, third);
        QTest::mousePress(grid->viewport(), Qt::LeftButton, {}, third);
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, third);
        QTest::mouseRelease(grid->viewport(), Qt::LeftButton, {}, third);
        QCOMPARE(page.edtUser->text(), nameAt(2));
        QCOMPARE(page.edtCustomer->text(), nameAt(2));
        QCOMPARE(page.dgChargeDetail->model()->rowCount(), 0);
        QCOMPARE(ui.count(), 0);
    }

    void doubleClickCopiesNameOnly()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("alpha"), QStringLiteral("boss")));
        QVERIFY(addSubAccount(QStringLiteral("beta"), QStringLiteral("boss")));
        TaccountMgrFrm page;
        page.InitPage();
        selectRow(page, QStringLiteral("beta"));
        emit page.dgAccount->doubleClicked(page.dgAccount->currentIndex());
        QCOMPARE(page.edtCustomer->text(), QStringLiteral("beta"));
        QCOMPARE(page.lblDetailCnt->text(), QStringLiteral("记录数"));
        QCOMPARE(page.dgChargeDetail->model()->rowCount(), 0);
    }

    void passwordKeptAsTypedPhoneAndAddressTrimmed()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("alpha"), QStringLiteral("boss"), 0, QStringLiteral("old")));
        QVERIFY(addSubAccount(QStringLiteral("beta"), QStringLiteral("boss"), 0, QStringLiteral("old")));
        TaccountMgrFrm page;
        page.InitPage();
        selectRow(page, QStringLiteral("beta"));
        page.edtPwd->setText(QStringLiteral(" new 'pw\" "));
        page.btnEditPwd->click();
        QCOMPARE(column(QStringLiteral("beta"), QStringLiteral("password")).toString(),
                 QStringLiteral(" new 'pw\" "));
        QCOMPARE(column(QStringLiteral("alpha"), QStringLiteral("password")).toString(),
                 QStringLiteral("old"));
        // The list ran again: its first row is current and the buttons are disabled.
        QCOMPARE(page.CurrentRow(), 0);
        QCOMPARE(buttons(page), QStringLiteral("000"));
        // The refreshed grid still shows only its two columns.
        QCOMPARE(shownCaptions(page.dgAccount),
                 (QStringList{QStringLiteral("账户"), QStringLiteral("条数")}));

        selectRow(page, QStringLiteral("beta"));
        page.edtPhone->setText(QStringLiteral("  139 0000 \t"));
        page.edtAddr->setText(QStringLiteral(" 北京 'road' "));
        page.btnEditAddr->click();
        QCOMPARE(column(QStringLiteral("beta"), QStringLiteral("telphone")).toString(),
                 QStringLiteral("139 0000"));
        QCOMPARE(column(QStringLiteral("beta"), QStringLiteral("address")).toString(),
                 QStringLiteral("北京 'road'"));

        selectRow(page, QStringLiteral("beta"));
        page.edtPwd->setText(QStringLiteral("x")); // a hidden password: the field is empty already
        page.edtPwd->clear();
        page.btnEditPwd->click();
        QCOMPARE(column(QStringLiteral("beta"), QStringLiteral("password")).toString(), QString());
        QCOMPARE(ui.count(), 0); // no success message
    }

    void failedChangeKeepsFieldsAndButton()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("alpha"), QStringLiteral("boss"), 0, QStringLiteral("old")));
        TaccountMgrFrm page;
        page.InitPage();
        SQL_EXEC(server, QStringLiteral("create trigger no_upd before update on customers for each row "
                                        "signal sqlstate '45000' set message_text='refused'"));
        page.edtPwd->setText(QStringLiteral("new"));
        page.btnEditPwd->click();
        page.edtPhone->setText(QStringLiteral("123"));
        page.btnEditAddr->click();
        SQL_EXEC(server, QStringLiteral("drop trigger no_upd"));
        QCOMPARE(ui.texts(),
                 (QStringList{QStringLiteral("修改密码失败"), QStringLiteral("修改电话、地址失败")}));
        for (const TUiMessage& m : ui.shown) {
            QCOMPARE(m.caption, QStringLiteral("修改失败"));
            QCOMPARE(m.icon, TMsgIcon::Error);
        }
        QCOMPARE(page.edtPwd->text(), QStringLiteral("new"));
        QCOMPARE(page.edtPhone->text(), QStringLiteral("123"));
        QCOMPARE(buttons(page), QStringLiteral("110"));
        QCOMPARE(column(QStringLiteral("alpha"), QStringLiteral("password")).toString(),
                 QStringLiteral("old"));
    }

    // After a lost connection has been closed, a change opens it again instead
    // of failing until some other action happens to reconnect.
    void changeReopensAClosedConnection()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("alpha"), QStringLiteral("boss"), 0, QStringLiteral("old")));
        TaccountMgrFrm page;
        page.InitPage();
        dm->Close(); // as after a lost connection
        page.edtPwd->setText(QStringLiteral("new"));
        page.btnEditPwd->click();
        QCOMPARE(ui.count(), 0);
        QCOMPARE(column(QStringLiteral("alpha"), QStringLiteral("password")).toString(),
                 QStringLiteral("new"));

        dm->Close();
        page.edtPhone->setText(QStringLiteral("555"));
        page.btnEditAddr->click();
        QCOMPARE(ui.count(), 0);
        QCOMPARE(column(QStringLiteral("alpha"), QStringLiteral("telphone")).toString(),
                 QStringLiteral("555"));

        // Server unreachable: the change's own failure box, and only that.
        dm->SetServer(server.host(), 1);
        page.edtPwd->setText(QStringLiteral("newer"));
        page.btnEditPwd->click();
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("修改密码失败")});
        QCOMPARE(ui.last().caption, QStringLiteral("修改失败"));
        QCOMPARE(page.edtPwd->text(), QStringLiteral("newer"));
        QVERIFY(page.btnEditPwd->isEnabled());
    }

    void refreshRerunsTheActiveSearch()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("ab1"), QStringLiteral("boss"), 0, QStringLiteral("p")));
        QVERIFY(addSubAccount(QStringLiteral("zz"), QStringLiteral("boss")));
        TaccountMgrFrm page;
        page.InitPage();
        page.edtFilterValue->setText(QStringLiteral("ab"));
        page.btnAccountFilter->click();
        QCOMPARE(listedNames(page), QStringList{QStringLiteral("ab1")});
        QCOMPARE(page.lblAccountCnt->text(), QStringLiteral("记录个数:  1"));
        QVERIFY(addSubAccount(QStringLiteral("ab2"), QStringLiteral("boss")));
        QVERIFY(addSubAccount(QStringLiteral("zz2"), QStringLiteral("boss")));
        page.edtFilterValue->setText(QStringLiteral("zz")); // only the last load's text counts
        page.edtPwd->setText(QStringLiteral("q"));
        page.btnEditPwd->click();
        QCOMPARE(listedNames(page), (QStringList{QStringLiteral("ab1"), QStringLiteral("ab2")}));
        QCOMPARE(page.lblAccountCnt->text(), QStringLiteral("记录个数:  1"));
    }

    void chargeAmount_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("amount");
        QTest::newRow("blanks around") << QStringLiteral(" 25 ") << true << 25;
        QTest::newRow("dollar hex") << QStringLiteral("$10") << true << 16;
        QTest::newRow("0x hex") << QStringLiteral("0x1F") << true << 31;
        QTest::newRow("X hex") << QStringLiteral("Xa") << true << 10;
        QTest::newRow("plus sign") << QStringLiteral("+7") << true << 7;
        QTest::newRow("minus sign") << QStringLiteral("-5") << true << -5;
        QTest::newRow("zero") << QStringLiteral("0") << true << 0;
        QTest::newRow("empty") << QString() << false << 0;
        QTest::newRow("only blanks") << QStringLiteral("   ") << false << 0;
        QTest::newRow("fraction") << QStringLiteral("1.5") << false << 0;
        QTest::newRow("trailing letters") << QStringLiteral("12abc") << false << 0;
        QTest::newRow("above 32 bits") << QStringLiteral("2147483648") << false << 0;
        QTest::newRow("hex above 32 bits") << QStringLiteral("$80000000") << false << 0;
        QTest::newRow("prefix only") << QStringLiteral("$") << false << 0;
        QTest::newRow("sign only") << QStringLiteral("-") << false << 0;
        QTest::newRow("blank inside") << QStringLiteral("1 2") << false << 0;
        QTest::newRow("full-width digits") << QStringLiteral("１２") << false << 0;
    }
    void chargeAmount()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        QFETCH(int, amount);
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("boss"), QString(), 1000));
        QVERIFY(addSubAccount(QStringLiteral("kid"), QStringLiteral("boss"), 100));
        TaccountMgrFrm page;
        page.InitPage();
        page.edtCharge->setText(QStringLiteral("x")); // typed, then changed to the case's text
        page.edtCharge->setText(text);
        page.btnCharge->click();
        QCOMPARE(ui.count(), 1);
        if (accepted) {
            QCOMPARE(ui.last().text, QStringLiteral("充值成功"));
            QCOMPARE(server.scalar(QStringLiteral("select chargePoint from charge")).toInt(), amount);
            QCOMPARE(balanceOf(QStringLiteral("kid")).toLongLong(), 100 + amount);
        } else {
            QCOMPARE(ui.last().text, QStringLiteral("充资数不能为空，且只能为整数"));
            QCOMPARE(ui.last().caption, QStringLiteral("充值失败"));
            QCOMPARE(ui.last().icon, TMsgIcon::Error);
            QCOMPARE(server.scalar(QStringLiteral("select count(*) from charge")).toInt(), 0);
            QCOMPARE(page.edtCharge->text(), text);
        }
    }

    void rechargeBalances_data()
    {
        QTest::addColumn<qint64>("own");
        QTest::addColumn<qint64>("sub");
        QTest::addColumn<int>("amount");
        QTest::addColumn<bool>("done");
        QTest::newRow("more than own balance") << qint64(100) << qint64(0) << 101 << false;
        QTest::newRow("exactly own balance") << qint64(100) << qint64(0) << 100 << true;
        QTest::newRow("-5 against 3") << qint64(100) << qint64(3) << -5 << false;
        QTest::newRow("-5 against 5") << qint64(100) << qint64(5) << -5 << true;
        QTest::newRow("zero") << qint64(0) << qint64(0) << 0 << true;
        QTest::newRow("own balance beyond 32 bits") << qint64(5000000000) << qint64(0) << 2000000000 << true;
        QTest::newRow("sub balance beyond 32 bits")
            << qint64(0) << qint64(4294967296) << -2147483647 - 1 << true;
    }
    void rechargeBalances()
    {
        QFETCH(qint64, own);
        QFETCH(qint64, sub);
        QFETCH(int, amount);
        QFETCH(bool, done);
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("boss"), QString(), own));
        QVERIFY(addSubAccount(QStringLiteral("aaa"), QStringLiteral("boss"), 1));
        QVERIFY(addSubAccount(QStringLiteral("kid"), QStringLiteral("boss"), sub));
        TaccountMgrFrm page;
        page.InitPage();
        selectRow(page, QStringLiteral("kid"));
        const QString text = QString::number(amount);
        page.edtCharge->setText(text);
        page.btnCharge->click();
        QCOMPARE(ui.count(), 1);
        if (done) {
            QCOMPARE(ui.last().text, QStringLiteral("充值成功"));
            QCOMPARE(ui.last().caption, QStringLiteral("充值成功"));
            QCOMPARE(ui.last().icon, TMsgIcon::Information);
            QCOMPARE(balanceOf(QStringLiteral("boss")).toLongLong(), own - amount);
            QCOMPARE(balanceOf(QStringLiteral("kid")).toLongLong(), sub + amount);
            QCOMPARE(server.scalar(QStringLiteral("select chargePoint from charge")).toInt(), amount);
            QCOMPARE(server.scalar(QStringLiteral("select remainWhenCharge from charge")).toLongLong(), sub);
            QCOMPARE(host.refreshes, 1);
            // The list ran again: first row current, its details shown, amount emptied.
            QCOMPARE(page.CurrentRow(), 0);
            QCOMPARE(page.edtUser->text(), QStringLiteral("aaa"));
            QCOMPARE(page.edtCount->text(), QStringLiteral("1"));
            QVERIFY(page.edtCharge->text().isEmpty());
        } else {
            QCOMPARE(ui.last().text, QStringLiteral("账户余额不足"));
            QCOMPARE(ui.last().caption, QStringLiteral("充值失败"));
            QCOMPARE(balanceOf(QStringLiteral("boss")).toLongLong(), own);
            QCOMPARE(balanceOf(QStringLiteral("kid")).toLongLong(), sub);
            QCOMPARE(server.scalar(QStringLiteral("select count(*) from charge")).toInt(), 0);
            QCOMPARE(host.refreshes, 0);
            QCOMPARE(page.edtCharge->text(), text);
            QVERIFY(page.btnCharge->isEnabled());
        }
    }

    // The success box comes first; the balance field is emptied, the list run
    // again and the status bar refreshed only after it was closed.
    void rechargeSuccessOrder()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("boss"), QString(), 100));
        QVERIFY(addSubAccount(QStringLiteral("aaa"), QStringLiteral("boss"), 1));
        QVERIFY(addSubAccount(QStringLiteral("kid"), QStringLiteral("boss"), 10));
        TaccountMgrFrm page;
        page.InitPage();
        selectRow(page, QStringLiteral("kid"));
        QString countDuring, userDuring;
        int refreshesDuring = -1;
        ui.onMessage = [&](const TUiMessage&) {
            countDuring = page.edtCount->text();
            userDuring = page.edtUser->text();
            refreshesDuring = host.refreshes;
        };
        page.edtCharge->setText(QStringLiteral("5"));
        page.btnCharge->click();
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("充值成功")});
        QCOMPARE(ui.last().icon, TMsgIcon::Information);
        QCOMPARE(countDuring, QStringLiteral("10"));
        QCOMPARE(userDuring, QStringLiteral("kid"));
        QCOMPARE(refreshesDuring, 0);
        QCOMPARE(page.edtUser->text(), QStringLiteral("aaa"));
        QCOMPARE(page.edtCount->text(), QStringLiteral("1"));
        QCOMPARE(host.refreshes, 1);
        QCOMPARE(buttons(page), QStringLiteral("000"));
    }

    void rechargeLookupAndTransactionFailures()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("boss"), QString(), 100));
        QVERIFY(addSubAccount(QStringLiteral("kid"), QStringLiteral("boss"), 10));
        TaccountMgrFrm page;
        page.InitPage();

        // The sub-account vanished after the list was loaded.
        SQL_EXEC(server, QStringLiteral("update customers set customername='gone' where customername='kid'"));
        page.edtCharge->setText(QStringLiteral("5"));
        page.btnCharge->click();
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("网络异常，连接失败")});
        QCOMPARE(ui.last().caption, QStringLiteral("充值失败"));
        QCOMPARE(ui.last().icon, TMsgIcon::Error);
        SQL_EXEC(server, QStringLiteral("update customers set customername='kid' where customername='gone'"));

        // The own row is missing.
        ui.clear();
        Para.UserName = QStringLiteral("nobody");
        page.btnCharge->click();
        Para.UserName = QStringLiteral("boss");
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("网络异常，连接失败")});
        QCOMPARE(ui.last().caption, QStringLiteral("充值失败"));
        QCOMPARE(ui.last().icon, TMsgIcon::Error);

        // The amount is tested before any balance is read.
        ui.clear();
        Para.UserName = QStringLiteral("nobody");
        page.edtCharge->setText(QStringLiteral("1.5"));
        page.btnCharge->click();
        Para.UserName = QStringLiteral("boss");
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("充资数不能为空，且只能为整数")});
        page.edtCharge->setText(QStringLiteral("5"));

        // The recording fails: nothing changes and the list is not refreshed.
        ui.clear();
        SQL_EXEC(server, QStringLiteral("create trigger no_charge before insert on charge for each row "
                                        "signal sqlstate '45000' set message_text='refused'"));
        page.btnCharge->click();
        SQL_EXEC(server, QStringLiteral("drop trigger no_charge"));
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("充值失败")});
        QCOMPARE(ui.last().caption, QStringLiteral("充值失败"));
        QCOMPARE(ui.last().icon, TMsgIcon::Error);
        QCOMPARE(balanceOf(QStringLiteral("boss")).toLongLong(), 100);
        QCOMPARE(balanceOf(QStringLiteral("kid")).toLongLong(), 10);
        QCOMPARE(page.edtCharge->text(), QStringLiteral("5"));
        QCOMPARE(host.refreshes, 0);
    }

    void chargeTimeBounds()
    {
        TaccountMgrFrm page;
        page.edtStartDate->setDate(QDate(2024, 2, 29));
        page.edtEndDate->setDate(QDate(2024, 3, 1));
        QCOMPARE(page.ChargeTimeBound(true), WallClock(QDate(2024, 2, 29), QTime(0, 0, 0)));
        QCOMPARE(page.ChargeTimeBound(false), WallClock(QDate(2024, 3, 1), QTime(23, 59, 59)));
    }

    // Recharge times are the server's wall clock: a day whose midnight the
    // local zone skips for summer time is still listed whole, and its times
    // are shown as stored.
    void rechargeDayTheLocalZoneCuts()
    {
        const TZoneScope tz("America/Santiago"); // 2024-09-08 begins at 01:00
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("boss"), QString(), 100));
        QVERIFY(addSubAccount(QStringLiteral("kid"), QStringLiteral("boss")));
        SQL_EXEC(server, QStringLiteral("insert into charge(customername,chargePoint,contributor,chargeTime) "
                                        "values('kid',1,'boss','2024-09-07 23:59:59'),"
                                        "('kid',2,'boss','2024-09-08 00:30:00'),"
                                        "('kid',3,'boss','2024-09-08 23:59:59'),"
                                        "('kid',4,'boss','2024-09-09 00:00:00')"));
        TaccountMgrFrm page;
        page.InitPage();
        page.edtStartDate->setDate(QDate(2024, 9, 8));
        page.edtEndDate->setDate(QDate(2024, 9, 8));
        QVERIFY(page.ChargeTimeBound(true).isValid());
        page.btnDetailFilter->click();
        QCOMPARE(page.lblDetailCnt->text(), QStringLiteral("记录个数:  2"));
        const QAbstractItemModel* m = page.dgChargeDetail->model();
        QStringList times;
        for (int c = 0; c < m->columnCount(); ++c)
            if (m->headerData(c, Qt::Horizontal).toString() == QStringLiteral("充值时间"))
                for (int r = 0; r < m->rowCount(); ++r)
                    times << m->index(r, c).data().toString();
        times.sort();
        QCOMPARE(times,
                 (QStringList{QStringLiteral("2024-09-08 00:30:00"), QStringLiteral("2024-09-08 23:59:59")}));
        QCOMPARE(ui.count(), 0);
    }

    void rechargeRecordListings()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("boss"), QString(), 100));
        QVERIFY(addSubAccount(QStringLiteral("kid"), QStringLiteral("boss")));
        const QString ins = QStringLiteral("insert into charge(customername,remainWhenCharge,chargePoint,"
                                           "contributor,chargeTime) values(?,0,?,?,?)");
        auto rec = [&](const char* customer, int point, const char* contributor, const char* time) {
            return server.exec(
                ins, {QString::fromUtf8(customer), point, QString::fromUtf8(contributor),
                      QDateTime::fromString(QLatin1String(time), QStringLiteral("yyyy-MM-dd hh:mm:ss"))});
        };
        QVERIFY(rec("kid", 1, "boss", "2024-02-29 23:59:59"));
        QVERIFY(rec("kid", 2, "boss", "2024-03-01 00:00:00"));
        QVERIFY(rec("other", 3, "boss", "2024-03-01 23:59:59"));
        QVERIFY(rec("kid", 4, "boss", "2024-03-02 00:00:00"));
        QVERIFY(rec("kid", 5, "someone", "2024-03-01 12:00:00"));
        TaccountMgrFrm page;
        page.InitPage();
        auto points = [&] {
            QList<int> out;
            const QAbstractItemModel* m = page.dgChargeDetail->model();
            for (int c = 0; c < m->columnCount(); ++c)
                if (m->headerData(c, Qt::Horizontal).toString() == QStringLiteral("本次充值数"))
                    for (int r = 0; r < m->rowCount(); ++r)
                        out << m->index(r, c).data().toInt();
            std::sort(out.begin(), out.end());
            return out;
        };

        // One day: both of its bounds included, by the customer only, to any sub-account.
        page.edtStartDate->setDate(QDate(2024, 3, 1));
        page.edtEndDate->setDate(QDate(2024, 3, 1));
        page.edtCustomer->setText(QStringLiteral("nobody")); // plays no part here
        page.btnDetailFilter->click();
        QCOMPARE(points(), (QList<int>{2, 3}));
        QCOMPARE(page.lblDetailCnt->text(), QStringLiteral("记录个数:  2"));

        page.edtStartDate->setDate(QDate(2024, 2, 29));
        page.edtEndDate->setDate(QDate(2024, 3, 2));
        page.btnDetailFilter->click();
        QCOMPARE(points(), (QList<int>{1, 2, 3, 4}));

        page.edtStartDate->setDate(QDate(2024, 3, 2));
        page.edtEndDate->setDate(QDate(2024, 3, 1));
        page.btnDetailFilter->click();
        QCOMPARE(points(), QList<int>{});
        QCOMPARE(page.lblDetailCnt->text(), QStringLiteral("记录个数:  0"));

        // One sub-account: all of its records, whatever contributor and date.
        page.edtCustomer->setText(QStringLiteral("  kid "));
        page.btnChargeDetail->click();
        // A hardened database shows only the recharges that the customer gave
        // or received: not the one that someone else gave its sub-account.
        QCOMPARE(points(), server.hardened() ? (QList<int>{1, 2, 4}) : (QList<int>{1, 2, 4, 5}));
        const QString kidCount = server.hardened() ? QStringLiteral("记录个数:  3") : QStringLiteral("记录个数:  4");
        QCOMPARE(page.lblDetailCnt->text(), kidCount);

        page.edtCustomer->clear();
        page.btnChargeDetail->click();
        QCOMPARE(points(), QList<int>{});
        QCOMPARE(page.lblDetailCnt->text(), QStringLiteral("记录个数:  0"));

        // A failing listing is reported; the grid is empty and the count label kept.
        page.edtCustomer->setText(QStringLiteral("kid"));
        page.btnChargeDetail->click();
        SQL_EXEC(server, QStringLiteral("rename table charge to charge_gone"));
        page.btnDetailFilter->click();
        SQL_EXEC(server, QStringLiteral("rename table charge_gone to charge"));
        QCOMPARE(ui.count(), 1);
        QVERIFY(ui.last().topLevelError);
        QVERIFY2(ui.last().text.startsWith(
                     QStringLiteral("读取充值记录失败：数据库服务器拒绝了这次查询，请联系管理员。\n\n")),
                 qPrintable(ui.last().text));
        QVERIFY(ui.last().text.contains(QStringLiteral("charge")));
        QCOMPARE(page.dgChargeDetail->model()->rowCount(), 0);
        QCOMPARE(page.lblDetailCnt->text(), kidCount);
    }

    void recordListingGuards()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("boss"), QString(), 100));
        SQL_EXEC(server, QStringLiteral("insert into charge(customername,chargePoint,contributor,chargeTime) "
                                        "values('x',1,'boss',now())"));
        TaccountMgrFrm page;
        page.edtCustomer->setText(QStringLiteral("x"));
        page.btnChargeDetail->click(); // not loaded
        page.btnDetailFilter->click();
        QCOMPARE(page.lblDetailCnt->text(), QStringLiteral("记录数"));
        page.InitPage(); // loaded, empty
        page.btnChargeDetail->click();
        QCOMPARE(page.lblDetailCnt->text(), QStringLiteral("记录数"));
        page.btnDetailFilter->click(); // an empty loaded list is enough
        QCOMPARE(page.lblDetailCnt->text(), QStringLiteral("记录个数:  1"));
        QCOMPARE(ui.count(), 0);
    }

    void reloginShowsOnlyTheNewCustomersSubAccounts()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("boss"), QString(), 100));
        QVERIFY(addSubAccount(QStringLiteral("b1"), QStringLiteral("boss"), 1, QStringLiteral("pw1")));
        QVERIFY(addSubAccount(QStringLiteral("b2"), QStringLiteral("boss")));
        QVERIFY(addSubAccount(QStringLiteral("other"), QString(), 100));
        QVERIFY(addSubAccount(QStringLiteral("o1"), QStringLiteral("other"), 7));
        QVERIFY(addSubAccount(QStringLiteral("lone"), QString(), 100));
        SQL_EXEC(server, QStringLiteral("insert into charge(customername,chargePoint,contributor,chargeTime) "
                                        "values('b1',1,'boss',now())"));
        TaccountMgrFrm page;
        page.InitPage();
        page.edtFilterValue->setText(QStringLiteral("b1"));
        page.btnAccountFilter->click();
        page.edtCustomer->setText(QStringLiteral("b1"));
        page.btnChargeDetail->click();
        QCOMPARE(page.dgChargeDetail->model()->rowCount(), 1);

        logIn(QStringLiteral("other"), QString());
        page.AfterLogin();
        QCOMPARE(listedNames(page), QStringList{QStringLiteral("o1")});
        QCOMPARE(page.lblAccountCnt->text(), QStringLiteral("记录个数:  1"));
        QCOMPARE(page.edtUser->text(), QStringLiteral("o1"));
        QCOMPARE(page.edtCount->text(), QStringLiteral("7"));
        QCOMPARE(page.dgChargeDetail->model()->rowCount(), 0);
        QVERIFY(page.edtCustomer->text().isEmpty());
        // A refresh runs the new customer's list, not the earlier search.
        page.RefreshAccounts();
        QCOMPARE(listedNames(page), QStringList{QStringLiteral("o1")});

        logIn(QStringLiteral("lone"), QString());
        page.AfterLogin();
        QCOMPARE(page.dgAccount->model()->rowCount(), 0);
        for (QLineEdit* e :
             {page.edtUser, page.edtPwd, page.edtCount, page.edtGrade, page.edtPhone, page.edtAddr})
            QVERIFY(e->text().isEmpty());
        page.edtPwd->setText(QStringLiteral("hijack"));
        page.btnEditPwd->click();
        QCOMPARE(column(QStringLiteral("o1"), QStringLiteral("password")).toString(), QString());
        QCOMPARE(ui.count(), 0);
    }
};

QTEST_MAIN(TstAccountPage)
#include "tst_account_page.moc"

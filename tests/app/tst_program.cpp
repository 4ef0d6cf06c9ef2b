// The program as a customer uses it: the real main window with its real pages
// and the real login dialog, offscreen, against a server of the test's own.
// Each test walks one road through several pages and checks what the pages
// show each other through the status bar, the database and the shared state.
#include "accounts/frmEditPwd.h"
#include "accounts/frmMgrAccount.h"
#include "app/MainForm.h"
#include "app/frmLogin.h"
#include "app/uDataType.h"
#include "app/uStatusPanels.h"
#include "app/uWorkPage.h"
#include "data/uDM.h"
#include "records/frmSendDetail.h"
#include "records/uSendRecordModel.h"
#include "send/frmInputPhone.h"
#include "send/frmSend.h"
#include "send/uPhoneList.h"
#include "tests/support/DmFixture.h"
#include "tests/support/FakeUi.h"
#include "tests/support/Modal.h"

#include <QAbstractItemModel>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>
#include <functional>

namespace {

void pressEnter(QWidget* w)
{
    QTest::keyClick(w, Qt::Key_Return);
}

// The login as a customer does it: name, Enter, password, Enter, Enter. Keys
// go to whatever holds the focus, so a focus that does not move on fails here.
// Returns where the keys went, for the caller to check.
QStringList typeLoginWithEnter(QWidget* dlg, const QString& name, const QString& password)
{
    auto* dialog = qobject_cast<TloginFrm*>(dlg);
    QStringList path;
    if (!dialog)
        return {QStringLiteral("not the login dialog")};
    auto focused = [dialog]() -> QWidget* {
        QWidget* f = QApplication::focusWidget();
        return f && dialog->isAncestorOf(f) ? f : nullptr;
    };
    QApplication::setActiveWindow(dialog);
    dialog->edtUser->setFocus();
    QWidget* f = focused();
    path << (f ? f->objectName() : QStringLiteral("-"));
    if (!f)
        return path;
    dialog->edtUser->clear();
    QTest::keyClicks(f, name);
    pressEnter(f);
    f = focused();
    path << (f ? f->objectName() : QStringLiteral("-"));
    if (!f)
        return path;
    dialog->edtPwd->clear();
    QTest::keyClicks(f, password);
    pressEnter(f);
    f = focused();
    path << (f ? f->objectName() : QStringLiteral("-"));
    if (!f)
        return path;
    pressEnter(f); // presses 登录
    return path;
}

// The entry dialog of the send page: lines typed into the memo, then OK.
void enterPhones(QWidget* dlg, const QString& lines)
{
    auto* d = qobject_cast<TinputPhoneFrm*>(dlg);
    if (!d)
        return;
    d->edtPhone->setPlainText(lines);
    d->btnOK->click();
}

int columnOf(const QAbstractItemModel* m, const QString& caption)
{
    for (int c = 0; c < m->columnCount(); ++c)
        if (m->headerData(c, Qt::Horizontal).toString() == caption)
            return c;
    return -1;
}

QString cell(const QAbstractItemModel* m, int row, const QString& caption)
{
    const int c = columnOf(m, caption);
    return c < 0 ? QStringLiteral("<no column %1>").arg(caption) : m->index(row, c).data().toString();
}

QStringList columnValues(const QAbstractItemModel* m, const QString& caption)
{
    QStringList out;
    for (int r = 0; r < m->rowCount(); ++r)
        out << cell(m, r, caption);
    return out;
}

int rowOf(const QAbstractItemModel* m, const QString& caption, const QString& value)
{
    for (int r = 0; r < m->rowCount(); ++r)
        if (cell(m, r, caption) == value)
            return r;
    return -1;
}

} // namespace

// Runs a helper that checks as it goes and ends the test when one of its checks failed.
#define STEP(call)                                                                                           \
    do {                                                                                                     \
        call;                                                                                                \
        if (QTest::currentTestFailed())                                                                      \
            return;                                                                                          \
    } while (false)

class TstProgram : public QObject, TDmFixture
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<TfrmMain> w;

    // The start-up as the program does it: window, then the show step with the login dialog.
    void startAs(const QString& name, const QString& password)
    {
        w = std::make_unique<TfrmMain>();
        frmMain = w.get();
        QStringList path;
        whenModal([&](QWidget* dlg) { path = typeLoginWithEnter(dlg, name, password); });
        w->ShowMain();
        QCOMPARE(path, (QStringList{"edtUser", "edtPwd", "btnOK"}));
        QVERIFY(w->isVisible());
        QVERIFY(!w->Terminating());
    }
    void reLoginAs(const QString& name, const QString& password)
    {
        whenModal([=](QWidget* dlg) { typeLoginWithEnter(dlg, name, password); });
        w->actLogin->trigger();
    }

    TSendFrm* sendPage() const { return qobject_cast<TSendFrm*>(w->Page(TPageKind::Send)); }
    TsendDetailFrm* recordsPage() const
    {
        return qobject_cast<TsendDetailFrm*>(w->Page(TPageKind::SendDetail));
    }
    TaccountMgrFrm* accountPage() const
    {
        return qobject_cast<TaccountMgrFrm*>(w->Page(TPageKind::AccountMgr));
    }
    TEditPwdFrm* pwdPage() const { return qobject_cast<TEditPwdFrm*>(w->Page(TPageKind::EditPwd)); }

    QString remain() const { return w->stsRemain->text(); }
    static QString remainText(qint64 n) { return QStringLiteral("可发信息条数：%1").arg(n); }

    // Fills the send page as a customer does: two numbers by hand, a file of
    // three, one test number, a message of 71 characters (two segments).
    void fillSendPage(FakeUi& ui)
    {
        TSendFrm* s = sendPage();
        QVERIFY(s);
        whenModal([](QWidget* dlg) { enterPhones(dlg, QStringLiteral("13800000001\n13800000002\n")); });
        s->BtnInput->click();
        QVERIFY(!QApplication::activeModalWidget());

        const QString file = tmp->filePath(QStringLiteral("numbers.txt"));
        {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("13900000001\r\n13900000002\r\n\r\n13900000003\r\n");
        }
        ui.files << file;
        s->BtnLoadPhone->click();

        whenModal([](QWidget* dlg) { enterPhones(dlg, QStringLiteral("13700000009")); });
        s->BtnInsetPhone->click();
        QVERIFY(!QApplication::activeModalWidget());

        QCOMPARE(s->PhoneModel()->count(), 6);
        s->EdtMessage->setFocus();
        s->EdtMessage->setPlainText(QString(70, QChar(0x77ed)) + QLatin1Char('!'));
        QCOMPARE(s->MsgCount(), 2);
        QCOMPARE(s->lblContentCnt->text(), QStringLiteral("71，信息超过70个字，将分2条发送."));
    }

private slots:
    void initTestCase() { QVERIFY2(startServer(), qPrintable(server.error())); }

    void init()
    {
        QVERIFY(freshModule());
        SQL_EXEC(server, "insert into sysPara(name, value) values ('softerVer', '1.0,1.2'), "
                         "('customerNotice', '系统通知'), ('bookingNotice', '预约须知')");
        // Two customers admitted by the company rule, each with sub-accounts of its own.
        SQL_EXEC(server,
                 "insert into customers(customername, password, companyid, smscount, customerGrade) values "
                 "('Alice', 'Secret1', '4', 1000, 1), ('Bob', 'bobpw', '', 300, 1)");
        SQL_EXEC(server,
                 "insert into customers(customername, password, parentname, smscount, companyid) values "
                 "('alice_a', 'pa', 'Alice', 5, '4'), ('alice_b', 'pb', 'Alice', 7, '4'), "
                 "('bob_a', 'pc', 'Bob', 9, '')");
        // A customer of another company: its password matches, the company rule refuses it.
        SQL_EXEC(server, "insert into customers(customername, password, companyid, smscount, customerGrade) "
                         "values ('Dave', 'davepw', '5', 50, 6)");
        tmp = std::make_unique<QTemporaryDir>();
        TfrmMain::SetIniFileName(tmp->filePath(QStringLiteral("korvessa.ini")));
    }
    void cleanup()
    {
        if (QWidget* m = QApplication::activeModalWidget())
            m->close();
        if (w) {
            FakeUi ui;
            ui.questionAnswer = TMsgResult::Yes;
            w->close();
            w.reset();
        }
        frmMain = nullptr;
        TfrmMain::SetIniFileName(QString());
        dropModule();
    }

    void loginShowsTheSendPageAndTheCustomer()
    {
        FakeUi ui;
        STEP(startAs(QStringLiteral("Alice"), QStringLiteral("Secret1")));
        QCOMPARE(ui.texts(), QStringList());
        QCOMPARE(w->pgcWorkArea->currentWidget(), w->tabSmsSend);
        QVERIFY(sendPage());
        QVERIFY(w->btnSend->isChecked());
        QCOMPARE(w->stsUser->text(), QStringLiteral("用户:Alice"));
        QCOMPARE(remain(), remainText(1000));
        QCOMPARE(w->stsNtotice->text(), QStringLiteral("系统通知"));
        QCOMPARE(sendPage()->lblBookingNotice->text(), QStringLiteral("预约须知"));
        QVERIFY(Para.LoggedIn);
        QCOMPARE(Para.UserName, QStringLiteral("Alice"));
    }

    void sendABatchAndFindItInTheRecords()
    {
        FakeUi ui;
        STEP(startAs(QStringLiteral("Alice"), QStringLiteral("Secret1")));
        STEP(fillSendPage(ui));
        TSendFrm* s = sendPage();

        ui.clear();
        ui.questionAnswer = TMsgResult::Yes;
        s->btnSend->click();
        QCOMPARE(ui.texts(), (QStringList{QStringLiteral("请确认发送内容和号码无误，确定要发送么？"),
                                          QStringLiteral("信息提交成功")}));
        QCOMPARE(ui.last().caption, QStringLiteral("发送成功"));
        // 6 numbers × 2 segments, shown at once, without waiting for the timer.
        QCOMPARE(remain(), remainText(1000 - 12));
        QCOMPARE(balanceOf(QStringLiteral("Alice")).toLongLong(), 988);
        // Test numbers first, then the hand-typed ones; imported numbers only in the full list.
        QCOMPARE(server.scalar(QStringLiteral("select testPhones from submit")).toString(),
                 QStringLiteral("13700000009\n13800000001\n13800000002\n"));
        QCOMPARE(
            server.scalar(QStringLiteral("select phones from submit")).toString().count(QLatin1Char('\n')),
            6);
        QCOMPARE(server.scalar(QStringLiteral("select content from submit")).toString().size(), 71);
        // Nothing on the page was cleared by the send.
        QCOMPARE(s->PhoneModel()->count(), 6);
        QCOMPARE(s->EdtMessage->toPlainText().size(), 71);

        w->actInfo->trigger();
        QCOMPARE(w->pgcWorkArea->currentWidget(), w->tabSendDetail);
        TsendDetailFrm* r = recordsPage();
        QVERIFY(r);
        QCOMPARE(r->dgChargeDetail->model()->rowCount(), 0); // nothing listed before it is asked for
        r->btnChargeDetail->click();
        QCOMPARE(ui.count(), 2);
        const QAbstractItemModel* m = r->dgChargeDetail->model();
        QCOMPARE(m->rowCount(), 1);
        QCOMPARE(r->lblRecCnt->text(), QStringLiteral("记录个数:  1"));
        QCOMPARE(cell(m, 0, QStringLiteral("账号")), QStringLiteral("Alice"));
        QCOMPARE(cell(m, 0, QStringLiteral("号码个数")), QStringLiteral("6"));
        QCOMPARE(cell(m, 0, QStringLiteral("信息条数")), QStringLiteral("2"));
        QCOMPARE(cell(m, 0, QStringLiteral("发送内容")).size(), 71);

        // A second click submits the same batch again; the list shows both after a new listing.
        w->actSend->trigger();
        s->btnSend->click();
        QCOMPARE(ui.last().text, QStringLiteral("信息提交成功"));
        QCOMPARE(remain(), remainText(1000 - 24));
        w->actInfo->trigger();
        r->btnChargeDetail->click();
        QCOMPARE(r->dgChargeDetail->model()->rowCount(), 2);
        QCOMPARE(r->lblRecCnt->text(), QStringLiteral("记录个数:  2"));
    }

    void sendRefusedForTooLowABalanceChangesNothing()
    {
        FakeUi ui;
        SQL_EXEC(server, "update customers set smscount = 11 where customername = 'Alice'");
        STEP(startAs(QStringLiteral("Alice"), QStringLiteral("Secret1")));
        STEP(fillSendPage(ui));
        ui.clear();
        sendPage()->btnSend->click();
        QCOMPARE(ui.last().text, QStringLiteral("账户余额不足，请充值后再发送"));
        QCOMPARE(remain(), remainText(11));
        QCOMPARE(rows("submit"), 0);
        QVERIFY(sendPage()->btnSend->isEnabled());
        QVERIFY(!sendPage()->lblSendInfo->isVisible());
    }

    void rechargeASubAccount()
    {
        FakeUi ui;
        STEP(startAs(QStringLiteral("Alice"), QStringLiteral("Secret1")));
        w->actAccountMgr->trigger();
        QCOMPARE(w->pgcWorkArea->currentWidget(), w->tabMgrAccount);
        TaccountMgrFrm* a = accountPage();
        QVERIFY(a);
        QTableView* grid = a->dgAccount;
        const QAbstractItemModel* m = grid->model();
        QStringList names = columnValues(m, QStringLiteral("账户"));
        names.sort();
        QCOMPARE(names, (QStringList{"alice_a", "alice_b"}));
        QCOMPARE(a->lblAccountCnt->text(), QStringLiteral("记录个数:  2"));

        // Pick alice_b with the mouse and recharge it by 10.
        const int row = rowOf(m, QStringLiteral("账户"), QStringLiteral("alice_b"));
        QVERIFY(row >= 0);
        grid->scrollTo(m->index(row, columnOf(m, QStringLiteral("账户"))));
        QRect rect = grid->visualRect(m->index(row, columnOf(m, QStringLiteral("账户"))));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, rect.center());
        QCOMPARE(a->edtUser->text(), QStringLiteral("alice_b"));
        QCOMPARE(a->edtCount->text(), QStringLiteral("7"));
        a->edtCharge->setText(QStringLiteral("10"));
        a->btnCharge->click();
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("充值成功")});
        QCOMPARE(ui.last().caption, QStringLiteral("充值成功"));
        QCOMPARE(ui.last().icon, TMsgIcon::Information);
        QCOMPARE(remain(), remainText(990));
        QCOMPARE(balanceOf(QStringLiteral("alice_b")).toLongLong(), 17);

        // Double click on the row, then the records of that sub-account.
        const int again = rowOf(m, QStringLiteral("账户"), QStringLiteral("alice_b"));
        QVERIFY(again >= 0);
        rect = grid->visualRect(m->index(again, columnOf(m, QStringLiteral("账户"))));
        // As the window system delivers it: press, release, press, double click, release.
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mousePress(grid->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseRelease(grid->viewport(), Qt::LeftButton, {}, rect.center());
        QCOMPARE(a->edtUser->text(), QStringLiteral("alice_b"));
        QCOMPARE(a->edtCustomer->text(), QStringLiteral("alice_b"));
        a->btnChargeDetail->click();
        const QAbstractItemModel* d = a->dgChargeDetail->model();
        QCOMPARE(d->rowCount(), 1);
        QCOMPARE(a->lblDetailCnt->text(), QStringLiteral("记录个数:  1"));
        QCOMPARE(cell(d, 0, QStringLiteral("账户")), QStringLiteral("alice_b"));
        QCOMPARE(cell(d, 0, QStringLiteral("本次充值数")), QStringLiteral("10"));
        QCOMPARE(cell(d, 0, QStringLiteral("充值人")), QStringLiteral("Alice"));
        QCOMPARE(ui.count(), 1);

        // The balance that the send page tests against is the lowered one.
        STEP(fillSendPage(ui));
        SQL_EXEC(server, "update customers set smscount = 11 where customername = 'Alice'");
        w->actSend->trigger();
        sendPage()->btnSend->click();
        QCOMPARE(ui.last().text, QStringLiteral("账户余额不足，请充值后再发送"));
        QCOMPARE(remain(), remainText(11));
    }

    void reLoginAsAnotherCustomer()
    {
        FakeUi ui;
        STEP(startAs(QStringLiteral("Alice"), QStringLiteral("Secret1")));
        STEP(fillSendPage(ui));
        sendPage()->btnSend->click();
        QCOMPARE(ui.last().text, QStringLiteral("信息提交成功"));
        w->actInfo->trigger();
        recordsPage()->btnChargeDetail->click();
        QCOMPARE(recordsPage()->dgChargeDetail->model()->rowCount(), 1);
        w->actAccountMgr->trigger();
        TaccountMgrFrm* a = accountPage();
        a->dgAccount->setCurrentIndex(a->dgAccount->model()->index(0, 0));
        a->edtCharge->setText(QStringLiteral("3"));
        a->btnCharge->click();
        QCOMPARE(ui.last().text, QStringLiteral("充值成功"));
        a->edtCustomer->setText(QStringLiteral("alice_a"));
        a->btnChargeDetail->click();
        QCOMPARE(a->dgChargeDetail->model()->rowCount(), 1);
        const QStringList phonesBefore = Para.Phones;
        const QStringList testBefore = Para.TestPhones;

        ui.clear();
        reLoginAs(QStringLiteral("Bob"), QStringLiteral("bobpw"));
        QCOMPARE(ui.texts(), QStringList());
        QCOMPARE(Para.UserName, QStringLiteral("Bob"));
        QCOMPARE(w->stsUser->text(), QStringLiteral("用户:Bob"));
        QCOMPARE(remain(), remainText(300));
        QCOMPARE(w->pgcWorkArea->currentWidget(), w->tabMgrAccount); // the page in view stays

        // Records: the grid is emptied, its count label keeps the last listing.
        TsendDetailFrm* r = recordsPage();
        QCOMPARE(r->dgChargeDetail->model()->rowCount(), 0);
        QCOMPARE(r->lblRecCnt->text(), QStringLiteral("记录个数:  1"));
        // Listing again shows Bob's batches only: none yet.
        w->actInfo->trigger();
        r->btnChargeDetail->click();
        QCOMPARE(r->dgChargeDetail->model()->rowCount(), 0);
        QCOMPARE(r->lblRecCnt->text(), QStringLiteral("记录个数:  0"));

        // Account page: only Bob's sub-accounts; nothing of Alice's left in the details or records.
        w->actAccountMgr->trigger();
        QCOMPARE(columnValues(a->dgAccount->model(), QStringLiteral("账户")), QStringList{"bob_a"});
        QCOMPARE(a->edtUser->text(), QStringLiteral("bob_a"));
        QCOMPARE(a->dgChargeDetail->model()->rowCount(), 0);
        QCOMPARE(a->edtCustomer->text(), QString());

        // The send page keeps its numbers and message, and a send now goes out in Bob's name.
        TSendFrm* s = sendPage();
        QCOMPARE(s->PhoneModel()->count(), 6);
        QCOMPARE(s->EdtMessage->toPlainText().size(), 71);
        QCOMPARE(Para.Phones, phonesBefore);
        QCOMPARE(Para.TestPhones, testBefore);
        w->actSend->trigger();
        s->btnSend->click();
        QCOMPARE(ui.last().text, QStringLiteral("信息提交成功"));
        QCOMPARE(remain(), remainText(300 - 12));
        QCOMPARE(balanceOf(QStringLiteral("Alice")).toLongLong(), 1000 - 12 - 3);
        QCOMPARE(
            server.scalar(QStringLiteral("select count(*) from submit where customername='Bob'")).toInt(), 1);
        w->actInfo->trigger();
        r->btnChargeDetail->click();
        QCOMPARE(r->dgChargeDetail->model()->rowCount(), 1);
        QCOMPARE(cell(r->dgChargeDetail->model(), 0, QStringLiteral("账号")), QStringLiteral("Bob"));

        // A recharge now acts on Bob's sub-account, paid from Bob's balance.
        w->actAccountMgr->trigger();
        a->edtCharge->setText(QStringLiteral("8"));
        a->btnCharge->click();
        QCOMPARE(ui.last().text, QStringLiteral("充值成功"));
        QCOMPARE(balanceOf(QStringLiteral("bob_a")).toLongLong(), 17);
        QCOMPARE(remain(), remainText(300 - 12 - 8));
    }

    // A re-login attempt that the company rule refuses keeps the logged-in
    // customer; a sub-account created afterwards is that customer's in every
    // respect (company and grade) and can itself log in.
    void refusedReLoginThenNewSubAccount()
    {
        FakeUi ui;
        STEP(startAs(QStringLiteral("Alice"), QStringLiteral("Secret1")));
        w->actAccountMgr->trigger();
        TaccountMgrFrm* a = accountPage();
        QVERIFY(a);

        whenModal([](QWidget* dlg) {
            typeLoginWithEnter(dlg, QStringLiteral("Dave"), QStringLiteral("davepw"));
            qobject_cast<TloginFrm*>(dlg)->btnCancel->click();
        });
        w->actLogin->trigger();
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("该帐户不是合法帐户")});
        QCOMPARE(w->stsUser->text(), QStringLiteral("用户:Alice"));
        QVERIFY(Para.LoggedIn);

        ui.clear();
        whenModal([](QWidget* dlg) {
            auto* d = dlg->findChild<QLineEdit*>(QStringLiteral("edtUser")) ? dlg : nullptr;
            if (!d)
                return;
            d->findChild<QLineEdit*>(QStringLiteral("edtUser"))->setText(QStringLiteral("alice_new"));
            d->findChild<QLineEdit*>(QStringLiteral("edtPwd"))->setText(QStringLiteral("np"));
            d->findChild<QLineEdit*>(QStringLiteral("edtConfirmPwd"))->setText(QStringLiteral("np"));
            d->findChild<QPushButton*>(QStringLiteral("btnOK"))->click();
        });
        a->btnAddAccount->click();
        QVERIFY(!QApplication::activeModalWidget());
        QCOMPARE(ui.texts(), QStringList());
        QVERIFY(columnValues(a->dgAccount->model(), QStringLiteral("账户"))
                    .contains(QStringLiteral("alice_new")));
        QCOMPARE(
            server.scalar(QStringLiteral("select parentname from customers where customername='alice_new'"))
                .toString(),
            QStringLiteral("Alice"));
        QCOMPARE(
            server.scalar(QStringLiteral("select companyid from customers where customername='alice_new'"))
                .toString(),
            QStringLiteral("4"));
        QCOMPARE(
            server
                .scalar(QStringLiteral("select customerGrade from customers where customername='alice_new'"))
                .toInt(),
            2);

        // Credit it and log in as it.
        const QAbstractItemModel* m = a->dgAccount->model();
        a->dgAccount->setCurrentIndex(m->index(rowOf(m, QStringLiteral("账户"), QStringLiteral("alice_new")),
                                               columnOf(m, QStringLiteral("账户"))));
        QCOMPARE(a->edtUser->text(), QStringLiteral("alice_new"));
        a->edtCharge->setText(QStringLiteral("20"));
        a->btnCharge->click();
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("充值成功")});
        QCOMPARE(remain(), remainText(980));

        ui.clear();
        reLoginAs(QStringLiteral("alice_new"), QStringLiteral("np"));
        QCOMPARE(ui.texts(), QStringList());
        QCOMPARE(w->stsUser->text(), QStringLiteral("用户:alice_new"));
        QCOMPARE(remain(), remainText(20));
        QCOMPARE(a->dgAccount->model()->rowCount(), 0);
        QCOMPARE(a->lblAccountCnt->text(), QStringLiteral("记录个数:  0"));
    }

    void changeOwnPasswordThenLogInWithIt()
    {
        FakeUi ui;
        STEP(startAs(QStringLiteral("Alice"), QStringLiteral("Secret1")));
        w->actEditPwd->trigger();
        TEditPwdFrm* p = pwdPage();
        QVERIFY(p);
        QVERIFY(!p->btnOK->isEnabled());
        p->edtOldPwd->setText(QStringLiteral("Secret1"));
        p->edtNewPwd->setText(QStringLiteral("Fresh22"));
        p->edtCofirmPwd->setText(QStringLiteral("Fresh22"));
        QVERIFY(p->btnOK->isEnabled());
        p->btnOK->click();
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("密码修改成功")});
        QVERIFY(!p->btnOK->isEnabled());

        // The old password is refused now; the new one is taken.
        ui.clear();
        whenModal([](QWidget* dlg) {
            typeLoginWithEnter(dlg, QStringLiteral("Alice"), QStringLiteral("Secret1"));
            typeLoginWithEnter(dlg, QStringLiteral("Alice"), QStringLiteral("Fresh22"));
        });
        w->actLogin->trigger();
        QVERIFY(!QApplication::activeModalWidget());
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("用户名或密码无效")});
        QCOMPARE(ui.last().caption, QStringLiteral("登录失败"));
        QCOMPARE(Para.Password, QStringLiteral("Fresh22"));
        QCOMPARE(w->stsUser->text(), QStringLiteral("用户:Alice"));
        // The page was not told of the login: its fields stay as they were.
        QCOMPARE(p->edtNewPwd->text(), QStringLiteral("Fresh22"));

        // After logging in with it, the new password is the old one for the next change.
        ui.clear();
        p->edtOldPwd->setText(QStringLiteral("Fresh22"));
        p->edtNewPwd->setText(QStringLiteral("Third3"));
        p->edtCofirmPwd->setText(QStringLiteral("Third3"));
        p->btnOK->click();
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("密码修改成功")});
        QCOMPARE(server.scalar(QStringLiteral("select password from customers where customername='Alice'"))
                     .toString(),
                 QStringLiteral("Third3"));
        // Sub-accounts' passwords are untouched.
        QCOMPARE(server.scalar(QStringLiteral("select password from customers where customername='alice_a'"))
                     .toString(),
                 QStringLiteral("pa"));

        // A refused re-login keeps the customer and the pages working.
        ui.clear();
        whenModal([](QWidget* dlg) {
            typeLoginWithEnter(dlg, QStringLiteral("Alice"), QStringLiteral("Fresh22"));
            qobject_cast<TloginFrm*>(dlg)->btnCancel->click();
        });
        w->actLogin->trigger();
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("用户名或密码无效")});
        QVERIFY(Para.LoggedIn);
        QCOMPARE(Para.Password, QStringLiteral("Fresh22"));
        QCOMPARE(remain(), remainText(1000));
    }

    void serverGoneAndBackMidSession()
    {
        FakeUi ui;
        STEP(startAs(QStringLiteral("Alice"), QStringLiteral("Secret1")));
        STEP(fillSendPage(ui));
        w->actAccountMgr->trigger();
        w->actInfo->trigger();
        w->actSend->trigger();

        server.stop();
        ui.clear();
        w->RefreshBalance(); // the timer's tick
        QCOMPARE(remain(), remainText(1000));
        QVERIFY(ui.count() >= 1);
        for (const TUiMessage& m : ui.shown)
            QCOMPARE(m.icon, TMsgIcon::Error);
        ui.clear();
        sendPage()->btnSend->click();
        QVERIFY(!ui.texts().contains(QStringLiteral("信息提交成功")));
        QCOMPARE(remain(), remainText(1000));
        QVERIFY(sendPage()->btnSend->isEnabled());
        QVERIFY(w->isVisible());

        QVERIFY2(server.start(), qPrintable(server.error()));
        ui.clear();
        sendPage()->btnSend->click();
        QCOMPARE(ui.texts(), (QStringList{QStringLiteral("请确认发送内容和号码无误，确定要发送么？"),
                                          QStringLiteral("信息提交成功")}));
        QCOMPARE(remain(), remainText(988));
        QCOMPARE(rows("submit"), 1);
        w->actInfo->trigger();
        recordsPage()->btnChargeDetail->click();
        QCOMPARE(recordsPage()->dgChargeDetail->model()->rowCount(), 1);
        w->actAccountMgr->trigger();
        accountPage()->btnAll->click();
        QCOMPARE(accountPage()->dgAccount->model()->rowCount(), 2);
        QCOMPARE(ui.count(), 2);
    }

    // The booking notice beside the time fields is shown whole at every size
    // the window can take, from its minimum size up, with the whole text in
    // its tooltip as well.
    void bookingNoticeShownWhole_data()
    {
        QTest::addColumn<QString>("notice");
        QTest::addColumn<bool>("fitsDefaultSize"); // the window keeps its default size
        const QString longer =
            QStringLiteral("预约提示：预约时间请选在24小时以内，且只有超过2万条的批次才能预约；"
                           "预约时间已过的批次不再发送，请提前安排好发送时间，如有疑问请致电客服。");
        QTest::newRow("built-in length")
            << QStringLiteral("注意事项:预约发送只有超过2万条时有效，预约时间在24小时内有效。") << true;
        QTest::newRow("long") << longer << true;
        // Longer than the memo can make room for: the message area grows.
        QTest::newRow("very long") << longer.repeated(6) << false;
    }
    void bookingNoticeShownWhole()
    {
        QFETCH(QString, notice);
        QFETCH(bool, fitsDefaultSize);
        FakeUi ui;
        SQL_EXEC(server,
                 QStringLiteral("update sysPara set value='%1' where name='bookingNotice'").arg(notice));
        STEP(startAs(QStringLiteral("Alice"), QStringLiteral("Secret1")));
        QLabel* label = sendPage()->lblBookingNotice;
        QCOMPARE(label->text(), notice);
        const QSize defaultSize = w->size();
        if (fitsDefaultSize)
            QCOMPARE(defaultSize, QSize(915, 568));
        for (const QSize size : {defaultSize, w->minimumSize(), QSize(1400, 900)}) {
            w->resize(size);
            QApplication::processEvents();
            QVERIFY(w->size() == size.expandedTo(w->minimumSize()));
            const QString at = QStringLiteral("at %1x%2").arg(w->width()).arg(w->height());
            // All of its lines fit the label, and the label lies inside every
            // widget it is part of, up to the window.
            const int needed =
                label->wordWrap() ? label->heightForWidth(label->width()) : label->sizeHint().height();
            QVERIFY2(label->height() >= needed,
                     qPrintable(at + QStringLiteral(": %1 < %2").arg(label->height()).arg(needed)));
            if (!label->wordWrap())
                QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(at));
            for (QWidget* c = label; c != w.get(); c = c->parentWidget()) {
                const QRect inParent(c->mapTo(c->parentWidget(), QPoint(0, 0)), c->size());
                QVERIFY2(c->parentWidget()->rect().contains(inParent),
                         qPrintable(at + QLatin1Char(' ') + c->objectName()));
            }
        }
        QCOMPARE(label->toolTip(), notice);
        QCOMPARE(ui.count(), 0);
    }

    void exitQuestion()
    {
        FakeUi ui;
        STEP(startAs(QStringLiteral("Alice"), QStringLiteral("Secret1")));
        STEP(fillSendPage(ui));
        QSignalSpy closed(w.get(), &TfrmMain::Closed);

        ui.clear();
        ui.answers << TMsgResult::No;
        w->BtnExit->click();
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("是否退出程序？")});
        QCOMPARE(ui.last().caption, QStringLiteral("提示"));
        QCOMPARE(ui.last().defaultButton, TMsgResult::No);
        QVERIFY(w->isVisible());
        QVERIFY(dm->IsConnected());
        QCOMPARE(closed.count(), 0);
        // Still usable: a send goes through on the same connection.
        ui.answers << TMsgResult::Yes;
        sendPage()->btnSend->click();
        QCOMPARE(ui.last().text, QStringLiteral("信息提交成功"));
        QCOMPARE(remain(), remainText(988));

        ui.clear();
        ui.answers << TMsgResult::Yes;
        w->BtnExit->click();
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("是否退出程序？")});
        QVERIFY(!w->isVisible());
        QVERIFY(!dm->IsConnected());
        QCOMPARE(closed.count(), 1);
        QVERIFY(QFile::exists(TfrmMain::IniFileName()));
        w.reset();
    }
};

QTEST_MAIN(TstProgram)
#include "tst_program.moc"

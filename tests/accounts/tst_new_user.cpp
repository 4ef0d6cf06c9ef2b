// The new sub-account dialog against a real server, and its use from the
// account administration page.
#include "accounts/frmMgrAccount.h"
#include "accounts/frmNewUser.h"
#include "tests/support/DmFixture.h"
#include "tests/support/FakeUi.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>
#include <functional>

namespace {

struct TDialogInput
{
    QString user, pwd, confirm, phone, addr;
};

// Runs ShowNewUserDialog, fills the open dialog, presses OK and, when the
// dialog is still open afterwards, presses Cancel. Returns the dialog's result.
bool runDialog(const TDialogInput& in, bool* stayedOpen = nullptr,
               const QString& parent = QStringLiteral("boss"), int grade = 1)
{
    bool open = false;
    QTimer::singleShot(0, [&] {
        auto* dlg = qobject_cast<TnewUserFrm*>(QApplication::activeModalWidget());
        if (!dlg)
            return;
        dlg->edtUser->setText(in.user);
        dlg->edtPwd->setText(in.pwd);
        dlg->edtConfirmPwd->setText(in.confirm);
        dlg->edtPhone->setText(in.phone);
        dlg->edtAddr->setText(in.addr);
        dlg->btnOK->click();
        open = dlg->isVisible();
        if (open) {
            // The fields keep what was typed.
            if (dlg->edtUser->text() != in.user)
                open = false;
            dlg->btnCancel->click();
        }
    });
    const bool result = ShowNewUserDialog(parent, grade);
    if (stayedOpen)
        *stayedOpen = open;
    return result;
}

} // namespace

class TstNewUser : public QObject, TDmFixture
{
    Q_OBJECT

    int customers() { return server.scalar(QStringLiteral("select count(*) from customers")).toInt(); }

private slots:
    void initTestCase() { QVERIFY2(startServer(), qPrintable(server.error())); }
    void init()
    {
        QVERIFY(freshModule());
        logIn(QStringLiteral("boss"), QStringLiteral("pw"), 1, QStringLiteral("C01"));
        QVERIFY(dm->EnsureConnected());
        QVERIFY(addSubAccount(QStringLiteral("boss"), QString(), 500));
        SQL_EXEC(server, QStringLiteral("update customers set limitrate=77, childCount=3, companyid='C01' "
                                        "where customername='boss'"));
        QVERIFY(addSubAccount(QStringLiteral("someone"), QStringLiteral("other")));
    }
    void cleanup()
    {
        if (QWidget* w = QApplication::activeModalWidget())
            w->close();
        dropModule();
    }

    void layoutAndTabOrder()
    {
        TnewUserFrm dlg;
        QCOMPARE(dlg.windowTitle(), QStringLiteral("添加子账户"));
        for (const char* name :
             {"edtUser", "edtPwd", "edtConfirmPwd", "edtPhone", "edtAddr", "btnOK", "btnCancel"})
            QVERIFY2(dlg.findChild<QWidget*>(QLatin1String(name)), name);
        QCOMPARE(dlg.btnOK->text(), QStringLiteral("确定"));
        QCOMPARE(dlg.btnCancel->text(), QStringLiteral("取消"));
        QCOMPARE(dlg.edtPwd->echoMode(), QLineEdit::Password);
        QCOMPARE(dlg.edtConfirmPwd->echoMode(), QLineEdit::Password);
        QVERIFY(!(dlg.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(dlg.minimumSize(), dlg.maximumSize());
        QStringList labels;
        for (QLabel* l : dlg.findChildren<QLabel*>())
            labels << l->text();
        for (const char* t : {"帐户", "密码", "密码确认", "电话", "地址"})
            QVERIFY2(labels.contains(QString::fromUtf8(t)), t);
        for (QLineEdit* e : dlg.findChildren<QLineEdit*>())
            QVERIFY(e->text().isEmpty());
    }

    // Every label stands clear of its field (half a character at least), and the address field is twice as
    // wide as the others so that a Chinese address shows whole.
    void fieldsAndLabelsLaidOut()
    {
        TnewUserFrm dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        for (QLabel* l : dlg.findChildren<QLabel*>()) {
            QWidget* field = l->buddy();
            QVERIFY2(field, qPrintable(l->text()));
            const int textRight = l->x() + l->fontMetrics().horizontalAdvance(l->text());
            // At least half a character of room.
            QVERIFY2(2 * (field->x() - textRight) >= l->fontMetrics().height(),
                     qPrintable(QStringLiteral("%1: %2 px").arg(l->text()).arg(field->x() - textRight)));
        }
        QCOMPARE(dlg.edtAddr->width(), 2 * dlg.edtPhone->width());
        for (QLineEdit* e : {dlg.edtUser, dlg.edtPwd, dlg.edtConfirmPwd})
            QCOMPARE(e->width(), dlg.edtPhone->width());
        const QString address = QStringLiteral("广州市天河区天河路385号太古汇一座");
        QVERIFY(dlg.edtAddr->fontMetrics().horizontalAdvance(address) < dlg.edtAddr->width() - 8);
    }

    void enterMovesFocusInTabOrder()
    {
        FakeUi ui;
        TnewUserFrm dlg;
        dlg.show();
        QApplication::setActiveWindow(&dlg);
        QVERIFY(QTest::qWaitForWindowActive(&dlg));
        dlg.edtUser->setFocus();
        QList<QWidget*> seen;
        for (int i = 0; i < 5; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            seen << QApplication::focusWidget();
        }
        QCOMPARE(seen,
                 (QList<QWidget*>{dlg.edtPwd, dlg.edtConfirmPwd, dlg.edtPhone, dlg.edtAddr, dlg.btnOK}));
        QTest::keyClick(dlg.btnOK, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), dlg.btnCancel);
        // Enter in a field never pressed OK: no message, dialog still open, fields untouched.
        dlg.edtUser->setFocus();
        QTest::keyClicks(dlg.edtUser, QStringLiteral("ab"));
        QTest::keyClick(dlg.edtUser, Qt::Key_Enter);
        QCOMPARE(dlg.edtUser->text(), QStringLiteral("ab"));
        QCOMPARE(ui.count(), 0);
        QVERIFY(dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
    }

    void validations_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("pwd");
        QTest::addColumn<QString>("confirm");
        QTest::addColumn<QString>("message"); // empty: created
        QTest::addColumn<QString>("storedPwd");
        QTest::newRow("blank name") << QStringLiteral("   ") << QString() << QString()
                                    << QStringLiteral("用户名不能为空") << QString();
        QTest::newRow("blank name before password test")
            << QStringLiteral("\t ") << QStringLiteral("a") << QStringLiteral("b")
            << QStringLiteral("用户名不能为空") << QString();
        QTest::newRow("passwords differ in case")
            << QStringLiteral("kid") << QStringLiteral("abc") << QStringLiteral("ABC")
            << QStringLiteral("两次密码不符") << QString();
        QTest::newRow("passwords differ in blanks only")
            << QStringLiteral("kid") << QStringLiteral(" abc ") << QStringLiteral("abc") << QString()
            << QStringLiteral("abc");
        QTest::newRow("both passwords empty")
            << QStringLiteral("kid") << QString() << QString() << QString() << QString();
        QTest::newRow("name of another customer's account")
            << QStringLiteral(" someone ") << QString() << QString() << QStringLiteral("用户已存在")
            << QString();
        QTest::newRow("own name") << QStringLiteral("boss") << QString() << QString()
                                  << QStringLiteral("用户已存在") << QString();
        QTest::newRow("own name in other case")
            << QStringLiteral("BOSS") << QString() << QString() << QStringLiteral("用户已存在") << QString();
        QTest::newRow("quotes in name") << QStringLiteral("o'k\"id") << QStringLiteral("p'w")
                                        << QStringLiteral("p'w") << QString() << QStringLiteral("p'w");
    }
    void validations()
    {
        QFETCH(QString, user);
        QFETCH(QString, pwd);
        QFETCH(QString, confirm);
        QFETCH(QString, message);
        QFETCH(QString, storedPwd);
        FakeUi ui;
        const int before = customers();
        bool stayedOpen = false;
        const bool created = runDialog({user, pwd, confirm, QString(), QString()}, &stayedOpen);
        if (message.isEmpty()) {
            QVERIFY(created);
            QCOMPARE(ui.count(), 0);
            QCOMPARE(customers(), before + 1);
            QCOMPARE(column(TrimCtl(user), QStringLiteral("password")).toString(), storedPwd);
        } else {
            QVERIFY(!created);
            QVERIFY(stayedOpen);
            QCOMPARE(ui.texts(), QStringList{message});
            QCOMPARE(ui.last().caption, QStringLiteral("添加失败"));
            QCOMPARE(ui.last().icon, TMsgIcon::Error);
            QCOMPARE(customers(), before);
        }
    }

    void newRowTakesParentValues()
    {
        FakeUi ui;
        Para.CompanyId = QStringLiteral(" C01 ");
        const QDateTime serverNow = server.scalar(QStringLiteral("select now()")).toDateTime();
        QVERIFY(runDialog({QStringLiteral(" kid "), QStringLiteral("pw"), QStringLiteral("pw"),
                           QStringLiteral(" 139 "), QStringLiteral(" 北京路 ")},
                          nullptr, QStringLiteral("boss"), 4));
        QSqlQuery q(server.admin());
        QVERIFY(q.exec(
            QStringLiteral("select customername,password,realname,parentname,limitrate,smscount,"
                           "customerKind,customerGrade,childCount,createtime,telphone,address,companyid "
                           "from customers where customername='kid'")));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("kid"));
        QCOMPARE(q.value(1).toString(), QStringLiteral("pw"));
        QCOMPARE(q.value(2).toString(), QStringLiteral("kid"));
        QCOMPARE(q.value(3).toString(), QStringLiteral("boss"));
        QCOMPARE(q.value(4).toInt(), 77);
        QCOMPARE(q.value(5).toLongLong(), 0);
        QCOMPARE(q.value(6).toString(), QStringLiteral("新开"));
        // A hardened database takes the grade from the parent's row (2), not
        // from the grade the dialog was given.
        QCOMPARE(q.value(7).toInt(), server.hardened() ? 3 : 5);
        QCOMPARE(q.value(8).toInt(), 0);
        QVERIFY(qAbs(q.value(9).toDateTime().secsTo(serverNow)) <= 5);
        QCOMPARE(q.value(10).toString(), QStringLiteral("139"));
        QCOMPARE(q.value(11).toString(), QStringLiteral("北京路"));
        QCOMPARE(q.value(12).toString(), QStringLiteral("C01"));
        // The creator's row is unchanged.
        QCOMPARE(column(QStringLiteral("boss"), QStringLiteral("childCount")).toInt(), 3);
        QCOMPARE(balanceOf(QStringLiteral("boss")).toLongLong(), 500);
        QCOMPARE(column(QStringLiteral("boss"), QStringLiteral("limitrate")).toInt(), 77);
        QCOMPARE(ui.count(), 0);
    }

    void limitRateFallsBackToSystemDefault()
    {
        FakeUi ui;
        SQL_EXEC(server, QStringLiteral("update customers set limitrate=0 where customername='boss'"));
        SQL_EXEC(server, QStringLiteral("insert into sysPara(name,value) values('defaultLimitRate','85.9')"));
        Para.DefaultLimitRate = 90;
        QVERIFY(runDialog({QStringLiteral("kid"), QString(), QString(), QString(), QString()}));
        QCOMPARE(column(QStringLiteral("kid"), QStringLiteral("limitrate")).toInt(), 85);
        if (!server.hardened()) // a hardened database reads the default itself
            QCOMPARE(Para.DefaultLimitRate, 85.9); // read again on the way
        SQL_EXEC(server, QStringLiteral("delete from sysPara"));
        QVERIFY(runDialog({QStringLiteral("kid2"), QString(), QString(), QString(), QString()}));
        QCOMPARE(column(QStringLiteral("kid2"), QStringLiteral("limitrate")).toInt(), 90);
    }

    void failedInsertKeepsDialogOpen()
    {
        FakeUi ui;
        SQL_EXEC(server, QStringLiteral("create trigger no_ins before insert on customers for each row "
                                        "signal sqlstate '45000' set message_text='refused'"));
        bool stayedOpen = false;
        const bool created =
            runDialog({QStringLiteral("kid"), QString(), QString(), QString(), QString()}, &stayedOpen);
        SQL_EXEC(server, QStringLiteral("drop trigger no_ins"));
        QVERIFY(!created);
        QVERIFY(stayedOpen);
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("子账户添加失败")});
        QCOMPARE(ui.last().caption, QStringLiteral("添加失败"));
        QVERIFY(column(QStringLiteral("kid"), QStringLiteral("customerid")).isNull());
    }

    // Name and password tests come before any database access; with the server
    // unreachable the connection box comes first and the name counts as taken.
    void unreachableServer()
    {
        FakeUi ui;
        dm->SetServer(server.host(), 1);
        bool stayedOpen = false;
        QVERIFY(
            !runDialog({QStringLiteral(" "), QStringLiteral("a"), QStringLiteral("b"), QString(), QString()},
                       &stayedOpen));
        QVERIFY(stayedOpen);
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("用户名不能为空")});
        ui.clear();
        QVERIFY(!runDialog(
            {QStringLiteral("kid"), QStringLiteral("a"), QStringLiteral("b"), QString(), QString()},
            &stayedOpen));
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("两次密码不符")});
        ui.clear();
        QVERIFY(!runDialog({QStringLiteral("kid"), QString(), QString(), QString(), QString()}, &stayedOpen));
        QVERIFY(stayedOpen);
        QCOMPARE(ui.texts(),
                 (QStringList{QStringLiteral("网络异常，数据库连接失败"), QStringLiteral("用户已存在")}));
        QCOMPARE(ui.last().caption, QStringLiteral("添加失败"));
        QCOMPARE(ui.last().icon, TMsgIcon::Error);
        dm->SetServer(server.host(), server.port());
        QVERIFY(column(QStringLiteral("kid"), QStringLiteral("customerid")).isNull());
    }

    void cancelWritesNothing()
    {
        FakeUi ui;
        const int before = customers();
        QTimer::singleShot(0, [] {
            auto* dlg = qobject_cast<TnewUserFrm*>(QApplication::activeModalWidget());
            if (dlg) {
                dlg->edtUser->setText(QStringLiteral("kid"));
                dlg->btnCancel->click();
            }
        });
        QVERIFY(!ShowNewUserDialog(QStringLiteral("boss"), 1));
        QTimer::singleShot(0, [] {
            if (auto* dlg = qobject_cast<TnewUserFrm*>(QApplication::activeModalWidget())) {
                QVERIFY(dlg->edtUser->text().isEmpty()); // a fresh dialog each call
                dlg->close();
            }
        });
        QVERIFY(!ShowNewUserDialog(QStringLiteral("boss"), 1));
        QCOMPARE(customers(), before);
        QCOMPARE(ui.count(), 0);
    }

    void addButtonRefreshesTheActiveSearch()
    {
        FakeUi ui;
        QVERIFY(addSubAccount(QStringLiteral("ab1"), QStringLiteral("boss")));
        QVERIFY(addSubAccount(QStringLiteral("zz"), QStringLiteral("boss")));
        Para.Grade = 2;
        TaccountMgrFrm page;
        page.InitPage();
        page.edtFilterValue->setText(QStringLiteral("ab"));
        page.btnAccountFilter->click();
        QCOMPARE(page.dgAccount->model()->rowCount(), 1);

        auto addVia = [&](const QString& name) {
            QTimer::singleShot(0, [name] {
                if (auto* dlg = qobject_cast<TnewUserFrm*>(QApplication::activeModalWidget())) {
                    dlg->edtUser->setText(name);
                    dlg->btnOK->click();
                }
            });
            page.btnAddAccount->click();
        };
        addVia(QStringLiteral("ab2"));
        QCOMPARE(page.dgAccount->model()->rowCount(), 2);
        QCOMPARE(page.lblAccountCnt->text(), QStringLiteral("记录个数:  1"));
        QCOMPARE(column(QStringLiteral("ab2"), QStringLiteral("customerGrade")).toInt(), 3);
        addVia(QStringLiteral("yy"));
        QCOMPARE(page.dgAccount->model()->rowCount(), 2);
        QVERIFY(!column(QStringLiteral("yy"), QStringLiteral("customerid")).isNull());
        QCOMPARE(ui.count(), 0);
    }
};

QTEST_MAIN(TstNewUser)
#include "tst_new_user.moc"

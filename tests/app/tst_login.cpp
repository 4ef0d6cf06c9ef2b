// The login dialog against a real server: the trimmed check, the version and
// company rules, the messages, the keyboard and the dialog results.
#include "app/frmLogin.h"
#include "app/uDataType.h"
#include "data/uDM.h"
#include "tests/support/DmFixture.h"
#include "tests/support/FakeUi.h"
#include "tests/support/Modal.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <functional>

namespace {
const QString kVersionMessage = QStringLiteral("当前程序版本【1.2】已不再使用，请联系客服获取新版本");

// Runs the dialog; one that the code under test failed to close ends with 99.
int execGuarded(QDialog& dlg)
{
    QTimer::singleShot(10000, &dlg, [&dlg] { dlg.done(99); });
    return dlg.exec();
}
} // namespace

class TstLogin : public QObject, TDmFixture
{
    Q_OBJECT

    void setVersions(const QString& value)
    {
        SQL_EXEC(server, QStringLiteral("delete from sysPara where name='softerVer'"));
        QString err;
        QVERIFY2(server.exec(QStringLiteral("insert into sysPara(name, value) values ('softerVer', ?)"),
                             {value}, &err),
                 qPrintable(err));
    }

private slots:
    void initTestCase() { QVERIFY2(startServer(), qPrintable(server.error())); }

    void init()
    {
        QVERIFY(freshModule());
        setVersions(QStringLiteral("1.1,1.2"));
        addCustomer({.name = "Alice", .password = "Secret1", .balance = 500, .grade = 3, .company = "4"});
        addCustomer({.name = "张三", .password = "密码9", .grade = 2});
    }
    void cleanup()
    {
        if (QWidget* w = QApplication::activeModalWidget())
            w->close();
        dropModule();
    }

    void check_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("admitted");
        QTest::addColumn<QString>("storedName");
        QTest::addColumn<QString>("storedPassword");
        QTest::newRow("exact") << "Alice"
                               << "Secret1" << true << "Alice"
                               << "Secret1";
        QTest::newRow("blanks and tabs around") << "  Alice\t"
                                                << "\t Secret1  " << true << "Alice"
                                                << "Secret1";
        QTest::newRow("name case follows the server") << "aLICE"
                                                      << "Secret1" << true << "aLICE"
                                                      << "Secret1";
        QTest::newRow("chinese name and password") << " 张三 "
                                                   << "密码9" << true << "张三"
                                                   << "密码9";
        QTest::newRow("password case counts") << "Alice"
                                              << "secret1" << false << ""
                                              << "";
        QTest::newRow("blank inside password") << "Alice"
                                               << "Secret 1" << false << ""
                                               << "";
        QTest::newRow("unknown name") << "Bob"
                                      << "Secret1" << false << ""
                                      << "";
        QTest::newRow("empty") << ""
                               << "" << false << ""
                               << "";
    }
    void check()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(bool, admitted);
        QFETCH(QString, storedName);
        QFETCH(QString, storedPassword);
        FakeUi ui;
        TloginFrm dlg;
        dlg.edtUser->setText(name);
        dlg.edtPwd->setText(password);
        dlg.btnOK->setFocus();
        dlg.btnOK->click();
        QCOMPARE(Para.LoggedIn, admitted);
        QCOMPARE(Para.UserName, storedName);
        QCOMPARE(Para.Password, storedPassword);
        QVERIFY(dlg.lblInfo->isHidden());
        QVERIFY(!QApplication::overrideCursor());
        // Every attempt that reaches the database reloads the system parameters.
        QCOMPARE(Para.ServerVersion, QStringLiteral("1.1,1.2"));
        if (admitted) {
            QCOMPARE(dlg.result(), int(mrOk));
            QCOMPARE(ui.count(), 0);
            QCOMPARE(Para.Grade, name.contains(QStringLiteral("张")) ? 2 : 3);
        } else {
            QCOMPARE(dlg.result(), int(mrNone));
            QCOMPARE(ui.count(), 1);
            QCOMPARE(ui.last().text, QStringLiteral("用户名或密码无效"));
            QCOMPARE(ui.last().caption, QStringLiteral("登录失败"));
            QCOMPARE(ui.last().icon, TMsgIcon::Error);
            QCOMPARE(ui.last().buttons, TMsgButtons::Ok);
            QCOMPARE(dlg.focusWidget(), dlg.edtPwd);
            QCOMPARE(dlg.edtUser->text(), name); // nothing is cleared
            QCOMPARE(dlg.edtPwd->text(), password);
        }
    }

    void versionRule_data()
    {
        QTest::addColumn<QString>("versions"); // "<none>": no softerVer row at all
        QTest::addColumn<bool>("admitted");
        QTest::newRow("1.1,1.2") << "1.1,1.2" << true;
        QTest::newRow("1.2 alone") << "1.2" << true;
        QTest::newRow("blank after comma") << "1.1, 1.2" << true;
        QTest::newRow("1.20") << "1.20" << false;
        QTest::newRow("1.3") << "1.3" << false;
        QTest::newRow("1.1;1.2") << "1.1;1.2" << false;
        QTest::newRow("no row") << "<none>" << false;
    }
    void versionRule()
    {
        QFETCH(QString, versions);
        QFETCH(bool, admitted);
        if (versions == QLatin1String("<none>"))
            SQL_EXEC(server, QStringLiteral("delete from sysPara"));
        else
            setVersions(versions);
        Para.UserName = QStringLiteral("earlier");
        FakeUi ui;
        TloginFrm dlg;
        dlg.edtUser->setText(QStringLiteral("Alice"));
        dlg.edtPwd->setText(QStringLiteral("Secret1"));
        dlg.btnOK->setFocus();
        dlg.btnOK->click();
        QCOMPARE(Para.LoggedIn, admitted);
        if (admitted) {
            QCOMPARE(ui.count(), 0);
            QCOMPARE(dlg.result(), int(mrOk));
            return;
        }
        QCOMPARE(ui.count(), 1);
        // Without any row the message is still empty at the first login of the run.
        QCOMPARE(ui.last().text, versions == QLatin1String("<none>") ? QString() : kVersionMessage);
        QCOMPARE(ui.last().caption, QStringLiteral("登录失败"));
        QCOMPARE(ui.last().icon, TMsgIcon::Error);
        QCOMPARE(dlg.result(), int(mrNone));
        QCOMPARE(Para.UserName, QStringLiteral("earlier"));
        QCOMPARE(dlg.focusWidget(), dlg.btnOK);
        QCOMPARE(dlg.edtUser->text(), QStringLiteral("Alice"));
        QCOMPARE(dlg.edtPwd->text(), QStringLiteral("Secret1"));
    }

    void companyRule_data()
    {
        QTest::addColumn<QString>("company");
        QTest::addColumn<bool>("admitted");
        QTest::newRow("4") << "4" << true;
        QTest::newRow("empty") << "" << true;
        QTest::newRow("04") << "04" << false;
        QTest::newRow("blank then 4") << " 4" << false;
        QTest::newRow("5") << "5" << false;
    }
    void companyRule()
    {
        QFETCH(QString, company);
        QFETCH(bool, admitted);
        addCustomer({.name = "carol", .password = "pw", .grade = 7, .company = company});
        Para.UserName = QStringLiteral("earlier");
        FakeUi ui;
        TloginFrm dlg;
        dlg.edtUser->setText(QStringLiteral("carol"));
        dlg.edtPwd->setText(QStringLiteral("pw"));
        dlg.btnOK->setFocus();
        dlg.btnOK->click();
        QCOMPARE(Para.LoggedIn, admitted);
        QCOMPARE(Para.UserName, admitted ? QStringLiteral("carol") : QStringLiteral("earlier"));
        // The matched row's grade and company stay, admitted or not.
        QCOMPARE(Para.Grade, 7);
        QCOMPARE(Para.CompanyId, company);
        if (admitted) {
            QCOMPARE(ui.count(), 0);
            return;
        }
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("该帐户不是合法帐户")});
        QCOMPARE(ui.last().caption, QStringLiteral("登录失败"));
        QCOMPARE(ui.last().icon, TMsgIcon::Error);
        QCOMPARE(dlg.result(), int(mrNone));
        QCOMPARE(dlg.focusWidget(), dlg.btnOK);
    }

    void unreachableShowsOnlyTheConnectionBox()
    {
        dm->SetServer(server.host(), 1); // nothing listens there
        FakeUi ui;
        TloginFrm dlg;
        dlg.edtUser->setText(QStringLiteral("Alice"));
        dlg.edtPwd->setText(QStringLiteral("Secret1"));
        dlg.btnOK->setFocus();
        dlg.btnOK->click();
        QCOMPARE(ui.count(), 1);
        QVERIFY(ui.last().caption != QStringLiteral("登录失败"));
        QCOMPARE(ui.last().icon, TMsgIcon::Error);
        QCOMPARE(dlg.result(), int(mrNone));
        QCOMPARE(dlg.focusWidget(), dlg.edtPwd);
        QVERIFY(!Para.LoggedIn);
        QVERIFY(Para.UserName.isEmpty());
    }

    void resultsOfTheButtons()
    {
        FakeUi ui;
        {
            TloginFrm dlg;
            QTimer::singleShot(0, &dlg, [&] { dlg.btnCancel->click(); });
            QCOMPARE(execGuarded(dlg), int(mrNo));
        }
        {
            TloginFrm dlg;
            QTimer::singleShot(0, &dlg, [&] { dlg.close(); }); // the close box
            QCOMPARE(execGuarded(dlg), int(mrCancel));
        }
        {
            TloginFrm dlg;
            QTimer::singleShot(0, &dlg, [&] {
                dlg.edtUser->setText(QStringLiteral("Alice"));
                dlg.edtPwd->setText(QStringLiteral("Secret1"));
                dlg.btnOK->click();
            });
            QCOMPARE(execGuarded(dlg), int(mrOk));
        }
        QCOMPARE(ui.count(), 0);
    }

    void showLoginDialogIsFalseOnCancelAndCloseBox()
    {
        FakeUi ui;
        whenModal([](QWidget* w) { w->findChild<QPushButton*>(QStringLiteral("btnCancel"))->click(); });
        QVERIFY(!ShowLoginDialog());
        whenModal([](QWidget* w) { w->close(); });
        QVERIFY(!ShowLoginDialog());
        QVERIFY(!Para.LoggedIn);
        // A new dialog each time: the fields start empty.
        whenModal([](QWidget* w) {
            auto* user = w->findChild<QLineEdit*>(QStringLiteral("edtUser"));
            auto* pwd = w->findChild<QLineEdit*>(QStringLiteral("edtPwd"));
            const bool empty = user->text().isEmpty() && pwd->text().isEmpty();
            user->setText(QStringLiteral("Alice"));
            pwd->setText(empty ? QStringLiteral("Secret1") : QStringLiteral("fields were not empty"));
            w->findChild<QPushButton*>(QStringLiteral("btnOK"))->click();
            if (QApplication::activeModalWidget() == w)
                w->close();
        });
        QVERIFY(ShowLoginDialog());
        QCOMPARE(Para.UserName, QStringLiteral("Alice"));
    }

    // A refused attempt leaves the matched row's grade and company in Para
    // while the dialog is open; a dialog that ends without a login gives the
    // customer logged in before its own back.
    void refusedThenClosedKeepsTheEarlierGradeAndCompany_data()
    {
        QTest::addColumn<bool>("thenAdmitted");
        QTest::newRow("then cancel") << false;
        QTest::newRow("then another customer") << true;
    }
    void refusedThenClosedKeepsTheEarlierGradeAndCompany()
    {
        QFETCH(bool, thenAdmitted);
        addCustomer({.name = "Dave", .password = "dpw", .grade = 6, .company = "5"});
        Para.UserName = QStringLiteral("Alice");
        Para.LoggedIn = true;
        Para.Grade = 3;
        Para.CompanyId = QStringLiteral("4");
        FakeUi ui;
        whenModal([thenAdmitted](QWidget* w) {
            w->findChild<QLineEdit*>(QStringLiteral("edtUser"))->setText(QStringLiteral("Dave"));
            w->findChild<QLineEdit*>(QStringLiteral("edtPwd"))->setText(QStringLiteral("dpw"));
            w->findChild<QPushButton*>(QStringLiteral("btnOK"))->click();
            if (thenAdmitted) {
                w->findChild<QLineEdit*>(QStringLiteral("edtUser"))->setText(QStringLiteral("张三"));
                w->findChild<QLineEdit*>(QStringLiteral("edtPwd"))->setText(QStringLiteral("密码9"));
                w->findChild<QPushButton*>(QStringLiteral("btnOK"))->click();
            } else {
                w->findChild<QPushButton*>(QStringLiteral("btnCancel"))->click();
            }
        });
        QCOMPARE(ShowLoginDialog(), thenAdmitted);
        QCOMPARE(ui.texts().value(0), QStringLiteral("该帐户不是合法帐户"));
        QCOMPARE(Para.UserName, thenAdmitted ? QStringLiteral("张三") : QStringLiteral("Alice"));
        QCOMPARE(Para.Grade, thenAdmitted ? 2 : 3);
        QCOMPARE(Para.CompanyId, thenAdmitted ? QString() : QStringLiteral("4"));
    }

    void enterMovesOnAndPressesAFocusedButton()
    {
        FakeUi ui;
        TloginFrm dlg;
        QList<QWidget*> focusSeen;
        bool escapeKeptOpen = false;
        auto key = [&](int k) { QTest::keyClick(dlg.focusWidget(), Qt::Key(k)); };
        QTimer::singleShot(0, &dlg, [&] {
            focusSeen << dlg.focusWidget();
            QTest::keyClicks(dlg.focusWidget(), QStringLiteral("Alice"));
            key(Qt::Key_Return);
            focusSeen << dlg.focusWidget();
            QTest::keyClicks(dlg.focusWidget(), QStringLiteral("Secret1"));
            key(Qt::Key_Enter); // the keypad's Enter works the same
            focusSeen << dlg.focusWidget();
            key(Qt::Key_Escape); // bound to nothing
            escapeKeptOpen = dlg.isVisible();
            key(Qt::Key_Return); // presses the focused 登录
        });
        QCOMPARE(execGuarded(dlg), int(mrOk));
        QCOMPARE(focusSeen, (QList<QWidget*>{dlg.edtUser, dlg.edtPwd, dlg.btnOK}));
        QVERIFY(escapeKeptOpen);
        QCOMPARE(Para.UserName, QStringLiteral("Alice"));
        QCOMPARE(ui.count(), 0);

        // Enter on a focused 退出 presses it; Enter in a field never presses a button.
        TloginFrm dlg2;
        bool stillOpen = false;
        QTimer::singleShot(0, &dlg2, [&] {
            dlg2.edtPwd->setFocus();
            QTest::keyClick(dlg2.edtPwd, Qt::Key_Return);
            QTest::keyClick(dlg2.btnOK, Qt::Key_Tab);
            stillOpen = dlg2.isVisible();
            dlg2.btnCancel->setFocus();
            QTest::keyClick(dlg2.btnCancel, Qt::Key_Return);
        });
        QCOMPARE(execGuarded(dlg2), int(mrNo));
        QVERIFY(stillOpen);
        QCOMPARE(ui.count(), 0);
    }

    void dialogShape()
    {
        TloginFrm dlg;
        QCOMPARE(dlg.windowTitle(), QStringLiteral("登录"));
        QCOMPARE(dlg.size(), QSize(415, 227));
        QCOMPARE(dlg.minimumSize(), dlg.maximumSize());
        QVERIFY(!(dlg.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(dlg.windowFlags() & Qt::WindowMinimizeButtonHint);
        QCOMPARE(dlg.edtPwd->echoMode(), QLineEdit::Password);
        dlg.edtPwd->setText(QStringLiteral("ab密"));
        QCOMPARE(dlg.edtPwd->displayText(), QStringLiteral("***"));
        QCOMPARE(dlg.Image1->size(), QSize(145, 145));
        QVERIFY(!dlg.Image1->pixmap().isNull());
        QVERIFY(!dlg.btnOK->isDefault() && !dlg.btnOK->autoDefault());
        QVERIFY(!dlg.btnCancel->isDefault() && !dlg.btnCancel->autoDefault());
        QVERIFY(dlg.lblInfo->isHidden());
        QVERIFY(dlg.lblInfo->font().bold());
        QCOMPARE(dlg.lblInfo->text(), QStringLiteral("正在登录服务器，请稍后....."));
        QCOMPARE(dlg.btnOK->text(), QStringLiteral("登录"));
        QCOMPARE(dlg.btnCancel->text(), QStringLiteral("退出"));
        QCOMPARE(dlg.Label7->text(), QStringLiteral("用户名"));
        QCOMPARE(dlg.Label5->text(), QStringLiteral("密码"));
        for (const char* name :
             {"edtUser", "edtPwd", "btnOK", "btnCancel", "lblInfo", "Image1", "Label7", "Label5"})
            QVERIFY2(dlg.findChild<QWidget*>(QLatin1String(name)), name);
    }
};

QTEST_MAIN(TstLogin)
#include "tst_login.moc"

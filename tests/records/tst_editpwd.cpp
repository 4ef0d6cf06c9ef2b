// The own password page against a real server.
#include "accounts/frmEditPwd.h"
#include "app/uDataType.h"
#include "data/uDM.h"
#include "tests/support/DmFixture.h"
#include "tests/support/FakeUi.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QtTest>

class TstEditPwd : public QObject, TDmFixture
{
    Q_OBJECT
    std::unique_ptr<FakeUi> ui;
    std::unique_ptr<TEditPwdFrm> page;

    QString storedPassword(const QString& name = QStringLiteral("alice"))
    {
        return server.scalar(QStringLiteral("select password from customers where customername=?"), {name})
            .toString();
    }
    void fill(const QString& oldPwd, const QString& newPwd, const QString& confirm)
    {
        page->edtOldPwd->setText(oldPwd);
        page->edtNewPwd->setText(newPwd);
        page->edtCofirmPwd->setText(confirm);
    }
    bool fieldsEmpty() const
    {
        return page->edtOldPwd->text().isEmpty() && page->edtNewPwd->text().isEmpty() &&
               page->edtCofirmPwd->text().isEmpty();
    }
    void expectMessage(const QString& text, TMsgIcon icon)
    {
        QCOMPARE(ui->count(), 1);
        QCOMPARE(ui->last().text, text);
        QCOMPARE(ui->last().caption, QStringLiteral("密码修改"));
        QCOMPARE(ui->last().icon, icon);
        QCOMPARE(ui->last().buttons, TMsgButtons::Ok);
        QVERIFY(!ui->last().topLevelError);
    }

private slots:
    void initTestCase() { QVERIFY2(startServer(), qPrintable(server.error())); }
    void init()
    {
        QVERIFY(freshModule()); // empty tables, empty Para, a new DM
        SQL_EXEC(server, QStringLiteral("insert into customers(customername,password) values"
                                        "('alice','Secret1'),('bob','Secret1')"));
        ui = std::make_unique<FakeUi>();
        logIn(QStringLiteral("alice"), QStringLiteral("Secret1"));
        page = std::make_unique<TEditPwdFrm>();
        page->InitPage();
        page->show();
        QApplication::setActiveWindow(page.get());
        QVERIFY(QTest::qWaitForWindowActive(page.get()));
        page->btnOK->setFocus(); // neither field holds the focus before a click
    }
    void cleanup()
    {
        page.reset();
        ui.reset();
        dropModule();
    }

    void layout()
    {
        for (const char* name : {"edtOldPwd", "edtNewPwd", "edtCofirmPwd"}) {
            auto* e = page->findChild<QLineEdit*>(QLatin1String(name));
            QVERIFY2(e, name);
            QCOMPARE(e->echoMode(), QLineEdit::Password);
            // Every typed character shows as "*".
            QCOMPARE(QChar(e->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, e)),
                     QLatin1Char('*'));
            QVERIFY(e->text().isEmpty());
        }
        QCOMPARE(page->findChild<QPushButton*>(QStringLiteral("btnOK"))->text(), QStringLiteral("确定"));
        QStringList labels;
        for (QLabel* l : page->findChildren<QLabel*>())
            labels << l->text();
        for (const char* t : {"旧密码", "新密码", "确认新密码"})
            QVERIFY(labels.contains(QString::fromUtf8(t)));
        // Tab order: old, new, confirmation, button.
        auto nextTabStop = [](QWidget* w) {
            do
                w = w->nextInFocusChain();
            while (!(w->focusPolicy() & Qt::TabFocus));
            return w;
        };
        QCOMPARE(nextTabStop(page->edtOldPwd), page->edtNewPwd);
        QCOMPARE(nextTabStop(page->edtNewPwd), page->edtCofirmPwd);
        QCOMPARE(nextTabStop(page->edtCofirmPwd), page->btnOK);
    }

    void typingEnablesTheButton_data()
    {
        QTest::addColumn<QString>("field");
        QTest::newRow("old") << QStringLiteral("edtOldPwd");
        QTest::newRow("new") << QStringLiteral("edtNewPwd");
        QTest::newRow("confirmation") << QStringLiteral("edtCofirmPwd");
    }
    void typingEnablesTheButton()
    {
        QFETCH(QString, field);
        QVERIFY(!page->btnOK->isEnabled());
        QTest::keyClick(page->findChild<QLineEdit*>(field), Qt::Key_A);
        QVERIFY(page->btnOK->isEnabled());
    }

    void wrongOldPassword_data()
    {
        QTest::addColumn<QString>("oldPwd");
        QTest::newRow("other letter case") << QStringLiteral("secret1");
        QTest::newRow("blank after") << QStringLiteral("Secret1 ");
        QTest::newRow("blank before") << QStringLiteral(" Secret1");
        QTest::newRow("empty") << QString();
    }
    void wrongOldPassword()
    {
        QFETCH(QString, oldPwd);
        fill(oldPwd, QStringLiteral("New1"), QStringLiteral("New1"));
        page->btnOK->click();
        expectMessage(QStringLiteral("旧密码有误"), TMsgIcon::Error);
        QVERIFY(fieldsEmpty());
        QVERIFY(page->btnOK->isEnabled());
        QCOMPARE(page->focusWidget(), page->edtOldPwd);
        QCOMPARE(storedPassword(), QStringLiteral("Secret1"));
    }

    void confirmationDiffers_data()
    {
        QTest::addColumn<QString>("confirm");
        QTest::newRow("other text") << QStringLiteral("New2");
        QTest::newRow("other letter case") << QStringLiteral("new1");
        QTest::newRow("blank added") << QStringLiteral("New1 ");
        QTest::newRow("empty") << QString();
    }
    void confirmationDiffers()
    {
        QFETCH(QString, confirm);
        fill(QStringLiteral("Secret1"), QStringLiteral("New1"), confirm);
        page->btnOK->click();
        expectMessage(QStringLiteral("新密码不相同"), TMsgIcon::Error);
        QVERIFY(fieldsEmpty()); // the correct old password too
        QVERIFY(page->btnOK->isEnabled());
        QCOMPARE(page->focusWidget(), page->edtNewPwd);
        QCOMPARE(storedPassword(), QStringLiteral("Secret1"));
    }

    void successKeepsFieldsAndDisablesButton_data()
    {
        QTest::addColumn<QString>("newPwd");
        QTest::newRow("new text") << QStringLiteral("新密码 9");
        QTest::newRow("empty") << QString();
        QTest::newRow("same as old") << QStringLiteral("Secret1");
    }
    void successKeepsFieldsAndDisablesButton()
    {
        QFETCH(QString, newPwd);
        fill(QStringLiteral("Secret1"), newPwd, newPwd);
        page->btnOK->click();
        expectMessage(QStringLiteral("密码修改成功"), TMsgIcon::Information);
        QCOMPARE(storedPassword(), newPwd); // stored exactly, nothing trimmed
        QCOMPARE(storedPassword(QStringLiteral("bob")), QStringLiteral("Secret1"));
        QVERIFY(!page->btnOK->isEnabled());
        QCOMPARE(page->edtOldPwd->text(), QStringLiteral("Secret1"));
        QCOMPARE(page->edtNewPwd->text(), newPwd);
        QCOMPARE(page->edtCofirmPwd->text(), newPwd);
        QCOMPARE(Para.Password, QStringLiteral("Secret1")); // the page writes nothing into Para
        // Editing a field enables the button again.
        QTest::keyClick(page->edtCofirmPwd, Qt::Key_X);
        QVERIFY(page->btnOK->isEnabled());
    }

    void secondChangeBeforeNewLogin()
    {
        fill(QStringLiteral("Secret1"), QStringLiteral("New1"), QStringLiteral("New1"));
        page->btnOK->click();
        expectMessage(QStringLiteral("密码修改成功"), TMsgIcon::Information);

        // The new password as the old one: the page still compares with the login's password.
        ui->clear();
        fill(QStringLiteral("New1"), QStringLiteral("New2"), QStringLiteral("New2"));
        page->btnOK->click();
        expectMessage(QStringLiteral("旧密码有误"), TMsgIcon::Error);
        QVERIFY(fieldsEmpty());

        // The login's password passes the page but no longer matches the database.
        ui->clear();
        page->btnOK->setFocus();
        fill(QStringLiteral("Secret1"), QStringLiteral("New2"), QStringLiteral("New2"));
        page->btnOK->click();
        expectMessage(QStringLiteral("密码修改失败"), TMsgIcon::Error);
        QVERIFY(fieldsEmpty());
        QVERIFY(page->btnOK->isEnabled());
        QCOMPARE(storedPassword(), QStringLiteral("New1"));

        // After logging in with the new password, changes work again.
        ui->clear();
        Para.Password = QStringLiteral("New1");
        fill(QStringLiteral("New1"), QStringLiteral("New2"), QStringLiteral("New2"));
        page->btnOK->click();
        expectMessage(QStringLiteral("密码修改成功"), TMsgIcon::Information);
        QCOMPARE(storedPassword(), QStringLiteral("New2"));
    }

    void databaseFailureReportsFailed()
    {
        SQL_EXEC(server, QStringLiteral("rename table customers to customers_gone"));
        fill(QStringLiteral("Secret1"), QStringLiteral("New1"), QStringLiteral("New1"));
        page->edtCofirmPwd->setFocus();
        page->btnOK->click();
        QCOMPARE(page->focusWidget(), page->edtCofirmPwd); // a failed change leaves the focus where it was
        SQL_EXEC(server, QStringLiteral("rename table customers_gone to customers"));
        expectMessage(QStringLiteral("密码修改失败"), TMsgIcon::Error);
        QVERIFY(fieldsEmpty());
        QVERIFY(page->btnOK->isEnabled());
        QCOMPARE(storedPassword(), QStringLiteral("Secret1"));
    }
};

QTEST_MAIN(TstEditPwd)
#include "tst_editpwd.moc"

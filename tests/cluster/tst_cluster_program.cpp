// The program's own pages on the cluster, unchanged, through the proxy: log in,
// send a batch, recharge a sub-account. Each result is read back on nodes other
// than the one the program happened to talk to.
#include "accounts/frmMgrAccount.h"
#include "app/MainForm.h"
#include "app/frmLogin.h"
#include "app/uDataType.h"
#include "data/uDM.h"
#include "send/frmInputPhone.h"
#include "send/frmSend.h"
#include "send/uPhoneList.h"
#include "tests/cluster/ClusterEnv.h"
#include "tests/support/FakeUi.h"

#include <QAbstractItemModel>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>

namespace {

// Runs f on the next modal dialog once it is open.
void whenModal(std::function<void(QWidget*)> f, int triesLeft = 500)
{
    QTimer::singleShot(triesLeft == 500 ? 0 : 10, qApp, [f, triesLeft] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            f(w);
            QTimer::singleShot(10000, w, [w] { w->close(); }); // a dialog left open fails, not hangs
        } else if (triesLeft > 0) {
            whenModal(f, triesLeft - 1);
        }
    });
}

} // namespace

class TstClusterProgram : public QObject
{
    Q_OBJECT
    TClusterEnv env;
    std::unique_ptr<TDM> dm;
    std::unique_ptr<TfrmMain> w;
    QTemporaryDir tmp;

    QString parent() const { return env.tag + QStringLiteral("p"); }
    QString sub() const { return env.tag + QStringLiteral("s"); }

    // The same value as every node sees it.
    QList<qint64> balanceOnEachNode(const QString& name)
    {
        QList<qint64> out;
        for (int i = 0; i < env.nodePorts.size(); ++i) {
            QSqlDatabase db = env.open(QStringLiteral("node%1").arg(i), env.nodePorts[i]);
            out << scalarOn(db, QStringLiteral("select smscount from customers where customername=?"), {name})
                       .toLongLong();
        }
        return out;
    }

private slots:
    void initTestCase()
    {
        SKIP_WITHOUT_CLUSTER(env);
        QCOMPARE(env.nodePorts.size(), 3);
        QString err;
        QSqlDatabase admin = env.open(QStringLiteral("admin"), env.nodePorts[0], &err);
        QVERIFY2(admin.isOpen(), qPrintable(err));
        QVERIFY2(execOn(admin,
                        QStringLiteral("insert into customers(customername,password,parentname,smscount,"
                                       "customerGrade,companyid) values(?,'Secret1','',1000,1,'4'),"
                                       "(?,'pa',?,5,2,'4')"),
                        {parent(), sub(), parent()}, &err),
                 qPrintable(err));
        if (scalarOn(admin, QStringLiteral("select count(*) from sysPara where name='softerVer'")).toInt() ==
            0)
            QVERIFY(
                execOn(admin, QStringLiteral("insert into sysPara(name,value) values('softerVer','1.2')")));
        dm = std::make_unique<TDM>();
        env.point(*dm, env.proxyPort); // the login dialog binds the session on a hardened cluster
        DM = dm.get();
        TfrmMain::SetIniFileName(tmp.filePath(QStringLiteral("korvessa.ini")));
    }
    void cleanupTestCase()
    {
        if (w) {
            FakeUi ui;
            w->close();
            w.reset();
        }
        frmMain = nullptr;
        DM = nullptr;
        dm.reset();
    }

    void logInSendAndRecharge()
    {
        FakeUi ui;
        ui.questionAnswer = TMsgResult::Yes;
        w = std::make_unique<TfrmMain>();
        frmMain = w.get();
        whenModal([this](QWidget* dlg) {
            auto* login = qobject_cast<TloginFrm*>(dlg);
            if (!login)
                return;
            login->edtUser->setText(parent());
            login->edtPwd->setText(QStringLiteral("Secret1"));
            login->btnOK->click();
        });
        w->ShowMain();
        QCOMPARE(ui.texts(), QStringList());
        QVERIFY(Para.LoggedIn);
        QCOMPARE(dm->Hardened(), env.hardened);
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息条数：1000"));

        // A send of three numbers, one segment each.
        auto* s = qobject_cast<TSendFrm*>(w->Page(TPageKind::Send));
        QVERIFY(s);
        whenModal([](QWidget* dlg) {
            if (auto* d = qobject_cast<TinputPhoneFrm*>(dlg)) {
                d->edtPhone->setPlainText(QStringLiteral("13800000001\n13800000002\n13800000003\n"));
                d->btnOK->click();
            }
        });
        s->BtnInput->click();
        QCOMPARE(s->PhoneModel()->count(), 3);
        s->EdtMessage->setPlainText(QStringLiteral("集群测试"));
        s->btnSend->click();
        QCOMPARE(ui.last().text, QStringLiteral("信息提交成功"));
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息条数：997"));
        QCOMPARE(balanceOnEachNode(parent()), (QList<qint64>{997, 997, 997}));

        // A recharge of the sub-account from the account page.
        w->actAccountMgr->trigger();
        auto* a = qobject_cast<TaccountMgrFrm*>(w->Page(TPageKind::AccountMgr));
        QVERIFY(a);
        const QAbstractItemModel* m = a->dgAccount->model();
        QCOMPARE(m->rowCount(), 1);
        a->dgAccount->setCurrentIndex(m->index(0, 0));
        QCOMPARE(a->edtUser->text(), sub());
        a->edtCharge->setText(QStringLiteral("10"));
        ui.clear();
        a->btnCharge->click();
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("充值成功")});
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息条数：987"));
        QCOMPARE(balanceOnEachNode(parent()), (QList<qint64>{987, 987, 987}));
        QCOMPARE(balanceOnEachNode(sub()), (QList<qint64>{15, 15, 15}));
        for (int i = 0; i < env.nodePorts.size(); ++i) {
            QSqlDatabase db = QSqlDatabase::database(QStringLiteral("node%1").arg(i));
            QCOMPARE(scalarOn(db,
                              QStringLiteral("select count(*) from submit where customername=? and "
                                             "phonecount=3 and msgcount=1"),
                              {parent()})
                         .toInt(),
                     1);
            QCOMPARE(scalarOn(db,
                              QStringLiteral(
                                  "select chargePoint from charge where customername=? and contributor=?"),
                              {sub(), parent()})
                         .toInt(),
                     10);
        }
    }
};

QTEST_MAIN(TstClusterProgram)
#include "tst_cluster_program.moc"

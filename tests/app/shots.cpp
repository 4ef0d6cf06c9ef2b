// Renders the login dialog and the main window with each of its pages into
// PNG files, offscreen, against a throwaway database holding the demo
// customer. Run through scripts/screenshots.sh.
//   korvessa_shots [folder]      (default: shots)
//   korvessa_shots --wm [folder] on a real X display with a window manager:
//     the whole screen, window frames and title bars included, with the real
//     message boxes (captions, the top-level error report) and the send page
//     at its default and its minimum size.
#include "accounts/frmEditPwd.h"
#include "accounts/frmMgrAccount.h"
#include "accounts/frmNewUser.h"
#include "app/MainForm.h"
#include "app/frmLogin.h"
#include "app/uDataType.h"
#include "app/uLanguage.h"
#include "app/uStatusPanels.h"
#include "app/uUiQt.h"
#include "data/uDM.h"
#include "records/frmSendDetail.h"
#include "send/frmInputPhone.h"
#include "send/frmSend.h"
#include "send/uPhoneList.h"
#include "tests/support/FakeUi.h"
#include "tests/support/TestServer.h"

#include <QApplication>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <cstdio>

namespace {
QString g_out;
int g_failures = 0;

void save(QWidget* w, const char* name)
{
    const QString file = QDir(g_out).filePath(QLatin1String(name));
    if (w->grab().save(file)) {
        std::printf("%s\n", qPrintable(file));
    } else {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        ++g_failures;
    }
}

void wait(int ms)
{
    QTest::qWait(ms);
}

// Batches and recharges of the demo customer, so that the record grids have rows.
bool addHistory(TestServer& server)
{
    static const char* const texts[] = {
        "【短信平台】尊敬的客户，您本月的账单已出，请登录网站查询。",
        "【短信平台】春节期间客服热线照常服务，祝您新春快乐，阖家幸福！本公司将于二月十日起恢复正常营业时间，"
        "如有疑问请致电400-800-1234。",
        "会议通知：周五下午三点在三楼会议室召开季度总结会，请准时参加。",
        "验证码 482913，五分钟内有效，请勿泄露给他人。",
        "【物业】本小区将于明日上午9:00至12:00停水检修，请提前储水，给您带来不便敬请谅解。"};
    for (int i = 0; i < 12; ++i) {
        const int phones = 1 + i * 137 % 2000;
        const int segments = i % 5 == 1 ? 2 : 1;
        const QString sql =
            QStringLiteral("insert into submit(submitid, phones, testPhones, content, customername, "
                           "submittime, phonecount, msgcount) values (%1, '13600000000', '', '%2', 'demo', "
                           "now() - interval %3 hour, %4, %5)")
                .arg(1000 + i)
                .arg(QString::fromUtf8(texts[i % 5]))
                .arg(i * 7)
                .arg(phones)
                .arg(segments);
        if (!server.exec(sql))
            return false;
    }
    for (int i = 0; i < 6; ++i) {
        const QString who = i % 2 ? QStringLiteral("demo_b") : QStringLiteral("demo_a");
        const QString sql =
            QStringLiteral("insert into charge(customername, remainWhenCharge, chargePoint, contributor, "
                           "chargeTime) values ('%1', %2, %3, 'demo', now() - interval %4 day)")
                .arg(who)
                .arg(i * 250)
                .arg(i == 3 ? -200 : 100 * (i + 1))
                .arg(6 - i);
        if (!server.exec(sql))
            return false;
    }
    return true;
}

QStringList numbers(int n)
{
    QStringList l;
    for (int i = 0; i < n; ++i)
        l << QStringLiteral("1%1").arg(3600000000LL + qint64(i) * 7919 % 999999999, 10, 10, QLatin1Char('0'));
    return l;
}

// The whole screen as the window manager shows it, cut to around rect.
void saveScreen(const QRect& rect, const char* name)
{
    const QString file = QDir(g_out).filePath(QLatin1String(name));
    const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
    const QRect around = rect.adjusted(-40, -40, 40, 40).intersected(screen.rect());
    if (screen.copy(around).save(file)) {
        std::printf("%s\n", qPrintable(file));
    } else {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        ++g_failures;
    }
}

// Saves the next message box with its frame, once the window manager has
// framed it, then answers it with answer (a button's caption).
void saveNextBox(const char* name, const QString& answer, int tries = 300)
{
    QTimer::singleShot(20, qApp, [name, answer, tries] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        const bool framed = box && box->isVisible() && box->frameGeometry().height() > box->height();
        if (!framed) {
            if (tries > 0)
                saveNextBox(name, answer, tries - 1);
            return;
        }
        QTimer::singleShot(400, box, [box, name, answer] {
            saveScreen(box->frameGeometry(), name);
            std::printf("  [%s] %s: %dx%d\n", qPrintable(box->windowTitle()), qPrintable(box->text()),
                        box->frameGeometry().width(), box->frameGeometry().height());
            for (QAbstractButton* b : box->buttons())
                if (b->text() == answer) {
                    b->click();
                    return;
                }
            box->close();
        });
    });
}

// Under a window manager: the real boxes and the send page's booking notice.
int windowManagerShots(TfrmMain& w, TestServer& server)
{
    TQtUiSeam real;
    TUiSeam* recorder = SetUiSeam(&real);
    w.btnSend->click();
    wait(300);
    auto* send = qobject_cast<TSendFrm*>(w.Page(TPageKind::Send));
    if (!send)
        return 1;

    // The booking notice, the demo's and a long one, at the default and the minimum size.
    const QString longNotice =
        QStringLiteral("预约提示：预约时间请选在24小时以内，且只有超过2万条的批次才能预约；"
                       "预约时间已过的批次不再发送，请提前安排好发送时间，如有疑问请致电客服。");
    const QSize defaultSize = w.size();
    const struct
    {
        const char* name;
        bool longText;
        bool minimum;
    } notices[] = {{"wm-send-default.png", false, false},
                   {"wm-send-minimum.png", false, true},
                   {"wm-send-long-default.png", true, false},
                   {"wm-send-long-minimum.png", true, true}};
    const QString demoNotice = send->lblBookingNotice->text();
    for (const auto& n : notices) {
        send->SetBookingNotice(n.longText ? longNotice : demoNotice);
        w.resize(n.minimum ? w.minimumSize() : defaultSize);
        wait(700);
        std::printf("  window %dx%d\n", w.width(), w.height());
        saveScreen(w.frameGeometry(), n.name);
    }
    send->SetBookingNotice(demoNotice);
    w.resize(defaultSize);
    wait(300);

    // A send: the question, then the success box.
    const QStringList list = numbers(3);
    send->inputPhones = [list](QStringList*& l) {
        if (!l)
            l = new QStringList;
        *l = list;
        return true;
    };
    send->BtnInput->click();
    send->EdtMessage->setPlainText(
        QStringLiteral("【短信平台】会议通知：周五下午三点在三楼会议室召开季度总结会。"));
    saveNextBox("wm-box-question.png", QStringLiteral("是(&Y)"));
    // The success box comes once the question is gone.
    QTimer::singleShot(1500, qApp, [] { saveNextBox("wm-box-send-succeeded.png", QStringLiteral("确定")); });
    send->btnSend->click();
    wait(300);

    // Every caption the program uses, each with its shortest text.
    const struct
    {
        const char* caption;
        const char* text;
        const char* file;
    } boxes[] = {{"充值成功", "充值成功", "wm-box-recharge-succeeded.png"},
                 {"修改失败", "修改密码失败", "wm-box-change-failed.png"},
                 {"添加失败", "用户已存在", "wm-box-add-failed.png"},
                 {"密码修改", "旧密码有误", "wm-box-password.png"}};
    for (const auto& b : boxes) {
        saveNextBox(b.file, QStringLiteral("确定"));
        ShowInfo(QString::fromUtf8(b.text), QString::fromUtf8(b.caption));
        wait(200);
    }

    // The records page with the database gone: the top-level error report.
    w.btnBrowInfo->click();
    wait(300);
    auto* records = qobject_cast<TsendDetailFrm*>(w.Page(TPageKind::SendDetail));
    if (records) {
        // The first listing finds its connection dropped, the next one no server.
        server.stop();
        saveNextBox("wm-records-connection-lost.png", QStringLiteral("确定"));
        records->btnChargeDetail->click();
        wait(300);
        saveNextBox("wm-records-cannot-connect.png", QStringLiteral("确定"));
        records->btnChargeDetail->click();
        wait(300);
        if (!server.start())
            return 1;
    }
    // The account page's recharge records with the table gone: refused by the server.
    w.btnMgrAcount->click();
    wait(300);
    auto* accounts = qobject_cast<TaccountMgrFrm*>(w.Page(TPageKind::AccountMgr));
    if (accounts && server.exec(QStringLiteral("rename table charge to charge_gone"))) {
        accounts->btnAll->click();
        saveNextBox("wm-accounts-refused.png", QStringLiteral("确定"));
        accounts->btnDetailFilter->click();
        wait(300);
        server.exec(QStringLiteral("rename table charge_gone to charge"));
    }
    SetUiSeam(recorder);
    return 0;
}
} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    InstallQtChinese();
    const bool wm = argc > 1 && QLatin1String(argv[1]) == QLatin1String("--wm");
    const int outArg = wm ? 2 : 1;
    g_out = argc > outArg ? QString::fromLocal8Bit(argv[outArg]) : QStringLiteral("shots");
    QDir().mkpath(g_out);

    TestServer server;
    if (!server.start() || !server.runFile(QStringLiteral(SMS_SOURCE_DIR "/db/demo.sql"))) {
        std::fprintf(stderr, "database server: %s\n", qPrintable(server.error()));
        return 1;
    }
    if (!addHistory(server)) {
        std::fprintf(stderr, "demo history: %s\n", qPrintable(server.error()));
        return 1;
    }
    TDM dm;
    dm.SetServer(server.host(), server.port());
    DM = &dm;
    FakeUi ui; // anything that would open a message box is recorded and printed below

    // The login dialog, filled in.
    {
        TloginFrm dlg;
        dlg.show();
        dlg.edtUser->setText(QStringLiteral("demo"));
        dlg.edtPwd->setText(QStringLiteral("demo123"));
        wait(50);
        save(&dlg, "login.png");
        dlg.lblInfo->show();
        save(&dlg, "login-checking.png");
    }

    QTemporaryDir tmp;
    TfrmMain::SetIniFileName(tmp.filePath(QStringLiteral("korvessa.ini")));
    TfrmMain w;
    frmMain = &w;
    // The start-up login typed as a user would: name, Enter, password, Enter, Enter.
    QTimer::singleShot(100, &w, [] {
        QWidget* dlg = QApplication::activeModalWidget();
        if (!dlg)
            return;
        QTest::keyClicks(dlg->focusWidget(), QStringLiteral("demo"));
        QTest::keyClick(dlg->focusWidget(), Qt::Key_Return);
        QTest::keyClicks(dlg->focusWidget(), QStringLiteral("demo123"));
        QTest::keyClick(dlg->focusWidget(), Qt::Key_Return);
        QTest::keyClick(dlg->focusWidget(), Qt::Key_Return);
    });
    w.ShowMain();
    if (!Para.LoggedIn) {
        std::fprintf(stderr, "the demo login did not succeed\n");
        return 1;
    }
    if (wm) {
        const int r = windowManagerShots(w, server);
        for (const TUiMessage& m : ui.shown)
            std::fprintf(stderr, "message box [%s] %s\n", qPrintable(m.caption), qPrintable(m.text));
        w.hide();
        frmMain = nullptr;
        DM = nullptr;
        return r == 0 && g_failures == 0 ? 0 : 1;
    }
    wait(4000); // the notice has moved in from the right
    save(&w, "main.png");
    const struct
    {
        QToolButton* button;
        const char* file;
    } pages[] = {{w.btnMgrAcount, "main-accounts.png"},
                 {w.btnBrowInfo, "main-records.png"},
                 {w.btnEditPwd, "main-password.png"}};
    for (const auto& p : pages) {
        p.button->click();
        wait(200);
        save(&w, p.file);
    }

    // The phone entry dialog with a few lines, in both modes.
    {
        TinputPhoneFrm dlg;
        dlg.SetMode(QStringLiteral("input"));
        dlg.show();
        dlg.edtPhone->setPlainText(numbers(6).join(QLatin1Char('\n')));
        wait(50);
        save(&dlg, "input-phone.png");
        dlg.SetMode(QStringLiteral("inputTest"));
        dlg.edtPhone->setPlainText(numbers(2).join(QLatin1Char('\n')));
        wait(50);
        save(&dlg, "input-phone-test.png");
    }
    // The new sub-account dialog, partly filled in.
    {
        TnewUserFrm dlg;
        dlg.show();
        dlg.edtUser->setText(QStringLiteral("demo_c"));
        dlg.edtPwd->setText(QStringLiteral("c123"));
        dlg.edtConfirmPwd->setText(QStringLiteral("c123"));
        dlg.edtPhone->setText(QStringLiteral("13600000003"));
        dlg.edtAddr->setText(QStringLiteral("广州市天河区天河路385号太古汇一座"));
        wait(50);
        save(&dlg, "new-user.png");
        // A text field's own context menu.
        std::unique_ptr<QMenu> menu(dlg.edtAddr->createStandardContextMenu());
        menu->popup(dlg.edtAddr->mapToGlobal(QPoint(20, 10)));
        wait(50);
        save(menu.get(), "context-menu.png");
    }

    // The send page with a few hundred numbers, some selected, and a long message.
    w.btnSend->click();
    wait(100);
    auto* send = qobject_cast<TSendFrm*>(w.Page(TPageKind::Send));
    if (send) {
        const QStringList list = numbers(320);
        send->inputPhones = [list](QStringList*& l) {
            if (!l)
                l = new QStringList;
            *l = list;
            return true;
        };
        send->BtnInput->click();
        send->lstPhone->selectRows(3, 9);
        send->lstPhone->selectRows(40, 44);
        send->EdtMessage->setPlainText(
            QStringLiteral("【短信平台】尊敬的客户，春节期间客服热线照常服务，祝您新春快乐，阖家幸福！"
                           "本公司将于二月十日起恢复正常营业时间，如有疑问请致电400-800-1234。回复TD退订。"));
        wait(200);
        save(&w, "send-filled.png");
        // "文件导入" opens the real file dialog through the program's own seam.
        TQtUiSeam real;
        TUiSeam* recorder = SetUiSeam(&real);
        QTimer::singleShot(300, &w, [] {
            if (auto* dlg = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                save(dlg, "file-dialog.png");
                dlg->reject();
            }
        });
        send->BtnLoadPhone->click();
        SetUiSeam(recorder);
    }

    // The account page: all sub-accounts, the first one current, its recharges listed.
    w.btnMgrAcount->click();
    wait(100);
    auto* accounts = qobject_cast<TaccountMgrFrm*>(w.Page(TPageKind::AccountMgr));
    if (accounts) {
        accounts->btnAll->click();
        wait(50);
        accounts->dgAccount->selectRow(0);
        accounts->edtCustomer->setText(QStringLiteral("demo_a"));
        accounts->btnChargeDetail->click();
        wait(200);
        save(&w, "accounts-filled.png");
        accounts->edtStartDate->setDate(QDate::currentDate().addDays(-30));
        accounts->btnDetailFilter->click();
        wait(200);
        save(&w, "accounts-by-time.png");
    }

    // The records page with several batches.
    w.btnBrowInfo->click();
    wait(100);
    auto* records = qobject_cast<TsendDetailFrm*>(w.Page(TPageKind::SendDetail));
    if (records) {
        records->btnChargeDetail->click();
        wait(200);
        save(&w, "records-filled.png");
    }

    // The own password page, filled in.
    w.btnEditPwd->click();
    wait(100);
    auto* pwd = qobject_cast<TEditPwdFrm*>(w.Page(TPageKind::EditPwd));
    if (pwd) {
        pwd->edtOldPwd->setText(QStringLiteral("demo123"));
        pwd->edtNewPwd->setText(QStringLiteral("new456"));
        pwd->edtCofirmPwd->setText(QStringLiteral("new456"));
        wait(100);
        save(&w, "password-filled.png");
    }

    // Every page at a small, a large and a wide window size.
    const struct
    {
        QSize size;
        const char* name;
    } sizes[] = {{QSize(800, 500), "small"}, {QSize(1400, 900), "large"}, {QSize(1900, 1000), "wide"}};
    const struct
    {
        QToolButton* button;
        const char* name;
    } all[] = {{w.btnSend, "send"},
               {w.btnMgrAcount, "accounts"},
               {w.btnBrowInfo, "records"},
               {w.btnEditPwd, "password"}};
    for (const auto& sz : sizes) {
        w.resize(sz.size);
        wait(100);
        for (const auto& p : all) {
            p.button->click();
            wait(150);
            save(&w,
                 qPrintable(QStringLiteral("%1-%2.png").arg(QLatin1String(sz.name), QLatin1String(p.name))));
        }
    }

    for (const TUiMessage& m : ui.shown)
        std::fprintf(stderr, "message box [%s] %s\n", qPrintable(m.caption), qPrintable(m.text));

    w.hide();
    frmMain = nullptr;
    DM = nullptr;
    return g_failures == 0 ? 0 : 1;
}

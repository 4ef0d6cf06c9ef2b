// The main window against a real server: start-up login, page hosting, the
// status bar, re-login, the exit question and the window placement file.
#include "app/MainForm.h"
#include "app/frmLogin.h"
#include "app/uDataType.h"
#include "app/uStatusPanels.h"
#include "app/uWorkPage.h"
#include "data/uDM.h"
#include "tests/support/DmFixture.h"
#include "tests/support/FakeUi.h"
#include "tests/support/Modal.h"

#include <QActionGroup>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolBar>
#include <QToolButton>
#include <QWindow>
#include <QtTest>
#include <functional>

namespace {

struct TCounts
{
    int created = 0;
    int init = 0;
    int after = 0;
};
QHash<int, TCounts> g_counts;
QSize g_pageMinimum{0, 0}; // the minimum size of the pages made below

// A work page that counts what the main window does with it.
class TCountPage final : public TWorkPage
{
public:
    TCountPage(TPageKind kind, QWidget* parent) : TWorkPage(parent), kind_(kind)
    {
        ++g_counts[int(kind)].created;
        setMinimumSize(g_pageMinimum);
    }
    void InitPage() override { ++g_counts[int(kind_)].init; }
    void AfterLogin() override { ++g_counts[int(kind_)].after; }

private:
    TPageKind kind_;
};

TWorkPage* countingPage(TPageKind kind, QWidget* parent)
{
    return new TCountPage(kind, parent);
}

// Fills the modal login dialog and presses 登录.
void typeLogin(QWidget* dlg, const QString& name, const QString& password)
{
    dlg->findChild<QLineEdit*>(QStringLiteral("edtUser"))->setText(name);
    dlg->findChild<QLineEdit*>(QStringLiteral("edtPwd"))->setText(password);
    dlg->findChild<QPushButton*>(QStringLiteral("btnOK"))->click();
}

void pressCancel(QWidget* dlg)
{
    dlg->findChild<QPushButton*>(QStringLiteral("btnCancel"))->click();
}

bool isExitQuestion(const TUiMessage& m)
{
    return m.text == QStringLiteral("是否退出程序？");
}

} // namespace

class TstMainForm : public QObject, TDmFixture
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> tmp;
    QString ini;

    std::unique_ptr<TfrmMain> newWindow(bool realLogin = false)
    {
        auto w = std::make_unique<TfrmMain>();
        w->PageFactory = countingPage;
        if (!realLogin)
            w->RunLogin = [] {
                Para.UserName = QStringLiteral("Alice");
                Para.Password = QStringLiteral("Secret1");
                Para.LoggedIn = true;
                return true;
            };
        return w;
    }
    void writeIni(const QString& text)
    {
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text.toUtf8());
    }
    QString readIni()
    {
        QFile f(ini);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    // Closes the window through the exit question, answering Yes.
    void closeWithYes(TfrmMain& w, FakeUi& ui)
    {
        ui.answers << TMsgResult::Yes;
        QVERIFY(w.close());
    }

private slots:
    void initTestCase() { QVERIFY2(startServer(), qPrintable(server.error())); }

    void init()
    {
        QVERIFY(freshModule());
        SQL_EXEC(server, "insert into sysPara(name, value) values ('softerVer', '1.2'), "
                         "('customerNotice', '今日系统维护通知')");
        SQL_EXEC(server,
                 "insert into customers(customername, password, companyid, smscount) values "
                 "('Alice', 'Secret1', '4', 500), ('Bob', 'bobpw', '5', 900), ('Carol', 'cpw', '', 77)");
        g_counts.clear();
        g_pageMinimum = QSize(0, 0);
        tmp = std::make_unique<QTemporaryDir>();
        ini = tmp->filePath(QStringLiteral("korvessa.ini"));
        TfrmMain::SetIniFileName(ini);
    }
    void cleanup()
    {
        if (QWidget* w = QApplication::activeModalWidget())
            w->close();
        TfrmMain::SetIniFileName(QString());
        TfrmMain::SetProgramFile(QString());
        TfrmMain::SetWriteCheck(nullptr);
        qunsetenv("XDG_CONFIG_HOME");
        dropModule();
    }

    void windowBeforeLogin()
    {
        SetAppTitle(QStringLiteral("Orvanta"));
        auto w = newWindow();
        QCOMPARE(AppTitle(), QStringLiteral("Korvessa"));
        QCOMPARE(w->windowTitle(), QStringLiteral("Korvessa"));
        QVERIFY(!w->isVisible());
        QCOMPARE(w->Timer1.interval(), 30000);
        QVERIFY(w->Timer1.isActive());

        const QList<QToolButton*> buttons{w->btnLogin,    w->btnSend,    w->btnMgrAcount,
                                          w->btnBrowInfo, w->btnEditPwd, w->BtnExit};
        const QStringList captions{"重新登录", "信息发送", "账户管理", "发送记录", "密码修改", "退出系统"};
        const QStringList names{"btnLogin",    "btnSend",    "btnMgrAcount",
                                "btnBrowInfo", "btnEditPwd", "BtnExit"};
        for (int i = 0; i < buttons.size(); ++i) {
            QCOMPARE(buttons[i]->objectName(), names[i]);
            QCOMPARE(buttons[i]->text(), captions[i]);
            QCOMPARE(buttons[i]->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
            QVERIFY(!buttons[i]->icon().isNull());
            QVERIFY(buttons[i]->defaultAction()->shortcut().isEmpty());
        }
        QCOMPARE(w->grpPages->actions(),
                 (QList<QAction*>{w->actSend, w->actAccountMgr, w->actInfo, w->actEditPwd}));
        QVERIFY(w->grpPages->isExclusive());
        QVERIFY(!w->actLogin->isCheckable() && !w->actExit->isCheckable());

        QCOMPARE(w->pgcWorkArea->count(), 4);
        QCOMPARE(w->stsUser->text(), QStringLiteral("用户"));
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息数:"));
        QCOMPARE(w->stsNtotice->text(), QStringLiteral("Welcome "));
        QVERIFY(w->stsClock->width() >= 129); // wider where the locale's format needs it
        QCOMPARE(w->stsUser->width(), 120);
        QCOMPARE(w->stsRemain->width(), 180);
        QVERIFY(w->stsClock->text().startsWith(
            QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat)));

        // The timer ticks before login, but the refresh does nothing then.
        FakeUi ui;
        dm->SetServer(server.host(), 1);
        w->RefreshBalance();
        QCOMPARE(ui.count(), 0);
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息数:"));
    }

    void startUpLogsInAndOpensTheSendPage()
    {
        FakeUi ui;
        auto w = newWindow(true);
        bool mainVisibleDuringLogin = true;
        whenModal([&](QWidget* dlg) {
            mainVisibleDuringLogin = w->isVisible();
            typeLogin(dlg, QStringLiteral(" Alice "), QStringLiteral("Secret1"));
        });
        w->ShowMain();
        QVERIFY(!mainVisibleDuringLogin);
        QVERIFY(w->isVisible());
        QVERIFY(!w->Terminating());
        QCOMPARE(ui.count(), 0);
        QCOMPARE(w->pgcWorkArea->currentWidget(), w->tabSmsSend);
        QVERIFY(w->Page(TPageKind::Send));
        QCOMPARE(w->Page(TPageKind::Send)->parentWidget(), w->tabSmsSend);
        QVERIFY(w->btnSend->isChecked());
        QCOMPARE(w->stsUser->text(), QStringLiteral("用户:Alice"));
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息条数：500"));
        QCOMPARE(w->stsNtotice->text(), QStringLiteral("今日系统维护通知"));
        QCOMPARE(g_counts[int(TPageKind::Send)].init, 1);
        QCOMPARE(g_counts[int(TPageKind::Send)].after, 0);

        // The balance follows the database at the next refresh.
        SQL_EXEC(server, "update customers set smscount = 480 where customername = 'Alice'");
        w->RefreshBalance();
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息条数：480"));
        SQL_EXEC(server, "delete from customers where customername = 'Alice'");
        w->RefreshBalance();
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息条数：480"));
        closeWithYes(*w, ui);
    }

    void refusedFirstLoginEndsTheProgram_data()
    {
        QTest::addColumn<bool>("closeBox");
        QTest::newRow("退出") << false;
        QTest::newRow("close box") << true;
    }
    void refusedFirstLoginEndsTheProgram()
    {
        QFETCH(bool, closeBox);
        FakeUi ui;
        auto w = newWindow(true);
        whenModal([&](QWidget* dlg) {
            typeLogin(dlg, QStringLiteral("Bob"), QStringLiteral("bobpw")); // refused by the company rule
            if (closeBox)
                dlg->close();
            else
                pressCancel(dlg);
        });
        // The program's message loop: the show step runs from it, and the end of the program stops it.
        QTimer::singleShot(0, w.get(), &TfrmMain::ShowMain);
        QTimer::singleShot(20000, qApp, [] { QCoreApplication::exit(99); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(w->Terminating());
        QVERIFY(!w->isVisible());
        QVERIFY(!Para.LoggedIn);
        QCOMPARE(ui.texts(), QStringList{QStringLiteral("该帐户不是合法帐户")});
        // Ending the program closes the window without the exit question and without the INI file.
        w->close();
        w.reset();
        QCOMPARE(ui.count(), 1);
        QVERIFY(!QFile::exists(ini));
    }

    void pagesAreCreatedOnceAndInitialisedOnce()
    {
        FakeUi ui;
        auto w = newWindow();
        w->ShowMain();
        QCOMPARE(g_counts[int(TPageKind::Send)].created, 1);
        w->btnMgrAcount->click();
        w->btnSend->click();
        w->btnSend->click(); // already pressed: nothing happens
        w->btnBrowInfo->click();
        w->btnEditPwd->click();
        w->btnMgrAcount->click();
        w->actInfo->trigger();
        w->btnMgrAcount->click();
        for (TPageKind k :
             {TPageKind::Send, TPageKind::AccountMgr, TPageKind::SendDetail, TPageKind::EditPwd}) {
            QCOMPARE(g_counts[int(k)].created, 1);
            QCOMPARE(g_counts[int(k)].init, 1);
        }
        QCOMPARE(w->pgcWorkArea->currentWidget(), w->tabMgrAccount);
        QCOMPARE(w->Page(TPageKind::AccountMgr)->parentWidget(), w->tabMgrAccount);
        QCOMPARE(w->Page(TPageKind::SendDetail)->parentWidget(), w->tabSendDetail);
        QCOMPARE(w->Page(TPageKind::EditPwd)->parentWidget(), w->tabEditPwd);
        // Exactly one page button pressed: the one of the page in view.
        QVERIFY(w->btnMgrAcount->isChecked());
        QVERIFY(!w->btnSend->isChecked() && !w->btnBrowInfo->isChecked() && !w->btnEditPwd->isChecked());
        // Pressing the pressed button leaves it pressed.
        w->btnMgrAcount->click();
        QVERIFY(w->btnMgrAcount->isChecked());
        QCOMPARE(w->pgcWorkArea->currentWidget(), w->tabMgrAccount);
        closeWithYes(*w, ui);
    }

    void afterLoginReachesRecordsAndAccountPagesOnly()
    {
        FakeUi ui;
        auto w = newWindow();
        w->ShowMain();
        w->actEditPwd->trigger();
        w->ApplyLogin(); // neither records nor account page exists yet
        for (TPageKind k :
             {TPageKind::Send, TPageKind::AccountMgr, TPageKind::SendDetail, TPageKind::EditPwd})
            QCOMPARE(g_counts[int(k)].after, 0);
        w->actAccountMgr->trigger();
        w->actInfo->trigger();
        w->ApplyLogin();
        w->ApplyLogin();
        QCOMPARE(g_counts[int(TPageKind::AccountMgr)].after, 2);
        QCOMPARE(g_counts[int(TPageKind::SendDetail)].after, 2);
        QCOMPARE(g_counts[int(TPageKind::Send)].after, 0);
        QCOMPARE(g_counts[int(TPageKind::EditPwd)].after, 0);
        QCOMPARE(ui.count(), 0);
        closeWithYes(*w, ui);
    }

    void refusedReLoginKeepsTheCustomer()
    {
        FakeUi ui;
        auto w = newWindow(true);
        whenModal([](QWidget* dlg) { typeLogin(dlg, QStringLiteral("Alice"), QStringLiteral("Secret1")); });
        w->ShowMain();
        w->actInfo->trigger();
        QCOMPARE(w->stsUser->text(), QStringLiteral("用户:Alice"));

        whenModal([](QWidget* dlg) {
            typeLogin(dlg, QStringLiteral("Bob"), QStringLiteral("bobpw"));   // company rule
            typeLogin(dlg, QStringLiteral("Carol"), QStringLiteral("wrong")); // password
            pressCancel(dlg);
        });
        w->actLogin->trigger();
        QCOMPARE(ui.texts(),
                 (QStringList{QStringLiteral("该帐户不是合法帐户"), QStringLiteral("用户名或密码无效")}));
        QCOMPARE(Para.UserName, QStringLiteral("Alice"));
        QCOMPARE(w->stsUser->text(), QStringLiteral("用户:Alice"));
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息条数：500"));
        QCOMPARE(g_counts[int(TPageKind::SendDetail)].after, 0);

        // Another customer: the new name and balance at once; the records page is told.
        whenModal([](QWidget* dlg) { typeLogin(dlg, QStringLiteral("carol"), QStringLiteral("cpw")); });
        w->actLogin->trigger();
        QCOMPARE(Para.UserName, QStringLiteral("carol"));
        QCOMPARE(w->stsUser->text(), QStringLiteral("用户:carol"));
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息条数：77"));
        QCOMPARE(g_counts[int(TPageKind::SendDetail)].after, 1);
        QCOMPARE(g_counts[int(TPageKind::Send)].after, 0);
        QCOMPARE(w->pgcWorkArea->currentWidget(), w->tabSendDetail);
        closeWithYes(*w, ui);
    }

    void exitQuestion()
    {
        FakeUi ui;
        auto w = newWindow();
        QSignalSpy closed(w.get(), &TfrmMain::Closed);
        w->ShowMain();
        QVERIFY(dm->IsConnected());

        ui.answers << TMsgResult::No;
        w->actExit->trigger();
        QCOMPARE(ui.count(), 1);
        QVERIFY(isExitQuestion(ui.last()));
        QCOMPARE(ui.last().caption, QStringLiteral("提示"));
        QCOMPARE(ui.last().icon, TMsgIcon::Question);
        QCOMPARE(ui.last().buttons, TMsgButtons::YesNo);
        QCOMPARE(ui.last().defaultButton, TMsgResult::No);
        QVERIFY(w->isVisible());
        QVERIFY(dm->IsConnected());
        QVERIFY(!QFile::exists(ini));
        QCOMPARE(closed.count(), 0);

        ui.answers << TMsgResult::No;
        QVERIFY(!w->close()); // the close box asks the same
        QCOMPARE(ui.count(), 2);
        QVERIFY(dm->IsConnected());
        // Still usable with the connection it had.
        w->RefreshBalance();
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息条数：500"));

        closeWithYes(*w, ui);
        QCOMPARE(ui.count(), 3);
        QVERIFY(!w->isVisible());
        QVERIFY(!dm->IsConnected());
        QVERIFY(QFile::exists(ini));
        QCOMPARE(closed.count(), 1);
    }

    void placementRoundTrip()
    {
        FakeUi ui;
        {
            auto w = newWindow();
            w->ShowMain();
            w->setGeometry(100, 80, 600, 420);
            closeWithYes(*w, ui);
        }
        const QString text = readIni();
        QVERIFY2(text.contains(QStringLiteral("[frmMainFormState]")), qPrintable(text));
        for (const char* line : {"Maximized=0", "Left=100", "Top=80", "Right=700", "Bottom=500", "Saved=1"})
            QVERIFY2(text.contains(QLatin1String(line)), line);

        auto w = newWindow();
        w->ShowMain();
        QCOMPARE(w->geometry(), QRect(100, 80, 600, 420));
        QVERIFY(!w->isMaximized());
        closeWithYes(*w, ui);
    }

    void maximizedRoundTrip()
    {
        FakeUi ui;
        writeIni(QStringLiteral(
            "[frmMainFormState]\nMaximized=1\nLeft=50\nTop=40\nRight=650\nBottom=440\nSaved=1\n"));
        {
            auto w = newWindow();
            w->ShowMain();
            QVERIFY(w->isMaximized());
            QCOMPARE(w->normalGeometry(), QRect(50, 40, 600, 400));
            closeWithYes(*w, ui);
        }
        const QString text = readIni();
        for (const char* line : {"Maximized=1", "Left=50", "Top=40", "Right=650", "Bottom=440", "Saved=1"})
            QVERIFY2(text.contains(QLatin1String(line)), qPrintable(text));
        // Any integer but 0 reads as true.
        writeIni(QStringLiteral("[frmMainFormState]\nMaximized=-1\nSaved=2\n"));
        auto w = newWindow();
        w->ShowMain();
        QVERIFY(w->isMaximized());
        closeWithYes(*w, ui);
    }

    // Shown maximized straight away, the window still knows the normal
    // rectangle it was given: it is written back on exit, and un-maximizing
    // at the next start returns to it. Where the send page needs more room
    // than the stored rectangle, the window grows to its minimum first, as a
    // window shown normally would.
    void maximizedStartKeepsTheNormalRectangle_data()
    {
        QTest::addColumn<QSize>("pageMinimum");
        QTest::addColumn<QRect>("stored");
        QTest::newRow("room enough") << QSize(300, 200) << QRect(100, 80, 640, 480);
        QTest::newRow("page needs more room") << QSize(700, 500) << QRect(50, 40, 600, 400);
    }
    void maximizedStartKeepsTheNormalRectangle()
    {
        QFETCH(QSize, pageMinimum);
        QFETCH(QRect, stored);
        FakeUi ui;
        g_pageMinimum = pageMinimum;
        writeIni(
            QStringLiteral("[frmMainFormState]\nMaximized=1\nLeft=%1\nTop=%2\nRight=%3\nBottom=%4\nSaved=1\n")
                .arg(stored.left())
                .arg(stored.top())
                .arg(stored.x() + stored.width())
                .arg(stored.y() + stored.height()));
        QRect normal;
        {
            auto w = newWindow();
            w->ShowMain();
            QCoreApplication::processEvents();
            QVERIFY(w->isMaximized());
            QCOMPARE(w->windowHandle()->windowStates(), Qt::WindowMaximized);
            normal = QRect(stored.topLeft(), stored.size().expandedTo(w->minimumSize()));
            QVERIFY(normal.size() != w->size());
            QCOMPARE(w->normalGeometry(), normal);
            closeWithYes(*w, ui);
        }
        const QString text = readIni();
        for (const QString& line :
             {QStringLiteral("Maximized=1"), QStringLiteral("Left=%1").arg(normal.left()),
              QStringLiteral("Top=%1").arg(normal.top()),
              QStringLiteral("Right=%1").arg(normal.x() + normal.width()),
              QStringLiteral("Bottom=%1").arg(normal.y() + normal.height())})
            QVERIFY2(text.contains(line), qPrintable(line + QLatin1String(" in ") + text));

        auto w = newWindow();
        w->ShowMain();
        QVERIFY(w->isMaximized());
        w->showNormal();
        QCoreApplication::processEvents();
        QCOMPARE(w->windowHandle()->windowStates(), Qt::WindowNoState);
        QCOMPARE(w->geometry(), normal);
        closeWithYes(*w, ui);
        QVERIFY(readIni().contains(QLatin1String("Maximized=0")));
    }

    void offScreenCornerMovesToOrigin()
    {
        FakeUi ui;
        writeIni(
            QStringLiteral("[frmMainFormState]\nMaximized=0\nLeft=5000\nTop=-3000\nRight=5600\nBottom=-2600\n"
                           "Saved=1\n"));
        auto w = newWindow();
        w->ShowMain();
        QCOMPARE(w->frameGeometry().topLeft(), QPoint(0, 0));
        QCOMPARE(w->size(), QSize(600, 400));
        closeWithYes(*w, ui);
    }

    void missingSavedCentres()
    {
        FakeUi ui;
        writeIni(QStringLiteral("[frmMainFormState]\nMaximized=0\n"));
        auto w = newWindow();
        w->resize(500, 400); // smaller than the offscreen screen
        w->ShowMain();
        const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY(!w->isMaximized());
        QCOMPARE(w->geometry().center(), avail.center());
        closeWithYes(*w, ui);
    }

    void placementWriteFailureIsReported()
    {
        FakeUi ui;
        TfrmMain::SetIniFileName(tmp->path()); // a folder: the file cannot be written
        auto w = newWindow();
        QSignalSpy closed(w.get(), &TfrmMain::Closed);
        w->ShowMain();
        closeWithYes(*w, ui);
        QCOMPARE(ui.count(), 2);
        QVERIFY(ui.last().topLevelError);
        QCOMPARE(ui.last().icon, TMsgIcon::Error);
        QCOMPARE(ui.last().caption, QStringLiteral("Korvessa"));
        QVERIFY(!ui.last().text.isEmpty());
        QVERIFY(!w->isVisible());
        QCOMPARE(closed.count(), 1);
    }

    // Where the placement file goes, by what the file system allows: beside
    // the program where the file can be written there, else in the user's
    // configuration folder.
    void placementFileLocation_data()
    {
        QTest::addColumn<QString>("setUp");
        QTest::addColumn<bool>("beside");
        QTest::newRow("writable folder") << "" << true;
        QTest::newRow("writable file") << "file" << true;
        QTest::newRow("folder missing") << "no folder" << false;
        QTest::newRow("folder is a file") << "folder is a file" << false;
        QTest::newRow("file name taken by a folder") << "file is a folder" << false;
        QTest::newRow("read-only folder") << "read-only folder" << false;
        QTest::newRow("read-only file") << "read-only file" << false;
    }
    void placementFileLocation()
    {
        QFETCH(QString, setUp);
        QFETCH(bool, beside);
        QDir dir(tmp->path());
        QVERIFY(dir.mkpath(QStringLiteral("bin")));
        QString program = dir.filePath(QStringLiteral("bin/korvessa"));
        const QString besideFile = dir.filePath(QStringLiteral("bin/korvessa.ini"));
        const QString config = dir.filePath(QStringLiteral("config"));
        QString readOnly;
        if (setUp == QLatin1String("file") || setUp == QLatin1String("read-only file")) {
            QFile f(besideFile);
            QVERIFY(f.open(QIODevice::WriteOnly));
            if (setUp == QLatin1String("read-only file"))
                readOnly = besideFile;
        } else if (setUp == QLatin1String("no folder")) {
            program = dir.filePath(QStringLiteral("gone/korvessa"));
        } else if (setUp == QLatin1String("folder is a file")) {
            QFile f(dir.filePath(QStringLiteral("plain")));
            QVERIFY(f.open(QIODevice::WriteOnly));
            program = dir.filePath(QStringLiteral("plain/korvessa"));
        } else if (setUp == QLatin1String("file is a folder")) {
            QVERIFY(dir.mkpath(QStringLiteral("bin/korvessa.ini")));
        } else if (setUp == QLatin1String("read-only folder")) {
            readOnly = dir.filePath(QStringLiteral("bin"));
        }
        if (!readOnly.isEmpty()) {
            const auto perms = QFileInfo(readOnly).isDir()
                                   ? QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                                   : QFile::ReadOwner | QFile::ReadGroup;
            QVERIFY(QFile::setPermissions(readOnly, perms));
        }
        const QString expected = beside ? besideFile : QDir(config).filePath(QStringLiteral("korvessa.ini"));
        const QString got = TWindowPlacement::FileFor(program, config, TWindowPlacement::CanWriteFile);
        const bool permissionsBind = readOnly.isEmpty() || !QFileInfo(readOnly).isWritable();
        if (!readOnly.isEmpty())
            QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (!permissionsBind)
            QSKIP("file permissions do not bind this user (root)");
        QCOMPARE(got, expected);
    }

    // The placement round trip in both places; the program folder counts as
    // not writable through the window's write check (tests run as root, whom
    // folder permissions do not stop). Nothing is written to the other place.
    void placementRoundTripInBothPlaces_data()
    {
        QTest::addColumn<bool>("folderWritable");
        QTest::newRow("beside the program") << true;
        QTest::newRow("user's configuration folder") << false;
    }
    void placementRoundTripInBothPlaces()
    {
        QFETCH(bool, folderWritable);
        FakeUi ui;
        QDir dir(tmp->path());
        QVERIFY(dir.mkpath(QStringLiteral("bin")));
        const QString programFolder = dir.filePath(QStringLiteral("bin"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
        TfrmMain::SetIniFileName(QString());
        TfrmMain::SetProgramFile(programFolder + QStringLiteral("/korvessa"));
        QStringList asked;
        TfrmMain::SetWriteCheck([&](const QString& file) {
            asked << file;
            return folderWritable && TWindowPlacement::CanWriteFile(file);
        });
        const QString besideFile = programFolder + QStringLiteral("/korvessa.ini");
        const QString configFile =
            dir.filePath(QStringLiteral("config/%1/korvessa.ini").arg(QCoreApplication::applicationName()));
        QCOMPARE(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation),
                 QFileInfo(configFile).path());
        const QString written = folderWritable ? besideFile : configFile;
        const QString other = folderWritable ? configFile : besideFile;
        {
            auto w = newWindow();
            QCOMPARE(asked, QStringList{besideFile});
            QCOMPARE(w->PlacementFile(), written);
            w->ShowMain();
            w->setGeometry(120, 90, 640, 430);
            closeWithYes(*w, ui);
        }
        QCOMPARE(ui.count(), 1); // the exit question only: no write failure
        QVERIFY(QFile::exists(written));
        QVERIFY(!QFile::exists(other));
        QFile f(written);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(f.readAll());
        for (const char* line : {"Left=120", "Top=90", "Right=760", "Bottom=520", "Saved=1"})
            QVERIFY2(text.contains(QLatin1String(line)), qPrintable(text));

        auto w = newWindow();
        QCOMPARE(w->PlacementFile(), written);
        w->ShowMain();
        QCOMPARE(w->geometry(), QRect(120, 90, 640, 430));
        closeWithYes(*w, ui);
        QVERIFY(!QFile::exists(other));
    }

    // Neither beside the program nor in the configuration folder (its parent
    // is a plain file): the write failure is reported with that file's name.
    void placementWriteFailureInBothPlaces()
    {
        FakeUi ui;
        QDir dir(tmp->path());
        QFile plain(dir.filePath(QStringLiteral("plain")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(plain.fileName()));
        TfrmMain::SetIniFileName(QString());
        TfrmMain::SetProgramFile(dir.filePath(QStringLiteral("korvessa")));
        TfrmMain::SetWriteCheck([](const QString&) { return false; });
        auto w = newWindow();
        QVERIFY(w->PlacementFile().startsWith(plain.fileName() + QLatin1Char('/')));
        w->ShowMain();
        closeWithYes(*w, ui);
        QCOMPARE(ui.count(), 2);
        QVERIFY(ui.last().topLevelError);
        QVERIFY2(ui.last().text.contains(QDir::toNativeSeparators(w->PlacementFile())),
                 qPrintable(ui.last().text));
        QVERIFY(!w->isVisible());
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("korvessa.ini"))));
    }

    // A re-login whose balance read fails shows no balance, not the previous
    // customer's; the next refresh that reads it fills the panel.
    void reLoginClearsTheBalance()
    {
        FakeUi ui;
        auto w = newWindow();
        w->ShowMain();
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息条数：500"));
        w->RunLogin = [] {
            Para.UserName = QStringLiteral("Dora"); // no row yet: the balance read finds nothing
            return true;
        };
        w->actLogin->trigger();
        QCOMPARE(w->stsUser->text(), QStringLiteral("用户:Dora"));
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息数:"));
        SQL_EXEC(server, "insert into customers(customername, password, smscount) values ('Dora', 'd', 12)");
        w->RefreshBalance();
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息条数：12"));
        QCOMPARE(ui.count(), 0);
        closeWithYes(*w, ui);
    }

    void balanceRefreshesDoNotPileUp()
    {
        FakeUi ui;
        auto w = newWindow();
        w->ShowMain();
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息条数：500"));
        server.stop();
        int nested = 0;
        // Ticks while the box of the failed refresh is still open.
        ui.onMessage = [&](const TUiMessage&) {
            if (nested++ < 3)
                w->RefreshBalance();
        };
        w->RefreshBalance();
        ui.onMessage = nullptr;
        QVERIFY(ui.count() >= 1);
        QCOMPARE(ui.count(), 1);
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息条数：500"));
        // The next tick after the box is closed shows it again.
        w->RefreshBalance();
        QCOMPARE(ui.count(), 2);
        QVERIFY(ui.texts().at(0) == ui.texts().at(1));
        QVERIFY2(server.start(), qPrintable(server.error()));
        w->RefreshBalance();
        QCOMPARE(w->stsRemain->text(), QStringLiteral("可发信息条数：500"));
        closeWithYes(*w, ui);
    }

    // The clock panel holds every text its locale's format gives, on every
    // day of the year and at every hour, and is 129 pixels where that is enough.
    void clockPanelHoldsTheLongestText_data()
    {
        QTest::addColumn<QLocale>("locale");
        for (const char* name : {"C", "en_US", "en_GB", "de_DE", "fr_FR", "ru_RU", "zh_CN"})
            QTest::newRow(name) << QLocale(QLatin1String(name));
    }
    void clockPanelHoldsTheLongestText()
    {
        QFETCH(QLocale, locale);
        TClockPanel panel(nullptr, locale);
        panel.FitWidth(129);
        QVERIFY(panel.width() >= 129);
        const int room = panel.contentsRect().width();
        const QFontMetrics fm = panel.fontMetrics();
        int widest = 0;
        for (QDate d(2026, 1, 1); d.year() == 2026; d = d.addDays(1))
            for (const QTime& t : {QTime(0, 0, 0), QTime(9, 59, 59), QTime(12, 58, 58), QTime(23, 59, 59)}) {
                const QString text = ClockText(QDateTime(d, t), locale);
                widest = std::max(widest, fm.horizontalAdvance(text));
                QVERIFY2(fm.horizontalAdvance(text) <= room,
                         qPrintable(QStringLiteral("%1 needs %2 px, the panel has %3")
                                        .arg(text)
                                        .arg(fm.horizontalAdvance(text))
                                        .arg(room)));
            }
        if (widest + 2 * fm.horizontalAdvance(QLatin1Char(' ')) + panel.width() - room < 129)
            QCOMPARE(panel.width(), 129);
    }

    void noticeScrollsRightToLeft()
    {
        FakeUi ui;
        auto w = newWindow();
        w->ShowMain();
        QCOMPARE(TScrollText::StepMs, 30);
        QVERIFY(w->stsNtotice->Running());
        // A new text comes in at the right edge.
        w->stsNtotice->setText(QStringLiteral("新的通知"));
        w->stsNtotice->Step();
        const int first = w->stsNtotice->Offset();
        QCOMPARE(first, w->stsNtotice->contentsRect().width() - 1);
        w->stsNtotice->Step();
        QCOMPARE(w->stsNtotice->Offset(), first - 1);
        QTRY_VERIFY(w->stsNtotice->Offset() < first - 3);
        // Once the text has left at the left edge it comes in again at the right.
        const int width = w->stsNtotice->fontMetrics().horizontalAdvance(w->stsNtotice->text());
        for (int i = 0; i < width + w->stsNtotice->width() + 10; ++i)
            w->stsNtotice->Step();
        QVERIFY(w->stsNtotice->Offset() > -width);
        closeWithYes(*w, ui);
    }
};

QTEST_MAIN(TstMainForm)
#include "tst_mainform.moc"

#include "app/MainForm.h"

#include "accounts/frmEditPwd.h"
#include "accounts/frmMgrAccount.h"
#include "app/frmLogin.h"
#include "app/uDataType.h"
#include "app/uResources.h"
#include "app/uStatusPanels.h"
#include "app/uUi.h"
#include "app/uWindowPlacement.h"
#include "app/uWorkPage.h"
#include "data/uDM.h"
#include "records/frmSendDetail.h"
#include "send/frmSend.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QLayout>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

TfrmMain* frmMain = nullptr;

namespace {
// Entry 1 of the program's string table: the application title.
const QString kAppTitle = QStringLiteral("Korvessa");
const QString kPlacementSection = QStringLiteral("frmMainFormState");
const QString kUserPrefix = QStringLiteral("用户:");
const QString kRemainPrefix = QStringLiteral("可发信息条数：");
const QString kRemainUnknown = QStringLiteral("可发信息数:"); // no balance read yet
const int kBalanceIntervalMs = 30000;

QString g_iniFileName;
QString g_programFile;
TfrmMain::TWriteCheck g_writeCheck;

TWorkPage* createPage(TPageKind kind, QWidget* parent)
{
    switch (kind) {
    case TPageKind::Send:
        return new TSendFrm(parent);
    case TPageKind::EditPwd:
        return new TEditPwdFrm(parent);
    case TPageKind::AccountMgr:
        return new TaccountMgrFrm(parent);
    case TPageKind::SendDetail:
        return new TsendDetailFrm(parent);
    }
    return nullptr;
}

} // namespace

QString TfrmMain::DefaultIniFileName()
{
    const QString program = g_programFile.isEmpty() ? QCoreApplication::applicationFilePath() : g_programFile;
    return TWindowPlacement::FileFor(
        program, QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation),
        g_writeCheck ? g_writeCheck : TWriteCheck(TWindowPlacement::CanWriteFile));
}

void TfrmMain::SetIniFileName(const QString& path)
{
    g_iniFileName = path;
}

void TfrmMain::SetProgramFile(const QString& path)
{
    g_programFile = path;
}

void TfrmMain::SetWriteCheck(const TWriteCheck& check)
{
    g_writeCheck = check;
}

QString TfrmMain::IniFileName()
{
    return g_iniFileName.isEmpty() ? DefaultIniFileName() : g_iniFileName;
}

TfrmMain::TfrmMain(QWidget* parent)
    : QMainWindow(parent), PageFactory(createPage), RunLogin(ShowLoginDialog),
      placement_(IniFileName(), kPlacementSection)
{
    InitAppResources();
    setObjectName(QStringLiteral("frmMain"));
    setContextMenuPolicy(Qt::PreventContextMenu); // no toolbar menu of the window's own
    resize(915, 568);

    // A stored placement keeps the window where it was; otherwise it opens centred.
    centreOnShow_ = !placement_.Saved();

    SetAppTitle(kAppTitle);
    setWindowTitle(AppTitle());

    createToolbar();
    createPages();
    createStatusBar();

    Timer1.setObjectName(QStringLiteral("Timer1"));
    Timer1.setInterval(kBalanceIntervalMs);
    connect(&Timer1, &QTimer::timeout, this, &TfrmMain::RefreshBalance);
    Timer1.start();

    PageHost = this;
}

TfrmMain::~TfrmMain()
{
    if (PageHost == this)
        PageHost = nullptr;
}

void TfrmMain::createToolbar()
{
    tbrMain = new QToolBar(this);
    tbrMain->setObjectName(QStringLiteral("tbrMain"));
    tbrMain->setMovable(false);
    tbrMain->setFloatable(false);
    tbrMain->setIconSize(QSize(24, 24));
    tbrMain->toggleViewAction()->setVisible(false);
    addToolBar(Qt::TopToolBarArea, tbrMain);

    auto makeAction = [this](QAction*& act, const char* name, const QString& caption, const char* picture) {
        act = new QAction(QIcon(QString::fromLatin1(picture)), caption, this);
        act->setObjectName(QLatin1String(name));
    };
    makeAction(actLogin, "actLogin", QStringLiteral("重新登录"), ":/images/login.png");
    makeAction(actSend, "actSend", QStringLiteral("信息发送"), ":/images/send.png");
    makeAction(actAccountMgr, "actAccountMgr", QStringLiteral("账户管理"), ":/images/accounts.png");
    makeAction(actInfo, "actInfo", QStringLiteral("发送记录"), ":/images/records.png");
    makeAction(actEditPwd, "actEditPwd", QStringLiteral("密码修改"), ":/images/password.png");
    makeAction(actExit, "actExit", QStringLiteral("退出系统"), ":/images/exit.png");

    // The four page buttons: one stays pressed, the one of the page in view.
    grpPages = new QActionGroup(this);
    grpPages->setObjectName(QStringLiteral("grpPages"));
    grpPages->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);
    for (QAction* a : {actSend, actAccountMgr, actInfo, actEditPwd}) {
        a->setCheckable(true);
        grpPages->addAction(a);
    }

    auto makeButton = [this](QToolButton*& btn, const char* name, QAction* act) {
        btn = new QToolButton(tbrMain);
        btn->setObjectName(QLatin1String(name));
        btn->setDefaultAction(act);
        btn->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        btn->setAutoRaise(true);
        btn->setMinimumSize(60, 40);
        btn->setFocusPolicy(Qt::NoFocus);
    };
    makeButton(btnLogin, "btnLogin", actLogin);
    makeButton(btnSend, "btnSend", actSend);
    makeButton(btnMgrAcount, "btnMgrAcount", actAccountMgr);
    makeButton(btnBrowInfo, "btnBrowInfo", actInfo);
    makeButton(btnEditPwd, "btnEditPwd", actEditPwd);
    makeButton(BtnExit, "BtnExit", actExit);

    tbrMain->addSeparator();
    tbrMain->addWidget(btnLogin);
    tbrMain->addSeparator();
    tbrMain->addWidget(btnSend);
    tbrMain->addSeparator();
    tbrMain->addWidget(btnMgrAcount);
    tbrMain->addSeparator();
    tbrMain->addWidget(btnBrowInfo);
    tbrMain->addWidget(btnEditPwd);
    tbrMain->addSeparator();
    tbrMain->addWidget(BtnExit);
    tbrMain->addSeparator();

    connect(actLogin, &QAction::triggered, this, &TfrmMain::reLogin);
    connect(actSend, &QAction::triggered, this, [this] { pageActionTriggered(TPageKind::Send); });
    connect(actAccountMgr, &QAction::triggered, this, [this] { pageActionTriggered(TPageKind::AccountMgr); });
    connect(actInfo, &QAction::triggered, this, [this] { pageActionTriggered(TPageKind::SendDetail); });
    connect(actEditPwd, &QAction::triggered, this, [this] { pageActionTriggered(TPageKind::EditPwd); });
    connect(actExit, &QAction::triggered, this, &QWidget::close);
}

void TfrmMain::createPages()
{
    pgcWorkArea = new QStackedWidget(this);
    pgcWorkArea->setObjectName(QStringLiteral("pgcWorkArea"));
    auto makeTab = [this](QWidget*& tab, const char* name) {
        tab = new QWidget(pgcWorkArea);
        tab->setObjectName(QLatin1String(name));
        auto* lay = new QVBoxLayout(tab);
        lay->setContentsMargins(0, 0, 0, 0);
        pgcWorkArea->addWidget(tab);
    };
    makeTab(tabSmsSend, "tabSmsSend");
    makeTab(tabEditPwd, "tabEditPwd");
    makeTab(tabMgrAccount, "tabMgrAccount");
    makeTab(tabSendDetail, "tabSendDetail");
    setCentralWidget(pgcWorkArea);

    pages_[0] = {TPageKind::Send, tabSmsSend, actSend, nullptr};
    pages_[1] = {TPageKind::EditPwd, tabEditPwd, actEditPwd, nullptr};
    pages_[2] = {TPageKind::AccountMgr, tabMgrAccount, actAccountMgr, nullptr};
    pages_[3] = {TPageKind::SendDetail, tabSendDetail, actInfo, nullptr};
}

void TfrmMain::createStatusBar()
{
    sbrMain = new QStatusBar(this);
    sbrMain->setObjectName(QStringLiteral("sbrMain"));
    sbrMain->setSizeGripEnabled(true);
    setStatusBar(sbrMain);

    stsClock = new TClockPanel(sbrMain);
    stsClock->setObjectName(QStringLiteral("stsClock"));
    stsClock->FitWidth(129); // wider where the locale's date and time need it
    stsUser =
        new TPicturePanel(QPixmap(QStringLiteral(":/images/user.png")), QStringLiteral("用户"), sbrMain);
    stsUser->setObjectName(QStringLiteral("stsUser"));
    stsUser->setFixedWidth(120);
    stsRemain = new QLabel(kRemainUnknown, sbrMain);
    stsRemain->setObjectName(QStringLiteral("stsRemain"));
    stsRemain->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    stsRemain->setFixedWidth(180);
    stsNtotice = new TScrollText(QStringLiteral("Welcome "), sbrMain);
    stsNtotice->setObjectName(QStringLiteral("stsNtotice"));

    sbrMain->addWidget(stsClock);
    sbrMain->addWidget(stsUser);
    sbrMain->addWidget(stsRemain);
    sbrMain->addWidget(stsNtotice, 1);
}

TfrmMain::TPageSlot& TfrmMain::slot(TPageKind kind)
{
    for (TPageSlot& s : pages_)
        if (s.kind == kind)
            return s;
    return pages_[0];
}

const TfrmMain::TPageSlot& TfrmMain::slot(TPageKind kind) const
{
    for (const TPageSlot& s : pages_)
        if (s.kind == kind)
            return s;
    return pages_[0];
}

TWorkPage* TfrmMain::Page(TPageKind kind) const
{
    return slot(kind).page;
}

void TfrmMain::OpenPage(TPageKind kind)
{
    TPageSlot& s = slot(kind);
    if (!s.page) {
        s.page = PageFactory ? PageFactory(kind, s.tab) : nullptr;
        if (s.page) {
            s.page->setParent(s.tab);
            s.tab->layout()->addWidget(s.page);
            s.page->InitPage();
        }
    }
    pgcWorkArea->setCurrentWidget(s.tab);
    // The page button of the page in view shows pressed (send page at start-up too).
    s.action->setChecked(true);
}

void TfrmMain::pageActionTriggered(TPageKind kind)
{
    // Pressing the button that already shows pressed does nothing.
    const TPageSlot& s = slot(kind);
    if (s.page && pgcWorkArea->currentWidget() == s.tab)
        return;
    OpenPage(kind);
}

void TfrmMain::RefreshBalance()
{
    // One refresh at a time: while a refresh (or the message box of its
    // failed connection) is still open, the next tick is skipped.
    if (!Para.LoggedIn || refreshing_ || !DM)
        return;
    refreshing_ = true;
    qint64 balance = 0;
    if (DM->TryGetBalance(Para.UserName, balance))
        stsRemain->setText(kRemainPrefix + QString::number(balance));
    refreshing_ = false;
}

void TfrmMain::ApplyLogin()
{
    stsUser->setText(kUserPrefix + Para.UserName);
    stsNtotice->setText(Para.Notice);
    // The previous customer's balance goes; when this read fails the next refresh fills it.
    stsRemain->setText(kRemainUnknown);
    RefreshBalance();
    if (TWorkPage* p = Page(TPageKind::SendDetail))
        p->AfterLogin();
    if (TWorkPage* p = Page(TPageKind::AccountMgr))
        p->AfterLogin();
}

void TfrmMain::reLogin()
{
    if (RunLogin())
        ApplyLogin();
}

void TfrmMain::ShowMain()
{
    if (shown_)
        return;
    shown_ = true;
    const bool maximize = placement_.Apply(*this, centreOnShow_);
    if (!RunLogin()) {
        // The program ends when control returns to the message loop: no exit
        // question, no placement stored.
        terminating_ = true;
        QCoreApplication::exit(0);
    }
    ApplyLogin();
    OpenPage(TPageKind::Send);
    if (terminating_)
        return;
    // The window takes on its pages' minimum size now, while it is still in
    // the normal state: growing to it while being shown maximized would make
    // the window forget its normal rectangle.
    ensurePolished();
    if (layout())
        layout()->activate();
    resize(size().expandedTo(minimumSize()));
    if (maximize)
        showMaximized();
    else
        show();
}

void TfrmMain::closeEvent(QCloseEvent* e)
{
    if (terminating_) {
        e->accept();
        return;
    }
    if (!AskYesNo(QStringLiteral("是否退出程序？"), QStringLiteral("提示"))) {
        e->ignore();
        return;
    }
    if (DM) {
        DM->Logout();
        DM->Close();
    }
    if (!placement_.Store(*this))
        ReportError(QStringLiteral("无法写入文件 %1").arg(QDir::toNativeSeparators(placement_.File())));
    e->accept();
    emit Closed();
}

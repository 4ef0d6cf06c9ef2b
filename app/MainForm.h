#pragma once
// The main window: toolbar, the page area with the four work pages, the status
// bar with clock, customer, balance and the scrolling notice; start-up login,
// re-login, the balance refresh and the orderly stop with the window placement.

#include "app/uPageHost.h"
#include "app/uWindowPlacement.h"

#include <QMainWindow>
#include <QTimer>
#include <functional>

class QAction;
class QActionGroup;
class QLabel;
class QStackedWidget;
class QStatusBar;
class QToolBar;
class QToolButton;
class TClockPanel;
class TPicturePanel;
class TScrollText;
class TWorkPage;

enum class TPageKind { Send, EditPwd, AccountMgr, SendDetail };

class TfrmMain : public QMainWindow, public TPageHost
{
    Q_OBJECT
public:
    using TPageFactory = std::function<TWorkPage*(TPageKind kind, QWidget* parent)>;

    explicit TfrmMain(QWidget* parent = nullptr);
    ~TfrmMain() override;

    using TWriteCheck = TWindowPlacement::TWriteCheck;

    // The window placement file, named after the program with the extension
    // ".ini": beside the program where it can be written there (a copy run
    // from a folder of its own), else in the user's configuration folder (an
    // installed program); see TWindowPlacement::FileFor.
    static QString DefaultIniFileName();
    // Tests point the placement at a file of their own before creating the window.
    static void SetIniFileName(const QString& path);
    // Tests stand in for the program file and for the write check that
    // TWindowPlacement::FileFor is given (empty: the real ones).
    static void SetProgramFile(const QString& path);
    static void SetWriteCheck(const TWriteCheck& check);
    static QString IniFileName();
    // The placement file of this window, chosen once at its creation: read and written there.
    QString PlacementFile() const { return placement_.File(); }

    // The show step, run once by the message loop at start-up: stored
    // placement, login, the new login's state, the send page, then the window
    // appears. A refused or cancelled login ends the program instead.
    void ShowMain();
    // True once a refused first login has told the program to end.
    bool Terminating() const { return terminating_; }

    void RefreshBalance() override;
    void ApplyLogin();
    void OpenPage(TPageKind kind);
    TWorkPage* Page(TPageKind kind) const;

    // Creates the work pages; tests replace it.
    TPageFactory PageFactory;
    // Runs the login dialog (ShowLoginDialog); tests replace it.
    std::function<bool()> RunLogin;

    // Controls
    QToolBar* tbrMain = nullptr;
    QToolButton* btnLogin = nullptr;
    QToolButton* btnSend = nullptr;
    QToolButton* btnMgrAcount = nullptr;
    QToolButton* btnBrowInfo = nullptr;
    QToolButton* btnEditPwd = nullptr;
    QToolButton* BtnExit = nullptr;
    QAction* actLogin = nullptr;
    QAction* actSend = nullptr;
    QAction* actAccountMgr = nullptr;
    QAction* actInfo = nullptr;
    QAction* actEditPwd = nullptr;
    QAction* actExit = nullptr;
    QActionGroup* grpPages = nullptr;
    QStackedWidget* pgcWorkArea = nullptr;
    QWidget* tabSmsSend = nullptr;
    QWidget* tabEditPwd = nullptr;
    QWidget* tabMgrAccount = nullptr;
    QWidget* tabSendDetail = nullptr;
    QStatusBar* sbrMain = nullptr;
    TClockPanel* stsClock = nullptr;
    TPicturePanel* stsUser = nullptr;
    QLabel* stsRemain = nullptr;
    TScrollText* stsNtotice = nullptr;
    QTimer Timer1;

signals:
    // The window has closed after the exit question was answered Yes.
    void Closed();

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    struct TPageSlot
    {
        TPageKind kind;
        QWidget* tab;
        QAction* action;
        TWorkPage* page;
    };
    TPageSlot& slot(TPageKind kind);
    const TPageSlot& slot(TPageKind kind) const;
    void createToolbar();
    void createPages();
    void createStatusBar();
    void pageActionTriggered(TPageKind kind);
    void reLogin();
    TPageSlot pages_[4]{};
    TWindowPlacement placement_;
    bool centreOnShow_ = true;
    bool shown_ = false;
    bool terminating_ = false;
    bool refreshing_ = false;
};

extern TfrmMain* frmMain;

#include "app/frmLogin.h"

#include "app/uDataType.h"
#include "app/uFields.h"
#include "app/uResources.h"
#include "app/uUi.h"
#include "app/uUiQt.h"
#include "data/uDM.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

namespace {
const QString kLoginFailed = QStringLiteral("登录失败");
const QString kNotValidAccount = QStringLiteral("该帐户不是合法帐户");
const QString kAdmittedCompany = QStringLiteral("4");
} // namespace

TloginFrm::TloginFrm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
{
    InitAppResources();
    setObjectName(QStringLiteral("loginFrm"));
    setWindowTitle(QStringLiteral("登录"));
    setFixedSize(415, 227);
    setSizeGripEnabled(false);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(16, 24, 145, 145);
    Image1->setPixmap(QPixmap(QStringLiteral(":/images/login_side.png")));
    Image1->setScaledContents(true);
    Image1->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);

    Label7 = new QLabel(QStringLiteral("用户名"), this);
    Label7->setObjectName(QStringLiteral("Label7"));
    Label7->setGeometry(184, 46, 56, 22);
    Label5 = new QLabel(QStringLiteral("密码"), this);
    Label5->setObjectName(QStringLiteral("Label5"));
    Label5->setGeometry(184, 92, 56, 22);

    edtUser = new QLineEdit(this);
    edtUser->setObjectName(QStringLiteral("edtUser"));
    edtUser->setGeometry(244, 44, 150, 26);
    edtPwd = new QLineEdit(this);
    edtPwd->setObjectName(QStringLiteral("edtPwd"));
    edtPwd->setGeometry(244, 90, 150, 26);
    MakePasswordField(edtPwd);

    btnOK = new QPushButton(QIcon(QStringLiteral(":/images/ok.png")), QStringLiteral("登录"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setGeometry(214, 140, 80, 30);
    btnCancel = new QPushButton(QIcon(QStringLiteral(":/images/cancel.png")), QStringLiteral("退出"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(310, 140, 80, 30);
    // Neither button is a default button: Enter is handled by the key preview below.
    for (QPushButton* b : {btnOK, btnCancel}) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }

    lblInfo = new QLabel(QStringLiteral("正在登录服务器，请稍后....."), this);
    lblInfo->setObjectName(QStringLiteral("lblInfo"));
    lblInfo->setGeometry(184, 190, 220, 22);
    QFont bold = lblInfo->font();
    bold.setBold(true);
    lblInfo->setFont(bold);
    lblInfo->hide();

    setTabOrder(edtUser, edtPwd);
    setTabOrder(edtPwd, btnOK);
    setTabOrder(btnOK, btnCancel);

    // Key preview: the dialog sees each key press before the focused control
    // does. A focused button takes Enter as a press; elsewhere Enter moves on like Tab.
    auto* enter = new TEnterMovesFocus(this);
    for (QWidget* w : {static_cast<QWidget*>(edtUser), static_cast<QWidget*>(edtPwd),
                       static_cast<QWidget*>(btnOK), static_cast<QWidget*>(btnCancel)})
        enter->watch(w);

    connect(btnOK, &QPushButton::clicked, this, &TloginFrm::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TloginFrm::btnCancelClick);

    edtUser->setFocus(Qt::OtherFocusReason);
}

void TloginFrm::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    if (!parentWidget()) {
        if (const QScreen* s = QGuiApplication::primaryScreen())
            move(s->availableGeometry().center() - rect().center());
    }
}

void TloginFrm::keyPressEvent(QKeyEvent* e)
{
    // Escape and Enter are bound to nothing here; the dialog's own default
    // handling would close it or press a button.
    if (e->key() == Qt::Key_Escape || IsEnterKey(e)) {
        e->accept();
        return;
    }
    QDialog::keyPressEvent(e);
}

void TloginFrm::reject()
{
    done(mrCancel);
}

void TloginFrm::btnCancelClick()
{
    done(mrNo);
}

void TloginFrm::btnOKClick()
{
    // The pass over pending messages below could deliver a second click.
    if (checking_)
        return;
    checking_ = true;
    const QString name = TrimCtl(edtUser->text());
    const QString password = TrimCtl(edtPwd->text());

    lblInfo->show();
    TBusyCursor busy;
    PumpMessages();
    Pause(50);
    QString message;
    const bool verified = DM && DM->VerifyLogin(name, password, message);
    lblInfo->hide();
    busy.release();
    Pause(20);
    checking_ = false;

    if (!verified) {
        // Without a connection its failure has been reported already.
        if (DM && DM->IsConnected())
            ShowError(message, kLoginFailed);
        edtPwd->setFocus(Qt::OtherFocusReason);
        return;
    }
    // A customer refused by a rule leaves a hardened connection's session to
    // the customer logged in before.
    if (!TDM::IsInCommaList(ClientVersion, Para.ServerVersion)) {
        DM->RevertLogin();
        ShowError(Para.VersionMessage, kLoginFailed);
        return;
    }
    if (!TDM::SameTextOrEmpty(Para.CompanyId, kAdmittedCompany)) {
        DM->RevertLogin();
        ShowError(kNotValidAccount, kLoginFailed);
        return;
    }
    done(mrOk);
    Para.UserName = name;
    Para.Password = password;
    Para.LoggedIn = true;
}

bool ShowLoginDialog()
{
    // A customer whose password matched but whom a rule refused leaves its grade
    // and company in Para while the dialog runs. When no one new logs in, the
    // customer logged in before keeps its own: new sub-accounts take them.
    const int grade = Para.Grade;
    const QString companyId = Para.CompanyId;
    TloginFrm dlg;
    const bool admitted = dlg.exec() == mrOk;
    if (!admitted) {
        Para.Grade = grade;
        Para.CompanyId = companyId;
    }
    return admitted;
}

#include "accounts/frmNewUser.h"

#include "app/uDataType.h"
#include "app/uFields.h"
#include "app/uUi.h"
#include "data/uDM.h"

#include <QDateTime>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlQuery>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {
const QString kAddFailed = QStringLiteral("添加失败");
}

TnewUserFrm::TnewUserFrm(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TnewUserFrm"));
    setWindowTitle(QStringLiteral("添加子账户"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    // Enter typed in a field moves the focus on, as Tab does.
    auto* enter = new TEnterMovesFocus(this);
    auto field = [this, enter](const char* name) {
        auto* e = new QLineEdit(this);
        e->setObjectName(QLatin1String(name));
        enter->watch(e);
        return e;
    };
    edtUser = field("edtUser");
    edtPwd = field("edtPwd");
    MakePasswordField(edtPwd);
    edtConfirmPwd = field("edtConfirmPwd");
    MakePasswordField(edtConfirmPwd);
    edtPhone = field("edtPhone");
    edtAddr = field("edtAddr");
    // The address field is wide: twice the others, so that an address shows whole.
    // A field holds at least ten Chinese characters: a font whose Latin letters
    // are narrow beside its Chinese ones (as on Windows) would give too little.
    const int tenChinese = edtPhone->fontMetrics().horizontalAdvance(QString(10, QChar(0x4E2D))) + 8;
    const int fieldWidth = std::max(edtPhone->sizeHint().width(), tenChinese);
    for (QLineEdit* e : {edtUser, edtPwd, edtConfirmPwd, edtPhone})
        e->setFixedWidth(fieldWidth);
    edtAddr->setFixedWidth(2 * fieldWidth);
    btnOK = new QPushButton(QStringLiteral("确定"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnCancel = new QPushButton(QStringLiteral("取消"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));

    auto* form = new QGridLayout;
    form->setHorizontalSpacing(fontMetrics().height()); // labels stand clear of their fields
    int row = 0;
    for (auto [label, edit] :
         {std::pair{QStringLiteral("帐户"), edtUser}, std::pair{QStringLiteral("密码"), edtPwd},
          std::pair{QStringLiteral("密码确认"), edtConfirmPwd}, std::pair{QStringLiteral("电话"), edtPhone},
          std::pair{QStringLiteral("地址"), edtAddr}}) {
        auto* l = new QLabel(label, this);
        l->setBuddy(edit);
        form->addWidget(l, row, 0);
        form->addWidget(edit, row, 1, Qt::AlignLeft);
        ++row;
    }
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);
    auto* main = new QVBoxLayout(this);
    main->addLayout(form);
    main->addLayout(buttons);

    setTabOrder(edtUser, edtPwd);
    setTabOrder(edtPwd, edtConfirmPwd);
    setTabOrder(edtConfirmPwd, edtPhone);
    setTabOrder(edtPhone, edtAddr);
    setTabOrder(edtAddr, btnOK);
    setTabOrder(btnOK, btnCancel);

    connect(btnOK, &QPushButton::clicked, this, &TnewUserFrm::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &TnewUserFrm::btnCancelClick);

    setFixedSize(sizeHint());
    edtUser->setFocus();
}

void TnewUserFrm::btnCancelClick()
{
    reject();
}

void TnewUserFrm::btnOKClick()
{
    const QString name = TrimCtl(edtUser->text());
    if (name.isEmpty()) {
        ShowError(QStringLiteral("用户名不能为空"), kAddFailed);
        return;
    }
    const QString password = TrimCtl(edtPwd->text());
    if (!SamePassword(edtPwd->text(), edtConfirmPwd->text(), TPasswordMatch::Trimmed)) {
        ShowError(QStringLiteral("两次密码不符"), kAddFailed);
        return;
    }
    auto failed = [] { ShowError(QStringLiteral("子账户添加失败"), kAddFailed); };
    if (!DM) {
        failed();
        return;
    }
    if (DM->CustomerExists(name)) {
        ShowError(QStringLiteral("用户已存在"), kAddFailed);
        return;
    }
    if (DM->Hardened()) {
        // The database writes the row itself, as the insert below would, and
        // tells a name that it holds already (one that this customer cannot see).
        if (!DM->CreateSubAccount(name, password, TrimCtl(edtPhone->text()), TrimCtl(edtAddr->text()))) {
            if (DM->Refusal() == TDM::NameTaken)
                ShowError(QStringLiteral("用户已存在"), kAddFailed);
            else
                failed();
            return;
        }
        accept();
        return;
    }
    // The creator's own limit rate, else the whole-number part of the system default.
    int ownRate = 0;
    DM->GetLimitRate(Para.UserName, ownRate);
    double limitRate = ownRate;
    if (ownRate == 0) {
        DM->LoadSystemParameters(Para);
        limitRate = std::trunc(Para.DefaultLimitRate);
    }
    QDateTime now;
    if (!DM->GetServerTime(now)) {
        failed();
        return;
    }
    QSqlQuery rsCmd(DM->conn());
    const TSqlParams params{
        {QStringLiteral("customername"), name},
        {QStringLiteral("password"), password},
        {QStringLiteral("realName"), name},
        {QStringLiteral("parentname"), FParentName},
        {QStringLiteral("limitrate"), limitRate},
        {QStringLiteral("smscount"), 0},
        {QStringLiteral("customerKind"), QStringLiteral("新开")},
        {QStringLiteral("customerGrade"), FParentGrade + 1},
        {QStringLiteral("childCount"), 0},
        {QStringLiteral("createtime"), now},
        {QStringLiteral("telphone"), TrimCtl(edtPhone->text())},
        {QStringLiteral("address"), TrimCtl(edtAddr->text())},
        {QStringLiteral("companyid"), TrimCtl(Para.CompanyId)},
    };
    if (!DM->Exec(rsCmd,
                  QStringLiteral(
                      "insert into customers(customername,password,realname,parentname,limitrate,smscount,"
                      "customerKind,customerGrade,childCount,createtime,telphone,address,companyid) "
                      "values(:customername,:password,:realName,:parentname,:limitrate,:smscount,"
                      ":customerKind,:customerGrade,:childCount,:createtime,:telphone,:address,"
                      ":companyid) "),
                  params)) {
        failed();
        return;
    }
    accept();
}

bool ShowNewUserDialog(const QString& parentName, int parentGrade)
{
    TnewUserFrm dlg; // no owner; gone when this returns
    dlg.FParentName = parentName;
    dlg.FParentGrade = parentGrade;
    return dlg.exec() == QDialog::Accepted;
}

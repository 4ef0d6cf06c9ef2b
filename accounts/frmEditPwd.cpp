#include "accounts/frmEditPwd.h"

#include "app/uDataType.h"
#include "app/uFields.h"
#include "app/uUi.h"
#include "data/uDM.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const QString kCaption = QStringLiteral("密码修改");

QLineEdit* passwordField(QWidget* parent, const char* name)
{
    auto* e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    MakePasswordField(e);
    e->setMinimumWidth(180);
    return e;
}

QLabel* fieldLabel(QWidget* parent, const char* name, const QString& text, QWidget* buddy)
{
    auto* l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setBuddy(buddy);
    return l;
}

} // namespace

TEditPwdFrm::TEditPwdFrm(QWidget* parent) : TWorkPage(parent)
{
    setObjectName(QStringLiteral("TEditPwdFrm"));
    edtOldPwd = passwordField(this, "edtOldPwd");
    edtNewPwd = passwordField(this, "edtNewPwd");
    edtCofirmPwd = passwordField(this, "edtCofirmPwd");
    lblOldPwd = fieldLabel(this, "lblOldPwd", QStringLiteral("旧密码"), edtOldPwd);
    lblNewPwd = fieldLabel(this, "lblNewPwd", QStringLiteral("新密码"), edtNewPwd);
    lblCofirmPwd = fieldLabel(this, "lblCofirmPwd", QStringLiteral("确认新密码"), edtCofirmPwd);
    btnOK = new QPushButton(QStringLiteral("确定"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));

    auto* grid = new QGridLayout;
    grid->addWidget(lblOldPwd, 0, 0);
    grid->addWidget(edtOldPwd, 0, 1);
    grid->addWidget(lblNewPwd, 1, 0);
    grid->addWidget(edtNewPwd, 1, 1);
    grid->addWidget(lblCofirmPwd, 2, 0);
    grid->addWidget(edtCofirmPwd, 2, 1);
    grid->addWidget(btnOK, 3, 1, Qt::AlignLeft);

    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addLayout(grid);
    row->addStretch(1);
    auto* page = new QVBoxLayout(this);
    page->addStretch(1);
    page->addLayout(row);
    page->addStretch(2);

    setTabOrder(edtOldPwd, edtNewPwd);
    setTabOrder(edtNewPwd, edtCofirmPwd);
    setTabOrder(edtCofirmPwd, btnOK);

    // Any change of text, typed or set, enables the button.
    for (QLineEdit* e : {edtOldPwd, edtNewPwd, edtCofirmPwd})
        connect(e, &QLineEdit::textChanged, this, &TEditPwdFrm::edtOldPwdChange);
    connect(btnOK, &QPushButton::clicked, this, &TEditPwdFrm::btnOKClick);
}

void TEditPwdFrm::InitPage()
{
    btnOK->setEnabled(false);
}

void TEditPwdFrm::edtOldPwdChange()
{
    btnOK->setEnabled(true);
}

bool TEditPwdFrm::ChangeOwnPassword()
{
    // Compared exactly as typed: nothing trimmed, letter case counts.
    if (!SamePassword(edtOldPwd->text(), Para.Password, TPasswordMatch::Exact)) {
        ShowMessage(QStringLiteral("旧密码有误"), kCaption, TMsgIcon::Error);
        edtOldPwd->setFocus();
        return false;
    }
    if (!SamePassword(edtNewPwd->text(), edtCofirmPwd->text(), TPasswordMatch::Exact)) {
        ShowMessage(QStringLiteral("新密码不相同"), kCaption, TMsgIcon::Error);
        edtNewPwd->setFocus();
        return false;
    }
    const bool ok = DM->ChangePassword(Para.UserName, edtOldPwd->text(), edtNewPwd->text());
    if (ok)
        ShowMessage(QStringLiteral("密码修改成功"), kCaption, TMsgIcon::Information);
    else {
        // An old password that the database does not hold is the legacy
        // failure; other refusals of a hardened database say what they are.
        const int refusal = DM->Refusal();
        ShowMessage(refusal == 0 || refusal == TDM::WrongOldPassword ? QStringLiteral("密码修改失败")
                                                                     : DM->RefusalText(),
                    kCaption, TMsgIcon::Error);
    }
    return ok;
}

void TEditPwdFrm::btnOKClick()
{
    const bool changed = ChangeOwnPassword();
    btnOK->setEnabled(!changed);
    if (!changed) {
        edtOldPwd->clear();
        edtNewPwd->clear();
        edtCofirmPwd->clear();
    }
}

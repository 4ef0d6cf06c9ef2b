#pragma once
// The own password page: the logged-in customer changes its password.

#include "app/uWorkPage.h"

class QLabel;
class QLineEdit;
class QPushButton;

class TEditPwdFrm : public TWorkPage
{
    Q_OBJECT
public:
    explicit TEditPwdFrm(QWidget* parent = nullptr);
    void InitPage() override;

    // Tests what was typed and changes the password; true when it was changed.
    bool ChangeOwnPassword();

    QLabel* lblOldPwd = nullptr;
    QLabel* lblNewPwd = nullptr;
    QLabel* lblCofirmPwd = nullptr;
    QLineEdit* edtOldPwd = nullptr;
    QLineEdit* edtNewPwd = nullptr;
    QLineEdit* edtCofirmPwd = nullptr;
    QPushButton* btnOK = nullptr;

private:
    void edtOldPwdChange();
    void btnOKClick();
};

#pragma once
// Dialog in which the logged-in customer creates a sub-account.

#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;

class TnewUserFrm final : public QDialog
{
    Q_OBJECT
public:
    explicit TnewUserFrm(QWidget* parent = nullptr);

    QLineEdit* edtUser = nullptr;
    QLineEdit* edtPwd = nullptr;
    QLineEdit* edtConfirmPwd = nullptr;
    QLineEdit* edtPhone = nullptr;
    QLineEdit* edtAddr = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

private:
    void btnOKClick();
    void btnCancelClick();

    QString FParentName;
    int FParentGrade = 0;

    friend bool ShowNewUserDialog(const QString& parentName, int parentGrade);
};

// Shows the dialog for the creating customer; true when a sub-account was created.
bool ShowNewUserDialog(const QString& parentName, int parentGrade);

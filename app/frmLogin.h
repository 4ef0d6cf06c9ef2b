#pragma once
// The login dialog: customer name and password, checked against the service
// database, then the version and company admission rules.

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

// Dialog results.
enum TModalResult { mrNone = 0, mrOk = 1, mrCancel = 2, mrNo = 7 };

class TloginFrm final : public QDialog
{
    Q_OBJECT
public:
    explicit TloginFrm(QWidget* parent = nullptr);

    QLabel* Image1 = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* Label5 = nullptr;
    QLineEdit* edtUser = nullptr;
    QLineEdit* edtPwd = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;
    QLabel* lblInfo = nullptr;

    void btnOKClick();
    void btnCancelClick();

    // The close box (and anything else that rejects the dialog) gives Cancel.
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    bool checking_ = false;
};

// Runs a new login dialog modally; true when the customer was admitted.
bool ShowLoginDialog();

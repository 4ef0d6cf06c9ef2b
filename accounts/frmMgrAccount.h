#pragma once
// Account administration page: the logged-in customer's sub-accounts, their
// password, phone/address and recharge, and the recharge records.

#include "app/uWorkPage.h"
#include "data/uDM.h"

#include <QDateTime>
#include <QString>

class QDateEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSqlQuery;
class QTableView;
class QToolButton;
class TAccountRows;
struct TRows;

class TaccountMgrFrm : public TWorkPage
{
    Q_OBJECT
public:
    explicit TaccountMgrFrm(QWidget* parent = nullptr);
    ~TaccountMgrFrm() override;

    void InitPage() override;
    // Empties the list, the detail fields and the record grid left from the
    // earlier customer, then loads the new customer's sub-accounts.
    void AfterLogin() override;
    // Runs the last load again (all sub-accounts or the name search).
    void RefreshAccounts();
    void ClearDetail();
    // Reports a change of the data module that failed: the database's own
    // refusal where it gave one, else failText, under "修改失败".
    bool RunUpdate(bool ok, const QString& failText);
    // First second of the start day, or last second of the end day, as the
    // server's wall clock (data/uWallClock.h).
    QDateTime ChargeTimeBound(bool isStart) const;

    // State of the sub-account list, for the guards of the actions.
    bool ListLoaded() const { return listLoaded_; }
    bool ListEmpty() const;
    int CurrentRow() const;
    // The guard of the actions on the current sub-account: the list is loaded,
    // holds rows and one of them is current.
    bool HasCurrentAccount() const;

    // toolbar
    QLineEdit* edtFilterValue = nullptr;
    QToolButton* btnAccountFilter = nullptr;
    QToolButton* btnAll = nullptr;
    QToolButton* btnAddAccount = nullptr;
    // list
    QLabel* lblAccountCnt = nullptr;
    QTableView* dgAccount = nullptr;
    // detail area
    QLineEdit* edtUser = nullptr;
    QLineEdit* edtPwd = nullptr;
    QPushButton* btnEditPwd = nullptr;
    QLineEdit* edtGrade = nullptr;
    QLineEdit* edtCount = nullptr;
    QLineEdit* edtCharge = nullptr;
    QPushButton* btnCharge = nullptr;
    QLineEdit* edtPhone = nullptr;
    QLineEdit* edtAddr = nullptr;
    QPushButton* btnEditAddr = nullptr;
    // recharge records
    QGroupBox* grpChargeDetail = nullptr;
    QToolButton* btnDetailFilter = nullptr;
    QDateEdit* edtStartDate = nullptr;
    QDateEdit* edtEndDate = nullptr;
    QToolButton* btnChargeDetail = nullptr;
    QLineEdit* edtCustomer = nullptr;
    QLabel* lblDetailCnt = nullptr;
    QTableView* dgChargeDetail = nullptr;

private:
    void buildUi();
    // Runs the list statement; on success the rows replace the list.
    bool openAccounts(const QString& sql, const TSqlParams& params);
    void showAccountRows();
    // Replaces the rows of the list; the row changes that this brings about
    // are not handled one by one (see loading_).
    void setAccountRows(TRows rows);
    void showChargeRows(const QString& sql, const TSqlParams& params);
    void setupAccountColumns();
    void setupChargeColumns();
    QString currentValue(const QString& column) const;

    void btnAllClick();
    void btnAccountFilterClick();
    void btnAddAccountClick();
    void ClientDataSet1AfterScroll();
    void dgAccountDblClick();
    void btnEditPwdClick();
    void btnEditAddrClick();
    void btnChargeClick();
    void btnChargeDetailClick();
    void btnDetailFilterClick();

    TAccountRows* accounts_ = nullptr; // the sub-account list, in memory
    TAccountRows* charges_ = nullptr;  // the recharge records, in memory
    bool listLoaded_ = false;
    bool loading_ = false; // row changes of a load are handled once, at its end
    QString accountSql_;   // the last load's statement and values
    TSqlParams accountParams_;
};

// Reads a recharge amount: trimmed, a whole decimal number with an optional
// sign, or a hexadecimal one after "$", "x", "X", "0x" or "0X"; within the
// signed 32-bit range. False when the text is no such number.
bool ParseChargeAmount(const QString& text, int& amount);

#include "accounts/frmMgrAccount.h"

#include "accounts/frmNewUser.h"
#include "accounts/uAccountModel.h"
#include "app/uDataType.h"
#include "app/uFields.h"
#include "app/uFlagScope.h"
#include "app/uPageHost.h"
#include "app/uUi.h"
#include "data/uDbFailure.h"
#include "data/uWallClock.h"

#include <QDateEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

#include <limits>

namespace {

const QString kCountPrefix = QStringLiteral("记录个数:  ");
const QString kNoCount = QStringLiteral("记录数");
const QString kChargeCaption = QStringLiteral("充值失败");
const QString kNetworkFailed = QStringLiteral("网络异常，连接失败");
const QString kPasswordHidden = QStringLiteral("密码不可查看，输入新密码可重设");
// Lead the top-level error report of a listing that failed.
const QString kAccountsFailed = QStringLiteral("读取子账户列表失败");
const QString kChargesFailed = QStringLiteral("读取充值记录失败");

// The columns of the sub-account list that the page reads: the two grid
// columns and the six detail fields. A reseller may hold a hundred thousand
// sub-accounts; holding only these keeps the full load well under a second.
const QStringList kAccountColumns{QStringLiteral("customername"), QStringLiteral("smscount"),
                                  QStringLiteral("password"),     QStringLiteral("customergrade"),
                                  QStringLiteral("telphone"),     QStringLiteral("address")};

const QString kAllAccountsSql = QStringLiteral("select * from customers  where parentname=:customerName");
const QString kSearchAccountsSql =
    QStringLiteral("select * from customers  where parentname=:parentname and customerName like :pattern");

// A recharge listing: every column of the rows, and the recharge time once
// more as text in a fixed form that the server writes, whatever the client
// library makes of a DATETIME (see takeTimeText).
const QString kChargeTimeText = QStringLiteral("chargeTimeText");
QString chargeSelect(const QString& where)
{
    return QStringLiteral("select *,") + ServerTimeText(QStringLiteral("chargeTime")) +
           QStringLiteral(" as ") + kChargeTimeText + QStringLiteral(" from charge where ") + where;
}

} // namespace

TaccountMgrFrm::TaccountMgrFrm(QWidget* parent) : TWorkPage(parent)
{
    setObjectName(QStringLiteral("TaccountMgrFrm"));
    accounts_ = new TAccountRows({{QStringLiteral("customername"), QStringLiteral("账户")},
                                  {QStringLiteral("smscount"), QStringLiteral("条数")}},
                                 this);
    charges_ = new TAccountRows({{QStringLiteral("customername"), QStringLiteral("账户")},
                                 {QStringLiteral("remainwhencharge"), QStringLiteral("充值时余额")},
                                 {QStringLiteral("chargepoint"), QStringLiteral("本次充值数")},
                                 {QStringLiteral("contributor"), QStringLiteral("充值人")},
                                 {QStringLiteral("chargetime"), QStringLiteral("充值时间")}},
                                this);
    buildUi();
}

TaccountMgrFrm::~TaccountMgrFrm() = default;

void TaccountMgrFrm::buildUi()
{
    auto named = [](auto* w, const char* name) {
        w->setObjectName(QLatin1String(name));
        return w;
    };
    auto toolButton = [&](const char* name, const QString& text) {
        auto* b = named(new QToolButton(this), name);
        b->setText(text);
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        return b;
    };
    auto grid = [&](QTableView* v) {
        v->setEditTriggers(QAbstractItemView::NoEditTriggers);
        v->setSelectionBehavior(QAbstractItemView::SelectRows);
        v->setSelectionMode(QAbstractItemView::SingleSelection);
        v->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        v->verticalHeader()->setDefaultSectionSize(v->fontMetrics().height() + 6);
        v->verticalHeader()->hide();
        v->setWordWrap(false);
        v->horizontalHeader()->setStretchLastSection(true); // the columns fill the grid's width
    };

    // toolbar
    edtFilterValue = named(new QLineEdit(this), "edtFilterValue");
    btnAccountFilter = toolButton("btnAccountFilter", QStringLiteral("模糊查询"));
    btnAll = toolButton("btnAll", QStringLiteral("全部子账户"));
    btnAddAccount = toolButton("btnAddAccount", QStringLiteral("添加子帐户"));
    auto* toolbar = new QHBoxLayout;
    toolbar->addWidget(new QLabel(QStringLiteral("查询内容"), this));
    toolbar->addWidget(edtFilterValue);
    toolbar->addWidget(btnAccountFilter);
    toolbar->addWidget(btnAll);
    toolbar->addWidget(btnAddAccount);
    toolbar->addStretch(1);

    // sub-account list
    lblAccountCnt = named(new QLabel(kNoCount, this), "lblAccountCnt");
    dgAccount = named(new QTableView(this), "dgAccount");
    grid(dgAccount);
    dgAccount->setModel(accounts_);
    auto* left = new QVBoxLayout;
    left->addWidget(lblAccountCnt);
    left->addWidget(dgAccount, 1);

    // detail fields
    edtUser = named(new QLineEdit(this), "edtUser");
    edtUser->setEnabled(false);
    edtPwd = named(new QLineEdit(this), "edtPwd");
    MakePasswordField(edtPwd);
    btnEditPwd = named(new QPushButton(QStringLiteral("修改密码"), this), "btnEditPwd");
    edtGrade = named(new QLineEdit(this), "edtGrade");
    edtGrade->setEnabled(false);
    edtCount = named(new QLineEdit(this), "edtCount");
    edtCount->setEnabled(false);
    edtCharge = named(new QLineEdit(this), "edtCharge");
    btnCharge = named(new QPushButton(QStringLiteral("充值"), this), "btnCharge");
    edtPhone = named(new QLineEdit(this), "edtPhone");
    edtAddr = named(new QLineEdit(this), "edtAddr");
    btnEditAddr = named(new QPushButton(QStringLiteral("修改电话、地址"), this), "btnEditAddr");
    // The buttons get room around their captions and stand beside their fields.
    // The fields have one readable width, the address field twice that; a wide
    // window leaves the rest of the row empty.
    for (QPushButton* b : {btnEditPwd, btnCharge, btnEditAddr})
        b->setMinimumWidth(b->fontMetrics().horizontalAdvance(b->text()) + 2 * b->fontMetrics().height());
    const int fieldWidth = 3 * edtPhone->sizeHint().width() / 2;
    for (QLineEdit* e : {edtUser, edtPwd, edtGrade, edtCount, edtCharge, edtPhone})
        e->setFixedWidth(fieldWidth);
    edtAddr->setFixedWidth(2 * fieldWidth);
    auto* detail = new QGridLayout;
    int row = 0;
    auto addRow = [&](const QString& label, QLineEdit* edit, QPushButton* button) {
        detail->addWidget(new QLabel(label, this), row, 0);
        auto* line = new QHBoxLayout;
        line->addWidget(edit);
        if (button)
            line->addWidget(button);
        line->addStretch(1);
        detail->addLayout(line, row, 1);
        ++row;
    };
    addRow(QStringLiteral("帐户"), edtUser, nullptr);
    addRow(QStringLiteral("密码"), edtPwd, btnEditPwd);
    addRow(QStringLiteral("级别"), edtGrade, nullptr);
    addRow(QStringLiteral("条数"), edtCount, nullptr);
    addRow(QStringLiteral("充资条数"), edtCharge, btnCharge);
    addRow(QStringLiteral("电话"), edtPhone, nullptr);
    addRow(QStringLiteral("地址"), edtAddr, btnEditAddr);
    detail->setRowStretch(row, 1);
    detail->setColumnStretch(1, 1);

    auto* middle = new QHBoxLayout;
    middle->addLayout(left, 1);
    middle->addLayout(detail, 2);

    // recharge records
    grpChargeDetail = named(new QGroupBox(QStringLiteral("充值记录明细"), this), "grpChargeDetail");
    btnDetailFilter = toolButton("btnDetailFilter", QStringLiteral("按时间过滤"));
    edtStartDate = named(new QDateEdit(this), "edtStartDate");
    edtEndDate = named(new QDateEdit(this), "edtEndDate");
    for (QDateEdit* d : {edtStartDate, edtEndDate}) {
        d->setCalendarPopup(true);
        d->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
        d->setDate(QDate::currentDate());
    }
    btnChargeDetail = toolButton("btnChargeDetail", QStringLiteral("按子帐号查询"));
    edtCustomer = named(new QLineEdit(this), "edtCustomer");
    lblDetailCnt = named(new QLabel(kNoCount, this), "lblDetailCnt");
    dgChargeDetail = named(new QTableView(this), "dgChargeDetail");
    grid(dgChargeDetail);
    dgChargeDetail->setModel(charges_);
    auto* detailBar = new QHBoxLayout;
    detailBar->addWidget(btnDetailFilter);
    detailBar->addWidget(edtStartDate);
    detailBar->addWidget(new QLabel(QStringLiteral("到"), this));
    detailBar->addWidget(edtEndDate);
    detailBar->addWidget(btnChargeDetail);
    detailBar->addWidget(edtCustomer);
    detailBar->addStretch(1);
    auto* groupLayout = new QVBoxLayout(grpChargeDetail);
    groupLayout->addLayout(detailBar);
    groupLayout->addWidget(lblDetailCnt);
    groupLayout->addWidget(dgChargeDetail, 1);

    auto* page = new QVBoxLayout(this);
    page->addLayout(toolbar);
    page->addLayout(middle, 1);
    page->addWidget(grpChargeDetail, 1);

    connect(btnAll, &QToolButton::clicked, this, &TaccountMgrFrm::btnAllClick);
    connect(btnAccountFilter, &QToolButton::clicked, this, &TaccountMgrFrm::btnAccountFilterClick);
    connect(btnAddAccount, &QToolButton::clicked, this, &TaccountMgrFrm::btnAddAccountClick);
    connect(dgAccount->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
        if (!loading_)
            ClientDataSet1AfterScroll();
    });
    connect(dgAccount, &QTableView::doubleClicked, this, &TaccountMgrFrm::dgAccountDblClick);
    // A change handler only enables its button; a row change disables all three.
    connect(edtPwd, &QLineEdit::textChanged, this, [this] { btnEditPwd->setEnabled(true); });
    connect(edtCharge, &QLineEdit::textChanged, this, [this] { btnCharge->setEnabled(true); });
    connect(edtPhone, &QLineEdit::textChanged, this, [this] { btnEditAddr->setEnabled(true); });
    connect(edtAddr, &QLineEdit::textChanged, this, [this] { btnEditAddr->setEnabled(true); });
    connect(btnEditPwd, &QPushButton::clicked, this, &TaccountMgrFrm::btnEditPwdClick);
    connect(btnEditAddr, &QPushButton::clicked, this, &TaccountMgrFrm::btnEditAddrClick);
    connect(btnCharge, &QPushButton::clicked, this, &TaccountMgrFrm::btnChargeClick);
    connect(btnChargeDetail, &QToolButton::clicked, this, &TaccountMgrFrm::btnChargeDetailClick);
    connect(btnDetailFilter, &QToolButton::clicked, this, &TaccountMgrFrm::btnDetailFilterClick);
}

// --- page hooks ---

void TaccountMgrFrm::InitPage()
{
    edtStartDate->setDate(QDate::currentDate());
    edtEndDate->setDate(QDate::currentDate());
    btnAllClick();
}

void TaccountMgrFrm::AfterLogin()
{
    setAccountRows({});
    listLoaded_ = false;
    accountSql_.clear();
    accountParams_.clear();
    lblAccountCnt->setText(kNoCount);
    ClearDetail();
    edtCharge->clear();
    charges_->clear();
    lblDetailCnt->setText(kNoCount);
    edtCustomer->clear();
    btnAllClick();
}

// --- sub-account list ---

bool TaccountMgrFrm::ListEmpty() const
{
    return accounts_->rowCount() == 0;
}

bool TaccountMgrFrm::HasCurrentAccount() const
{
    return listLoaded_ && !ListEmpty() && CurrentRow() >= 0;
}

int TaccountMgrFrm::CurrentRow() const
{
    const QModelIndex i = dgAccount->currentIndex();
    return i.isValid() ? i.row() : -1;
}

QString TaccountMgrFrm::currentValue(const QString& column) const
{
    return accounts_->value(CurrentRow(), accounts_->column(column)).toString();
}

void TaccountMgrFrm::setAccountRows(TRows rows)
{
    const TFlagScope loading(loading_);
    accounts_->setRows(std::move(rows));
    setupAccountColumns();
}

void TaccountMgrFrm::setupAccountColumns()
{
    for (int c = 0; c < accounts_->columnCount(); ++c)
        dgAccount->setColumnHidden(c, !accounts_->shown(c));
}

void TaccountMgrFrm::setupChargeColumns()
{
    for (int c = 0; c < charges_->columnCount(); ++c)
        dgChargeDetail->setColumnHidden(c, !charges_->shown(c));
}

// Closes the list, runs the statement and, when it succeeds, takes its rows
// with the first one current. A failure leaves the list closed.
bool TaccountMgrFrm::openAccounts(const QString& sql, const TSqlParams& params)
{
    setAccountRows({});
    listLoaded_ = false;
    TRows rows;
    QSqlError err;
    if (!fetchRows(sql, params, kAccountColumns, rows, err)) {
        ReportError(DbFailureReport(kAccountsFailed, err));
        return false;
    }
    accountSql_ = sql;
    accountParams_ = params;
    listLoaded_ = true;
    lblAccountCnt->setText(kCountPrefix + QString::number(rows.rows));
    setAccountRows(std::move(rows));
    showAccountRows();
    return true;
}

// Makes the first row current and fills the details from it (or empties them).
void TaccountMgrFrm::showAccountRows()
{
    if (!ListEmpty()) {
        const TFlagScope loading(loading_);
        dgAccount->setCurrentIndex(
            accounts_->index(0, qMax(0, accounts_->column(QStringLiteral("customername")))));
        dgAccount->scrollToTop();
    }
    ClientDataSet1AfterScroll();
}

void TaccountMgrFrm::btnAllClick()
{
    if (!RequireLogin())
        return;
    openAccounts(kAllAccountsSql, {{QStringLiteral("customerName"), Para.UserName}});
}

void TaccountMgrFrm::btnAccountFilterClick()
{
    if (!RequireLogin())
        return;
    // The typed text, blanks included, only ever travels as a bound value.
    openAccounts(
        kSearchAccountsSql,
        {{QStringLiteral("parentname"), Para.UserName},
         {QStringLiteral("pattern"), QString(QLatin1Char('%') + edtFilterValue->text() + QLatin1Char('%'))}});
}

void TaccountMgrFrm::RefreshAccounts()
{
    if (!listLoaded_)
        return;
    TRows rows;
    QSqlError err;
    if (!fetchRows(accountSql_, accountParams_, kAccountColumns, rows, err)) {
        // The grid keeps the rows it showed.
        ReportError(DbFailureReport(kAccountsFailed, err));
        return;
    }
    setAccountRows(std::move(rows));
    // An empty result leaves the detail fields as they were.
    if (!ListEmpty())
        showAccountRows();
}

void TaccountMgrFrm::ClearDetail()
{
    edtUser->clear();
    edtPwd->clear();
    edtCount->clear();
    edtGrade->clear();
    edtPhone->clear();
    edtAddr->clear();
}

void TaccountMgrFrm::ClientDataSet1AfterScroll()
{
    if (ListEmpty()) {
        ClearDetail();
        return;
    }
    if (CurrentRow() < 0)
        return;
    edtUser->setText(currentValue(QStringLiteral("customername")));
    edtPwd->setText(currentValue(QStringLiteral("password")));
    // A hardened database shows no password: one can only be set anew.
    edtPwd->setPlaceholderText(DM && DM->Hardened() ? kPasswordHidden : QString());
    edtCount->setText(currentValue(QStringLiteral("smscount")));
    edtGrade->setText(currentValue(QStringLiteral("customerGrade")));
    edtPhone->setText(currentValue(QStringLiteral("telphone")));
    edtAddr->setText(currentValue(QStringLiteral("address")));
    edtCharge->clear();
    btnEditPwd->setEnabled(false);
    btnEditAddr->setEnabled(false);
    btnCharge->setEnabled(false);
}

void TaccountMgrFrm::dgAccountDblClick()
{
    if (!HasCurrentAccount())
        return;
    edtCustomer->setText(currentValue(QStringLiteral("customername")));
}

void TaccountMgrFrm::btnAddAccountClick()
{
    if (ShowNewUserDialog(Para.UserName, Para.Grade))
        RefreshAccounts();
}

// --- changes of the current sub-account ---

bool TaccountMgrFrm::RunUpdate(bool ok, const QString& failText)
{
    // A change on a closed connection opens it first; when that fails, the
    // change fails with its own message.
    if (!ok) {
        const QString why = DM ? DM->RefusalText() : QString();
        ShowError(why.isEmpty() ? failText : why, QStringLiteral("修改失败"));
    }
    return ok;
}

void TaccountMgrFrm::btnEditPwdClick()
{
    if (!HasCurrentAccount())
        return;
    // The password is stored as typed, blanks included.
    if (RunUpdate(DM && DM->SetSubAccountPassword(currentValue(QStringLiteral("customername")), edtPwd->text()),
                  QStringLiteral("修改密码失败")))
        RefreshAccounts();
}

void TaccountMgrFrm::btnEditAddrClick()
{
    if (!HasCurrentAccount())
        return;
    if (RunUpdate(DM && DM->SetSubAccountContact(currentValue(QStringLiteral("customername")),
                                                 TrimCtl(edtPhone->text()), TrimCtl(edtAddr->text())),
                  QStringLiteral("修改电话、地址失败")))
        RefreshAccounts();
}

bool ParseChargeAmount(const QString& text, int& amount)
{
    const QString t = TrimCtl(text);
    qsizetype i = 0;
    bool negative = false;
    if (i < t.size() && (t.at(i) == QLatin1Char('+') || t.at(i) == QLatin1Char('-'))) {
        negative = t.at(i) == QLatin1Char('-');
        ++i;
    }
    int base = 10;
    if (i < t.size() &&
        (t.at(i) == QLatin1Char('$') || t.at(i) == QLatin1Char('x') || t.at(i) == QLatin1Char('X'))) {
        base = 16;
        ++i;
    } else if (i + 1 < t.size() && t.at(i) == QLatin1Char('0') &&
               (t.at(i + 1) == QLatin1Char('x') || t.at(i + 1) == QLatin1Char('X'))) {
        base = 16;
        i += 2;
    }
    if (i >= t.size())
        return false;
    const qint64 limit = qint64(std::numeric_limits<int>::max()) + 1; // magnitude of the smallest value
    qint64 v = 0;
    for (; i < t.size(); ++i) {
        const char16_t c = t.at(i).unicode();
        int d = -1;
        if (c >= u'0' && c <= u'9')
            d = c - u'0';
        else if (base == 16 && c >= u'a' && c <= u'f')
            d = c - u'a' + 10;
        else if (base == 16 && c >= u'A' && c <= u'F')
            d = c - u'A' + 10;
        if (d < 0)
            return false;
        v = v * base + d;
        if (v > limit)
            return false;
    }
    if (negative)
        v = -v;
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return false;
    amount = int(v);
    return true;
}

void TaccountMgrFrm::btnChargeClick()
{
    if (!HasCurrentAccount())
        return;
    int amount = 0;
    if (!ParseChargeAmount(edtCharge->text(), amount)) {
        ShowError(QStringLiteral("充资数不能为空，且只能为整数"), kChargeCaption);
        return;
    }
    if (!DM)
        return;
    qint64 ownBalance = 0;
    if (!DM->TryGetBalance(Para.UserName, ownBalance)) {
        ShowError(kNetworkFailed, kChargeCaption);
        return;
    }
    const QString name = currentValue(QStringLiteral("customername"));
    qint64 subBalance = 0;
    if (!DM->TryGetBalance(name, subBalance)) {
        ShowError(kNetworkFailed, kChargeCaption);
        return;
    }
    const qint64 amt = amount;
    if ((amt > 0 && amt > ownBalance) || (amt < 0 && -amt > subBalance)) {
        ShowError(QStringLiteral("账户余额不足"), kChargeCaption);
        return;
    }
    if (!DM->Recharge(Para.UserName, name, amount)) {
        const QString why = DM->RefusalText();
        ShowError(why.isEmpty() ? QStringLiteral("充值失败") : why, kChargeCaption);
        return;
    }
    ShowInfo(QStringLiteral("充值成功"), QStringLiteral("充值成功"));
    edtCount->clear();
    RefreshAccounts();
    HostRefreshBalance();
}

// --- recharge records ---

QDateTime TaccountMgrFrm::ChargeTimeBound(bool isStart) const
{
    return isStart ? PeriodStart(edtStartDate->date()) : PeriodEnd(edtEndDate->date());
}

void TaccountMgrFrm::showChargeRows(const QString& sql, const TSqlParams& params)
{
    charges_->clear();
    TRows rows;
    QSqlError err;
    if (!fetchRows(sql, params, {}, rows, err)) {
        ReportError(DbFailureReport(kChargesFailed, err));
        return;
    }
    takeTimeText(rows, QStringLiteral("chargeTime"), kChargeTimeText);
    lblDetailCnt->setText(kCountPrefix + QString::number(rows.rows));
    charges_->setRows(std::move(rows));
    setupChargeColumns();
    const int timeCol = charges_->column(QStringLiteral("chargeTime"));
    if (timeCol >= 0)
        dgChargeDetail->resizeColumnToContents(timeCol);
}

void TaccountMgrFrm::btnChargeDetailClick()
{
    if (!listLoaded_ || ListEmpty())
        return;
    showChargeRows(chargeSelect(QStringLiteral("customerName=:customerName")),
                   {{QStringLiteral("customerName"), TrimCtl(edtCustomer->text())}});
}

void TaccountMgrFrm::btnDetailFilterClick()
{
    if (!listLoaded_)
        return;
    showChargeRows(chargeSelect(QStringLiteral("contributor=:contributor") + QLatin1Char('\n') +
                                QStringLiteral(" and chargeTime<=:endtime and chargeTime>=:starttime")),
                   {{QStringLiteral("starttime"), ChargeTimeBound(true)},
                    {QStringLiteral("endtime"), ChargeTimeBound(false)},
                    {QStringLiteral("contributor"), Para.UserName}});
}

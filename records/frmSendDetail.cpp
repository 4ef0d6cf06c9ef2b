#include "records/frmSendDetail.h"

#include "app/uDataType.h"
#include "app/uUi.h"
#include "app/uUiQt.h"
#include "data/uDM.h"
#include "data/uDbFailure.h"
#include "data/uWallClock.h"
#include "records/uSendRecordModel.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QStyle>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

// The listing. The grid reads it in packets (see TSendRecordModel), which
// append an ordering and a limit, and for every later packet the position
// after which it continues; the conditions below stay as they are.
// The submission time comes as text in a fixed form that the server writes,
// whatever the client library makes of a DATETIME; the rows are ordered and
// continued by the column itself.
const QString kSelect = QStringLiteral("select submitid,content,customerName,") +
                        ServerTimeText(QStringLiteral("submittime")) +
                        QStringLiteral(" as submittimetext,phonecount,msgcount "
                                       "from  submit where customerName=:customerName");
// The same rows counted: the count of the listing without reading its rows.
const QString kCount = QStringLiteral("select count(*) from  submit where customerName=:customerName");
const QString kPeriod = QStringLiteral("\n and submittime<=:endtime and submittime>=:starttime");
// Leads the top-level error report of a listing that failed.
const QString kReadFailed = QStringLiteral("读取发送记录失败");

QToolButton* toolButton(QWidget* parent, const char* name, const QString& caption, QStyle::StandardPixmap pic)
{
    auto* b = new QToolButton(parent);
    b->setObjectName(QLatin1String(name));
    b->setText(caption);
    b->setIcon(parent->style()->standardIcon(pic));
    b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    b->setAutoRaise(true);
    return b;
}

QDateEdit* dateField(QWidget* parent, const char* name)
{
    auto* e = new QDateEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setCalendarPopup(true);
    e->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    return e;
}

} // namespace

TsendDetailFrm::TsendDetailFrm(QWidget* parent) : TWorkPage(parent)
{
    setObjectName(QStringLiteral("TsendDetailFrm"));

    auto* strip = new QHBoxLayout;
    btnChargeDetail = toolButton(this, "btnChargeDetail", QStringLiteral("发送记录明细"),
                                 QStyle::SP_FileDialogDetailedView);
    chkFilterByTime = new QCheckBox(QStringLiteral("按时间段过滤"), this);
    chkFilterByTime->setObjectName(QStringLiteral("chkFilterByTime"));
    chkFilterByTime->setVisible(false); // only holds whether the last listing was filtered
    edtStartDate = dateField(this, "edtStartDate");
    Label10 = new QLabel(QStringLiteral("    到   "), this);
    Label10->setObjectName(QStringLiteral("Label10"));
    edtEndDate = dateField(this, "edtEndDate");
    btnFilter =
        toolButton(this, "btnFilter", QStringLiteral("按时间过滤"), QStyle::SP_FileDialogContentsView);
    strip->addWidget(btnChargeDetail);
    strip->addWidget(chkFilterByTime);
    strip->addWidget(edtStartDate);
    strip->addWidget(Label10);
    strip->addWidget(edtEndDate);
    strip->addWidget(btnFilter);
    strip->addStretch(1);

    lblRecCnt = new QLabel(QStringLiteral("记录条数"), this);
    lblRecCnt->setObjectName(QStringLiteral("lblRecCnt"));

    model_ = new TSendRecordModel(this);
    dgChargeDetail = new QTableView(this);
    dgChargeDetail->setObjectName(QStringLiteral("dgChargeDetail"));
    dgChargeDetail->setModel(model_);
    dgChargeDetail->setEditTriggers(QAbstractItemView::NoEditTriggers);
    dgChargeDetail->setSelectionBehavior(QAbstractItemView::SelectRows);
    dgChargeDetail->setSelectionMode(QAbstractItemView::SingleSelection);
    dgChargeDetail->setWordWrap(false);
    dgChargeDetail->verticalHeader()->setDefaultSectionSize(dgChargeDetail->fontMetrics().height() + 6);
    dgChargeDetail->setColumnWidth(TSendRecordModel::colCustomerName, 80);
    dgChargeDetail->setColumnWidth(TSendRecordModel::colContent, 500);
    // A submission time is read whole, and the text sent takes what a wide window has to spare.
    dgChargeDetail->setColumnWidth(
        TSendRecordModel::colSubmitTime,
        dgChargeDetail->fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) + 16);
    dgChargeDetail->horizontalHeader()->setStretchLastSection(true);

    auto* page = new QVBoxLayout(this);
    page->addLayout(strip);
    page->addWidget(lblRecCnt);
    page->addWidget(dgChargeDetail, 1);

    connect(btnChargeDetail, &QToolButton::clicked, this, &TsendDetailFrm::btnChargeDetailClick);
    connect(btnFilter, &QToolButton::clicked, this, &TsendDetailFrm::btnFilterClick);
    // toggled fires only when the state really changes.
    connect(chkFilterByTime, &QCheckBox::toggled, this, &TsendDetailFrm::chkFilterByTimeClick);
    connect(model_, &TSendRecordModel::fetchFailed, this,
            [](const QSqlError& err) { ReportError(DbFailureReport(kReadFailed, err)); });
}

void TsendDetailFrm::InitPage()
{
    const QDate today = QDate::currentDate();
    edtStartDate->setDate(today);
    edtEndDate->setDate(today);
}

void TsendDetailFrm::AfterLogin()
{
    model_->Clear();
}

void TsendDetailFrm::btnChargeDetailClick()
{
    chkFilterByTime->setChecked(false);
    LoadRecords();
}

void TsendDetailFrm::btnFilterClick()
{
    chkFilterByTime->setChecked(true);
    LoadRecords();
}

void TsendDetailFrm::chkFilterByTimeClick(bool checked)
{
    edtStartDate->setEnabled(checked);
    edtEndDate->setEnabled(checked);
}

QDateTime TsendDetailFrm::SendTimeBound(TTimeBound bound) const
{
    return bound == TTimeBound::Start ? PeriodStart(edtStartDate->date()) : PeriodEnd(edtEndDate->date());
}

void TsendDetailFrm::LoadRecords()
{
    if (!RequireLogin())
        return;
    model_->Clear();

    TBusyCursor busy;
    QString select = kSelect;
    QString count = kCount;
    TSqlParams params{{QStringLiteral("customerName"), Para.UserName}};
    if (chkFilterByTime->isChecked()) {
        select += kPeriod;
        count += kPeriod;
        params << TSqlParam{QStringLiteral("starttime"), SendTimeBound(TTimeBound::Start)}
               << TSqlParam{QStringLiteral("endtime"), SendTimeBound(TTimeBound::End)};
    }
    QSqlError err;
    // The count goes into the label before the grid shows the rows.
    const auto showCount = [this](qint64 total) {
        lblRecCnt->setText(QStringLiteral("记录个数:  ") + QString::number(total));
    };
    if (!model_->Open(select, count, params, nullptr, &err, showCount)) {
        busy.release();
        ReportError(DbFailureReport(kReadFailed, err));
    }
}

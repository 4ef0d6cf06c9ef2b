#pragma once
// The send records page: lists the batches the logged-in customer submitted,
// all of them or those of a period of days.

#include "app/uWorkPage.h"

#include <QDateTime>

class QCheckBox;
class QDateEdit;
class QLabel;
class QTableView;
class QToolButton;
class TSendRecordModel;

class TsendDetailFrm : public TWorkPage
{
    Q_OBJECT
public:
    enum class TTimeBound { Start, End };

    explicit TsendDetailFrm(QWidget* parent = nullptr);
    void InitPage() override;
    void AfterLogin() override;

    // Runs the listing, filtered by the period when chkFilterByTime is checked.
    void LoadRecords();
    // Start: the start day at 00:00:00; end: the end day at 23:59:59. Both
    // inclusive, as the server's wall clock (data/uWallClock.h).
    QDateTime SendTimeBound(TTimeBound bound) const;

    TSendRecordModel* Model() const { return model; }

    QToolButton* btnChargeDetail = nullptr;
    QCheckBox* chkFilterByTime = nullptr;
    QDateEdit* edtStartDate = nullptr;
    QLabel* Label10 = nullptr;
    QDateEdit* edtEndDate = nullptr;
    QToolButton* btnFilter = nullptr;
    QLabel* lblRecCnt = nullptr;
    QTableView* dgChargeDetail = nullptr;

private:
    void btnChargeDetailClick();
    void btnFilterClick();
    void chkFilterByTimeClick(bool checked);

    TSendRecordModel* model = nullptr;
};

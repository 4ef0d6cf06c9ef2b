// The send records page against a real server.
#include "app/uDataType.h"
#include "data/uDM.h"
#include "data/uWallClock.h"
#include "records/frmSendDetail.h"
#include "records/uSendRecordModel.h"
#include "tests/support/DmFixture.h"
#include "tests/support/FakeUi.h"
#include "tests/support/SystemLocale.h"
#include "tests/support/ZoneScope.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QSet>
#include <QSignalSpy>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableView>
#include <QToolButton>
#include <QtTest>

#include <ctime>

class TstSendDetail : public QObject, TDmFixture
{
    Q_OBJECT
    std::unique_ptr<FakeUi> ui;
    std::unique_ptr<TsendDetailFrm> page;

    // One batch of customer name submitted at time ("yyyy-MM-dd hh:mm:ss").
    void addBatch(int id, const QString& name, const QString& time,
                  const QString& content = QStringLiteral("内容"))
    {
        QString err;
        QVERIFY2(server.exec(
                     QStringLiteral("insert into submit(submitid,phones,testPhones,content,customername,"
                                    "submittime,phonecount,msgcount) values(?,'13800000000\n','',?,?,?,1,1)"),
                     {id, content, name, time}, &err),
                 qPrintable(err));
    }
    QTableView* grid() const { return page->dgChargeDetail; }
    TSendRecordModel* model() const { return page->Model(); }
    // Submit ids shown by the grid, top to bottom.
    QList<int> shownIds() const
    {
        QList<int> ids;
        for (int r = 0; r < model()->rowCount(); ++r)
            ids << model()->index(r, TSendRecordModel::colSubmitId).data().toInt();
        return ids;
    }
    void setDates(const QDate& start, const QDate& end)
    {
        page->edtStartDate->setDate(start);
        page->edtEndDate->setDate(end);
    }
    // Scrolls the grid down until the model has nothing more to fetch.
    void scrollToEnd()
    {
        for (int guard = 0; guard < 10000 && model()->canFetchMore(QModelIndex()); ++guard) {
            grid()->scrollToBottom();
            QCoreApplication::processEvents();
        }
    }

    // n batches of name, one a second from 2024-03-10 00:00:01, ids from firstId on.
    void addBatches(const QString& name, int firstId, int n)
    {
        SQL_EXEC(server,
                 QStringLiteral("insert into submit(submitid,phones,testPhones,content,customername,"
                                "submittime,phonecount,msgcount) select %1+seq,'','',concat('%2 ',seq),"
                                "'%2','2024-03-10 00:00:00' + interval seq second,1,1 from seq_1_to_%3")
                     .arg(firstId - 1)
                     .arg(name)
                     .arg(n));
    }
    // Customer names shown by the grid, every row read (dropped packets read again).
    QSet<QString> shownNames() const
    {
        QSet<QString> names;
        for (int r = 0; r < model()->rowCount(); ++r)
            names << model()->index(r, TSendRecordModel::colCustomerName).data().toString();
        return names;
    }

private slots:
    void initTestCase() { QVERIFY2(startServer(), qPrintable(server.error())); }
    void init()
    {
        QVERIFY(freshModule()); // empty tables, empty Para, a new DM
        ui = std::make_unique<FakeUi>();
        logIn(QStringLiteral("alice"));
        page = std::make_unique<TsendDetailFrm>();
        page->InitPage();
        page->resize(900, 500);
        page->show();
        QVERIFY(QTest::qWaitForWindowExposed(page.get()));
    }
    void cleanup()
    {
        page.reset();
        ui.reset();
        dropModule();
    }

    void layoutAndInitialState()
    {
        QCOMPARE(page->findChild<QToolButton*>(QStringLiteral("btnChargeDetail"))->text(),
                 QStringLiteral("发送记录明细"));
        QCOMPARE(page->findChild<QToolButton*>(QStringLiteral("btnFilter"))->text(),
                 QStringLiteral("按时间过滤"));
        QVERIFY(!page->btnChargeDetail->icon().isNull());
        QVERIFY(!page->btnFilter->icon().isNull());
        QCOMPARE(page->findChild<QLabel*>(QStringLiteral("Label10"))->text(), QStringLiteral("    到   "));
        QCOMPARE(page->findChild<QCheckBox*>(QStringLiteral("chkFilterByTime"))->text(),
                 QStringLiteral("按时间段过滤"));
        QVERIFY(!page->chkFilterByTime->isVisible());
        QVERIFY(!page->chkFilterByTime->isChecked());
        QCOMPARE(page->findChild<QLabel*>(QStringLiteral("lblRecCnt"))->text(), QStringLiteral("记录条数"));
        QCOMPARE(page->edtStartDate->date(), QDate::currentDate());
        QCOMPARE(page->edtEndDate->date(), QDate::currentDate());
        QVERIFY(page->edtStartDate->isEnabled() && page->edtEndDate->isEnabled());
        QVERIFY(page->edtStartDate->calendarPopup());

        QTableView* g = page->findChild<QTableView*>(QStringLiteral("dgChargeDetail"));
        QVERIFY(g);
        QCOMPARE(g->editTriggers(), QAbstractItemView::NoEditTriggers);
        const QStringList captions{QStringLiteral("流水号"),   QStringLiteral("账号"),
                                   QStringLiteral("提交时间"), QStringLiteral("号码个数"),
                                   QStringLiteral("信息条数"), QStringLiteral("发送内容")};
        QCOMPARE(g->model()->columnCount(), 6);
        for (int c = 0; c < 6; ++c)
            QCOMPARE(g->model()->headerData(c, Qt::Horizontal).toString(), captions.at(c));
        QCOMPARE(g->columnWidth(1), 80);
        QCOMPARE(g->columnWidth(5), 500);
        QCOMPARE(g->model()->rowCount(), 0);
    }

    void noBatchesCountsZero()
    {
        addBatch(1, QStringLiteral("bob"), QStringLiteral("2024-03-10 10:00:00"));
        page->btnChargeDetail->click();
        QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  0"));
        QCOMPARE(model()->rowCount(), 0);
        QCOMPARE(ui->count(), 0);
    }

    void listsOnlyTheCustomersBatches_data()
    {
        QTest::addColumn<QString>("loginName");
        QTest::newRow("as stored") << QStringLiteral("alice");
        QTest::newRow("other letter case") << QStringLiteral("ALICE");
        QTest::newRow("mixed case") << QStringLiteral("aLiCe");
    }
    void listsOnlyTheCustomersBatches()
    {
        QFETCH(QString, loginName);
        addBatch(11, QStringLiteral("alice"), QStringLiteral("2024-03-10 10:00:00"),
                 QStringLiteral("第一批"));
        addBatch(12, QStringLiteral("bob"), QStringLiteral("2024-03-10 10:30:00"));
        addBatch(13, QStringLiteral("Alice"), QStringLiteral("2024-03-11 09:00:00"),
                 QStringLiteral("第二批"));
        addBatch(14, QStringLiteral("alice2"), QStringLiteral("2024-03-11 09:30:00"));
        addBatch(15, QStringLiteral("ali"), QStringLiteral("2024-03-11 09:40:00"));
        logIn(loginName);
        page->btnChargeDetail->click();
        QCOMPARE(ui->count(), 0);
        QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  2"));
        QCOMPARE(shownIds(), (QList<int>{11, 13}));
        auto cell = [&](int r, int c) { return model()->index(r, c).data().toString(); };
        QCOMPARE(cell(0, TSendRecordModel::colCustomerName), QStringLiteral("alice"));
        QCOMPARE(cell(0, TSendRecordModel::colSubmitTime), QStringLiteral("2024-03-10 10:00:00"));
        QCOMPARE(cell(0, TSendRecordModel::colPhoneCount), QStringLiteral("1"));
        QCOMPARE(cell(0, TSendRecordModel::colMsgCount), QStringLiteral("1"));
        QCOMPARE(cell(0, TSendRecordModel::colContent), QStringLiteral("第一批"));
        QCOMPARE(cell(1, TSendRecordModel::colContent), QStringLiteral("第二批"));
    }

    void periodBoundsAreWholeDays_data()
    {
        QTest::addColumn<QDate>("start");
        QTest::addColumn<QDate>("end");
        QTest::addColumn<QList<int>>("ids");
        QTest::newRow("one day") << QDate(2024, 3, 10) << QDate(2024, 3, 10) << QList<int>{2, 3, 4};
        QTest::newRow("two days") << QDate(2024, 3, 9) << QDate(2024, 3, 10) << QList<int>{1, 2, 3, 4};
        QTest::newRow("day without batches") << QDate(2024, 3, 12) << QDate(2024, 3, 12) << QList<int>{};
        QTest::newRow("start after end") << QDate(2024, 3, 11) << QDate(2024, 3, 9) << QList<int>{};
    }
    void periodBoundsAreWholeDays()
    {
        QFETCH(QDate, start);
        QFETCH(QDate, end);
        QFETCH(QList<int>, ids);
        addBatch(1, QStringLiteral("alice"), QStringLiteral("2024-03-09 23:59:59"));
        addBatch(2, QStringLiteral("alice"), QStringLiteral("2024-03-10 00:00:00"));
        addBatch(3, QStringLiteral("alice"), QStringLiteral("2024-03-10 12:00:00"));
        addBatch(4, QStringLiteral("alice"), QStringLiteral("2024-03-10 23:59:59"));
        addBatch(5, QStringLiteral("alice"), QStringLiteral("2024-03-11 00:00:00"));
        addBatch(6, QStringLiteral("bob"), QStringLiteral("2024-03-10 12:00:00"));
        setDates(start, end);
        page->btnFilter->click();
        QCOMPARE(ui->count(), 0);
        QVERIFY(page->chkFilterByTime->isChecked());
        QCOMPARE(shownIds(), ids);
        QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  ") + QString::number(ids.size()));
    }

    // A leap day starts at midnight; the last day of a year ends at 23:59:59.
    // Run again under a system locale with its own date format and digits
    // (tests/records/CMakeLists.txt): the end bound's fixed form does not change.
    void timeBoundsOfLeapDayAndYearEnd()
    {
        verifySystemLocale();
        setDates(QDate(2024, 2, 29), QDate(2024, 12, 31));
        const QDateTime s = page->SendTimeBound(TsendDetailFrm::TTimeBound::Start);
        const QDateTime e = page->SendTimeBound(TsendDetailFrm::TTimeBound::End);
        QCOMPARE(s, WallClock(QDate(2024, 2, 29), QTime(0, 0, 0)));
        QCOMPARE(e, WallClock(QDate(2024, 12, 31), QTime(23, 59, 59)));
    }

    void dateFieldsFollowTheFilterState()
    {
        auto enabled = [&] { return page->edtStartDate->isEnabled() && page->edtEndDate->isEnabled(); };
        auto disabled = [&] { return !page->edtStartDate->isEnabled() && !page->edtEndDate->isEnabled(); };
        page->btnChargeDetail->click(); // unchecked already: nothing changes
        QVERIFY(enabled());
        page->btnChargeDetail->click();
        QVERIFY(enabled());
        page->btnFilter->click();
        QVERIFY(enabled());
        page->btnChargeDetail->click(); // after a filtered listing
        QVERIFY(disabled());
        QVERIFY(!page->chkFilterByTime->isChecked());
        page->btnChargeDetail->click();
        QVERIFY(disabled());
        page->btnFilter->click();
        QVERIFY(enabled());
        QCOMPARE(ui->count(), 0);
    }

    void unfilteredListingAfterFilteredListsAll()
    {
        addBatch(1, QStringLiteral("alice"), QStringLiteral("2020-01-01 08:00:00"));
        addBatch(2, QStringLiteral("alice"), QStringLiteral("2024-03-10 08:00:00"));
        setDates(QDate(2024, 3, 10), QDate(2024, 3, 10));
        page->btnFilter->click();
        QCOMPARE(shownIds(), QList<int>{2});
        page->btnChargeDetail->click();
        QCOMPARE(shownIds(), (QList<int>{1, 2}));
        QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  2"));
    }

    void afterLoginEmptiesGridKeepsLabel()
    {
        addBatch(1, QStringLiteral("alice"), QStringLiteral("2024-03-10 08:00:00"));
        addBatch(2, QStringLiteral("alice"), QStringLiteral("2024-03-10 09:00:00"));
        setDates(QDate(2024, 3, 10), QDate(2024, 3, 10));
        page->btnFilter->click();
        page->btnChargeDetail->click();
        QCOMPARE(model()->rowCount(), 2);
        logIn(QStringLiteral("bob"));
        page->AfterLogin();
        QCOMPARE(model()->rowCount(), 0);
        QCOMPARE(grid()->model()->rowCount(), 0);
        QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  2"));
        QVERIFY(!page->chkFilterByTime->isChecked());
        QVERIFY(!page->edtStartDate->isEnabled());
        QCOMPARE(page->edtStartDate->date(), QDate(2024, 3, 10));
        QCOMPARE(ui->count(), 0);
    }

    void countShownBeforeTheRows()
    {
        addBatches(QStringLiteral("alice"), 1, 3);
        QStringList labelAtReset;
        connect(model(), &QAbstractItemModel::modelReset, this, [&] {
            labelAtReset << page->lblRecCnt->text() + QLatin1Char('/') + QString::number(model()->rowCount());
        });
        page->btnChargeDetail->click();
        // Emptied first (label as before), then the rows come after the new count.
        QVERIFY(labelAtReset.size() >= 2);
        QCOMPARE(labelAtReset.first(), QStringLiteral("记录条数/0"));
        QCOMPARE(labelAtReset.last(), QStringLiteral("记录个数:  3/3"));
    }

    void notLoggedInRefuses()
    {
        addBatch(1, QStringLiteral("alice"), QStringLiteral("2024-03-10 08:00:00"));
        page->btnChargeDetail->click();
        Para.LoggedIn = false;
        for (QToolButton* b : {page->btnChargeDetail, page->btnFilter}) {
            ui->clear();
            b->click();
            QCOMPARE(ui->count(), 1);
            QCOMPARE(ui->last().text, QStringLiteral("数据库未连接，提交失败"));
            QCOMPARE(ui->last().caption, QStringLiteral("发送失败"));
            QCOMPARE(ui->last().icon, TMsgIcon::Error);
            QCOMPARE(ui->last().buttons, TMsgButtons::Ok);
            QVERIFY(!ui->last().topLevelError);
        }
        // Nothing else changes: the earlier listing stays.
        QCOMPARE(model()->rowCount(), 1);
        QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  1"));
    }

    void databaseErrorGoesToTopLevelReport()
    {
        addBatch(1, QStringLiteral("alice"), QStringLiteral("2024-03-10 08:00:00"));
        page->btnChargeDetail->click();
        QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  1"));
        SQL_EXEC(server, QStringLiteral("rename table submit to submit_gone"));
        page->btnFilter->click();
        SQL_EXEC(server, QStringLiteral("rename table submit_gone to submit"));
        QCOMPARE(ui->count(), 1);
        QVERIFY(ui->last().topLevelError);
        QCOMPARE(ui->last().caption, AppTitle());
        QCOMPARE(ui->last().icon, TMsgIcon::Error);
        // What failed and what to do, in the user's words; the server's text below.
        QVERIFY2(ui->last().text.startsWith(
                     QStringLiteral("读取发送记录失败：数据库服务器拒绝了这次查询，请联系管理员。\n\n")),
                 qPrintable(ui->last().text));
        QVERIFY2(ui->last().text.contains(QStringLiteral("submit")), qPrintable(ui->last().text));
        QCOMPARE(model()->rowCount(), 0);
        QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  1"));
        // The page goes on working.
        page->btnChargeDetail->click();
        QCOMPARE(model()->rowCount(), 1);
    }

    // With the server unreachable the listing's failure reaches the top-level
    // error report, and only that: no connection box of the page's own.
    void unreachableServerGoesToTopLevelReport()
    {
        addBatch(1, QStringLiteral("alice"), QStringLiteral("2024-03-10 08:00:00"));
        page->btnChargeDetail->click();
        QCOMPARE(model()->rowCount(), 1);
        dm->SetServer(server.host(), deadPort());
        page->btnChargeDetail->click();
        QCOMPARE(ui->count(), 1);
        QVERIFY(ui->last().topLevelError);
        QCOMPARE(ui->last().caption, AppTitle());
        QVERIFY2(ui->last().text.startsWith(
                     QStringLiteral("读取发送记录失败：无法连接数据库服务器，请检查网络后重试。\n\n")),
                 qPrintable(ui->last().text));
        QVERIFY2(ui->last().text.contains(QStringLiteral("connect")), qPrintable(ui->last().text));
        QCOMPARE(model()->rowCount(), 0);
        QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  1"));
        dm->SetServer(server.host(), server.port());
        page->btnChargeDetail->click();
        QCOMPARE(ui->count(), 1);
        QCOMPARE(model()->rowCount(), 1);
    }

    void lostConnectionIsReportedAndRecovers()
    {
        addBatch(1, QStringLiteral("alice"), QStringLiteral("2024-03-10 08:00:00"));
        page->btnChargeDetail->click();
        QCOMPARE(model()->rowCount(), 1);
        // The server ends this client's connection.
        QSqlQuery q(dm->conn());
        QVERIFY(q.exec(QStringLiteral("select connection_id()")) && q.next());
        SQL_EXEC(server, QStringLiteral("kill connection %1").arg(q.value(0).toLongLong()));
        q.finish();
        page->btnChargeDetail->click();
        QCOMPARE(ui->count(), 1);
        QVERIFY(ui->last().topLevelError);
        QVERIFY2(ui->last().text.startsWith(
                     QStringLiteral("读取发送记录失败：与数据库服务器的连接中断了，请检查网络后重试。\n\n")),
                 qPrintable(ui->last().text));
        QCOMPARE(model()->rowCount(), 0);
        QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  1"));
        page->btnChargeDetail->click();
        QCOMPARE(ui->count(), 1);
        QCOMPARE(model()->rowCount(), 1);
    }

    void scrollingFetchesEveryRow_data()
    {
        QTest::addColumn<bool>("filtered");
        QTest::addColumn<int>("expected");
        QTest::newRow("all") << false << 4321;
        QTest::newRow("period") << true << 2800;
    }
    void scrollingFetchesEveryRow()
    {
        QFETCH(bool, filtered);
        QFETCH(int, expected);
        // Seven batches share each second, so equal times straddle packet borders.
        SQL_EXEC(server, QStringLiteral("insert into submit(submitid,phones,testPhones,content,customername,"
                                        "submittime,phonecount,msgcount) "
                                        "select 100000-seq,'','',concat('批次',seq),'alice',"
                                        "'2024-03-10 00:00:00' + interval (seq div 7) second,1,1 "
                                        "from seq_1_to_4321"));
        // The first 2800 stay on 2024-03-10, the rest move to the next day.
        SQL_EXEC(server, QStringLiteral("update submit set submittime=submittime + interval 1 day "
                                        "where submitid < 100000-2800"));
        SQL_EXEC(server, QStringLiteral("insert into submit(submitid,phones,testPhones,content,customername,"
                                        "submittime,phonecount,msgcount) "
                                        "select 200000+seq,'','','x','bob','2024-03-10 00:00:05',1,1 "
                                        "from seq_1_to_300"));
        QList<int> want;
        {
            QSqlQuery q(server.admin());
            QVERIFY(q.exec(QStringLiteral("select submitid from submit where customername='alice'") +
                           (filtered ? QStringLiteral(" and submittime<'2024-03-11'") : QString()) +
                           QStringLiteral(" order by submittime,submitid")));
            while (q.next())
                want << q.value(0).toInt();
        }
        QCOMPARE(want.size(), expected);

        setDates(QDate(2024, 3, 10), QDate(2024, 3, 10));
        (filtered ? page->btnFilter : page->btnChargeDetail)->click();
        QCOMPARE(ui->count(), 0);
        QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  ") + QString::number(expected));
        QVERIFY(model()->rowCount() < expected); // not all at once
        QVERIFY(model()->rowCount() >= TSendRecordModel::PacketRows);
        scrollToEnd();
        QCOMPARE(model()->rowCount(), expected);
        QVERIFY(!model()->canFetchMore(QModelIndex()));
        QVERIFY(model()->CachedPacketCount() <= TSendRecordModel::CachedPackets);
        // Every row once, in order; the packets dropped from memory are read again.
        QCOMPARE(shownIds(), want);
        QCOMPARE(model()->index(0, TSendRecordModel::colContent).data().toString(),
                 QStringLiteral("批次") + QString::number(100000 - want.first()));
        QCOMPARE(ui->count(), 0);

        // A later packet starts reading the index at its row, not at the customer's first one.
        QSqlQuery q(server.admin());
        QVERIFY(q.prepare(
            QStringLiteral("explain ") +
            TSendRecordModel::PacketSql(
                QStringLiteral("select submitid,content,customerName,submittime,phonecount,msgcount "
                               "from  submit where customerName=:customerName"),
                false)));
        q.bindValue(QStringLiteral(":customerName"), QStringLiteral("alice"));
        q.bindValue(QStringLiteral(":pagetime"), QDateTime(QDate(2024, 3, 10), QTime(0, 10, 0)));
        q.bindValue(QStringLiteral(":pagetime2"), QDateTime(QDate(2024, 3, 10), QTime(0, 10, 0)));
        q.bindValue(QStringLiteral(":pageid"), 99000);
        QVERIFY2(q.exec() && q.next(), qPrintable(q.lastError().text()));
        QCOMPARE(q.value(QStringLiteral("type")).toString(), QStringLiteral("range"));
        QCOMPARE(q.value(QStringLiteral("key")).toString(), QStringLiteral("ix_submit_customer_time"));
        QVERIFY2(!q.value(QStringLiteral("Extra")).toString().contains(QStringLiteral("filesort")),
                 qPrintable(q.value(QStringLiteral("Extra")).toString()));
    }

    // The service's table may name its indexes otherwise, or lack them: the
    // listing is then read without naming the index, slower but whole.
    void indexUnderAnotherName_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("another name")
            << QStringLiteral("alter table submit drop index ix_submit_customer_time, add index "
                              "idx_cust_time(customername, submittime)");
        QTest::newRow("no secondary index")
            << QStringLiteral("alter table submit drop index ix_submit_customer_time");
    }
    void indexUnderAnotherName()
    {
        QFETCH(QString, change);
        SQL_EXEC(server, change);
        auto restore = qScopeGuard([&] {
            server.exec(QStringLiteral("alter table submit drop index if exists idx_cust_time"));
            server.exec(QStringLiteral("alter table submit add index if not exists "
                                       "ix_submit_customer_time(customername, submittime)"));
        });
        addBatches(QStringLiteral("alice"), 1, 450);
        addBatches(QStringLiteral("bob"), 1001, 50);
        QList<int> want;
        for (int i = 1; i <= 450; ++i)
            want << i;
        for (QToolButton* button : {page->btnChargeDetail, page->btnFilter}) {
            setDates(QDate(2024, 3, 10), QDate(2024, 3, 10));
            button->click();
            QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  450"));
            scrollToEnd();
            QCOMPARE(shownIds(), want);
            QCOMPARE(ui->count(), 0);
        }
    }

    void columnWidthsSurviveListings()
    {
        addBatches(QStringLiteral("alice"), 1, 5);
        page->btnChargeDetail->click();
        QCOMPARE(model()->rowCount(), 5);
        page->AfterLogin();
        page->btnFilter->click();
        QCOMPARE(grid()->horizontalHeader()->count(), 6);
        QCOMPARE(grid()->columnWidth(TSendRecordModel::colCustomerName), 80);
        QCOMPARE(grid()->columnWidth(TSendRecordModel::colContent), 500);
        QVERIFY(!(model()->flags(model()->index(0, 0)) & Qt::ItemIsEditable));
    }

    void keyboardReachesEveryRow_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Ctrl+End") << int(Qt::Key_End) << int(Qt::ControlModifier);
        QTest::newRow("PageDown") << int(Qt::Key_PageDown) << int(Qt::NoModifier);
        QTest::newRow("Down") << int(Qt::Key_Down) << int(Qt::NoModifier);
    }
    void keyboardReachesEveryRow()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        addBatches(QStringLiteral("alice"), 1, 450);
        addBatches(QStringLiteral("bob"), 1001, 50);
        page->btnChargeDetail->click();
        QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  450"));
        grid()->setFocus();
        grid()->setCurrentIndex(model()->index(0, 0));
        for (int guard = 0; guard < 2000 && grid()->currentIndex().row() < 449; ++guard) {
            QTest::keyClick(grid(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
            QCoreApplication::processEvents();
        }
        QCOMPARE(grid()->currentIndex().row(), 449);
        QCOMPARE(grid()->currentIndex().siblingAtColumn(TSendRecordModel::colSubmitId).data().toInt(), 450);
        QCOMPARE(model()->rowCount(), 450);
        // Back to the top: the first packet shows its own rows again.
        QTest::keyClick(grid(), Qt::Key_Home, Qt::ControlModifier);
        QCOMPARE(grid()->currentIndex().row(), 0);
        QCOMPARE(grid()->currentIndex().siblingAtColumn(TSendRecordModel::colSubmitId).data().toInt(), 1);
        QCOMPARE(shownIds().size(), 450);
        QCOMPARE(shownNames(), QSet<QString>{QStringLiteral("alice")});
        QCOMPARE(ui->count(), 0);
    }

    void aTallerGridFetchesUntilFilled()
    {
        addBatches(QStringLiteral("alice"), 1, 1000);
        page->btnChargeDetail->click();
        const int before = model()->rowCount();
        QCOMPARE(before, TSendRecordModel::PacketRows);
        page->resize(900,
                     40 * TSendRecordModel::PacketRows * grid()->verticalHeader()->defaultSectionSize() / 10);
        QTRY_VERIFY(model()->rowCount() > before);
        // The rows loaded now fill the viewport: the last one lies below its bottom edge.
        QTRY_VERIFY(grid()->rowViewportPosition(model()->rowCount() - 1) + 1 > grid()->viewport()->height() ||
                    !model()->canFetchMore(QModelIndex()));
        QCOMPARE(shownIds().first(), 1);
        QCOMPARE(ui->count(), 0);
    }

    void headerClickKeepsTheOrder()
    {
        addBatches(QStringLiteral("alice"), 1, 250);
        page->btnChargeDetail->click();
        scrollToEnd();
        QTest::mouseClick(grid()->horizontalHeader()->viewport(), Qt::LeftButton, {},
                          QPoint(grid()->horizontalHeader()->sectionViewportPosition(0) + 5, 5));
        QList<int> want;
        for (int i = 1; i <= 250; ++i)
            want << i;
        QCOMPARE(shownIds(), want);
    }

    void newListingNeverShowsStaleRows_data()
    {
        QTest::addColumn<bool>("relogin");
        QTest::newRow("re-login, other customer") << true;
        QTest::newRow("new listing, same customer") << false;
    }
    void newListingNeverShowsStaleRows()
    {
        QFETCH(bool, relogin);
        // Enough rows that scrolling to the end drops the first packets from memory.
        const int n = (TSendRecordModel::CachedPackets + 5) * TSendRecordModel::PacketRows + 17;
        addBatches(QStringLiteral("alice"), 1, n);
        addBatches(QStringLiteral("bob"), 100001, 230);
        page->btnChargeDetail->click();
        scrollToEnd();
        QCOMPARE(model()->rowCount(), n);
        QCOMPARE(model()->CachedPacketCount(), TSendRecordModel::CachedPackets);
        grid()->setCurrentIndex(model()->index(n - 1, 0));
        grid()->scrollToTop(); // the first packet is read again: still alice's
        QCOMPARE(model()->index(0, TSendRecordModel::colSubmitId).data().toInt(), 1);

        QSignalSpy resets(model(), &QAbstractItemModel::modelReset);
        if (relogin) {
            logIn(QStringLiteral("bob"));
            page->AfterLogin();
            QCOMPARE(model()->rowCount(), 0);
            QCOMPARE(model()->CachedPacketCount(), 0);
            QVERIFY(!grid()->currentIndex().isValid());
            page->btnChargeDetail->click();
            QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  230"));
            QCOMPARE(model()->index(0, TSendRecordModel::colSubmitId).data().toInt(), 100001);
            scrollToEnd();
            QCOMPARE(model()->rowCount(), 230);
            QCOMPARE(shownNames(), QSet<QString>{QStringLiteral("bob")});
        } else {
            // A period that holds the batches of the first hour only.
            SQL_EXEC(server, QStringLiteral("update submit set submittime=submittime + interval 1 day "
                                            "where customername='alice' and submitid>3600"));
            setDates(QDate(2024, 3, 10), QDate(2024, 3, 10));
            page->btnFilter->click();
            QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  3600"));
            scrollToEnd();
            QCOMPARE(model()->rowCount(), 3600);
            QList<int> want;
            for (int i = 1; i <= 3600; ++i)
                want << i;
            QCOMPARE(shownIds(), want);
        }
        QVERIFY(resets.count() >= 1);
        QCOMPARE(ui->count(), 0);
    }

    // Submission times are the server's wall clock; a local zone with summer
    // time skips an hour (and, in some zones, midnight) that the server's
    // times may well hold.
    void timesTheLocalZoneSkips_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QDate>("day");
        QTest::newRow("hour skipped at 02:00")
            << QByteArray("America/New_York") << QStringLiteral("2024-03-10 01:50:00") << QDate(2024, 3, 10);
        QTest::newRow("midnight skipped")
            << QByteArray("America/Santiago") << QStringLiteral("2024-09-07 23:50:00") << QDate(2024, 9, 8);
    }
    void timesTheLocalZoneSkips()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QString, from);
        QFETCH(QDate, day);
        const TZoneScope tz(zone);
        // 450 batches ten seconds apart, across the skipped hour.
        SQL_EXEC(server, QStringLiteral("insert into submit(submitid,phones,testPhones,content,customername,"
                                        "submittime,phonecount,msgcount) select seq,'','','x','alice',"
                                        "'%1' + interval (seq*10) second,1,1 from seq_1_to_450")
                             .arg(from));
        QList<int> want;
        {
            QSqlQuery q(server.admin());
            QVERIFY(q.exec(QStringLiteral("select submitid from submit where submittime>='%1' and "
                                          "submittime<'%2' order by submitid")
                               .arg(day.toString(Qt::ISODate), day.addDays(1).toString(Qt::ISODate))));
            while (q.next())
                want << q.value(0).toInt();
        }
        QVERIFY(want.size() > TSendRecordModel::PacketRows);

        page->btnChargeDetail->click();
        QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  450"));
        scrollToEnd();
        QCOMPARE(model()->rowCount(), 450);
        for (int r = 0; r < 450; r += 37) {
            const QString shown = model()->index(r, TSendRecordModel::colSubmitTime).data().toString();
            const QString stored =
                server
                    .scalar(QStringLiteral("select date_format(submittime,'%Y-%m-%d %H:%i:%s') "
                                           "from submit where submitid=?"),
                            {r + 1})
                    .toString();
            QCOMPARE(shown, stored);
        }

        setDates(day, day);
        page->btnFilter->click();
        QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  ") + QString::number(want.size()));
        scrollToEnd();
        QCOMPARE(shownIds(), want);
        QCOMPARE(ui->count(), 0);
    }

    void failureWhileScrollingIsReported()
    {
        SQL_EXEC(server, QStringLiteral("insert into submit(submitid,phones,testPhones,content,customername,"
                                        "submittime,phonecount,msgcount) select seq,'','','x','alice',"
                                        "'2024-03-10 00:00:00' + interval seq second,1,1 from seq_1_to_450"));
        page->btnChargeDetail->click();
        const int before = model()->rowCount();
        QVERIFY(before < 450);
        SQL_EXEC(server, QStringLiteral("rename table submit to submit_gone"));
        scrollToEnd();
        QTRY_COMPARE(ui->count(), 1);
        SQL_EXEC(server, QStringLiteral("rename table submit_gone to submit"));
        QVERIFY(ui->last().topLevelError);
        QVERIFY2(ui->last().text.startsWith(
                     QStringLiteral("读取发送记录失败：数据库服务器拒绝了这次查询，请联系管理员。\n\n")),
                 qPrintable(ui->last().text));
        QVERIFY(!model()->canFetchMore(QModelIndex()));
        QCOMPARE(model()->rowCount(), before);
        QCOMPARE(page->lblRecCnt->text(), QStringLiteral("记录个数:  450"));
    }
};

QTEST_MAIN(TstSendDetail)
#include "tst_senddetail.moc"

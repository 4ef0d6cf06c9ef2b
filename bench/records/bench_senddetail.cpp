// The send records page against a customer with 1,000,000 batches.
//
//   bench_senddetail [batches]
//
// Starts a throwaway database server, fills it (INSERT ... SELECT from the
// Sequence engine), then times a click on "发送记录明细" until the count and the
// first rows are on the screen, for the whole listing and for a period, and
// reports the resident memory after the listing and after scrolling to the end.
#include "app/uDataType.h"
#include "app/uUi.h"
#include "data/uDM.h"
#include "records/frmSendDetail.h"
#include "records/uSendRecordModel.h"
#include "tests/support/TestServer.h"

#include <QApplication>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QScrollBar>
#include <QSqlQuery>
#include <QTableView>
#include <QToolButton>
#include <algorithm>
#include <cstdio>

namespace {

double vmRssMiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return -1;
}

void print(const char* fmt, auto... args)
{
    std::printf(fmt, args...);
    std::fflush(stdout);
}

// Click to count and first rows painted, in milliseconds.
double timeClick(TsendDetailFrm& page, QToolButton* button)
{
    QElapsedTimer t;
    t.start();
    button->click();
    page.dgChargeDetail->viewport()->repaint(); // the visible rows are read and painted
    QCoreApplication::processEvents();
    return t.nsecsElapsed() / 1e6;
}

void explain(TestServer& server, const QString& sql)
{
    QSqlQuery q(server.admin());
    if (!q.exec(QStringLiteral("explain ") + sql))
        return;
    while (q.next())
        print("    explain: type=%s key=%s rows=%s extra=%s\n",
              qPrintable(q.value(QStringLiteral("type")).toString()),
              qPrintable(q.value(QStringLiteral("key")).toString()),
              qPrintable(q.value(QStringLiteral("rows")).toString()),
              qPrintable(q.value(QStringLiteral("Extra")).toString()));
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int batches = argc > 1 ? std::max(1, atoi(argv[1])) : 1000000;

    TestServer server(
        {QStringLiteral("--innodb-log-file-size=512M"), QStringLiteral("--innodb-buffer-pool-size=1536M")});
    if (!server.start()) {
        print("cannot start the server: %s\n", qPrintable(server.error()));
        return 1;
    }
    QElapsedTimer fill;
    fill.start();
    QString err;
    // Content of about 250 characters, Chinese and Latin mixed.
    const QString insert = QStringLiteral(
        "insert into submit(submitid,phones,testPhones,content,customername,submittime,phonecount,msgcount) "
        "select "
        "seq+%1,'13800000000\n13900000000\n','',concat('批次',seq,'：',repeat('"
        "尊敬的客户您好，本周末全场八折 Sale ',12)),"
        "'%2','2023-01-01 00:00:00' + interval (seq*%3) second,2,4 from seq_1_to_%4");
    if (!server.exec(QStringLiteral("insert into customers(customername,password,smscount) "
                                    "values('alice','pw',0),('bob','pw',0)"),
                     &err) ||
        !server.exec(insert.arg(0).arg(QStringLiteral("alice")).arg(31).arg(batches), &err) ||
        !server.exec(insert.arg(batches).arg(QStringLiteral("bob")).arg(97).arg(std::max(1, batches / 10)),
                     &err) ||
        !server.exec(QStringLiteral("analyze table submit"), &err)) {
        print("fill failed: %s\n", qPrintable(err));
        return 1;
    }
    print("filled %d batches for alice (+%d for bob) in %.1f s; table data %.0f MiB\n", batches,
          std::max(1, batches / 10), fill.elapsed() / 1000.0,
          server
              .scalar(QStringLiteral("select data_length/1048576 from information_schema.tables "
                                     "where table_schema='sms' and table_name='submit'"))
              .toDouble());

    TDM dm;
    dm.SetServer(server.host(), server.port());
    DM = &dm;
    if (!dm.EnsureConnected()) {
        print("cannot connect\n");
        return 1;
    }
    Para.UserName = QStringLiteral("alice");
    Para.LoggedIn = true;

    TsendDetailFrm page;
    page.InitPage();
    page.resize(1200, 700);
    page.show();
    QCoreApplication::processEvents();
    print("VmRSS before any listing: %.1f MiB\n", vmRssMiB());

    explain(server, QStringLiteral("select count(*) from  submit where customerName='alice'"));
    {
        // A packet from the middle of the listing, as the grid reads it.
        QString sql = TSendRecordModel::PacketSql(
            QStringLiteral("select submitid,content,customerName,submittime,phonecount,msgcount from  submit "
                           "where customerName=:customerName"),
            false);
        sql.replace(QStringLiteral(":customerName"), QStringLiteral("'alice'"))
            .replace(QStringLiteral(":pagetime2"), QStringLiteral("'2023-06-01'"))
            .replace(QStringLiteral(":pagetime"), QStringLiteral("'2023-06-01'"))
            .replace(QStringLiteral(":pageid"), QStringLiteral("5"));
        explain(server, sql);
    }

    for (int i = 0; i < 5; ++i) {
        const double ms = timeClick(page, page.btnChargeDetail);
        print("click 发送记录明细 #%d: %.1f ms to count and first rows (%s, %d rows in the grid)\n", i + 1,
              ms, qPrintable(page.lblRecCnt->text()), page.Model()->rowCount());
    }
    // Where the time of a click goes: the count and the first packet alone.
    for (const QString& sql :
         {QStringLiteral("select count(*) from  submit where customerName='alice'"),
          QStringLiteral("select submitid,content,customerName,submittime,phonecount,msgcount from  submit "
                         "where customerName='alice' order by submittime,submitid limit 100")}) {
        QList<double> times;
        for (int i = 0; i < 3; ++i) {
            QElapsedTimer t;
            t.start();
            QSqlQuery q(dm.conn());
            q.setForwardOnly(true);
            if (!q.exec(sql))
                break;
            while (q.next())
                q.value(0).toString();
            times << t.nsecsElapsed() / 1e6;
        }
        QStringList shown;
        for (double ms : times)
            shown << QString::number(ms, 'f', 1);
        print("  %s...: %s ms\n", qPrintable(sql.left(40)), qPrintable(shown.join(QStringLiteral(" / "))));
    }
    // A period of about half the batches.
    page.edtStartDate->setDate(QDate(2023, 6, 1));
    page.edtEndDate->setDate(QDate(2023, 12, 31));
    for (int i = 0; i < 3; ++i) {
        const double ms = timeClick(page, page.btnFilter);
        print("click 按时间过滤 #%d: %.1f ms (%s)\n", i + 1, ms, qPrintable(page.lblRecCnt->text()));
    }
    timeClick(page, page.btnChargeDetail);
    print("VmRSS after the listing: %.1f MiB\n", vmRssMiB());

    // Scroll to the end: the grid asks for the next packet whenever its scroll
    // bar reaches the bottom. Painting a screen of rows costs more than reading
    // a packet, so only every 100th step goes through the grid and paints; the
    // others make the grid's own call.
    QElapsedTimer scroll;
    scroll.start();
    TSendRecordModel* model = page.Model();
    double slowestFetch = 0;
    double fetchTotal = 0;
    int fetches = 0;
    for (int step = 0; model->canFetchMore(QModelIndex()); ++step) {
        if (step % 100 == 0) {
            page.dgChargeDetail->scrollToBottom();
            QCoreApplication::processEvents();
            continue;
        }
        QElapsedTimer one;
        one.start();
        model->fetchMore(QModelIndex());
        const double ms = one.nsecsElapsed() / 1e6;
        slowestFetch = std::max(slowestFetch, ms);
        fetchTotal += ms;
        ++fetches;
    }
    page.dgChargeDetail->scrollToBottom();
    page.dgChargeDetail->viewport()->repaint();
    QCoreApplication::processEvents();
    print("scrolled to the end: %d rows of %lld in %.1f s (packet read: mean %.2f ms, slowest %.1f ms; "
          "%d packets held)\n",
          model->rowCount(), model->Total(), scroll.elapsed() / 1000.0, fetches ? fetchTotal / fetches : 0.0,
          slowestFetch, model->CachedPacketCount());
    print("VmRSS after scrolling to the end: %.1f MiB\n", vmRssMiB());

    // Jump back to the top: dropped packets are read again.
    QElapsedTimer back;
    back.start();
    page.dgChargeDetail->scrollToTop();
    page.dgChargeDetail->viewport()->repaint();
    QCoreApplication::processEvents();
    print("back to the top: %.1f ms; first row %s\n", back.nsecsElapsed() / 1e6,
          qPrintable(model->index(0, TSendRecordModel::colSubmitId).data().toString()));

    DM = nullptr;
    return 0;
}

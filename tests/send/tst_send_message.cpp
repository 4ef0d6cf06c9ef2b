// The message editor's count and the send operation against a real server.
#include "app/uDataType.h"
#include "app/uPageHost.h"
#include "data/uDM.h"
#include "send/frmSend.h"
#include "send/uPhoneList.h"
#include "tests/support/DmFixture.h"
#include "tests/support/FakeUi.h"
#include "tests/support/SystemLocale.h"

#include <QApplication>
#include <QDateEdit>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QTimer>
#include <QtTest>
#include <memory>

namespace {
const QString Ask = QStringLiteral("请确认发送内容和号码无误，确定要发送么？");
} // namespace

class TstSendMessage : public QObject, TDmFixture
{
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<FakeUi> ui;
    std::unique_ptr<TSendFrm> page;

    qint64 balance()
    {
        return server.scalar(QStringLiteral("select smscount from customers where customername='alice'"))
            .toLongLong();
    }
    qint64 submits() { return server.scalar(QStringLiteral("select count(*) from submit")).toLongLong(); }
    void setBalance(qint64 b)
    {
        SQL_EXEC(server,
                 QStringLiteral("update customers set smscount=%1 where customername='alice'").arg(b));
    }
    // A test number, a hand-entered one and an imported one.
    void threeNumbers()
    {
        page->inputPhones = [](QStringList*& l) {
            *l = QStringList{QStringLiteral("13900000002")};
            return true;
        };
        page->inputTestPhones = [](QStringList*& l) {
            *l = QStringList{QStringLiteral("13900000001")};
            return true;
        };
        const QString path = dir.filePath(QStringLiteral("n.txt"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("13900000003\r\n");
        f.close();
        ui->files << path;
        page->BtnLoadPhone->click();
        page->BtnInsetPhone->click();
        page->BtnInput->click();
        QCOMPARE(page->PhoneModel()->count(), 3);
    }
    void verifyIdle()
    {
        QVERIFY(page->btnSend->isEnabled());
        QVERIFY(page->btnBookingSend->isEnabled());
        QVERIFY(!page->lblSendInfo->isVisible());
        QVERIFY(!QApplication::overrideCursor());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY2(startServer(), qPrintable(server.error()));
    }
    void init()
    {
        QVERIFY(server.start()); // again after a test that stopped it
        QVERIFY(freshModule());
        addCustomer({.name = QStringLiteral("alice"), .password = QStringLiteral("pw"), .balance = 1000});
        logIn(QStringLiteral("alice"));
        Para.BookingNotice = QStringLiteral("预约须知");
        ui = std::make_unique<FakeUi>();
        page = std::make_unique<TSendFrm>();
        page->resize(900, 600);
        page->show();
        page->InitPage();
    }
    void cleanup()
    {
        page.reset();
        ui.reset();
        dropModule();
        Para = TPara();
    }

    void initialState()
    {
        QCOMPARE(page->edtDate->date(), QDate::currentDate());
        QVERIFY(qAbs(page->edtTime->time().secsTo(QTime::currentTime())) < 5);
        QCOMPARE(page->lblBookingNotice->text(), QStringLiteral("预约须知"));
        QCOMPARE(page->lblContentCnt->text(), QStringLiteral("0"));
        QCOMPARE(page->MsgCount(), 0);
        QVERIFY(!page->lblSendInfo->isVisible());
        QVERIFY(!page->Timer1->isActive());
        QCOMPARE(page->st->value(), 0);
    }

    void count_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("segments");
        const QString more = QStringLiteral("，信息超过70个字，将分");
        QTest::newRow("empty") << QString() << "0" << 0;
        QTest::newRow("70 Chinese") << QString(70, QChar(u'中')) << "70" << 1;
        QTest::newRow("70 Latin") << QString(70, QLatin1Char('a')) << "70" << 1;
        QTest::newRow("71") << QString(71, QChar(u'中'))
                            << (QStringLiteral("71") + more + QStringLiteral("2条发送.")) << 2;
        QTest::newRow("140") << QString(140, QLatin1Char('x'))
                             << (QStringLiteral("140") + more + QStringLiteral("2条发送.")) << 2;
        QTest::newRow("141") << QString(141, QLatin1Char('x'))
                             << (QStringLiteral("141") + more + QStringLiteral("3条发送.")) << 3;
        QTest::newRow("two lines of 35")
            << QString(35, QChar(u'中')) + QLatin1Char('\n') + QString(35, QLatin1Char('b'))
            << (QStringLiteral("71") + more + QStringLiteral("2条发送.")) << 2;
        QTest::newRow("lone line break") << QStringLiteral("\n") << "1" << 1;
        QTest::newRow("spaces count") << QStringLiteral("  a  ") << "5" << 1;
    }
    void count()
    {
        QFETCH(QString, text);
        QFETCH(QString, label);
        QFETCH(int, segments);
        page->EdtMessage->setPlainText(QStringLiteral("something"));
        page->EdtMessage->setPlainText(text);
        QCOMPARE(page->lblContentCnt->text(), label);
        QCOMPARE(page->MsgCount(), segments);
    }

    void countFollowsTyping()
    {
        page->EdtMessage->setPlainText(QString(70, QLatin1Char('a')));
        page->EdtMessage->moveCursor(QTextCursor::End);
        QTest::keyClick(page->EdtMessage, Qt::Key_B);
        QCOMPARE(page->MsgCount(), 2);
        QTest::keyClick(page->EdtMessage, Qt::Key_Backspace);
        QCOMPARE(page->lblContentCnt->text(), QStringLiteral("70"));
        QCOMPARE(page->MsgCount(), 1);
    }

    void answerNoSendsNothing()
    {
        threeNumbers();
        page->EdtMessage->setPlainText(QStringLiteral("hi"));
        ui->questionAnswer = TMsgResult::No;
        page->btnSend->click();
        QCOMPARE(ui->texts(), QStringList{Ask});
        QCOMPARE(ui->last().caption, QStringLiteral("提示"));
        QCOMPARE(ui->last().buttons, TMsgButtons::YesNo);
        QCOMPARE(ui->last().icon, TMsgIcon::Question);
        QCOMPARE(ui->last().defaultButton, TMsgResult::No);
        QCOMPARE(host.refreshes, 1);
        QCOMPARE(submits(), 0);
        verifyIdle();
    }

    void refusalOrder_data()
    {
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<bool>("numbers");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("not logged in first") << false << false << QString() << "数据库未连接，提交失败";
        QTest::newRow("numbers before message") << true << false << QString() << "接收号码不能为空";
        QTest::newRow("message empty") << true << true << QString() << "发送内容不能为空";
        QTest::newRow("balance") << true << true << QString(70 * 400, QLatin1Char('x'))
                                 << "账户余额不足，请充值后再发送";
    }
    void refusalOrder()
    {
        QFETCH(bool, loggedIn);
        QFETCH(bool, numbers);
        QFETCH(QString, message);
        QFETCH(QString, refusal);
        if (numbers)
            threeNumbers();
        page->EdtMessage->setPlainText(message);
        Para.LoggedIn = loggedIn;
        const QStringList phones = Para.Phones, tests = Para.TestPhones;
        ui->shown.clear();
        page->btnBookingSend->click();
        QCOMPARE(ui->texts(), (QStringList{Ask, refusal}));
        QCOMPARE(ui->last().caption, QStringLiteral("发送失败"));
        QCOMPARE(ui->last().icon, TMsgIcon::Error);
        QCOMPARE(host.refreshes, 1);
        QCOMPARE(submits(), 0);
        QCOMPARE(balance(), 1000);
        QCOMPARE(Para.Phones, phones);
        QCOMPARE(Para.TestPhones, tests);
        QCOMPARE(page->PhoneModel()->count(), numbers ? 3 : 0);
        verifyIdle();
    }

    void blankMessageIsNotEmpty()
    {
        threeNumbers();
        page->EdtMessage->setPlainText(QStringLiteral(" \n"));
        page->btnSend->click();
        QCOMPARE(ui->texts(), (QStringList{Ask, QStringLiteral("信息提交成功")}));
        QCOMPARE(balance(), 1000 - 3 * 1);
    }

    void balanceExactlyEnough()
    {
        threeNumbers();
        page->EdtMessage->setPlainText(QString(71, QChar(u'中')));
        setBalance(5);
        page->btnSend->click();
        QCOMPARE(ui->last().text, QStringLiteral("账户余额不足，请充值后再发送"));
        QCOMPARE(balance(), 5);
        setBalance(6);
        ui->shown.clear();
        page->btnSend->click();
        QCOMPARE(ui->texts(), (QStringList{Ask, QStringLiteral("信息提交成功")}));
        QCOMPARE(ui->last().caption, QStringLiteral("发送成功"));
        QCOMPARE(ui->last().icon, TMsgIcon::Information);
        QCOMPARE(balance(), 0);
        QCOMPARE(host.refreshes, 2);
    }

    void largeBalanceIn64Bits()
    {
        threeNumbers();
        page->EdtMessage->setPlainText(QStringLiteral("x"));
        setBalance(5000000000LL);
        page->btnSend->click();
        QCOMPARE(ui->last().text, QStringLiteral("信息提交成功"));
        QCOMPARE(balance(), 5000000000LL - 3);
    }

    void sendStoresBatch()
    {
        threeNumbers();
        const QString text = QString(35, QChar(u'中')) + QLatin1Char('\n') + QString(35, QLatin1Char('b'));
        page->EdtMessage->setPlainText(text);
        const QDateTime before = server.scalar(QStringLiteral("select now()")).toDateTime();
        page->btnSend->click();
        QCOMPARE(ui->texts(), (QStringList{Ask, QStringLiteral("信息提交成功")}));
        QCOMPARE(balance(), 1000 - 6);
        QCOMPARE(submits(), 1);
        QSqlQuery q(server.admin());
        QVERIFY(q.exec(
            QStringLiteral("select phones,testPhones,content,phonecount,msgcount,submittime,customername "
                           "from submit")));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("13900000003\n13900000001\n13900000002\n"));
        QCOMPARE(q.value(1).toString(), QStringLiteral("13900000001\n13900000002\n"));
        QCOMPARE(q.value(2).toString(), text);
        QCOMPARE(q.value(3).toInt(), 3);
        QCOMPARE(q.value(4).toInt(), 2);
        const QDateTime stored = q.value(5).toDateTime();
        QVERIFY(qAbs(before.secsTo(stored)) <= 5);
        QCOMPARE(q.value(6).toString(), QStringLiteral("alice"));
        verifyIdle();
        // Nothing is cleared; a second click sends the same batch again.
        QCOMPARE(page->PhoneModel()->count(), 3);
        QCOMPARE(page->EdtMessage->toPlainText(), text);
        page->btnSend->click();
        QCOMPARE(submits(), 2);
        QCOMPARE(balance(), 1000 - 12);
        QCOMPARE(host.refreshes, 2);
    }

    // A batch whose first line begins with a byte-order mark is stored with
    // it, in the numbers of the batch as in the hand-entered ones.
    void firstLineWithByteOrderMarkStoredAsEntered()
    {
        const QString marked = QChar(0xFEFF) + QStringLiteral("13900000001");
        page->inputPhones = [&](QStringList*& l) {
            *l = QStringList{marked, QStringLiteral("13900000002")};
            return true;
        };
        page->BtnInput->click();
        page->EdtMessage->setPlainText(QStringLiteral("hello"));
        page->btnSend->click();
        QCOMPARE(ui->last().text, QStringLiteral("信息提交成功"));
        QSqlQuery q(server.admin());
        QVERIFY(q.exec(QStringLiteral("select hex(phones),hex(testPhones),phonecount from submit")));
        QVERIFY(q.next());
        const QString stored = QString::fromLatin1((marked + QStringLiteral("\n13900000002\n")).toUtf8().toHex().toUpper());
        QVERIFY(stored.startsWith(QLatin1String("EFBBBF")));
        QCOMPARE(q.value(0).toString(), stored);
        QCOMPARE(q.value(1).toString(), stored);
        QCOMPARE(q.value(2).toInt(), 2);
        QCOMPARE(balance(), 1000 - 2);
    }

    void bookedSendStoresTime()
    {
        threeNumbers();
        page->EdtMessage->setPlainText(QStringLiteral("hello"));
        page->edtDate->setDate(QDate(2011, 3, 5));
        page->edtTime->setTime(QTime(8, 30, 0));
        page->btnBookingSend->click();
        QCOMPARE(ui->last().text, QStringLiteral("信息提交成功"));
        QCOMPARE(
            server.scalar(QStringLiteral("select date_format(appointtime,'%Y-%m-%d %H:%i:%s') from submit"))
                .toString(),
            QStringLiteral("2011-03-05 08:30:00"));
        QCOMPARE(balance(), 1000 - 3);
    }

    // An evening booking is written on the 24-hour clock; an immediate send does
    // not take the booking fields' time. Run again under a system locale with
    // its own time format and digits (tests/send/CMakeLists.txt).
    void bookedTimeOn24HourClock()
    {
        verifySystemLocale();
        threeNumbers();
        page->EdtMessage->setPlainText(QStringLiteral("hello"));
        page->edtDate->setDate(QDate(2011, 12, 31));
        page->edtTime->setTime(QTime(20, 5, 9));
        page->btnBookingSend->click();
        QCOMPARE(ui->last().text, QStringLiteral("信息提交成功"));
        QCOMPARE(
            server.scalar(QStringLiteral("select date_format(appointtime,'%Y-%m-%d %H:%i:%s') from submit"))
                .toString(),
            QStringLiteral("2011-12-31 20:05:09"));
        // An immediate send does not take the booking fields' time.
        page->btnSend->click();
        QCOMPARE(submits(), 2);
        QCOMPARE(
            server
                .scalar(QStringLiteral("select count(*) from submit where appointtime='2011-12-31 20:05:09'"))
                .toInt(),
            1);
    }

    // The result box comes while the page is still submitting; no list or send
    // button acts until it is closed.
    void resultShownWhileSubmitting()
    {
        threeNumbers();
        page->EdtMessage->setPlainText(QStringLiteral("hello"));
        page->inputPhones = [](QStringList*& l) {
            *l = QStringList{QStringLiteral("15000000000")};
            return true;
        };
        bool submitting = false;
        ui->onMessage = [&](const TUiMessage& m) {
            if (m.text != QStringLiteral("信息提交成功"))
                return;
            submitting = !page->btnSend->isEnabled() && !page->btnBookingSend->isEnabled() &&
                         page->lblSendInfo->isVisibleTo(page.get()) && QApplication::overrideCursor() &&
                         QApplication::overrideCursor()->shape() == Qt::WaitCursor;
            page->BtnInput->click();
            page->btnClear->click();
        };
        page->btnSend->click();
        QVERIFY(submitting);
        QCOMPARE(page->PhoneModel()->count(), 3);
        QCOMPARE(Para.Phones, QStringList{QStringLiteral("13900000002")});
        verifyIdle();
        QCOMPARE(host.refreshes, 1);
    }

    // A customer whose balance cannot be read has a balance of 0: the batch is refused.
    void unreadableBalanceRefuses()
    {
        threeNumbers();
        page->EdtMessage->setPlainText(QStringLiteral("hello"));
        Para.UserName = QStringLiteral("nobody");
        page->btnSend->click();
        QCOMPARE(ui->texts(), (QStringList{Ask, QStringLiteral("账户余额不足，请充值后再发送")}));
        QCOMPARE(submits(), 0);
        verifyIdle();
    }

    // With the server gone the balance cannot be read: the send ends after the
    // connection box, without telling a customer with credit to recharge.
    void lostConnectionEndsAfterItsBox()
    {
        SKIP_UNLESS_OWN_SERVERS();
        threeNumbers();
        page->EdtMessage->setPlainText(QStringLiteral("hello"));
        server.stop();
        page->btnSend->click();
        QCOMPARE(ui->texts(), (QStringList{Ask, QStringLiteral("网络异常，数据库连接失败")}));
        QCOMPARE(ui->last().caption, QStringLiteral("连接异常"));
        QCOMPARE(host.refreshes, 1);
        verifyIdle();
        QVERIFY(server.start());
        QCOMPARE(balance(), 1000);
        QCOMPARE(submits(), 0);
    }

    void refusalToldInTheDataModulesWords()
    {
        // A batch too big for the server's packet limit: the user reads why
        // and what to do, and nothing is charged.
        SQL_EXEC(server, "set global max_allowed_packet=131072");
        auto restore =
            qScopeGuard([&] { server.exec(QStringLiteral("set global max_allowed_packet=268435456")); });
        setBalance(100000);
        QStringList many;
        for (int i = 0; i < 6000; ++i)
            many << QStringLiteral("139%1").arg(i, 8, 10, QLatin1Char('0'));
        page->inputPhones = [many](QStringList*& l) {
            *l = many;
            return true;
        };
        page->BtnInput->click();
        QCOMPARE(page->PhoneModel()->count(), 6000);
        page->EdtMessage->setPlainText(QStringLiteral("hello"));
        page->btnSend->click();
        QCOMPARE(ui->last().caption, QStringLiteral("发送失败"));
        QVERIFY2(ui->last().text.contains(QStringLiteral("max_allowed_packet")) &&
                     ui->last().text.contains(QStringLiteral("分成几批")),
                 qPrintable(ui->last().text));
        QCOMPARE(balance(), 100000);
        QCOMPARE(submits(), 0);
        verifyIdle();
    }

    // Last: stops the server in the middle of a send.
    void failedSubmissionChangesNothing()
    {
        SKIP_UNLESS_OWN_SERVERS();
        threeNumbers();
        page->EdtMessage->setPlainText(QStringLiteral("hello"));
        bool sawSubmitting = false;
        // Runs at the first pump of the send, after the balance test.
        QTimer::singleShot(0, this, [&]() {
            sawSubmitting = !page->btnSend->isEnabled() && page->lblSendInfo->isVisibleTo(page.get());
            server.stop();
        });
        page->btnSend->click();
        QVERIFY(sawSubmitting);
        QVERIFY(ui->texts().contains(QStringLiteral("信息提交失败")));
        QCOMPARE(ui->last().text, QStringLiteral("信息提交失败"));
        QCOMPARE(ui->last().caption, QStringLiteral("发送失败"));
        verifyIdle();
        QCOMPARE(host.refreshes, 1);
        QVERIFY(server.start());
        QCOMPARE(balance(), 1000);
        QCOMPARE(submits(), 0);
    }
};

QTEST_MAIN(TstSendMessage)
#include "tst_send_message.moc"

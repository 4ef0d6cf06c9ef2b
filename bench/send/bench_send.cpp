// Benchmarks of the send page: recount on a keystroke, and a million-number send.
#include "app/uDataType.h"
#include "app/uPageHost.h"
#include "bench/send/benchutil.h"
#include "data/uDM.h"
#include "send/frmSend.h"
#include "send/uPhoneList.h"
#include "tests/support/FakeUi.h"
#include "tests/support/TestServer.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {
// The main window's status bar, as far as a send needs it.
class StatusHost final : public TPageHost
{
public:
    QLabel balance;
    void RefreshBalance() override
    {
        qint64 b = 0;
        if (DM && DM->TryGetBalance(Para.UserName, b))
            balance.setText(QString::number(b));
    }
};
} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    FakeUi ui;

    TSendFrm page;
    page.resize(1000, 700);
    page.show();
    page.InitPage();
    (void)QTest::qWaitForWindowExposed(&page);

    {
        // 100,000 characters in lines of 69 and a line feed.
        QString text;
        for (int i = 0; text.size() < 100000; ++i)
            text += QString(69, QChar(u'短')) + QLatin1Char('\n');
        text.truncate(100000);
        page.EdtMessage->setPlainText(text);
        page.EdtMessage->setFocus();
        page.EdtMessage->moveCursor(QTextCursor::End);
        QApplication::processEvents();
        const int keys = 200;
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < keys; ++i)
            QTest::keyClick(page.EdtMessage, i % 2 ? Qt::Key_Backspace : Qt::Key_A);
        const double perKey = msSince(t) / keys;
        QElapsedTimer h;
        h.start();
        for (int i = 0; i < keys; ++i)
            page.EdtMessageChange();
        const double perCount = msSince(h) / keys;
        report("recount on a keystroke in a 100,000-character text (key to label)", perKey, 5);
        std::printf("    the count alone: %.3f ms; label: %s\n", perCount,
                    qPrintable(page.lblContentCnt->text()));
    }

    TestServer server;
    if (!server.start()) {
        std::fprintf(stderr, "no database server: %s\n", qPrintable(server.error()));
        return 1;
    }
    TDM dm;
    dm.SetServer(server.host(), server.port());
    DM = &dm;
    StatusHost host;
    PageHost = &host;
    server.exec(QStringLiteral(
        "insert into customers(customername,password,smscount) values('bench','x',100000000)"));
    Para.UserName = QStringLiteral("bench");
    Para.LoggedIn = true;

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("million.txt"));
    {
        QByteArray bytes;
        for (int i = 0; i < 1000000; ++i) {
            bytes += QByteArray::number(13800000000LL + i);
            bytes += '\n';
        }
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        f.write(bytes);
    }
    ui.files << file;
    page.BtnLoadPhone->click();
    page.inputTestPhones = [](QStringList*& l) {
        *l = QStringList{QStringLiteral("13500000000"), QStringLiteral("13500000001")};
        return true;
    };
    page.BtnInsetPhone->click();
    page.EdtMessage->setPlainText(QString(71, QChar(u'信')));
    dm.EnsureConnected();
    ui.clear();

    QElapsedTimer t;
    t.start();
    page.btnSend->click();
    const double ms = msSince(t);
    const QVariant phonecount = server.scalar(QStringLiteral("select phonecount from submit"));
    report("send 1,000,002-number batch: click to stored row and new balance", ms, 3000);
    std::printf("    stored phonecount %s, balance shown %s, messages: %s (130 ms are fixed pauses)\n",
                qPrintable(phonecount.toString()), qPrintable(host.balance.text()),
                qPrintable(ui.texts().join(QStringLiteral(" / "))));
    PageHost = nullptr;
    DM = nullptr;
    return 0;
}

// Renders the login dialog and the main window with each of its pages into
// PNG files, offscreen, against a throwaway database holding the demo
// customer. Run through scripts/screenshots.sh.
//   korvessa_shots [folder]      (default: shots)
#include "app/MainForm.h"
#include "app/frmLogin.h"
#include "app/uDataType.h"
#include "app/uStatusPanels.h"
#include "data/uDM.h"
#include "tests/support/FakeUi.h"
#include "tests/support/TestServer.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <cstdio>

namespace {
QString g_out;
int g_failures = 0;

void save(QWidget* w, const char* name)
{
    const QString file = QDir(g_out).filePath(QLatin1String(name));
    if (w->grab().save(file)) {
        std::printf("%s\n", qPrintable(file));
    } else {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        ++g_failures;
    }
}

void wait(int ms)
{
    QTest::qWait(ms);
}
} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    g_out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("shots");
    QDir().mkpath(g_out);

    TestServer server;
    if (!server.start() || !server.runFile(QStringLiteral(SMS_SOURCE_DIR "/db/demo.sql"))) {
        std::fprintf(stderr, "database server: %s\n", qPrintable(server.error()));
        return 1;
    }
    TDM dm;
    dm.SetServer(server.host(), server.port());
    DM = &dm;
    FakeUi ui; // anything that would open a message box is recorded and printed below

    // The login dialog, filled in.
    {
        TloginFrm dlg;
        dlg.show();
        dlg.edtUser->setText(QStringLiteral("demo"));
        dlg.edtPwd->setText(QStringLiteral("demo123"));
        wait(50);
        save(&dlg, "login.png");
        dlg.lblInfo->show();
        save(&dlg, "login-checking.png");
    }

    QTemporaryDir tmp;
    TfrmMain::SetIniFileName(tmp.filePath(QStringLiteral("korvessa.ini")));
    TfrmMain w;
    frmMain = &w;
    // The start-up login typed as a user would: name, Enter, password, Enter, Enter.
    QTimer::singleShot(100, &w, [] {
        QWidget* dlg = QApplication::activeModalWidget();
        if (!dlg)
            return;
        QTest::keyClicks(dlg->focusWidget(), QStringLiteral("demo"));
        QTest::keyClick(dlg->focusWidget(), Qt::Key_Return);
        QTest::keyClicks(dlg->focusWidget(), QStringLiteral("demo123"));
        QTest::keyClick(dlg->focusWidget(), Qt::Key_Return);
        QTest::keyClick(dlg->focusWidget(), Qt::Key_Return);
    });
    w.ShowMain();
    if (!Para.LoggedIn) {
        std::fprintf(stderr, "the demo login did not succeed\n");
        return 1;
    }
    wait(4000); // the notice has moved in from the right
    save(&w, "main.png");
    const struct
    {
        QToolButton* button;
        const char* file;
    } pages[] = {{w.btnMgrAcount, "main-accounts.png"},
                 {w.btnBrowInfo, "main-records.png"},
                 {w.btnEditPwd, "main-password.png"}};
    for (const auto& p : pages) {
        p.button->click();
        wait(200);
        save(&w, p.file);
    }
    for (const TUiMessage& m : ui.shown)
        std::fprintf(stderr, "message box [%s] %s\n", qPrintable(m.caption), qPrintable(m.text));

    w.hide();
    frmMain = nullptr;
    DM = nullptr;
    return g_failures == 0 ? 0 : 1;
}

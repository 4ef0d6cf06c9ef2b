// Start-up block: the parameter record exists before anything else (a global),
// then the application with its first title, the main window, the data
// module, and the message loop, whose first act is the main window's show step.
#include "app/MainForm.h"
#include "app/uLanguage.h"
#include "app/uResources.h"
#include "app/uUi.h"
#include "app/uUiQt.h"
#include "data/uDM.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    InstallQtChinese(); // Qt's own texts in Chinese, whatever the system language
    SetAppTitle(QStringLiteral("Orvanta"));
    // The program ends when the main window closes after the exit question, or
    // when the first login is refused; the login dialog closing is no reason.
    QApplication::setQuitOnLastWindowClosed(false);
    InitAppResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/app.png")));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.korvessa.Korvessa")); // its menu entry
    TQtUiSeam seam;
    SetUiSeam(&seam);

    frmMain = new TfrmMain; // title "Korvessa", Timer1 running
    DM = new TDM;           // no database access yet
    QObject::connect(frmMain, &TfrmMain::Closed, &app, [] { QCoreApplication::exit(0); });
    QTimer::singleShot(0, frmMain, &TfrmMain::ShowMain);

    const int rc = QApplication::exec();

    delete frmMain; // destroys the pages
    frmMain = nullptr;
    delete DM;
    DM = nullptr;
    SetUiSeam(nullptr);
    return rc;
}

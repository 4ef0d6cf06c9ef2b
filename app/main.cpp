#include "app/MainForm.h"
#include "app/uUiQt.h"
#include "data/uDM.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    TQtUiSeam seam;
    SetUiSeam(&seam);
    frmMain = new TfrmMain;
    TDM dm;
    DM = &dm;
    frmMain->show();
    const int rc = app.exec();
    delete frmMain;
    frmMain = nullptr;
    DM = nullptr;
    return rc;
}

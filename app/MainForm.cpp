#include "app/MainForm.h"

TfrmMain* frmMain = nullptr;

TfrmMain::TfrmMain(QWidget* parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    PageHost = this;
}

TfrmMain::~TfrmMain()
{
    if (PageHost == this)
        PageHost = nullptr;
}

void TfrmMain::RefreshBalance() {}

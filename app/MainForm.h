#pragma once

#include "app/uPageHost.h"

#include <QMainWindow>

class TfrmMain : public QMainWindow, public TPageHost
{
    Q_OBJECT
public:
    explicit TfrmMain(QWidget* parent = nullptr);
    ~TfrmMain() override;
    void RefreshBalance() override;
};

extern TfrmMain* frmMain;

#pragma once

#include "app/uWorkPage.h"

class TSendFrm : public TWorkPage
{
    Q_OBJECT
public:
    explicit TSendFrm(QWidget* parent = nullptr);
    void InitPage() override;
};

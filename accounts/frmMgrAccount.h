#pragma once

#include "app/uWorkPage.h"

class TaccountMgrFrm : public TWorkPage
{
    Q_OBJECT
public:
    explicit TaccountMgrFrm(QWidget* parent = nullptr);
    void InitPage() override;
};

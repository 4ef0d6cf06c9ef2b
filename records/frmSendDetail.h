#pragma once

#include "app/uWorkPage.h"

class TsendDetailFrm : public TWorkPage
{
    Q_OBJECT
public:
    explicit TsendDetailFrm(QWidget* parent = nullptr);
    void InitPage() override;
};

#pragma once

#include "app/uWorkPage.h"

class TEditPwdFrm : public TWorkPage
{
    Q_OBJECT
public:
    explicit TEditPwdFrm(QWidget* parent = nullptr);
    void InitPage() override;
};

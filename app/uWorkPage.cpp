#include "app/uWorkPage.h"

#include "app/uDataType.h"
#include "app/uUi.h"

TWorkPage::TWorkPage(QWidget* parent) : QWidget(parent) {}

bool TWorkPage::RequireLogin()
{
    if (Para.LoggedIn)
        return true;
    ShowError(QStringLiteral("数据库未连接，提交失败"), QStringLiteral("发送失败"));
    return false;
}

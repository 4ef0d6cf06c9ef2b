#include "accounts/frmEditPwd.h"

TEditPwdFrm::TEditPwdFrm(QWidget* parent) : TWorkPage(parent) { setObjectName(QStringLiteral("TEditPwdFrm")); }

void TEditPwdFrm::InitPage() {}

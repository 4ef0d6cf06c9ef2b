#include "accounts/frmMgrAccount.h"

TaccountMgrFrm::TaccountMgrFrm(QWidget* parent) : TWorkPage(parent) { setObjectName(QStringLiteral("TaccountMgrFrm")); }

void TaccountMgrFrm::InitPage() {}

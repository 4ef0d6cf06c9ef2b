#include "send/frmSend.h"

TSendFrm::TSendFrm(QWidget* parent) : TWorkPage(parent) { setObjectName(QStringLiteral("TSendFrm")); }

void TSendFrm::InitPage() {}

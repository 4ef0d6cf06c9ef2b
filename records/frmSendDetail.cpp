#include "records/frmSendDetail.h"

TsendDetailFrm::TsendDetailFrm(QWidget* parent) : TWorkPage(parent) { setObjectName(QStringLiteral("TsendDetailFrm")); }

void TsendDetailFrm::InitPage() {}

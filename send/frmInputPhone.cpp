#include "send/frmInputPhone.h"

bool InputPhones(QStringList*&) { return false; }
bool InputTestPhones(QStringList*&) { return false; }

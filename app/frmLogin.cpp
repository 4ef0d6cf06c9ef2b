#include "app/frmLogin.h"

bool ShowLoginDialog() { return false; }

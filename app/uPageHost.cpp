#include "app/uPageHost.h"

TPageHost* PageHost = nullptr;

void HostRefreshBalance()
{
    if (PageHost)
        PageHost->RefreshBalance();
}

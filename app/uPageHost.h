#pragma once
// What the work pages may ask of the main window: only the balance refresh.

class TPageHost
{
public:
    virtual ~TPageHost() = default;
    virtual void RefreshBalance() = 0;
};

// Set by the main window while it exists; tests put a stand-in here.
extern TPageHost* PageHost;

// Calls RefreshBalance of the host, when there is one.
void HostRefreshBalance();

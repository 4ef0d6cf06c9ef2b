#pragma once
// A TCP relay between a client and a database server on loopback, for tests of
// a connection that dies at a chosen moment. It runs on threads of its own, so
// a client that blocks the test's thread in a statement is still served.
//
// Armed, it cuts the next connection that sends COMMIT: before the server has
// seen it, or after the server has committed and answered but before the
// answer reaches the client. Either way both sides see the connection close.

#include <atomic>
#include <list>
#include <mutex>
#include <thread>

class TCutProxy
{
public:
    enum class TCut { None, BeforeCommit, AfterCommit };

    explicit TCutProxy(int targetPort);
    ~TCutProxy();
    TCutProxy(const TCutProxy&) = delete;
    TCutProxy& operator=(const TCutProxy&) = delete;

    bool listening() const { return listenFd_ >= 0; }
    int port() const { return port_; }
    // Cuts the next COMMIT, once; thenRefuse: from then on no connection is
    // taken (a client that reconnects finds nothing listening).
    void arm(TCut cut, bool thenRefuse = false)
    {
        refuseAfterCut_ = thenRefuse;
        armed_ = cut;
    }
    // How many cuts were made.
    int cuts() const { return cuts_; }

private:
    void acceptLoop();
    void relay(int client);

    int targetPort_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<TCut> armed_{TCut::None};
    std::atomic<int> cuts_{0};
    std::atomic<bool> refuseAfterCut_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::list<std::thread> relays_;
};

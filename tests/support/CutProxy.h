#pragma once
// A TCP relay between a client and a database server on loopback, for tests of
// a connection that dies at a chosen moment. It runs on threads of its own, so
// a client that blocks the test's thread in a statement is still served.
//
// Armed, it cuts the next connection that sends COMMIT: before the server has
// seen it, or after the server has committed and answered but before the
// answer reaches the client. Either way both sides see the connection close.
// Armed before a statement, it cuts the connection that sends a statement
// beginning so (run or prepared), before the server has seen it. Refusing,
// it takes connections and closes them at once, as a proxy does while its
// server has died and it has not yet noticed (for a while, or the next few). A connection that turns to TLS
// is relayed as it is: its statements cannot be seen, nor cut.

#include <atomic>
#include <chrono>
#include <list>
#include <mutex>
#include <string>
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
    // Cuts the connection that next sends a statement beginning with start
    // (letter case aside), before the server sees it; times: so many such
    // statements in a row, one a cut.
    void armBefore(const std::string& start, int times = 1)
    {
        std::lock_guard<std::mutex> lock(statementMutex_);
        statementStart_ = start;
        statementCuts_ = times;
    }
    // For the next ms milliseconds every new connection is closed as soon as it is taken.
    void refuseFor(int ms)
    {
        refuseUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    }
    // The next n new connections are closed as soon as they are taken.
    void refuseNext(int n) { refuseNext_ = n; }
    // New connections go to the server on port from now on.
    void retarget(int port) { targetPort_ = port; }
    // How many cuts were made, and how many connections were refused.
    int cuts() const { return cuts_; }
    int refused() const { return refused_; }

private:
    void acceptLoop();
    void relay(int client);
    bool cutBefore(const std::string& packet);

    std::atomic<int> targetPort_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<TCut> armed_{TCut::None};
    std::atomic<int> cuts_{0};
    std::atomic<bool> refuseAfterCut_{false};
    std::atomic<std::chrono::steady_clock::time_point> refuseUntil_{};
    std::atomic<int> refused_{0};
    std::atomic<int> refuseNext_{0};
    std::mutex statementMutex_;
    std::string statementStart_; // under statementMutex_
    int statementCuts_ = 0;      // under statementMutex_
    std::thread acceptor_;
    std::mutex mutex_;
    std::list<std::thread> relays_;
};

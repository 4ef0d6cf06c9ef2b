#include "tests/support/CutProxy.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cctype>
#include <cstring>
#include <string>

namespace {

#ifdef _WIN32
// Winsock under the names used below. Its socket handles are small numbers
// that fit the int they are kept in.
constexpr int MSG_NOSIGNAL = 0;
constexpr int SHUT_RDWR = SD_BOTH;
int poll(pollfd* fds, unsigned n, int ms)
{
    return ::WSAPoll(fds, ULONG(n), ms);
}
int openSocket()
{
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        return -1;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    return s == INVALID_SOCKET ? -1 : int(s);
}
void closeSocket(int fd)
{
    ::closesocket(SOCKET(fd));
}
#else
int openSocket()
{
    return ::socket(AF_INET, SOCK_STREAM, 0);
}
void closeSocket(int fd)
{
    ::close(fd);
}
#endif

// A socket to wait on for input.
pollfd watch(int fd)
{
    pollfd p{};
    p.fd = decltype(p.fd)(fd);
    p.events = POLLIN;
    return p;
}

bool sendAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

// A client packet whose statement begins with start (lower case): a
// COM_QUERY (3), or with prepared too a COM_STMT_PREPARE (22).
bool statementBegins(const std::string& packet, const std::string& start, bool prepared)
{
    if (packet.size() < 5 + start.size())
        return false;
    const unsigned char command = static_cast<unsigned char>(packet[4]);
    if (command != 3 && !(prepared && command == 22))
        return false;
    for (size_t i = 0; i < start.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(packet[5 + i])) != static_cast<unsigned char>(start[i]))
            return false;
    return true;
}

bool isCommit(const std::string& packet)
{
    return statementBegins(packet, "commit", false);
}

} // namespace

TCutProxy::TCutProxy(int targetPort) : targetPort_(targetPort)
{
    listenFd_ = openSocket();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listenFd_, 16) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (listenFd_ >= 0)
            closeSocket(listenFd_);
        listenFd_ = -1;
        return;
    }
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

TCutProxy::~TCutProxy()
{
    stop_ = true;
    if (acceptor_.joinable())
        acceptor_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::thread& t : relays_)
        t.join();
    if (listenFd_ >= 0)
        closeSocket(listenFd_);
}

void TCutProxy::acceptLoop()
{
    while (!stop_) {
        pollfd p = watch(listenFd_);
        if (poll(&p, 1, 50) <= 0)
            continue;
        const int client = int(::accept(listenFd_, nullptr, nullptr));
        if (client < 0)
            continue;
        int next = refuseNext_.load();
        while (next > 0 && !refuseNext_.compare_exchange_weak(next, next - 1)) {
        }
        if (std::chrono::steady_clock::now() < refuseUntil_.load() || next > 0) {
            ++refused_;
            closeSocket(client);
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        relays_.emplace_back([this, client] { relay(client); });
    }
}

// Whether packet is the statement armed by armBefore; it then counts as one cut.
bool TCutProxy::cutBefore(const std::string& packet)
{
    std::lock_guard<std::mutex> lock(statementMutex_);
    if (statementCuts_ <= 0)
        return false;
    std::string start = statementStart_;
    for (char& c : start)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    if (!statementBegins(packet, start, true))
        return false;
    --statementCuts_;
    return true;
}

void TCutProxy::relay(int client)
{
    const int server = openSocket();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(targetPort_.load()));
    if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (server >= 0)
            closeSocket(server);
        closeSocket(client);
        return;
    }
    std::string pending; // client bytes not yet forwarded: an incomplete packet
    bool continuation = false;
    // The client's first packet is its handshake answer; one of 32 bytes asks
    // for TLS, and all that follows is TLS records, relayed as they come
    // (statements can then not be seen, nor cut).
    bool first = true;
    bool tls = false;
    char buf[65536];
    bool open = true;
    while (open && !stop_) {
        pollfd p[2] = {watch(client), watch(server)};
        if (poll(p, 2, 50) <= 0)
            continue;
        if (p[1].revents) {
            const ssize_t n = ::recv(server, buf, sizeof buf, 0);
            if (n <= 0 || !sendAll(client, buf, size_t(n)))
                open = false;
        }
        if (open && p[0].revents) {
            const ssize_t n = ::recv(client, buf, sizeof buf, 0);
            if (n <= 0) {
                open = false;
                break;
            }
            if (tls) {
                if (!sendAll(server, buf, size_t(n)))
                    open = false;
                continue;
            }
            pending.append(buf, size_t(n));
            // Forward whole packets, each looked at on its way.
            while (open && !tls && pending.size() >= 4) {
                const size_t len = size_t(static_cast<unsigned char>(pending[0])) |
                                   size_t(static_cast<unsigned char>(pending[1])) << 8 |
                                   size_t(static_cast<unsigned char>(pending[2])) << 16;
                if (pending.size() < 4 + len)
                    break;
                const std::string packet = pending.substr(0, 4 + len);
                pending.erase(0, 4 + len);
                if (first) {
                    first = false;
                    if (len == 32) {
                        tls = true;
                        if (!sendAll(server, packet.data(), packet.size()) ||
                            (!pending.empty() && !sendAll(server, pending.data(), pending.size())))
                            open = false;
                        pending.clear();
                        break;
                    }
                }
                const bool whole = !continuation; // the packet begins a command
                const bool commit = whole && isCommit(packet);
                continuation = len == 0xffffff;
                const TCut cut = commit ? armed_.exchange(TCut::None) : TCut::None;
                if (cut == TCut::BeforeCommit || (whole && cutBefore(packet))) {
                    ++cuts_;
                    open = false;
                    break;
                }
                if (!sendAll(server, packet.data(), packet.size())) {
                    open = false;
                    break;
                }
                if (cut == TCut::AfterCommit) {
                    // Wait for the server's answer, then drop it with the connection.
                    pollfd s = watch(server);
                    if (poll(&s, 1, 30000) > 0)
                        (void)::recv(server, buf, sizeof buf, 0);
                    ++cuts_;
                    open = false;
                }
            }
        }
    }
    if (cuts_ > 0 && refuseAfterCut_) {
        // Stops listening before the client can come back.
#ifdef _WIN32
        closeSocket(listenFd_); // a listening socket takes no shutdown there
#else
        ::shutdown(listenFd_, SHUT_RDWR);
#endif
    }
    ::shutdown(client, SHUT_RDWR);
    ::shutdown(server, SHUT_RDWR);
    closeSocket(client);
    closeSocket(server);
}

#pragma once
// Test support: sockets on 127.0.0.1 for the network port's tests: a free
// port, a client, and a listener that never answers or runs a script of the
// test's own on its first client.

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace loopback {

inline sockaddr_in Address(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// A TCP port of 127.0.0.1 that is free now: bound to port 0, then let go.
inline int FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Address(0);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// A connection to 127.0.0.1:port, or -1.
inline int Connect(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Address(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0)
        return fd;
    ::close(fd);
    return -1;
}

inline bool Connects(int port)
{
    const int fd = Connect(port);
    if (fd >= 0)
        ::close(fd);
    return fd >= 0;
}

// Sends all of `bytes`; false once the client is gone.
inline bool Send(int fd, const std::string& bytes)
{
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

// A socket listening on 127.0.0.1. Without a script it never accepts: the
// kernel completes the connect, and nothing is ever said. With one, the
// script runs on the first client in a thread of its own until it returns or
// `stop` is set (by the destructor); the client is closed after it.
class Listener
{
public:
    using Script = std::function<void(int client, const std::atomic<bool>& stop)>;
    explicit Listener(Script script = {}) : script_(std::move(script))
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = Address(0);
        socklen_t len = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, script_ ? 4 : 0);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        if (script_)
            thread_ = std::thread([this] { Run(); });
    }
    ~Listener()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        for (int fd : fillers_)
            ::close(fd);
        ::close(fd_);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Fills the queue of connections not yet accepted: the kernel then leaves
    // a new connect unanswered, as a host that drops it does.
    void Fill()
    {
        for (int i = 0; i < 3; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            const sockaddr_in a = Address(port);
            ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
            fillers_[i] = fd;
        }
    }

    int port = 0;

private:
    void Run()
    {
        pollfd p{fd_, POLLIN, 0};
        while (!stop_ && ::poll(&p, 1, 20) == 0) {
        }
        if (stop_)
            return;
        const int client = ::accept(fd_, nullptr, nullptr);
        script_(client, stop_);
        ::close(client);
    }
    int fd_ = -1;
    int fillers_[3] = {-1, -1, -1};
    Script script_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

} // namespace loopback

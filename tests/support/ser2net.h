#pragma once
// Test support: Debian's ser2net in the foreground on 127.0.0.1, in front of
// the emulator's ptys, and the loopback sockets around it.

#include <QFile>
#include <QProcess>
#include <QString>
#include <QThread>

#include <vector>

#include <netinet/in.h>
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

} // namespace loopback

// ser2net with its YAML in `dir`, listening once its constructor returns.
class Ser2net
{
public:
    struct Entry
    {
        QString accepter; // "telnet(rfc2217),tcp" or "tcp"
        QString device;
        QString setting; // "9600n81"
        int port = 0;    // chosen by the constructor
        // A second client may join: ser2net keeps the device open until the
        // last one leaves, and puts back the termios it found when it closes.
        bool shared = false;
    };
    Ser2net(const QString& dir, std::vector<Entry>& entries)
    {
        QString yaml = QStringLiteral("%YAML 1.1\n---\n");
        int i = 0;
        for (Entry& e : entries) {
            e.port = loopback::FreePort();
            yaml += QStringLiteral("connection: &c%1\n  accepter: %2,127.0.0.1,%3\n"
                                   "  connector: serialdev,%4,%5,local\n")
                        .arg(++i)
                        .arg(e.accepter)
                        .arg(e.port)
                        .arg(e.device, e.setting);
            if (e.shared)
                yaml += QStringLiteral("  options:\n    max-connections: 2\n");
        }
        const QString file = dir + QStringLiteral("/ser2net-%1.yaml").arg(entries.front().port);
        QFile f(file);
        if (f.open(QIODevice::WriteOnly))
            f.write(yaml.toUtf8());
        f.close();
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(QStringLiteral("ser2net"),
                       {"-n", "-d", "-c", file, "-P", file + QStringLiteral(".pid")});
        process_.waitForStarted(3000);
        for (int t = 0; t < 300; ++t) {
            bool all = true;
            for (const Entry& e : entries)
                all = all && loopback::Connects(e.port);
            if (all)
                break;
            QThread::msleep(10);
        }
    }
    ~Ser2net() { Kill(); }
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;
    bool Running() const { return process_.state() == QProcess::Running; }
    void Kill()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.kill();
        process_.waitForFinished(3000);
    }
    QProcess& Process() { return process_; }

private:
    QProcess process_;
};

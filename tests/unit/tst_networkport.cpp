// The network port against a scripted telnet server in a thread of the test:
// the negotiation, the line setting asked for at connect, set and confirmed,
// put back at close; IAC doubled in data both ways; notifications not asked
// for ignored; a port URL parsed or refused.
#include <QTest>

#include <atomic>
#include <string>
#include <thread>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/networkport.h"

namespace {

constexpr char kIac = '\xff';

// Accepts one client and answers as an RFC 2217 server whose line is at
// 9600,n,8,1; data after the negotiation is echoed, with a modem-state
// notification put in front of it. Everything received is kept.
class Server
{
public:
    Server()
    {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listen_, 1);
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~Server()
    {
        stop_ = true;
        thread_.join();
        ::close(listen_);
    }
    int port = 0;
    std::string received; // read after the client closed

private:
    void Send(int fd, const std::string& s) { ::send(fd, s.data(), s.size(), MSG_NOSIGNAL); }
    void Run()
    {
        pollfd p{listen_, POLLIN, 0};
        while (!stop_ && ::poll(&p, 1, 50) == 0) {
        }
        if (stop_)
            return;
        const int fd = ::accept(listen_, nullptr, nullptr);
        std::string pending;
        for (;;) {
            pollfd q{fd, POLLIN, 0};
            if (::poll(&q, 1, 50) == 0) {
                if (stop_)
                    break;
                continue;
            }
            char buffer[512];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            received.append(buffer, size_t(n));
            pending.append(buffer, size_t(n));
            // Telnet commands are answered; the rest is data, echoed as it came.
            for (;;) {
                if (pending.empty())
                    break;
                if (pending[0] != kIac) {
                    const size_t next = pending.find(kIac);
                    Send(fd,
                         std::string("\xff\xfa\x2c\x6b\x30\xff\xf0", 7) + pending.substr(0, next));
                    pending.erase(0, next);
                    continue;
                }
                if (pending.size() < 2)
                    break;
                if (pending[1] == kIac) { // a data 0xFF, doubled: echoed doubled
                    Send(fd, std::string(2, kIac));
                    pending.erase(0, 2);
                    continue;
                }
                if (pending[1] == '\xfa') {
                    const size_t end = pending.find("\xff\xf0");
                    if (end == std::string::npos)
                        break;
                    std::string sb = pending.substr(2, end - 2);
                    pending.erase(0, end + 2);
                    if (sb.size() < 2 || sb[0] != '\x2c' || sb[1] == '\x0c')
                        continue;
                    const bool ask = sb.find_first_not_of('\0', 2) == std::string::npos;
                    if (ask && sb[1] == '\x01')
                        sb = std::string("\x2c\x01\x00\x00\x25\x80", 6); // 9600
                    else if (ask) // 8 data bits, no parity, 1 stop bit
                        sb = sb.substr(0, 2) + (sb[1] == '\x02' ? '\x08' : '\x01');
                    sb[1] = char(sb[1] + 100);
                    Send(fd, "\xff\xfa" + sb + "\xff\xf0");
                    continue;
                }
                if (pending.size() < 3)
                    break;
                if (pending[1] == '\xfb' && pending[2] == '\x2c')
                    Send(fd, std::string("\xff\xfd\x2c", 3));
                pending.erase(0, 3);
            }
        }
        ::close(fd);
    }
    int listen_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

std::string Baud(uint32_t b)
{
    return {char(b >> 24), char(b >> 16), char(b >> 8), char(b)};
}

} // namespace

class TestNetworkPort : public QObject
{
    Q_OBJECT

private slots:
    void urls()
    {
        QVERIFY(link::ParsePortUrl("rfc2217://127.0.0.1:4001")->telnet);
        QCOMPARE(link::ParsePortUrl("tcp://door-pi:4002")->port, 4002);
        QCOMPARE(QString::fromStdString(link::ParsePortUrl("tcp://[::1]:7")->host),
                 QStringLiteral("::1"));
        for (const char* bad : {"tcp://host", "tcp://:4001", "tcp://host:0", "tcp://host:65536",
                                "telnet://host:23", "tcp://a b:1", "tcp://::1:7"})
            QVERIFY2(!link::ParsePortUrl(bad), bad);
        QVERIFY(link::LooksLikePortUrl("telnet://host:23"));
        QVERIFY(!link::LooksLikePortUrl("/dev/ttyS0"));
        QVERIFY(link::LineSettingFixedAt("tcp://h:1"));
        QVERIFY(!link::LineSettingFixedAt("rfc2217://h:1"));
    }

    void negotiationDataAndRestore()
    {
        Server server;
        {
            link::NetworkPort port;
            QVERIFY(
                port.OpenPath("rfc2217://127.0.0.1:" + std::to_string(server.port), "19200,e,8,1"));
            QVERIFY(!port.LineSettingFixed());
            QVERIFY(port.ChangeMode("38400,n,8,2"));
            const uint8_t data[] = {0x41, 0xFF, 0x42};
            QVERIFY(port.WriteBuffer(data, 3));
            std::string back;
            for (int i = 0; i < 500 && back.size() < 3; ++i)
                if (const auto b = port.ReadByte())
                    back += char(*b);
            QCOMPARE(back, std::string("A\xff"
                                       "B"));
            port.Close();
        }
        QThread::msleep(100);
        const std::string& r = server.received;
        const auto has = [&](const std::string& s) { return r.find(s) != std::string::npos; };
        QVERIFY(has(std::string("\xff\xfb\x00\xff\xfd\x00", 6))); // BINARY both ways
        QVERIFY(has(std::string("\xff\xfb\x2c", 3)));             // WILL COM-PORT-OPTION
        // The line asked for (value 0), then set, then put back to 9600,n,8,1.
        const std::string ask = "\xff\xfa\x2c\x01" + Baud(0) + "\xff\xf0";
        const std::string set = "\xff\xfa\x2c\x01" + Baud(19200) + "\xff\xf0";
        const std::string parityEven("\xff\xfa\x2c\x03\x03\xff\xf0", 7);
        const std::string restore = "\xff\xfa\x2c\x01" + Baud(9600) + "\xff\xf0";
        QVERIFY(has(ask) && has(set) && has(parityEven));
        QVERIFY(r.rfind(restore) > r.find(set));
        QVERIFY(has(std::string("A\xff\xff"
                                "B",
                                4))); // the data 0xFF doubled
    }

    void refused()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        ::close(fd); // bound, never listened: nothing is there
        link::NetworkPort port;
        QVERIFY(
            !port.OpenPath("tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port)), "19200,e,8,1"));
        QCOMPARE(port.LastOpenError(), link::OpenError::ConnectionRefused);
    }
};

QTEST_MAIN(TestNetworkPort)
#include "tst_networkport.moc"

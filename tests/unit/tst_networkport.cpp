// The network port against a scripted telnet server in a thread of the test:
// the negotiation, the line setting asked for at connect, set and confirmed,
// put back at close (the close waiting for it); IAC doubled in data both ways;
// notifications not asked for ignored; DO and WILL of one option each
// refused; BINARY refused (CR carried as CR NUL); the purge before the
// command; a late confirmation not taken for the next; a flood and an endless
// subnegotiation bounded in time and memory; a port URL parsed or refused.
#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "link/link.h"
#include "link/networkport.h"
#include "loopback.h"

namespace {

constexpr char kIac = '\xff';
const std::string kDoComPort("\xff\xfd\x2c", 3);

// An RFC 2217 server whose line is at 9600,n,8,1: it agrees to BINARY and
// COM-PORT-OPTION, answers the line requests and echoes data with a
// modem-state notification in front of it. Everything received is kept.
struct Behaviour
{
    bool refuseBinary = false;
    bool askOptions = false; // DO 24, then WILL 24, at connect
    int restoreDelayMs = 0;  // before confirming a set of 9600 (the restore)
    int lateMs = 0;    // the first change after the open's confirmed this late, the next never
    std::string after; // sent without end once the line is set
    std::mutex mu;
    std::string received;
    std::string Received()
    {
        std::lock_guard lock(mu);
        return received;
    }
};

void Serve(Behaviour& b, int fd, const std::atomic<bool>& stop)
{
    using loopback::Send;
    if (b.askOptions)
        Send(fd, std::string("\xff\xfd\x18\xff\xfb\x18", 6));
    std::string pending;
    int sets = 0;
    bool lineSet = false;
    while (!stop) {
        if (lineSet && !b.after.empty()) {
            // Without end, as fast as the client takes it, for a second at most.
            QElapsedTimer t;
            t.start();
            while (!stop && t.elapsed() < 1000 && Send(fd, b.after)) {
            }
            return;
        }
        pollfd q{fd, POLLIN, 0};
        if (::poll(&q, 1, 20) == 0)
            continue;
        char buffer[512];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return;
        {
            std::lock_guard lock(b.mu);
            b.received.append(buffer, size_t(n));
        }
        pending.append(buffer, size_t(n));
        // Telnet commands are answered; the rest is data, echoed as it came.
        while (!pending.empty()) {
            if (pending[0] != kIac) {
                const size_t next = pending.find(kIac);
                Send(fd, std::string("\xff\xfa\x2c\x6b\x30\xff\xf0", 7) + pending.substr(0, next));
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
                if (!ask && sb[1] == '\x01') {
                    ++sets;
                    if (sb == std::string("\x2c\x01\x00\x00\x25\x80", 6))
                        QThread::msleep(ulong(b.restoreDelayMs));
                    if (b.lateMs > 0 && sets == 2)
                        QThread::msleep(ulong(b.lateMs));
                }
                if (b.lateMs > 0 && sets > 2)
                    continue;
                sb[1] = char(sb[1] + 100);
                Send(fd, "\xff\xfa" + sb + "\xff\xf0");
                lineSet = lineSet || (!ask && sb[1] == '\x68');
                continue;
            }
            if (pending.size() < 3)
                break;
            const std::string command = pending.substr(0, 3);
            if (command == "\xff\xfb\x2c")
                Send(fd, kDoComPort);
            else if (command == std::string("\xff\xfb\x00", 3))
                Send(fd, std::string(b.refuseBinary ? "\xff\xfe\x00" : "\xff\xfd\x00", 3));
            else if (command == std::string("\xff\xfd\x00", 3))
                Send(fd, std::string(b.refuseBinary ? "\xff\xfc\x00" : "\xff\xfb\x00", 3));
            pending.erase(0, 3);
        }
    }
}

std::string Url(const loopback::Listener& l)
{
    return "rfc2217://127.0.0.1:" + std::to_string(l.port);
}

std::string Baud(uint32_t b)
{
    return {char(b >> 24), char(b >> 16), char(b >> 8), char(b)};
}

bool Has(const std::string& r, const std::string& s)
{
    return r.find(s) != std::string::npos;
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
        QCOMPARE(link::ParsePortUrl("rfc2217://door-pi:65535")->port, 65535);
        QCOMPARE(QString::fromStdString(link::ParsePortUrl("tcp://[::1]:7")->host),
                 QStringLiteral("::1"));
        const auto tls = link::ParsePortUrl("rfc2217s://pi:4001?ca=/a%20b.pem&cert=c&key=k");
        QVERIFY(tls && tls->tls && tls->telnet);
        QCOMPARE(tls->caFile + tls->certFile + tls->keyFile, std::string("/a b.pemck"));
        QCOMPARE(link::ParsePortUrl("tcps://pi:1?fingerprint=AB:CD")->fingerprint,
                 std::string("AB:CD"));
        for (const char* bad :
             {"tcp://host", "tcp://:4001", "tcp://host:0", "tcp://host:65536", "telnet://host:23",
              "tcp://a b:1", "tcp://::1:7", "tcp://h:1?ca=x", "tcps://h:1?pin=x",
              "tcps://h:1?ca=", "tcps://h:1?ca=a&ca=b", "tcps://h:1?ca=%zz"})
            QVERIFY2(!link::ParsePortUrl(bad), bad);
        QVERIFY(link::LooksLikePortUrl("telnet://host:23"));
        QVERIFY(!link::LooksLikePortUrl("/dev/ttyS0"));
        QVERIFY(link::LineSettingFixedAt("tcp://h:1"));
        QVERIFY(link::LineSettingFixedAt("tcps://h:1"));
        QVERIFY(!link::LineSettingFixedAt("rfc2217s://h:1"));
        QCOMPARE(link::LostText("rfc2217s://pi:4001?ca=x"),
                 std::string("the connection to pi:4001 was lost"));
    }

    // The whole conversation, and the close that waits for the server's
    // confirmation of the line setting it puts back. A server that refuses
    // BINARY gets CR as CR NUL, and its CR NUL is one CR.
    void negotiationDataAndRestore_data()
    {
        QTest::addColumn<bool>("refuseBinary");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("BINARY agreed") << false << QByteArray("A\xff\xff\rB", 5);
        QTest::newRow("BINARY refused") << true << QByteArray("A\xff\xff\r\0B", 6);
    }
    void negotiationDataAndRestore()
    {
        QFETCH(bool, refuseBinary);
        QFETCH(QByteArray, wire);
        Behaviour b;
        b.refuseBinary = refuseBinary;
        b.restoreDelayMs = 300;
        b.askOptions = true;
        loopback::Listener server([&](int fd, const auto& stop) { Serve(b, fd, stop); });
        {
            link::NetworkPort port;
            QVERIFY(port.OpenPath(Url(server), "19200,e,8,1"));
            QVERIFY(!port.LineSettingFixed());
            QVERIFY(port.ChangeMode("38400,n,8,2"));
            const uint8_t data[] = {0x41, 0xFF, 0x0D, 0x42};
            QVERIFY(port.WriteBuffer(data, 4));
            std::string back;
            for (int i = 0; i < 500 && back.size() < 4; ++i)
                if (const auto c = port.ReadByte())
                    back += char(*c);
            QCOMPARE(back, std::string("A\xff\rB"));
            QElapsedTimer t;
            t.start();
            port.Close();
            QVERIFY2(t.elapsed() >= 250, qPrintable(QString::number(t.elapsed())));
        }
        QThread::msleep(50);
        const std::string r = b.Received();
        QVERIFY(Has(r, std::string("\xff\xfb\x00\xff\xfd\x00", 6))); // BINARY both ways
        QVERIFY(Has(r, std::string("\xff\xfb\x2c", 3)));             // WILL COM-PORT-OPTION
        // DO 24 and WILL 24 each refused.
        QVERIFY(Has(r, "\xff\xfc\x18") && Has(r, "\xff\xfe\x18"));
        // The line asked for (value 0), then set, then put back to 9600,n,8,1.
        const std::string set = "\xff\xfa\x2c\x01" + Baud(19200) + "\xff\xf0";
        const std::string restore = "\xff\xfa\x2c\x01" + Baud(9600) + "\xff\xf0";
        QVERIFY(Has(r, "\xff\xfa\x2c\x01" + Baud(0) + "\xff\xf0") && Has(r, set));
        QVERIFY(Has(r, std::string("\xff\xfa\x2c\x03\x03\xff\xf0", 7))); // even parity
        QVERIFY(r.rfind(restore) != std::string::npos && r.rfind(restore) > r.find(set));
        // The data 0xFF doubled; CR as it is where BINARY was agreed.
        QVERIFY(Has(r, wire.toStdString()));
    }

    // The link purges before the command goes out: a purge after it would
    // throw away an answer that came at once.
    void purgeBeforeCommand()
    {
        Behaviour b;
        loopback::Listener server([&](int fd, const auto& stop) { Serve(b, fd, stop); });
        link::SetPortMap({{1, Url(server)}});
        link::Link l;
        QVERIFY(l.OpenPort(1, QStringLiteral("9600,n,8,1")));
        l.Exchange(QStringLiteral("H00B"));
        l.ClosePort();
        const std::string r = b.Received();
        const size_t purge = r.find(std::string("\xff\xfa\x2c\x0c\x01\xff\xf0", 7));
        QVERIFY(purge != std::string::npos && purge < r.find("\x09H00B"));
        link::SetPortMap({});
    }

    // The first change's confirmation comes after its bound, while the same
    // change is asked again: it is not taken for the second one's.
    void lateConfirmation()
    {
        Behaviour b;
        b.lateMs = 2200;
        loopback::Listener server([&](int fd, const auto& stop) { Serve(b, fd, stop); });
        link::NetworkPort port;
        QVERIFY(port.OpenPath(Url(server), "9600,n,8,1"));
        QVERIFY(!port.ChangeMode("19200,n,8,1"));
        QVERIFY(!port.ChangeMode("19200,n,8,1"));
    }

    // A server that sends without end: each read returns within its wait, and
    // what is held stays within the bound; nothing of a subnegotiation is data.
    void hostileServer_data()
    {
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<bool>("data");
        QTest::newRow("flood") << QByteArray(4096, 'x') << true;
        QTest::newRow("endless subnegotiation")
            << QByteArray("\xff\xfa\x2c") + QByteArray(4096, 'x') << false;
    }
    void hostileServer()
    {
        QFETCH(QByteArray, after);
        QFETCH(bool, data);
        Behaviour b;
        b.after = after.toStdString();
        loopback::Listener server([&](int fd, const auto& stop) { Serve(b, fd, stop); });
        link::NetworkPort port;
        QVERIFY(port.OpenPath(Url(server), "9600,n,8,1"));
        qint64 longest = 0;
        size_t most = 0;
        int bytes = 0;
        QElapsedTimer total;
        total.start();
        while (total.elapsed() < 500) {
            QElapsedTimer call;
            call.start();
            bytes += port.ReadByte() ? 1 : 0;
            longest = std::max(longest, call.elapsed());
            most = std::max(most, port.Buffered());
        }
        QVERIFY2(longest < 50, qPrintable(QString::number(longest)));
        QVERIFY(most <= link::NetworkPort::kMaxBuffered);
        QCOMPARE(bytes > 0, data);
        QCOMPARE(most > 0, data);
    }

    void refused()
    {
        link::NetworkPort port;
        QVERIFY(!port.OpenPath("tcp://127.0.0.1:" + std::to_string(loopback::FreePort()),
                               "19200,e,8,1"));
        QCOMPARE(port.LastOpenError(), link::OpenError::ConnectionRefused);
    }
};

QTEST_MAIN(TestNetworkPort)
#include "tst_networkport.moc"

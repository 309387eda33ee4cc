// Readers on the network, each figure beside its local baseline in one run:
// a 1K card read over RFC 2217 and over RFC 2217 in TLS on loopback (Debian's
// ser2net in front of the emulator's pty) against the same read on the pty
// itself; the connect time over TLS beside the plain one; and a scan whose
// reader sits at the sixth line setting, through the server and locally.
// build/bench/tesmora-net-bench (needs ser2net on PATH)
#include <QCoreApplication>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>

#include "link/link.h"
#include "link/modelist.h"
#include "link/serialport.h"
#include "mifare/keylist.h"
#include "mifare/wholecard.h"
#include "reader/scan.h"
#include "readeremulator.h"
#include "ser2net.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

class Quiet final : public mifare::CardProgress
{
};

double Dump(int port)
{
    link::Link l;
    if (!l.OpenPort(port, QStringLiteral("19200,e,8,1")))
        return -1;
    Quiet quiet;
    const auto start = Clock::now();
    const mifare::ReadResult r =
        mifare::ReadCard(l, {QStringLiteral("H"), QStringLiteral("01")}, mifare::CardSize::k1K,
                         mifare::DefaultKeys(), quiet);
    const double ms = Ms(Clock::now() - start);
    return r.Complete() ? ms : -1;
}

// The mean time of an open (connect, handshake, negotiation, first line
// setting) and its close, over `times` of them.
double Connect(int port, int times)
{
    double total = 0;
    for (int i = 0; i < times; ++i) {
        link::Link l;
        const auto start = Clock::now();
        if (!l.OpenPort(port, QStringLiteral("19200,e,8,1")))
            return -1;
        total += Ms(Clock::now() - start);
        l.ClosePort();
    }
    return total / times;
}

double Scan(int port)
{
    link::Link l;
    reader::ScanRequest q;
    q.prefix = QStringLiteral("H");
    q.readerType = 3;
    q.locked = false;
    q.firstPort = q.lastPort = port;
    reader::ScanProgress quiet;
    const auto start = Clock::now();
    const reader::ScanResult r = reader::Scan(l, q, quiet);
    const double ms = Ms(Clock::now() - start);
    std::printf("  %s: found at %s in %.0f ms\n", link::PortName(port).c_str(), qPrintable(r.mode),
                ms);
    return r.complete ? ms : -1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    emu::ReaderModel m;
    m.prefix = 'H';
    m.mifare.card = emu::MifareCard(emu::MifareSize::k1K);
    emu::ReaderEmulator reader(m); // the wire timed
    if (!reader.Start(dir.path().toStdString(), 3))
        return 1;
    qputenv("TESMORA_PORT_DIR", dir.path().toLocal8Bit());

    const QString d = dir.path();
    if (MakeCertificate(d, "server", "127.0.0.1").isEmpty()) {
        std::printf("openssl did not make a certificate\n");
        return 1;
    }
    std::vector<Ser2net::Entry> entries{
        {"telnet(rfc2217),tcp", dir.filePath("COM3"), "9600n81"},
        {"telnet(rfc2217),ssl(key=" + d + "/server.key,cert=" + d + "/server.crt),tcp",
         dir.filePath("COM3"), "9600n81"}};
    Ser2net server(dir.path(), entries);
    if (!server.Running()) {
        std::printf("ser2net did not start\n");
        return 1;
    }
    const int tcp = entries[0].port;
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(tcp);
    const std::string tls = "rfc2217s://127.0.0.1:" + std::to_string(entries[1].port) +
                            "?ca=" + d.toStdString() + "/server.crt";
    link::SetPortMap({{1, url}, {2, tls}});

    // 1. A 1K card, every sector opened by the first key, the wire timed at 19200.
    const double local = Dump(3);
    const double network = Dump(1);
    const double secure = Dump(2);
    std::printf("1K card read: over RFC 2217 %.0f ms, on the local pty %.0f ms; ratio %.3f "
                "(goal 1.1)\n",
                network, local, network / local);
    std::printf("1K card read: over RFC 2217 in TLS %.0f ms, on the local pty %.0f ms; ratio "
                "%.3f (goal 1.1)\n",
                secure, local, secure / local);

    // 2. The connect: TCP, the TLS handshake, the telnet negotiation and the
    // first line setting confirmed, then the close with the restore.
    const double plainOpen = Connect(1, 10);
    const double tlsOpen = Connect(2, 10);
    std::printf("connect and negotiation: TLS %.1f ms, plain %.1f ms; the handshake adds %.1f "
                "ms\n",
                tlsOpen, plainOpen, tlsOpen - plainOpen);

    // 3. The reader at the sixth line setting, 19200,e,8,1 (a pty carries no
    // parity, so 19200,n,8,1 before it finds it): every setting before it costs
    // its two deadlines, and over the network a connect and negotiation.
    std::printf("scan, the reader at the sixth line setting (%s):\n",
                std::string(kModeList[5]).c_str());
    const double scanLocal = Scan(3);
    const double scanNetwork = Scan(1);
    std::printf("scan: over RFC 2217 %.0f ms, on the local pty %.0f ms; ratio %.3f (goal 1.2)\n",
                scanNetwork, scanLocal, scanNetwork / scanLocal);
    server.Kill();
    return 0;
}

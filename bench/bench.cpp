// Benchmarks of the link and the scan, each beside a baseline measured in the
// same run: run with QT_QPA_PLATFORM=offscreen build/bench/tesmora-bench
#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "gui/beep.h"
#include "gui/frmmodule.h"
#include "link/traffichistory.h"
#include "readeremulator.h"
#include "ui_frmmodule.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    return v[i];
}

// The same round trip by a bare client: write the frame, read until 0x0D.
double BareRoundTrip(const std::string& path, const std::string& frame)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B19200);
    tcsetattr(fd, TCSANOW, &t);
    auto start = Clock::now();
    if (write(fd, frame.data(), frame.size()) < 0) {
        close(fd);
        return 0;
    }
    char c = 0;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 300) <= 0)
            break;
        if (read(fd, &c, 1) == 1 && c == '\r')
            break;
    }
    double ms = Ms(Clock::now() - start);
    close(fd);
    return ms;
}

void ExchangeBench(const QString& ports)
{
    constexpr int kTurnaround = 2;
    constexpr int kRounds = 300;
    emu::Options fast;
    fast.fast = true;
    fast.turnaroundMs = kTurnaround;
    emu::ReaderEmulator reader({}, fast);
    reader.Start(ports.toStdString(), 3);
    TfrmModule w;
    std::vector<double> tool, bare;
    w.OpenPort(3, QStringLiteral("19200,e,8,1"));
    for (int i = 0; i < kRounds; ++i) {
        auto start = Clock::now();
        w.Exchange(QStringLiteral("A00B"));
        tool.push_back(Ms(Clock::now() - start) - kTurnaround);
    }
    w.ClosePort();
    const std::string frame = "\tA00B0A\r";
    for (int i = 0; i < kRounds; ++i)
        bare.push_back(BareRoundTrip(reader.LinkPath(), frame) - kTurnaround);
    std::printf("exchange round trip, fast emulator, %d rounds, latency beyond the %d ms "
                "turnaround:\n",
                kRounds, kTurnaround);
    std::printf("  Exchange     median %.3f ms  p99 %.3f ms\n", Percentile(tool, 0.5),
                Percentile(tool, 0.99));
    std::printf("  bare client  median %.3f ms  p99 %.3f ms\n", Percentile(bare, 0.5),
                Percentile(bare, 0.99));
    std::printf("  ratio Exchange / bare (median): %.2f\n",
                Percentile(tool, 0.5) / std::max(0.001, Percentile(bare, 0.5)));
    reader.Stop();
}

// With the wire timed as on a real line: from the answer's last byte on the
// line to Exchange returning, against a bare client that blocks in poll().
void WireLatencyBench(const QString& ports)
{
    constexpr int kRounds = 200;
    emu::Options wire;
    wire.turnaroundMs = 2;
    emu::ReaderEmulator reader({}, wire);
    reader.Start(ports.toStdString(), 4);
    auto lastByte = [&reader] {
        const auto trace = reader.Trace();
        return trace.empty() ? Clock::now() : trace.back().end;
    };
    std::vector<double> tool, bare;
    TfrmModule w;
    w.OpenPort(4, QStringLiteral("19200,e,8,1"));
    for (int i = 0; i < kRounds; ++i) {
        w.Exchange(QStringLiteral("A00B"));
        const auto returned = Clock::now();
        tool.push_back(Ms(returned - lastByte()));
    }
    w.ClosePort();
    const std::string frame = "\tA00B0A\r";
    for (int i = 0; i < kRounds; ++i) {
        BareRoundTrip(reader.LinkPath(), frame);
        const auto returned = Clock::now();
        bare.push_back(Ms(returned - lastByte()));
    }
    // CPU while waiting out the deadline: exchanges that get no answer.
    emu::ReaderModel silent;
    silent.dead = true;
    reader.SetModel(silent);
    w.OpenPort(4, QStringLiteral("19200,e,8,1"));
    timespec cpu0{}, cpu1{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    const auto start = Clock::now();
    for (int i = 0; i < 10; ++i)
        w.Exchange(QStringLiteral("A00B"));
    const double wall = Ms(Clock::now() - start);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    w.ClosePort();
    const double cpu =
        double(cpu1.tv_sec - cpu0.tv_sec) * 1000.0 + double(cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
    std::printf("exchange with wire timing, %d rounds, last answer byte to return:\n", kRounds);
    std::printf("  Exchange     median %.3f ms  p99 %.3f ms\n", Percentile(tool, 0.5),
                Percentile(tool, 0.99));
    std::printf("  bare client  median %.3f ms  p99 %.3f ms\n", Percentile(bare, 0.5),
                Percentile(bare, 0.99));
    std::printf("  added by Exchange (median): %.3f ms\n",
                Percentile(tool, 0.5) - Percentile(bare, 0.5));
    std::printf("  CPU while waiting out 10 deadlines: %.1f %% of one core\n", 100.0 * cpu / wall);
    reader.Stop();
}

// The factory default of a type 4 reader against its floor: its eight 100 ms
// pauses plus the same eight exchanges, timed on their own in this run.
void FactoryDefaultBench(const QString& ports)
{
    constexpr int kRounds = 5;
    emu::ReaderModel m;
    m.prefix = 'H';
    emu::ReaderEmulator reader(m);
    reader.Start(ports.toStdString(), 5);
    TfrmModule w;
    w.ReaderFound = true;
    w.ScanCommNo = 5;
    w.ReaderIdText = QStringLiteral("01");
    w.form()->pcReader->setCurrentIndex(3);
    const QString commands[] = {"H01B",  "H01C1234567801", "H01A001",        "H01L04",
                                "H01M0", "H01N0003",       "H01a0000000001", "H01E5"};
    double operation = 0, exchanges = 0;
    for (int round = 0; round < kRounds; ++round) {
        auto start = Clock::now();
        w.form()->btnFactory->click();
        operation += Ms(Clock::now() - start);
        w.OpenPort(5, w.ScanBaudRate);
        for (const QString& c : commands) {
            start = Clock::now();
            w.Exchange(c);
            exchanges += Ms(Clock::now() - start);
        }
        w.ClosePort();
    }
    operation /= kRounds;
    exchanges /= kRounds;
    const double floor = 8 * 100.0 + exchanges;
    std::printf("factory default, type 4: %.1f ms, floor %.1f ms (800 ms of pauses + %.1f ms of "
                "exchanges), ratio %.3f (%s)\n",
                operation, floor, exchanges, operation / floor,
                w.form()->pnMsg->text().endsWith(QLatin1String("ok.")) ? "ok" : "FAILED");
    reader.Stop();
}

// Fills a history to its bound with card polls that went unanswered.
void FillHistory(link::TrafficHistory& history)
{
    link::TrafficRecorder recorder(history);
    recorder.PortOpened(6, "19200,e,8,1", "/dev/ttyUSB1");
    for (size_t i = 0; i < history.Capacity(); i += 2) {
        recorder.FrameSent("[09]A01F0C[0D]");
        recorder.BytesReceived("[02]A0100[03]", link::Outcome::Accepted, 9);
    }
}

// The heap a full history of the default bound takes.
void HistoryMemoryBench()
{
    const size_t before = mallinfo2().uordblks;
    {
        link::TrafficHistory history;
        FillHistory(history);
        const size_t full = mallinfo2().uordblks;
        std::printf("history of %zu entries, full: %.2f MB (%.0f bytes an entry)\n",
                    history.Capacity(), double(full - before) / 1048576.0,
                    double(full - before) / double(history.Capacity()));
    }
}

// Continuous reading with no card: the cycle against 80 ms of pacing plus the
// poll's exchange timed on its own, and the CPU it costs; optionally with the
// history window open over a full ring.
void CardReadingBench(const QString& ports, bool withHistory)
{
    emu::ReaderEmulator reader;
    reader.Start(ports.toStdString(), 6);
    TfrmModule w;
    if (withHistory) {
        FillHistory(w.History());
        w.form()->mnuHistory->trigger();
    }
    w.ReaderFound = true;
    w.ScanCommNo = 6;
    w.ReaderIdText = QStringLiteral("01");
    w.OpenPort(6, w.ScanBaudRate);
    double exchange = 0;
    for (int i = 0; i < 20; ++i) {
        const auto start = Clock::now();
        w.Exchange(QStringLiteral("A01F"));
        exchange += Ms(Clock::now() - start) / 20;
    }
    w.ClosePort();
    reader.ClearTrace();

    QTimer::singleShot(3000, w.form()->btnReadCard, &QPushButton::click);
    timespec cpu0{}, cpu1{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    const auto start = Clock::now();
    w.form()->btnReadCard->click();
    const double wall = Ms(Clock::now() - start);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    const double cpu =
        double(cpu1.tv_sec - cpu0.tv_sec) * 1000.0 + double(cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
    std::vector<Clock::time_point> polls;
    for (const auto& e : reader.Trace())
        if (e.kind == emu::TraceEntry::Received)
            polls.push_back(e.time);
    const double cycle =
        polls.size() > 1 ? Ms(polls.back() - polls.front()) / double(polls.size() - 1) : 0;
    std::printf("read card, no card%s: cycle %.2f ms, floor %.2f ms (80 ms + %.2f ms exchange), "
                "ratio %.3f; CPU %.1f %% of one core over %.0f ms\n",
                withHistory ? ", history open and full" : "", cycle, 80 + exchange, exchange,
                cycle / (80 + exchange), 100.0 * cpu / wall, wall);
    reader.Stop();
}

double ScanMs(TfrmModule& w)
{
    auto start = Clock::now();
    w.form()->btnScan->click();
    return Ms(Clock::now() - start);
}

void EmptyScanBench(const QString& ports)
{
    TfrmModule w;
    w.ScanCommNo = 0;
    double scan = ScanMs(w);
    auto start = Clock::now();
    for (int n = 1; n <= 16; ++n) {
        int fd = open((ports + QStringLiteral("/COM%1").arg(n)).toLocal8Bit().constData(),
                      O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0)
            close(fd);
    }
    double opens = Ms(Clock::now() - start);
    std::printf("scan with COM1-COM16 absent: %.2f ms (16 bare failed opens: %.3f ms)\n", scan,
                opens);
}

void DeadPortsScanBench(const QString& ports, int dead)
{
    std::vector<std::unique_ptr<emu::ReaderEmulator>> emus;
    for (int n = 1; n <= dead; ++n) {
        emu::ReaderModel m;
        m.dead = true;
        emus.push_back(std::make_unique<emu::ReaderEmulator>(m));
        emus.back()->Start(ports.toStdString(), n);
    }
    // The found reader answers at once, so that the ratio shows what the tool
    // adds, not the simulated wire.
    emu::Options fast;
    fast.fast = true;
    fast.turnaroundMs = 1;
    emus.push_back(std::make_unique<emu::ReaderEmulator>(emu::ReaderModel{}, fast));
    emus.back()->Start(ports.toStdString(), dead + 1);
    TfrmModule w;
    w.ScanCommNo = 0;
    w.form()->chkLock->setChecked(true);
    double scan = ScanMs(w);
    // Two tries of 300 ms on each dead port, two 100 ms pauses (version,
    // interface) in the settings phase of a type 1 reader, and the reader's
    // turnaround for its three answers.
    double minimum = dead * 2 * 300.0 + 2 * 100.0 + 3 * fast.turnaroundMs;
    std::printf("scan, reader behind %d dead ports (locked): %.0f ms, minimum %.0f ms, "
                "ratio %.3f (%s)\n",
                dead, scan, minimum, scan / minimum, w.ReaderFound ? "found" : "NOT FOUND");
    for (auto& e : emus)
        e->Stop();
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QTemporaryDir ports, conf;
    qputenv("TESMORA_PORT_DIR", ports.path().toLocal8Bit());
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, conf.path());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, conf.path());
    SetBeepHook([](int, int) { return true; });
    ExchangeBench(ports.path());
    WireLatencyBench(ports.path());
    FactoryDefaultBench(ports.path());
    CardReadingBench(ports.path(), false);
    CardReadingBench(ports.path(), true);
    HistoryMemoryBench();
    EmptyScanBench(ports.path());
    for (int dead : {1, 4, 8})
        DeadPortsScanBench(ports.path(), dead);
    return 0;
}

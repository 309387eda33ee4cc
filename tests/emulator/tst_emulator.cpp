// The reader emulator, driven from the tool's side of the pty with plain POSIX calls.
// Frames are built here and expected answers are written out byte for byte, so that the
// emulator's own frame code is checked, not restated.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "carddump.h"
#include "democard.h"
#include "readeremulator.h"
#include "toolport.h"

Q_DECLARE_METATYPE(emu::Fault)

namespace {

void Setup(emu::ReaderModel& m, const QString& key)
{
    if (key == "id07")
        m.id = "07";
    else if (key == "noCardType")
        m.interfaceWithCardType = false;
    else if (key == "nonDigit")
        m.interfaceMode = "x", m.keyNumber = "4x";
    else if (key == "prefixJ")
        m.prefix = 'J';
    else if (key == "any")
        m.anyPrefix = true;
    else if (key.startsWith("silent:"))
        m.silentCommands.insert(key.mid(7).toStdString());
}

} // namespace

class TestEmulator : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    std::string Dir() const { return dir_.path().toStdString(); }

private slots:
    void answers_data();
    void answers();
    void lineSpeed_data();
    void lineSpeed();
    void setCommands_data();
    void setCommands();
    void faults_data();
    void faults();
    void faultSequence_data();
    void faultSequence();
    void earlyAnswer_data();
    void earlyAnswer();
    void hangUp();
    void timing_data();
    void timing();
    void trace();
    void deadPort_data();
    void deadPort();
    void heldPort();
    void twoReaders();
    void linkLifecycle_data();
    void linkLifecycle();
    void reopenAndRuntimeChanges();
    void executable();
    void executableRefuses_data();
    void executableRefuses();
    void executableCards_data();
    void executableCards();
    void demo_data();
    void demo();
};

void TestEmulator::answers_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("expected"); // empty: no answer

    const QByteArray identify("\nA01B1234567800\r");
    QTest::newRow("identify at 00") << "" << QByteArray("A00B") << identify;
    QTest::newRow("identify at own id") << "" << QByteArray("A01B") << identify;
    QTest::newRow("identify at other id") << "" << QByteArray("A02B") << QByteArray();
    QTest::newRow("identify, other prefix") << "" << QByteArray("H00B") << QByteArray();
    QTest::newRow("id 07 at 00") << "id07" << QByteArray("A00B")
                                 << QByteArray("\nA07B1234567806\r");
    QTest::newRow("id 07 at 07") << "id07" << QByteArray("A07B")
                                 << QByteArray("\nA07B1234567806\r");
    QTest::newRow("id 07 at 01") << "id07" << QByteArray("A01B") << QByteArray();
    QTest::newRow("version") << "" << QByteArray("A01V") << QByteArray("\nA01V05.00-011B\r");
    QTest::newRow("version at 00") << "" << QByteArray("A00V") << QByteArray();
    QTest::newRow("interface, 12 bytes")
        << "" << QByteArray("A01A") << QByteArray("\nA01A00100A\r");
    QTest::newRow("interface, 11 bytes")
        << "noCardType" << QByteArray("A01A") << QByteArray("\nA01A0013A\r");
    QTest::newRow("interface at 00") << "" << QByteArray("A00A") << QByteArray();
    QTest::newRow("key number") << "" << QByteArray("A01L") << QByteArray("\nA01L0402\r");
    QTest::newRow("key parity") << "" << QByteArray("A01M") << QByteArray("\nA01M037\r");
    QTest::newRow("key status") << "" << QByteArray("A01N") << QByteArray("\nA01N000307\r");
    QTest::newRow("ID location") << "" << QByteArray("A01a")
                                 << QByteArray("\nA01a0000000000012A\r");
    QTest::newRow("non-digit key number")
        << "nonDigit" << QByteArray("A01L") << QByteArray("\nA01L4x4A\r");
    QTest::newRow("non-digit interface")
        << "nonDigit" << QByteArray("A01A") << QByteArray("\nA01Ax01042\r");
    QTest::newRow("unknown command") << "" << QByteArray("A01Z") << QByteArray();
    QTest::newRow("payload too short") << "" << QByteArray("A01") << QByteArray();
    QTest::newRow("type J reader")
        << "prefixJ" << QByteArray("J00B") << QByteArray("\nJ01B123456780B\r");
    QTest::newRow("type J reader, A addressed") << "prefixJ" << QByteArray("A00B") << QByteArray();
    QTest::newRow("any prefix: A") << "any" << QByteArray("A00B") << identify;
    QTest::newRow("any prefix: H")
        << "any" << QByteArray("H00B") << QByteArray("\nH01B1234567809\r");
    QTest::newRow("any prefix: J")
        << "any" << QByteArray("J01B") << QByteArray("\nJ01B123456780B\r");
    QTest::newRow("any prefix: I")
        << "any" << QByteArray("I00B") << QByteArray("\nI01B1234567808\r");
    QTest::newRow("any prefix: K is no type") << "any" << QByteArray("K00B") << QByteArray();
    QTest::newRow("silent N") << "silent:N" << QByteArray("A01N") << QByteArray();
    QTest::newRow("silent N, L answered")
        << "silent:N" << QByteArray("A01L") << QByteArray("\nA01L0402\r");
    QTest::newRow("silent a") << "silent:a" << QByteArray("A01a") << QByteArray();
    QTest::newRow("silent A") << "silent:A" << QByteArray("A01A") << QByteArray();
    QTest::newRow("silent A, identify answered") << "silent:A" << QByteArray("A00B") << identify;
}

void TestEmulator::answers()
{
    QFETCH(QString, setup);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, expected);
    emu::ReaderModel m;
    Setup(m, setup);
    emu::ReaderEmulator r(m, {true, kTurnaroundMs});
    QVERIFY2(r.Start(Dir(), 3), r.LastError().c_str());
    QCOMPARE(B(r.BuildAnswerFor(S(payload))), expected);
    ToolPort tool(r.LinkPath());
    QVERIFY(tool.ok());
    QCOMPARE(B(tool.Exchange(S(payload), expected.isEmpty() ? 60 : 300)), expected);
}

void TestEmulator::lineSpeed_data()
{
    QTest::addColumn<int>("readerBaud");
    QTest::addColumn<int>("toolSpeed");
    QTest::addColumn<int>("toolFlags");
    QTest::addColumn<bool>("answered");
    QTest::newRow("19200 vs 9600") << 19200 << int(B9600) << 0 << false;
    QTest::newRow("19200 vs 19200") << 19200 << int(B19200) << 0 << true;
    QTest::newRow("19200 vs 19200 even parity") << 19200 << int(B19200) << int(PARENB) << true;
    QTest::newRow("230400 vs 230400") << 230400 << int(B230400) << 0 << true;
    QTest::newRow("230400 vs 115200") << 230400 << int(B115200) << 0 << false;
    QTest::newRow("4800 vs 4800") << 4800 << int(B4800) << 0 << true;
}

void TestEmulator::lineSpeed()
{
    QFETCH(int, readerBaud);
    QFETCH(int, toolSpeed);
    QFETCH(int, toolFlags);
    QFETCH(bool, answered);
    emu::ReaderModel m;
    m.baud = readerBaud;
    emu::ReaderEmulator r(m, {true, kTurnaroundMs});
    QVERIFY(r.Start(Dir(), 3));
    ToolPort tool(r.LinkPath(), speed_t(toolSpeed), tcflag_t(toolFlags));
    const std::string got = tool.Exchange("A00B", answered ? 300 : 60);
    QCOMPARE(got == "\nA01B1234567800\r", answered);
    QVERIFY(answered || got.empty());
    // Tries at the wrong speed are traced all the same, so a test can count them.
    const auto t = r.Trace();
    QVERIFY(!t.empty());
    QCOMPARE(t.front().kind, emu::TraceEntry::Received);
    QCOMPARE(t.front().bytes, std::string("A00B"));
    QCOMPARE(t.front().baudMatched, answered);
    QCOMPARE(r.ReceivedPayloads(), std::vector<std::string>{"A00B"});
}

// Each step: a payload and the answer between 0x0A and the checksum ("" for none).
// The reader changes as set commands say, and its ID as the "C" rules say.
void TestEmulator::setCommands_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("baud");
    QTest::newRow("settings") << QStringList{"A01A123=A01A00",
                                             "A01A2=A01A00",
                                             "A01A=A01A1232",
                                             "A01L16=A01L00",
                                             "A01M1=A01M00",
                                             "A01N0507=A01N00",
                                             "A01a27031F0103=A01a00",
                                             "A01L=A01L16",
                                             "A01M=A01M1",
                                             "A01N=A01N0507",
                                             "A01a=A01a0027031F0103",
                                             "A01A12=A01A01",
                                             "A01LX1=A01L01",
                                             "A01L=A01L16"}
                              << "" << 19200;
    // Old and new ID until the restart that a line-setting change is.
    QTest::newRow("new ID") << QStringList{"A01C1234567807=A07C00", "A01V=A07V05.00-01",
                                           "A07V=A07V05.00-01",     "A00B=A07B12345678",
                                           "A01C8765432109=A07C01", "A01E7=A07E00",
                                           "speed=38400",           "A01V=",
                                           "A07V=A07V05.00-01"}
                            << "" << 38400;
    QTest::newRow("strict ID") << QStringList{"A01C1234567807=A07C00", "A01V=", "A07V=A07V05.00-01"}
                               << "strict" << 19200;
    QTest::newRow("refusals") << QStringList{"A01A0=", "A01A001=A01A01", "A01A1=A01A00",
                                             "A01A=A01A0011", "A01H1="}
                              << "refuse" << 19200;
    QTest::newRow("unknown answered")
        << QStringList{"A01H1=A01H01", "A01V=A01V05.00-01"} << "unknown" << 19200;
}

void TestEmulator::setCommands()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, setup);
    QFETCH(int, baud);
    emu::ReaderModel m;
    m.strictId = setup == "strict";
    m.answerUnknown = setup == "unknown";
    if (setup == "refuse") {
        m.silentCommands = {"A0"};
        m.errorCommands = {"A001"};
    }
    emu::ReaderEmulator r(m, {true, kTurnaroundMs});
    QVERIFY(r.Start(Dir(), 3));
    ToolPort tool(r.LinkPath());
    for (const QString& step : steps) {
        if (step == "speed=38400") {
            termios t{};
            ::tcgetattr(tool.fd, &t);
            ::cfsetspeed(&t, B38400);
            ::tcsetattr(tool.fd, TCSANOW, &t);
            continue;
        }
        const std::string payload = step.section('=', 0, 0).toStdString();
        const std::string body = step.section('=', 1).toStdString();
        QCOMPARE(tool.Exchange(payload, body.empty() ? 60 : 300),
                 body.empty() ? std::string() : AnswerFrame(body));
    }
    QCOMPARE(r.Model().baud, baud);
}

void TestEmulator::faults_data()
{
    QTest::addColumn<emu::Fault>("fault");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("minDelayMs"); // from the command to the answer's first byte
    using emu::Fault;
    const QByteArray id("A01B");
    QTest::newRow("none") << Fault::None << id << QByteArray("\nA01B1234567800\r") << 0;
    QTest::newRow("no answer") << Fault::NoAnswer << id << QByteArray() << 0;
    QTest::newRow("early answer: none to the command")
        << Fault::EarlyAnswer << id << QByteArray() << 0;
    QTest::newRow("bad checksum") << Fault::BadChecksum << id << QByteArray("\nA01B1234567801\r")
                                  << 0;
    QTest::newRow("lower-case checksum")
        << Fault::LowerCaseChecksum << QByteArray("A01V") << QByteArray("\nA01V05.00-011b\r") << 0;
    QTest::newRow("stray byte") << Fault::StrayByte << id << QByteArray("\0\nA01B1234567800\r", 17)
                                << 0;
    QTest::newRow("short by one") << Fault::ShortByOne << id << QByteArray("\nA01B123456738\r")
                                  << 0;
    QTest::newRow("long by one") << Fault::LongByOne << id << QByteArray("\nA01B12345678030\r")
                                 << 0;
    QTest::newRow("late") << Fault::Late << id << QByteArray("\nA01B1234567800\r") << 350;
    QTest::newRow("partial then silence")
        << Fault::PartialThenSilence << id << QByteArray("\nA01B123") << 0;
    QTest::newRow("bad status") << Fault::BadStatus << QByteArray("A01a")
                                << QByteArray("\nA01a0100000000012B\r") << 0;
    QTest::newRow("bad status, answer without status")
        << Fault::BadStatus << QByteArray("A01V") << QByteArray("\nA01V05.00-011B\r") << 0;
}

void TestEmulator::faults()
{
    QFETCH(emu::Fault, fault);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, expected);
    QFETCH(int, minDelayMs);
    emu::ReaderEmulator r({}, {true, kTurnaroundMs});
    QVERIFY(r.Start(Dir(), 3));
    r.ArmFault(fault);
    ToolPort tool(r.LinkPath());
    tool.Send(S(payload));
    const std::string got = tool.Collect(minDelayMs + 150);
    QCOMPARE(B(got), expected);
    if (!got.empty())
        QVERIFY2(Ms(tool.first - tool.sent) >= minDelayMs,
                 qPrintable(QString::number(Ms(tool.first - tool.sent))));
    // The fault is used up: the next answer is the model's own.
    QCOMPARE(tool.Exchange(S(payload), 400), r.BuildAnswerFor(S(payload)));
}

void TestEmulator::faultSequence_data()
{
    QTest::addColumn<QString>("arm");
    QTest::addColumn<QStringList>("payloads");
    QTest::addColumn<QStringList>("outcomes"); // good, none, stray
    QTest::newRow("no answer twice")
        << "N2" << QStringList{"A01B", "A01V", "A01B"} << QStringList{"none", "none", "good"};
    QTest::newRow("queued in order")
        << "N1,S1" << QStringList{"A01B", "A01B", "A01B"} << QStringList{"none", "stray", "good"};
    QTest::newRow("only for A") << "N1A" << QStringList{"A01B", "A01V", "A01A", "A01A"}
                                << QStringList{"good", "good", "none", "good"};
    // Commands that get no answer anyway do not use up a fault.
    QTest::newRow("unanswered commands keep it")
        << "N1" << QStringList{"A02B", "A01Z", "A01B", "A01B"}
        << QStringList{"none", "none", "none", "good"};
}

void TestEmulator::faultSequence()
{
    QFETCH(QString, arm);
    QFETCH(QStringList, payloads);
    QFETCH(QStringList, outcomes);
    emu::ReaderEmulator r({}, {true, kTurnaroundMs});
    QVERIFY(r.Start(Dir(), 3));
    for (const QString& a : arm.split(',')) {
        const emu::Fault f = a[0] == 'N' ? emu::Fault::NoAnswer : emu::Fault::StrayByte;
        const int count = a.mid(1, 1).toInt();
        if (a.size() > 2)
            r.ArmFaultFor(a[2].toLatin1(), f, count);
        else
            r.ArmFault(f, count);
    }
    ToolPort tool(r.LinkPath());
    for (int i = 0; i < payloads.size(); ++i) {
        const std::string p = payloads[i].toStdString();
        std::string want;
        if (outcomes[i] == "good")
            want = r.BuildAnswerFor(p);
        else if (outcomes[i] == "stray")
            want = std::string(1, '\0') + r.BuildAnswerFor(p);
        QVERIFY(outcomes[i] == "none" || !r.BuildAnswerFor(p).empty());
        QCOMPARE(B(tool.Exchange(p, want.empty() ? 60 : 300)), B(want));
    }
}

void TestEmulator::earlyAnswer_data()
{
    QTest::addColumn<bool>("purge");
    QTest::newRow("tool purges: lost") << true;
    QTest::newRow("no purge: it was there") << false;
}

void TestEmulator::earlyAnswer()
{
    QFETCH(bool, purge);
    emu::ReaderEmulator r({}, {true, kTurnaroundMs});
    QVERIFY(r.Start(Dir(), 3));
    ToolPort tool(r.LinkPath());
    const std::string answer = r.BuildAnswerFor("A00B");
    QVERIFY(r.InjectNow(answer));
    QVERIFY(r.WaitPendingToTool(int(answer.size()), 1000));
    r.ArmFault(emu::Fault::EarlyAnswer);
    tool.Send("A00B", purge);
    QCOMPARE(tool.Collect(80), purge ? std::string() : answer);
    QCOMPARE(r.ReceivedPayloads(), std::vector<std::string>{"A00B"});
}

void TestEmulator::hangUp()
{
    emu::ReaderEmulator r({}, {true, kTurnaroundMs});
    QVERIFY(r.Start(Dir(), 3));
    const std::string link = r.LinkPath();
    r.ArmFault(emu::Fault::HangUp);
    ToolPort tool(link);
    tool.Send("A00B");
    QCOMPARE(tool.Collect(500), std::string("\nA01B123"));
    QVERIFY(tool.hungUp);
    // Gone for good: the line stays dead and the port cannot be opened again.
    pollfd p{tool.fd, POLLIN, 0};
    QCOMPARE(::poll(&p, 1, 0), 1);
    QVERIFY(p.revents & POLLHUP);
    char c;
    QVERIFY(::read(tool.fd, &c, 1) <= 0);
    QVERIFY(r.HungUp());
    QVERIFY(!r.Running());
    QVERIFY(!QFile::exists(QString::fromStdString(link)));
    QVERIFY(!ToolPort(link).ok());
    QVERIFY(!r.InjectNow("x"));
    r.Stop();
    QCOMPARE(r.Trace().back().bytes, std::string("\nA01B123"));
}

void TestEmulator::timing_data()
{
    QTest::addColumn<bool>("fast");
    QTest::addColumn<int>("turnaround");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("flags");
    QTest::addColumn<int>("bits");
    QTest::newRow("9600 8N1") << false << 3 << 9600 << 0 << 10;
    QTest::newRow("9600 8N2") << false << 3 << 9600 << int(CSTOPB) << 11;
    QTest::newRow("4800 8N1, 20 ms turnaround") << false << 20 << 4800 << 0 << 10;
    QTest::newRow("fast, 40 ms turnaround") << true << 40 << 2400 << 0 << 0;
    QTest::newRow("fast at 2400") << true << 3 << 2400 << 0 << 0;
}

void TestEmulator::timing()
{
    QFETCH(bool, fast);
    QFETCH(int, turnaround);
    QFETCH(int, baud);
    QFETCH(int, flags);
    QFETCH(int, bits);
    emu::ReaderModel m;
    m.baud = baud;
    emu::ReaderEmulator r(m, {fast, turnaround});
    QVERIFY(r.Start(Dir(), 3));
    const speed_t speed = baud == 9600 ? B9600 : baud == 4800 ? B4800 : B2400;
    ToolPort tool(r.LinkPath(), speed, tcflag_t(flags));
    QCOMPARE(tool.Exchange("A00B", 600).size(), size_t(16));
    const double first = Ms(tool.first - tool.sent);
    const double last = Ms(tool.last - tool.sent);
    const QByteArray why = QString("first %1 ms, last %2 ms").arg(first).arg(last).toLatin1();
    QVERIFY2(first >= turnaround, why);
    if (fast) {
        // Far below the 100 ms that 8 + 16 bytes take on a 2400 baud wire.
        QVERIFY2(last < turnaround + 60, why);
        return;
    }
    const double byteMs = 1000.0 * bits / baud;
    // The command is on the wire for 8 byte times, then the turnaround, then each answer
    // byte arrives when its last bit has.
    QVERIFY2(first >= 9 * byteMs + turnaround, why);
    QVERIFY2(last >= 24 * byteMs + turnaround, why);
    // Measured from the emulator's first write, so a slow test thread cannot fake it.
    const auto sent = r.Trace().back();
    QCOMPARE(sent.kind, emu::TraceEntry::Sent);
    QVERIFY2(Ms(tool.last - sent.time) >= 15 * byteMs, why);
}

void TestEmulator::trace()
{
    emu::ReaderEmulator r({}, {true, kTurnaroundMs});
    QVERIFY(r.Start(Dir(), 3));
    ToolPort tool(r.LinkPath());
    const auto before = Clock::now();
    QCOMPARE(tool.Exchange("A00B", 300).size(), size_t(16));
    QCOMPARE(tool.Exchange("A01V", 300).size(), size_t(16));
    tool.SendRaw("xy\tA01V00\r"); // noise, then a frame with a wrong checksum
    QCOMPARE(tool.Collect(60), std::string());
    tool.SendRaw("\tA01\tA01L05\r"); // a start byte mid-frame begins a new frame
    QCOMPARE(tool.Collect(300), std::string("\nA01L0402\r"));
    QCOMPARE(tool.Exchange("A01Z", 60), std::string());

    const auto t = r.Trace();
    using K = emu::TraceEntry;
    const std::vector<std::pair<K::Kind, std::string>> want = {
        {K::Received, "A00B"},           {K::Sent, "\nA01B1234567800\r"}, {K::Received, "A01V"},
        {K::Sent, "\nA01V05.00-011B\r"}, {K::Received, "A01V"},           {K::Received, "A01L"},
        {K::Sent, "\nA01L0402\r"},       {K::Received, "A01Z"},
    };
    QCOMPARE(t.size(), want.size());
    auto previous = before;
    for (size_t i = 0; i < t.size(); ++i) {
        QCOMPARE(t[i].kind, want[i].first);
        QCOMPARE(t[i].bytes, want[i].second);
        QCOMPARE(t[i].checksumOk, i != 4);
        QVERIFY(t[i].baudMatched);
        QVERIFY(t[i].time >= previous);
        previous = t[i].time;
    }
    QCOMPARE(r.ReceivedPayloads(), (std::vector<std::string>{"A00B", "A01V", "A01L", "A01Z"}));
    r.ClearTrace();
    QVERIFY(r.Trace().empty());
    QVERIFY(r.ReceivedPayloads().empty());
}

void TestEmulator::deadPort_data()
{
    QTest::addColumn<bool>("useClass");
    QTest::newRow("DeadPort") << true;
    QTest::newRow("model.dead") << false;
}

void TestEmulator::deadPort()
{
    QFETCH(bool, useClass);
    emu::ReaderModel m;
    m.dead = true;
    std::unique_ptr<emu::ReaderEmulator> r =
        useClass ? std::make_unique<emu::DeadPort>() : std::make_unique<emu::ReaderEmulator>(m);
    QVERIFY(r->Start(Dir(), 4));
    QCOMPARE(r->BuildAnswerFor("A00B"), std::string());
    ToolPort tool(r->LinkPath());
    QVERIFY(tool.ok());
    QCOMPARE(tool.Exchange("A00B", 60), std::string());
    QCOMPARE(tool.Exchange("A01B", 60), std::string());
    QCOMPARE(r->ReceivedPayloads(), (std::vector<std::string>{"A00B", "A01B"}));
}

void TestEmulator::heldPort()
{
    emu::ReaderEmulator r;
    QVERIFY(r.Start(Dir(), 3));
    auto tryOpen = [&]() {
        const int fd = ::open(r.LinkPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            return false; // EBUSY from TIOCEXCL when not root
        const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return locked;
    };
    QVERIFY(tryOpen());
    {
        emu::HeldPort held(r.LinkPath());
        QVERIFY(held.Held());
        QVERIFY(!tryOpen());
        QVERIFY(!emu::HeldPort(r.LinkPath()).Held());
    }
    QVERIFY(tryOpen());
    QVERIFY(!emu::HeldPort(Dir() + "/COM99").Held());
}

void TestEmulator::twoReaders()
{
    emu::ReaderModel a, b;
    a.serial = "33333333";
    b.serial = "55555555";
    emu::ReaderEmulator r3(a, {true, kTurnaroundMs}), r5(b, {true, kTurnaroundMs});
    QVERIFY(r3.Start(Dir(), 3));
    QVERIFY(r5.Start(Dir(), 5));
    QVERIFY(r3.SlavePath() != r5.SlavePath());
    ToolPort t3(Dir() + "/COM3"), t5(Dir() + "/COM5");
    QCOMPARE(t5.Exchange("A00B", 300), std::string("\nA01B5555555508\r"));
    QCOMPARE(t3.Exchange("A00B", 300), std::string("\nA01B3333333308\r"));
    QCOMPARE(t3.Exchange("A01V", 300).size(), size_t(16));
    QCOMPARE(r3.ReceivedPayloads(), (std::vector<std::string>{"A00B", "A01V"}));
    QCOMPARE(r5.ReceivedPayloads(), std::vector<std::string>{"A00B"});
}

void TestEmulator::linkLifecycle_data()
{
    QTest::addColumn<QString>("existing"); // what COM6 was before the start
    QTest::newRow("nothing") << "";
    QTest::newRow("dangling link") << "link";
    QTest::newRow("plain file") << "file";
}

void TestEmulator::linkLifecycle()
{
    QFETCH(QString, existing);
    const QString link = dir_.path() + "/COM6";
    QFile::remove(link);
    if (existing == "link")
        QVERIFY(QFile::link("/nonexistent/tty", link));
    if (existing == "file") {
        QFile f(link);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    emu::ReaderEmulator r({}, {true, kTurnaroundMs});
    QVERIFY(r.Start(Dir(), 6));
    QCOMPARE(r.LinkPath(), link.toStdString());
    QCOMPARE(QFile::symLinkTarget(link), QString::fromStdString(r.SlavePath()));
    QVERIFY(!r.Start(Dir(), 7)); // one line per emulator
    r.Stop();
    QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());
    r.Stop();
    // Started again, it serves again.
    QVERIFY(r.Start(Dir(), 6));
    QCOMPARE(ToolPort(r.LinkPath()).Exchange("A00B", 300).size(), size_t(16));
    r.Stop();
    // A port directory that is not there: refused, nothing left open.
    emu::ReaderEmulator bad;
    QVERIFY(!bad.Start(Dir() + "/missing", 3));
    QVERIFY(!bad.LastError().empty());
    QVERIFY(!bad.Running());
    QVERIFY(QDir(dir_.path()).entryList({".COM*"}, QDir::AllEntries | QDir::Hidden).isEmpty());
}

void TestEmulator::reopenAndRuntimeChanges()
{
    emu::ReaderEmulator r({}, {true, kTurnaroundMs});
    QVERIFY(r.Start(Dir(), 3));
    {
        ToolPort tool(r.LinkPath(), B9600);
        QCOMPARE(tool.Exchange("A00B", 60), std::string());
    }
    {
        // The port survives the tool's close and sees the new speed of the next open.
        ToolPort tool(r.LinkPath(), B19200);
        QCOMPARE(tool.Exchange("A00B", 300).size(), size_t(16));
    }
    emu::ReaderModel m = r.Model();
    m.id = "07";
    m.serial = "0000ABCD";
    r.SetModel(m);
    r.SetHandler('F', [](emu::ReaderModel&, const emu::Command& c) {
        return std::optional<emu::Reply>(emu::Reply{"00" + c.params, true});
    });
    ToolPort tool(r.LinkPath());
    QCOMPARE(B(tool.Exchange("A00B", 300)), QByteArray("\nA07B0000ABCD0A\r"));
    QCOMPARE(tool.Exchange("A01V", 60), std::string());
    QCOMPARE(tool.Exchange("A07F12", 300), r.BuildAnswerFor("A07F12"));
    QCOMPARE(r.BuildAnswerFor("A07F12").substr(1, 8), std::string("A07F0012"));
    r.SetHandler('F', nullptr);
    QCOMPARE(tool.Exchange("A07F12", 60), std::string());
}

void TestEmulator::executable()
{
#ifndef TESMORA_EMULATOR_EXE
    QSKIP("the emulator executable's path is not known to this build");
#else
    QProcess p;
    p.start(TESMORA_EMULATOR_EXE,
            {"--type", "4", "--serial", "87654321", "--mode", "9600,e,8,1", "--com", "7",
             "--port-dir", dir_.path(), "--fast", "--turnaround", "1", "--interface", "123",
             "--key-status", "0715", "--id-location", "2703110102"});
    QVERIFY(p.waitForStarted());
    QVERIFY(p.waitForReadyRead(3000));
    const QString line = QString::fromLocal8Bit(p.readLine()).trimmed();
    const QString link = dir_.path() + "/COM7";
    QCOMPARE(line, "COM7 -> " + QFile::symLinkTarget(link) + " in " + dir_.path());
    {
        ToolPort tool(link.toStdString(), B9600, PARENB);
        QCOMPARE(tool.Exchange("H00B", 300), std::string("\nH01B8765432109\r"));
        QCOMPARE(tool.Exchange("A00B", 60), std::string()); // type 4 is an H reader
        QCOMPARE(tool.Exchange("H01A", 300), std::string("\nH01A123002\r"));
        QCOMPARE(tool.Exchange("H01N", 300), std::string("\nH01N07150E\r"));
        QCOMPARE(tool.Exchange("H01a", 300), std::string("\nH01a00270311010227\r"));
    }
    ::kill(pid_t(p.processId()), SIGTERM);
    QVERIFY(p.waitForFinished(3000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
    // Alone, --version is the program's.
    p.start(TESMORA_EMULATOR_EXE, {"--version"});
    QVERIFY(p.waitForFinished(3000) && p.exitCode() == 0);
    QCOMPARE(p.readAll(), QByteArray("tesmora-reader-emulator " TESMORA_VERSION "\n"));
#endif
}

void TestEmulator::executableRefuses_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("type 9") << QStringList{"--type", "9"};
    QTest::newRow("bad mode") << QStringList{"--mode", "fast,e,8,1"};
    QTest::newRow("bad com") << QStringList{"--com", "x"};
    QTest::newRow("missing value") << QStringList{"--com"};
    QTest::newRow("unknown option") << QStringList{"--colour", "red"};
    QTest::newRow("bad interface") << QStringList{"--interface", "12"};
    QTest::newRow("bad ID location") << QStringList{"--id-location", "27031f0102"};
    QTest::newRow("missing directory") << QStringList{"--port-dir", "/nonexistent/ports"};
    QTest::newRow("card size 2k") << QStringList{"--mifare-card", "--card-size", "2k"};
    QTest::newRow("card size of a dump") << QStringList{"--card-dump", "x", "--card-size", "1k"};
    QTest::newRow("two cards") << QStringList{"--mifare-card", "--demo-card"};
    QTest::newRow("two sources of EM cards")
        << QStringList{"--demo-cards", "--card-queue", "/dev/null"};
    QTest::newRow("queue: a folder") << QStringList{"--card-queue", "/"};
    QTest::newRow("queue: endless") << QStringList{"--card-queue", "/dev/zero"};
    QTest::newRow("run without the demo") << QStringList{"--run", "true"};
    QTest::newRow("demo in a given folder") << QStringList{"--demo"};
}

void TestEmulator::executableRefuses()
{
#ifndef TESMORA_EMULATOR_EXE
    QSKIP("the emulator executable's path is not known to this build");
#else
    QFETCH(QStringList, args);
    QProcess p;
    if (!args.contains("--port-dir"))
        args << "--port-dir" << dir_.path();
    p.start(TESMORA_EMULATOR_EXE, args);
    QVERIFY(p.waitForFinished(3000));
    QVERIFY(p.exitCode() != 0);
    QVERIFY(p.readAllStandardError().contains("tesmora-reader-emulator: "));
    QVERIFY(!QFileInfo(dir_.path() + "/COM3").isSymLink());
#endif
}

// The card options, a card dump or its refusal, and the trace of every row: the payloads as
// sent, a line each.
void TestEmulator::executableCards_data()
{
    QTest::addColumn<QStringList>("args"); // "@dump": a file holding dump
    QTest::addColumn<QString>("dump");
    QTest::addColumn<QString>("steps"); // as RunSteps takes them, or "refused: " and why
    const QString on = "b01 00; fFFFFFFFFFFFF 00; ", z(32, '0'), none;
    const QStringList demo{"--demo-card"}, dump{"--card-dump", "@dump"};
    const QString block = z + "\n", sector = "+Sector: 0\n" + block.repeated(4);
    const QString card4K = QString::fromStdString(emu::CardDumpText(emu::MifareCard()));
    QTest::newRow("1K card ends at block 63")
        << QStringList{"--mifare-card", "--card-size", "1k"} << none
        << on +
               "h6000 001A2B3C4D400804004659255849102302; h603F 00000000000000FF078069FFFFFFFFFFFF"
               "; h6040 03; i6040" +
               z + " 03; h61FF 03";
    QTest::newRow("demo: data only with key B")
        << demo << none
        << "b01 00; fAABBCCDDEEFF 00; h6010 04; i6011" + z +
               " 04; h6013 000000000000000F00FF69000000000000; f000000000000 00; "
               "h6110 006F6E6C79206B65792042207265616473";
    QTest::newRow("demo: key B readable, then no key")
        << demo << none
        << "b01 00; fD3F7D3F7D3F7 00; h6017 00000000000000FF0780690123456789AB; "
           "f0123456789AB 00; h6114 03; fB0B1B2B3B4B5 00; h611B 03";
    QTest::newRow("demo: value block, a closed sector, a 16-block sector")
        << demo << none
        << "b01 00; fA0A1A2A3A4A5 00; h601D 00640000009BFFFFFF6400000001FE01FE; "
           "fFFFFFFFFFFFF 00; h6020 03; f000000000000 00; "
           "h6185 0031362D626C6F636B20736563746F7220";
    QTest::newRow("dump of the 1K demo card")
        << dump
        << "# the 1K demo card\n\n" +
               QString::fromStdString(emu::CardDumpText(emu::DemoCard(emu::MifareSize::k1K)))
        << on + "h6004 005465736D6F72612064656D6F20314B20; h6040 03";
    QTest::newRow("card taken away: 02")
        << QStringList{"--mifare-card", "--remove-card-after", "3"} << none
        << on + "h6004 00" + z + "; h6004 02; i6004" + z + " 02";
    QTest::newRow("card taken away: silence")
        << QStringList{"--mifare-card", "--remove-card-after", "3", "--no-card-silent"} << none
        << on + "h6004 00" + z + "; h6004 -; i6004" + z + " -; b00 00";
    QTest::newRow("queue: --card-size 1k, given after it")
        << QStringList{"--card-queue", "@dump", "--card-size", "1k"} << "mifare 1A2B3C4D 60000 0\n"
        << on + "h6000 001A2B3C4D400804004659255849102302; h6040 03";
    QTest::newRow("error and silent commands")
        << QStringList{"--error-command", "L08", "--silent-command", "N"} << none
        << "L08 01; L 04; N -; L07 00; L 07";
    QTest::newRow("dump: block first")
        << dump << "# x\n\n" + block << "refused: line 3: a block before the first";
    QTest::newRow("dump: not hex") << dump << "+Sector: 0\n" + block.left(31) + "G"
                                   << "refused: line 2: not a block of 32";
    QTest::newRow("dump: unknown bytes")
        << dump << "+Sector: 0\n--" + block.mid(2) << "refused: line 2: unknown bytes";
    QTest::newRow("dump: sector 40") << dump << "+Sector: 40\n"
                                     << "refused: line 1: not a sector number";
    QTest::newRow("dump: sector twice")
        << dump << sector + sector << "refused: line 6: sector 0 appears twice";
    QTest::newRow("dump: block short") << dump << "+Sector: 0\n" + block.repeated(3) + "+Sector: 1"
                                       << "refused: line 5: sector 0 has 3 of its 4 blocks";
    QTest::newRow("dump: block over")
        << dump << sector + block << "refused: line 6: sector 0 has more than 4 blocks";
    QTest::newRow("dump: sector 39 missing") << dump << card4K.left(card4K.indexOf("+Sector: 39"))
                                             << "refused: sectors missing from a 4K card: 39";
    QTest::newRow("dump: no file")
        << QStringList{"--card-dump", "@dump.none"} << none << "refused: cannot read it";
}

void TestEmulator::executableCards()
{
#ifndef TESMORA_EMULATOR_EXE
    QSKIP("the emulator executable's path is not known to this build");
#else
    QFETCH(QStringList, args);
    QFETCH(QString, dump);
    QFETCH(QString, steps);
    const QString file = dir_.path() + "/dump.txt", trace = dir_.path() + "/trace.txt";
    QFile::remove(trace);
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(dump.toLatin1()) >= 0);
    f.close();
    QProcess p;
    args.replaceInStrings("@dump", file);
    p.start(TESMORA_EMULATOR_EXE,
            args + QStringList{"--port-dir", dir_.path(), "--fast", "--trace", trace});
    if (steps.startsWith("refused: ")) {
        QVERIFY(p.waitForFinished(3000));
        QCOMPARE(p.exitCode(), 2);
        const QString said = QString::fromLatin1(p.readAllStandardError());
        QVERIFY2(said.startsWith("tesmora-reader-emulator: --card-dump " + args[1] + ": " +
                                 steps.mid(9)),
                 qPrintable(said));
        QVERIFY(!QFileInfo(dir_.path() + "/COM3").isSymLink());
        return;
    }
    QVERIFY(p.waitForReadyRead(3000));
    const std::string error = RunSteps(Dir() + "/COM3", steps);
    ::kill(pid_t(p.processId()), SIGTERM);
    QVERIFY(p.waitForFinished(3000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY2(error.empty(), error.c_str());
    QStringList sent;
    for (const QString& step : steps.split("; "))
        sent << "A01" + step.section(' ', 0, 0);
    QFile traced(trace);
    QVERIFY(traced.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromLatin1(traced.readAll()), sent.join('\n') + '\n');
#endif
}

void TestEmulator::demo_data()
{
    QTest::addColumn<QStringList>("run");
    QTest::addColumn<int>("signal"); // sent once the link is there; -1: the folder is there
                                     // already, open to others
    QTest::addColumn<int>("exitCode");
    QTest::newRow("run: the link in a private folder")
        << QStringList{"sh", "-c",
                       "test -L \"$TESMORA_PORT_DIR/COM3\" && "
                       "test \"$(stat -c %a \"$TESMORA_PORT_DIR\")\" = 700"}
        << 0 << 0;
    QTest::newRow("run: its exit status") << QStringList{"sh", "-c", "exit 7"} << 0 << 7;
    QTest::newRow("run: no such command") << QStringList{"tesmora-no-such-command"} << 0 << 127;
    QTest::newRow("run: SIGTERM passed on") << QStringList{"sleep", "20"} << SIGTERM << 143;
    QTest::newRow("SIGINT") << QStringList() << SIGINT << 0;
    QTest::newRow("SIGTERM") << QStringList() << SIGTERM << 0;
    QTest::newRow("SIGHUP") << QStringList() << SIGHUP << 0;
    QTest::newRow("folder open to others") << QStringList{"true"} << -1 << 2;
}

void TestEmulator::demo()
{
#ifndef TESMORA_EMULATOR_EXE
    QSKIP("the emulator executable's path is not known to this build");
#else
    QFETCH(QStringList, run);
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    QTemporaryDir runtime;
    const QString folder = runtime.path() + "/tesmora-demo", link = folder + "/COM3";
    QVERIFY(signal >= 0 || (QDir().mkdir(folder) && ::chmod(qPrintable(folder), 0755) == 0));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(TESMORA_EMULATOR_EXE,
            QStringList{"--demo", "--fast"} + (run.isEmpty() ? run : QStringList{"--run"} + run));
    if (signal > 0) {
        QTRY_VERIFY(QFileInfo(link).isSymLink());
        if (run.isEmpty()) {
            QTRY_VERIFY(p.bytesAvailable() > 0 && p.peek(4096).endsWith("removed then.\n"));
            const QByteArray printed = p.readAll();
            QVERIFY(printed.contains("  TESMORA_PORT_DIR=" + folder.toLocal8Bit() + ' '));
            QVERIFY(printed.contains(" tesmora-cli scan --port 3 --type 4\n"));
            ToolPort tool(link.toStdString());
            QCOMPARE(tool.Exchange("H00B", 300), AnswerFrame("H01B12345678"));
            QCOMPARE(tool.Exchange("J01A", 300), AnswerFrame("J01A0111"));
            QCOMPARE(tool.Exchange("I01N", 300), AnswerFrame("I01N0310"));
        }
        ::kill(pid_t(p.processId()), signal);
    }
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.exitCode(), exitCode);
    QCOMPARE(QFileInfo::exists(folder), signal < 0); // only the refused folder stays
#endif
}

QTEST_GUILESS_MAIN(TestEmulator)
#include "tst_emulator.moc"

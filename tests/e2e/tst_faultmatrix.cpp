// Every emulated fault against every reader operation, once on the first command of the
// operation and once on its set command, in the real window. The expected outcome comes
// from what the fault does to a frame and what the operation accepts; the operations and
// the faults are tables, the cells their product.
//
// TESMORA_MATRIX_SLICE="k/n" keeps the operations whose row number is k modulo n, so that
// ctest can run the matrix in slices side by side.
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <optional>

#include "fixture.h"

using emu::Fault;

namespace {

// What a fault makes of the answer it spoils, as the tool's exchange sees it.
enum class Effect {
    None,         // the answer arrives as if nothing happened
    Spoiled,      // no valid frame arrives in time: the exchange fails
    SpoiledIfHex, // spoiled when the checksum has a letter digit, else none
    WrongLength,  // a valid frame, one byte off
    BadStatus,    // a valid frame with status "01" where the answer has a status
    Gone,         // spoiled, and the device with it: every later exchange fails
};

struct FaultRow
{
    const char* name;
    Fault fault;
    Effect effect;
};

const FaultRow kFaults[] = {
    {"no answer", Fault::NoAnswer, Effect::Spoiled},
    {"bad checksum", Fault::BadChecksum, Effect::Spoiled},
    {"lower-case checksum", Fault::LowerCaseChecksum, Effect::SpoiledIfHex},
    {"stray byte", Fault::StrayByte, Effect::Spoiled},
    {"short by one", Fault::ShortByOne, Effect::WrongLength},
    {"long by one", Fault::LongByOne, Effect::WrongLength},
    {"late", Fault::Late, Effect::Spoiled},
    // The right answer, put on the line before the command: the purge must drop it.
    {"early answer", Fault::EarlyAnswer, Effect::Spoiled},
    {"partial then silence", Fault::PartialThenSilence, Effect::Spoiled},
    {"hang-up", Fault::HangUp, Effect::Gone},
    {"bad status", Fault::BadStatus, Effect::BadStatus},
};

// What a step of an operation accepts: the effects that fail it besides a spoiled frame.
struct Rule
{
    bool length;          // the answer must have its one length
    bool status;          // and status "00"
    bool examined = true; // whether its outcome counts at all
};
constexpr Rule kAnyFrame{false, false};       // a valid frame counts, whatever it says
constexpr Rule kIdentify{true, false};        // exactly 16 bytes
constexpr Rule kWithStatus{true, true};       // block (42) and EEPROM (10) answers
constexpr Rule kIgnored{false, false, false}; // the two-way acknowledge

// The command a fault is armed on.
struct Point
{
    int index;           // commands before it in a fault-free run
    std::string payload; // as the reader receives it
    Rule rule;
    int tries;    // of this step within the operation
    bool counted; // whether another try shows as another attempt
    const char* error;
};

using Setup = std::function<void(Ui::frmModule*)>;

struct Operation
{
    const char* name;
    int type;
    const char* button;
    const char* ok; // pnMsg after success
    char attempt;   // the command letter whose count is the number of attempts
    int okAttempts; // attempts when nothing failed
    bool reading;   // runs until stopped: the test stops it after okAttempts polls
    Point first;
    std::optional<Point> set;
    Setup setup;
};

const std::string kFF = "FFFFFFFFFFFF";
// Serial numbers that give the identify answer a letter in its checksum, so that a
// lower-case checksum shows there: one for each prefix.
const std::string kSerialA = "12345677";
const std::string kSerialH = "12345618";
const std::string kData = "00112233445566778899AABBCCDDEEFF";

void None(Ui::frmModule*) {}

const std::vector<Operation>& Operations()
{
    // Two attempts each starting with identify, unless said otherwise.
    auto first = [](const char* id, const char* error) {
        return Point{0, std::string(id) + "B", kIdentify, 2, true, error};
    };
    auto set = [](int index, const std::string& payload, Rule rule, const char* error) {
        return Point{index, payload, rule, 2, true, error};
    };
    static const std::vector<Operation> ops = {
        // The stored port is tried three times; the version read, twice, stands for the
        // settings and gets no new identify.
        {"scan", 0, "btnScan", "Reader find ok. (COM : #1)", 'B', 1, false,
         Point{0, "A00B", kIdentify, 3, true, "Reader not find"},
         Point{1, "A01V", kAnyFrame, 2, false, "Reader data error! (COM : #1)"}, None},
        {"set ID", 0, "btnID", "Set reader ID ok.", 'B', 1, false,
         first("A01", "Set reader ID error!"),
         set(1, "A01C" + kSerialA + "01", kAnyFrame, "Set reader ID error!"),
         [](Ui::frmModule* f) { f->sbID->setValue(1); }},
        {"set baud rate", 0, "btnBaudRate", "Set Reader baud rate ok.", 'B', 1, false,
         first("A01", "Set reader baud rate error!"),
         set(1, "A01E5", kAnyFrame, "Set reader baud rate error!"),
         [](Ui::frmModule* f) { f->cmbBaudRate->setCurrentIndex(5); }},
        {"interface", 0, "btnMode", "Set reader interface ok.", 'B', 1, false,
         first("A01", "Set reader interface error!"),
         set(1, "A01A001", kAnyFrame, "Set reader interface error!"), None},
        // One frame, no identify, no second attempt.
        {"command test", 0, "btnTest", "Command test ok.", 'V', 1, false,
         Point{0, "A01V", kAnyFrame, 1, false, "Command test error!"}, std::nullopt,
         [](Ui::frmModule* f) { f->edTest->setText("V"); }},
        {"card type", 0, "btnCardType", "Set card type ok.", 'B', 1, false,
         first("A01", "Set card type error!"), set(1, "A01A0", kAnyFrame, "Set card type error!"),
         None},
        {"key parity", 1, "btnKeyParity", "Set key parity ok.", 'B', 1, false,
         first("H01", "Set key parity error!"), set(1, "H01M0", kAnyFrame, "Set key parity error!"),
         None},
        {"key number", 1, "btnKeyNumber", "Set key number ok.", 'B', 1, false,
         first("H01", "Set key number error!"),
         set(1, "H01L04", kAnyFrame, "Set key number error!"), None},
        {"key status", 3, "btnKeyStatus", "Set key status code ok.", 'B', 1, false,
         first("H01", "Set key status code error!"),
         set(1, "H01N0003", kAnyFrame, "Set key status code error!"), None},
        // The line setting comes last and completes the sequence: a failure there costs
        // the whole attempt, the ID change and the type's commands included.
        {"factory default", 0, "btnFactory", "Set factory default ok.", 'B', 1, false,
         first("A01", "Set factory default error!"),
         set(4, "A01E5", kAnyFrame, "Set factory default error!"), None},
        {"read card", 0, "btnReadCard", "Card ID : 0012345678(D)  00BC614E(H)", 'F', 2, true,
         Point{0, "A01F", kAnyFrame, 1, false, "Reader not find"}, std::nullopt, None},
        // The acknowledge follows the card that the first poll brings; a stop shows
        // "Card ID".
        {"two-way read", 0, "btnEncode", "Card ID", 'I', 2, true,
         Point{0, "A01I", kAnyFrame, 1, false, "Reader not find"},
         Point{1, "A01J", kIgnored, 1, false, "Reader not find"}, None},
        {"EEPROM key", 2, "btnM1Key", "Set key EEPROM ok.", 'B', 1, false,
         first("A01", "Set key EEPROM error!"),
         set(1, "A01d6001" + kFF, kWithStatus, "Set key EEPROM error!"), None},
        {"ID location", 2, "btnM1IDSector", "Set sector/block/byte ok.", 'B', 1, false,
         first("A01", "Set sector/block/byte error!"),
         set(1, "A01a0000000001", kAnyFrame, "Set sector/block/byte error!"), None},
        {"block read", 2, "btnM1Read", "Read card data ok.", 'B', 1, false,
         first("A01", "Read card data error!"),
         set(3, "A01h6004", kWithStatus, "Read card data error!"), None},
        {"block write", 2, "btnM1Write", "Write card data ok.", 'B', 1, false,
         first("A01", "Write card data error!"),
         set(3, "A01i6004" + kData, kWithStatus, "Write card data error!"),
         [](Ui::frmModule* f) { f->edM1Write->setText(QString::fromStdString(kData)); }},
        {"trailer write", 2, "btnM1CardKey", "Set card key ok.", 'B', 1, false,
         first("A01", "Set card key error!"),
         set(2, "A01i60" + kFF + "07" + kFF + "FF0780AA" + kFF, kWithStatus, "Set card key error!"),
         None},
    };
    return ops;
}

std::optional<std::pair<int, int>> Slice()
{
    const QString slice = qEnvironmentVariable("TESMORA_MATRIX_SLICE");
    if (slice.isEmpty())
        return std::nullopt;
    return std::make_pair(slice.section('/', 0, 0).toInt(), slice.section('/', 1, 1).toInt());
}

int Count(const emu::ReaderEmulator& r, char letter)
{
    int n = 0;
    for (const std::string& p : r.ReceivedPayloads())
        n += p.size() == 4 && p[3] == letter;
    return n;
}

// The tty's line settings as a fresh opener sees them; nothing when it is gone.
std::optional<termios> LineSettings(const std::string& device)
{
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    termios t{};
    const bool ok = ::tcgetattr(fd, &t) == 0;
    ::close(fd);
    return ok ? std::optional<termios>(t) : std::nullopt;
}

bool SameLine(const termios& a, const termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

// Drops whatever waits on the line from an earlier cell (a late answer, say).
void DrainLine(const std::string& device)
{
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::tcflush(fd, TCIFLUSH);
        ::close(fd);
    }
}

// This process's descriptors and what they point at, without the emulator's own (its pty
// master, and the device, where the tool's are counted by ToolDescriptors) and the listing's.
// A descriptor left on a device that hung up shows as a new entry.
std::map<QString, QString> Descriptors(const std::string& device)
{
    std::map<QString, QString> out;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = QFileInfo(fds.filePath(fd)).symLinkTarget();
        if (target.isEmpty() || target == QString::fromStdString(device) || target == "/dev/ptmx" ||
            target.startsWith("/proc/"))
            continue;
        out[fd] = target;
    }
    return out;
}

// The answer frame the emulator sent to the first command with this payload.
std::string AnswerTo(const emu::ReaderEmulator& r, const std::string& payload)
{
    bool seen = false;
    for (const emu::TraceEntry& e : r.Trace()) {
        if (e.kind == emu::TraceEntry::Received)
            seen = seen || e.bytes == payload;
        else if (seen)
            return e.bytes;
    }
    return {};
}

bool ChecksumHasLetter(const std::string& frame)
{
    if (frame.size() < 3)
        return false;
    return std::isalpha(static_cast<unsigned char>(frame[frame.size() - 3])) ||
           std::isalpha(static_cast<unsigned char>(frame[frame.size() - 2]));
}

struct Expected
{
    bool ok;
    int attempts;
};

Expected Expect(const Operation& op, const Point& p, Effect effect)
{
    const bool fails = effect == Effect::Gone ||
                       (p.rule.examined && (effect == Effect::Spoiled ||
                                            (effect == Effect::WrongLength && p.rule.length) ||
                                            (effect == Effect::BadStatus && p.rule.status)));
    if (!fails)
        return {true, op.okAttempts};
    // A gone device leaves nothing more to trace; once is all a fault is armed for.
    if (effect != Effect::Gone && p.tries > 1)
        return {true, p.counted ? 2 : 1};
    return {false, 1};
}

QString Cell(bool ok, int attempts)
{
    return QStringLiteral("%1/%2").arg(ok ? "ok" : "ERR").arg(attempts);
}

} // namespace

class TestFaultMatrix : public QObject
{
    Q_OBJECT

    // One found reader per operation; cells of the same operation follow each other.
    std::unique_ptr<Fixture> fx;
    emu::ReaderEmulator* reader = nullptr;
    emu::ReaderModel model;
    int fixtureOp = -1;
    // A reader's line as nobody has opened it yet: what every close must leave behind.
    termios pristine{};
    // Row label (operation, point) -> fault -> cell, printed at the end.
    std::map<QString, std::map<int, QString>> matrix;
    std::vector<QString> rowOrder;

    void Prepare(int opIndex)
    {
        const Operation& op = Operations()[size_t(opIndex)];
        if (fixtureOp != opIndex) {
            fx.reset(); // one at a time: a fixture owns process-wide hooks
            reader = nullptr;
            fixtureOp = -1;
            fx = std::make_unique<Fixture>();
            emu::ReaderModel m;
            m.serial = op.first.payload[0] == 'H' ? kSerialH : kSerialA;
            // A card at every poll the test lets happen; the MIFARE card otherwise.
            if (op.reading)
                m.cards.Card("00BC614E").Card("00BC614E").Card("00BC614E");
            else
                m.mifare.card = emu::MifareCard();
            {
                emu::ReaderEmulator probe;
                QVERIFY(probe.Start(fx->portDir().toStdString(), 99));
                const auto line = LineSettings(probe.SlavePath());
                QVERIFY(line);
                pristine = *line;
            }
            reader = &fx->FoundReader(op.type, m);
            model = reader->Model();
            fixtureOp = opIndex;
        }
        if (reader->HungUp()) {
            // The window keeps addressing COM1: a new reader there stands in for it.
            reader = &fx->AddReader(1, model);
        }
        reader->SetModel(model);
        if (!fx->window().ReaderFound) {
            fx->Click(fx->ui()->btnScan);
            QVERIFY(fx->window().ReaderFound);
        }
        DrainLine(reader->SlavePath());
        reader->ClearFaults();
        reader->ClearTrace();
        fx->beeps.clear();
    }

private slots:
    void cells_data()
    {
        QTest::addColumn<int>("op");
        QTest::addColumn<int>("point");
        QTest::addColumn<int>("fault");
        const auto slice = Slice();
        const auto& ops = Operations();
        for (int o = 0; o < int(ops.size()); ++o) {
            if (slice && o % slice->second != slice->first)
                continue;
            for (int p = 0; p < (ops[size_t(o)].set ? 2 : 1); ++p)
                for (int f = 0; f < int(std::size(kFaults)); ++f)
                    QTest::newRow(qPrintable(QStringLiteral("%1 | %2 | %3")
                                                 .arg(ops[size_t(o)].name)
                                                 .arg(p ? "set" : "first")
                                                 .arg(kFaults[f].name)))
                        << o << p << f;
        }
    }

private:
    // One run of a cell. A late answer is timed by the emulator's thread; where a busy
    // machine wakes it tens of milliseconds late, the answer lands in the next attempt
    // instead of between the two, and the cell is run again (repeat): a fault in the
    // tool repeats, a late wake-up does not.
    void RunCell(int op, int point, int fault, bool mayRepeat, bool& repeat)
    {
        repeat = false;
        const Operation& o = Operations()[size_t(op)];
        const Point& p = point ? *o.set : o.first;
        const FaultRow& fr = kFaults[fault];
        Prepare(op);
        if (QTest::currentTestFailed())
            return;
        emu::ReaderEmulator& r = *reader;
        Fixture& f = *fx;
        TfrmModule& w = f.window();
        o.setup(f.ui());

        const std::string device = r.SlavePath();
        const auto lineBefore = LineSettings(device);
        QVERIFY(lineBefore);
        QVERIFY2(SameLine(*lineBefore, pristine), "line settings not restored before the cell");
        const auto fdsBefore = Descriptors(device);

        // The early answer waits on the tool's side before the command goes out: for the
        // first command from before the click, for a later one from the pause before it.
        bool injected = false;
        auto inject = [&] {
            const std::string answer = r.BuildAnswerFor(p.payload);
            injected = !answer.empty() && r.InjectNow(answer) &&
                       r.WaitPendingToTool(int(answer.size()), 200);
        };
        QTimer early;
        if (fr.fault == Fault::EarlyAnswer) {
            if (p.index == 0) {
                inject();
            } else {
                QObject::connect(&early, &QTimer::timeout, [&] {
                    const auto trace = r.Trace();
                    int received = 0;
                    for (const auto& e : trace)
                        received += e.kind == emu::TraceEntry::Received;
                    if (received != p.index || trace.back().kind != emu::TraceEntry::Sent ||
                        std::chrono::steady_clock::now() - trace.back().end <
                            std::chrono::milliseconds(10))
                        return;
                    early.stop();
                    inject();
                });
                early.start(2);
            }
        }
        r.ArmFaultFor(p.payload[3], fr.fault);

        // A reading run is stopped once it has polled as often as a fault-free one should.
        QPushButton* button = w.findChild<QPushButton*>(o.button);
        QTimer stop;
        if (o.reading) {
            QObject::connect(&stop, &QTimer::timeout, [&] {
                if (Count(r, o.attempt) >= o.okAttempts) {
                    stop.stop();
                    button->click();
                }
            });
            stop.start(5);
        }

        const double cpu = CpuMs();
        QElapsedTimer t;
        t.start();
        f.Click(button);
        const double wall = double(t.elapsed());
        const double spent = CpuMs() - cpu;
        stop.stop();
        early.stop();

        Effect effect = fr.effect;
        if (effect == Effect::SpoiledIfHex)
            effect = ChecksumHasLetter(AnswerTo(r, p.payload)) ? Effect::Spoiled : Effect::None;
        const Expected want = Expect(o, p, effect);

        // The outcome as the user sees it: message, indicator and beep all agree.
        const bool okShown = f.ui()->pnMsg->text() == o.ok && w.CommColor() == 0x00FFFFu &&
                             f.beeps == std::vector<std::pair<int, int>>{{1000, 300}};
        const bool errorShown = f.ui()->pnMsg->text() == p.error && w.CommColor() == 0x0000FFu &&
                                f.beeps == std::vector<std::pair<int, int>>{{300, 300}};
        const int attempts = Count(r, o.attempt);
        const QString got = okShown      ? Cell(true, attempts)
                            : errorShown ? Cell(false, attempts)
                                         : QStringLiteral("?/%1").arg(attempts);
        const QString row = QStringLiteral("%1 (%2)").arg(o.name).arg(point ? "set" : "first");

        if (mayRepeat && fr.fault == Fault::Late && got != Cell(want.ok, want.attempts)) {
            qInfo().noquote() << "late answer: got" << got << "- the cell runs again";
            QTest::qWait(500);
            repeat = true;
            return;
        }
        if (!matrix.count(row))
            rowOrder.push_back(row);
        matrix[row][fault] = got;

        if (fr.fault == Fault::EarlyAnswer)
            QVERIFY2(injected, "the early answer did not reach the tool before the command");
        QVERIFY2(got == Cell(want.ok, want.attempts),
                 qPrintable(QStringLiteral("got %1, want %2; shown \"%3\", colour %4, %5 beeps")
                                .arg(got, Cell(want.ok, want.attempts), f.ui()->pnMsg->text())
                                .arg(w.CommColor(), 6, 16, QLatin1Char('0'))
                                .arg(f.beeps.size())));
        QCOMPARE(r.HungUp(), effect == Effect::Gone);

        VerifyReleased(f, r);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(Descriptors(device), fdsBefore);
        if (!r.HungUp()) {
            const auto lineAfter = LineSettings(device);
            QVERIFY(lineAfter);
            QVERIFY2(SameLine(*lineAfter, pristine), "line settings not restored");
        }
        QVERIFY2(spent < 0.5 * wall,
                 qPrintable(QStringLiteral("%1 ms CPU in %2 ms").arg(spent).arg(wall)));
        // A late answer still on its way belongs to this cell, not to the next.
        if (fr.fault == Fault::Late)
            QTest::qWait(80);
    }

private slots:
    void cells()
    {
        QFETCH(int, op);
        QFETCH(int, point);
        QFETCH(int, fault);
        bool repeat = true;
        for (int run = 1; repeat && !QTest::currentTestFailed(); ++run)
            RunCell(op, point, fault, run < 3, repeat);
    }

    void cleanupTestCase()
    {
        fx.reset();
        QStringList header{QStringLiteral("%1").arg("", -24)};
        for (const FaultRow& fr : kFaults)
            header << QStringLiteral("%1").arg(QString(fr.name).left(9), -9);
        qInfo().noquote() << header.join(' ');
        for (const QString& row : rowOrder) {
            QStringList line{QStringLiteral("%1").arg(row, -24)};
            for (int i = 0; i < int(std::size(kFaults)); ++i) {
                const auto it = matrix[row].find(i);
                line << QStringLiteral("%1").arg(it == matrix[row].end() ? "-" : it->second, -9);
            }
            qInfo().noquote() << line.join(' ');
        }
    }
};

TESMORA_TEST_MAIN(TestFaultMatrix)
#include "tst_faultmatrix.moc"

// One command and its answer through the window's exchange, on a pty, with
// the emulated reader's faults.
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <functional>

#include <sys/resource.h>

#include "fixture.h"
#include "mifare/operations.h"
#include "reader/cardreading.h"
#include "reader/configuration.h"
#include "reader/scan.h"

using emu::Fault;

namespace {

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// An observer as slow as a log on a loaded machine: it must change no outcome.
class SlowObserver final : public link::LinkObserver
{
public:
    void FrameSent(const std::string&) override { Sleep(); }
    void BytesReceived(const std::string&, link::Outcome, int) override { Sleep(); }
    void PortOpened(int, const std::string&, const std::string&) override { Sleep(); }
    void PortClosed(int) override { Sleep(); }

private:
    static void Sleep() { QThread::msleep(50); }
};

using Operation = std::function<bool(link::Link&, const link::Addressee&)>;

} // namespace

Q_DECLARE_METATYPE(Operation)

class TestExchange : public QObject
{
    Q_OBJECT

    std::unique_ptr<Fixture> fx;
    emu::ReaderEmulator* reader = nullptr;

    TfrmModule& w() { return fx->window(); }

private slots:
    void init()
    {
        fx = std::make_unique<Fixture>();
        reader = &fx->AddReader(3);
        fx->OpenWindow();
        QVERIFY(w().OpenPort(3, QStringLiteral("19200,e,8,1")));
    }

    void cleanup()
    {
        w().ClosePort();
        fx.reset();
    }

    // An observer that takes 50 ms on every call changes no outcome: nothing
    // of it runs between a command's write and the purge, nor on the clock.
    void slowObserverChangesNoOutcome_data()
    {
        QTest::addColumn<Operation>("operation");
        const QString key = QStringLiteral("FFFFFFFFFFFF");
        QTest::newRow("scan") << Operation([](link::Link& l, const link::Addressee&) {
            reader::ScanRequest r;
            r.prefix = QStringLiteral("H");
            r.readerType = 3;
            r.firstPort = r.lastPort = 3;
            reader::ScanProgress quiet;
            return reader::Scan(l, r, quiet).complete;
        });
        QTest::newRow("set reader ID") << Operation([](link::Link& l, const link::Addressee& to) {
            return reader::SetReaderId(l, to, QStringLiteral("07"));
        });
        QTest::newRow("read block") << Operation([key](link::Link& l, const link::Addressee& to) {
            return mifare::ReadBlock(l, to, false, 4, key).has_value();
        });
        QTest::newRow("read card two-way")
            << Operation([](link::Link& l, const link::Addressee& to) {
                   const auto shown = reader::CardCycle(l, to, true, QStringLiteral("Card ID"), {});
                   return shown && shown->acknowledge;
               });
    }

    void slowObserverChangesNoOutcome()
    {
        QFETCH(Operation, operation);
        w().ClosePort();
        emu::ReaderModel m = Reader('H');
        m.mifare.card = emu::MifareCard();
        m.cards.Card("0123456789ABCDEF");
        reader->SetModel(m);
        SlowObserver slow;
        link::Link l;
        l.SetObserver(&slow);
        QVERIFY(l.OpenPort(3, QStringLiteral("19200,e,8,1")));
        QVERIFY(operation(l, link::Addressee{QStringLiteral("H"), QStringLiteral("01")}));
    }

    // Two-way reading shows the card before it acknowledges it with "J".
    void cardShownBeforeItsAcknowledge()
    {
        emu::ReaderModel m = Reader();
        m.cards.Card("0123456789ABCDEF");
        reader->SetModel(m);
        bool acknowledgedFirst = true;
        const auto shown = reader::CardCycle(
            w().Link(), link::Addressee{QStringLiteral("A"), QStringLiteral("01")}, true,
            QStringLiteral("Card ID"), [&](const reader::CardShown&) {
                const auto sent = reader->ReceivedPayloads();
                acknowledgedFirst = std::find(sent.begin(), sent.end(), "A01J") != sent.end();
            });
        QVERIFY(shown && shown->acknowledge);
        QVERIFY(!acknowledgedFirst);
        QCOMPARE(reader->ReceivedPayloads(), (std::vector<std::string>{"A01I", "A01J"}));
    }

    void identifyRoundTrip()
    {
        QVERIFY(w().Exchange(QStringLiteral("A00B")));
        QCOMPARE(w().ResponseLength(), 16);
        QCOMPARE(w().LastResponse(), reader->BuildAnswerFor("A00B"));
        QCOMPARE(w().CommPanel(0), QStringLiteral("[09]A00B0A[0D]"));
        QCOMPARE(w().CommPanel(1), QStringLiteral("[0A]A01B1234567800[0D]"));
        QCOMPARE(reader->ReceivedPayloads(), std::vector<std::string>{"A00B"});
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("length");
        QTest::addColumn<QString>("panel");
        QTest::newRow("smallest") << QByteArray("\n0A\r") << true << 4 << "[0A]0A[0D]";
        QTest::newRow("lower-case checksum") << QByteArray("\n0a\r") << false << 4 << "[0A]0a[0D]";
        QTest::newRow("too short") << QByteArray("\n\r") << false << 2 << "[0A][0D]";
        QTest::newRow("stray byte")
            << QByteArray("\x00\n0A\r", 5) << false << 5 << "[00][0A]0A[0D]";
        QTest::newRow("display") << QByteArray("\x7f"
                                               "A\xb0\r")
                                 << false << 4
                                 << "\x7f"
                                    "A[B0][0D]";
    }

    void answers()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, ok);
        QFETCH(int, length);
        QFETCH(QString, panel);
        QVERIFY(w().Exchange(QStringLiteral("A00B")));
        const QByteArray previous = QByteArray::fromStdString(w().LastResponse());
        reader->SetNextRawAnswer(answer.toStdString());
        QElapsedTimer t;
        t.start();
        QCOMPARE(w().Exchange(QStringLiteral("A01X")), ok);
        QCOMPARE(w().ResponseLength(), length);
        QCOMPARE(w().CommPanel(1), panel);
        const bool complete = answer.startsWith('\n');
        // A complete frame is kept even when its checksum is then rejected.
        QCOMPARE(QByteArray::fromStdString(w().LastResponse()), complete ? answer : previous);
        if (!complete)
            QVERIFY2(t.elapsed() >= 300 && t.elapsed() < 450, "deadline not kept");
    }

    // A failed exchange after a good one reports no length of its own, not the old one.
    void lengthStartsAtZero()
    {
        QVERIFY(w().Exchange(QStringLiteral("A00B")));
        QCOMPARE(w().ResponseLength(), 16);
        reader->ArmFault(Fault::NoAnswer);
        QVERIFY(!w().Exchange(QStringLiteral("A00B")));
        QCOMPARE(w().ResponseLength(), 0);
    }

    // The receive buffer holds 1024 bytes: an answer that fills it fails at
    // once, even with a right checksum, and the panel shows every byte of it;
    // one byte less is still an answer.
    void fullBuffer_data()
    {
        QTest::addColumn<int>("frameLength");
        QTest::addColumn<int>("trailing"); // bytes sent after the frame
        QTest::addColumn<bool>("ok");
        QTest::newRow("1023") << 1023 << 0 << true;
        QTest::newRow("1024") << 1024 << 0 << false;
        QTest::newRow("1024 and more") << 1024 << 200 << false;
    }

    void fullBuffer()
    {
        QFETCH(int, frameLength);
        QFETCH(int, trailing);
        QFETCH(bool, ok);
        // Without wire timing: at 19200 baud 1024 bytes take longer than the deadline.
        w().ClosePort();
        emu::ReaderEmulator& fast = fx->AddReader(4, {}, emu::Options{true, 3});
        QVERIFY(w().OpenPort(4, QStringLiteral("19200,e,8,1")));
        QByteArray frame = "\n" + QByteArray(frameLength - 4, 'x');
        uint8_t x = 0;
        for (char c : frame)
            x ^= uint8_t(c);
        frame += QByteArray::number(x, 16).toUpper().rightJustified(2, '0') + "\r";
        QCOMPARE(int(frame.size()), frameLength);
        QVERIFY(w().Exchange(QStringLiteral("A00B")));
        const QByteArray previous = QByteArray::fromStdString(w().LastResponse());
        fast.SetNextRawAnswer((frame + QByteArray(trailing, 'y')).toStdString());
        QElapsedTimer t;
        t.start();
        QCOMPARE(w().Exchange(QStringLiteral("A01X")), ok);
        QVERIFY2(t.elapsed() < 250, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(w().ResponseLength(), frameLength);
        QCOMPARE(QByteArray::fromStdString(w().LastResponse()), ok ? frame : previous);
        QCOMPARE(w().CommPanel(1), "[0A]" + QString(frameLength - 4, QLatin1Char('x')) +
                                       QString::fromLatin1(frame.right(3).left(2)) + "[0D]");
    }

    void answerBeforeThePurgeIsLost()
    {
        reader->InjectNow(reader->BuildAnswerFor("A00B"));
        QVERIFY(reader->WaitPendingToTool(16, 1000));
        reader->ArmFault(Fault::NoAnswer);
        QElapsedTimer t;
        t.start();
        QVERIFY(!w().Exchange(QStringLiteral("A00B")));
        QVERIFY(t.elapsed() >= 300);
        QCOMPARE(w().CommPanel(1), QString());
    }

    // The window's own work during the exchange (here a 40 ms handler queued
    // before it) must not cost the answer that arrives meanwhile.
    void slowWindowKeepsTheAnswer()
    {
        QTimer::singleShot(0, [] { QThread::msleep(40); });
        QVERIFY(w().Exchange(QStringLiteral("A00B")));
        QCOMPARE(w().ResponseLength(), 16);
    }

    void faults_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<bool>("ok");
        QTest::newRow("no answer") << int(Fault::NoAnswer) << false;
        QTest::newRow("bad checksum") << int(Fault::BadChecksum) << false;
        QTest::newRow("late") << int(Fault::Late) << false;
        QTest::newRow("partial") << int(Fault::PartialThenSilence) << false;
        QTest::newRow("15 bytes") << int(Fault::ShortByOne) << true;
    }

    void faults()
    {
        QFETCH(int, fault);
        QFETCH(bool, ok);
        reader->ArmFault(Fault(fault));
        QElapsedTimer t;
        t.start();
        QCOMPARE(w().Exchange(QStringLiteral("A00B")), ok);
        QVERIFY(t.elapsed() < 450);
        // The next exchange starts clean.
        QVERIFY(w().Exchange(QStringLiteral("A00B")));
        QCOMPARE(w().ResponseLength(), 16);
    }

    void oversizedPayloadIsRefused()
    {
        // 255 bytes still go out whole.
        const QString longest(255, QLatin1Char('A'));
        w().Exchange(longest);
        QCOMPARE(reader->ReceivedPayloads(), std::vector<std::string>{longest.toStdString()});
        reader->ClearTrace();
        w().SetCommPanel(0, QStringLiteral("before"));
        w().SetCommPanel(1, QStringLiteral("before"));
        QElapsedTimer t;
        t.start();
        QVERIFY(!w().Exchange(QString(256, QLatin1Char('A'))));
        QVERIFY(t.elapsed() < 100);
        QCOMPARE(w().CommPanel(0), QStringLiteral("before"));
        QCOMPARE(w().CommPanel(1), QStringLiteral("before"));
        QTest::qWait(50);
        QVERIFY(reader->Trace().empty());
    }

    void hangUpMidAnswer()
    {
        reader->ArmFault(Fault::HangUp);
        const double cpu = CpuSeconds();
        QElapsedTimer t;
        t.start();
        QVERIFY(!w().Exchange(QStringLiteral("A00B")));
        QVERIFY(t.elapsed() < 450);
        // A gone device reads as nothing, slowly: five more exchanges on it.
        for (int i = 0; i < 5; ++i)
            QVERIFY(!w().Exchange(QStringLiteral("A00B")));
        const double wall = t.elapsed() / 1000.0;
        QVERIFY2(CpuSeconds() - cpu < wall * 0.5, "the exchange spins on a gone device");
        w().ClosePort();
        QVERIFY(!w().PortIsOpen());
    }

    // A line that streams bytes without a pause still meets the deadline.
    void endlessStreamMeetsTheDeadline()
    {
        reader->SetNextRawAnswer(std::string(4000, 'x')); // about 2.3 s at 19200 baud
        QElapsedTimer t;
        t.start();
        QVERIFY(!w().Exchange(QStringLiteral("A01X")));
        QVERIFY2(t.elapsed() < 450, qPrintable(QString::number(t.elapsed())));
        QVERIFY(w().ResponseLength() > 0);
    }

    // Random bytes as answers never crash and never run past the buffer.
    void randomAnswers()
    {
        QRandomGenerator rng(20261208);
        for (int round = 0; round < 12; ++round) {
            std::string bytes;
            const int n = round == 0 ? 1500 : int(rng.bounded(1, 80));
            for (int i = 0; i < n; ++i)
                bytes.push_back(char(rng.bounded(256)));
            if (round % 3 == 0)
                bytes.insert(bytes.begin(), '\n');
            reader->SetNextRawAnswer(bytes);
            w().Exchange(QStringLiteral("A01X"));
            QVERIFY(w().ResponseLength() >= 0 && w().ResponseLength() <= 1024);
            QVERIFY(w().LastResponse().size() < 1024);
        }
    }
};

TESMORA_TEST_MAIN(TestExchange)
#include "tst_exchange.moc"

// The badge desk's issuing as a shell runs it, over an emulated reader with the
// wire timed: how soon a card that arrives is spoken to, and one 1K card
// issued with every data block against the floor of the commands it sent.
// build/bench/tesmora-badge-bench
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "readeremulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kPauseMs = 100; // before every command

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// A 1K image whose every data block differs from a fresh card's.
QByteArray EveryDataBlock()
{
    emu::MifareCard card({0x01, 0x02, 0x03, 0x04}, emu::MifareSize::k1K);
    QByteArray mct;
    for (int s = 0; s < 16; ++s) {
        mct += "+Sector: " + QByteArray::number(s) + "\n";
        for (int b = 4 * s; b < 4 * s + 4; ++b) {
            const bool data = b != 0 && b % 4 != 3;
            mct += (data ? QByteArray::number(b + 0x100000, 16).rightJustified(32, 'A')
                         : QByteArray::fromStdString(card.RawHex(b)))
                       .toUpper() +
                   "\n";
        }
    }
    return mct;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    emu::ReaderModel m;
    m.prefix = 'H';
    const emu::MifareCard card({0x11, 0x22, 0x33, 0x44}, emu::MifareSize::k1K);
    // The card to issue (its poll, the backup's read, the look before each
    // sector after the first and the two checks of the read-back read block
    // 0), then the same UID four times, each a while after the last left: a
    // repeat is only looked at, so its arrival is measured alone.
    m.queue.MifareUntilRead(card, 19, 500);
    for (int gap : {1100, 1230, 1370, 1490})
        m.queue.MifareUntilRead(card, 2, gap);
    emu::ReaderEmulator reader(m); // the wire timed
    if (!QDir().mkpath(dir.filePath("ports")) ||
        !reader.Start(dir.filePath("ports").toStdString(), 3))
        return 1;
    QFile tpl(dir.filePath("all.mct"));
    if (!tpl.open(QIODevice::WriteOnly) || tpl.write(EveryDataBlock()) < 0)
        return 1;
    tpl.close();

    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TESMORA_PORT_DIR", dir.filePath("ports"));
    env.insert("TESMORA_SETTINGS_DIR", dir.filePath("settings"));
    env.insert("XDG_STATE_HOME", dir.filePath("state"));
    p.setProcessEnvironment(env);
    p.start(TESMORA_CLI_EXE, {"mifare", "issue", tpl.fileName(), "--log", dir.filePath("log.csv"),
                              "--port", "3", "--type", "4", "--mode", "5", "--id", "01"});
    p.waitForStarted();
    // Until every card of the queue has come and gone.
    const auto deadline = Clock::now() + std::chrono::minutes(3);
    while (!reader.Model().queue.Finished() && Clock::now() < deadline)
        QThread::msleep(100);
    p.terminate();
    p.waitForFinished(10000);

    const emu::CardQueue q = reader.Model().queue;
    const std::vector<emu::TraceEntry> trace = reader.Trace();
    if (!q.Finished())
        return std::puts("the queue did not finish"), 1;
    // 1. From each card's arrival to the first command the reader heard after it.
    std::vector<double> latency;
    for (const emu::QueuedCard& c : q.cards)
        for (const emu::TraceEntry& e : trace)
            if (e.kind == emu::TraceEntry::Received && e.time >= c.arrived) {
                latency.push_back(Ms(e.time - c.arrived));
                break;
            }
    std::sort(latency.begin(), latency.end());

    // 2. The first card: from the presence poll that found it to the answer of
    // the read-back's mode off (the third "b00": the watch's, the write's, the
    // read-back's). Its floor: each command's pause and its exchange, from the
    // command to its answer's last byte, as the emulator timed them.
    const auto arrived = q.cards[0].arrived;
    double floor = 0, first = -1, end = 0;
    int commands = 0, offs = 0;
    for (size_t i = 0; i < trace.size() && offs < 3; ++i) {
        const emu::TraceEntry& e = trace[i];
        if (e.kind != emu::TraceEntry::Received || e.time < arrived)
            continue;
        // A pty takes the command at once; the emulator adds its wire time
        // before it answers, so the answer's end covers both ways.
        const double sent = Ms(e.time - arrived);
        if (first < 0)
            first = sent;
        double answered = Ms(e.time - arrived);
        if (i + 1 < trace.size() && trace[i + 1].kind == emu::TraceEntry::Sent)
            answered = Ms(trace[i + 1].end - arrived);
        floor += kPauseMs + (answered - sent);
        end = answered;
        ++commands;
        offs += e.bytes.substr(3) == "b00" ? 1 : 0;
    }
    const double issued = end - first + kPauseMs;
    std::printf("arrival to the first command, %zu cards: median %.0f ms, longest %.0f ms (goal "
                "1000 ms, the poll's period 333 ms)\n",
                latency.size(), latency[latency.size() / 2], latency.back());
    std::printf("1K card issued, every data block (backup read, 47 writes, read-back): %d "
                "commands in %.0f ms; floor %.0f ms; ratio %.3f (goal 1.1)\n",
                commands, issued, floor, issued / floor);
    return 0;
}

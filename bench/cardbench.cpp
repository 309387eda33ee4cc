// The whole card read over an emulated reader with the wire timed, each figure
// beside its floor in the same run: build/bench/tesmora-card-bench
#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "link/link.h"
#include "mifare/keylist.h"
#include "mifare/wholecard.h"
#include "reader/configuration.h"
#include "readeremulator.h"

namespace {

using Clock = std::chrono::steady_clock;
const QString kMode = QStringLiteral("19200,e,8,1");

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// The longest wait between two chances to cancel (asked before each command).
class Watch final : public mifare::CardProgress
{
public:
    bool Cancelled() override
    {
        const auto now = Clock::now();
        longest = std::max(longest, Ms(now - last));
        last = now;
        return false;
    }
    Clock::time_point last = Clock::now();
    double longest = 0;
};

struct Result
{
    double ms;
    mifare::ReadResult read;
    double longestGap;
};

Result Dump(link::Link& l, mifare::CardSize size, const QStringList& keys)
{
    Watch watch;
    const auto start = Clock::now();
    mifare::ReadResult r =
        mifare::ReadCard(l, {QStringLiteral("H"), QStringLiteral("01")}, size, keys, watch);
    return {Ms(Clock::now() - start), r, watch.longest};
}

// One exchange of `payload` alone, on the wire at the line setting: the median of a few.
double ExchangeMs(link::Link& l, const QString& payload)
{
    std::vector<double> ms;
    for (int i = 0; i < 9; ++i) {
        const auto start = Clock::now();
        l.Exchange(payload);
        ms.push_back(Ms(Clock::now() - start));
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir ports;
    emu::ReaderModel m;
    m.prefix = 'H';
    m.mifare.card = emu::MifareCard(emu::MifareSize::k4K);
    emu::ReaderEmulator reader(m); // the wire timed: no --fast
    if (!reader.Start(ports.path().toStdString(), 3))
        return 1;
    qputenv("TESMORA_PORT_DIR", ports.path().toLocal8Bit());
    link::Link l;
    if (!l.OpenPort(3, kMode))
        return 1;

    // 1. A 4K card whose sectors all open with the list's first key, against
    // its floor: every command it sent, each costing the pause and its own
    // exchange measured alone.
    const Result all = Dump(l, mifare::CardSize::k4K, mifare::DefaultKeys());
    const double identify = ExchangeMs(l, QStringLiteral("H01B"));
    const double mode = ExchangeMs(l, QStringLiteral("H01b01"));
    const double load = ExchangeMs(l, QStringLiteral("H01fFFFFFFFFFFFF"));
    const double read = ExchangeMs(l, QStringLiteral("H01h6004"));
    const int reads = all.read.commands - 4; // identify, mode on, one key, mode off
    const double floor = 4 * reader::kCommandPauseMs + identify + 2 * mode + load +
                         reads * (reader::kCommandPauseMs + read);
    std::printf("4K card, every sector opened by the first key: %d commands in %.0f ms; floor "
                "%.0f ms (100 ms + %.1f ms a block read); ratio %.3f (goal 1.05)\n",
                all.read.commands, all.ms, floor, read, all.ms / floor);

    // 2. A dictionary of 20 keys on a 1K card where 8 sectors open only with
    // the last key, against the least any order of tries could send: the same
    // card read with that key first, where every sector opens at the first try.
    QStringList dictionary = mifare::DefaultKeys().mid(0, 13);
    for (int i = dictionary.size(); i < 19; ++i)
        dictionary
            << QStringLiteral("%1").arg(0x10A0B0C0D0E0LL + i, 12, 16, QLatin1Char('0')).toUpper();
    const QString last = QStringLiteral("5EC4E75EC4E7");
    dictionary << last;
    emu::MifareCard card(emu::MifareSize::k1K);
    emu::MifareKey k;
    emu::MifareParseHex(last.toStdString(), k.data(), k.size());
    for (int sector = 8; sector < 16; ++sector)
        card.SetTrailer(sector, k, {0xFF, 0x07, 0x80, 0x69}, k);
    m.mifare.card = card;
    reader.SetModel(m);
    const Result searched = Dump(l, mifare::CardSize::k1K, dictionary);
    // The least: every sector opened at its first try, so only its blocks are
    // read, and each of the two keys loaded once; identify, mode on and off.
    int blocks = 0;
    for (const mifare::SectorReport& r : searched.read.sectors)
        blocks += r.read;
    const int least = 3 + 2 + blocks;
    std::printf("1K card, 20 keys, 8 sectors only with the last: %d commands in %.0f ms, %s; the "
                "least any order could send: %d commands (ratio %.2f)\n",
                searched.read.commands, searched.ms,
                searched.read.Complete() ? "every sector read" : "NOT every sector read", least,
                double(searched.read.commands) / least);

    // 3. Progress reaches the front end at least once a second.
    std::printf("longest wait between two progress reports: %.0f ms (goal 1000 ms)\n",
                std::max(all.longestGap, searched.longestGap));
    return 0;
}

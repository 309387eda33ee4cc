#include "cardqueue.h"

#include <sstream>

#include "readeremulator.h"

namespace emu {

CardQueue& CardQueue::Em(const std::string& number, int onMs, int gapMs)
{
    cards.push_back({number, std::nullopt, onMs, gapMs, -1, -1});
    return *this;
}

CardQueue& CardQueue::Mifare(const MifareCard& card, int onMs, int gapMs, int leaveAfterCommands)
{
    cards.push_back({{}, card, onMs, gapMs, leaveAfterCommands, -1});
    return *this;
}

CardQueue& CardQueue::MifareUntilRead(const MifareCard& card, int block0Reads, int gapMs)
{
    cards.push_back({{}, card, 0, gapMs, -1, block0Reads});
    return *this;
}

void AdvanceQueue(ReaderModel& m, const std::string& payload,
                  std::chrono::steady_clock::time_point now)
{
    // "h60" or "h61" and block 00, after prefix and ID.
    const bool block0Read =
        payload.size() == 8 && payload[3] == 'h' &&
        (payload.compare(4, 4, "6000") == 0 || payload.compare(4, 4, "6100") == 0);
    CardQueue& q = m.queue;
    if (q.Finished())
        return;
    if (!q.started) {
        q.started = true;
        q.since = now;
    }
    using std::chrono::milliseconds;
    while (!q.Finished()) {
        QueuedCard& card = q.cards[q.next];
        if (!q.onReader) {
            if (now - q.since < milliseconds(card.gapMs))
                return;
            q.since += milliseconds(card.gapMs);
            card.arrived = q.since;
            q.onReader = true;
            q.answered = 0;
            q.block0Reads = 0;
            if (card.mifare)
                m.mifare.card = card.mifare;
        }
        const bool byReads = card.leaveAfterBlock0Reads >= 0;
        const bool byCommands = card.leaveAfterCommands >= 0 || byReads;
        const bool leaves = byReads      ? block0Read && q.block0Reads >= card.leaveAfterBlock0Reads
                            : byCommands ? q.answered >= card.leaveAfterCommands
                                         : now - q.since >= milliseconds(card.onMs);
        if (!leaves) {
            ++q.answered;
            q.block0Reads += block0Read ? 1 : 0;
            return;
        }
        if (card.mifare) {
            card.mifare = m.mifare.card; // as the tool left it
            m.mifare.card.reset();
        }
        q.since = byCommands ? now : q.since + milliseconds(card.onMs);
        q.onReader = false;
        ++q.next;
    }
}

bool ParseCardQueue(const std::string& text, CardQueue* queue, std::string* error)
{
    std::istringstream lines(text);
    std::string line;
    for (int n = 1; std::getline(lines, line); ++n) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string kind, id;
        if (!(words >> kind))
            continue;
        const auto fail = [&](const std::string& why) {
            *error = "line " + std::to_string(n) + ": " + why;
            return false;
        };
        if (!(words >> id))
            return fail("a card number is missing");
        std::string word;
        std::vector<std::string> rest;
        while (words >> word)
            rest.push_back(word);
        MifareSize size = MifareSize::k1K;
        if (kind == "mifare" && !rest.empty() && (rest[0] == "1k" || rest[0] == "4k")) {
            size = rest[0] == "4k" ? MifareSize::k4K : MifareSize::k1K;
            rest.erase(rest.begin());
        }
        int times[2] = {1000, 500};
        if (rest.size() > 2)
            return fail("too many words");
        for (size_t i = 0; i < rest.size(); ++i) {
            try {
                times[i] = std::stoi(rest[i]);
            } catch (...) {
                return fail("\"" + rest[i] + "\" is no number of milliseconds");
            }
        }
        if (kind == "em") {
            queue->Em(id, times[0], times[1]);
        } else if (kind == "mifare") {
            std::array<uint8_t, 4> uid{};
            if (!MifareParseHex(id, uid.data(), uid.size()))
                return fail("a UID is 8 upper-case hexadecimal digits");
            queue->Mifare(MifareCard(uid, size), times[0], times[1]);
        } else {
            return fail("a line starts with em or mifare");
        }
    }
    return true;
}

} // namespace emu

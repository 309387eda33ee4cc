#include "cardqueue.h"

#include <sstream>

#include "readeremulator.h"

namespace emu {

CardQueue& CardQueue::Em(const std::string& number, int onMs, int gapMs)
{
    cards.push_back({number, std::nullopt, onMs, gapMs, -1});
    return *this;
}

CardQueue& CardQueue::Mifare(const MifareCard& card, int onMs, int gapMs, int leaveAfterCommands)
{
    cards.push_back({{}, card, onMs, gapMs, leaveAfterCommands});
    return *this;
}

void AdvanceQueue(ReaderModel& m, std::chrono::steady_clock::time_point now)
{
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
            q.onReader = true;
            q.answered = 0;
            if (card.mifare)
                m.mifare.card = card.mifare;
        }
        const bool byCommands = card.leaveAfterCommands >= 0;
        const bool leaves = byCommands ? q.answered >= card.leaveAfterCommands
                                       : now - q.since >= milliseconds(card.onMs);
        if (!leaves) {
            ++q.answered;
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

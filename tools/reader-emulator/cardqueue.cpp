#include "cardqueue.h"

#include <cctype>
#include <charconv>
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

namespace {

// Upper case when every character is a hexadecimal digit; none otherwise.
std::optional<std::string> Hex(std::string word)
{
    for (char& c : word) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return word;
}

// Whole milliseconds from 0 to kMaxQueueMs: no sign, no unit, nothing after the digits.
std::optional<int> Milliseconds(const std::string& word)
{
    int ms = -1;
    const char* end = word.data() + word.size();
    const auto [at, ec] = std::from_chars(word.data(), end, ms);
    if (word.empty() || word[0] == '-' || ec != std::errc() || at != end || ms > kMaxQueueMs)
        return std::nullopt;
    return ms;
}

} // namespace

bool ParseCardQueue(const std::string& text, CardQueue* queue, std::string* error, MifareSize size)
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
        if (kind != "em" && kind != "mifare")
            return fail("a line starts with em or mifare");
        if (!(words >> id))
            return fail("a card number is missing");
        std::string word;
        std::vector<std::string> rest;
        while (words >> word)
            rest.push_back(word);
        MifareSize cardSize = size;
        if (kind == "mifare" && !rest.empty() && (rest[0] == "1k" || rest[0] == "4k")) {
            cardSize = rest[0] == "4k" ? MifareSize::k4K : MifareSize::k1K;
            rest.erase(rest.begin());
        }
        int times[2] = {1000, 500};
        if (rest.size() > 2)
            return fail("too many words");
        for (size_t i = 0; i < rest.size(); ++i) {
            const std::optional<int> ms = Milliseconds(rest[i]);
            if (!ms)
                return fail("\"" + rest[i] + "\" is no number of milliseconds (0 to " +
                            std::to_string(kMaxQueueMs) + ")");
            times[i] = *ms;
        }
        const std::optional<std::string> hex = Hex(id);
        if (kind == "em") {
            // Refused rather than cut: a shorter number would be another card.
            if (!hex || hex->size() > 16)
                return fail("\"" + id + "\" is no EM number (1 to 16 hexadecimal digits)");
            queue->Em(*hex, times[0], times[1]);
        } else {
            std::vector<uint8_t> uid(hex ? hex->size() / 2 : 0);
            if (!hex || (uid.size() != 4 && uid.size() != 7) ||
                !MifareParseHex(*hex, uid.data(), uid.size()))
                return fail("\"" + id + "\" is no UID (8 or 14 hexadecimal digits)");
            queue->Mifare(MifareCard(uid, cardSize), times[0], times[1]);
        }
    }
    return true;
}

} // namespace emu

// The read-card ("F") and two-way ("I", "J") commands, answered from the model's card script.
#include <array>
#include <cctype>
#include <chrono>

#include "handlers.h"

namespace emu {

namespace {

// XORed onto the card bytes in reverse order: byte i takes kMask[7 - i].
constexpr std::array<unsigned char, 8> kMask = {0x5B, 0x2E, 0x91, 0xC4, 0x7A, 0x0D, 0xE6, 0x38};

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u >= 'A' && u <= 'F' ? u - 'A' + 10 : -1;
}

// The last n characters of the number in upper case, with leading zeros when it is shorter.
std::string LastDigits(const std::string& number, size_t n)
{
    std::string d = number.size() >= n ? number.substr(number.size() - n)
                                       : std::string(n - number.size(), '0') + number;
    for (char& c : d)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return d;
}

std::string ReadCardFields(const CardStep& s)
{
    if (!s.keys.empty())
        return "00" + LastDigits(s.text, 8) + kCardKeySeparator + s.keys;
    const size_t size = s.length > 8 ? static_cast<size_t>(s.length - 8) : 0;
    std::string f = std::string(size, '0') + LastDigits(s.text, s.length >= 26 ? 16 : 8);
    return f.substr(f.size() - size);
}

std::string TwoWayFields(const CardStep& s)
{
    const std::string digits = LastDigits(s.text, 16);
    const std::string scrambled = ScrambleCardHex(digits);
    std::string f = "00" + (scrambled.empty() ? digits : scrambled);
    if (!s.keys.empty())
        f += kCardKeySeparator + s.keys;
    return f;
}

std::optional<Reply> Render(const CardStep& s, char letter)
{
    switch (s.kind) {
    case CardStep::NoCard:
        return Reply{};
    case CardStep::Card:
        return Reply{letter == 'F' ? ReadCardFields(s) : TwoWayFields(s)};
    case CardStep::Keys:
        return Reply{"0K" + s.text};
    case CardStep::Raw:
        return Reply{s.text};
    case CardStep::Silence:
        return std::nullopt;
    case CardStep::HangUp:
        return Reply{{}, false, Fault::HangUp};
    }
    return std::nullopt;
}

// By the clock rather than by poll, like cards held to a reader: every poll within a window
// sees the same card.
CardStep DemoStep()
{
    static const char* const kNumbers[] = {"00BC614E", "0012D687", "7F3A09C2"};
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    const long long second = ms / 1000;
    const long long phase = ms % 1000;
    CardStep s;
    if (phase < 200) {
        s.kind = CardStep::Card;
        s.text = kNumbers[second % 3];
    } else if (second % 5 == 0 && phase >= 500 && phase < 700) {
        s.kind = CardStep::Keys;
        s.text = "1234";
    }
    return s;
}

CardStep Step(CardStep::Kind kind, const std::string& text = {}, const std::string& keys = {})
{
    CardStep s;
    s.kind = kind;
    s.text = text;
    s.keys = keys;
    return s;
}

bool Silenced(const CardScript& s)
{
    return !s.Finished() && s.steps[s.next].kind == CardStep::Silence;
}

std::optional<Reply> Poll(ReaderModel& m, const Command& c)
{
    if (!c.params.empty())
        return std::nullopt;
    CardScript& s = m.cards;
    if (Silenced(s))
        return std::nullopt; // the step stays, so every later poll finds it too
    if (!s.Finished())
        return Render(s.steps[s.next++], c.letter);
    if (s.demo)
        return Render(DemoStep(), c.letter);
    if (const QueuedCard* q = m.queue.OnReader(); q && !q->em.empty()) {
        // More than 8 digits make a 16-digit card, as read-card shows one: never cut.
        CardStep card = Step(CardStep::Card, q->em);
        card.length = q->em.size() > 8 ? 26 : 17;
        return Render(card, c.letter);
    }
    if (c.letter == 'F')
        if (const std::optional<std::string> id = MifareCardId(m))
            return Reply{"00" + *id};
    return Reply{};
}

} // namespace

CardScript& CardScript::Card(const std::string& number, int length)
{
    steps.push_back(Step(CardStep::Card, number));
    steps.back().length = length;
    return *this;
}

CardScript& CardScript::CardWithKeys(const std::string& number, const std::string& keys)
{
    steps.push_back(Step(CardStep::Card, number, keys));
    return *this;
}

CardScript& CardScript::Keys(const std::string& keys)
{
    steps.push_back(Step(CardStep::Keys, keys));
    return *this;
}

CardScript& CardScript::Raw(const std::string& fields)
{
    steps.push_back(Step(CardStep::Raw, fields));
    return *this;
}

CardScript& CardScript::Pause(int polls)
{
    for (int i = 0; i < polls; ++i)
        steps.push_back(Step(CardStep::NoCard));
    return *this;
}

CardScript& CardScript::Silence()
{
    steps.push_back(Step(CardStep::Silence));
    return *this;
}

CardScript& CardScript::HangUp()
{
    steps.push_back(Step(CardStep::HangUp));
    return *this;
}

std::string ScrambleCardHex(const std::string& hex16)
{
    if (hex16.size() != 16)
        return {};
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < 8; ++i) {
        const int hi = HexValue(hex16[2 * i]);
        const int lo = HexValue(hex16[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return {};
        const unsigned b = static_cast<unsigned>(hi << 4 | lo) ^ kMask[7 - i];
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

void AddCardHandlers(std::map<char, Handler>& h)
{
    h['F'] = Poll;
    h['I'] = Poll;
    // The tool acknowledges each two-way card.
    h['J'] = [](ReaderModel& m, const Command& c) -> std::optional<Reply> {
        if (!c.params.empty() || Silenced(m.cards))
            return std::nullopt;
        ++m.cards.acknowledged;
        return Reply{"00", true};
    };
}

} // namespace emu

#include "link/telnet.h"

#include <algorithm>

#include "link/serialport.h"

inline namespace tesmora {
namespace link {

namespace {

constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                  kSe = 240;
constexpr uint8_t kCr = 13, kNul = 0;
constexpr uint8_t kSga = 3, kComPort = 44;
constexpr uint8_t kSetBaud = 1, kPurgeData = 12, kServerOffset = 100;
constexpr uint8_t kPurgeReceive = 1;

// The options we take on our side (the server's DO) and on the server's (its WILL).
bool OursWanted(uint8_t option)
{
    return option == Telnet::kBinary || option == kSga || option == kComPort;
}
bool TheirsWanted(uint8_t option)
{
    return option == Telnet::kBinary || option == kSga;
}

uint8_t ParityCode(char p)
{
    constexpr char kCodes[] = "xnoems"; // RFC 2217: 1 none, 2 odd, 3 even, 4 mark, 5 space
    for (uint8_t i = 1; i < 6; ++i)
        if (kCodes[i] == p)
            return i;
    return 1;
}

} // namespace

std::string Telnet::Start()
{
    us_.asked[kBinary] = them_.asked[kBinary] = us_.asked[kSga] = them_.asked[kSga] = true;
    us_.asked[kComPort] = true;
    const uint8_t offer[] = {kIac, kWill, kBinary, kIac, kDo,  kBinary, kIac,    kWill,
                             kSga, kIac,  kDo,     kSga, kIac, kWill,   kComPort};
    return std::string(std::begin(offer), std::end(offer));
}

void Telnet::Feed(const uint8_t* bytes, size_t count, std::string& data)
{
    if (count > 0)
        spoke_ = true;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        switch (state_) {
        case State::Cr:
            state_ = State::Data;
            // Without BINARY the server sends a data CR as CR NUL.
            if (b == kNul)
                break;
            [[fallthrough]];
        case State::Data:
            if (b == kIac) {
                state_ = State::Iac;
            } else {
                data += static_cast<char>(b);
                if (b == kCr && !BinaryIn())
                    state_ = State::Cr;
            }
            break;
        case State::Iac:
            if (b == kIac) {
                data += static_cast<char>(b);
                state_ = State::Data;
            } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                verb_ = b;
                state_ = State::Option;
            } else if (b == kSb) {
                sb_.clear();
                state_ = State::Sb;
            } else {
                state_ = State::Data; // NOP, GA, BRK and the like: nothing to do
            }
            break;
        case State::Option:
            Command(verb_, b);
            state_ = State::Data;
            break;
        case State::Sb:
            if (b == kIac)
                state_ = State::SbIac;
            else if (sb_.size() < kMaxSubnegotiation)
                sb_ += static_cast<char>(b);
            break;
        case State::SbIac:
            if (b == kSe) {
                Subnegotiation();
                state_ = State::Data;
                break;
            }
            // IAC IAC inside is one 0xFF; IAC and anything else is taken as
            // the server meant it, a byte of the subnegotiation.
            if (sb_.size() < kMaxSubnegotiation)
                sb_ += static_cast<char>(b);
            state_ = State::Sb;
            break;
        }
    }
}

std::string Telnet::TakeAnswers()
{
    std::string out;
    out.swap(answers_);
    return out;
}

std::string Telnet::Encode(const uint8_t* data, size_t count) const
{
    std::string out;
    out.reserve(count + 4);
    for (size_t i = 0; i < count; ++i) {
        out += static_cast<char>(data[i]);
        if (data[i] == kIac)
            out += static_cast<char>(kIac);
        else if (data[i] == kCr && !BinaryOut())
            out += static_cast<char>(kNul);
    }
    return out;
}

void Telnet::Answer(uint8_t verb, uint8_t option)
{
    // A server that keeps asking and never reads what we answer is not one
    // to talk to: its answers are not queued without end.
    if (answers_.size() >= kMaxReplies) {
        broken_ = true;
        return;
    }
    answers_ += static_cast<char>(kIac);
    answers_ += static_cast<char>(verb);
    answers_ += static_cast<char>(option);
}

// Only a change of state is answered (RFC 854), so that two sides cannot
// loop; our own request is answered by the server's word, not again by us.
// A refusal is said once per option, for DO and WILL each.
void Telnet::Command(uint8_t verb, uint8_t option)
{
    switch (verb) {
    case kDo:
        if (option == kComPort)
            comPort_ = true;
        Offered(us_, OursWanted(option), kWill, kWont, option);
        break;
    case kDont:
        if (option == kComPort && !comPort_)
            comPortRefused_ = true;
        Withdrawn(us_, kWont, option);
        break;
    case kWill:
        Offered(them_, TheirsWanted(option), kDo, kDont, option);
        break;
    case kWont:
        Withdrawn(them_, kDont, option);
        break;
    default:
        break;
    }
}

void Telnet::Offered(Side& side, bool wanted, uint8_t yes, uint8_t no, uint8_t option)
{
    if (side.on[option])
        return;
    if (wanted) {
        side.on[option] = true;
        if (!side.asked[option])
            Answer(yes, option);
        side.asked[option] = false;
    } else if (!side.refused[option]) {
        side.refused[option] = true;
        Answer(no, option);
    }
}

void Telnet::Withdrawn(Side& side, uint8_t no, uint8_t option)
{
    if (side.on[option]) {
        side.on[option] = false;
        Answer(no, option);
    }
    side.asked[option] = false;
}

std::string Telnet::ComPortCommand(uint8_t command, std::string_view value)
{
    std::string out{static_cast<char>(kIac), static_cast<char>(kSb), static_cast<char>(kComPort),
                    static_cast<char>(command)};
    for (char c : value) {
        out += c;
        if (static_cast<uint8_t>(c) == kIac)
            out += c;
    }
    out += static_cast<char>(kIac);
    out += static_cast<char>(kSe);
    return out;
}

std::string Telnet::PurgeRequest()
{
    return ComPortCommand(kPurgeData, std::string(1, static_cast<char>(kPurgeReceive)));
}

std::string Telnet::LineRequests(const LineSetting& s, bool ask)
{
    const long values[4] = {ask ? 0 : s.baud, ask ? 0 : s.dataBits, ask ? 0 : ParityCode(s.parity),
                            ask ? 0 : s.stopBits};
    std::string out;
    for (int i = 0; i < 4; ++i) {
        ++sent_[i];
        replies_[i] = -1;
        const auto v = static_cast<uint32_t>(values[i]);
        const std::string value =
            i == 0 ? std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                                 static_cast<char>(v >> 8), static_cast<char>(v)}
                   : std::string(1, static_cast<char>(v));
        out += ComPortCommand(static_cast<uint8_t>(kSetBaud + i), value);
    }
    return out;
}

bool Telnet::AllReplied() const
{
    return std::all_of(std::begin(replies_), std::end(replies_), [](long r) { return r >= 0; });
}

void Telnet::Subnegotiation()
{
    if (sb_.size() < 2 || static_cast<uint8_t>(sb_[0]) != kComPort)
        return;
    const int i = static_cast<uint8_t>(sb_[1]) - kServerOffset - kSetBaud;
    // Only the replies to the line requests count; notifications (line and
    // modem state) and anything else were not asked for and are ignored.
    if (i < 0 || i > 3 || sb_.size() != (i == 0 ? 6u : 3u))
        return;
    long value = 0;
    for (size_t k = 2; k < sb_.size(); ++k)
        value = (value << 8) | static_cast<uint8_t>(sb_[k]);
    // Replies come in the order of the requests: while an earlier one is
    // still unanswered, this reply is its answer, however late, and not the
    // last request's.
    answered_[i] = std::min(answered_[i] + 1, sent_[i]);
    if (answered_[i] == sent_[i])
        replies_[i] = value;
}

} // namespace link
} // namespace tesmora

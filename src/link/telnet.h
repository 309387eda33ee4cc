#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline namespace tesmora {
namespace link {

struct LineSetting;

// The telnet layer of a network port (RFC 854, 855, 856) with the client side
// of the COM-PORT-OPTION (RFC 2217), apart from any socket: server bytes go
// in, in any split, and come out as data; what it must answer waits in
// TakeAnswers(). Its memory is bounded whatever the server sends: a subnegotiation
// keeps its first bytes only, and a server that does not read our answers
// while it keeps asking is given up (Broken()).
class Telnet
{
public:
    static constexpr size_t kMaxSubnegotiation = 64;
    static constexpr size_t kMaxReplies = 4096;

    // The offer that opens the negotiation: BINARY and SGA both ways, and WILL
    // COM-PORT-OPTION.
    std::string Start();
    // Server bytes in: their data is appended to `data`.
    void Feed(const uint8_t* bytes, size_t count, std::string& data);
    // What the layer has to answer the server, taken once.
    std::string TakeAnswers();
    // Data to the server: IAC doubled, and CR sent as CR NUL while the server
    // has not agreed to take BINARY.
    std::string Encode(const uint8_t* data, size_t count) const;
    // The server stopped reading our answers while it kept talking.
    bool Broken() const { return broken_; }

    bool ComPortAgreed() const { return comPort_; }
    bool ComPortRefused() const { return comPortRefused_; }
    // Each direction agreed by the server: ours (it said DO) and its own (WILL).
    bool BinaryOut() const { return us_.on[kBinary]; }
    bool BinaryIn() const { return them_.on[kBinary]; }
    // The server said something (data or a command) since the start.
    bool Spoke() const { return spoke_; }

    // The four COM-PORT requests of a line setting: SET-BAUDRATE, -DATASIZE,
    // -PARITY and -STOPSIZE; `ask` sends value 0, which asks the server's own.
    std::string LineRequests(const LineSetting& s, bool ask);
    // The server's reply to each of the last line requests, -1 until it
    // came. A reply that answers an earlier request (one given up on) does not
    // count for the last one.
    long Reply(int i) const { return replies_[i]; }
    bool AllReplied() const;
    // PURGE-DATA of the server's receive buffer.
    static std::string PurgeRequest();

    static constexpr uint8_t kBinary = 0;

private:
    // One side's options: ours (the server says DO, DONT) or the server's own
    // (WILL, WONT); what we asked and have not been answered yet; the
    // refusals said, once per option and side.
    struct Side
    {
        bool on[256] = {};
        bool asked[256] = {};
        bool refused[256] = {};
    };
    void Command(uint8_t verb, uint8_t option);
    // DO or WILL: agreed where wanted, else refused; DONT or WONT.
    void Offered(Side& side, bool wanted, uint8_t yes, uint8_t no, uint8_t option);
    void Withdrawn(Side& side, uint8_t no, uint8_t option);
    void Subnegotiation();
    void Answer(uint8_t verb, uint8_t option);
    static std::string ComPortCommand(uint8_t command, std::string_view value);

    enum class State { Data, Cr, Iac, Option, Sb, SbIac } state_ = State::Data;
    uint8_t verb_ = 0;
    std::string sb_;
    std::string answers_;
    bool broken_ = false;
    bool spoke_ = false;
    Side us_, them_;
    bool comPort_ = false;
    bool comPortRefused_ = false;
    // Line requests sent and replies seen, by kind.
    long sent_[4] = {};
    long answered_[4] = {};
    long replies_[4] = {-1, -1, -1, -1};
};

} // namespace link
} // namespace tesmora

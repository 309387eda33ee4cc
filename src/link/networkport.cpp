#include "link/networkport.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/decimal.h"
#include "link/interrupt.h"

inline namespace tesmora {
namespace link {

namespace {

using Clock = std::chrono::steady_clock;

// The bounds of a network port: the kernel's own connect timeout is minutes.
constexpr auto kConnectBound = std::chrono::seconds(3);
constexpr auto kNegotiationBound = std::chrono::seconds(3);
constexpr auto kConfirmBound = std::chrono::seconds(2);
// The restore at close waits for the server as a change does: a close that
// left too soon would leave the server at the tool's line setting.
constexpr auto kRestoreBound = kConfirmBound;
constexpr auto kRawBusyWait = std::chrono::milliseconds(30);
constexpr auto kBusyBound = std::chrono::milliseconds(1000);
constexpr auto kBusyRetry = std::chrono::milliseconds(50);

// Telnet (RFC 854, 856) and its COM-PORT-OPTION (RFC 2217).
constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                  kSe = 240;
constexpr uint8_t kBinary = 0, kSga = 3, kComPort = 44;
constexpr uint8_t kSetBaud = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4, kPurgeData = 12,
                  kServerOffset = 100;
constexpr uint8_t kPurgeReceive = 1;

constexpr std::string_view kTelnetScheme = "rfc2217://";
constexpr std::string_view kTcpScheme = "tcp://";

uint8_t ParityCode(char p)
{
    switch (p) {
    case 'o':
        return 2;
    case 'e':
        return 3;
    case 'm':
        return 4;
    case 's':
        return 5;
    default:
        return 1;
    }
}

char ParityOf(long code)
{
    constexpr char kParities[] = {'n', 'n', 'o', 'e', 'm', 's'};
    return code >= 0 && code < 6 ? kParities[code] : 'n';
}

std::string Bytes(std::initializer_list<uint8_t> list)
{
    return std::string(list.begin(), list.end());
}

// What the server said when it closed at once: a banner naming a port in use.
bool SaysBusy(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text.find("in use") != std::string::npos || text.find("busy") != std::string::npos;
}

} // namespace

bool LooksLikePortUrl(std::string_view text)
{
    const size_t sep = text.find("://");
    if (sep == std::string_view::npos || sep == 0)
        return false;
    return std::all_of(text.begin(), text.begin() + static_cast<long>(sep), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    });
}

std::optional<PortUrl> ParsePortUrl(std::string_view text)
{
    PortUrl url;
    if (text.substr(0, kTelnetScheme.size()) == kTelnetScheme) {
        url.telnet = true;
        text.remove_prefix(kTelnetScheme.size());
    } else if (text.substr(0, kTcpScheme.size()) == kTcpScheme) {
        text.remove_prefix(kTcpScheme.size());
    } else {
        return std::nullopt;
    }
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return std::nullopt;
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return std::nullopt;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        return std::nullopt; // an IPv6 literal goes in brackets
    }
    for (char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_' &&
            c != ':')
            return std::nullopt;
    const auto number = port.empty() || port.front() < '0' || port.front() > '9'
                            ? std::nullopt
                            : ParseDecimal(port);
    if (!number || *number < 1 || *number > 65535)
        return std::nullopt;
    url.host = std::string(host);
    url.port = *number;
    return url;
}

std::unique_ptr<Transport> MakeTransport(const std::string& where)
{
    if (LooksLikePortUrl(where))
        return std::make_unique<NetworkPort>();
    return std::make_unique<SerialPort>();
}

bool LineSettingFixedAt(const std::string& where)
{
    const auto url = ParsePortUrl(where);
    return url && !url->telnet;
}

NetworkPort::~NetworkPort()
{
    Close();
}

bool NetworkPort::OpenPath(const std::string& where, std::string_view mode)
{
    if (IsOpen())
        Close();
    const auto url = ParsePortUrl(where);
    if (!url) {
        lastError_ = OpenError::BadEntry;
        return false;
    }
    telnet_ = url->telnet;
    // A server still closing the connection just ended (ours, a moment ago:
    // the scan opens a port again at once) turns the next one away as busy
    // until it has let go of the device; only a busy that lasts is one.
    const auto busyUntil = Clock::now() + kBusyBound;
    bool busy = false;
    for (;;) {
        lastError_ = TryOpen(*url, mode);
        // Once it has said busy, a server that closes at once without a word
        // (its reset can overtake the words) is still busy.
        if (busy && lastError_ == OpenError::Other && hungUp_)
            lastError_ = OpenError::Busy;
        busy = lastError_ == OpenError::Busy;
        if (!busy || Clock::now() >= busyUntil || StopRequested())
            break;
        std::this_thread::sleep_for(kBusyRetry);
    }
    return lastError_ == OpenError::None;
}

OpenError NetworkPort::TryOpen(const PortUrl& url, std::string_view mode)
{
    OpenError error = Connect(url);
    if (error == OpenError::None && telnet_) {
        error = Negotiate();
        if (error == OpenError::None && !ChangeMode(mode))
            error = hungUp_ ? OpenError::Other : OpenError::NotConfirmed;
    } else if (error == OpenError::None) {
        // A raw server that already has a client says so and closes at once.
        Pump(Clock::now() + kRawBusyWait);
    }
    // A server that closed at once: "busy" where its words tell it (ser2net:
    // "Port already in use").
    if (hungUp_ && error != OpenError::Interrupted)
        error = SaysBusy(in_) ? OpenError::Busy : OpenError::Other;
    if (error != OpenError::None) {
        haveSaved_ = false; // nothing was changed that needs restoring
        Close();
    }
    return error;
}

OpenError NetworkPort::Connect(const PortUrl& url)
{
    hungUp_ = false;
    in_.clear();
    inPos_ = 0;
    serverSpoke_ = false;
    state_ = State::Data;
    std::fill(std::begin(weWill_), std::end(weWill_), false);
    std::fill(std::begin(theyWill_), std::end(theyWill_), false);
    std::fill(std::begin(refusedSent_), std::end(refusedSent_), false);
    comPort_ = comPortRefused_ = false;
    haveSaved_ = false;

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(url.port);
    const int rc = ::getaddrinfo(url.host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0 || found == nullptr)
        return rc == EAI_SYSTEM ? OpenError::Other : OpenError::HostNotFound;

    OpenError result = OpenError::ConnectionRefused;
    const auto until = Clock::now() + kConnectBound;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            result = OpenError::Other;
            continue;
        }
        int err = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (err == EINPROGRESS) {
            err = ETIMEDOUT;
            for (;;) {
                if (StopRequested()) {
                    err = EINTR;
                    break;
                }
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
                if (left.count() <= 0)
                    break;
                pollfd p{fd, POLLOUT, 0};
                const int n = ::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 50)));
                if (n > 0) {
                    socklen_t len = sizeof err;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                        err = errno;
                    break;
                }
                if (n < 0 && errno != EINTR) {
                    err = errno;
                    break;
                }
            }
        }
        if (err == 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            fd_ = fd;
            ::freeaddrinfo(found);
            return OpenError::None;
        }
        ::close(fd);
        result = err == EINTR          ? OpenError::Interrupted
                 : err == ECONNREFUSED ? OpenError::ConnectionRefused
                 : err == ETIMEDOUT    ? OpenError::NoAnswer
                 : err == EHOSTUNREACH ? OpenError::NoAnswer
                 : err == ENETUNREACH  ? OpenError::NoAnswer
                                       : OpenError::Other;
        if (result == OpenError::Interrupted || Clock::now() >= until)
            break;
    }
    ::freeaddrinfo(found);
    return result;
}

OpenError NetworkPort::Negotiate()
{
    // BINARY both ways, so that CR and 0x00 pass as they are; SGA both ways;
    // and the COM-PORT-OPTION, which the client offers with WILL.
    weWill_[kBinary] = theyWill_[kBinary] = weWill_[kSga] = theyWill_[kSga] = true;
    weWill_[kComPort] = true;
    if (!SendRaw(Bytes({kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kWill, kSga, kIac, kDo,
                        kSga, kIac, kWill, kComPort})))
        return OpenError::Other;
    const auto until = Clock::now() + kNegotiationBound;
    WaitFor([this] { return comPort_ || comPortRefused_; }, until);
    if (StopRequested())
        return OpenError::Interrupted;
    if (comPortRefused_)
        return OpenError::NoComPortOption;
    if (!comPort_) {
        if (hungUp_)
            return OpenError::Other;
        return serverSpoke_ ? OpenError::NoComPortOption : OpenError::NoAnswer;
    }
    // The server's line setting as found, to be put back at close.
    if (!SendLine({}, true, Clock::now() + kConfirmBound))
        return hungUp_ ? OpenError::Other : OpenError::NotConfirmed;
    saved_.baud = static_cast<int>(replies_[0]);
    saved_.dataBits = static_cast<int>(replies_[1]);
    saved_.parity = ParityOf(replies_[2]);
    saved_.stopBits = replies_[3] == 2 ? 2 : 1;
    haveSaved_ = saved_.baud > 0 && saved_.dataBits >= 5 && saved_.dataBits <= 8;
    return OpenError::None;
}

std::string NetworkPort::ComPortCommand(uint8_t command, const std::string& value) const
{
    std::string out = Bytes({kIac, kSb, kComPort, command});
    for (char c : value) {
        out += c;
        if (static_cast<uint8_t>(c) == kIac)
            out += c;
    }
    return out + Bytes({kIac, kSe});
}

bool NetworkPort::SendLine(const LineSetting& s, bool request, Clock::time_point until)
{
    const uint32_t baud = request ? 0 : static_cast<uint32_t>(s.baud);
    const std::string baudBytes{static_cast<char>(baud >> 24), static_cast<char>(baud >> 16),
                                static_cast<char>(baud >> 8), static_cast<char>(baud)};
    std::fill(std::begin(replies_), std::end(replies_), -1);
    const std::string out =
        ComPortCommand(kSetBaud, baudBytes) +
        ComPortCommand(kSetDataSize, std::string(1, static_cast<char>(request ? 0 : s.dataBits))) +
        ComPortCommand(kSetParity,
                       std::string(1, static_cast<char>(request ? 0 : ParityCode(s.parity)))) +
        ComPortCommand(kSetStopSize, std::string(1, static_cast<char>(request ? 0 : s.stopBits)));
    if (!SendRaw(out))
        return false;
    const bool all = WaitFor(
        [this] {
            return std::all_of(std::begin(replies_), std::end(replies_),
                               [](long r) { return r >= 0; });
        },
        until);
    // The baud rate must be the one asked for; a pty cannot carry parity, so
    // the server's word on the rest is taken as it comes.
    return all && (request || replies_[0] == static_cast<long>(baud));
}

bool NetworkPort::ChangeMode(std::string_view mode)
{
    if (fd_ < 0 || !telnet_ || hungUp_)
        return false;
    const auto setting = ParseMode(mode);
    return setting && SendLine(*setting, false, Clock::now() + kConfirmBound);
}

void NetworkPort::Close()
{
    if (fd_ < 0)
        return;
    // After a stop it is sent and not waited for: the server reads it before
    // the end of the connection all the same.
    if (telnet_ && haveSaved_ && !hungUp_)
        SendLine(saved_, false,
                 Clock::now() + (StopRequested() ? Clock::duration{} : kRestoreBound));
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    fd_ = -1;
    haveSaved_ = false;
    in_.clear();
    inPos_ = 0;
}

bool NetworkPort::SendRaw(const std::string& bytes)
{
    if (fd_ < 0 || hungUp_)
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w =
            ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            const int r = ::poll(&p, 1, kWriteStallMs);
            if (r < 0 && errno == EINTR)
                continue;
            if (r > 0 && (p.revents & POLLOUT) != 0)
                continue;
        }
        hungUp_ = true;
        return false;
    }
    return true;
}

bool NetworkPort::WriteBuffer(const uint8_t* data, size_t count)
{
    if (fd_ < 0 || (data == nullptr && count > 0))
        return false;
    std::string out;
    out.reserve(count + 4);
    for (size_t i = 0; i < count; ++i) {
        out += static_cast<char>(data[i]);
        if (telnet_ && data[i] == kIac)
            out += static_cast<char>(kIac);
    }
    return SendRaw(out);
}

void NetworkPort::Purge()
{
    if (fd_ < 0)
        return;
    // What the server already sent is dropped here; what it still holds, it
    // drops itself (PURGE-DATA, its receive buffer). Its reply is not awaited.
    Pump(Clock::now());
    in_.clear();
    inPos_ = 0;
    if (telnet_ && !hungUp_)
        SendRaw(ComPortCommand(kPurgeData, std::string(1, static_cast<char>(kPurgeReceive))));
}

bool NetworkPort::Pump(Clock::time_point until)
{
    if (fd_ < 0 || hungUp_)
        return false;
    bool waited = false;
    for (;;) {
        uint8_t buffer[4096];
        const ssize_t r = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (r > 0) {
            serverSpoke_ = true;
            for (ssize_t i = 0; i < r; ++i)
                Feed(buffer[i]);
            if (static_cast<size_t>(r) < sizeof buffer)
                return true;
            continue;
        }
        if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            hungUp_ = true;
            return false;
        }
        if (waited)
            return true;
        const auto now = Clock::now();
        if (now >= until)
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now);
        const timespec wait{static_cast<time_t>(left.count() / 1000000000),
                            static_cast<long>(left.count() % 1000000000)};
        pollfd p{fd_, POLLIN, 0};
        const int n = ::ppoll(&p, 1, &wait, nullptr);
        if (n < 0 && errno != EINTR) {
            hungUp_ = true;
            return false;
        }
        if (n == 0)
            return true;
        waited = true;
    }
}

bool NetworkPort::WaitFor(const std::function<bool()>& done, Clock::time_point until)
{
    while (!done()) {
        if (hungUp_ || StopRequested() || Clock::now() >= until)
            return false;
        Pump(std::min(until, Clock::now() + std::chrono::milliseconds(50)));
    }
    return true;
}

std::optional<uint8_t> NetworkPort::ReadByte()
{
    const auto until = Clock::now() + kReadWait;
    for (;;) {
        if (inPos_ < in_.size()) {
            const auto b = static_cast<uint8_t>(in_[inPos_++]);
            if (inPos_ == in_.size()) {
                in_.clear();
                inPos_ = 0;
            }
            return b;
        }
        if (fd_ < 0 || hungUp_ || Clock::now() >= until)
            break;
        Pump(until);
    }
    // A closed connection reads as empty and still takes the whole wait, as a
    // hung-up device does.
    if (Clock::now() < until)
        std::this_thread::sleep_until(until);
    return std::nullopt;
}

void NetworkPort::Feed(uint8_t b)
{
    if (!telnet_) {
        in_ += static_cast<char>(b);
        return;
    }
    switch (state_) {
    case State::Data:
        if (b == kIac) {
            state_ = State::Iac;
        } else {
            in_ += static_cast<char>(b);
        }
        break;
    case State::Iac:
        if (b == kIac) {
            in_ += static_cast<char>(b);
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
        OnOption(verb_, b);
        state_ = State::Data;
        break;
    case State::Sb:
        if (b == kIac)
            state_ = State::SbIac;
        else if (sb_.size() < 64)
            sb_ += static_cast<char>(b);
        break;
    case State::SbIac:
        if (b == kSe) {
            OnSubnegotiation();
            state_ = State::Data;
        } else {
            if (sb_.size() < 64)
                sb_ += static_cast<char>(b); // IAC IAC inside: one 0xFF
            state_ = State::Sb;
        }
        break;
    }
}

void NetworkPort::OnOption(uint8_t verb, uint8_t option)
{
    const bool wanted = option == kBinary || option == kSga || option == kComPort;
    auto send = [this](uint8_t v, uint8_t o) { SendRaw(Bytes({kIac, v, o})); };
    switch (verb) {
    case kDo:
        if (option == kComPort)
            comPort_ = true;
        if (wanted) {
            if (!weWill_[option]) {
                weWill_[option] = true;
                send(kWill, option);
            }
        } else if (!refusedSent_[option]) {
            refusedSent_[option] = true;
            send(kWont, option);
        }
        break;
    case kDont:
        if (option == kComPort)
            comPortRefused_ = true;
        if (weWill_[option]) {
            weWill_[option] = false;
            send(kWont, option);
        }
        break;
    case kWill:
        if (option == kBinary || option == kSga) {
            if (!theyWill_[option]) {
                theyWill_[option] = true;
                send(kDo, option);
            }
        } else if (!refusedSent_[option]) {
            refusedSent_[option] = true;
            send(kDont, option);
        }
        break;
    case kWont:
        if (theyWill_[option]) {
            theyWill_[option] = false;
            send(kDont, option);
        }
        break;
    default:
        break;
    }
}

void NetworkPort::OnSubnegotiation()
{
    if (sb_.size() < 2 || static_cast<uint8_t>(sb_[0]) != kComPort)
        return;
    const auto command = static_cast<uint8_t>(sb_[1]);
    const std::string value = sb_.substr(2);
    // Only the replies to the line requests count; notifications (line and
    // modem state) and anything else were not asked for and are ignored.
    switch (command) {
    case kServerOffset + kSetBaud:
        if (value.size() == 4) {
            uint32_t baud = 0;
            for (char c : value)
                baud = (baud << 8) | static_cast<uint8_t>(c);
            replies_[0] = static_cast<long>(baud);
        }
        break;
    case kServerOffset + kSetDataSize:
    case kServerOffset + kSetParity:
    case kServerOffset + kSetStopSize:
        if (value.size() == 1)
            replies_[command - kServerOffset - 1] = static_cast<uint8_t>(value[0]);
        break;
    default:
        break;
    }
}

} // namespace link
} // namespace tesmora

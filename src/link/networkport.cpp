#include "link/networkport.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
// A server that asked for a client certificate it did not get turns the
// connection away just after the handshake: a raw port waits that long for it.
constexpr auto kCertificateVerdictWait = std::chrono::milliseconds(300);
constexpr auto kBusyBound = std::chrono::milliseconds(1000);
constexpr auto kBusyRetry = std::chrono::milliseconds(50);
// How often a wait on the far end lets the window run.
constexpr auto kIdleSlice = std::chrono::milliseconds(10);
// What one read call takes from the socket at most.
constexpr size_t kReadBudget = 16 * 1024;

struct Scheme
{
    std::string_view prefix;
    bool telnet;
    bool tls;
};
constexpr Scheme kSchemes[] = {
    {"rfc2217://", true, false},
    {"rfc2217s://", true, true},
    {"tcp://", false, false},
    {"tcps://", false, true},
};

// What the store's [Tls] and [Network] say, for every port opened.
std::mutex defaultsMutex;
PortUrl tlsDefaults;
std::atomic<bool> requireTls{false};

// What the server said when it closed at once: a banner naming a port in use.
bool SaysBusy(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text.find("in use") != std::string::npos || text.find("busy") != std::string::npos;
}

std::optional<std::string> PercentDecoded(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
            return std::nullopt;
        out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
        i += 2;
    }
    return out;
}

// ca=FILE&fingerprint=SHA256&cert=FILE&key=FILE, each at most once.
bool ParseQuery(std::string_view query, PortUrl& url)
{
    const std::pair<std::string_view, std::string PortUrl::*> keys[] = {
        {"ca", &PortUrl::caFile},
        {"fingerprint", &PortUrl::fingerprint},
        {"cert", &PortUrl::certFile},
        {"key", &PortUrl::keyFile},
    };
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view item = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        const size_t eq = item.find('=');
        if (eq == std::string_view::npos)
            return false;
        const auto value = PercentDecoded(item.substr(eq + 1));
        const auto key = std::find_if(std::begin(keys), std::end(keys),
                                      [&](const auto& k) { return k.first == item.substr(0, eq); });
        if (!value || value->empty() || key == std::end(keys) || !(url.*key->second).empty())
            return false;
        url.*key->second = *value;
    }
    return true;
}

// The host's addresses, looked up in a thread of its own so that a resolver
// that does not answer cannot hold the tool: the wait ends on a stop request
// and at `until`, and lets the window run meanwhile.
struct Lookup
{
    std::mutex mu;
    std::condition_variable done;
    bool finished = false;
    int rc = EAI_AGAIN;
    addrinfo* found = nullptr;
    ~Lookup()
    {
        if (found != nullptr)
            ::freeaddrinfo(found);
    }
};

OpenError Resolve(const PortUrl& url, Clock::time_point until, const std::function<void()>& idle,
                  std::shared_ptr<Lookup>& lookup)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    const std::string service = std::to_string(url.port);
    lookup = std::make_shared<Lookup>();
    // An address needs no resolver.
    if (::getaddrinfo(url.host.c_str(), service.c_str(), &hints, &lookup->found) == 0)
        return OpenError::None;
    lookup->found = nullptr;
    hints.ai_flags = AI_NUMERICSERV;
    std::thread([lookup, hints, host = url.host, service] {
        addrinfo* found = nullptr;
        const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
        std::lock_guard lock(lookup->mu);
        lookup->rc = rc;
        lookup->found = found;
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();
    for (;;) {
        {
            std::unique_lock lock(lookup->mu);
            if (lookup->done.wait_for(lock, kIdleSlice, [&] { return lookup->finished; })) {
                if (lookup->rc == 0 && lookup->found != nullptr)
                    return OpenError::None;
                return lookup->rc == EAI_SYSTEM ? OpenError::Other : OpenError::HostNotFound;
            }
        }
        if (StopRequested())
            return OpenError::Interrupted;
        // A resolver that gives no answer in time leaves the host unknown.
        if (Clock::now() >= until)
            return OpenError::HostNotFound;
        if (idle)
            idle();
    }
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
    const auto scheme =
        std::find_if(std::begin(kSchemes), std::end(kSchemes),
                     [&](const Scheme& s) { return text.substr(0, s.prefix.size()) == s.prefix; });
    if (scheme == std::end(kSchemes))
        return std::nullopt;
    url.telnet = scheme->telnet;
    url.tls = scheme->tls;
    text.remove_prefix(scheme->prefix.size());
    // Only the TLS forms take a query: a plain port has nothing to set.
    if (const size_t q = text.find('?'); q != std::string_view::npos) {
        if (!url.tls || !ParseQuery(text.substr(q + 1), url))
            return std::nullopt;
        text = text.substr(0, q);
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

std::string LostText(const std::string& where)
{
    const auto url = ParsePortUrl(where);
    // A device whose node went with it was unplugged, not just hung up.
    struct stat st
    {
    };
    if (!url && !where.empty() && ::stat(where.c_str(), &st) != 0 &&
        (errno == ENOENT || errno == ENOTDIR))
        return "the reader was unplugged (" + where + " is gone)";
    if (!url)
        return "the port was lost (hang-up)";
    const bool v6 = url->host.find(':') != std::string::npos;
    return "the connection to " + (v6 ? "[" + url->host + "]" : url->host) + ":" +
           std::to_string(url->port) + " was lost";
}

void SetTlsDefaults(const std::string& caFile, const std::string& fingerprint,
                    const std::string& certFile, const std::string& keyFile)
{
    std::lock_guard lock(defaultsMutex);
    tlsDefaults.caFile = caFile;
    tlsDefaults.fingerprint = fingerprint;
    tlsDefaults.certFile = certFile;
    tlsDefaults.keyFile = keyFile;
}

void SetRequireTls(bool require)
{
    requireTls = require;
}

bool PlainNetworkRefused(const std::string& where)
{
    const auto url = ParsePortUrl(where);
    return requireTls && url && !url->tls;
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
    lastDetail_.clear();
    const auto url = ParsePortUrl(where);
    if (!url) {
        lastError_ = OpenError::BadEntry;
        return false;
    }
    if (PlainNetworkRefused(where)) {
        lastError_ = OpenError::TlsRequired;
        return false;
    }
    isTelnet_ = url->telnet;
    isTls_ = url->tls;
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
        const auto retry = Clock::now() + kBusyRetry;
        while (Clock::now() < retry && !StopRequested()) {
            Idle();
            std::this_thread::sleep_for(kIdleSlice);
        }
    }
    return lastError_ == OpenError::None;
}

std::string NetworkPort::ReachableText() const
{
    return isTls_ ? "connects (" + tlsVersion_ + ")" : "connects";
}

OpenError NetworkPort::TryOpen(const PortUrl& url, std::string_view mode)
{
    // A detail belongs to this try alone: a busy retry starts afresh.
    lastDetail_.clear();
    OpenError error = Connect(url);
    if (error == OpenError::None && isTelnet_) {
        error = Negotiate();
        if (error == OpenError::None && !ChangeMode(mode))
            error = hungUp_ ? OpenError::Other : OpenError::NotConfirmed;
    } else if (error == OpenError::None) {
        // A raw server that already has a client says so and closes at once;
        // its words can come before the close does.
        if (WaitFor([this] { return SaysBusy(in_); },
                    Clock::now() +
                        (certificateRequested_ ? kCertificateVerdictWait : kRawBusyWait)) &&
            !hungUp_)
            error = OpenError::Busy;
    }
    if (hungUp_ && error != OpenError::Interrupted) {
        // A server that closed at once: "busy" where its words tell it
        // (ser2net: "Port already in use"); one that asked for a client
        // certificate it did not get turned us away for that.
        // A TLS server's alert says why it ended the connection; one that
        // asked for our certificate and ended it refused the certificate.
        std::string failure = stream_ ? stream_->Failure() : std::string();
        if (failure.empty() && certificateRequested_)
            failure = "the server refused the client certificate";
        error = SaysBusy(in_)        ? OpenError::Busy
                : certificateWanted_ ? OpenError::ClientCertificateWanted
                : !failure.empty()   ? OpenError::TlsFailed
                                     : OpenError::Other;
        if (error == OpenError::TlsFailed)
            lastDetail_ = failure;
        else if (error == OpenError::Other)
            lastDetail_ = "the server closed the connection";
    }
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
    unsent_.clear();
    telnet_ = Telnet();
    haveSaved_ = false;
    certificateWanted_ = certificateRequested_ = false;
    tlsVersion_.clear();

    const auto until = Clock::now() + kConnectBound;
    std::shared_ptr<Lookup> lookup;
    OpenError result = Resolve(url, until, idle_, lookup);
    if (result != OpenError::None)
        return result;

    result = OpenError::ConnectionRefused;
    for (addrinfo* a = lookup->found; a != nullptr; a = a->ai_next) {
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
                const int n = ::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 10)));
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
                Idle();
            }
        }
        if (err == 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (!url.tls) {
                stream_ = PlainStream(fd);
                return OpenError::None;
            }
            TlsOptions options;
            {
                // The URL's trust and its client pair, each where it gives
                // one, else the store's.
                std::lock_guard lock(defaultsMutex);
                const bool ownTrust = !url.caFile.empty() || !url.fingerprint.empty();
                const PortUrl& trust = ownTrust ? url : tlsDefaults;
                const PortUrl& pair =
                    !url.certFile.empty() || !url.keyFile.empty() ? url : tlsDefaults;
                options = {trust.caFile, trust.fingerprint, pair.certFile, pair.keyFile};
            }
            TlsResult tls =
                TlsHandshake(fd, url.host, options, Clock::now() + kNegotiationBound, idle_);
            certificateWanted_ = tls.certificateWanted;
            certificateRequested_ = tls.certificateRequested;
            lastDetail_ = tls.detail;
            if (tls.error != OpenError::None)
                return tls.error;
            tlsVersion_ = tls.version;
            stream_ = std::move(tls.stream);
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
    return result;
}

OpenError NetworkPort::Negotiate()
{
    if (!SendRaw(telnet_.Start()))
        return OpenError::Other;
    const auto until = Clock::now() + kNegotiationBound;
    WaitFor([this] { return telnet_.ComPortAgreed() || telnet_.ComPortRefused(); }, until);
    if (StopRequested())
        return OpenError::Interrupted;
    if (telnet_.ComPortRefused())
        return OpenError::NoComPortOption;
    if (!telnet_.ComPortAgreed()) {
        if (hungUp_)
            return OpenError::Other;
        return telnet_.Spoke() ? OpenError::NoComPortOption : OpenError::NoAnswer;
    }
    // The server's line setting as found, to be put back at close.
    if (!SendLine({}, true, Clock::now() + kConfirmBound))
        return StopRequested() ? OpenError::Interrupted
               : hungUp_       ? OpenError::Other
                               : OpenError::NotConfirmed;
    constexpr char kParities[] = {'n', 'n', 'o', 'e', 'm', 's'};
    saved_.baud = static_cast<int>(telnet_.Reply(0));
    saved_.dataBits = static_cast<int>(telnet_.Reply(1));
    saved_.parity = telnet_.Reply(2) < 6 ? kParities[telnet_.Reply(2)] : 'n';
    saved_.stopBits = telnet_.Reply(3) == 2 ? 2 : 1;
    haveSaved_ = saved_.baud > 0 && saved_.dataBits >= 5 && saved_.dataBits <= 8;
    return OpenError::None;
}

bool NetworkPort::SendLine(const LineSetting& s, bool ask, Clock::time_point until)
{
    if (!SendRaw(telnet_.LineRequests(s, ask)))
        return false;
    const bool all = WaitFor([this] { return telnet_.AllReplied(); }, until);
    // The baud rate must be the one asked for; a pty cannot carry parity, so
    // the server's word on the rest is taken as it comes.
    return all && (ask || telnet_.Reply(0) == static_cast<long>(s.baud));
}

bool NetworkPort::ChangeMode(std::string_view mode)
{
    if (!stream_ || !isTelnet_ || hungUp_)
        return false;
    const auto setting = ParseMode(mode);
    return setting && SendLine(*setting, false, Clock::now() + kConfirmBound);
}

void NetworkPort::Close()
{
    if (!stream_)
        return;
    // After a stop it is sent and not waited for: the server reads it before
    // the end of the connection all the same.
    if (isTelnet_ && haveSaved_ && !hungUp_)
        SendLine(saved_, false,
                 Clock::now() + (StopRequested() ? Clock::duration{} : kRestoreBound));
    stream_.reset();
    haveSaved_ = false;
    in_.clear();
    inPos_ = 0;
    unsent_.clear();
}

void NetworkPort::Flush()
{
    unsent_ += telnet_.TakeAnswers();
    while (!unsent_.empty() && !hungUp_) {
        short events = 0;
        const ssize_t w = stream_->Write(reinterpret_cast<const uint8_t*>(unsent_.data()),
                                         unsent_.size(), events);
        if (w < 0)
            hungUp_ = true;
        if (w <= 0)
            break;
        unsent_.erase(0, static_cast<size_t>(w));
    }
    // A server that does not read what it asked for is given up.
    if (unsent_.size() > Telnet::kMaxReplies || telnet_.Broken())
        hungUp_ = true;
}

bool NetworkPort::SendRaw(const std::string& bytes)
{
    if (!stream_ || hungUp_)
        return false;
    unsent_ += telnet_.TakeAnswers();
    const std::string out = unsent_ + bytes;
    unsent_.clear();
    ByteStream& stream = *stream_;
    const bool sent = WriteAll(
        stream.Fd(), reinterpret_cast<const uint8_t*>(out.data()), out.size(),
        [&stream](const uint8_t* p, size_t n, short& events) { return stream.Write(p, n, events); },
        idle_);
    if (!sent)
        hungUp_ = true;
    return sent;
}

bool NetworkPort::WriteBuffer(const uint8_t* data, size_t count)
{
    if (!stream_ || (data == nullptr && count > 0))
        return false;
    return SendRaw(isTelnet_ ? telnet_.Encode(data, count)
                             : std::string(reinterpret_cast<const char*>(data), count));
}

void NetworkPort::Purge()
{
    if (!stream_)
        return;
    // What the server already sent is dropped here; what it still holds, it
    // drops itself (PURGE-DATA, its receive buffer). Its reply is not awaited.
    Pump(Clock::now());
    in_.clear();
    inPos_ = 0;
    if (isTelnet_ && !hungUp_)
        SendRaw(Telnet::PurgeRequest());
}

bool NetworkPort::Pump(Clock::time_point until)
{
    if (!stream_ || hungUp_)
        return false;
    Flush();
    if (inPos_ > 0) {
        in_.erase(0, inPos_);
        inPos_ = 0;
    }
    size_t budget = kReadBudget;
    bool got = false;
    bool waited = false;
    while (budget > 0) {
        uint8_t buffer[4096];
        const ssize_t r = stream_->Read(buffer, std::min(sizeof buffer, budget));
        if (r < 0) {
            hungUp_ = true;
            return false;
        }
        if (r > 0) {
            got = true;
            budget -= static_cast<size_t>(r);
            if (isTelnet_)
                telnet_.Feed(buffer, static_cast<size_t>(r), in_);
            else
                in_.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(r));
            // A flood keeps only its newest bytes: nobody reads that much.
            if (in_.size() > kMaxBuffered)
                in_.erase(0, in_.size() - kMaxBuffered);
            Flush();
            if (hungUp_)
                return false;
            continue;
        }
        const auto now = Clock::now();
        if (got || waited || now >= until)
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now);
        const timespec wait{static_cast<time_t>(left.count() / 1000000000),
                            static_cast<long>(left.count() % 1000000000)};
        pollfd p{stream_->Fd(), POLLIN, 0};
        const int n = ::ppoll(&p, 1, &wait, nullptr);
        if (n < 0 && errno != EINTR) {
            hungUp_ = true;
            return false;
        }
        if (n == 0)
            return true;
        waited = true;
    }
    return true;
}

bool NetworkPort::WaitFor(const std::function<bool()>& done, Clock::time_point until)
{
    while (!done()) {
        if (hungUp_ || StopRequested() || Clock::now() >= until)
            return false;
        Pump(std::min(until, Clock::now() + kIdleSlice));
        Idle();
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
        if (!stream_ || hungUp_ || Clock::now() >= until)
            break;
        Pump(until);
    }
    // A closed connection reads as empty and still takes the whole wait, as a
    // hung-up device does.
    if (Clock::now() < until)
        std::this_thread::sleep_until(until);
    return std::nullopt;
}

} // namespace link
} // namespace tesmora

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

// link::X is reached through the inline namespace (see serialport.h).
inline namespace tesmora {
namespace link {

// Why an open failed. Interrupted: a stop was requested; BadEntry: the port
// map refused its entry for this number. The network port adds its own:
// ConnectionRefused, NoAnswer (to the connect or the negotiation),
// NoComPortOption (a telnet server without RFC 2217), HostNotFound and
// NotConfirmed (the server did not confirm a line setting); TlsRequired (a
// plain network port where the store asks for TLS), and those of TLS.
enum class OpenError {
    None,
    Missing,
    NotATerminal,
    Busy,
    PermissionDenied,
    Other,
    Interrupted,
    BadEntry,
    ConnectionRefused,
    NoAnswer,
    NoComPortOption,
    HostNotFound,
    NotConfirmed,
    TlsRequired,
    NotTrusted,
    HostMismatch,
    FingerprintDiffers,
    ClientCertificateWanted,
    KeyFileOpen,
    TlsFailed,
};
// "missing", "not a terminal", "busy", "permission denied", "failed",
// "interrupted", "refused Ports entry", "connection refused", "no answer",
// "no COM-PORT-OPTION (RFC 2217)", "host not found", "line setting not
// confirmed", "certificate not trusted", ...; "" for None.
const char* OpenErrorText(OpenError e);
// The same with what the port said about it: the host a certificate does not
// match, the file a key is in, what the TLS library said.
std::string OpenErrorLine(OpenError e, const std::string& detail);
// The detail of the last failed open of COMn, kept for whoever reports it.
void SetOpenDetail(int n, const std::string& detail);
std::string OpenDetail(int n);

// How long an empty read takes, on every transport; the exchange's deadline
// and its window updates are paced by it.
inline constexpr auto kReadWait = std::chrono::milliseconds(1);
// A write that makes no progress for this long is given up, so that a device
// or a server which stopped taking bytes cannot freeze the window.
inline constexpr int kWriteStallMs = 2000;

// Writes all `count` bytes through `step`, which takes what it can now: the
// bytes it took, or 0 with the poll events to wait for on `fd`, or -1 on
// failure. False on a failure, a hang-up, a stall of kWriteStallMs, or a stop
// request while it waits; `idle` runs between the waits.
bool WriteAll(int fd, const uint8_t* data, size_t count,
              const std::function<ssize_t(const uint8_t*, size_t, short&)>& step,
              const std::function<void()>& idle = {});

// What the exchange talks to: a local serial port or a network port. Open
// with a line setting, change it, write, read with the short byte wait,
// purge, close restoring what was found at open.
class Transport
{
public:
    virtual ~Transport() = default;
    // `where` is a device path or a port URL, `mode` a mode string ("19200,e,8,1").
    virtual bool OpenPath(const std::string& where, std::string_view mode) = 0;
    // A new line setting on the open port; false when it was not taken.
    virtual bool ChangeMode(std::string_view mode) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // Why the last open failed; None after a success.
    virtual OpenError LastOpenError() const = 0;
    virtual bool WriteBuffer(const uint8_t* data, size_t count) = 0;
    bool WriteByte(uint8_t b) { return WriteBuffer(&b, 1); }
    // Discards what arrived so far.
    virtual void Purge() = 0;
    // A byte at once when one is waiting, otherwise nothing after about 1 ms.
    // A hung-up or failed line also reads as nothing after about 1 ms.
    virtual std::optional<uint8_t> ReadByte() = 0;
    // True once the line was lost while open: a device hung up or failed, a
    // server closed the connection. Until the next open.
    virtual bool Lost() const = 0;
    // True when the far end fixes the line setting (raw TCP): OpenPath's mode
    // is not applied and ChangeMode fails.
    virtual bool LineSettingFixed() const { return false; }
    // "present" for a device, "connects" for a network port, "connects (TLS
    // 1.3)" for one over TLS: what a successful open shows in a port list.
    virtual std::string ReachableText() const { return "present"; }
    // What the last failed open said besides its reason (see OpenErrorLine).
    virtual std::string LastOpenDetail() const { return {}; }
    // Runs about every 10 ms while an open, a line setting or a close waits
    // on the far end, so that a window stays alive meanwhile.
    virtual void SetIdle(std::function<void()> idle) { (void)idle; }
    // True for a network port without TLS: whatever is sent crosses the
    // network as it is.
    virtual bool InClear() const { return false; }
};

// A port URL: rfc2217://HOST:PORT or tcp://HOST:PORT, or their TLS forms
// rfc2217s:// and tcps://, which take a query: ?ca=FILE, fingerprint=SHA256,
// cert=FILE and key=FILE, joined by "&" (each overrides the store's [Tls]).
struct PortUrl
{
    bool telnet = false; // rfc2217:// or rfc2217s://
    bool tls = false;    // rfc2217s:// or tcps://
    std::string host;    // without the brackets of an IPv6 literal
    int port = 0;
    std::string caFile, fingerprint, certFile, keyFile; // from the query
};
// nullopt when `text` is not such a URL.
std::optional<PortUrl> ParsePortUrl(std::string_view text);
// "the connection to HOST:PORT was lost" for a port URL; for a device, that
// it was unplugged where its path is gone, else that the port was lost.
std::string LostText(const std::string& where);
// The store's [Tls] values, taken where a URL's query does not give its
// own, and its [Network] RequireTls: a plain network port is then refused.
void SetTlsDefaults(const std::string& caFile, const std::string& fingerprint,
                    const std::string& certFile, const std::string& keyFile);
void SetRequireTls(bool require);
// True when `where` is a plain network port and the store requires TLS.
bool PlainNetworkRefused(const std::string& where);
// True when `text` starts like a URL (a scheme and "://"), well-formed or not.
bool LooksLikePortUrl(std::string_view text);

// The transport for a device path or a port URL.
std::unique_ptr<Transport> MakeTransport(const std::string& where);
// True when the port behind `where` cannot change its line setting (raw TCP).
bool LineSettingFixedAt(const std::string& where);

} // namespace link
} // namespace tesmora

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// link::X is reached through the inline namespace (see serialport.h).
inline namespace tesmora {
namespace link {

// Why an open failed. Interrupted: a stop was requested; BadEntry: the port
// map refused its entry for this number. The network port adds its own:
// ConnectionRefused, NoAnswer (to the connect or the negotiation),
// NoComPortOption (a telnet server without RFC 2217), HostNotFound and
// NotConfirmed (the server did not confirm a line setting).
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
};
// "missing", "not a terminal", "busy", "permission denied", "failed",
// "interrupted", "refused Ports entry", "connection refused", "no answer",
// "no COM-PORT-OPTION (RFC 2217)", "host not found", "line setting not
// confirmed"; "" for None.
const char* OpenErrorText(OpenError e);

// How long an empty read takes, on every transport; the exchange's deadline
// and its window updates are paced by it.
inline constexpr auto kReadWait = std::chrono::milliseconds(1);
// A write that makes no progress for this long is given up, so that a device
// or a server which stopped taking bytes cannot freeze the window.
inline constexpr int kWriteStallMs = 2000;

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
    // "present" for a device, "connects" for a network port: what a
    // successful open shows in a port list.
    virtual const char* ReachableText() const { return "present"; }
};

// A port URL: rfc2217://HOST:PORT or tcp://HOST:PORT.
struct PortUrl
{
    bool telnet = false; // rfc2217://
    std::string host;    // without the brackets of an IPv6 literal
    int port = 0;
};
// nullopt when `text` is not such a URL.
std::optional<PortUrl> ParsePortUrl(std::string_view text);
// True when `text` starts like a URL (a scheme and "://"), well-formed or not.
bool LooksLikePortUrl(std::string_view text);

// The transport for a device path or a port URL.
std::unique_ptr<Transport> MakeTransport(const std::string& where);
// True when the port behind `where` cannot change its line setting (raw TCP).
bool LineSettingFixedAt(const std::string& where);

} // namespace link
} // namespace tesmora

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <sys/types.h>

#include "link/transport.h"

inline namespace tesmora {
namespace link {

// The byte stream under a network port's telnet layer: the socket itself, or
// TLS over it. Nothing here blocks: a call does what it can now and says what
// to wait for on Fd() before the next.
class ByteStream
{
public:
    virtual ~ByteStream() = default;
    int Fd() const { return fd_; }
    // Bytes read now: > 0; 0 when nothing is waiting; -1 when the stream ended or failed.
    virtual ssize_t Read(uint8_t* into, size_t size) = 0;
    // Bytes taken now: > 0; 0 when it must wait for `events`; -1 on failure.
    virtual ssize_t Write(const uint8_t* data, size_t size, short& events) = 0;
    // Why a TLS stream ended, where the server said (its alert); "" else.
    virtual std::string Failure() const { return {}; }

protected:
    explicit ByteStream(int fd) : fd_(fd) {}
    int fd_;
};

// A connected socket, taken over.
std::unique_ptr<ByteStream> PlainStream(int fd);

// What a TLS port trusts and shows: a CA file (else the system's CAs), or a
// pinned SHA-256 of the server's certificate; a client certificate and key.
struct TlsOptions
{
    std::string caFile;
    std::string fingerprint; // 64 hexadecimal digits, colons allowed
    std::string certFile;
    std::string keyFile;
};

// The outcome of a TLS handshake: None and the stream, or the reason
// (`detail` says more for TlsFailed and KeyFileOpen).
struct TlsResult
{
    OpenError error = OpenError::None;
    std::string detail;
    std::unique_ptr<ByteStream> stream;
    std::string version; // "TLS 1.3"
    // The server asked for a client certificate; and none was given.
    bool certificateRequested = false;
    bool certificateWanted = false;
};

// TLS 1.2 at least over the connected socket `fd` (taken over either way),
// the server's certificate verified against the CAs or the pin and its name
// against `host`. Waits up to `until`, calling `idle` about every 10 ms, and
// ends at once on a stop request.
TlsResult TlsHandshake(int fd, const std::string& host, const TlsOptions& options,
                       std::chrono::steady_clock::time_point until,
                       const std::function<void()>& idle);

} // namespace link
} // namespace tesmora

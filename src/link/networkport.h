#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "link/netstream.h"
#include "link/serialport.h"
#include "link/telnet.h"
#include "link/transport.h"

inline namespace tesmora {
namespace link {

// A port on the network, in layers as ser2net stacks them: a socket, TLS over
// it for rfc2217s:// and tcps://, and the telnet layer with the
// COM-PORT-OPTION of RFC 2217 for rfc2217:// and rfc2217s:// (a raw TCP port's
// server fixes the line setting). The host lookup, the connect, the handshake
// and the negotiation each give up within a few seconds, and at once on a stop
// request; a server that closes the connection reads as a hung-up line. What
// a server sends is held only up to a bound, whatever it sends.
class NetworkPort final : public Transport
{
public:
    // Data received and not yet read, at most: a flooding server waits in
    // its own buffers, not in ours.
    static constexpr size_t kMaxBuffered = 64 * 1024;

    NetworkPort() = default;
    NetworkPort(const NetworkPort&) = delete;
    NetworkPort& operator=(const NetworkPort&) = delete;
    ~NetworkPort() override;

    bool OpenPath(const std::string& url, std::string_view mode) override;
    // RFC 2217: SET-BAUDRATE, -DATASIZE, -PARITY and -STOPSIZE, each confirmed
    // by the server within a bound. Raw TCP: false, nothing sent.
    bool ChangeMode(std::string_view mode) override;
    void Close() override;
    bool IsOpen() const override { return stream_ != nullptr; }
    OpenError LastOpenError() const override { return lastError_; }
    std::string LastOpenDetail() const override { return lastDetail_; }
    bool WriteBuffer(const uint8_t* data, size_t count) override;
    // Local input is discarded; RFC 2217 also asks the server to purge its
    // receive buffer (PURGE-DATA).
    void Purge() override;
    std::optional<uint8_t> ReadByte() override;
    bool Lost() const override { return hungUp_; }
    bool LineSettingFixed() const override { return !isTelnet_; }
    std::string ReachableText() const override;
    void SetIdle(std::function<void()> idle) override { idle_ = std::move(idle); }
    bool InClear() const override { return !isTls_; }
    // Bytes held for reading, for the bound's test.
    size_t Buffered() const { return in_.size() - inPos_; }

private:
    using Clock = std::chrono::steady_clock;

    // One connect, handshake, negotiation and first line setting; closed
    // again on failure.
    OpenError TryOpen(const PortUrl& url, std::string_view mode);
    OpenError Connect(const PortUrl& url);
    OpenError Negotiate();
    // Sends bytes as they are (telnet commands included); false on failure.
    bool SendRaw(const std::string& bytes);
    // Sends what the telnet layer has to answer, as far as the socket takes it now.
    void Flush();
    // Reads what the socket holds, up to the bound, waiting up to `until`
    // for the first byte. False when the connection is gone.
    bool Pump(Clock::time_point until);
    // Pumps until `done` holds, the connection ends, a stop is requested or
    // `until`, with the idle hook between.
    bool WaitFor(const std::function<bool()>& done, Clock::time_point until);
    // Sends the four line requests and waits for each reply. `ask` sends
    // value 0 (asking the server's current setting).
    bool SendLine(const LineSetting& s, bool ask, Clock::time_point until);
    void Idle() const
    {
        if (idle_)
            idle_();
    }

    std::unique_ptr<ByteStream> stream_;
    Telnet telnet_;
    bool isTelnet_ = false;
    bool isTls_ = false;
    std::string tlsVersion_;
    bool certificateWanted_ = false;
    bool certificateRequested_ = false;
    bool hungUp_ = false;
    OpenError lastError_ = OpenError::None;
    std::string lastDetail_;
    std::string in_; // data bytes received, not yet read
    size_t inPos_ = 0;
    std::string unsent_; // the telnet layer's answers the socket did not take yet
    std::function<void()> idle_;

    LineSetting saved_;
    bool haveSaved_ = false;
};

} // namespace link
} // namespace tesmora

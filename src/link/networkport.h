#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "link/serialport.h"
#include "link/transport.h"

inline namespace tesmora {
namespace link {

// A port on the network: a telnet server with the COM-PORT-OPTION of RFC 2217
// (rfc2217://HOST:PORT), or a raw TCP socket whose line setting the server
// fixes (tcp://HOST:PORT). The connect and the negotiation give up within a
// few seconds; a server that closes the connection reads as a hung-up line.
class NetworkPort final : public Transport
{
public:
    NetworkPort() = default;
    NetworkPort(const NetworkPort&) = delete;
    NetworkPort& operator=(const NetworkPort&) = delete;
    ~NetworkPort() override;

    bool OpenPath(const std::string& url, std::string_view mode) override;
    // RFC 2217: SET-BAUDRATE, -DATASIZE, -PARITY and -STOPSIZE, each confirmed
    // by the server within a bound. Raw TCP: false, nothing sent.
    bool ChangeMode(std::string_view mode) override;
    void Close() override;
    bool IsOpen() const override { return fd_ >= 0; }
    OpenError LastOpenError() const override { return lastError_; }
    bool WriteBuffer(const uint8_t* data, size_t count) override;
    // Local input is discarded; RFC 2217 also asks the server to purge its
    // receive buffer (PURGE-DATA).
    void Purge() override;
    std::optional<uint8_t> ReadByte() override;
    bool Lost() const override { return hungUp_; }
    bool LineSettingFixed() const override { return !telnet_; }
    const char* ReachableText() const override { return "connects"; }

private:
    using Clock = std::chrono::steady_clock;

    // One connect, negotiation and first line setting; closed again on failure.
    OpenError TryOpen(const PortUrl& url, std::string_view mode);
    OpenError Connect(const PortUrl& url);
    OpenError Negotiate();
    // Sends bytes as they are (telnet commands included); false on failure.
    bool SendRaw(const std::string& bytes);
    // Reads what the socket holds, waiting up to `until` for the first byte.
    // False when the connection is gone.
    bool Pump(Clock::time_point until);
    // Pumps until `done` holds, the connection ends, a stop is requested or `until`.
    bool WaitFor(const std::function<bool()>& done, Clock::time_point until);
    void Feed(uint8_t b);
    void OnOption(uint8_t verb, uint8_t option);
    void OnSubnegotiation();
    std::string ComPortCommand(uint8_t command, const std::string& value) const;
    // Sends the four line requests and waits for each reply. `request` sends
    // value 0 (asking the server's current setting).
    bool SendLine(const LineSetting& s, bool request, Clock::time_point until);

    int fd_ = -1;
    bool telnet_ = false;
    bool hungUp_ = false;
    OpenError lastError_ = OpenError::None;
    std::string in_; // data bytes received, not yet read
    size_t inPos_ = 0;
    bool serverSpoke_ = false;

    enum class State { Data, Iac, Option, Sb, SbIac } state_ = State::Data;
    uint8_t verb_ = 0;
    std::string sb_;
    bool weWill_[256] = {};
    bool theyWill_[256] = {};
    bool refusedSent_[256] = {};
    bool comPort_ = false;        // the server agreed to COM-PORT-OPTION
    bool comPortRefused_ = false; // it refused it

    // The server's replies to the line requests; -1 until one comes.
    long replies_[4] = {-1, -1, -1, -1};
    LineSetting saved_;
    bool haveSaved_ = false;
};

} // namespace link
} // namespace tesmora

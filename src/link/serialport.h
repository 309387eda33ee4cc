#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <termios.h>

#include "link/transport.h"

// link::X is reached through the inline namespace: a plain global namespace
// `link` would clash with POSIX link() from <unistd.h>, which <atomic> pulls in.
inline namespace tesmora {
namespace link {

// One line setting of a mode string "baud,parity,data,stop", e.g. "19200,e,8,1".
struct LineSetting
{
    int baud = 0;
    char parity = 'n'; // 'n', 'e', 'o', 'm' or 's'
    int dataBits = 8;
    int stopBits = 1;
    bool operator==(const LineSetting&) const = default;
};

// Parses a mode string; nullopt when it is not of that form or names an unknown baud rate.
std::optional<LineSetting> ParseMode(std::string_view mode);

// Applies a line setting to a termios structure: speed, data bits, parity and stop
// bits. False when the parity cannot be expressed here (mark or space without
// CMSPAR); the rest is applied all the same.
bool ApplyLineSetting(termios& t, const LineSetting& s);

// Device path for "COMn": the port map's entry for n when it has one, else the
// entry COMn of $TESMORA_PORT_DIR when that is set, otherwise the fixed table
// (COM1-4 ttyS0-3, COM5-12 ttyUSB0-7, COM13-16 ttyACM0-3). Empty when n has no device.
std::string PortDevicePath(int n);

// Replaces the process-wide map from COM numbers (1-16) to device paths that
// PortDevicePath consults first. The caller fills it from its own settings.
// `refused` holds, by number, why an entry was not taken (it names the entry):
// such a number has no device at all, and its open fails as BadEntry.
void SetPortMap(std::map<int, std::string> map, std::map<int, std::string> refused = {});
// Why the map refused the entry for COMn; "" when it did not.
std::string PortEntryRefusal(int n);

// A port URL given on its own (`--port rfc2217://HOST:PORT`) gets a number
// beyond COM16: the number the map gives that URL when it has one, else
// kDirectPort, which then stands for it. Everything addressed by number then
// works on it as on any COMn.
inline constexpr int kDirectPort = 17;
int NumberForPort(const std::string& where);
// "COMn", or the URL that kDirectPort stands for.
std::string PortName(int n);

// A serial port opened exclusively in raw mode. The line settings found at
// open time are restored on close. Where the driver has it, the low-latency
// mode is on while the port is open and as found after.
class SerialPort final : public Transport
{
public:
    SerialPort() = default;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    ~SerialPort() override;

    bool Open(int n, std::string_view mode);
    bool OpenPath(const std::string& path, std::string_view mode) override;
    bool ChangeMode(std::string_view mode) override;
    void Close() override;
    bool IsOpen() const override { return fd_ >= 0; }
    // Why the last Open or OpenPath failed; None after a success.
    OpenError LastOpenError() const override { return lastError_; }

    using Transport::WriteByte;
    bool WriteBuffer(const uint8_t* data, size_t count) override;
    void Purge() override;
    // A byte at once when one is waiting, otherwise nothing after about 1 ms.
    // A hung-up or failed device also reads as nothing after about 1 ms.
    std::optional<uint8_t> ReadByte() override;
    bool Lost() const override { return lost_; }

private:
    // Opens and locks the device and reads its settings; nothing is changed yet.
    OpenError OpenOnly(const std::string& path);

    int fd_ = -1;
    termios saved_{};
    bool haveSaved_ = false;
    bool setExclusive_ = false;  // this open set TIOCEXCL
    bool setLowLatency_ = false; // this open set ASYNC_LOW_LATENCY
    OpenError lastError_ = OpenError::None;
    bool lost_ = false;
};

} // namespace link
} // namespace tesmora

#include "link/serialport.h"

#include "link/decimal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

inline namespace tesmora {
namespace link {

namespace {

using Clock = std::chrono::steady_clock;

struct BaudEntry
{
    int baud;
    speed_t speed;
};

constexpr BaudEntry kBauds[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

std::optional<speed_t> SpeedFor(int baud)
{
    for (const auto& e : kBauds) {
        if (e.baud == baud)
            return e.speed;
    }
    return std::nullopt;
}

// A whole field of decimal digits, no sign.
std::optional<int> ParseNumber(std::string_view field)
{
    if (field.empty() || field.front() < '0' || field.front() > '9')
        return std::nullopt;
    return ParseDecimal(field);
}

void ApplyRaw(termios& t)
{
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    // An empty read returns at once; ReadByte waits in poll() instead.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

void ClearParity(termios& t)
{
    t.c_cflag &= ~(PARENB | PARODD);
#ifdef CMSPAR
    t.c_cflag &= ~CMSPAR;
#endif
}

bool SetAttributes(int fd, const termios& t)
{
    for (;;) {
        if (tcsetattr(fd, TCSANOW, &t) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

void SleepUntil(Clock::time_point until)
{
    if (Clock::now() < until)
        std::this_thread::sleep_until(until);
}

std::mutex portMapMutex;
std::map<int, std::string> portMap;
std::map<int, std::string> portMapRefusals;
std::string directPort; // what kDirectPort stands for

struct ErrnoReason
{
    int error;
    OpenError reason;
};

// Why open() or stat() refused a path. No device behind a node (a ttyS
// without a UART answers EIO) is as good as missing.
constexpr ErrnoReason kErrnoReasons[] = {
    {ENOENT, OpenError::Missing},
    {ENOTDIR, OpenError::Missing},
    {ENXIO, OpenError::Missing},
    {ENODEV, OpenError::Missing},
    {EIO, OpenError::Missing},
    {EACCES, OpenError::PermissionDenied},
    {EPERM, OpenError::PermissionDenied},
    {EBUSY, OpenError::Busy},
    {EWOULDBLOCK, OpenError::Busy},
    {EISDIR, OpenError::NotATerminal},
    {ENOTTY, OpenError::NotATerminal},
};

OpenError ReasonFor(int error)
{
    for (const auto& e : kErrnoReasons)
        if (e.error == error)
            return e.reason;
    return OpenError::Other;
}

// The low-latency flag of a USB serial driver: the driver pushes received
// bytes at once instead of after its latency timer (16 ms on FTDI chips).
// True when this call changed it; false where it was so already, where the
// driver has no such ioctl (a pty) or where it refuses the change.
bool ChangeLowLatency(int fd, bool on)
{
    serial_struct ss{};
    if (::ioctl(fd, TIOCGSERIAL, &ss) != 0)
        return false;
    if (((ss.flags & ASYNC_LOW_LATENCY) != 0) == on)
        return false;
    ss.flags = on ? ss.flags | ASYNC_LOW_LATENCY : ss.flags & ~ASYNC_LOW_LATENCY;
    return ::ioctl(fd, TIOCSSERIAL, &ss) == 0;
}

} // namespace

void SetPortMap(std::map<int, std::string> map, std::map<int, std::string> refused)
{
    std::lock_guard lock(portMapMutex);
    portMap = std::move(map);
    portMapRefusals = std::move(refused);
}

std::string PortEntryRefusal(int n)
{
    std::lock_guard lock(portMapMutex);
    const auto it = portMapRefusals.find(n);
    return it != portMapRefusals.end() ? it->second : std::string();
}

int NumberForPort(const std::string& where)
{
    std::lock_guard lock(portMapMutex);
    for (const auto& [n, path] : portMap)
        if (path == where && portMapRefusals.count(n) == 0)
            return n;
    directPort = where;
    return kDirectPort;
}

std::string PortName(int n)
{
    if (n == kDirectPort) {
        std::lock_guard lock(portMapMutex);
        if (!directPort.empty())
            return directPort;
    }
    return "COM" + std::to_string(n);
}

bool ApplyLineSetting(termios& t, const LineSetting& s)
{
    bool complete = true;
    if (const auto speed = SpeedFor(s.baud)) {
        cfsetispeed(&t, *speed);
        cfsetospeed(&t, *speed);
    }
    t.c_cflag &= ~CSIZE;
    switch (s.dataBits) {
    case 5:
        t.c_cflag |= CS5;
        break;
    case 6:
        t.c_cflag |= CS6;
        break;
    case 7:
        t.c_cflag |= CS7;
        break;
    default:
        t.c_cflag |= CS8;
        break;
    }
    if (s.stopBits == 2)
        t.c_cflag |= CSTOPB;
    else
        t.c_cflag &= ~CSTOPB;

    ClearParity(t);
    switch (s.parity) {
    case 'e':
        t.c_cflag |= PARENB;
        break;
    case 'o':
        t.c_cflag |= PARENB | PARODD;
        break;
    case 'm':
    case 's':
#ifdef CMSPAR
        t.c_cflag |= PARENB | CMSPAR | (s.parity == 'm' ? PARODD : 0);
#else
        complete = false;
#endif
        break;
    default:
        break;
    }
    return complete;
}

std::optional<LineSetting> ParseMode(std::string_view mode)
{
    std::string_view fields[4];
    size_t count = 0;
    size_t pos = 0;
    for (;;) {
        const size_t comma = mode.find(',', pos);
        if (count == 4)
            return std::nullopt;
        fields[count++] = mode.substr(pos, comma == std::string_view::npos ? std::string_view::npos
                                                                           : comma - pos);
        if (comma == std::string_view::npos)
            break;
        pos = comma + 1;
    }
    if (count != 4)
        return std::nullopt;

    LineSetting s;
    const auto baud = ParseNumber(fields[0]);
    if (!baud || !SpeedFor(*baud))
        return std::nullopt;
    s.baud = *baud;

    if (fields[1].size() != 1)
        return std::nullopt;
    char p = fields[1][0];
    if (p >= 'A' && p <= 'Z')
        p = static_cast<char>(p - 'A' + 'a');
    if (p != 'n' && p != 'e' && p != 'o' && p != 'm' && p != 's')
        return std::nullopt;
    s.parity = p;

    const auto data = ParseNumber(fields[2]);
    if (!data || *data < 5 || *data > 8)
        return std::nullopt;
    s.dataBits = *data;

    const auto stop = ParseNumber(fields[3]);
    if (!stop || (*stop != 1 && *stop != 2))
        return std::nullopt;
    s.stopBits = *stop;
    return s;
}

std::string PortDevicePath(int n)
{
    if (n == kDirectPort) {
        std::lock_guard lock(portMapMutex);
        return directPort;
    }
    if (n < 1 || n > 16)
        return {};
    {
        std::lock_guard lock(portMapMutex);
        // A refused entry still claims its number: its path is never opened,
        // and no other device stands in for it.
        if (portMapRefusals.count(n) != 0)
            return {};
        if (const auto it = portMap.find(n); it != portMap.end() && !it->second.empty())
            return it->second;
    }
    const std::string name = "COM" + std::to_string(n);
    // An empty value counts as unset: it cannot name a directory.
    if (const char* dir = std::getenv("TESMORA_PORT_DIR"); dir != nullptr && *dir != '\0') {
        std::string path = dir;
        if (path.back() != '/')
            path += '/';
        return path + name;
    }
    if (n <= 4)
        return "/dev/ttyS" + std::to_string(n - 1);
    if (n <= 12)
        return "/dev/ttyUSB" + std::to_string(n - 5);
    return "/dev/ttyACM" + std::to_string(n - 13);
}

SerialPort::~SerialPort()
{
    Close();
}

bool SerialPort::Open(int n, std::string_view mode)
{
    const std::string path = PortDevicePath(n);
    if (path.empty()) {
        lastError_ = PortEntryRefusal(n).empty() ? OpenError::Missing : OpenError::BadEntry;
        return false;
    }
    return OpenPath(path, mode);
}

bool SerialPort::OpenPath(const std::string& path, std::string_view mode)
{
    if (IsOpen())
        Close();
    lastError_ = OpenOnly(path);
    if (lastError_ != OpenError::None)
        return false;

    ChangeMode(mode);
    setLowLatency_ = ChangeLowLatency(fd_, true);
    return true;
}

bool SerialPort::ChangeMode(std::string_view mode)
{
    if (fd_ < 0 || !haveSaved_)
        return false;
    termios wanted = saved_;
    ApplyRaw(wanted);
    const termios rawOnly = wanted;
    const auto setting = ParseMode(mode);
    if (setting)
        ApplyLineSetting(wanted, *setting);

    // A refused setting does not fail the open: a pty, for one, cannot carry
    // parity. Fall back step by step and go on with what the device takes.
    if (SetAttributes(fd_, wanted))
        return setting.has_value();
    termios noParity = wanted;
    ClearParity(noParity);
    if (SetAttributes(fd_, noParity))
        return setting.has_value();
    SetAttributes(fd_, rawOnly);
    return false;
}

OpenError SerialPort::OpenOnly(const std::string& path)
{
    // Only a character device is opened at all: a regular file, a folder or a
    // fifo named as a port must never be touched.
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0)
        return ReasonFor(errno);
    if (!S_ISCHR(st.st_mode))
        return OpenError::NotATerminal;

    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return ReasonFor(errno);
    // The path may have been replaced since the stat.
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        ::close(fd);
        return OpenError::NotATerminal;
    }
    // flock holds against every other opener, root included, and through any
    // link to the same device; TIOCEXCL adds the kernel's own refusal for
    // ordinary accounts.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const OpenError reason = errno == EWOULDBLOCK ? OpenError::Busy : OpenError::Other;
        ::close(fd);
        return reason;
    }
    termios saved{};
    // Not a terminal device at all (/dev/null), or another program holds it
    // exclusively: root could open it past TIOCEXCL, and must not.
    int exclusive = 0;
    OpenError reason = OpenError::None;
    if (tcgetattr(fd, &saved) != 0)
        reason = OpenError::NotATerminal;
    else if (::ioctl(fd, TIOCGEXCL, &exclusive) != 0)
        reason = OpenError::Other;
    else if (exclusive != 0)
        reason = OpenError::Busy;
    if (reason != OpenError::None) {
        ::flock(fd, LOCK_UN);
        ::close(fd);
        return reason;
    }
    setExclusive_ = ::ioctl(fd, TIOCEXCL) == 0;
    lost_ = false;
    fd_ = fd;
    saved_ = saved;
    haveSaved_ = true;
    return OpenError::None;
}

void SerialPort::Close()
{
    if (fd_ < 0)
        return;
    // Errors are ignored throughout: a device that has gone away answers EIO,
    // and the descriptor must be released all the same.
    Purge();
    if (haveSaved_)
        SetAttributes(fd_, saved_);
    if (setLowLatency_)
        ChangeLowLatency(fd_, false);
    setLowLatency_ = false;
    // Only the flag this open set: another program's must stay.
    if (setExclusive_)
        ::ioctl(fd_, TIOCNXCL);
    setExclusive_ = false;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
    haveSaved_ = false;
}

bool SerialPort::WriteBuffer(const uint8_t* data, size_t count)
{
    if (fd_ < 0 || (data == nullptr && count > 0))
        return false;
    const bool written =
        WriteAll(fd_, data, count, [this](const uint8_t* p, size_t n, short& events) -> ssize_t {
            const ssize_t w = ::write(fd_, p, n);
            if (w >= 0 || errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                events = POLLOUT;
                return std::max<ssize_t>(w, 0);
            }
            return -1;
        });
    if (!written)
        return false;
    // Wait until the bytes have left: the answer's deadline starts after them.
    for (;;) {
        if (tcdrain(fd_) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

void SerialPort::Purge()
{
    if (fd_ < 0)
        return;
    // Writes are drained, so the output queue is normally empty already. On a
    // pty an output flush reaches into the peer's not yet delivered input and
    // drops a command sent (measured: about 1 in 20 after tcdrain), so the
    // output side is flushed only when the driver still holds bytes.
    int queued = 0;
    const bool known = ::ioctl(fd_, TIOCOUTQ, &queued) == 0;
    tcflush(fd_, !known || queued > 0 ? TCIOFLUSH : TCIFLUSH);
}

std::optional<uint8_t> SerialPort::ReadByte()
{
    const auto until = Clock::now() + kReadWait;
    if (fd_ < 0) {
        SleepUntil(until);
        return std::nullopt;
    }
    // With VMIN = VTIME = 0 an empty read returns 0 at once; poll() then waits for
    // the next byte, so that one arriving within the millisecond is read at once.
    for (;;) {
        uint8_t b = 0;
        const ssize_t r = ::read(fd_, &b, 1);
        if (r == 1)
            return b;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            break;
        const auto now = Clock::now();
        if (now >= until)
            return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now);
        const timespec wait{0, static_cast<long>(left.count())};
        pollfd p{fd_, POLLIN, 0};
        const int n = ::ppoll(&p, 1, &wait, nullptr);
        if (n < 0 && errno != EINTR)
            break;
        // Hung up or failed: the read above found nothing, so nothing is lost.
        if (n > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            break;
    }
    // A hang-up or an error reads as empty and still takes the whole wait, so
    // that a dead line cannot make the caller's loop spin.
    lost_ = true;
    SleepUntil(until);
    return std::nullopt;
}

} // namespace link
} // namespace tesmora

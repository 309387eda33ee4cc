#pragma once
// The tool's side of an emulated reader's pty, with plain POSIX calls: frames are built here
// and answers read byte for byte, so that the emulator's own frame code is checked, not
// restated.

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The emulated reader's think time in these tests: longer than this side may
// stall between its drain and its purge on a busy machine, which would purge
// an answer that came sooner.
constexpr int kTurnaroundMs = 15;

// A frame: the start byte, the bytes, their checksum over both, 0x0D.
inline std::string Framed(char start, const std::string& bytes)
{
    unsigned x = static_cast<unsigned char>(start);
    for (unsigned char c : bytes)
        x ^= c;
    static const char d[] = "0123456789ABCDEF";
    return start + bytes + d[x >> 4] + d[x & 15] + "\r";
}

// The command frame of a payload, and the answer frame around an answer's bytes.
inline std::string Cmd(const std::string& payload)
{
    return Framed('\t', payload);
}

inline std::string AnswerFrame(const std::string& body)
{
    return Framed('\n', body);
}

inline std::string S(const QByteArray& b)
{
    return b.toStdString();
}

inline QByteArray B(const std::string& s)
{
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}

inline double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// The tool's side: open, raw, speed, then frames written in the tool's five writes,
// drained and purged before the answer is read.
class ToolPort
{
public:
    explicit ToolPort(const std::string& path, speed_t speed = B19200, tcflag_t extra = 0)
    {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return;
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD | extra;
        ::cfsetspeed(&t, speed);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    ~ToolPort()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool ok() const { return fd >= 0; }

    void Send(const std::string& payload, bool purge = true) { SendRaw(Cmd(payload), purge); }
    void SendRaw(const std::string& frame, bool purge = true)
    {
        sent = Clock::now();
        // 0x09, payload, the two checksum digits, 0x0D: the tool writes them separately.
        const size_t n = frame.size();
        if (n >= 4 && frame[0] == '\t') {
            Write(frame.substr(0, 1));
            Write(frame.substr(1, n - 4));
            Write(frame.substr(n - 3, 1));
            Write(frame.substr(n - 2, 1));
            Write(frame.substr(n - 1, 1));
        } else {
            Write(frame);
        }
        ::tcdrain(fd);
        // Input only: on a pty, flushing the output discards a command that the drain let
        // go but the far side has not read yet (most of the time, measured on Linux 6.18).
        if (purge)
            ::tcflush(fd, TCIFLUSH);
    }
    // Everything that arrives within timeoutMs; stops soon after a 0x0D (a little longer, so
    // that a byte too many would show).
    std::string Collect(int timeoutMs, bool stopAtEnd = true)
    {
        std::string got;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        bool ended = false;
        while (Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            const int left = static_cast<int>(Ms(deadline - Clock::now())) + 1;
            if (::poll(&p, 1, left) <= 0)
                continue;
            if (p.revents & (POLLHUP | POLLERR)) {
                hungUp = true;
                break;
            }
            char buf[64];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) {
                hungUp = n == 0 || errno == EIO;
                break;
            }
            if (got.empty())
                first = Clock::now();
            last = Clock::now();
            got.append(buf, static_cast<size_t>(n));
            if (stopAtEnd && !ended && got.find('\r') != std::string::npos) {
                ended = true;
                deadline = std::min(deadline, Clock::now() + 40ms);
            }
        }
        return got;
    }
    std::string Exchange(const std::string& payload, int timeoutMs = 150)
    {
        Send(payload);
        return Collect(timeoutMs);
    }

    int fd = -1;
    bool hungUp = false;
    Clock::time_point sent, first, last;

private:
    void Write(const std::string& s)
    {
        size_t done = 0;
        while (done < s.size()) {
            const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (errno != EAGAIN && errno != EINTR)
                return;
        }
    }
};

// Sends each "payload expected-fields" step (separated by "; ") as reader A01; a lone status
// for "h" or "i" stands for that status and 32 zeros, "-" for no answer. Answers the first
// mismatch, or nothing.
inline std::string RunSteps(const std::string& link, const QString& steps)
{
    ToolPort tool(link);
    if (!tool.ok())
        return "cannot open " + link;
    for (const QString& step : steps.split("; ", Qt::SkipEmptyParts)) {
        const std::string payload = step.section(' ', 0, 0).toStdString();
        std::string fields = step.section(' ', 1).toStdString();
        const bool block = payload[0] == 'h' || payload[0] == 'i';
        if (block && fields.size() == 2)
            fields += std::string(32, '0');
        const bool silent = fields == "-";
        const std::string got = tool.Exchange("A01" + payload, silent ? 60 : 300);
        if (silent ? !got.empty()
                   : got.size() != (block ? 42u : 10u) ||
                         got != AnswerFrame("A01" + payload.substr(0, 1) + fields))
            return payload + " answered " + B(got).toPercentEncoding().toStdString();
    }
    return {};
}

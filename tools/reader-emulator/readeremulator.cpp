#include "readeremulator.h"

#include "handlers.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace emu {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kCommandStart = 0x09;
constexpr char kAnswerStart = 0x0A;
constexpr char kFrameEnd = 0x0D;
constexpr size_t kMaxPayload = 255;
constexpr auto kLateStart = 350ms;
// A hang-up flushes what the tool has not read yet, so the partial frame is given time to
// arrive first: at least kHangUpMin, then until the tool's side is empty, kHangUpMax at most.
constexpr auto kHangUpMin = 10ms;
constexpr auto kHangUpMax = 100ms;

std::string Hex2(unsigned char v)
{
    static const char digits[] = "0123456789ABCDEF";
    return {digits[v >> 4], digits[v & 0x0F]};
}

unsigned char Xor(unsigned char start, const std::string& bytes)
{
    unsigned char x = start;
    for (char c : bytes)
        x ^= static_cast<unsigned char>(c);
    return x;
}

std::string Errno(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

int BitsPerByte(const termios& t)
{
    int data = 8;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        data = 5;
        break;
    case CS6:
        data = 6;
        break;
    case CS7:
        data = 7;
        break;
    default:
        break;
    }
    return 1 + data + ((t.c_cflag & PARENB) ? 1 : 0) + ((t.c_cflag & CSTOPB) ? 2 : 1);
}

std::map<char, Handler> BuiltInHandlers()
{
    std::map<char, Handler> h;
    AddSettingHandlers(h);
    AddCardHandlers(h);
    AddMifareHandlers(h);
    return h;
}

ReaderModel DeadModel()
{
    ReaderModel m;
    m.dead = true;
    return m;
}

} // namespace

int SpeedToBaud(unsigned speed)
{
    struct Pair
    {
        speed_t code;
        int baud;
    };
    static const Pair table[] = {
        {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
        {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
        {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
        {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
        {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
        {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
        {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
        {B3500000, 3500000}, {B4000000, 4000000},
    };
    for (const Pair& p : table)
        if (p.code == speed)
            return p.baud;
    return 0;
}

ReaderEmulator::ReaderEmulator(ReaderModel m, Options o)
    : model_(std::move(m)), options_(o), handlers_(BuiltInHandlers())
{
}

ReaderEmulator::~ReaderEmulator()
{
    Stop();
}

bool ReaderEmulator::Start(const std::string& portDir, int comNumber)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (thread_.joinable() || master_ >= 0) {
        error_ = "already started";
        return false;
    }
    hungUp_ = hangUpPending_ = false;
    out_.clear();
    inFrame_ = false;
    struct stat st
    {
    };
    if (comNumber < 1 || ::stat(portDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error_ = "no port directory " + portDir + " or bad COM number";
        return false;
    }
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
        error_ = Errno("openpty");
        master_ = slave_ = -1;
        return false;
    }
    char name[128] = {};
    termios t{};
    bool ok = ::ptsname_r(master_, name, sizeof name) == 0;
    ok = ok && ::fcntl(master_, F_SETFD, FD_CLOEXEC) == 0 &&
         ::fcntl(slave_, F_SETFD, FD_CLOEXEC) == 0 &&
         ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK) == 0;
    // Raw from the start: a cooked slave would echo the answers back into the emulator.
    ok = ok && ::tcgetattr(slave_, &t) == 0;
    if (ok) {
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        ok = ::tcsetattr(slave_, TCSANOW, &t) == 0;
    }
    if (ok) {
        wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ok = wake_ >= 0;
    }
    if (!ok) {
        error_ = Errno("pty set-up");
        CloseAllLocked();
        return false;
    }
    if (!traceFile_.empty()) {
        traceFd_ = ::open(traceFile_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (traceFd_ < 0) {
            error_ = Errno("trace file " + traceFile_);
            CloseAllLocked();
            return false;
        }
    }
    slavePath_ = name;
    // Link under a temporary name, then rename over COMn, so the entry is never missing or
    // half made for a tool that looks at the same moment.
    const std::string link = portDir + "/COM" + std::to_string(comNumber);
    const std::string tmp = portDir + "/.COM" + std::to_string(comNumber) + ".tmp" +
                            std::to_string(::getpid()) + "-" +
                            std::to_string(reinterpret_cast<uintptr_t>(this));
    ::unlink(tmp.c_str());
    if (::symlink(slavePath_.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), link.c_str())) {
        error_ = Errno("link " + link);
        ::unlink(tmp.c_str());
        CloseAllLocked();
        return false;
    }
    link_ = link;
    linked_ = true;
    error_.clear();
    thread_ = std::thread(&ReaderEmulator::Run, this);
    return true;
}

void ReaderEmulator::Stop()
{
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (wake_ >= 0) {
                const uint64_t one = 1;
                [[maybe_unused]] auto r = ::write(wake_, &one, sizeof one);
            }
        }
        thread_.join();
    }
    std::lock_guard<std::mutex> lock(mu_);
    CloseAllLocked();
}

void ReaderEmulator::CloseAllLocked()
{
    CloseFd(master_);
    CloseFd(slave_);
    CloseFd(wake_);
    CloseFd(traceFd_);
    out_.clear();
    hangUpPending_ = false;
    UnlinkLocked();
}

void ReaderEmulator::UnlinkLocked()
{
    if (!linked_)
        return;
    // Only our own link: another emulator may have taken the name since.
    char target[PATH_MAX] = {};
    const ssize_t n = ::readlink(link_.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == slavePath_)
        ::unlink(link_.c_str());
    linked_ = false;
}

bool ReaderEmulator::Running() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return master_ >= 0;
}

bool ReaderEmulator::HungUp() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return hungUp_;
}

std::string ReaderEmulator::LinkPath() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return link_;
}

std::string ReaderEmulator::SlavePath() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return slavePath_;
}

std::string ReaderEmulator::LastError() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return error_;
}

void ReaderEmulator::SetTraceFile(const std::string& path)
{
    std::lock_guard<std::mutex> lock(mu_);
    traceFile_ = path;
}

void ReaderEmulator::SetModel(const ReaderModel& m)
{
    std::lock_guard<std::mutex> lock(mu_);
    model_ = m;
}

ReaderModel ReaderEmulator::Model() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return model_;
}

void ReaderEmulator::SetHandler(char letter, Handler h)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (h)
        handlers_[letter] = std::move(h);
    else
        handlers_.erase(letter);
}

void ReaderEmulator::ArmFault(Fault f, int count)
{
    ArmFaultFor(0, f, count);
}

void ReaderEmulator::ArmFaultFor(char letter, Fault f, int count)
{
    if (count <= 0 || f == Fault::None)
        return;
    std::lock_guard<std::mutex> lock(mu_);
    faults_.push_back({f, count, letter});
}

void ReaderEmulator::ClearFaults()
{
    std::lock_guard<std::mutex> lock(mu_);
    faults_.clear();
}

Fault ReaderEmulator::TakeFaultLocked(char letter)
{
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->letter != 0 && it->letter != letter)
            continue;
        const Fault f = it->fault;
        if (--it->count == 0)
            faults_.erase(it);
        return f;
    }
    return Fault::None;
}

void ReaderEmulator::SetNextRawAnswer(const std::string& bytes)
{
    std::lock_guard<std::mutex> lock(mu_);
    rawNext_ = bytes;
}

bool ReaderEmulator::InjectNow(const std::string& bytes)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (master_ < 0 || hangUpPending_)
        return false;
    const auto now = Clock::now();
    size_t done = 0;
    const auto deadline = now + 1s;
    while (done < bytes.size() && Clock::now() < deadline) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
    trace_.push_back({TraceEntry::Sent, bytes.substr(0, done), now, true, true, Clock::now()});
    return done == bytes.size();
}

bool ReaderEmulator::WaitPendingToTool(int bytes, int timeoutMs) const
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int pending = -1;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (slave_ < 0 || ::ioctl(slave_, FIONREAD, &pending) != 0)
                return false;
        }
        if (pending >= bytes)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
}

std::optional<ReaderEmulator::Answer> ReaderEmulator::AnswerLocked(ReaderModel& m,
                                                                   const std::string& payload) const
{
    if (m.dead || payload.size() < 4)
        return std::nullopt;
    Command c{payload[0], payload.substr(1, 2), payload[3], payload.substr(4)};
    const bool prefixOk = m.anyPrefix ? std::string("AHJI").find(c.prefix) != std::string::npos
                                      : c.prefix == m.prefix;
    const bool identify = c.letter == 'B' && c.params.empty();
    const bool idOk =
        c.id == m.id || (identify && c.id == "00") || (!m.formerId.empty() && c.id == m.formerId);
    if (!prefixOk || !idOk)
        return std::nullopt;
    if (m.silentCommands.count(std::string(1, c.letter)) ||
        m.silentCommands.count(payload.substr(3)))
        return std::nullopt;
    if (m.errorCommands.count(payload.substr(3)))
        return Answer{std::string(1, c.prefix) + m.id + c.letter + "01", true, c.letter};
    if (m.ignoredCommands.count(payload.substr(3)))
        return Answer{std::string(1, c.prefix) + m.id + c.letter + "00", true, c.letter};
    const auto h = handlers_.find(c.letter);
    if (h == handlers_.end()) {
        if (!m.answerUnknown)
            return std::nullopt; // unknown to this reader: silence, as from the real thing
        return Answer{std::string(1, c.prefix) + m.id + c.letter + "01", true, c.letter};
    }
    const std::optional<Reply> r = h->second(m, c);
    if (!r)
        return std::nullopt;
    // The reader answers with its own ID, also when addressed at "00".
    return Answer{std::string(1, c.prefix) + m.id + c.letter + r->fields, r->status, c.letter,
                  r->fault};
}

std::string ReaderEmulator::BuildAnswerFor(const std::string& payload) const
{
    std::lock_guard<std::mutex> lock(mu_);
    ReaderModel copy = model_;
    const std::optional<Answer> a = AnswerLocked(copy, payload);
    if (!a)
        return {};
    return kAnswerStart + a->body + Hex2(Xor(kAnswerStart, a->body)) + kFrameEnd;
}

std::vector<TraceEntry> ReaderEmulator::Trace() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return trace_;
}

void ReaderEmulator::ClearTrace()
{
    std::lock_guard<std::mutex> lock(mu_);
    trace_.clear();
}

std::vector<std::string> ReaderEmulator::ReceivedPayloads() const
{
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    for (const TraceEntry& e : trace_)
        if (e.kind == TraceEntry::Received && e.checksumOk)
            out.push_back(e.bytes);
    return out;
}

void ReaderEmulator::Run()
{
    char buf[512];
    for (;;) {
        int master = -1;
        int wake = -1;
        timespec timeout{0, 50'000'000};
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (hungUp_ || master_ < 0)
                return;
            master = master_;
            wake = wake_;
            const auto now = Clock::now();
            const auto due = NextDueLocked();
            if (due != Clock::time_point::max()) {
                const auto wait = std::max(due - now, Clock::duration::zero());
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
                timeout = {static_cast<time_t>(ns / 1'000'000'000),
                           static_cast<long>(ns % 1'000'000'000)};
            }
        }
        pollfd fds[2] = {{master, POLLIN, 0}, {wake, POLLIN, 0}};
        const int r = ::ppoll(fds, 2, &timeout, nullptr);
        if (r < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;
        std::lock_guard<std::mutex> lock(mu_);
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0)
                OnBytesLocked(buf, static_cast<size_t>(n), Clock::now());
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // Cannot happen while we hold the slave; do not spin if it does.
            mu_.unlock();
            std::this_thread::sleep_for(10ms);
            mu_.lock();
        }
        WritePendingLocked(Clock::now());
    }
}

void ReaderEmulator::OnBytesLocked(const char* data, size_t n, Clock::time_point now)
{
    for (size_t i = 0; i < n; ++i) {
        const char c = data[i];
        if (c == kCommandStart) {
            // A new start byte abandons any unfinished frame, like a reader resyncing.
            inFrame_ = true;
            rx_.clear();
            rxFirst_ = now;
        } else if (!inFrame_) {
            continue; // noise between frames
        } else if (c == kFrameEnd) {
            inFrame_ = false;
            OnFrameLocked(now);
        } else {
            rx_.push_back(c);
            if (rx_.size() > kMaxPayload + 2)
                inFrame_ = false;
        }
    }
}

void ReaderEmulator::OnFrameLocked(Clock::time_point now)
{
    if (rx_.size() < 2)
        return;
    const std::string payload = rx_.substr(0, rx_.size() - 2);
    const bool checksumOk = rx_.substr(rx_.size() - 2) == Hex2(Xor(kCommandStart, payload));
    termios t{};
    const bool haveLine = ::tcgetattr(slave_, &t) == 0;
    const int baud = haveLine ? SpeedToBaud(::cfgetospeed(&t)) : 0;
    const bool baudMatched = baud != 0 && baud == model_.baud;
    trace_.push_back({TraceEntry::Received, payload, now, baudMatched, checksumOk, now});
    if (checksumOk && traceFd_ >= 0) {
        // One write per line: with O_APPEND a reader of the file never sees half a line.
        const std::string line = payload + "\n";
        [[maybe_unused]] auto n = ::write(traceFd_, line.data(), line.size());
    }
    if (checksumOk && baudMatched)
        CountCommandLocked(payload, now);
    if (!checksumOk || !baudMatched || hangUpPending_)
        return;
    std::optional<Answer> a;
    if (rawNext_) {
        a = Answer{};
    } else {
        a = AnswerLocked(model_, payload);
        if (!a)
            return;
    }

    Fault fault = rawNext_ ? Fault::None : TakeFaultLocked(a->letter);
    if (fault == Fault::None)
        fault = a->fault;
    if (fault == Fault::NoAnswer || fault == Fault::EarlyAnswer)
        return;
    std::string body = a->body;
    if (fault == Fault::ShortByOne && !body.empty())
        body.pop_back();
    if (fault == Fault::LongByOne)
        body.push_back('0');
    if (fault == Fault::BadStatus && a->status && body.size() >= 6)
        body.replace(4, 2, "01");
    // A block answer: status at 4-5, the block's 32 digits from 6.
    if (fault == Fault::OtherData && a->status && body.size() >= 38)
        body[37] = body[37] == '0' ? '1' : '0';
    unsigned char sum = Xor(kAnswerStart, body);
    if (fault == Fault::BadChecksum)
        sum ^= 0x01;
    std::string check = Hex2(sum);
    if (fault == Fault::LowerCaseChecksum)
        for (char& ch : check)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    std::string frame = kAnswerStart + body + check + kFrameEnd;
    if (rawNext_) {
        frame = *rawNext_;
        rawNext_.reset();
    }
    if (fault == Fault::StrayByte)
        frame.insert(frame.begin(), '\0');
    if (fault == Fault::PartialThenSilence || fault == Fault::HangUp)
        frame.resize(frame.size() / 2);

    Outgoing o;
    o.bytes = frame;
    o.hangUpAfter = fault == Fault::HangUp;
    o.unlinkAfter = fault == Fault::LinkRemoved;
    const auto turnaround = std::chrono::milliseconds(std::max(0, options_.turnaroundMs));
    if (options_.fast) {
        o.start = now + turnaround;
    } else {
        o.byteTime = std::chrono::nanoseconds(1'000'000'000LL * BitsPerByte(t) / baud);
        const auto wireEnd = rxFirst_ + o.byteTime * static_cast<int64_t>(payload.size() + 4);
        o.start = std::max(wireEnd, now) + turnaround;
    }
    if (fault == Fault::Late)
        o.start = std::max(o.start, now + kLateStart);
    if (!out_.empty()) {
        // One line: an answer waits for the one before it.
        const Outgoing& b = out_.back();
        o.start = std::max(o.start, b.start + b.byteTime * static_cast<int64_t>(b.bytes.size()));
    }
    out_.push_back(std::move(o));
}

void ReaderEmulator::CountCommandLocked(const std::string& payload, Clock::time_point now)
{
    AdvanceQueue(model_, payload, now);
    int& left = model_.mifare.removeCardAfter;
    if (left == 0)
        model_.mifare.card.reset();
    if (left >= 0)
        --left;
}

Clock::time_point ReaderEmulator::NextDueLocked() const
{
    if (hangUpPending_)
        return Clock::now() + 1ms;
    if (out_.empty())
        return Clock::time_point::max();
    const Outgoing& o = out_.front();
    if (o.byteTime == Clock::duration::zero())
        return o.start;
    // A byte is on the far side once all of its bits are, and no sooner than a byte time
    // after the one before it, also when this thread woke late.
    return std::max(o.start + o.byteTime * static_cast<int64_t>(o.written + 1),
                    lastLineWrite_ + o.byteTime);
}

void ReaderEmulator::WritePendingLocked(Clock::time_point now)
{
    if (hangUpPending_) {
        int pending = 0;
        const bool read = ::ioctl(slave_, FIONREAD, &pending) == 0 && pending == 0;
        if ((now >= hangUpWritten_ + kHangUpMin && read) || now >= hangUpWritten_ + kHangUpMax)
            HangUpLocked();
        return;
    }
    while (!out_.empty() && master_ >= 0) {
        Outgoing& o = out_.front();
        if (now < NextDueLocked())
            return;
        const bool paced = o.byteTime != Clock::duration::zero();
        const size_t count = paced ? 1 : o.bytes.size() - o.written;
        // The link goes before the answer's last byte: a tool that has the whole
        // answer must find the port gone, however late this thread runs on.
        if (o.unlinkAfter && o.written + count == o.bytes.size())
            UnlinkLocked();
        const ssize_t n = ::write(master_, o.bytes.data() + o.written, count);
        if (n <= 0)
            return; // full or interrupted: try again on the next round
        if (o.written == 0)
            o.firstWrite = now;
        lastLineWrite_ = now;
        o.written += static_cast<size_t>(n);
        if (o.written < o.bytes.size()) {
            if (paced)
                return;
            continue;
        }
        trace_.push_back({TraceEntry::Sent, o.bytes, o.firstWrite, true, true, now});
        if (o.hangUpAfter) {
            hangUpPending_ = true;
            hangUpWritten_ = now;
            out_.clear();
            return;
        }
        out_.pop_front();
    }
}

void ReaderEmulator::HangUpLocked()
{
    // Closing the master hangs up the slave: the tool's reads fail from here on.
    CloseFd(master_);
    CloseFd(slave_);
    hangUpPending_ = false;
    hungUp_ = true;
    if (linked_) {
        // The device is gone, like an unplugged adapter; a stale link could later point at
        // a reused pty number.
        ::unlink(link_.c_str());
        linked_ = false;
    }
}

DeadPort::DeadPort() : ReaderEmulator(DeadModel()) {}

HeldPort::HeldPort(const std::string& path)
{
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
        return;
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd_, TIOCEXCL) != 0)
        CloseFd(fd_);
}

HeldPort::~HeldPort()
{
    if (fd_ < 0)
        return;
    // The emulator keeps the tty alive, so the exclusive flag would outlive this holder.
    ::ioctl(fd_, TIOCNXCL);
    ::flock(fd_, LOCK_UN);
    CloseFd(fd_);
}

} // namespace emu

#include "link/portwatch.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <QDateTime>

#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/interrupt.h"
#include "link/serialport.h"

inline namespace tesmora {
namespace link {

namespace {

// How long a USB device waits for udev to make its by-id link before it is
// reported without one.
constexpr auto kByIdSettle = std::chrono::milliseconds(400);
// Reads of the descriptor in one Process: a flood of events in a watched
// folder cannot hold the caller; the rest is read at its next turn.
constexpr int kReadsPerTurn = 16;
constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                           IN_MOVE_SELF | IN_ONLYDIR;

// "COMn" with n a number: the port folder's entries.
bool ComEntry(const std::string& name)
{
    return name.size() > 3 && name.size() <= 6 && name.compare(0, 3, "COM") == 0 &&
           std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

PortWatcher::PortWatcher()
{
    const std::string dir = PortFolder();
    portFolder_ = !dir.empty();
    devices_ = portFolder_ ? dir : "/dev";
    byId_ = ByIdFolder();
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0)
        error_ = errno;
    else
        Arm();
    Rescan(false);
    started_ = true;
}

PortWatcher::~PortWatcher()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void PortWatcher::AddObserver(PortObserver* observer)
{
    observers_.push_back(observer);
}

void PortWatcher::RemoveObserver(PortObserver* observer)
{
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void PortWatcher::Arm()
{
    rearm_ = false;
    for (const std::string& want : {devices_, byId_}) {
        const bool watched = std::any_of(watches_.begin(), watches_.end(),
                                         [&](const auto& w) { return w.second == want; });
        if (watched)
            continue;
        // A folder that is not there yet (/dev/serial/by-id before the first
        // adapter) is waited for in the closest folder above it that is.
        for (std::string folder = want; !folder.empty();) {
            const int wd = ::inotify_add_watch(fd_, folder.c_str(), kMask);
            if (wd >= 0) {
                const auto same = std::find_if(watches_.begin(), watches_.end(),
                                               [&](const auto& w) { return w.first == wd; });
                if (same == watches_.end())
                    watches_.emplace_back(wd, folder);
                else if (folder == want)
                    same->second = want; // a device folder is also above the by-id one
                break;
            }
            if (errno != ENOENT && errno != ENOTDIR)
                break;
            const size_t slash = folder.rfind('/');
            if (slash == std::string::npos)
                break;
            folder = slash == 0 ? (folder == "/" ? "" : "/") : folder.substr(0, slash);
        }
        const bool now = std::any_of(watches_.begin(), watches_.end(),
                                     [&](const auto& w) { return w.second == want; });
        // A device folder watched only now (made after the start) may hold
        // devices already.
        if (want == devices_ && now && started_)
            Rescan(true);
        // A by-id folder watched only now may hold links made meanwhile.
        if (want == byId_ && now) {
            for (Entry& e : present_) {
                if (!e.info.byId.empty())
                    continue;
                e.info.byId = ByIdOf(e.info.rdev);
                if (e.due && !e.info.byId.empty()) {
                    e.due.reset();
                    Report(true, e.info);
                }
            }
        }
    }
}

bool PortWatcher::Wanted(const std::string& name) const
{
    if (portFolder_)
        return ComEntry(name);
    // /dev: the serial devices (ttyS, ttyUSB, ttyACM, ttyAMA, ...), not the
    // consoles, and whatever the port map names there.
    if (name.size() > 3 && name.compare(0, 3, "tty") == 0 && name[3] >= 'A' && name[3] <= 'Z')
        return true;
    const std::string path = devices_ + "/" + name;
    for (int n = 1; n <= 16; ++n)
        if (PortDevicePath(n) == path)
            return true;
    return false;
}

void PortWatcher::Rescan(bool report)
{
    std::vector<std::string> paths;
    if (DIR* d = ::opendir(devices_.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (Wanted(e->d_name))
                paths.push_back(devices_ + "/" + e->d_name);
        ::closedir(d);
    }
    std::sort(paths.begin(), paths.end());
    for (size_t i = 0; i < present_.size();) {
        const std::string gone = present_[i].info.device;
        if (!std::binary_search(paths.begin(), paths.end(), gone))
            Removed(gone);
        else
            ++i;
    }
    for (const std::string& path : paths)
        Added(path, report);
}

void PortWatcher::Added(const std::string& path, bool report)
{
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return;
    const auto it = std::find_if(present_.begin(), present_.end(),
                                 [&](const Entry& e) { return e.info.device == path; });
    if (it != present_.end()) {
        if (it->info.rdev == st.st_rdev)
            return;
        Removed(path); // replaced under the same name
    }
    Entry e;
    e.info = DescribeDevice(path);
    e.info.port = PortOf(path, e.info.rdev);
    e.info.msecs = QDateTime::currentMSecsSinceEpoch();
    // udev makes the by-id link just after the device: wait for it a moment.
    if (report && e.info.usb.Known() && e.info.byId.empty())
        e.due = Clock::now() + kByIdSettle;
    present_.push_back(e);
    if (report && !e.due)
        Report(true, e.info);
}

void PortWatcher::Removed(const std::string& path)
{
    const auto it = std::find_if(present_.begin(), present_.end(),
                                 [&](const Entry& e) { return e.info.device == path; });
    if (it == present_.end())
        return;
    const Entry gone = *it;
    present_.erase(it);
    // Come and gone before it was told: both are told.
    if (gone.due)
        Report(true, gone.info);
    DeviceInfo info = gone.info;
    info.msecs = QDateTime::currentMSecsSinceEpoch();
    Report(false, info);
}

void PortWatcher::ByIdAdded(const std::string& path)
{
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return;
    // The name stays with its device until the device goes: udev removes it
    // first, and the removal is told with it.
    for (Entry& e : present_) {
        if (e.info.rdev != st.st_rdev)
            continue;
        e.info.byId = path;
        e.info.port = PortOf(e.info.device, e.info.rdev);
        if (e.due) {
            e.due.reset();
            Report(true, e.info);
        }
    }
}

void PortWatcher::Handle(const ::inotify_event& e)
{
    if ((e.mask & IN_Q_OVERFLOW) != 0) {
        // Events were lost: what is there now is compared with what was.
        rearm_ = true;
        Rescan(true);
        for (Entry& entry : present_)
            if (const std::string byId = ByIdOf(entry.info.rdev); !byId.empty())
                entry.info.byId = byId;
        return;
    }
    const auto it = std::find_if(watches_.begin(), watches_.end(),
                                 [&](const auto& w) { return w.first == e.wd; });
    if (it == watches_.end())
        return;
    if ((e.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
        // The folder went: it is waited for again from above.
        if ((e.mask & IN_IGNORED) == 0)
            ::inotify_rm_watch(fd_, e.wd);
        watches_.erase(it);
        rearm_ = true;
        return;
    }
    const std::string folder = it->second;
    if ((e.mask & IN_ISDIR) != 0 || (folder != devices_ && folder != byId_)) {
        rearm_ = true; // a folder on the way to one watched came or went
        return;
    }
    if (e.len == 0)
        return;
    const std::string name(e.name);
    const bool made = (e.mask & (IN_CREATE | IN_MOVED_TO)) != 0;
    if (folder == byId_) {
        if (made)
            ByIdAdded(folder + "/" + name);
    } else if (Wanted(name)) {
        if (made)
            Added(folder + "/" + name, true);
        else
            Removed(folder + "/" + name);
    }
}

void PortWatcher::Process()
{
    if (fd_ < 0)
        return;
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (int reads = 0; reads < kReadsPerTurn; ++reads) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            Handle(*e);
            at += ssize_t(sizeof(inotify_event) + e->len);
        }
    }
    if (rearm_)
        Arm();
    const auto now = Clock::now();
    for (Entry& e : present_) {
        if (e.due && *e.due <= now) {
            e.due.reset();
            Report(true, e.info);
        }
    }
}

int PortWatcher::DueInMs() const
{
    int next = -1;
    const auto now = Clock::now();
    for (const Entry& e : present_) {
        if (!e.due)
            continue;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*e.due - now).count();
        const int ms = int(std::max<int64_t>(0, left));
        next = next < 0 ? ms : std::min(next, ms);
    }
    return next;
}

void PortWatcher::Wait(int ms)
{
    const int due = DueInMs();
    if (due >= 0 && (ms < 0 || due < ms))
        ms = due;
    if (fd_ < 0) {
        // Nothing to wait on: a bounded sleep, so that a caller's loop cannot spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(ms < 0 || ms > 100 ? 100 : ms));
        return;
    }
    sigset_t stops, before;
    sigemptyset(&stops);
    for (int s : kStopSignals)
        sigaddset(&stops, s);
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    if (!StopRequested()) {
        pollfd p{fd_, POLLIN, 0};
        const timespec limit{ms / 1000, long(ms % 1000) * 1000000};
        ::ppoll(&p, 1, ms < 0 ? nullptr : &limit, &before);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    Process();
}

void PortWatcher::Report(bool added, const DeviceInfo& info)
{
    const std::vector<PortObserver*> observers = observers_;
    for (PortObserver* o : observers) {
        if (std::find(observers_.begin(), observers_.end(), o) == observers_.end())
            continue;
        if (added)
            o->DeviceAdded(info);
        else
            o->DeviceRemoved(info);
    }
}

std::vector<DeviceInfo> PortWatcher::Present() const
{
    std::vector<DeviceInfo> all;
    for (const Entry& e : present_)
        all.push_back(e.info);
    return all;
}

std::optional<DeviceInfo> PortWatcher::Find(const DeviceInfo& same) const
{
    for (const Entry& e : present_)
        if (SameDevice(same, e.info))
            return e.info;
    return std::nullopt;
}

std::vector<DeviceInfo> PresentDevices()
{
    return PortWatcher().Present();
}

} // namespace link
} // namespace tesmora

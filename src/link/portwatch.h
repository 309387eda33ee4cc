#pragma once

// Serial devices coming and going, seen through inotify: the port folder
// when $TESMORA_PORT_DIR is set (its COMn entries, and its by-id folder),
// otherwise /dev (its tty devices) and /dev/serial/by-id. Nothing is polled:
// a front end waits on Descriptor() (a socket notifier, poll()) and calls
// Process() when it is readable. A port URL is never watched.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "link/devices.h"

struct inotify_event;

inline namespace tesmora {
namespace link {

class PortObserver
{
public:
    virtual ~PortObserver() = default;
    virtual void DeviceAdded(const DeviceInfo& info) { (void)info; }
    virtual void DeviceRemoved(const DeviceInfo& info) { (void)info; }
};

class PortWatcher
{
public:
    PortWatcher();
    ~PortWatcher();
    PortWatcher(const PortWatcher&) = delete;
    PortWatcher& operator=(const PortWatcher&) = delete;

    // False where inotify could not be had (the account's instances used up):
    // nothing is then reported, and the errno is in Error().
    bool Active() const { return fd_ >= 0; }
    int Error() const { return error_; }
    int Descriptor() const { return fd_; }
    // The device folder and the by-id folder.
    std::vector<std::string> Folders() const { return {devices_, byId_}; }

    // Observers are told in the order added; one may remove itself while told.
    void AddObserver(PortObserver* observer);
    void RemoveObserver(PortObserver* observer);

    // Reads what inotify has and reports it, and the held-back additions now due.
    void Process();
    // A USB device is reported once its by-id link is there too, or after a
    // short while without one: the time until the next is due, -1 for none.
    int DueInMs() const;
    // Waits up to `ms` (-1: no limit) for something to process, then processes
    // it. A stop signal (Ctrl-C) ends the wait at once, however it is timed.
    void Wait(int ms);

    // The devices there now, additions still held back included.
    std::vector<DeviceInfo> Present() const;
    // The device there now that is the same as `same` (SameDevice).
    std::optional<DeviceInfo> Find(const DeviceInfo& same) const;

private:
    using Clock = std::chrono::steady_clock;
    struct Entry
    {
        DeviceInfo info;
        std::optional<Clock::time_point> due; // held back until then
    };

    void Arm();
    void Handle(const ::inotify_event& e);
    bool Wanted(const std::string& name) const;
    void Rescan(bool report);
    void Added(const std::string& path, bool report);
    void Removed(const std::string& path);
    void ByIdAdded(const std::string& path);
    void Report(bool added, const DeviceInfo& info);

    int fd_ = -1;
    int error_ = 0;
    bool portFolder_ = false; // $TESMORA_PORT_DIR: only its COMn entries count
    std::string devices_;
    std::string byId_;
    std::vector<std::pair<int, std::string>> watches_; // descriptor, folder
    bool rearm_ = false;
    bool started_ = false; // from now on what is found is reported
    std::vector<Entry> present_;
    std::vector<PortObserver*> observers_;
};

// The devices there now, as a watcher starts with them: for a list of what is
// plugged in without watching.
std::vector<DeviceInfo> PresentDevices();

} // namespace link
} // namespace tesmora

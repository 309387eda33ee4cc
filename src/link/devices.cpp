#include "link/devices.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "link/serialport.h"
#include "link/transport.h"

inline namespace tesmora {
namespace link {

namespace {

// USB descriptors come from the device: a string is read to this length at
// most, whatever the file holds.
constexpr size_t kAttributeMax = 255;
// A folder of links read to this many entries: a flood of names costs no more.
constexpr int kFolderMax = 4096;
// Parents looked at on the way up from a tty to its USB device.
constexpr int kParentsMax = 32;

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// $TESMORA_SYSFS_ROOT, else /sys: tests give a tree of their own.
std::string SysfsRoot()
{
    const std::string root = Env("TESMORA_SYSFS_ROOT");
    return root.empty() ? "/sys" : root;
}

std::string RealPath(const std::string& path)
{
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

// One line of a sysfs attribute, without its line end. O_NONBLOCK: a fifo put
// where a file should be must not hang the caller.
std::string ReadAttribute(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {};
    char buffer[kAttributeMax];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    std::string text(buffer, n > 0 ? size_t(n) : 0);
    if (const size_t end = text.find('\n'); end != std::string::npos)
        text.erase(end);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r'))
        text.pop_back();
    return text;
}

bool CharDevice(const std::string& path, struct stat& st)
{
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// The USB device above a character device in sysfs: from /sys/dev/char/MAJ:MIN
// up its parents to the first that has an idVendor, never above the root.
UsbIdentity UsbOf(uint64_t rdev)
{
    const std::string root = RealPath(SysfsRoot());
    if (root.empty())
        return {};
    std::string dir = RealPath(SysfsRoot() + "/dev/char/" + std::to_string(major(rdev)) + ":" +
                               std::to_string(minor(rdev)));
    for (int up = 0; up < kParentsMax && dir.size() > root.size() + 1 &&
                     dir.compare(0, root.size() + 1, root + "/") == 0;
         ++up) {
        if (::access((dir + "/idVendor").c_str(), F_OK) == 0) {
            UsbIdentity usb;
            usb.vendor = ReadAttribute(dir + "/idVendor");
            usb.product = ReadAttribute(dir + "/idProduct");
            usb.manufacturer = ReadAttribute(dir + "/manufacturer");
            usb.name = ReadAttribute(dir + "/product");
            usb.serial = ReadAttribute(dir + "/serial");
            return usb;
        }
        dir.erase(dir.rfind('/'));
    }
    return {};
}

} // namespace

bool SameDevice(const DeviceInfo& a, const DeviceInfo& b)
{
    return (!a.byId.empty() && a.byId == b.byId) ||
           (!a.usb.serial.empty() && a.usb.serial == b.usb.serial);
}

std::string PortFolder()
{
    std::string dir = Env("TESMORA_PORT_DIR");
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

std::string ByIdFolder()
{
    const std::string dir = PortFolder();
    return dir.empty() ? "/dev/serial/by-id" : dir + "/by-id";
}

// The by-id link that leads to the device, the first by name.
std::string ByIdOf(uint64_t rdev)
{
    const std::string folder = ByIdFolder();
    DIR* d = ::opendir(folder.c_str());
    if (d == nullptr)
        return {};
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
        if (int(names.size()) >= kFolderMax)
            break;
        if (e->d_name[0] != '.')
            names.emplace_back(e->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        struct stat st
        {
        };
        if (CharDevice(folder + "/" + name, st) && st.st_rdev == rdev)
            return folder + "/" + name;
    }
    return {};
}

DeviceInfo DescribeDevice(const std::string& path)
{
    DeviceInfo info;
    info.device = path;
    struct stat st
    {
    };
    if (!CharDevice(path, st))
        return info;
    info.rdev = st.st_rdev;
    info.usb = UsbOf(st.st_rdev);
    info.byId = ByIdOf(st.st_rdev);
    return info;
}

int PortOf(const std::string& path, uint64_t rdev)
{
    std::string paths[17];
    for (int n = 1; n <= 16; ++n) {
        paths[n] = PortDevicePath(n);
        if (paths[n] == path)
            return n;
    }
    // Through another name: a [Ports] entry that is a by-id link, say.
    for (int n = 1; n <= 16 && rdev != 0; ++n) {
        struct stat st
        {
        };
        if (!paths[n].empty() && !LooksLikePortUrl(paths[n]) && CharDevice(paths[n], st) &&
            st.st_rdev == rdev)
            return n;
    }
    return 0;
}

std::string DeviceText(const DeviceInfo& info)
{
    std::string text;
    if (info.usb.Known()) {
        text = (info.usb.name.empty() ? "USB device" : info.usb.name) + " (";
        if (!info.usb.manufacturer.empty())
            text += info.usb.manufacturer + ", ";
        text += info.usb.vendor + ":" + info.usb.product;
        if (!info.usb.serial.empty())
            text += ", serial " + info.usb.serial;
        text += ")";
    }
    if (!info.byId.empty())
        text += (text.empty() ? "" : ", ") + info.byId;
    return text;
}

Ownership OwnershipOf(const std::string& path)
{
    Ownership o;
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0)
        return o;
    o.known = true;
    o.mode = st.st_mode & 07777;
    char buffer[4096];
    passwd pw{};
    passwd* pwFound = nullptr;
    o.owner = ::getpwuid_r(st.st_uid, &pw, buffer, sizeof buffer, &pwFound) == 0 && pwFound
                  ? pw.pw_name
                  : std::to_string(st.st_uid);
    group gr{};
    group* grFound = nullptr;
    o.group = ::getgrgid_r(st.st_gid, &gr, buffer, sizeof buffer, &grFound) == 0 && grFound
                  ? gr.gr_name
                  : std::to_string(st.st_gid);
    return o;
}

bool DialoutDevice(const Ownership& o)
{
    return o.known && o.group == "dialout";
}

std::string OwnershipText(const Ownership& o)
{
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", o.mode);
    return "the device belongs to " + o.owner + ", group " + o.group + ", mode " + mode;
}

} // namespace link
} // namespace tesmora

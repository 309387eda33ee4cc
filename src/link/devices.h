#pragma once

// What a serial device is: its USB identity from sysfs and its stable
// /dev/serial/by-id name, so that two adapters of one kind are told apart and
// a reader unplugged is known again when it comes back.

#include <cstdint>
#include <string>
#include <vector>

inline namespace tesmora {
namespace link {

// The USB device a serial port belongs to, as sysfs gives it; "" where not known.
struct UsbIdentity
{
    std::string vendor;       // idVendor, "0403"
    std::string product;      // idProduct, "6001"
    std::string manufacturer; // "FTDI"
    std::string name;         // the product's name, "FT232R USB UART"
    std::string serial;       // "A1B2C3"
    bool Known() const { return !vendor.empty(); }
};

struct DeviceInfo
{
    std::string device; // the path it was found at: /dev/ttyUSB0, or PORTDIR/COM5
    std::string byId;   // its link in the by-id folder, the whole path; "" when none
    UsbIdentity usb;
    int port = 0;      // the COM number (1-16) that leads to it; 0 when none
    uint64_t rdev = 0; // the character device's number; 0: not one
    int64_t msecs = 0; // when it was seen to come or go, since the epoch
    // A device that can be known again: by its by-id name or its USB serial number.
    bool Recognisable() const { return !byId.empty() || !usb.serial.empty(); }
};

// The same device as `b`: the same by-id name, or the same USB serial number.
bool SameDevice(const DeviceInfo& a, const DeviceInfo& b);

// $TESMORA_PORT_DIR without a trailing '/', or "" where it is not set.
std::string PortFolder();
// Where the by-id names live: "by-id" in $TESMORA_PORT_DIR when that is set, else
// /dev/serial/by-id.
std::string ByIdFolder();
// The by-id name that leads to character device `rdev`, or "".
std::string ByIdOf(uint64_t rdev);

// The device at `path` (a link is followed): its number, USB identity and
// by-id name. Only `device` is set where it is no character device. The COM
// number is left 0 (PortOf finds it).
DeviceInfo DescribeDevice(const std::string& path);
// The COM number whose device is `path`, or the same character device; 0 when none.
int PortOf(const std::string& path, uint64_t rdev);

// "FT232R USB UART (FTDI, 0403:6001, serial A1B2C3), /dev/serial/by-id/..."; for a
// device without a USB identity its by-id name, else "".
std::string DeviceText(const DeviceInfo& info);

// Whose a device is; `known` false when it cannot be looked at.
struct Ownership
{
    bool known = false;
    std::string owner, group;
    unsigned mode = 0; // the permission bits
};
Ownership OwnershipOf(const std::string& path);

// The dialout advice fits a device of the group dialout only: another is
// named by whose it is, "the device belongs to root, group root, mode 0600".
bool DialoutDevice(const Ownership& o);
std::string OwnershipText(const Ownership& o);

} // namespace link
} // namespace tesmora

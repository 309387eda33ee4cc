#pragma once

// An emulated reader plugged in as a USB adapter would be: its pty described
// in a sysfs tree of the test's (TESMORA_SYSFS_ROOT) and named in the port
// folder's by-id folder before it appears as COMn, as the kernel and udev
// show a device. Unplugged, the links go and the line hangs up; plugged
// again, it is a new pty with the same serial number and by-id name.

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <memory>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "readeremulator.h"

// The test's own sysfs tree, named in TESMORA_SYSFS_ROOT while it lasts: a
// failed check leaves no later test a tree that is gone.
class SysfsTree : public QTemporaryDir
{
public:
    SysfsTree() { qputenv("TESMORA_SYSFS_ROOT", path().toLocal8Bit()); }
    ~SysfsTree() { qunsetenv("TESMORA_SYSFS_ROOT"); }
};

class UsbReader
{
public:
    UsbReader(const QString& portDir, const QString& sysRoot, int com, const QString& serial,
              const emu::ReaderModel& m = {})
        : portDir_(portDir), sysRoot_(sysRoot), com_(com), serial_(serial), model_(m),
          byId_(portDir + "/by-id/usb-FTDI_FT232R_USB_UART_" + serial + "-if00-port0")
    {
    }
    ~UsbReader() { Unplug(); }

    // False when the emulator or a link could not be made.
    bool Plug()
    {
        reader_ = std::make_unique<emu::ReaderEmulator>(model_, emu::Options{true, 3});
        if (!own_.isValid() || !reader_->Start(own_.path().toStdString(), 1))
            return false;
        const QString slave = QString::fromStdString(reader_->SlavePath());
        struct stat st
        {
        };
        if (::stat(reader_->SlavePath().c_str(), &st) != 0)
            return false;
        // One USB device per serial number, its tty below its interface.
        const QString usb = "devices/pci0000:00/usb1/1-" + serial_;
        const QString tty = usb + "/1-" + serial_ + ":1.0/ttyUSB0/tty/ttyUSB0";
        QDir root(sysRoot_);
        root.mkpath(tty);
        root.mkpath("dev/char");
        const std::pair<const char*, QString> attributes[] = {
            {"idVendor", "0403"}, {"idProduct", "6001"},          {"manufacturer", "FTDI"},
            {"serial", serial_},  {"product", "FT232R USB UART"},
        };
        for (const auto& [name, value] : attributes) {
            QFile f(root.filePath(usb + '/' + name));
            if (!f.open(QIODevice::WriteOnly) || f.write((value + '\n').toUtf8()) < 0)
                return false;
        }
        const QString node = root.filePath(
            QStringLiteral("dev/char/%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev)));
        QFile::remove(node);
        QDir().mkpath(portDir_ + "/by-id");
        return QFile::link("../../" + tty, node) && QFile::link(slave, byId_) &&
               QFile::link(slave, Com());
    }
    void Unplug()
    {
        QFile::remove(Com());
        QFile::remove(byId_);
        if (reader_)
            reader_->Stop();
    }
    emu::ReaderEmulator& Reader() { return *reader_; }
    QString ById() const { return byId_; }
    QString Com() const { return QStringLiteral("%1/COM%2").arg(portDir_).arg(com_); }

private:
    QString portDir_, sysRoot_;
    int com_;
    QString serial_;
    emu::ReaderModel model_;
    QString byId_;
    QTemporaryDir own_;
    std::unique_ptr<emu::ReaderEmulator> reader_;
};

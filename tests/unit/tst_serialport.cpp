// The serial channel on a real pseudo-terminal: mode strings, port numbers and
// the port map, why an open failed, exclusive opening, raw line settings and
// their restoration, the low-latency flag, read pacing, hang-up, and a purge
// that keeps what was written.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "filemodes.h"
#include "link/modelist.h"
#include "link/serialport.h"

Q_DECLARE_METATYPE(std::optional<link::LineSetting>)
Q_DECLARE_METATYPE(link::OpenError)

namespace {

// A USB serial driver's TIOCGSERIAL/TIOCSSERIAL for the one device a test
// chooses, as no real adapter exists here; every other ioctl reaches the kernel.
struct FakeSerialDriver
{
    bool active = false;
    dev_t device = 0;
    serial_struct state{};
    bool refuseSet = false;
    int sets = 0;
} fakeDriver;

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    struct stat st
    {
    };
    if (fakeDriver.active && (request == TIOCGSERIAL || request == TIOCSSERIAL) &&
        ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == fakeDriver.device) {
        auto* ss = static_cast<serial_struct*>(arg);
        if (request == TIOCGSERIAL) {
            *ss = fakeDriver.state;
            return 0;
        }
        if (fakeDriver.refuseSet) {
            errno = EPERM;
            return -1;
        }
        fakeDriver.state = *ss;
        ++fakeDriver.sets;
        return 0;
    }
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto real = reinterpret_cast<Ioctl>(::dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double ThreadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

// A pty whose slave side the test keeps open as well, as the emulator does, so
// that the line settings can be read while the port has the device.
struct Pty
{
    int master = -1;
    int slave = -1;
    std::string path;

    Pty()
    {
        char name[128] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0)
            path = name;
    }
    ~Pty()
    {
        CloseMaster();
        if (slave >= 0)
            ::close(slave);
    }
    void CloseMaster()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    termios Settings() const
    {
        termios t{};
        tcgetattr(slave, &t);
        return t;
    }
    // What the port wrote, collected from the master side until `count`
    // bytes are in or nothing more comes for 300 ms.
    QByteArray ReadMaster(int count) const
    {
        QByteArray got;
        while (got.size() < count) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 300) <= 0)
                break;
            char buf[256];
            const ssize_t r = ::read(master, buf, sizeof buf);
            if (r <= 0)
                break;
            got.append(buf, qsizetype(r));
        }
        return got;
    }
};

speed_t SpeedOf(int baud)
{
    switch (baud) {
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    default:
        return B0;
    }
}

} // namespace

class TestSerialPort : public QObject
{
    Q_OBJECT

private slots:
    void init() { qunsetenv("TESMORA_PORT_DIR"); }
    void cleanup()
    {
        qunsetenv("TESMORA_PORT_DIR");
        link::SetPortMap({});
        fakeDriver = {};
    }

    void parseMode_data()
    {
        using S = link::LineSetting;
        using O = std::optional<link::LineSetting>;
        QTest::addColumn<QString>("mode");
        QTest::addColumn<O>("setting");
        // The whole list the program uses, 230400 included.
        const int bauds[] = {4800, 9600, 19200, 38400, 57600, 115200, 230400};
        int index = 0;
        for (int baud : bauds) {
            for (char parity : {'n', 'e'}) {
                const QString mode = QStringLiteral("%1,%2,8,1").arg(baud).arg(QChar(parity));
                // The table itself must be the one written out here.
                QCOMPARE(QString::fromLatin1(kModeList[size_t(index)].data(),
                                             qsizetype(kModeList[size_t(index)].size())),
                         mode);
                QTest::newRow(qPrintable(mode)) << mode << O(S{baud, parity, 8, 1});
                ++index;
            }
        }
        QCOMPARE(index, kModeCount);
        QTest::newRow("odd, 7 data, 2 stop") << "9600,o,7,2" << O(S{9600, 'o', 7, 2});
        QTest::newRow("mark") << "9600,m,8,1" << O(S{9600, 'm', 8, 1});
        QTest::newRow("space") << "9600,s,8,1" << O(S{9600, 's', 8, 1});
        QTest::newRow("upper-case parity") << "19200,E,8,1" << O(S{19200, 'e', 8, 1});
        QTest::newRow("empty") << "" << O();
        QTest::newRow("baud only") << "19200" << O();
        QTest::newRow("three fields") << "19200,e,8" << O();
        QTest::newRow("five fields") << "19200,e,8,1,x" << O();
        QTest::newRow("trailing comma") << "19200,e,8,1," << O();
        QTest::newRow("unknown baud") << "19201,e,8,1" << O();
        QTest::newRow("zero baud") << "0,n,8,1" << O();
        QTest::newRow("negative baud") << "-9600,n,8,1" << O();
        QTest::newRow("plus sign") << "+9600,n,8,1" << O();
        QTest::newRow("baud with letters") << "96OO,n,8,1" << O();
        QTest::newRow("huge baud") << "99999999999999,n,8,1" << O();
        QTest::newRow("unknown parity") << "19200,x,8,1" << O();
        QTest::newRow("empty parity") << "19200,,8,1" << O();
        QTest::newRow("long parity") << "19200,ee,8,1" << O();
        QTest::newRow("9 data bits") << "19200,e,9,1" << O();
        QTest::newRow("4 data bits") << "19200,e,4,1" << O();
        QTest::newRow("3 stop bits") << "19200,e,8,3" << O();
        QTest::newRow("1.5 stop bits") << "19200,e,8,1.5" << O();
        QTest::newRow("leading space") << " 19200,e,8,1" << O();
        QTest::newRow("inner space") << "19200, e,8,1" << O();
        QTest::newRow("trailing space") << "19200,e,8,1 " << O();
    }

    void parseMode()
    {
        QFETCH(QString, mode);
        QFETCH(std::optional<link::LineSetting>, setting);
        const std::string text = mode.toStdString();
        QCOMPARE(link::ParseMode(text), setting);
    }

    void portDevicePath_data()
    {
        QTest::addColumn<QString>("dir"); // empty: variable unset
        QTest::addColumn<int>("n");
        QTest::addColumn<QString>("path");
        QTest::newRow("COM1") << "" << 1 << "/dev/ttyS0";
        QTest::newRow("COM4") << "" << 4 << "/dev/ttyS3";
        QTest::newRow("COM5") << "" << 5 << "/dev/ttyUSB0";
        QTest::newRow("COM12") << "" << 12 << "/dev/ttyUSB7";
        QTest::newRow("COM13") << "" << 13 << "/dev/ttyACM0";
        QTest::newRow("COM16") << "" << 16 << "/dev/ttyACM3";
        QTest::newRow("COM0") << "" << 0 << "";
        QTest::newRow("COM17") << "" << 17 << "";
        QTest::newRow("COM-1") << "" << -1 << "";
        QTest::newRow("dir COM3") << "/tmp/ports" << 3 << "/tmp/ports/COM3";
        QTest::newRow("dir COM16") << "/tmp/ports" << 16 << "/tmp/ports/COM16";
        QTest::newRow("dir with slash") << "/tmp/ports/" << 10 << "/tmp/ports/COM10";
        QTest::newRow("dir COM0") << "/tmp/ports" << 0 << "";
        QTest::newRow("dir COM17") << "/tmp/ports" << 17 << "";
    }

    void portDevicePath()
    {
        QFETCH(QString, dir);
        QFETCH(int, n);
        QFETCH(QString, path);
        if (!dir.isEmpty())
            qputenv("TESMORA_PORT_DIR", dir.toLocal8Bit());
        QCOMPARE(QString::fromStdString(link::PortDevicePath(n)), path);
    }

    // The map, filled from the settings, decides for its own numbers only.
    void portMap_data()
    {
        QTest::addColumn<QString>("dir"); // empty: variable unset
        QTest::addColumn<int>("n");
        QTest::addColumn<QString>("path");
        QTest::newRow("mapped") << "" << 3 << "/dev/ttyAMA0";
        QTest::newRow("mapped, before the folder") << "/tmp/ports" << 3 << "/dev/ttyAMA0";
        QTest::newRow("unmapped, folder") << "/tmp/ports" << 4 << "/tmp/ports/COM4";
        QTest::newRow("unmapped, table") << "" << 5 << "/dev/ttyUSB0";
        QTest::newRow("empty path") << "/tmp/ports" << 6 << "/tmp/ports/COM6";
        QTest::newRow("by-id") << "" << 16 << "/dev/serial/by-id/usb-FTDI_A1-if00-port0";
    }

    void portMap()
    {
        QFETCH(QString, dir);
        QFETCH(int, n);
        QFETCH(QString, path);
        if (!dir.isEmpty())
            qputenv("TESMORA_PORT_DIR", dir.toLocal8Bit());
        link::SetPortMap(
            {{3, "/dev/ttyAMA0"}, {6, ""}, {16, "/dev/serial/by-id/usb-FTDI_A1-if00-port0"}});
        QCOMPARE(QString::fromStdString(link::PortDevicePath(n)), path);
    }

    // Why an open failed, each reason from a real cause; a success clears it.
    void openErrors_data()
    {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<link::OpenError>("error");
        QTest::addColumn<QString>("text");
        using E = link::OpenError;
        QTest::newRow("no such path") << "missing" << E::Missing << "missing";
        QTest::newRow("no such COM number") << "COM17" << E::Missing << "missing";
        QTest::newRow("regular file") << "file" << E::NotATerminal << "not a terminal";
        QTest::newRow("folder") << "folder" << E::NotATerminal << "not a terminal";
        QTest::newRow("fifo") << "fifo" << E::NotATerminal << "not a terminal";
        QTest::newRow("/dev/null") << "null" << E::NotATerminal << "not a terminal";
        QTest::newRow("held by a port") << "flock" << E::Busy << "busy";
        QTest::newRow("held with TIOCEXCL") << "excl" << E::Busy << "busy";
        QTest::newRow("no access") << "mode" << E::PermissionDenied << "permission denied";
        QTest::newRow("no device behind (EIO)") << "eio" << E::Missing << "missing";
        QTest::newRow("folder not searchable")
            << "search" << E::PermissionDenied << "permission denied";
        QTest::newRow("refused Ports entry") << "COM7" << E::BadEntry << "refused Ports entry";
        QTest::newRow("free pty") << "pty" << E::None << "";
    }

    void openErrors()
    {
        QFETCH(QString, cause);
        QFETCH(link::OpenError, error);
        QFETCH(QString, text);
        Pty pty;
        QVERIFY(!pty.path.empty());
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        std::string path = pty.path;
        link::SerialPort holder;
        int excl = -1;
        if (cause == "missing") {
            path = QFile::encodeName(dir.filePath("COM1")).toStdString();
        } else if (cause == "file") {
            QFile f(dir.filePath("COM1"));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("keep");
            f.close();
            path = QFile::encodeName(f.fileName()).toStdString();
        } else if (cause == "folder") {
            path = QFile::encodeName(dir.path()).toStdString();
        } else if (cause == "fifo") {
            path = QFile::encodeName(dir.filePath("COM1")).toStdString();
            QCOMPARE(::mkfifo(path.c_str(), 0600), 0);
        } else if (cause == "null") {
            path = "/dev/null";
        } else if (cause == "flock") {
            QVERIFY(holder.OpenPath(pty.path, "19200,e,8,1"));
        } else if (cause == "excl") {
            excl = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            QVERIFY(excl >= 0);
            QCOMPARE(::ioctl(excl, TIOCEXCL), 0);
        } else if (cause == "mode") {
            QCOMPARE(::chmod(pty.path.c_str(), 0), 0);
        } else if (cause == "eio") {
            // A pty whose slave is still locked answers EIO, as a ttyS without a UART does.
            excl = ::posix_openpt(O_RDWR | O_NOCTTY);
            QVERIFY(excl >= 0 && ::grantpt(excl) == 0);
            path = ::ptsname(excl);
        } else if (cause == "search") {
            QVERIFY(QDir(dir.path()).mkdir("locked"));
            path = QFile::encodeName(dir.filePath("locked/COM1")).toStdString();
            QCOMPARE(::symlink(pty.path.c_str(), path.c_str()), 0);
            QCOMPARE(::chmod(QFile::encodeName(dir.filePath("locked")).constData(), 0), 0);
        } else if (cause == "COM7") {
            link::SetPortMap({{7, pty.path}},
                             {{7, "refused Ports entry COM7=x: not an absolute path"}});
        }

        // A path that is no device must not even be opened.
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(watch >= 0);
        const bool watched = cause == "file" || cause == "folder" || cause == "fifo";
        if (watched)
            QVERIFY(::inotify_add_watch(watch, path.c_str(), IN_OPEN | IN_MODIFY) >= 0);

        link::SerialPort port;
        // A failure first, so that the success row shows it cleared.
        QVERIFY(!port.Open(0, "19200,e,8,1"));
        QCOMPARE(port.LastOpenError(), link::OpenError::Missing);
        bool opened = false;
        {
            FileModesHonoured modes;
            opened = cause.startsWith("COM") ? port.Open(cause.mid(3).toInt(), "19200,e,8,1")
                                             : port.OpenPath(path, "19200,e,8,1");
        }
        if (excl >= 0) {
            ::ioctl(excl, TIOCNXCL);
            ::close(excl);
        }
        if (cause == "search")
            ::chmod(QFile::encodeName(dir.filePath("locked")).constData(), 0700);
        QCOMPARE(opened, error == link::OpenError::None);
        QCOMPARE(port.IsOpen(), opened);
        QCOMPARE(port.LastOpenError(), error);
        QCOMPARE(QString::fromLatin1(link::OpenErrorText(port.LastOpenError())), text);
        char events[4096];
        const ssize_t seen = ::read(watch, events, sizeof events);
        ::close(watch);
        if (watched)
            QVERIFY2(seen < 0 && errno == EAGAIN, "the path was opened");
        if (cause == "file") {
            QFile f(QString::fromStdString(path));
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), QByteArray("keep"));
        }
    }

    void missingPort()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        qputenv("TESMORA_PORT_DIR", QFile::encodeName(dir.path()));
        link::SerialPort port;
        QVERIFY(!port.Open(3, "19200,e,8,1"));
        QVERIFY(!port.IsOpen());
        QVERIFY(!port.Open(0, "19200,e,8,1"));
        QVERIFY(!port.Open(17, "19200,e,8,1"));
        QVERIFY(!port.IsOpen());
        port.Close(); // nothing to close, and harmless
        QVERIFY(!port.IsOpen());
    }

    void notATerminal()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile file(dir.filePath("COM2"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        qputenv("TESMORA_PORT_DIR", QFile::encodeName(dir.path()));
        link::SerialPort port;
        QVERIFY(!port.Open(2, "19200,e,8,1"));
        QVERIFY(!port.IsOpen());
    }

    void openThroughPortDir()
    {
        Pty pty;
        QVERIFY(!pty.path.empty());
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString linkPath = dir.filePath("COM7");
        QVERIFY(QFile::link(QString::fromStdString(pty.path), linkPath));
        qputenv("TESMORA_PORT_DIR", QFile::encodeName(dir.path()));
        link::SerialPort port;
        QVERIFY(port.Open(7, "38400,n,8,1"));
        QVERIFY(port.IsOpen());
        const termios t = pty.Settings();
        QCOMPARE(cfgetospeed(&t), speed_t(B38400));
        QVERIFY(!port.Open(6, "38400,n,8,1"));
        QVERIFY(!port.IsOpen());
    }

    // Every line setting of the list opens; a pty cannot carry parity, which
    // must not fail the open.
    void appliesLineSetting_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("baud");
        QTest::addColumn<bool>("applied");
        const int bauds[] = {4800, 9600, 19200, 38400, 57600, 115200, 230400};
        for (int baud : bauds) {
            for (char parity : {'n', 'e'}) {
                const QString mode = QStringLiteral("%1,%2,8,1").arg(baud).arg(QChar(parity));
                QTest::newRow(qPrintable(mode)) << mode << baud << true;
            }
        }
        QTest::newRow("mark parity") << "9600,m,8,2" << 9600 << true;
        // Not a mode string: the port still opens, raw, at the speed it had.
        QTest::newRow("not a mode") << "fast please" << 0 << false;
    }

    void appliesLineSetting()
    {
        QFETCH(QString, mode);
        QFETCH(int, baud);
        QFETCH(bool, applied);
        Pty pty;
        QVERIFY(!pty.path.empty());
        termios before = pty.Settings();
        cfsetispeed(&before, B1200);
        cfsetospeed(&before, B1200);
        QCOMPARE(tcsetattr(pty.slave, TCSANOW, &before), 0);

        link::SerialPort port;
        QVERIFY(port.OpenPath(pty.path, mode.toStdString()));
        const termios t = pty.Settings();
        const speed_t expected = applied ? SpeedOf(baud) : speed_t(B1200);
        QCOMPARE(cfgetispeed(&t), expected);
        QCOMPARE(cfgetospeed(&t), expected);
        QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
        QVERIFY((t.c_cflag & CLOCAL) && (t.c_cflag & CREAD));
        QVERIFY(!(t.c_cflag & CRTSCTS));
        QVERIFY(!(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP)));
        QVERIFY(!(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)));
        QVERIFY(!(t.c_oflag & OPOST));
    }

    void settingsRestoredAfterClose()
    {
        Pty pty;
        QVERIFY(!pty.path.empty());
        termios before = pty.Settings();
        // Make the found state distinctive: cooked, 2400 baud, 7 data bits.
        cfsetispeed(&before, B2400);
        cfsetospeed(&before, B2400);
        before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | CSTOPB;
        before.c_cc[VMIN] = 4;
        before.c_cc[VTIME] = 9;
        QCOMPARE(tcsetattr(pty.slave, TCSANOW, &before), 0);
        before = pty.Settings();
        QVERIFY(before.c_lflag & ICANON);

        link::SerialPort port;
        QVERIFY(port.OpenPath(pty.path, "115200,e,8,1"));
        const termios during = pty.Settings();
        QVERIFY(!(during.c_lflag & ICANON));
        QCOMPARE(cfgetospeed(&during), speed_t(B115200));
        port.Close();
        QVERIFY(!port.IsOpen());

        const termios after = pty.Settings();
        QCOMPARE(after.c_iflag, before.c_iflag);
        QCOMPARE(after.c_oflag, before.c_oflag);
        QCOMPARE(after.c_cflag, before.c_cflag);
        QCOMPARE(after.c_lflag, before.c_lflag);
        QCOMPARE(cfgetispeed(&after), cfgetispeed(&before));
        QCOMPARE(cfgetospeed(&after), cfgetospeed(&before));
        for (size_t i = 0; i < NCCS; ++i)
            QCOMPARE(int(after.c_cc[i]), int(before.c_cc[i]));
    }

    // Also as root, and also through a second name for the same device.
    void secondOpenRefused()
    {
        Pty pty;
        QVERIFY(!pty.path.empty());
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString other = dir.filePath("COM1");
        QVERIFY(QFile::link(QString::fromStdString(pty.path), other));

        link::SerialPort first;
        QVERIFY(first.OpenPath(pty.path, "19200,e,8,1"));
        link::SerialPort second;
        QVERIFY(!second.OpenPath(pty.path, "19200,e,8,1"));
        QVERIFY(!second.IsOpen());
        QVERIFY(!second.OpenPath(QFile::encodeName(other).toStdString(), "19200,e,8,1"));
        QVERIFY(!second.IsOpen());
        // The refused opener must not have disturbed the holder's settings.
        const termios held = pty.Settings();
        QCOMPARE(cfgetospeed(&held), speed_t(B19200));

        first.Close();
        QVERIFY(second.OpenPath(QFile::encodeName(other).toStdString(), "9600,n,8,1"));
        QVERIFY(second.IsOpen());
        second.Close();
        // Open again after a close: the lock and the exclusive mode were released.
        QVERIFY(first.OpenPath(pty.path, "19200,e,8,1"));
    }

    // The line setting on a termios structure: a pty drops parity, so it is
    // checked here, where nothing can clear it.
    void lineSettingOnTermios_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("speed");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("parity");
        QTest::addColumn<bool>("odd");
        QTest::addColumn<bool>("twoStops");
        QTest::newRow("19200,e,8,1")
            << "19200,e,8,1" << int(B19200) << int(CS8) << true << false << false;
        QTest::newRow("230400,e,8,1")
            << "230400,e,8,1" << int(B230400) << int(CS8) << true << false << false;
        QTest::newRow("9600,n,8,1")
            << "9600,n,8,1" << int(B9600) << int(CS8) << false << false << false;
        QTest::newRow("4800,o,7,2")
            << "4800,o,7,2" << int(B4800) << int(CS7) << true << true << true;
    }

    void lineSettingOnTermios()
    {
        QFETCH(QString, mode);
        QFETCH(int, speed);
        QFETCH(int, size);
        QFETCH(bool, parity);
        QFETCH(bool, odd);
        QFETCH(bool, twoStops);
        // Start from the opposite of what is wanted, so every flag must be set or cleared.
        termios t{};
        t.c_cflag =
            CS5 | (parity ? 0 : PARENB | PARODD) | (odd ? 0 : PARODD) | (twoStops ? 0 : CSTOPB);
        const auto setting = link::ParseMode(mode.toStdString());
        QVERIFY(setting);
        QVERIFY(link::ApplyLineSetting(t, *setting));
        QCOMPARE(int(cfgetospeed(&t)), speed);
        QCOMPARE(int(cfgetispeed(&t)), speed);
        QCOMPARE(int(t.c_cflag & CSIZE), size);
        QCOMPARE(bool(t.c_cflag & PARENB), parity);
        QCOMPARE(bool(t.c_cflag & PARODD), odd);
        QCOMPARE(bool(t.c_cflag & CSTOPB), twoStops);
    }

    // A port that another program holds with TIOCEXCL alone is refused, also to
    // root, and the other program's flag survives; the flag this open set is
    // cleared on close.
    void exclusiveFlagOfAnotherProgram()
    {
        Pty pty;
        QVERIFY(!pty.path.empty());
        const int holder = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(holder >= 0);
        QCOMPARE(::ioctl(holder, TIOCEXCL), 0);
        auto exclusive = [&] {
            int flag = -1;
            ::ioctl(pty.slave, TIOCGEXCL, &flag);
            return flag;
        };
        link::SerialPort port;
        QVERIFY(!port.OpenPath(pty.path, "19200,e,8,1"));
        port.Close();
        QCOMPARE(exclusive(), 1);

        QCOMPARE(::ioctl(holder, TIOCNXCL), 0);
        ::close(holder);
        QVERIFY(port.OpenPath(pty.path, "19200,e,8,1"));
        QCOMPARE(exclusive(), 1);
        port.Close();
        QCOMPARE(exclusive(), 0);
    }

    // A byte that arrives while the read waits is returned by that read, at once.
    // The writer spins rather than sleeps, so that it is on time on a busy machine.
    void byteArrivingDuringTheWait()
    {
        Pty pty;
        QVERIFY(!pty.path.empty());
        link::SerialPort port;
        QVERIFY(port.OpenPath(pty.path, "19200,e,8,1"));
        constexpr int kRounds = 20;
        std::atomic<int> go{0};
        std::atomic<bool> done{false};
        std::thread writer([&] {
            for (int round = 1; round <= kRounds; ++round) {
                while (go.load() < round)
                    std::this_thread::yield();
                const auto at = Clock::now() + std::chrono::microseconds(250);
                while (Clock::now() < at) {
                }
                [[maybe_unused]] auto n = ::write(pty.master, "\x0A", 1);
                while (!done.load() && go.load() == round)
                    std::this_thread::yield();
            }
        });
        int caught = 0;
        for (int round = 1; round <= kRounds; ++round) {
            go.store(round);
            if (port.ReadByte())
                ++caught;
            // A byte that came too late is taken out of the next round's way.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            while (port.ReadByte()) {
            }
        }
        done.store(true);
        go.store(kRounds + 1);
        writer.join();
        // A read that only looked once and never waited catches none; a
        // loaded machine still misses some rounds.
        QVERIFY2(caught >= kRounds / 4, qPrintable(QString::number(caught)));
    }

    void idleReadTakesAboutOneMs()
    {
        Pty pty;
        QVERIFY(!pty.path.empty());
        link::SerialPort port;
        QVERIFY(port.OpenPath(pty.path, "19200,e,8,1"));
        std::vector<double> times;
        for (int i = 0; i < 21; ++i) {
            const auto t = Clock::now();
            QVERIFY(!port.ReadByte().has_value());
            times.push_back(MsSince(t));
        }
        std::sort(times.begin(), times.end());
        QVERIFY2(times.front() >= 0.5, qPrintable(QString::number(times.front())));
        QVERIFY2(times[times.size() / 2] < 20.0, qPrintable(QString::number(times[10])));
    }

    void waitingBytesReadAtOnce()
    {
        Pty pty;
        QVERIFY(!pty.path.empty());
        link::SerialPort port;
        QVERIFY(port.OpenPath(pty.path, "19200,e,8,1"));
        // Raw input: 0x0D and 0x0A arrive untranslated, 0x03 is no signal.
        const QByteArray sent("\n0A\r\x03\x7F\xB0xyz", 10);
        QCOMPARE(::write(pty.master, sent.constData(), size_t(sent.size())), ssize_t(10));
        pollfd p{pty.slave, POLLIN, 0};
        QVERIFY(::poll(&p, 1, 1000) == 1);
        const auto t = Clock::now();
        QByteArray got;
        for (int i = 0; i < sent.size(); ++i) {
            const auto b = port.ReadByte();
            QVERIFY(b.has_value());
            got.append(char(*b));
        }
        // Ten reads that each waited would take at least 10 ms.
        QVERIFY2(MsSince(t) < 8.0, qPrintable(QString::number(MsSince(t))));
        QCOMPARE(got, sent);
        QVERIFY(!port.ReadByte().has_value());
    }

    // The drain before returning from the write is what keeps the command alive
    // through the purge that follows it.
    void writeThenPurgeKeepsCommand()
    {
        Pty pty;
        QVERIFY(!pty.path.empty());
        link::SerialPort port;
        QVERIFY(port.OpenPath(pty.path, "19200,e,8,1"));
        const QByteArray frame = QByteArray::fromHex("09413030423041"
                                                     "0D");
        // The loss is a race with the pty's delivery, so give it many chances.
        for (int round = 0; round < 100; ++round) {
            QVERIFY(port.WriteByte(uint8_t(frame[0])));
            QVERIFY(port.WriteBuffer(reinterpret_cast<const uint8_t*>(frame.constData()) + 1, 6));
            QVERIFY(port.WriteByte(uint8_t(frame[7])));
            port.Purge();
            QCOMPARE(pty.ReadMaster(int(frame.size())), frame);
        }
    }

    void largeWriteArrivesWhole()
    {
        Pty pty;
        QVERIFY(!pty.path.empty());
        link::SerialPort port;
        QVERIFY(port.OpenPath(pty.path, "230400,n,8,1"));
        QByteArray big(3000, '\0');
        for (int i = 0; i < big.size(); ++i)
            big[i] = char(i * 7 + 1);
        QVERIFY(port.WriteBuffer(reinterpret_cast<const uint8_t*>(big.constData()),
                                 size_t(big.size())));
        QCOMPARE(pty.ReadMaster(int(big.size())), big);
    }

    void purgeDropsWhatArrived()
    {
        Pty pty;
        QVERIFY(!pty.path.empty());
        link::SerialPort port;
        QVERIFY(port.OpenPath(pty.path, "19200,e,8,1"));
        QCOMPARE(::write(pty.master, "\n0A\r", 4), ssize_t(4));
        pollfd p{pty.slave, POLLIN, 0};
        QVERIFY(::poll(&p, 1, 1000) == 1);
        port.Purge();
        QVERIFY(!port.ReadByte().has_value());
    }

    // After a hang-up every read is empty and still takes its millisecond, so
    // a waiting loop sleeps instead of burning a core; closing is clean.
    void hangUpDoesNotSpin()
    {
        Pty pty;
        QVERIFY(!pty.path.empty());
        link::SerialPort port;
        QVERIFY(port.OpenPath(pty.path, "19200,e,8,1"));
        pty.CloseMaster();
        const double cpu0 = ThreadCpuMs();
        const auto t = Clock::now();
        int bytes = 0;
        for (int i = 0; i < 200; ++i) {
            if (port.ReadByte())
                ++bytes;
        }
        const double wall = MsSince(t);
        const double cpu = ThreadCpuMs() - cpu0;
        QCOMPARE(bytes, 0);
        QVERIFY2(wall >= 150.0, qPrintable(QString::number(wall)));
        QVERIFY2(cpu < wall * 0.5, qPrintable(QStringLiteral("%1 of %2").arg(cpu).arg(wall)));
        // Writes fail instead of blocking on the dead line.
        const auto w = Clock::now();
        QVERIFY(!port.WriteByte(0x09));
        QVERIFY(MsSince(w) < 1000.0);
        port.Purge();
        port.Close();
        QVERIFY(!port.IsOpen());
    }

    // The low-latency flag of a USB serial driver: on while the port is open,
    // as found after. On a pty the ioctl is refused and the port works anyway.
    void lowLatency_data()
    {
        QTest::addColumn<bool>("driver");    // the device answers TIOCGSERIAL
        QTest::addColumn<int>("found");      // its flags at open time
        QTest::addColumn<bool>("refuseSet"); // TIOCSSERIAL fails
        QTest::addColumn<int>("during");
        QTest::addColumn<int>("sets");
        const int other = int(ASYNC_SKIP_TEST | ASYNC_SPD_HI); // must survive
        const int low = int(ASYNC_LOW_LATENCY);
        QTest::newRow("pty") << false << 0 << false << 0 << 0;
        QTest::newRow("off as found") << true << other << false << (other | low) << 2;
        QTest::newRow("on as found") << true << (other | low) << false << (other | low) << 0;
        QTest::newRow("change refused") << true << other << true << other << 0;
    }

    void lowLatency()
    {
        QFETCH(bool, driver);
        QFETCH(int, found);
        QFETCH(bool, refuseSet);
        QFETCH(int, during);
        QFETCH(int, sets);
        Pty pty;
        QVERIFY(!pty.path.empty());
        struct stat st
        {
        };
        QCOMPARE(::stat(pty.path.c_str(), &st), 0);
        fakeDriver.active = driver;
        fakeDriver.device = st.st_rdev;
        fakeDriver.state.flags = found;
        fakeDriver.state.close_delay = 77;
        fakeDriver.refuseSet = refuseSet;

        link::SerialPort port;
        QVERIFY(port.OpenPath(pty.path, "19200,e,8,1"));
        QCOMPARE(port.LastOpenError(), link::OpenError::None);
        QCOMPARE(fakeDriver.state.flags, during);
        // The port works both ways.
        QVERIFY(port.WriteByte(0x41));
        QCOMPARE(pty.ReadMaster(1), QByteArray("A"));
        QCOMPARE(::write(pty.master, "B", 1), ssize_t(1));
        std::optional<uint8_t> b;
        for (int i = 0; i < 500 && !b; ++i)
            b = port.ReadByte();
        QCOMPARE(b, std::optional<uint8_t>('B'));
        port.Close();
        QCOMPARE(fakeDriver.state.flags, found);
        QCOMPARE(fakeDriver.state.close_delay, 77);
        QCOMPARE(fakeDriver.sets, sets);
    }

    void closedPortIsInert()
    {
        link::SerialPort port;
        QVERIFY(!port.WriteByte(0x41));
        const uint8_t two[2] = {1, 2};
        QVERIFY(!port.WriteBuffer(two, 2));
        port.Purge();
        const auto t = Clock::now();
        QVERIFY(!port.ReadByte().has_value());
        QVERIFY(MsSince(t) >= 0.5);
        port.Close();
    }
};

QTEST_MAIN(TestSerialPort)
#include "tst_serialport.moc"

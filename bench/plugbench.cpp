// Devices plugged in, as the window and `tesmora-cli watch` see them: the time
// from a device appearing on COM5 to the window's status bar and to watch's
// line, 20 times, and the window's CPU while nothing happens, watching on
// against watching off, side by side in one run.
// QT_QPA_PLATFORM=offscreen build/bench/tesmora-plug-bench
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "gui/frmmodule.h"
#include "readeremulator.h"

namespace {

constexpr int kPlugs = 20;
constexpr int kIdleMs = 5000;

double CpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1000.0 + double(t.tv_nsec) / 1e6;
}

void RunFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The CPU the window's process takes over kIdleMs of its event loop, in per
// cent of one core.
double IdleCpu()
{
    const double before = CpuMs();
    RunFor(kIdleMs);
    return 100.0 * (CpuMs() - before) / kIdleMs;
}

void Report(const char* what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    std::printf("%-44s median %6.1f ms, slowest %6.1f ms (goal 1000 ms)\n", what, ms[ms.size() / 2],
                ms.back());
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir dir;
    const QString ports = dir.filePath("ports");
    const QString com5 = ports + "/COM5";
    qputenv("TESMORA_PORT_DIR", ports.toLocal8Bit());
    qputenv("TESMORA_SETTINGS_DIR", dir.filePath("settings").toLocal8Bit());
    QApplication app(argc, argv);
    // The device: a pty of its own folder, linked into the port folder and
    // taken away again as a device node comes and goes.
    emu::ReaderEmulator reader;
    if (!QDir().mkpath(ports) || !QDir().mkpath(dir.filePath("own")) ||
        !reader.Start(dir.filePath("own").toStdString(), 1))
        return 1;
    const QString slave = QString::fromStdString(reader.SlavePath());

    TfrmModule window;
    window.show();
    QProcess watch;
    watch.start(TESMORA_CLI_EXE, {"watch", "--count", QString::number(2 * kPlugs)});
    if (!watch.waitForStarted())
        return 1;
    QByteArray said;
    while (!(said += watch.readAllStandardError()).contains("watching")) {
        if (watch.state() == QProcess::NotRunning) {
            std::printf("watch did not start: %s\n", said.constData());
            return 1;
        }
        watch.waitForReadyRead(10);
    }

    std::vector<double> toWindow, toWatch;
    for (int i = 0; i < kPlugs; ++i) {
        for (const bool in : {true, false}) {
            const QString message = in ? QStringLiteral("COM5 plugged in") : "COM5 unplugged";
            QElapsedTimer clock;
            clock.start();
            if (in ? !QFile::link(slave, com5) : !QFile::remove(com5))
                return 1;
            double window_ = -1, line = -1;
            while ((window_ < 0 || line < 0) && clock.elapsed() < 5000) {
                QCoreApplication::processEvents();
                if (window_ < 0 && window.PortMessage().startsWith(message))
                    window_ = double(clock.nsecsElapsed()) / 1e6;
                if (line < 0 && watch.canReadLine()) {
                    watch.readLine();
                    line = double(clock.nsecsElapsed()) / 1e6;
                }
                if (line < 0)
                    watch.waitForReadyRead(1);
            }
            if (window_ < 0 || line < 0) {
                std::printf("%s not seen within 5 s\n", qPrintable(message));
                return 1;
            }
            if (in) {
                toWindow.push_back(window_);
                toWatch.push_back(line);
            }
            RunFor(50);
        }
    }
    watch.waitForFinished(5000);
    std::printf("A device linked as COM5, %d times:\n", kPlugs);
    Report("  to the window's status bar", toWindow);
    Report("  to tesmora-cli watch's line", toWatch);

    // Off, on, off, on: each half of the run beside the other.
    double off = 0, on = 0;
    for (int round = 0; round < 2; ++round) {
        window.WatchPorts(false);
        off += IdleCpu() / 2;
        window.WatchPorts(true);
        on += IdleCpu() / 2;
    }
    std::printf("The window idle for %d s, twice each:\n", kIdleMs / 1000);
    std::printf("  watching off %.3f %% of one core, watching on %.3f %% (difference %+.3f)\n", off,
                on, on - off);
    return 0;
}

// tesmora-cli measured as a shell runs it, each figure beside its baseline in
// the same run: build/bench/tesmora-cli-bench
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "readeremulator.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Run
{
    double ms = 0;
    long maxRssKb = 0;
    int exit = -1;
};

// One run of the tool, its output discarded: wall time, peak memory, exit code.
Run Cli(std::vector<std::string> args)
{
    args.insert(args.begin(), TESMORA_CLI_EXE);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t io;
    posix_spawn_file_actions_init(&io);
    posix_spawn_file_actions_addopen(&io, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&io, 2, "/dev/null", O_WRONLY, 0);
    Run r;
    const auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &io, nullptr, argv.data(), environ) != 0)
        return r;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    r.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    r.maxRssKb = usage.ru_maxrss;
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    posix_spawn_file_actions_destroy(&io);
    return r;
}

} // namespace

int main()
{
    QTemporaryDir ports, conf;
    setenv("TESMORA_PORT_DIR", ports.path().toLocal8Bit().constData(), 1);
    setenv("XDG_CONFIG_DIRS", (conf.path() + "/system").toLocal8Bit().constData(), 1);
    setenv("XDG_CONFIG_HOME", (conf.path() + "/user").toLocal8Bit().constData(), 1);
    unsetenv("DISPLAY");

    // Start-up: the whole process, from spawn to exit.
    std::vector<double> version;
    for (int i = 0; i < 30; ++i)
        version.push_back(Cli({"--version"}).ms);
    std::sort(version.begin(), version.end());
    std::printf("tesmora-cli --version: median %.1f ms, slowest %.1f ms (goal: under 20 ms)\n",
                version[version.size() / 2], version.back());

    // Eight ports: readers at four line settings on the odd ones, dead ports between.
    std::vector<std::unique_ptr<emu::ReaderEmulator>> readers;
    const int bauds[] = {4800, 19200, 38400, 57600};
    for (int i = 0; i < 4; ++i) {
        emu::ReaderModel m;
        m.baud = bauds[i];
        readers.push_back(std::make_unique<emu::ReaderEmulator>(m));
        readers.back()->Start(ports.path().toStdString(), 2 * i + 1);
        emu::ReaderModel dead;
        dead.dead = true;
        readers.push_back(std::make_unique<emu::ReaderEmulator>(dead));
        readers.back()->Start(ports.path().toStdString(), 2 * i + 2);
    }
    double sum = 0, slowest = 0;
    long rss = 0;
    for (int port = 1; port <= 8; ++port) {
        const Run r = Cli({"scan", "--port", std::to_string(port), "--type", "1"});
        sum += r.ms;
        slowest = std::max(slowest, r.ms);
        if (port == 1)
            rss = r.maxRssKb;
        std::printf("  scan --port %d: %.0f ms, exit %d\n", port, r.ms, r.exit);
    }
    const Run all = Cli({"scan", "--all", "--type", "1"});
    std::printf("scan --all over 8 ports, 4 dead: %.0f ms, exit %d; the 8 single scans: %.0f ms in "
                "all, the slowest %.0f ms; ratio to the slowest %.3f (goal: 1.10 at most)\n",
                all.ms, all.exit, sum, slowest, all.ms / slowest);
    std::printf("peak memory of a scan that found its reader: %.1f MB (goal: under 15 MB)\n",
                double(rss) / 1024.0);
    return 0;
}

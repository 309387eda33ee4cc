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
    readers.clear();

    // Reader profiles: eight type 4 readers, those on the odd ports with two
    // settings that differ from the profile. Each reader is put back between runs.
    QTemporaryDir state;
    setenv("XDG_STATE_HOME", state.path().toLocal8Bit().constData(), 1);
    const std::string profile = (state.path() + "/site.json").toStdString();
    if (FILE* f = std::fopen(profile.c_str(), "w")) {
        std::fputs(R"({"format": "tesmora-reader-profile", "version": 1, "type": 4, "id": "01",
            "lineSetting": "19200,e,8,1", "settings": {"interface": 0, "wiegand": 0, "rs485": 1,
            "keyNumber": 4, "keyParity": 0, "keyStatus": 0, "keyDelay": 3, "idSector": 0,
            "idBlock": 0, "idByte": 0, "idKey": "A", "idKeyError": 1}})",
                   f);
        std::fclose(f);
    }
    std::vector<emu::ReaderModel> models;
    for (int port = 1; port <= 8; ++port) {
        emu::ReaderModel m;
        m.prefix = 'H';
        if (port % 2) {
            m.keyNumber = "09";
            m.keyParity = "1";
        }
        models.push_back(m);
        readers.push_back(std::make_unique<emu::ReaderEmulator>(m));
        readers.back()->Start(ports.path().toStdString(), port);
    }
    auto reset = [&] {
        for (size_t i = 0; i < readers.size(); ++i) {
            readers[i]->SetModel(models[i]);
            readers[i]->ClearTrace();
        }
    };
    double slowestApply = 0;
    for (int port = 1; port <= 8; ++port) {
        reset();
        const Run r = Cli({"config", "apply", profile, "--port", std::to_string(port)});
        slowestApply = std::max(slowestApply, r.ms);
        std::printf("  config apply --port %d: %.0f ms, exit %d\n", port, r.ms, r.exit);
    }
    reset();
    const Run applyAll = Cli({"config", "apply", profile, "--all"});
    std::printf("config apply --all over 8 readers, 4 of them changed: %.0f ms, exit %d; the "
                "slowest single apply %.0f ms; ratio %.3f (goal: 1.1 at most)\n",
                applyAll.ms, applyAll.exit, slowestApply, applyAll.ms / slowestApply);
    // An unchanged reader: the apply sends what config read's scan sends, no more.
    readers[1]->ClearTrace();
    Cli({"config", "apply", profile, "--port", "2"});
    const std::vector<std::string> applied = readers[1]->ReceivedPayloads();
    readers[1]->ClearTrace();
    Cli({"config", "read", "--port", "2", "--type", "4"});
    std::printf("apply of an unchanged profile: %zu commands, the scan's %zu: %s\n", applied.size(),
                readers[1]->ReceivedPayloads().size(),
                applied == readers[1]->ReceivedPayloads() ? "the same" : "DIFFERENT");
    return 0;
}

// tesmora-reader-emulator: an emulated reader on a pty, linked as COMn in a port directory.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "carddump.h"
#include "demo.h"
#include "democard.h"
#include "readeremulator.h"

extern char** environ;

namespace {

void Usage(std::ostream& out)
{
    out << "usage: tesmora-reader-emulator [options]\n"
           "       tesmora-reader-emulator --demo [--com N] [options]\n"
           "                               [--run COMMAND [ARGS...]]\n"
           "  --type N          reader type 1..8 (sets the prefix letter)\n"
           "  --prefix LETTER   prefix letter the reader answers to (default A)\n"
           "  --any-prefix      answer to every type's letter (A, H, J, I)\n"
           "  --demo-cards      present cards and keypad keys by the clock, to F and I\n"
           "  --id ID           two-character reader ID (default 01)\n"
           "  --serial TEXT     8-character serial number (default 12345678)\n"
           "  --version TEXT    8-character version (default 05.00-01); alone, this\n"
           "                    program's version\n"
           "  --mode MODE       line setting, e.g. 19200,e,8,1; only its baud rate counts\n"
           "  --com N           COM number of the link (default 3)\n"
           "  --port-dir DIR    directory for the link (default: $TESMORA_PORT_DIR)\n"
           "  --fast            no wire timing\n"
           "  --turnaround MS   reader turnaround in ms (default 3)\n"
           "  --answer-unknown  answer unknown commands with status 01 instead of silence\n"
           "  --strict-id       a new ID takes effect at once (default: old and new ID\n"
           "                    until the reader restarts)\n"
           "  --error-command TEXT   answer this command (letter and parameters, e.g. L08)\n"
           "                    with status 01 and change nothing; repeatable\n"
           "  --silent-command TEXT  never answer this command (a letter, or letter and\n"
           "                    parameters); repeatable\n"
           "  --trace FILE      append each well-formed command received to FILE, one a line\n"
           "the MIFARE Classic card in the field:\n"
           "  --mifare-card     a fresh card, UID 1A2B3C4D, every sector in delivery state\n"
           "  --demo-card       the demo card: sectors with other keys, a value block, text\n"
           "  --card-size SIZE  1k or 4k (default) for --mifare-card and --demo-card, and\n"
           "                    for the queue's MIFARE cards whose line gives no size\n"
           "  --card-dump FILE  a card from a text dump: \"+Sector: N\" lines, each followed\n"
           "                    by a line of 32 hex digits per block; # comments; 16 sectors\n"
           "                    make a 1K card, 40 a 4K card\n"
           "  --remove-card-after N  take the card away after N more commands\n"
           "  --no-card-silent  without a card, block commands get no answer (default:\n"
           "                    status 02)\n"
           "  --card-queue FILE a box of cards, one after the other, a line each:\n"
           "                    \"em NUMBER [ON_MS [GAP_MS]]\" (NUMBER: the card's 1 to 16\n"
           "                    hexadecimal digits, as read-card shows them) or\n"
           "                    \"mifare UID [1k|4k] [ON_MS [GAP_MS]]\" (a fresh card, a UID\n"
           "                    of 8 or 14 hexadecimal digits); each lies on the reader\n"
           "                    ON_MS (1000), the field empty GAP_MS (500) before it, in\n"
           "                    whole milliseconds up to 86400000; # comments\n"
           "settings the reader starts with (as its read commands answer them):\n"
           "  --interface MWR   interface, Wiegand and RS-485 digits (default 001)\n"
           "  --card-type D     card type digit (default 0)\n"
           "  --key-number NN   key number (default 04)\n"
           "  --key-parity D    key parity digit (default 0)\n"
           "  --key-status NNDD key status and delay time (default 0003)\n"
           "  --id-location HEX sector, block, byte, key type and key-error pairs\n"
           "                    (default 0000000001)\n"
           "try the tools without a reader:\n"
           "  --demo            the demo reader (any type, 19200,e,8,1, settings 011, 1, 08,\n"
           "                    1, 0310, cards by the clock, the demo card) on COM3 in a\n"
           "                    private folder, with settings and backups of its own there;\n"
           "                    prints how to point tesmora-cli and tesmora at it and runs\n"
           "                    until interrupted; other options still apply\n"
           "  --run COMMAND [ARGS...]  with --demo: run COMMAND pointed at the demo (as the\n"
           "                    printed commands are), then stop; exits with COMMAND's\n"
           "                    exit status\n";
}

bool ToInt(const std::string& s, int lo, int hi, int* out)
{
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 9)
        return false;
    const int v = std::stoi(s);
    if (v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

// A file's whole text; none when it cannot be read (a folder neither) or is larger than
// 16 MiB: a box of cards or a dump is far smaller, and /dev/zero must not fill the memory.
std::optional<std::string> ReadText(const std::string& path, std::string* why)
{
    constexpr size_t kMax = 16 << 20;
    *why = "cannot read it";
    std::ifstream in(path, std::ios::binary);
    std::string text;
    char chunk[1 << 16];
    while (in && text.size() <= kMax) {
        in.read(chunk, sizeof chunk);
        text.append(chunk, static_cast<size_t>(in.gcount()));
    }
    if (text.size() > kMax)
        *why = "larger than 16 MiB";
    if (in.bad() || !in.eof() || text.size() > kMax)
        return std::nullopt;
    return text;
}

bool Digits(const std::string& s, size_t n)
{
    return s.size() == n && s.find_first_not_of("0123456789") == std::string::npos;
}

// A folder of this user's alone, emptied of what an earlier run left.
bool MakeEmptyPrivateDir(const std::string& dir)
{
    std::error_code error;
    std::filesystem::remove_all(dir, error);
    return !error && ::mkdir(dir.c_str(), 0700) == 0;
}

std::string SelfPath()
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.string();
}

int Fail(const std::string& message)
{
    std::cerr << "tesmora-reader-emulator: " << message << "\n";
    return 2;
}

// Runs the command in the demo's environment and waits for it. A stop signal sent to this
// process is passed on; one from the terminal reached the command too, as it shares the
// process group. The command's exit status, 128 + signal if a signal ended it.
int RunCommand(const std::vector<std::string>& command, const emu::DemoEnvironment& env,
               const sigset_t& waitFor)
{
    for (const auto& [name, value] : env)
        ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    for (const std::string& a : command)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &waitFor);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int err = ::posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (err != 0) {
        std::cerr << "tesmora-reader-emulator: cannot run " << command[0] << ": "
                  << std::strerror(err) << "\n";
        return 127;
    }
    int status = 0;
    for (;;) {
        siginfo_t info{};
        if (::sigwaitinfo(&waitFor, &info) < 0)
            continue;
        if (info.si_signo != SIGCHLD) {
            if (info.si_code <= 0) // from kill(), not from the terminal
                ::kill(pid, info.si_signo);
            continue;
        }
        if (::waitpid(pid, &status, WNOHANG) == pid)
            break;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void PrintDemo(const std::string& portDir, int com, const emu::ReaderModel& m,
               const emu::DemoEnvironment& env, const std::string& keyFile)
{
    std::string assign;
    for (const auto& [name, value] : env)
        assign += name + "=" + emu::ShellQuote(value) + " ";
    const std::string port = " --port " + std::to_string(com) + " --type 4";
    const std::optional<emu::MifareCard>& card = m.mifare.card;
    const bool k1 = card && card->Size() == emu::MifareSize::k1K;
    std::cout << "A demo reader is on COM" << com << ": any reader type, " << m.baud << ",e,8,1";
    if (card)
        std::cout << ",\na MIFARE Classic " << (k1 ? "1K" : "4K") << " card in its field";
    std::cout << ".\nIts port folder: " << portDir
              << "\n\nPoint the command-line tool or the window at it (settings and backups stay"
                 "\nin the demo's folder):\n"
              << "  " << assign << "tesmora-cli scan" << port << "\n"
              << "  " << assign << "tesmora-cli read-card" << port << " --count 3\n";
    if (card)
        std::cout << "  " << assign << "tesmora-cli mifare dump" << port << " --keys "
                  << emu::ShellQuote(keyFile) << " --output demo-card.mct\n";
    std::cout << "  " << assign << "tesmora\n\n"
              << "Press Ctrl-C to stop the reader; the link and the folder are removed then.\n"
              << std::flush;
}

} // namespace

int main(int argc, char** argv)
{
    // --demo sets the reader up first, so that the options given with it change the demo's.
    bool demo = false;
    for (int i = 1; i < argc && std::string(argv[i]) != "--run"; ++i)
        demo = demo || std::string(argv[i]) == "--demo";
    emu::ReaderModel model = demo ? emu::DemoReaderModel() : emu::ReaderModel();
    emu::Options options;
    int com = 3;
    std::string portDir;
    if (const char* env = std::getenv("TESMORA_PORT_DIR"))
        portDir = env;
    bool portDirGiven = false;
    std::string card = demo ? "" : "none"; // --mifare-card, --demo-card or --card-dump
    std::string dumpFile;
    std::optional<emu::MifareSize> size;
    std::vector<std::string> queueFiles; // read once every option is known (--card-size)
    bool demoCards = false;
    int removeAfter = -1;
    std::vector<std::string> run;
    std::string traceFile;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        auto value = [&]() { return std::string(argv[++i]); };
        auto chooseCard = [&](const std::string& kind) {
            if (card != "" && card != "none")
                return false;
            card = kind;
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            Usage(std::cout);
            return 0;
        } else if (arg == "--version" && (!hasValue || argv[i + 1][0] == '-')) {
            std::cout << "tesmora-reader-emulator " TESMORA_VERSION "\n";
            return 0;
        } else if (arg == "--demo") {
        } else if (arg == "--run") {
            run.assign(argv + i + 1, argv + argc);
            if (run.empty())
                return Fail("--run takes a command");
            break;
        } else if (arg == "--any-prefix") {
            model.anyPrefix = true;
        } else if (arg == "--demo-cards") {
            model.cards.demo = demoCards = true;
        } else if (arg == "--fast") {
            options.fast = true;
        } else if (arg == "--mifare-card" || arg == "--demo-card") {
            if (!chooseCard(arg))
                return Fail("give one card: --mifare-card, --demo-card or --card-dump");
        } else if (arg == "--no-card-silent") {
            model.mifare.noCardSilent = true;
        } else if (arg == "--answer-unknown") {
            model.answerUnknown = true;
        } else if (arg == "--strict-id") {
            model.strictId = true;
        } else if (!hasValue) {
            Usage(std::cerr);
            return Fail("unknown option or missing value: " + arg);
        } else if (arg == "--type") {
            int type = 0;
            if (!ToInt(value(), 1, 8, &type))
                return Fail("--type takes 1 to 8");
            model.prefix = "AHAHJIJI"[type - 1];
        } else if (arg == "--prefix") {
            const std::string p = value();
            if (p.size() != 1)
                return Fail("--prefix takes one letter");
            model.prefix = p[0];
        } else if (arg == "--id") {
            model.id = value();
            if (model.id.size() != 2)
                return Fail("--id takes two characters");
        } else if (arg == "--serial") {
            model.serial = value();
        } else if (arg == "--version") {
            model.version = value();
        } else if (arg == "--mode") {
            const std::string mode = value();
            if (!ToInt(mode.substr(0, mode.find(',')), 1, 4000000, &model.baud))
                return Fail("--mode takes a line setting such as 19200,e,8,1");
        } else if (arg == "--com") {
            if (!ToInt(value(), 1, 99, &com))
                return Fail("--com takes 1 to 99");
        } else if (arg == "--port-dir") {
            portDir = value();
            portDirGiven = true;
        } else if (arg == "--interface") {
            const std::string v = value();
            if (!Digits(v, 3))
                return Fail("--interface takes three digits");
            model.interfaceMode = v.substr(0, 1);
            model.wiegand = v.substr(1, 1);
            model.rs485 = v.substr(2, 1);
        } else if (arg == "--card-type") {
            model.cardType = value();
            if (!Digits(model.cardType, 1))
                return Fail("--card-type takes one digit");
        } else if (arg == "--key-number") {
            model.keyNumber = value();
            if (!Digits(model.keyNumber, 2))
                return Fail("--key-number takes two digits");
        } else if (arg == "--key-parity") {
            model.keyParity = value();
            if (!Digits(model.keyParity, 1))
                return Fail("--key-parity takes one digit");
        } else if (arg == "--key-status") {
            const std::string v = value();
            if (!Digits(v, 4))
                return Fail("--key-status takes four digits");
            model.keyStatus = v.substr(0, 2);
            model.keyDelay = v.substr(2, 2);
        } else if (arg == "--id-location") {
            const std::string v = value();
            if (v.size() != 10 || v.find_first_not_of("0123456789ABCDEF") != std::string::npos)
                return Fail("--id-location takes ten upper-case hexadecimal digits");
            model.idSector = v.substr(0, 2);
            model.idBlock = v.substr(2, 2);
            model.idByte = v.substr(4, 2);
            model.idKeyType = v.substr(6, 2);
            model.idKeyErr = v.substr(8, 2);
        } else if (arg == "--turnaround") {
            if (!ToInt(value(), 0, 10000, &options.turnaroundMs))
                return Fail("--turnaround takes milliseconds");
        } else if (arg == "--error-command") {
            model.errorCommands.insert(value());
        } else if (arg == "--silent-command") {
            model.silentCommands.insert(value());
        } else if (arg == "--trace") {
            traceFile = value();
        } else if (arg == "--card-size") {
            const std::string v = value();
            if (v != "1k" && v != "1K" && v != "4k" && v != "4K")
                return Fail("--card-size takes 1k or 4k");
            size = v[0] == '1' ? emu::MifareSize::k1K : emu::MifareSize::k4K;
        } else if (arg == "--card-dump") {
            dumpFile = value();
            if (!chooseCard(arg))
                return Fail("give one card: --mifare-card, --demo-card or --card-dump");
        } else if (arg == "--card-queue") {
            queueFiles.push_back(value());
        } else if (arg == "--remove-card-after") {
            if (!ToInt(value(), 0, 1000000000, &removeAfter))
                return Fail("--remove-card-after takes a number of commands");
        } else {
            Usage(std::cerr);
            return Fail("unknown option: " + arg);
        }
    }
    if (card.empty())
        card = "--demo-card";
    if (!run.empty() && !demo)
        return Fail("--run goes with --demo");
    if (demo && portDirGiven)
        return Fail("--demo makes its own port folder; leave out --port-dir");
    if (size && card != "--mifare-card" && card != "--demo-card" && queueFiles.empty())
        return Fail("--card-size goes with --mifare-card, --demo-card or --card-queue (a dump "
                    "has its size)");
    if (demoCards && !queueFiles.empty())
        return Fail("give one: --demo-cards or --card-queue");
    const emu::MifareSize cardSize = size.value_or(emu::MifareSize::k4K);
    for (const std::string& file : queueFiles) {
        std::string error;
        const std::optional<std::string> text = ReadText(file, &error);
        if (!text)
            return Fail("--card-queue " + file + ": " + error);
        if (!emu::ParseCardQueue(*text, &model.queue, &error, cardSize))
            return Fail("--card-queue " + file + ": " + error);
        model.cards.demo = false; // the demo's cards by the clock would hide the queue's
    }
    if (removeAfter >= 0 && card == "none")
        return Fail("--remove-card-after needs a card in the field");
    if (card == "--mifare-card")
        model.mifare.card = emu::MifareCard(cardSize);
    if (card == "--demo-card")
        model.mifare.card = emu::DemoCard(cardSize);
    if (card == "--card-dump") {
        std::string error;
        const std::optional<std::string> text = ReadText(dumpFile, &error);
        if (!text)
            return Fail("--card-dump " + dumpFile + ": " + error);
        model.mifare.card = emu::ParseCardDump(*text, &error);
        if (!model.mifare.card)
            return Fail("--card-dump " + dumpFile + ": " + error);
    }
    model.mifare.removeCardAfter = removeAfter;

    bool madeDir = false;
    emu::DemoEnvironment demoEnv;
    if (demo) {
        portDir = emu::DemoPortDir();
        std::string error;
        if (!emu::MakePrivateDir(portDir, &madeDir, &error))
            return Fail(error);
        // A link whose pty is still there belongs to a demo that is running.
        const std::string link = portDir + "/COM" + std::to_string(com);
        struct stat st
        {
        };
        if (::stat(link.c_str(), &st) == 0)
            return Fail(link + " is in use (another demo?); stop it, or give --com N");
        // Left by a demo that was killed: each demo starts from empty settings.
        demoEnv = emu::DemoEnvironmentFor(portDir, com);
        for (const auto& [name, dir] : demoEnv)
            if (name != "TESMORA_PORT_DIR" && !MakeEmptyPrivateDir(dir))
                return Fail("cannot make " + dir);
    }
    if (portDir.empty())
        return Fail("no port directory: give --port-dir or set TESMORA_PORT_DIR");

    // Block the stop signals (and, for --run, the command's end) before the emulator's thread
    // starts, so that it inherits the mask and only the waits below see them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    sigset_t waitFor = stop;
    sigaddset(&waitFor, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &waitFor, nullptr);

    int status = 0;
    emu::ReaderEmulator reader(model, options);
    reader.SetTraceFile(traceFile);
    if (!reader.Start(portDir, com)) {
        status = Fail("cannot start: " + reader.LastError());
    } else if (!run.empty()) {
        status = RunCommand(run, demoEnv, waitFor);
    } else {
        if (demo)
            PrintDemo(portDir, com, model, demoEnv, emu::DemoKeyFile(SelfPath()));
        else
            std::cout << "COM" << com << " -> " << reader.SlavePath() << " in " << portDir
                      << std::endl;
        int sig = 0;
        sigwait(&stop, &sig);
    }
    reader.Stop();
    std::error_code ignored;
    for (const auto& [name, dir] : demoEnv)
        if (name != "TESMORA_PORT_DIR")
            std::filesystem::remove_all(dir, ignored);
    // Also a folder found there: empty, it served only this demo; else another still runs.
    if (demo && ::rmdir(portDir.c_str()) != 0 && madeDir)
        std::cerr << "tesmora-reader-emulator: left " << portDir << ": " << std::strerror(errno)
                  << "\n";
    return status;
}

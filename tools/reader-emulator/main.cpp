// tesmora-reader-emulator: an emulated reader on a pty, linked as COMn in a port directory.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include <pthread.h>

#include "readeremulator.h"

namespace {

void Usage(std::ostream& out)
{
    out << "usage: tesmora-reader-emulator [options]\n"
           "  --type N          reader type 1..8 (sets the prefix letter)\n"
           "  --prefix LETTER   prefix letter the reader answers to (default A)\n"
           "  --any-prefix      answer to every type's letter (A, H, J, I)\n"
           "  --demo-cards      present cards and keypad keys by the clock, to F and I\n"
           "  --id ID           two-character reader ID (default 01)\n"
           "  --serial TEXT     8-character serial number (default 12345678)\n"
           "  --version TEXT    8-character version (default 05.00-01)\n"
           "  --mode MODE       line setting, e.g. 19200,e,8,1; only the baud rate is compared\n"
           "  --com N           COM number of the link (default 3)\n"
           "  --port-dir DIR    directory for the link (default: $TESMORA_PORT_DIR)\n"
           "  --fast            no wire timing\n"
           "  --mifare-card     a fresh MIFARE Classic 4K card, UID 1A2B3C4D, on the reader\n"
           "  --turnaround MS   reader turnaround in ms (default 3)\n"
           "  --answer-unknown  answer unknown commands with status 01 instead of silence\n"
           "  --strict-id       a new ID takes effect at once (default: old and new ID\n"
           "                    until the reader restarts)\n"
           "settings the reader starts with (as its read commands answer them):\n"
           "  --interface MWR   interface, Wiegand and RS-485 digits (default 001)\n"
           "  --card-type D     card type digit (default 0)\n"
           "  --key-number NN   key number (default 04)\n"
           "  --key-parity D    key parity digit (default 0)\n"
           "  --key-status NNDD key status and delay time (default 0003)\n"
           "  --id-location HEX sector, block, byte, key type and key-error pairs\n"
           "                    (default 0000000001)\n";
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

bool Digits(const std::string& s, size_t n)
{
    return s.size() == n && s.find_first_not_of("0123456789") == std::string::npos;
}

int Fail(const std::string& message)
{
    std::cerr << "tesmora-reader-emulator: " << message << "\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    emu::ReaderModel model;
    emu::Options options;
    int com = 3;
    std::string portDir;
    if (const char* env = std::getenv("TESMORA_PORT_DIR"))
        portDir = env;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        auto value = [&]() { return std::string(argv[++i]); };
        if (arg == "--help" || arg == "-h") {
            Usage(std::cout);
            return 0;
        } else if (arg == "--any-prefix") {
            model.anyPrefix = true;
        } else if (arg == "--demo-cards") {
            model.cards.demo = true;
        } else if (arg == "--fast") {
            options.fast = true;
        } else if (arg == "--mifare-card") {
            model.mifare.card = emu::MifareCard();
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
        } else {
            Usage(std::cerr);
            return Fail("unknown option: " + arg);
        }
    }
    if (portDir.empty())
        return Fail("no port directory: give --port-dir or set TESMORA_PORT_DIR");

    // Block the stop signals before the emulator's thread starts, so that it inherits the
    // mask and only sigwait below sees them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    emu::ReaderEmulator reader(model, options);
    if (!reader.Start(portDir, com))
        return Fail("cannot start: " + reader.LastError());
    std::cout << "COM" << com << " -> " << reader.SlavePath() << " in " << portDir << std::endl;

    int sig = 0;
    sigwait(&stop, &sig);
    reader.Stop();
    return 0;
}

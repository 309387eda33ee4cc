#include "demo.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace emu {

ReaderModel DemoReaderModel()
{
    ReaderModel m;
    m.anyPrefix = true;
    m.baud = 19200;
    m.answerUnknown = true;
    m.cards.demo = true;
    m.interfaceMode = "0";
    m.wiegand = "1";
    m.rs485 = "1";
    m.cardType = "1";
    m.keyNumber = "08";
    m.keyParity = "1";
    m.keyStatus = "03";
    m.keyDelay = "10";
    return m;
}

DemoEnvironment DemoEnvironmentFor(const std::string& portDir, int com)
{
    const std::string own = portDir + "/COM" + std::to_string(com);
    return {{"TESMORA_PORT_DIR", portDir},
            {"TESMORA_SETTINGS_DIR", own + "-settings"},
            {"XDG_STATE_HOME", own + "-state"}};
}

std::string DemoKeyFile(const std::string& executable)
{
    const std::string dir = executable.substr(0, executable.rfind('/') + 1);
    for (const std::string& path :
         {dir + "../share/tesmora-reader-emulator/demo-keys.txt", dir + "demo-keys.txt"}) {
        struct stat st
        {
        };
        if (!executable.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            char* real = ::realpath(path.c_str(), nullptr);
            const std::string found = real ? real : path;
            std::free(real);
            return found;
        }
    }
    return TESMORA_DEMO_KEYS;
}

std::string DemoPortDir()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/tesmora-demo";
    return "/tmp/tesmora-demo-" + std::to_string(::getuid());
}

bool MakePrivateDir(const std::string& dir, bool* made, std::string* error)
{
    *made = ::mkdir(dir.c_str(), 0700) == 0;
    if (!*made && errno != EEXIST) {
        *error = "cannot make " + dir + ": " + std::strerror(errno);
        return false;
    }
    struct stat st
    {
    };
    // lstat: a link named like the folder could lead anywhere.
    if (::lstat(dir.c_str(), &st) != 0) {
        *error = "cannot look at " + dir + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
        *error = dir + " exists and is not a folder of this user's";
        return false;
    }
    // A umask may have taken the owner's bits; one of ours made open to others stays refused.
    if (*made && ::chmod(dir.c_str(), 0700) != 0) {
        *error = "cannot make " + dir + " private: " + std::strerror(errno);
        ::rmdir(dir.c_str());
        *made = false;
        return false;
    }
    if (!*made && (st.st_mode & 077) != 0) {
        *error = dir + " exists and others may enter it";
        return false;
    }
    return true;
}

std::string ShellQuote(const std::string& word)
{
    if (!word.empty() &&
        word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                               "_-./+,:@%=") == std::string::npos)
        return word;
    std::string q = "'";
    for (char c : word)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

} // namespace emu

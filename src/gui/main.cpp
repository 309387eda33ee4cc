#include "application.h"
#include "frmmodule.h"
#include "stopsignals.h"
#include "store/settings.h"

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] =
    "Usage: tesmora [--help | --version]\n"
    "Configure and test RFID card readers on a serial line.\n"
    "\n"
    "  --help     show this text and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Without these the window opens; other arguments go to Qt (-platform, -style).\n"
    "COMn is given a device by the [Ports] group of the settings file\n"
    "(COM5=/dev/serial/by-id/...), else by TESMORA_PORT_DIR, else the usual table.\n"
    "TESMORA_SETTINGS_DIR keeps the settings in another folder. See tesmora(1).\n";

const char kVersion[] = "tesmora " TESMORA_VERSION "\n";

struct InfoOption
{
    const char* name;
    const char* text;
};

constexpr InfoOption kInfoOptions[] = {
    {"--help", kUsage},
    {"-h", kUsage},
    {"--version", kVersion},
};

} // namespace

int main(int argc, char* argv[])
{
    // Answered before the application object exists, which needs a display.
    for (int i = 1; i < argc; ++i)
        for (const InfoOption& o : kInfoOptions)
            if (std::strcmp(argv[i], o.name) == 0) {
                std::fputs(o.text, stdout);
                return 0;
            }
    UseSettingsDirFromEnvironment();
    int code = 0;
    {
        TApplication app(argc, argv);
        StopSignals::Catch();
        TfrmModule window;
        window.show();
        code = app.exec();
        // A signal ended it: the settings are kept as a close would keep them.
        if (StopSignals::Received() != 0)
            window.SaveScanSettings();
    }
    // The port is closed and restored by now; the process ends as the signal
    // would have ended it.
    if (const int signal = StopSignals::Received()) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    return code;
}

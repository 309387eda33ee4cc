#include "application.h"
#include "frmmodule.h"
#include "stopsignals.h"
#include "store/settings.h"

#include <QList>
#include <QString>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
    "(COM5=/dev/serial/by-id/..., as 'tesmora-cli ports --suggest' prints them),\n"
    "else by TESMORA_PORT_DIR, else the usual table.\n"
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

// Qt's platform plugin connects to the display while the application object is
// made; when it cannot, Qt aborts with advice to reinstall. Over that span a
// fatal message means no display: say so and exit 1. The plugin's warnings are
// held back meanwhile, and passed on if the start succeeds.
struct HeldMessage
{
    QtMsgType type;
    const char* category;
    QString text;
};
QList<HeldMessage> heldMessages;
QtMessageHandler laterHandler = nullptr;

void ExitWithoutDisplay()
{
    std::string where;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* value = std::getenv(name); value && *value)
            where += std::string(where.empty() ? "" : ", ") + name + '=' + value;
    std::fprintf(stderr,
                 "tesmora: no display found: %s.\n"
                 "The window needs a graphical session; tesmora-cli works without one "
                 "(tesmora-cli --help).\n",
                 where.empty() ? "neither DISPLAY nor WAYLAND_DISPLAY is set"
                               : ("cannot connect to " + where).c_str());
    std::fflush(nullptr);
    std::_Exit(1);
}

void StartupMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtFatalMsg)
        ExitWithoutDisplay();
    heldMessages.append({type, context.category, text});
}

void BeginStartup()
{
    laterHandler = qInstallMessageHandler(StartupMessageHandler);
}

void EndStartup()
{
    qInstallMessageHandler(laterHandler);
    for (const HeldMessage& m : heldMessages)
        laterHandler(m.type, QMessageLogContext(nullptr, 0, nullptr, m.category), m.text);
    heldMessages.clear();
}

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
        BeginStartup();
        TApplication app(argc, argv);
        EndStartup();
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

#pragma once

// What every verb shares: its table entry, the parsed command line it runs
// on, and the port, line setting and type it addresses.

#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "link/link.h"
#include "link/portwatch.h"
#include "link/traffichistory.h"
#include "mifare/blocks.h"
#include "output.h"
#include "store/settings.h"

namespace cli {

using link::Addressee;

// A usage error: reported, exit 2, nothing sent.
struct UsageError
{
    QString message;
};

struct Context;
using VerbRun = int (*)(Context&);

struct Verb
{
    const char* name;     // "scan", "mifare read", ...
    const char* synopsis; // positional arguments
    const char* summary;
    // Every option it takes besides --json and --help: it accepts no other.
    std::vector<const char*> options;
    int positionals; // exactly this many
    VerbRun run;
    // Its --log is a file of its own (mifare issue: its list of cards), not the traffic.
    bool ownLog = false;
    // Ctrl-C, or a reader of its output that stopped, is how its run is meant to end: exit 0.
    bool endsByCtrlC = false;
};

struct Context
{
    QCommandLineParser& p;
    const Verb& verb;
    QStringList args; // the positional arguments after the verb
    Output& out;
    StoredSettings stored;
    // Every link's traffic goes here; it writes it out for -v and --log.
    link::TrafficHistory& history;
    // Why the reader did not accept it, where a verb knows better than the
    // last answer (the mode off after a refused block command, say).
    QString refusal = {};
    // Set by WithReader when the port was lost during the run: "the
    // connection to HOST:PORT was lost", not that the card went away.
    QString lost = {};

    QString Name() const { return QString::fromLatin1(verb.name); }

    // Whether the verb takes the option: one it does not take was refused when
    // the command line was read, so it is never set.
    bool Takes(const char* option) const
    {
        return std::any_of(verb.options.begin(), verb.options.end(),
                           [&](const char* o) { return qstrcmp(o, option) == 0; });
    }
    std::optional<int> Int(const char* option, int lo, int hi) const
    {
        if (!Flag(option))
            return std::nullopt;
        return Number(p.value(QString::fromLatin1(option)), QStringLiteral("--") + option, lo, hi);
    }
    // --port: a COM number 1-16, or a port URL (rfc2217://HOST:PORT,
    // tcp://HOST:PORT), which gets a number of its own (link::NumberForPort).
    std::optional<int> Port() const;
    int RequiredInt(const char* option, int lo, int hi) const
    {
        const auto v = Int(option, lo, hi);
        if (!v)
            throw UsageError{QStringLiteral("--%1 is required").arg(option)};
        return *v;
    }
    static int Number(const QString& text, const QString& what, int lo, int hi)
    {
        bool ok = false;
        const int v = text.toInt(&ok);
        if (!ok || v < lo || v > hi || text.trimmed() != text)
            throw UsageError{QStringLiteral("%1 takes %2 to %3, not \"%4\"")
                                 .arg(what)
                                 .arg(lo)
                                 .arg(hi)
                                 .arg(text)};
        return v;
    }
    QString Hex(const char* option, int digits) const
    {
        if (!Flag(option))
            throw UsageError{QStringLiteral("--%1 is required").arg(option)};
        const QString text = p.value(QString::fromLatin1(option)).toUpper();
        if (!mifare::HexDigits(text, digits))
            throw UsageError{QStringLiteral("--%1 takes %2 hexadecimal digits, not \"%3\"")
                                 .arg(option)
                                 .arg(digits)
                                 .arg(text)};
        return text;
    }
    bool Flag(const char* option) const
    {
        return Takes(option) && p.isSet(QString::fromLatin1(option));
    }
};

// "COM3", or the URL a number beyond COM16 stands for.
QString PortLabel(int port);
// The "port" of a JSON line: a COM number as a number, a URL given on its own as the URL.
QJsonValue PortJson(int port);
// A USB adapter's identity as JSON: the fields that are known.
QJsonObject UsbJson(const link::UsbIdentity& usb);

// The port, line setting and type an operation addresses.
struct Target
{
    int port = 0;
    int modeIndex = 0;
    QString mode;
    int type = 0; // 0-7
    QString prefix;
};

int ResolveType(const Context& c);
// The line setting: --mode, else the stored one.
std::pair<int, QString> ResolveMode(const Context& c);
Target ResolveTarget(const Context& c);
QString ReaderIdOption(const Context& c);
// A port whose server fixes the line setting (raw TCP) cannot take another:
// `what` ("set-baud", "the profile's line setting 9600,n,8,1") is refused
// before anything is sent, naming rfc2217:// as the way to change it. For
// `wantedIndex` -1 always, else when it differs from the line setting in use.
void RefuseFixedLineSetting(const Context& c, int port, int wantedIndex, const QString& what);
// Opens the target's port, learns the reader's ID unless given, runs the
// sequence and closes the port again. `command` false: the reader refused.
// A stop requested by a signal ends it with a line that says so.
int WithReader(Context& c, const std::function<bool(link::Link&, const Addressee&)>& command);
// Whether the reader has answered in this run: asked with an identify where
// --id spared the one WithReader sends. False, with the refusal set, where it
// did not: a run that makes a file makes it only once the reader answered.
bool ReaderAnswered(Context& c, link::Link& link, const Addressee& to);
// A set operation that prints only its success.
int Setting(Context& c, const std::function<bool(link::Link&, const Addressee&)>& command);
// The failure line of a run that a signal stopped.
int Interrupted(Context& c);

// --wait SECONDS: the devices watched from the start of the run, so that one
// plugged in meanwhile is not missed. Without the option it waits for nothing.
class Waiting
{
public:
    // `port`: the one port waited for; any COM number without it. A network
    // port cannot be waited for: a usage error.
    Waiting(const Context& c, std::optional<int> port);
    ~Waiting();
    // Waits for the next device plugged in, telling once on stderr what it
    // waits for: its COM number, 0 when none came in time.
    int Next(Context& c);

private:
    int port_;
    int seconds_;
    QDeadlineTimer deadline_;
    std::unique_ptr<link::PortWatcher> watcher_;
    bool told_ = false;
};

// COM numbers grouped by the device each leads to, each group ascending: two
// numbers of one device must not be probed at once, as each would take the
// other's answers, nor one reader set twice. The first of a group is used.
std::vector<std::vector<int>> DevicePorts(const std::vector<int>& ports);
// "COM3" or, for a device reached through several numbers, "COM3 (also COM7)".
QString PortsText(const std::vector<int>& ports);
// A device that is there but did not open: its failure line with the reason,
// and the port in JSON. False, with nothing said, when it opened or is missing.
bool ReportNotOpened(Context& c, const std::vector<int>& ports, link::OpenError error);

// The verbs, by group.
int Scan(Context& c);
int Ports(Context& c);
int Watch(Context& c);
int SetId(Context& c);
int SetBaud(Context& c);
int SetInterface(Context& c);
int SetCardType(Context& c);
int SetKeyParity(Context& c);
int SetKeyNumber(Context& c);
int SetKeyStatus(Context& c);
int FactoryDefault(Context& c);
int CommandTest(Context& c);
int ReadCard(Context& c);
int Enroll(Context& c);
int MifareIssue(Context& c);
int MifareEepromKey(Context& c);
int MifareIdLocation(Context& c);
int MifareRead(Context& c);
int MifareWrite(Context& c);
int MifareTrailer(Context& c);
int MifareDump(Context& c);
int MifareRestore(Context& c);
int MifareFormat(Context& c);
int MifareDiff(Context& c);
int MifareConvert(Context& c);
int ValueDecode(Context& c);
int ValueEncode(Context& c);
int AccessEncode(Context& c);
int AccessDecode(Context& c);
int ConfigRead(Context& c);
int ConfigApply(Context& c);
int ConfigDiff(Context& c);

} // namespace cli

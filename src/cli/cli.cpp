#include "cli.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <vector>

#include "link/modelist.h"
#include "link/payload.h"
#include "link/serialport.h"
#include "link/traffichistory.h"
#include "output.h"
#include "store/settings.h"
#include "traffic.h"
#include "verb.h"

namespace {

using namespace cli;

// --- options -------------------------------------------------------------------

struct OptionDef
{
    const char* name;
    const char* valueName; // nullptr: a flag
    const char* help;
};

const OptionDef kOptions[] = {
    {"port", "N", "COM number 1-16 (default: the stored port)"},
    {"mode", "IDX", "line setting 0-13, see tesmora-cli --help (default: the stored one)"},
    {"type", "N", "reader type 1-8 (default: the stored one)"},
    {"id", "NN", "the reader's ID (default: asked of the reader, as the scan does)"},
    {"json", nullptr, "one JSON object per line"},
    {"verbose", nullptr, "the traffic on stderr"},
    {"log", "FILE", "the traffic appended to FILE, one entry a line"},
    {"save", nullptr, "remember the port, line setting and type found"},
    {"lock", nullptr, "try only the stored or given line setting on each port"},
    {"all", nullptr, "every reader on every port, the ports probed at the same time"},
    {"two-way", nullptr, "two-way reading"},
    {"count", "N", "stop after N cards or keys"},
    {"seconds", "S", "stop after S seconds"},
    {"sector", "S", "sector 0-39"},
    {"block", "B", "block 0-3 of the sector"},
    {"byte", "N", "byte 0-31 of the block"},
    {"key-error", "IDX", "key error signal: 0 none, 1 LED, 2 beep, 3 beep and LED"},
    {"key", "HEX12", "the key, 12 hexadecimal digits"},
    {"use-key-b", nullptr, "the key is key B (default key A)"},
    {"data", "HEX32", "the block, 32 hexadecimal digits"},
    {"new-key-a", "HEX12", "the trailer's new key A"},
    {"new-key-b", "HEX12", "the trailer's new key B"},
    {"access", "HEX8", "the trailer's access bits, 8 hexadecimal digits"},
    {"output", "FILE", "write the profile to FILE instead of stdout"},
    {"check", nullptr, "report what would change; send no set command"},
    {"id-from", "NN", "consecutive reader IDs from NN, in port order"},
    {"help", nullptr, "this help"},
    {"version", nullptr, "the version"},
};

const std::vector<const char*> kCommonOptions = {"port", "mode",    "type", "id",
                                                 "json", "verbose", "log",  "help"};

QCommandLineOption MakeOption(const OptionDef& d)
{
    QStringList names{QString::fromLatin1(d.name)};
    if (QLatin1String(d.name) == QLatin1String("verbose"))
        names.prepend(QStringLiteral("v"));
    QCommandLineOption o(names, QString::fromLatin1(d.help));
    if (d.valueName)
        o.setValueName(QString::fromLatin1(d.valueName));
    return o;
}

const OptionDef& Def(const char* name)
{
    for (const OptionDef& d : kOptions)
        if (qstrcmp(d.name, name) == 0)
            return d;
    return kOptions[0];
}

// --- the verbs -----------------------------------------------------------------

const Verb kVerbs[] = {
    {"scan",
     "",
     "find a reader (the stored port first) and print its settings",
     {"lock", "save", "all"},
     0,
     Scan},
    {"set-id", "NN", "set the reader's ID (1-99)", {}, 1, SetId},
    {"set-baud", "IDX", "set the reader's line setting (0-13)", {"save"}, 1, SetBaud},
    {"set-interface",
     "MODE WIEGAND RS485",
     "set the output interface: MODE 0 Wiegand, 1 RS485; WIEGAND 0-2 (26, 34, 42); RS485 0-3 "
     "(24, 32, 40, 64)",
     {},
     3,
     SetInterface},
    {"set-card-type", "N", "set the card type: 0 EM, 1 VORAX, 2 SECURITY", {}, 1, SetCardType},
    {"set-key-parity",
     "N",
     "set the Wiegand key format: 0 no parity (4 bits), 1 with parity",
     {},
     1,
     SetKeyParity},
    {"set-key-number", "N", "set the key number (0-16)", {}, 1, SetKeyNumber},
    {"set-key-status",
     "N DELAY",
     "set the key status code (0-8) and its delay (0-99 s)",
     {},
     2,
     SetKeyStatus},
    {"factory-default", "", "return the reader to its factory settings", {}, 0, FactoryDefault},
    {"test",
     "TEXT",
     "send TEXT after the prefix and ID once; any valid answer passes",
     {},
     1,
     CommandTest},
    {"read-card",
     "",
     "print each card and key until the count, the time or Ctrl-C",
     {"two-way", "count", "seconds"},
     0,
     ReadCard},
    {"mifare eeprom-key",
     "",
     "store a sector key in the reader's EEPROM",
     {"sector", "key", "use-key-b"},
     0,
     MifareEepromKey},
    {"mifare id-location",
     "",
     "set where on the card the reader takes the card ID",
     {"sector", "block", "byte", "key-error", "use-key-b"},
     0,
     MifareIdLocation},
    {"mifare read",
     "",
     "read a block: its 32 hexadecimal digits",
     {"sector", "block", "key", "use-key-b"},
     0,
     MifareRead},
    {"mifare write",
     "",
     "write a block; a trailer block only if it is consistent",
     {"sector", "block", "key", "use-key-b", "data"},
     0,
     MifareWrite},
    {"mifare trailer",
     "",
     "write a sector trailer with new keys and access bits",
     {"sector", "key", "use-key-b", "new-key-a", "new-key-b", "access"},
     0,
     MifareTrailer},
    {"access-bits encode",
     "B0 B1 B2 T",
     "the access bits of four conditions C1C2C3 (blocks 0-2, trailer)",
     {},
     4,
     AccessEncode},
    {"access-bits decode",
     "HEX8",
     "the four conditions of access bits, in words",
     {},
     1,
     AccessDecode},
    {"ports", "", "each COM number, its device and whether it can be opened", {}, 0, Ports},
    {"config read",
     "",
     "the reader's settings as a profile (JSON)",
     {"output", "lock"},
     0,
     ConfigRead},
    {"config apply",
     "FILE",
     "set what differs from the profile FILE, back up the old settings, verify",
     {"all", "check", "id-from", "lock"},
     1,
     ConfigApply},
    {"config diff",
     "FILE",
     "compare the reader with the profile FILE; exit 1 when they differ",
     {"all", "lock"},
     1,
     ConfigDiff},
};

bool NeedsSecondWord(const QString& word)
{
    return word == QLatin1String("mifare") || word == QLatin1String("access-bits") ||
           word == QLatin1String("config");
}

const Verb* FindVerb(const QString& name)
{
    for (const Verb& v : kVerbs)
        if (name == QLatin1String(v.name))
            return &v;
    return nullptr;
}

QString ToolHelp()
{
    QString h = QStringLiteral("Usage: tesmora-cli [options] VERB [arguments]\n"
                               "Every reader operation of Tesmora from a shell.\n\nVerbs:\n");
    for (const Verb& v : kVerbs)
        h += QStringLiteral("  %1 %2\n      %3\n")
                 .arg(QLatin1String(v.name), QLatin1String(v.synopsis), QLatin1String(v.summary));
    h += QStringLiteral("\nOptions of every verb:\n");
    for (const char* o : kCommonOptions)
        h += QStringLiteral("  --%1 %2\n      %3\n")
                 .arg(QLatin1String(o), QLatin1String(Def(o).valueName ? Def(o).valueName : ""),
                      QLatin1String(Def(o).help));
    h += QStringLiteral("  --version\n      the version\n\nLine settings:");
    for (int i = 0; i < kModeCount; ++i)
        h += QStringLiteral(" %1 %2%3")
                 .arg(i)
                 .arg(link::PayloadText(std::string(kModeList[size_t(i)])))
                 .arg(i + 1 < kModeCount ? "," : "");
    h += QStringLiteral(
        "\n\nExit codes: 0 done; 1 the reader refused, did not answer or answered wrongly, or no "
        "reader was found; 2 usage error, nothing sent; 3 the port could not be opened.\n"
        "'tesmora-cli VERB --help' describes a verb.\n");
    return h;
}

} // namespace

int RunCli(int argc, char** argv)
{
    using namespace cli;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tesmora-cli"));
    Output out;
    QStringList args = QCoreApplication::arguments();

    // First pass with every option, to find the verb.
    QCommandLineParser all;
    for (const OptionDef& d : kOptions)
        all.addOption(MakeOption(d));
    if (!all.parse(args)) {
        out.Failure(QStringLiteral("usage"), all.errorText());
        return kExitUsage;
    }
    out.json = all.isSet(QStringLiteral("json"));
    QStringList positional = all.positionalArguments();
    if (all.isSet(QStringLiteral("version"))) {
        std::printf("tesmora-cli %s\n", TESMORA_VERSION);
        return kExitOk;
    }
    if (positional.isEmpty()) {
        if (all.isSet(QStringLiteral("help"))) {
            std::fputs(ToolHelp().toUtf8().constData(), stdout);
            return kExitOk;
        }
        out.Failure(QStringLiteral("usage"), QStringLiteral("no verb; see tesmora-cli --help"));
        return kExitUsage;
    }
    QString name = positional.takeFirst();
    if (NeedsSecondWord(name) && !positional.isEmpty())
        name += QLatin1Char(' ') + positional.takeFirst();
    const Verb* verb = FindVerb(name);
    if (!verb && all.isSet(QStringLiteral("help"))) {
        std::fputs(ToolHelp().toUtf8().constData(), stdout);
        return kExitOk;
    }
    if (!verb) {
        out.Failure(QStringLiteral("usage"),
                    QStringLiteral("unknown verb \"%1\"; see tesmora-cli --help").arg(name));
        return kExitUsage;
    }

    // Second pass with the verb's own options only.
    QCommandLineParser p;
    p.setApplicationDescription(QLatin1String(verb->summary));
    for (const char* o : kCommonOptions)
        p.addOption(MakeOption(Def(o)));
    for (const char* o : verb->options)
        p.addOption(MakeOption(Def(o)));
    p.addPositionalArgument(QLatin1String(verb->name), QStringLiteral("the verb"));
    if (*verb->synopsis)
        p.addPositionalArgument(QLatin1String(verb->synopsis), QStringLiteral("its arguments"));
    if (!p.parse(args)) {
        out.Failure(name, p.errorText());
        return kExitUsage;
    }
    if (p.isSet(QStringLiteral("help"))) {
        std::fputs(p.helpText().toUtf8().constData(), stdout);
        return kExitOk;
    }
    if (positional.size() != verb->positionals) {
        out.Failure(name, QStringLiteral("takes %1 argument(s): %2")
                              .arg(verb->positionals)
                              .arg(QLatin1String(verb->synopsis)));
        return kExitUsage;
    }
    UseSettingsDirFromEnvironment();
    // The entries are written out as they come; none need be kept.
    link::TrafficHistory history(1);
    history.SetOperation(name);
    QFile log(p.value(QStringLiteral("log")));
    if (p.isSet(QStringLiteral("log")) && !log.open(QIODevice::WriteOnly | QIODevice::Append)) {
        out.Failure(name, QStringLiteral("cannot write the log %1").arg(log.fileName()),
                    log.errorString());
        return kExitUsage;
    }
    TrafficPrinter printer(out, p.isSet(QStringLiteral("verbose")), log);
    if (printer.Wanted())
        history.SetListener([&](const link::TrafficEntry& e) { printer.Print(e); });
    Context c{p, *verb, positional, out, {}, history};
    LoadStoredSettings(c.stored);
    // The same COM numbers as the window: the store's Ports group first.
    link::SetPortMap(LoadStoredPortMap());
    try {
        return verb->run(c);
    } catch (const UsageError& e) {
        out.Failure(name, e.message);
        return kExitUsage;
    }
}

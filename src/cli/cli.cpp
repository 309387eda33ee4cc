#include "cli.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>

#include <atomic>
#include <csignal>
#include <cstdio>

#include <unistd.h>

#include "help.h"
#include "link/interrupt.h"
#include "link/traffichistory.h"
#include "output.h"
#include "store/settings.h"
#include "table.h"
#include "traffic.h"
#include "verb.h"

namespace {

using namespace cli;

// Every signal that would end the process without a word: each asks the links
// to stop, so that what runs ends, its guards restore and close the port, and
// the tool then ends as the signal would have ended it. SIGPIPE is caught too:
// a write to a closed pipe then fails, and the run ends the same way.
using link::kStopSignals;

void OnStopSignal(int signal)
{
    link::RequestStop(signal);
}

void CatchStopSignals()
{
    struct sigaction action
    {
    };
    action.sa_handler = OnStopSignal; // no SA_RESTART: a wait ends at once
    sigemptyset(&action.sa_mask);
    for (int signal : kStopSignals)
        sigaction(signal, &action, nullptr);
}

// Ends the process as the signal that stopped it would have: the port is
// closed by now, since every link of the run has gone.
[[noreturn]] void EndBySignal(int signal)
{
    std::fflush(stdout);
    std::fflush(stderr);
    struct sigaction action
    {
    };
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
    std::_Exit(128 + signal);
}

// A log that cannot be written is a usage error before anything is sent, but
// the file is made only when the first entry comes: a run refused for its
// arguments leaves nothing behind.
bool LogWritable(const QString& path)
{
    const QFileInfo info(path);
    if (info.exists())
        return info.isFile() && info.isWritable();
    const QFileInfo folder(info.absolutePath());
    return folder.isDir() && folder.isWritable();
}

int Usage(Output& out, const QString& verb, const QString& message)
{
    out.Failure(verb, message);
    return kExitUsage;
}

// The verb named by the first words, the longest name that fits: "mifare read".
const Verb* TakeVerb(QStringList& words, QString& name)
{
    const Verb* found = nullptr;
    int taken = 0;
    for (int n = 1; n <= std::min<int>(3, int(words.size())); ++n) {
        const QString candidate = words.mid(0, n).join(QLatin1Char(' '));
        if (const Verb* v = FindVerb(candidate)) {
            found = v;
            taken = n;
        }
        if (!found)
            name = candidate;
    }
    if (found) {
        name = QLatin1String(found->name);
        words.remove(0, taken);
    }
    return found;
}

// The longest group named by the first words: "mifare".
QString GroupOf(const QStringList& words)
{
    QString group;
    for (int n = 1; n <= std::min<int>(2, int(words.size())); ++n)
        if (const QString candidate = words.mid(0, n).join(QLatin1Char(' ')); IsGroup(candidate))
            group = candidate;
    return group;
}

void Print(const QString& text)
{
    std::fputs(text.toUtf8().constData(), stdout);
}

// A negative number given as an argument ("-5") would read as the option "5":
// such words are hidden from the parser behind a character no one types, and
// given back among the positional arguments. No option is named by a digit,
// and an option's value is left as written.
constexpr char16_t kMinus = 0xE000;

QStringList HideNegativeNumbers(QStringList args)
{
    static const QRegularExpression kNumber(QStringLiteral("^-[0-9]+$"));
    for (qsizetype i = 1; i < args.size() && args[i] != QLatin1String("--"); ++i) {
        if (args[i].startsWith(QLatin1String("--"))) {
            const OptionDef* d = FindOption(args[i].mid(2).toLatin1().constData());
            i += d && d->valueName; // its value is the next word
        } else if (kNumber.match(args[i]).hasMatch()) {
            args[i][0] = QChar(kMinus);
        }
    }
    return args;
}

QStringList NegativeNumbersShown(QStringList words)
{
    for (QString& w : words)
        if (w.startsWith(QChar(kMinus)))
            w[0] = u'-';
    return words;
}

int Dispatch(Output& out, QString& verbName)
{
    const QStringList args = HideNegativeNumbers(QCoreApplication::arguments());
    // Known before anything is parsed, so that even a malformed command line
    // is answered in JSON when JSON was asked for.
    out.json = args.mid(1).contains(QStringLiteral("--json"));

    // First pass with every option, to find the verb.
    QCommandLineParser all;
    for (const OptionDef& d : Options())
        all.addOption(MakeOption(d));
    if (!all.parse(args))
        return Usage(out, QStringLiteral("usage"), all.errorText());
    QStringList positional = NegativeNumbersShown(all.positionalArguments());
    const bool help = all.isSet(QStringLiteral("help"));
    if (positional.isEmpty()) {
        if (all.isSet(QStringLiteral("version")) && !help) {
            std::printf("tesmora-cli %s\n", TESMORA_VERSION);
            return kExitOk;
        }
        if (help && out.json) {
            Print(QString::fromUtf8(QJsonDocument(HelpJson()).toJson(QJsonDocument::Compact)) +
                  '\n');
            return kExitOk;
        }
        if (help) {
            Print(ToolHelp(HelpWidth()));
            return kExitOk;
        }
        return Usage(out, QStringLiteral("usage"),
                     QStringLiteral("no verb; see tesmora-cli --help"));
    }
    QString name;
    const Verb* verb = TakeVerb(positional, name);
    if (!verb) {
        const QString group = GroupOf(positional);
        if (!group.isEmpty() && help) {
            Print(GroupHelp(group, HelpWidth()));
            return kExitOk;
        }
        if (!group.isEmpty()) {
            const int code = Usage(out, group,
                                   name == group ? QStringLiteral("which one? see below")
                                                 : QStringLiteral("unknown verb \"%1\"").arg(name));
            if (!out.json)
                std::fputs(GroupHelp(group, HelpWidth()).toUtf8().constData(), stderr);
            return code;
        }
        return Usage(out, QStringLiteral("usage"),
                     QStringLiteral("unknown verb \"%1\"; see tesmora-cli --help").arg(name));
    }

    verbName = name;
    // Second pass with the verb's own options only: any other is refused.
    QCommandLineParser p;
    for (const char* o : verb->options)
        p.addOption(MakeOption(*FindOption(o)));
    p.addOption(MakeOption(*FindOption("json")));
    p.addOption(MakeOption(*FindOption("help")));
    if (!p.parse(args))
        return Usage(out, name,
                     p.errorText() +
                         QStringLiteral(" See tesmora-cli %1 --help for what it takes.").arg(name));
    if (p.isSet(QStringLiteral("help"))) {
        Print(VerbHelp(*verb, HelpWidth()));
        return kExitOk;
    }
    if (positional.size() != verb->positionals)
        return Usage(out, name,
                     QStringLiteral("takes %1 argument(s)%2%3, not %4")
                         .arg(verb->positionals)
                         .arg(*verb->synopsis ? QStringLiteral(": ") : QString(),
                              QLatin1String(verb->synopsis))
                         .arg(positional.size()));
    // The entries are written out as they come; none need be kept.
    link::TrafficHistory history(1);
    history.SetOperation(name);
    Context c{p, *verb, positional, out, {}, history};
    const bool verbose = c.Flag("verbose");
    const QString logPath = !verb->ownLog && c.Flag("log") ? p.value(QStringLiteral("log")) : "";
    if (!logPath.isEmpty() && !LogWritable(logPath))
        return Usage(out, name, QStringLiteral("cannot write the log %1").arg(logPath));
    out.progress = !out.json && !verbose && !c.Flag("quiet") && ::isatty(STDERR_FILENO);

    UseSettingsDirFromEnvironment();
    TrafficPrinter printer(out, verbose, logPath);
    // What the link warns of is said once a run on stderr, -v or not; -v
    // and --log have it in their place among the traffic.
    std::atomic<bool> warned{false};
    history.SetListener([&](const link::TrafficEntry& e) {
        if (e.kind == link::TrafficEntry::Kind::Warning && !verbose && !warned.exchange(true))
            out.Warning(e.text);
        if (printer.Wanted())
            printer.Print(e);
    });
    LoadStoredSettings(c.stored);
    // The same COM numbers as the window: the store's Ports group first.
    ApplyStoredPortMap();
    int code;
    try {
        code = verb->run(c);
    } catch (const UsageError& e) {
        return Usage(out, name, e.message);
    }
    // Results that did not reach stdout are not a success.
    if (out.StdoutError() != 0) {
        out.StdoutLost(name);
        if (code == kExitOk)
            code = kExitReader;
    }
    return code;
}

} // namespace

int RunCli(int argc, char** argv)
{
    int code;
    QString verb;
    {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("tesmora-cli"));
        CatchStopSignals();
        Output out;
        code = Dispatch(out, verb);
    }
    const int signal = link::StopSignal();
    if (signal == 0)
        return code;
    const Verb* ended = FindVerb(verb);
    if (ended && ended->endsByCtrlC && (signal == SIGINT || signal == SIGPIPE))
        return kExitOk;
    EndBySignal(signal);
}

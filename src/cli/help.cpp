#include "help.h"

#include <cstring>

#include <QJsonObject>

#include <algorithm>
#include <utility>
#include <vector>

#include <sys/ioctl.h>
#include <unistd.h>

#include "link/modelist.h"
#include "table.h"

namespace cli {

namespace {

constexpr int kMinWidth = 30;
constexpr int kTermIndent = 2;
constexpr int kGap = 2;
constexpr int kMaxTermColumn = 26;
// Narrower than this beside the terms, descriptions go under them instead.
constexpr int kMinDescription = 30;
constexpr int kStackedIndent = 6;

using Rows = std::vector<std::pair<QString, QString>>;

// Joins two words that must stay on one line; printed as a space.
constexpr QChar kNoBreak(0x00A0);

// Terms and descriptions: side by side in two columns where they fit, a term
// too wide for its column on a line of its own.
QString Columns(const Rows& rows, int width, int indent = kTermIndent)
{
    int column = 0;
    for (const auto& [term, text] : rows)
        if (term.size() <= kMaxTermColumn)
            column = std::max(column, int(term.size()));
    const int descriptionAt = indent + column + kGap;
    const bool stacked = width - descriptionAt < kMinDescription;
    QString out;
    for (const auto& [term, text] : rows) {
        const QString head = QString(indent, ' ') + term;
        if (stacked || term.size() > column) {
            out += QString(indent, ' ') + Wrap(term, width, indent + 2, indent) + '\n';
            const int at = stacked ? indent + kStackedIndent - kTermIndent : descriptionAt;
            out += QString(at, ' ') + Wrap(text, width, at, at) + '\n';
        } else {
            out += head.leftJustified(descriptionAt) +
                   Wrap(text, width, descriptionAt, descriptionAt) + '\n';
        }
    }
    return out;
}

QString OptionTerm(const OptionDef& d)
{
    QString term =
        *d.shortName
            ? QStringLiteral("-%1, --%2").arg(QLatin1String(d.shortName), QLatin1String(d.name))
            : QStringLiteral("--%1").arg(QLatin1String(d.name));
    if (d.valueName)
        term += QLatin1Char(' ') + QLatin1String(d.valueName);
    return term;
}

// The options a verb takes, with --json and --help, which every verb takes.
std::vector<const OptionDef*> VerbOptions(const Verb& v)
{
    std::vector<const char*> names = v.options;
    names.push_back("json");
    names.push_back("help");
    std::vector<const OptionDef*> options;
    for (const char* name : names)
        if (const OptionDef* d = FindOption(name))
            options.push_back(d);
    return options;
}

// Where a verb gives a common option a meaning of its own.
struct OwnMeaning
{
    const char* verb;
    const char* option;
    const char* help;
};
constexpr OwnMeaning kOwnMeanings[] = {
    {"mifare issue", "log",
     "the list of cards issued, a CSV row each, appended and synced (an existing list is "
     "resumed); not the traffic"},
    {"mifare issue", "count", "stop after N cards issued"},
    {"enroll", "output",
     "required: the list, a CSV row per new card, appended and synced (an existing list is "
     "resumed)"},
    {"enroll", "count", "stop after N new cards"},
    {"watch", "count", "stop after N devices plugged in or out"},
};

const char* OwnHelp(const Verb& v, const OptionDef& d)
{
    for (const OwnMeaning& m : kOwnMeanings)
        if (std::strcmp(m.verb, v.name) == 0 && std::strcmp(m.option, d.name) == 0)
            return m.help;
    return nullptr;
}

QLatin1String HelpOf(const Verb& v, const OptionDef& d)
{
    const char* own = OwnHelp(v, d);
    return QLatin1String(own ? own : d.help);
}

Rows OptionRows(const Verb& v)
{
    Rows rows;
    for (const OptionDef* d : VerbOptions(v))
        rows.emplace_back(OptionTerm(*d), HelpOf(v, *d));
    return rows;
}

QString VerbTerm(const Verb& v)
{
    QString term = QLatin1String(v.name);
    if (*v.synopsis)
        term += QLatin1Char(' ') + QLatin1String(v.synopsis);
    return term;
}

QString Paragraph(const QString& text, int width)
{
    return Wrap(text, width, 0, 0) + '\n';
}

QString LineSettings()
{
    QStringList items;
    for (int i = 0; i < kModeCount; ++i)
        items << QStringLiteral("%1%2%3").arg(i).arg(kNoBreak).arg(
            QLatin1String(kModeList[size_t(i)]));
    return QStringLiteral("Line settings: ") + items.join(QStringLiteral(", ")) + '.';
}

const char kExitCodes[] =
    "Exit codes: 0 done; 1 the reader refused, did not answer or answered wrongly, or no reader "
    "was found; 2 usage error, nothing sent; 3 the port could not be opened. Stopped by a signal, "
    "the port is restored and closed first, then the tool ends as the signal ends it: 130 for "
    "Ctrl-C, 129 for a hang-up, 141 for a closed pipe, 143 for a termination; read-card ends "
    "with 0 after Ctrl-C or a closed pipe.";

} // namespace

int HelpWidth()
{
    winsize ws{};
    int width = 0;
    if (::isatty(STDOUT_FILENO) && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0)
        width = ws.ws_col;
    if (width <= 0)
        width = qEnvironmentVariableIntValue("COLUMNS");
    if (width <= 0)
        width = 80;
    return std::max(width, kMinWidth);
}

QString Wrap(const QString& text, int width, int indent, int first)
{
    QString out;
    int used = first;
    bool lineEmpty = true;
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!lineEmpty && used + 1 + word.size() > width) {
            out += '\n' + QString(indent, ' ');
            used = indent;
            lineEmpty = true;
        }
        if (!lineEmpty) {
            out += QLatin1Char(' ');
            ++used;
        }
        out += word;
        used += int(word.size());
        lineEmpty = false;
    }
    return out.replace(kNoBreak, QLatin1Char(' '));
}

QString ToolHelp(int width)
{
    Rows verbs;
    for (const Verb& v : Verbs())
        verbs.emplace_back(VerbTerm(v), QLatin1String(v.summary));
    QString h = Paragraph(QStringLiteral("Usage: tesmora-cli VERB [options] [arguments]"), width);
    h += Paragraph(QStringLiteral("Every reader operation of Tesmora from a shell, over the same "
                                  "core as the window; no display needed."),
                   width);
    h += QStringLiteral("\nVerbs:\n") + Columns(verbs, width);
    h += QStringLiteral("\nEvery verb takes:\n") +
         Columns({{QStringLiteral("--json"), QLatin1String(FindOption("json")->help)},
                  {QStringLiteral("-h, --help"),
                   QStringLiteral("its own help, with the options it takes")}},
                 width);
    h +=
        QStringLiteral("\nWithout a verb:\n") +
        Columns({{QStringLiteral("--version"), QLatin1String(FindOption("version")->help)}}, width);
    h += '\n' + Paragraph(LineSettings(), width);
    h += '\n' + Paragraph(QLatin1String(kExitCodes), width);
    h += '\n' + Paragraph(QStringLiteral("'tesmora-cli VERB --help' describes a verb and its "
                                         "options; 'tesmora-cli mifare --help' a group of verbs."),
                          width);
    h += '\n' + Paragraph(QStringLiteral("No reader at hand? 'tesmora-reader-emulator --demo' "
                                         "(package tesmora-reader-emulator) puts a demo reader "
                                         "on COM3 and prints the commands to try on it."),
                          width);
    return h;
}

QString GroupHelp(const QString& group, int width)
{
    // The options of every verb that talks to a reader are listed once, before
    // the verbs; each verb then lists the options it takes besides.
    static const char* const kReader[] = {"port", "mode", "type", "id", "verbose", "log"};
    const auto reader = [](const OptionDef* d) {
        return std::any_of(std::begin(kReader), std::end(kReader),
                           [d](const char* name) { return qstrcmp(name, d->name) == 0; });
    };
    const auto takesReader = [](const Verb& v) {
        return std::all_of(std::begin(kReader), std::end(kReader), [&v](const char* name) {
            return std::any_of(v.options.begin(), v.options.end(),
                               [name](const char* o) { return qstrcmp(o, name) == 0; });
        });
    };
    QString h = Paragraph(
        QStringLiteral("Usage: tesmora-cli %1 VERB [options] [arguments]").arg(group), width);
    QString verbs;
    Rows common;
    for (const Verb* v : GroupVerbs(group)) {
        const bool talks = takesReader(*v);
        QString summary = QLatin1String(v->summary);
        if (talks)
            summary += QStringLiteral(" (and the reader's options)");
        verbs += Columns({{VerbTerm(*v), summary}}, width);
        Rows own;
        for (const OptionDef* d : VerbOptions(*v)) {
            if (talks && reader(d) && !OwnHelp(*v, *d)) {
                if (common.size() < std::size(kReader))
                    common.emplace_back(OptionTerm(*d), QLatin1String(d->help));
            } else {
                own.emplace_back(OptionTerm(*d), HelpOf(*v, *d));
            }
        }
        verbs += Columns(own, width, 2 * kTermIndent);
    }
    if (!common.empty())
        h += '\n' +
             Paragraph(QStringLiteral("The reader's options, for every verb that talks to one:"),
                       width) +
             Columns(common, width);
    h += QStringLiteral("\nVerbs:\n") + verbs;
    h += '\n' +
         Paragraph(QStringLiteral("'tesmora-cli %1 VERB --help' describes one of them.").arg(group),
                   width);
    return h;
}

QString VerbHelp(const Verb& v, int width)
{
    QString usage = QStringLiteral("Usage: tesmora-cli %1 [options]").arg(QLatin1String(v.name));
    if (*v.synopsis)
        usage += QLatin1Char(' ') + QLatin1String(v.synopsis);
    QString h = Wrap(usage, width, 4, 0) + '\n';
    QString summary = QLatin1String(v.summary);
    summary[0] = summary[0].toUpper();
    h += Paragraph(summary + '.', width);
    h += QStringLiteral("\nOptions:\n") + Columns(OptionRows(v), width);
    return h;
}

QJsonArray HelpJson()
{
    QJsonArray verbs;
    for (const Verb& v : Verbs()) {
        QJsonArray options;
        for (const OptionDef* d : VerbOptions(v))
            options.append(QStringLiteral("--") + QLatin1String(d->name));
        verbs.append(QJsonObject{{"verb", QLatin1String(v.name)},
                                 {"synopsis", QLatin1String(v.synopsis)},
                                 {"summary", QLatin1String(v.summary)},
                                 {"options", options}});
    }
    return verbs;
}

} // namespace cli

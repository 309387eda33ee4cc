#pragma once

// The command line's vocabulary: every option, and every verb with the options
// it takes. Verbs of two or three words ("mifare read") form groups named by
// their first words.

#include <QCommandLineOption>
#include <QString>
#include <QStringList>

#include <span>

#include "verb.h"

namespace cli {

struct OptionDef
{
    const char* name;
    const char* shortName; // "" for none
    const char* valueName; // nullptr: a flag
    const char* help;
};

std::span<const OptionDef> Options();
const OptionDef* FindOption(const char* name);
QCommandLineOption MakeOption(const OptionDef& d);

std::span<const Verb> Verbs();
const Verb* FindVerb(const QString& name);
// Whether some verb's name starts with `prefix` and a space: "mifare".
bool IsGroup(const QString& prefix);
// The verbs of a group, in the table's order.
std::vector<const Verb*> GroupVerbs(const QString& prefix);

} // namespace cli

#pragma once

// The help texts, laid out for the terminal's width: words are never split,
// a term and its description stand side by side where they fit, else one
// under the other.

#include <QJsonArray>
#include <QString>

#include "verb.h"

namespace cli {

// The columns of stdout when it is a terminal, else $COLUMNS, else 80.
int HelpWidth();

QString ToolHelp(int width);
QString GroupHelp(const QString& group, int width);
QString VerbHelp(const Verb& verb, int width);
// Every verb with its synopsis, summary and options, for scripts and checks.
QJsonArray HelpJson();

// `text` in lines of at most `width` columns, broken between words only (a
// word longer than a line stands alone); the first line starts after `first`
// columns already used, the others with `indent` spaces.
QString Wrap(const QString& text, int width, int indent, int first);

} // namespace cli

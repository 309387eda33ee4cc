#pragma once

// Text that came from outside (a reader's answer, a file a user was handed)
// made safe to print: a control character would otherwise drive the terminal.

#include <QString>

inline namespace tesmora {
namespace link {

// A text that came from a reader, as the status bar renders it: bytes outside
// 0x20-0x7F as "[1B]", so that a reader cannot drive the terminal.
QString ReaderText(const QString& text);
// Control characters (C0, DEL, C1) of any text as "[1B]"; the rest as it is.
QString ControlsEscaped(const QString& text);

// A line of a file as an error message quotes it: controls escaped, and cut
// with "…" to at most `limit` characters, never inside an escape.
constexpr int kQuotedLimit = 60;
QString FileText(const QString& text, int limit = kQuotedLimit);

} // namespace link
} // namespace tesmora

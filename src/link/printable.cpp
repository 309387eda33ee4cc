#include "printable.h"

inline namespace tesmora {
namespace link {

namespace {

// `text` with the characters `escape` picks as "[1B]", at most `limit`
// characters long (-1: no limit), the last being "…" where it was cut.
QString Escaped(const QString& text, bool (*escape)(char16_t), qsizetype limit = -1)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const QString piece =
            escape(c.unicode())
                ? QStringLiteral("[%1]").arg(c.unicode(), 2, 16, QLatin1Char('0')).toUpper()
                : QString(c);
        // Room for "…" is kept unless this is the last character.
        const qsizetype room = i + 1 == text.size() ? limit : limit - 1;
        if (limit >= 0 && out.size() + piece.size() > room)
            return out + QChar(0x2026);
        out += piece;
    }
    return out;
}

bool Control(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

} // namespace

QString ReaderText(const QString& text)
{
    return Escaped(text, [](char16_t c) { return c < 0x20 || c > 0x7F; });
}

QString ControlsEscaped(const QString& text)
{
    return Escaped(text, Control);
}

QString FileText(const QString& text, int limit)
{
    return Escaped(text, Control, limit);
}

} // namespace link
} // namespace tesmora

// read-card: cards and keys as the reader reads them, until a count, a time or
// Ctrl-C.
#include <QElapsedTimer>
#include <QJsonObject>

#include "cli.h"
#include "reader/cardreading.h"
#include "verb.h"

namespace cli {

int ReadCard(Context& c)
{
    const bool twoWay = c.Flag("two-way");
    const auto count = c.Int("count", 1, 1000000000);
    const auto seconds = c.Int("seconds", 1, 1000000000);
    QElapsedTimer clock;
    clock.start();
    int seen = 0;
    bool stopped = false;
    const int code = WithReader(c, [&](link::Link& l, const Addressee& to) {
        stopped = reader::ReadCards(
            l, to, twoWay, [] { return QStringLiteral("Card ID"); },
            [&] {
                // Ctrl-C, a closed pipe or the end of the session stops the
                // run in the core, as the user's stop does.
                return (count && seen >= *count) ||
                       (seconds && clock.elapsed() >= qint64(*seconds) * 1000) ||
                       c.out.StdoutError() != 0;
            },
            [&](const reader::CardShown& s) {
                using K = reader::CardShown::Kind;
                if (s.kind == K::Nothing)
                    return;
                ++seen;
                if (s.kind == K::Key) {
                    c.out.Result(QStringLiteral("key ") + ReaderText(s.keys),
                                 {{"kind", "key"}, {"text", s.keys}});
                    return;
                }
                QJsonObject o{{"kind", "card"}, {"hex", s.hex}};
                QString plain = QStringLiteral("card ") + ReaderText(s.hex);
                if (s.value) {
                    const QString decimal =
                        QString::asprintf("%010llu", (unsigned long long)*s.value);
                    o.insert("decimal", decimal);
                    plain += QStringLiteral(" ") + decimal;
                }
                if (!s.keys.isEmpty()) {
                    o.insert("keys", s.keys);
                    plain += QStringLiteral(" keys ") + ReaderText(s.keys);
                }
                c.out.Result(plain, o);
            },
            {});
        return stopped;
    });
    return code;
}

} // namespace cli

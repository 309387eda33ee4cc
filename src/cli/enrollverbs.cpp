// enroll: a box of cards read into a CSV list, each new card appended and
// synced at once, repeats announced.
#include <QElapsedTimer>
#include <QJsonObject>

#include "cli.h"
#include "reader/cardreading.h"
#include "reader/enrollment.h"
#include "store/csvlog.h"
#include "verb.h"

namespace cli {

namespace {

// --wiegand, else nothing: the reader's interface setting is asked.
std::optional<int> WiegandOption(const Context& c)
{
    if (!c.Flag("wiegand"))
        return std::nullopt;
    const int bits =
        Context::Number(c.p.value(QStringLiteral("wiegand")), QStringLiteral("--wiegand"), 26, 42);
    if (!reader::DecodeWiegand(bits, 0))
        throw UsageError{QStringLiteral("--wiegand takes 26, 34 or 42, not %1").arg(bits)};
    return bits;
}

} // namespace

int Enroll(Context& c)
{
    const auto count = c.Int("count", 1, 1000000000);
    const auto seconds = c.Int("seconds", 1, 1000000000);
    std::optional<int> bits = WiegandOption(c);
    const QString path = c.p.value(QStringLiteral("output"));
    if (path.isEmpty())
        throw UsageError{QStringLiteral("--output FILE is required")};
    // A file that is not such a list is refused before the reader is asked;
    // a list is read row by row, whatever its size.
    CsvList list;
    reader::Enrolled enrolled;
    QString error;
    if (!list.Open(
            path, {QLatin1String(reader::kEnrollHeader), reader::WholeEnrollRow},
            [&](const QStringList& row, int, QString* why) { return enrolled.AddRow(row, why); },
            &error))
        throw UsageError{error};
    // A resumed list keeps its format: its credentials are compared in it.
    if (enrolled.bits && bits && *bits != *enrolled.bits)
        throw UsageError{QStringLiteral("%1 is a list of %2-bit Wiegand credentials: --wiegand %3 "
                                        "would mix formats")
                             .arg(path)
                             .arg(*enrolled.bits)
                             .arg(*bits)};
    if (enrolled.bits)
        bits = enrolled.bits;
    if (!list.Repair().isEmpty())
        c.out.Note(list.Repair(), {{"verb", c.Name()}, {"notice", list.Repair()}});
    if (enrolled.last > 0)
        c.out.Note(QStringLiteral("%1: resumed, %2 card(s) enrolled, the next is %3")
                       .arg(path)
                       .arg(enrolled.cards.size())
                       .arg(enrolled.last + 1),
                   {{"verb", c.Name()}, {"resumed", enrolled.last}});

    QElapsedTimer clock;
    clock.start();
    int added = 0, repeats = 0;
    reader::CardPresence presence;
    QString failed;
    const int code = WithReader(c, [&](link::Link& l, const Addressee& to) {
        // The reader answered where it told its format.
        bool heard = false;
        if (!bits) {
            bits = reader::ReadWiegandBits(l, to);
            heard = bits.has_value();
        }
        if (!bits) {
            c.refusal = QStringLiteral("the reader did not tell its Wiegand format: give "
                                       "--wiegand 26, 34 or 42");
            return false;
        }
        // A new list is made only now that the reader answered.
        if (!list.Exists() && !heard && !ReaderAnswered(c, l, to))
            return false;
        if (!list.Create(&error))
            throw UsageError{error};
        return reader::ReadCards(
            l, to, false, [] { return QStringLiteral("Card ID"); },
            [&] {
                return !failed.isEmpty() || (count && added >= *count) ||
                       (seconds && clock.elapsed() >= qint64(*seconds) * 1000);
            },
            [&](const reader::CardShown& s) {
                if (!presence.NewlyLaid(s.kind, s.hex))
                    return;
                const auto check = enrolled.CheckCard(s.hex, *bits);
                const int n = check.n;
                const QStringList row = reader::EnrollRow(n, CsvTime(), s.hex, s.value, *bits);
                using Kind = reader::Enrolled::Check::Kind;
                if (check.kind != Kind::New) {
                    ++repeats;
                    QJsonObject o{{"kind", "repeat"}, {"card", s.hex}, {"n", n}};
                    QString plain = QStringLiteral("%1 already enrolled as %2").arg(s.hex).arg(n);
                    if (check.kind == Kind::SameCredential) {
                        // An access controller could not tell the two cards apart.
                        o.insert("sameCredential", true);
                        if (!row[5].isEmpty())
                            o.insert("facility", row[5].toLongLong());
                        o.insert("number", row[6].toLongLong());
                        plain = QStringLiteral("%1 is the same credential as %2 (facility %3, "
                                               "number %4): not enrolled")
                                    .arg(s.hex)
                                    .arg(n)
                                    .arg(row[5].isEmpty() ? QStringLiteral("-") : row[5], row[6]);
                    }
                    return c.out.Result(plain, o);
                }
                if (!list.Append(row, &failed))
                    return;
                enrolled.Add(n, s.hex, *bits);
                ++added;
                QJsonObject o{{"kind", "card"},   {"n", n},
                              {"time", row[1]},   {"card", row[2]},
                              {"wiegand", *bits}, {"number", row[6].toLongLong()}};
                if (!row[3].isEmpty())
                    o.insert("decimal", row[3]);
                if (!row[5].isEmpty())
                    o.insert("facility", row[5].toLongLong());
                c.out.Result(QStringLiteral("%1 %2 %3 facility %4 number %5")
                                 .arg(n)
                                 .arg(row[2], row[3].isEmpty() ? QStringLiteral("-") : row[3],
                                      row[5].isEmpty() ? QStringLiteral("-") : row[5], row[6]),
                             o);
            },
            {});
    });
    if (!failed.isEmpty()) {
        c.out.Failure(c.Name(), QStringLiteral("cannot write the list"), failed);
        return kExitReader;
    }
    // Ctrl-C ends the run as the count does: the rows are in the file.
    if (code != kExitOk)
        return code;
    c.out.Result(QStringLiteral("%1 new card(s) enrolled, %2 repeat(s), in %3")
                     .arg(added)
                     .arg(repeats)
                     .arg(path),
                 {{"verb", c.Name()}, {"enrolled", added}, {"repeats", repeats}, {"output", path}});
    return kExitOk;
}

} // namespace cli

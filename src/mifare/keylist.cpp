#include "keylist.h"

#include <QFile>

#include <set>

#include "blocks.h"
#include "link/printable.h"
#include "store/safefile.h"

namespace mifare {

const QStringList& DefaultKeys()
{
    static const QStringList kKeys = {
        QStringLiteral("FFFFFFFFFFFF"), QStringLiteral("000000000000"),
        QStringLiteral("A0A1A2A3A4A5"), QStringLiteral("B0B1B2B3B4B5"),
        QStringLiteral("D3F7D3F7D3F7"), QStringLiteral("AABBCCDDEEFF"),
        QStringLiteral("4D3A99C351DD"), QStringLiteral("1A982C7E459A"),
        QStringLiteral("714C5C886E97"), QStringLiteral("587EE5F9350F"),
        QStringLiteral("A0478CC39091"), QStringLiteral("533CB6C723F6"),
        QStringLiteral("8FD0A4F256E9"),
    };
    return kKeys;
}

std::optional<QStringList> ParseKeyFile(const QByteArray& text, const QString& fileName,
                                        QString* error)
{
    QStringList keys;
    // An editor's byte-order mark is no part of the first key.
    const QList<QByteArray> lines =
        (text.startsWith("\xEF\xBB\xBF") ? text.mid(3) : text).split('\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        const QByteArray& line = lines[n];
        const qsizetype hash = line.indexOf('#');
        const QString key = QString::fromUtf8(hash < 0 ? line : line.left(hash)).trimmed();
        if (key.isEmpty())
            continue;
        if (!HexDigits(key.toUpper(), 12)) {
            if (error)
                *error = QStringLiteral("%1, line %2: not a key of 12 hexadecimal digits: \"%3\"")
                             .arg(fileName)
                             .arg(n + 1)
                             .arg(link::FileText(QString::fromUtf8(line).trimmed()));
            return std::nullopt;
        }
        keys << key.toUpper();
    }
    return keys;
}

std::optional<QStringList> ReadKeyFile(const QString& path, QString* error)
{
    const auto data = ReadUserFile(path, kUserFileLimit, error);
    if (!data)
        return std::nullopt;
    return ParseKeyFile(*data, path, error);
}

QStringList MergeKeys(const QList<QStringList>& lists)
{
    QStringList merged;
    std::set<QString> seen;
    for (const QStringList& list : lists)
        for (const QString& key : list)
            if (seen.insert(key.toUpper()).second)
                merged << key.toUpper();
    return merged;
}

} // namespace mifare

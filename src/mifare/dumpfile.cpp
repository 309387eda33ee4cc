#include "dumpfile.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

#include <algorithm>
#include <utility>

#include "blocks.h"
#include "link/printable.h"
#include "store/safefile.h"

namespace mifare {

namespace {

constexpr std::pair<const char*, DumpFormat> kExtensions[] = {
    {"mct", DumpFormat::Mct}, {"txt", DumpFormat::Mct},   {"mfd", DumpFormat::Mfd},
    {"bin", DumpFormat::Mfd}, {"json", DumpFormat::Json},
};
constexpr std::pair<const char*, DumpFormat> kNames[] = {
    {"mct", DumpFormat::Mct}, {"mfd", DumpFormat::Mfd}, {"json", DumpFormat::Json}};

std::optional<DumpFormat> Lookup(const auto& table, const QString& name)
{
    for (const auto& [text, format] : table)
        if (name.compare(QLatin1String(text), Qt::CaseInsensitive) == 0)
            return format;
    return std::nullopt;
}

std::optional<CardImage> Fail(QString* error, const QString& why)
{
    if (error)
        *error = why;
    return std::nullopt;
}

// A byte of one known digit: refused, since the image cannot keep half a byte.
QString HalfKnownText(const QByteArray& byte)
{
    return QStringLiteral("the byte \"%1\" has one digit known and one not: write both "
                          "digits, or \"--\" for an unknown byte")
        .arg(QString::fromLatin1(byte));
}

QString SizeName(CardSize size)
{
    return size == CardSize::k1K ? QStringLiteral("1K") : QStringLiteral("4K");
}

QByteArray WriteMct(const CardImage& image)
{
    QByteArray out;
    for (int s = 0; s < image.Sectors(); ++s) {
        out += "+Sector: " + QByteArray::number(s) + '\n';
        for (int b = FirstBlock(s); b < FirstBlock(s) + BlocksInSector(s); ++b)
            out += image.Hex(b).toLatin1() + '\n';
    }
    return out;
}

std::optional<CardImage> ReadMct(const QByteArray& data, QString* error)
{
    static const QByteArray kHeader = "+Sector:";
    // Sectors in any order: collected first, since the size is known only at the end.
    QList<std::pair<int, PartialBytes>> blocks;
    std::array<bool, kSectors> seen{};
    int sector = -1, count = 0, headerLine = 0;
    const auto closeSector = [&]() -> std::optional<QString> {
        if (sector >= 0 && count != BlocksInSector(sector))
            return QStringLiteral("line %1: sector %2 has %3 blocks, the file gives %4")
                .arg(headerLine)
                .arg(sector)
                .arg(BlocksInSector(sector))
                .arg(count);
        return std::nullopt;
    };
    const QList<QByteArray> lines = data.split('\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        const QByteArray line = lines[n].trimmed();
        const int number = int(n + 1);
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QString shown = link::FileText(QString::fromUtf8(line));
        if (line.startsWith(kHeader)) {
            if (const auto why = closeSector())
                return Fail(error, *why);
            const QByteArray digits = line.mid(kHeader.size()).trimmed();
            bool ok = false;
            sector = digits.toInt(&ok);
            const bool decimal =
                !digits.isEmpty() && digits.front() >= '0' && digits.front() <= '9';
            if (!ok || !decimal || sector < 0 || sector >= kSectors)
                return Fail(error, QStringLiteral("line %1: no sector from 0 to 39: \"%2\"")
                                       .arg(number)
                                       .arg(shown));
            if (seen[size_t(sector)])
                return Fail(
                    error,
                    QStringLiteral("line %1: sector %2 appears twice").arg(number).arg(sector));
            seen[size_t(sector)] = true;
            count = 0;
            headerLine = number;
            continue;
        }
        if (sector < 0)
            return Fail(
                error, QStringLiteral("line %1: a block before any \"+Sector:\" line").arg(number));
        if (count == BlocksInSector(sector))
            return Fail(error, QStringLiteral("line %1: sector %2 has only %3 blocks")
                                   .arg(number)
                                   .arg(sector)
                                   .arg(count));
        const auto bytes = ParseBlockHex(QString::fromUtf8(line));
        if (const auto half = bytes ? std::nullopt : HalfKnownByte(QString::fromUtf8(line)))
            return Fail(error, QStringLiteral("line %1, column %2: %3")
                                   .arg(number)
                                   .arg(lines[n].indexOf(line) + 2 * *half + 1)
                                   .arg(HalfKnownText(line.mid(2 * *half, 2))));
        if (!bytes)
            return Fail(error, QStringLiteral("line %1: not 32 hexadecimal digits or '-': \"%2\"")
                                   .arg(number)
                                   .arg(shown));
        blocks.append({AbsoluteBlock(sector, count++), *bytes});
    }
    if (const auto why = closeSector())
        return Fail(error, *why);
    if (sector < 0)
        return Fail(error, QStringLiteral("no \"+Sector:\" line"));
    const bool big = std::find(seen.begin() + 16, seen.end(), true) != seen.end();
    CardImage image(big ? CardSize::k4K : CardSize::k1K);
    for (const auto& [block, bytes] : blocks)
        image.SetBlock(block, bytes);
    return image;
}

QByteArray WriteMfd(const CardImage& image)
{
    QByteArray out;
    for (int b = 0; b < image.Blocks(); ++b)
        for (int i = 0; i < 16; ++i)
            out += char(image.Byte(b, i).value_or(0));
    return out;
}

std::optional<CardImage> ReadMfd(const QByteArray& data, QString* error)
{
    const qsizetype size = data.size();
    if (size != 16 * BlockCount(CardSize::k1K) && size != 16 * BlockCount(CardSize::k4K))
        return Fail(error,
                    QStringLiteral("%1 bytes: a binary dump has 1024 (1K) or 4096 (4K)").arg(size));
    CardImage image(size == 1024 ? CardSize::k1K : CardSize::k4K);
    for (int b = 0; b < image.Blocks(); ++b) {
        BlockBytes bytes;
        for (int i = 0; i < 16; ++i)
            bytes[size_t(i)] = uint8_t(data[16 * b + i]);
        image.SetBlock(b, bytes);
    }
    return image;
}

QByteArray WriteJson(const CardImage& image)
{
    // One block a line, so that two dumps compare well in a text tool.
    QByteArray out = "{\"format\": \"" + QByteArray(kJsonFormatName) +
                     "\", \"version\": " + QByteArray::number(kJsonFormatVersion) +
                     ", \"size\": \"" + SizeName(image.Size()).toLatin1() + "\", \"blocks\": [\n";
    for (int b = 0; b < image.Blocks(); ++b) {
        QJsonObject entry{{"block", b}, {"hex", image.Hex(b)}};
        if (const auto by = image.ReadBy(b))
            entry.insert("readBy", QJsonObject{{"type", by->type == KeyType::A ? "A" : "B"},
                                               {"key", by->key}});
        out += "  " + QJsonDocument(entry).toJson(QJsonDocument::Compact);
        out += b + 1 < image.Blocks() ? ",\n" : "\n";
    }
    return out + "]}\n";
}

std::optional<CardImage> ReadJson(const QByteArray& data, QString* error)
{
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(data, &parse);
    if (parse.error != QJsonParseError::NoError)
        return Fail(error, QStringLiteral("line %1: bad JSON: %2")
                               .arg(data.left(parse.offset).count('\n') + 1)
                               .arg(parse.errorString()));
    const QJsonObject root = doc.object();
    if (root.value("format").toString() != QLatin1String(kJsonFormatName))
        return Fail(error, QStringLiteral("not a card image: the format is not \"%1\"")
                               .arg(QLatin1String(kJsonFormatName)));
    if (const QJsonValue version = root.value("version"); version.toInt(-1) != kJsonFormatVersion)
        return Fail(error, QStringLiteral("format version %1: only version %2 is read")
                               .arg(version.isDouble() ? QString::number(version.toDouble())
                                                       : QStringLiteral("missing"))
                               .arg(kJsonFormatVersion));
    const QString size = root.value("size").toString();
    if (size != QLatin1String("1K") && size != QLatin1String("4K"))
        return Fail(
            error, QStringLiteral("size \"%1\": it is \"1K\" or \"4K\"").arg(link::FileText(size)));
    CardImage image(size == QLatin1String("1K") ? CardSize::k1K : CardSize::k4K);
    const QJsonArray blocks = root.value("blocks").toArray();
    if (blocks.size() != image.Blocks())
        return Fail(error, QStringLiteral("%1 blocks: a %2 image has %3")
                               .arg(blocks.size())
                               .arg(size)
                               .arg(image.Blocks()));
    for (int b = 0; b < image.Blocks(); ++b) {
        const QJsonObject entry = blocks[b].toObject();
        const QString hex = entry.value("hex").toString();
        if (const auto half = HalfKnownByte(hex))
            return Fail(error, QStringLiteral("block %1, position %2: %3")
                                   .arg(b)
                                   .arg(2 * *half + 1)
                                   .arg(HalfKnownText(hex.mid(2 * *half, 2).toLatin1())));
        if (entry.value("block").toInt(-1) != b || !image.SetHex(b, hex))
            return Fail(error, QStringLiteral("block %1: no entry {\"block\": %1, \"hex\": 32 "
                                              "hexadecimal digits or '-'} in its place")
                                   .arg(b));
        if (!entry.contains("readBy"))
            continue;
        const QJsonObject by = entry.value("readBy").toObject();
        const QString type = by.value("type").toString();
        const QString key = by.value("key").toString().toUpper();
        if ((type != QLatin1String("A") && type != QLatin1String("B")) || !HexDigits(key, 12))
            return Fail(error, QStringLiteral("block %1: readBy is not {\"type\": \"A\" or \"B\", "
                                              "\"key\": 12 hexadecimal digits}")
                                   .arg(b));
        image.SetReadBy(b, KeyUse{type == QLatin1String("A") ? KeyType::A : KeyType::B, key});
    }
    return image;
}

std::optional<DumpFormat> ChosenFormat(const QString& path, std::optional<DumpFormat> format,
                                       QString* error)
{
    if (!format)
        format = FormatOfPath(path);
    if (!format && error)
        *error = QStringLiteral("%1: no dump format has this extension "
                                "(.mct, .txt, .mfd, .bin, .json)")
                     .arg(path);
    return format;
}

} // namespace

std::optional<DumpFormat> FormatOfPath(const QString& path)
{
    return Lookup(kExtensions, QFileInfo(path).suffix());
}

std::optional<DumpFormat> FormatNamed(const QString& name)
{
    return Lookup(kNames, name);
}

QString FormatName(DumpFormat format)
{
    for (const auto& [text, f] : kNames)
        if (f == format)
            return QLatin1String(text);
    return {};
}

QByteArray WriteDump(const CardImage& image, DumpFormat format)
{
    switch (format) {
    case DumpFormat::Mct:
        return WriteMct(image);
    case DumpFormat::Mfd:
        return WriteMfd(image);
    case DumpFormat::Json:
        break;
    }
    return WriteJson(image);
}

int UnknownBytesWrittenAsZero(const CardImage& image, DumpFormat format)
{
    if (format != DumpFormat::Mfd)
        return 0;
    int unknown = 0;
    for (int block = 0; block < image.Blocks(); ++block)
        for (int i = 0; i < 16; ++i)
            unknown += !image.Byte(block, i).has_value();
    return unknown;
}

std::optional<CardImage> ReadDump(const QByteArray& data, DumpFormat format, QString* error)
{
    switch (format) {
    case DumpFormat::Mct:
        return ReadMct(data, error);
    case DumpFormat::Mfd:
        return ReadMfd(data, error);
    case DumpFormat::Json:
        break;
    }
    return ReadJson(data, error);
}

bool SaveDump(const QString& path, const CardImage& image, std::optional<DumpFormat> format,
              QString* error)
{
    format = ChosenFormat(path, format, error);
    if (!format)
        return false;
    return SaveFileAtomically(path, WriteDump(image, *format), error);
}

std::optional<CardImage> LoadDump(const QString& path, std::optional<DumpFormat> format,
                                  QString* error)
{
    format = ChosenFormat(path, format, error);
    if (!format)
        return std::nullopt;
    const auto data = ReadUserFile(path, kUserFileLimit, error);
    if (!data)
        return std::nullopt;
    auto image = ReadDump(*data, *format, error);
    if (!image && error)
        *error = QStringLiteral("%1: %2").arg(path, *error);
    return image;
}

} // namespace mifare

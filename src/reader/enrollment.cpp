#include "enrollment.h"

#include <array>

#include "scanfields.h"

namespace reader {

namespace {

struct WiegandLayout
{
    int bits;
    int valueBits;    // the low bits of the value the format carries
    int facilityBits; // above the number's 16; 0: no facility, the number is all of it
};

constexpr std::array<WiegandLayout, 3> kWiegandLayouts = {{
    {26, 24, 8}, {34, 32, 16}, {42, 40, 0}, // two parity bits around 40 of the card's
}};

uint64_t LowBits(uint64_t value, int bits)
{
    return bits >= 64 ? value : value & ((uint64_t(1) << bits) - 1);
}

} // namespace

std::optional<int> WiegandBitsOfSetting(int setting)
{
    if (setting < 0 || setting >= int(kWiegandLayouts.size()))
        return std::nullopt;
    return kWiegandLayouts[size_t(setting)].bits;
}

std::optional<int> ReadWiegandBits(link::CommandLink& link, const link::Addressee& to)
{
    if (!link.Exchange(to(QStringLiteral("A"))))
        return std::nullopt;
    const auto digit = HexField(AnswerField(link.LastResponse(), 6, 1));
    return digit ? WiegandBitsOfSetting(*digit) : std::nullopt;
}

std::optional<WiegandFields> DecodeWiegand(int bits, uint64_t value)
{
    for (const WiegandLayout& l : kWiegandLayouts) {
        if (l.bits != bits)
            continue;
        const uint64_t carried = LowBits(value, l.valueBits);
        if (l.facilityBits == 0)
            return WiegandFields{std::nullopt, carried};
        return WiegandFields{LowBits(carried >> 16, l.facilityBits), LowBits(carried, 16)};
    }
    return std::nullopt;
}

namespace {

// A card's facility and number in a Wiegand format, from its hex.
std::optional<WiegandFields> FieldsOfHex(const QString& hex, int bits)
{
    bool ok = false;
    const uint64_t value = hex.toULongLong(&ok, 16);
    return ok ? DecodeWiegand(bits, value) : std::nullopt;
}

} // namespace

QStringList EnrollRow(int n, const QString& time, const QString& hex,
                      const std::optional<uint64_t>& decimal, int bits)
{
    const auto fields = FieldsOfHex(hex, bits);
    return {QString::number(n),
            time,
            hex,
            decimal ? QString::asprintf("%010llu", (unsigned long long)*decimal) : QString(),
            QString::number(bits),
            fields && fields->facility ? QString::number(*fields->facility) : QString(),
            fields ? QString::number(fields->number) : QString()};
}

std::optional<QString> CardPresence::NewlyLaid(CardShown::Kind kind, const QString& hex)
{
    if (kind == CardShown::Kind::Nothing)
        present_.clear();
    if (kind != CardShown::Kind::Card || hex == present_)
        return std::nullopt;
    present_ = hex;
    return hex;
}

namespace {

// The credential's key, where the format carries one.
std::optional<QString> Credential(const QString& hex, int bits)
{
    const auto fields = FieldsOfHex(hex, bits);
    if (!fields)
        return std::nullopt;
    return QStringLiteral("%1:%2:%3")
        .arg(bits)
        .arg(fields->facility ? QString::number(*fields->facility) : QString())
        .arg(fields->number);
}

} // namespace

bool WholeEnrollRow(const QStringList& row)
{
    bool ok = false;
    const int bits = row.value(4).toInt(&ok);
    if (!ok || row.size() != 7)
        return false;
    const QStringList again = EnrollRow(row[0].toInt(), row[1], row[2], std::nullopt, bits);
    return again[5] == row[5] && again[6] == row[6] && !row[6].isEmpty();
}

std::optional<int> Enrolled::Find(const QString& hex) const
{
    const auto it = cards.constFind(hex);
    if (it == cards.constEnd())
        return std::nullopt;
    return *it;
}

std::optional<int> Enrolled::SameCredential(const QString& hex, int format) const
{
    const auto key = Credential(hex, format);
    if (!key)
        return std::nullopt;
    const auto it = credentials.constFind(*key);
    if (it == credentials.constEnd())
        return std::nullopt;
    return *it;
}

Enrolled::Check Enrolled::CheckCard(const QString& hex, int format) const
{
    if (const auto n = Find(hex))
        return {Check::Kind::SameCard, *n};
    // An access controller could not tell it from the card of that row.
    if (const auto n = SameCredential(hex, format))
        return {Check::Kind::SameCredential, *n};
    return {Check::Kind::New, last + 1};
}

void Enrolled::Add(int n, const QString& hex, int format)
{
    if (!cards.contains(hex))
        cards.insert(hex, n);
    if (const auto key = Credential(hex, format); key && !credentials.contains(*key))
        credentials.insert(*key, n);
    last = std::max(last, n);
}

std::optional<int> RowNumber(const QString& field, QString* error)
{
    bool ok = false;
    const int n = field.toInt(&ok);
    if (ok && n >= 1 && n <= kLastRowNumber)
        return n;
    *error = ok && n > kLastRowNumber
                 ? QStringLiteral("row %1 is past the last a list takes (%2): start a new list")
                       .arg(field)
                       .arg(kLastRowNumber)
                 : QStringLiteral("\"%1\" is no row number").arg(field);
    return std::nullopt;
}

bool Enrolled::AddRow(const QStringList& row, QString* error)
{
    const auto number = RowNumber(row[0], error);
    if (!number)
        return false;
    const int n = *number;
    bool ok = false;
    const int format = row[4].toInt(&ok);
    if (!ok || !DecodeWiegand(format, 0)) {
        *error = QStringLiteral("\"%1\" is no Wiegand format (26, 34 or 42)").arg(row[4]);
        return false;
    }
    // The list's format is its last row's.
    bits = format;
    Add(n, row[2], format);
    return true;
}

} // namespace reader

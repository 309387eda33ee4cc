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
    {26, 24, 8},
    {34, 32, 16},
    {42, 64, 0},
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

QStringList EnrollRow(int n, const QString& time, const QString& hex,
                      const std::optional<uint64_t>& decimal, int bits)
{
    bool ok = false;
    const uint64_t value = hex.toULongLong(&ok, 16);
    const auto fields = ok ? DecodeWiegand(bits, value) : std::nullopt;
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

std::optional<int> Enrolled::Find(const QString& hex) const
{
    const auto it = cards.constFind(hex);
    if (it == cards.constEnd())
        return std::nullopt;
    return *it;
}

void Enrolled::Add(int n, const QString& hex)
{
    if (!cards.contains(hex))
        cards.insert(hex, n);
    last = std::max(last, n);
}

std::optional<Enrolled> EnrolledOf(const QList<QStringList>& rows, QString* error)
{
    Enrolled e;
    for (int i = 0; i < rows.size(); ++i) {
        bool ok = false;
        const int n = rows[i][0].toInt(&ok);
        if (!ok || n < 1) {
            if (error)
                *error =
                    QStringLiteral("line %1: \"%2\" is no row number").arg(i + 2).arg(rows[i][0]);
            return std::nullopt;
        }
        e.Add(n, rows[i][2]);
    }
    return e;
}

} // namespace reader

#include "accessrights.h"

#include <QStringList>

#include <utility>

#include "blocks.h"

namespace mifare {

namespace {

constexpr Group kDataGroups[] = {Group::Read, Group::Write, Group::Increment, Group::Decrement};
constexpr Group kTrailerGroups[] = {Group::KeyARead,    Group::KeyAWrite, Group::AccessRead,
                                    Group::AccessWrite, Group::KeyBRead,  Group::KeyBWrite};

constexpr std::pair<Group, const char*> kGroupWords[] = {
    {Group::Read, "read"},
    {Group::Write, "write"},
    {Group::Increment, "increment"},
    {Group::Decrement, "decrement, transfer, restore"},
    {Group::KeyARead, "read key A"},
    {Group::KeyAWrite, "write key A"},
    {Group::AccessRead, "read access bits"},
    {Group::AccessWrite, "write access bits"},
    {Group::KeyBRead, "read key B"},
    {Group::KeyBWrite, "write key B"},
};

// Captions as sets of keys: bit 0 key A, bit 1 key B.
unsigned Keys(Caption c)
{
    static constexpr unsigned kKeys[] = {3, 1, 2, 0}; // AB, A, B, Never
    return kKeys[static_cast<int>(c)];
}

Caption FromKeys(unsigned keys)
{
    static constexpr Caption kCaptions[] = {Caption::Never, Caption::A, Caption::B, Caption::AB};
    return kCaptions[keys & 3];
}

} // namespace

std::optional<Conditions> DecodeAccessBytes(uint8_t b6, uint8_t b7, uint8_t b8)
{
    if (!AccessBytesConsistent(b6, b7, b8))
        return std::nullopt;
    Conditions c{};
    for (int b = 0; b < 4; ++b)
        c[size_t(b)] = (b7 >> (4 + b) & 1) << 2 | (b8 >> b & 1) << 1 | (b8 >> (4 + b) & 1);
    return c;
}

std::optional<Conditions> DecodeAccessBits(const QString& accessBits)
{
    const QString text = accessBits.left(6).toUpper();
    if (!HexDigits(text, 6))
        return std::nullopt;
    const auto byte = [&](int i) { return uint8_t(text.mid(2 * i, 2).toUInt(nullptr, 16)); };
    return DecodeAccessBytes(byte(0), byte(1), byte(2));
}

bool KeyBReadable(Condition trailer)
{
    return PictureCaption(Group::KeyBRead, trailer) != Caption::Never;
}

bool Allows(Caption who, KeyType key)
{
    return Keys(who) & (key == KeyType::A ? 1u : 2u);
}

Caption RightOf(Group group, Condition condition, Condition trailerCondition)
{
    const unsigned keys = Keys(PictureCaption(group, condition));
    return FromKeys(KeyBReadable(trailerCondition) ? keys & 1u : keys);
}

QList<Right> TableRights(bool trailer, Condition condition)
{
    QList<Right> rights;
    if (trailer)
        for (Group g : kTrailerGroups)
            rights.append({g, PictureCaption(g, condition)});
    else
        for (Group g : kDataGroups)
            rights.append({g, PictureCaption(g, condition)});
    return rights;
}

QList<Right> Rights(bool trailer, Condition condition, Condition trailerCondition)
{
    QList<Right> rights = TableRights(trailer, condition);
    for (Right& r : rights)
        r.who = RightOf(r.group, condition, trailerCondition);
    return rights;
}

Caption TrailerWriter(Condition trailer)
{
    unsigned keys = 3;
    for (Group g : {Group::KeyAWrite, Group::AccessWrite, Group::KeyBWrite})
        keys &= Keys(RightOf(g, trailer, trailer));
    return FromKeys(keys);
}

TrailerRisk AssessTrailer(const Conditions& conditions)
{
    const Condition t = conditions[3];
    TrailerRisk risk;
    risk.accessFrozen = RightOf(Group::AccessWrite, t, t) == Caption::Never;
    for (int b = 0; b < 3; ++b)
        if (RightOf(Group::Write, conditions[size_t(b)], t) == Caption::Never)
            risk.lockedBlocks.append(b);
    return risk;
}

QString CaptionWords(Caption who)
{
    switch (who) {
    case Caption::AB:
        return QStringLiteral("key A or key B");
    case Caption::A:
        return QStringLiteral("key A");
    case Caption::B:
        return QStringLiteral("key B");
    case Caption::Never:
        break;
    }
    return QStringLiteral("never");
}

QString ConditionWords(int block, Condition condition)
{
    QStringList parts;
    for (const Right& r : TableRights(block >= 3, condition))
        for (const auto& [g, what] : kGroupWords)
            if (g == r.group)
                parts << QStringLiteral("%1: %2").arg(QLatin1String(what), CaptionWords(r.who));
    return parts.join(QStringLiteral("; "));
}

} // namespace mifare

#include "readback.h"

namespace mifare {

InForce TrailerInForce(int sector, const CardImage& source, const QList<WriteStep>& steps,
                       const CardImage& target, const QStringList& keys)
{
    using K = WriteStep::Kind;
    bool templ = false;
    for (const WriteStep& s : steps)
        if (s.block == TrailerBlock(sector) && (s.kind == K::Written || s.kind == K::Unchanged))
            templ = true;
    const CardImage& first = templ ? source : target;
    const CardImage& second = templ ? target : source;
    InForce f;
    f.conditions = first.AccessConditions(sector);
    for (const CardImage* image : {&first, &second}) {
        for (const auto& [type, key] :
             {std::pair{0, image->KeyA(sector)}, std::pair{1, image->KeyB(sector)}})
            if (key && !f.keys[type].contains(*key))
                f.keys[type] << *key;
    }
    for (QStringList& list : f.keys)
        for (const QString& k : keys)
            if (!list.contains(k))
                list << k;
    return f;
}

namespace {

// The types of key that may read `block` under the trailer in force; both
// where its conditions are not known.
QList<KeyType> Readers(int block, const InForce& f)
{
    if (!f.conditions)
        return {KeyType::A, KeyType::B};
    const int sector = SectorOfBlock(block);
    const Condition trailer = (*f.conditions)[3];
    const bool isTrailer = block == TrailerBlock(sector);
    const Caption who = isTrailer
                            ? RightOf(Group::AccessRead, trailer, trailer)
                            : RightOf(Group::Read, ConditionIn(*f.conditions, block), trailer);
    QList<KeyType> types;
    for (KeyType t : {KeyType::A, KeyType::B})
        if (Allows(who, t))
            types << t;
    return types;
}

} // namespace

std::optional<QString> ReadInForce(Session& s, int block, const InForce& f)
{
    for (KeyType type : Readers(block, f))
        for (const QString& key : f.keys[int(type)]) {
            Answer a = s.Load(key);
            QString data;
            if (a == Answer::Ok)
                a = s.Read(block, type, &data);
            if (a == Answer::Ok)
                return data;
            if (a == Answer::Gone)
                return std::nullopt;
        }
    return std::nullopt;
}

bool SameCard(Session& s, const QString& uid, const CardImage& source,
              const QList<WriteStep>& steps, const CardImage& target, const QStringList& keys,
              QString* other)
{
    const auto block0 = ReadInForce(s, 0, TrailerInForce(0, source, steps, target, keys));
    if (s.Over())
        return false;
    const QString seen = block0 ? UidOfBlock0(*block0) : QString();
    if (seen == uid)
        return true;
    // Unread, it is no longer known to be there.
    s.end = seen.isEmpty() ? RunEnd::CardGone : RunEnd::CardChanged;
    *other = seen;
    return false;
}

} // namespace mifare

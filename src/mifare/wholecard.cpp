#include "wholecard.h"

#include <algorithm>

#include "blocks.h"
#include "link/answers.h"
#include "link/interrupt.h"
#include "readback.h"
#include "reader/configuration.h"
#include "session.h"

namespace mifare {

namespace {

// The whole-card read over a session, sector by sector.
class CardReader
{
public:
    // `writing`: a write follows, which needs the size: a card whose block 0
    // does not tell it, or tells another than `image`'s, ends the read there.
    CardReader(Session& session, std::optional<CardSize> size, const QStringList& keys,
               CardProgress& progress, bool writing = false,
               std::optional<CardSize> image = std::nullopt)
        : s_(session), keys_(keys), progress_(progress), size_(size), writing_(writing),
          imageSize_(image)
    {
        // Sector 0 is alike in both sizes: its block 0 tells the size before sector 1.
        result_.image = CardImage(size.value_or(CardSize::k1K));
    }

    ReadResult Run()
    {
        for (int sector = 0; sector < result_.image.Sectors() && !s_.Over(); ++sector) {
            s_.At(false, sector, result_.image.Sectors());
            SectorReport report = Sector(sector);
            if (s_.Over()) {
                result_.endSector = sector;
                break;
            }
            result_.sectors.append(report);
            if (sector == 0 && !size_) {
                const auto told = SizeOfCard(result_.image);
                result_.sizeAssumed = !told;
                if (told && *told != result_.image.Size())
                    result_.image = result_.image.Resized(*told);
                if (writing_ && !told)
                    s_.end = RunEnd::SizeUnknown;
                else if (writing_ && imageSize_ && *told != *imageSize_)
                    s_.end = RunEnd::SizeMismatch;
            }
            progress_.SectorRead(report);
        }
        result_.end = s_.end;
        return std::move(result_);
    }

private:
    // Keys that opened a sector first, the most recent first; then the list.
    QStringList Candidates() const
    {
        QStringList all = openers_;
        for (const QString& k : keys_)
            if (!all.contains(k))
                all.append(k);
        return all;
    }

    void Opened(const QString& key)
    {
        openers_.removeAll(key);
        openers_.prepend(key);
    }

    // Loads `key`, reads `block` as `type`; records the block when it came,
    // unless it only tells whether the key works.
    Answer ReadWith(const QString& key, int block, KeyType type, bool record = true)
    {
        if (const Answer a = s_.Load(key); a != Answer::Ok)
            return a;
        QString data;
        const Answer a = s_.Read(block, type, &data);
        if (a != Answer::Ok || !record)
            return a;
        CardImage& image = result_.image;
        const KeyUse by{type, key};
        const int sector = SectorOfBlock(block);
        if (block == FirstBlock(sector) + BlocksInSector(sector) - 1) {
            image.SetTrailerRead(sector, data, by);
        } else {
            image.SetHex(block, data);
            image.SetReadBy(block, by);
        }
        return Answer::Ok;
    }

    // The key of `type` among the candidates that reads `block`; none when no
    // candidate does (or the run is over).
    std::optional<QString> Search(int block, KeyType type, bool record = true)
    {
        const QStringList candidates = Candidates();
        for (int i = 0; i < candidates.size(); ++i) {
            s_.TryingKey(i + 1, int(candidates.size()));
            const Answer a = ReadWith(candidates[i], block, type, record);
            if (a == Answer::Ok)
                return candidates[i];
            if (a == Answer::Gone)
                return std::nullopt;
        }
        return std::nullopt;
    }

    // The keys found for one sector, by type (A, B), and whether the list was
    // searched for one in vain already.
    struct SectorKeys
    {
        std::optional<QString> key[2];
        bool searched[2] = {false, false};
    };

    SectorReport Sector(int sector)
    {
        SectorReport report;
        report.sector = sector;
        report.blocks = BlocksInSector(sector);
        const int first = FirstBlock(sector);
        const int trailer = first + report.blocks - 1;
        SectorKeys keys;

        // Open it: each candidate on the first block as key A, then as key B.
        const QStringList candidates = Candidates();
        for (int i = 0; i < candidates.size(); ++i) {
            const QString& key = candidates[i];
            s_.TryingKey(i + 1, int(candidates.size()));
            for (KeyType type : {KeyType::A, KeyType::B}) {
                const Answer a = ReadWith(key, first, type);
                if (a == Answer::Gone)
                    return report;
                if (a == Answer::Ok) {
                    keys.key[int(type)] = key;
                    break;
                }
            }
            if (keys.key[0] || keys.key[1])
                break;
        }
        // A first block that no key may read: the trailer's access bits can
        // always be read with key A.
        if (!keys.key[0] && !keys.key[1]) {
            keys.key[0] = Search(trailer, KeyType::A);
            if (s_.Over())
                return report;
            if (!keys.key[0]) {
                // Before a sector is called unreadable, a block read before must still read.
                s_.CardStillThere();
                return report;
            }
        }
        const KeyType opener = keys.key[0] ? KeyType::A : KeyType::B;
        Opened(*keys.key[int(opener)]);
        CardImage& image = result_.image;

        // The trailer, for the access conditions (and key B where it is readable).
        if (!image.AnyKnown(trailer) &&
            ReadWith(*keys.key[int(opener)], trailer, opener) == Answer::Gone)
            return report;
        // Key A, where only key B opened it: tried on the trailer, which key A
        // may always read.
        if (!keys.key[0]) {
            keys.key[0] = Search(trailer, KeyType::A);
            if (s_.Over())
                return report;
        }
        for (int block = first + 1; block < trailer; ++block)
            if (ReadData(block, trailer, keys) == Answer::Gone)
                return report;
        // Key B too, where it is a key: a later write may need it.
        if (!keys.key[1] && !keys.searched[1]) {
            if (const int probe = ProbeForB(sector); probe >= 0) {
                keys.key[1] = Search(probe, KeyType::B, false);
                if (s_.Over())
                    return report;
            }
        }
        if (keys.key[0])
            image.FillKeyA(sector, *keys.key[0]);
        if (keys.key[1] && !image.KeyB(sector))
            image.FillKeyB(sector, *keys.key[1]);
        report.keyA = keys.key[0];
        report.keyB = keys.key[1];
        for (int block = first; block <= trailer; ++block)
            report.read += image.AnyKnown(block) ? 1 : 0;
        return report;
    }

    // A block of the sector that key B may read, to tell whether a candidate is
    // key B; none where key B is no key (it can be read) or may read nothing.
    int ProbeForB(int sector) const
    {
        const CardImage& image = result_.image;
        const int first = FirstBlock(sector);
        const int trailer = first + BlocksInSector(sector) - 1;
        const auto t = image.ConditionOf(trailer);
        if (!t || KeyBReadable(*t))
            return -1;
        if (Allows(RightOf(Group::AccessRead, *t, *t), KeyType::B))
            return trailer;
        for (int b = first; b < trailer; ++b)
            if (const auto c = image.ConditionOf(b);
                c && Allows(RightOf(Group::Read, *c, *t), KeyType::B))
                return b;
        return -1;
    }

    // A data block with a key its condition allows; where that is a key not
    // known yet, the list is searched for it once in the sector.
    Answer ReadData(int block, int trailerBlock, SectorKeys& keys)
    {
        const CardImage& image = result_.image;
        const std::optional<Condition> condition = image.ConditionOf(block);
        const std::optional<Condition> trailer = image.ConditionOf(trailerBlock);
        for (KeyType type : {KeyType::A, KeyType::B}) {
            const int t = int(type);
            const bool known = condition && trailer;
            if (known && !Allows(RightOf(Group::Read, *condition, *trailer), type))
                continue;
            if (!keys.key[t]) {
                if (!known || keys.searched[t])
                    continue;
                keys.searched[t] = true;
                keys.key[t] = Search(block, type);
                if (s_.Over())
                    return Answer::Gone;
                if (keys.key[t])
                    return Answer::Ok;
                continue;
            }
            const Answer a = ReadWith(*keys.key[t], block, type);
            if (a != Answer::Refused)
                return a;
        }
        return Answer::Refused;
    }

    Session& s_;
    const QStringList& keys_;
    CardProgress& progress_;
    std::optional<CardSize> size_;
    bool writing_;
    std::optional<CardSize> imageSize_;
    ReadResult result_;
    QStringList openers_;
};

// Writes one sector of `source` onto the card read as `target`.
class SectorWriter
{
public:
    SectorWriter(Session& s, const CardImage& source, const ReadResult& target,
                 const WriteOptions& options, CardProgress& progress, QList<WriteStep>& steps)
        : s_(s), source_(source), target_(target), options_(options), progress_(progress),
          steps_(steps)
    {
    }

    void Run(int sector)
    {
        s_.At(true, sector, source_.Sectors());
        const int first = FirstBlock(sector);
        const int trailer = first + BlocksInSector(sector) - 1;
        for (const SectorReport& r : target_.sectors)
            if (r.sector == sector)
                report_ = r;
        for (int block = std::max(first, 1); block < trailer && !s_.Over(); ++block)
            Data(block);
        if (!s_.Over())
            Trailer(sector, trailer);
    }

private:
    // A key of the card that may do what `who` allows. The read found the keys
    // it needed to read; a write may need the other one, which is then looked
    // for among the candidates, on a block that key may read.
    std::optional<KeyUse> KeyFor(Caption who)
    {
        if (Allows(who, KeyType::A) && report_.keyA)
            return KeyUse{KeyType::A, *report_.keyA};
        if (Allows(who, KeyType::B) && report_.keyB)
            return KeyUse{KeyType::B, *report_.keyB};
        for (KeyType type : {KeyType::A, KeyType::B})
            if (Allows(who, type) && !searched_[int(type)]) {
                searched_[int(type)] = true;
                if (const auto key = Search(type))
                    return KeyUse{type, *key};
            }
        return std::nullopt;
    }

    std::optional<QString> Search(KeyType type)
    {
        const CardImage& card = target_.image;
        const int first = FirstBlock(report_.sector);
        const int trailer = first + BlocksInSector(report_.sector) - 1;
        const auto trailerCondition = card.ConditionOf(trailer);
        if (!trailerCondition)
            return std::nullopt;
        // The trailer, whose access bits key A may always read; else a data
        // block this key may read.
        int probe = -1;
        if (Allows(RightOf(Group::AccessRead, *trailerCondition, *trailerCondition), type))
            probe = trailer;
        for (int b = first; b < trailer && probe < 0; ++b)
            if (const auto c = card.ConditionOf(b);
                c && Allows(RightOf(Group::Read, *c, *trailerCondition), type))
                probe = b;
        if (probe < 0)
            return std::nullopt;
        for (const QString& key : options_.keys) {
            QString data;
            Answer a = s_.Load(key);
            if (a == Answer::Ok)
                a = s_.Read(probe, type, &data);
            if (a == Answer::Gone)
                return std::nullopt;
            if (a == Answer::Ok) {
                (type == KeyType::A ? report_.keyA : report_.keyB) = key;
                return key;
            }
        }
        return std::nullopt;
    }

    void Step(int block, WriteStep::Kind kind, const QString& reason = {})
    {
        steps_.append(WriteStep{block, kind, reason});
        progress_.BlockDone(steps_.last());
    }

    void Written(int block, Answer a)
    {
        if (a == Answer::Ok)
            return Step(block, WriteStep::Kind::Written);
        if (a == Answer::Gone && !s_.LastSent())
            return Step(block, WriteStep::Kind::NotTried, QStringLiteral("not tried"));
        if (a == Answer::Gone)
            return Step(block, WriteStep::Kind::Failed,
                        QStringLiteral("not confirmed: ") + RunEndText(s_.end));
        // Refused: by the card, or by a reader whose card has gone.
        if (!s_.CardStillThere()) {
            if (!s_.Over())
                s_.end = RunEnd::CardGone;
            return Step(block, WriteStep::Kind::Failed,
                        QStringLiteral("not written: ") + RunEndText(s_.end));
        }
        s_.end = RunEnd::WriteFailed;
        Step(block, WriteStep::Kind::Failed,
             QStringLiteral("the reader did not confirm the write"));
    }

    void Data(int block)
    {
        const CardImage& card = target_.image;
        if (!source_.Known(block))
            return Step(block, WriteStep::Kind::Skipped,
                        QStringLiteral("the image does not know it whole"));
        if (card.Known(block) && card.Hex(block) == source_.Hex(block))
            return Step(block, WriteStep::Kind::Unchanged);
        if (!report_.Opened())
            return Step(block, WriteStep::Kind::Skipped,
                        QStringLiteral("no key given opens its sector on the card"));
        const std::optional<Condition> condition = card.ConditionOf(block);
        const int trailerBlock = FirstBlock(report_.sector) + BlocksInSector(report_.sector) - 1;
        const std::optional<Condition> trailer = card.ConditionOf(trailerBlock);
        if (!condition || !trailer)
            return Step(block, WriteStep::Kind::Skipped,
                        QStringLiteral("the card's access conditions are not known"));
        const auto key = KeyFor(RightOf(Group::Write, *condition, *trailer));
        if (!key)
            return Step(block, WriteStep::Kind::Skipped,
                        QStringLiteral("no known key of the card may write it"));
        Answer a = s_.Load(key->key);
        if (a == Answer::Ok)
            a = s_.Write(block, key->type, source_.Hex(block));
        Written(block, a);
    }

    void Trailer(int sector, int block)
    {
        const auto keyA = source_.KeyA(sector);
        const auto keyB = source_.KeyB(sector);
        const auto access = source_.AccessBits(sector);
        if (!keyA || !keyB)
            return Step(block, WriteStep::Kind::Skipped,
                        QStringLiteral("the image does not know both its keys"));
        if (!access)
            return Step(block, WriteStep::Kind::Skipped,
                        QStringLiteral("the image does not know its access bits"));
        const QString contents = *keyA + *access + *keyB;
        if (CheckTrailerBlock(contents) != TrailerFault::None)
            return Step(block, WriteStep::Kind::Skipped,
                        QStringLiteral("access bits inconsistent: the sector would be blocked"));
        const CardImage& card = target_.image;
        if (card.Known(block) && card.Hex(block) == contents)
            return Step(block, WriteStep::Kind::Unchanged);
        if (AssessTrailer(*DecodeAccessBits(*access)).NeedsConfirmation() &&
            !options_.allowPermanent)
            return Step(block, WriteStep::Kind::Skipped,
                        QStringLiteral("it would fix the sector for good; allow that to write it"));
        if (!report_.Opened())
            return Step(block, WriteStep::Kind::Skipped,
                        QStringLiteral("no key given opens its sector on the card"));
        const std::optional<Condition> present = card.ConditionOf(block);
        const auto key = present ? KeyFor(TrailerWriter(*present)) : std::nullopt;
        if (!key)
            return Step(block, WriteStep::Kind::Skipped,
                        QStringLiteral("no known key of the card may change its trailer whole"));
        Written(block, s_.WriteTrailer(key->type, key->key, block, contents));
    }

    Session& s_;
    const CardImage& source_;
    const ReadResult& target_;
    const WriteOptions& options_;
    CardProgress& progress_;
    QList<WriteStep>& steps_;
    SectorReport report_;
    bool searched_[2] = {false, false};
};

} // namespace

const char* RunEndText(RunEnd end)
{
    switch (end) {
    case RunEnd::Done:
        return "done";
    case RunEnd::NoReader:
        return "no reader";
    case RunEnd::CardGone:
        return "card gone";
    case RunEnd::CardChanged:
        return "card changed";
    case RunEnd::Cancelled:
        return "cancelled";
    case RunEnd::Stopped:
        return "stopped";
    case RunEnd::NoBackup:
        return "no backup";
    case RunEnd::WriteFailed:
        return "write failed";
    case RunEnd::SizeUnknown:
        return "card size unknown";
    case RunEnd::SizeMismatch:
        return "card size differs";
    }
    return "";
}

std::optional<CardSize> SizeFromSak(uint8_t sak)
{
    struct Sak
    {
        uint8_t value;
        CardSize size;
    };
    static constexpr Sak kSaks[] = {{0x08, CardSize::k1K}, {0x88, CardSize::k1K},
                                    {0x28, CardSize::k1K}, {0x18, CardSize::k4K},
                                    {0x98, CardSize::k4K}, {0x38, CardSize::k4K}};
    for (const Sak& k : kSaks)
        if (k.value == sak)
            return k.size;
    return std::nullopt;
}

std::optional<CardSize> SizeOfCard(const CardImage& image)
{
    const auto sak = image.Byte(0, LayoutOfBlock0(image.Partial(0)).sakByte);
    return sak ? SizeFromSak(*sak) : std::nullopt;
}

int ReadResult::Opened() const
{
    return int(std::count_if(sectors.begin(), sectors.end(),
                             [](const SectorReport& r) { return r.Opened(); }));
}

bool ReadResult::Complete() const
{
    if (end != RunEnd::Done || sectors.size() != image.Sectors())
        return false;
    return std::all_of(sectors.begin(), sectors.end(),
                       [](const SectorReport& r) { return r.Opened() && r.read == r.blocks; });
}

int WriteResult::Count(WriteStep::Kind kind) const
{
    return int(std::count_if(steps.begin(), steps.end(),
                             [kind](const WriteStep& s) { return s.kind == kind; }));
}

int WriteResult::NotTried() const
{
    return blocks - int(steps.size()) + Count(WriteStep::Kind::NotTried);
}

ReadResult ReadCard(CommandLink& link, const Addressee& to, std::optional<CardSize> size,
                    const QStringList& keys, CardProgress& progress)
{
    Session s(link, to, progress, false);
    ReadResult result;
    if (s.Begin()) {
        result = CardReader(s, size, keys, progress).Run();
    } else {
        result.image = CardImage(size.value_or(CardSize::k1K));
        result.sizeAssumed = !size;
        result.end = s.end;
    }
    s.Finish();
    s.Ended();
    result.commands = s.sent;
    return result;
}

namespace {

// The image to write, once the card's size is known.
using Source = std::function<CardImage(CardSize card)>;

WriteResult Write(CommandLink& link, const Addressee& to, std::optional<CardSize> imageSize,
                  const Source& source, const WriteOptions& options, const Backup& backup,
                  CardProgress& progress)
{
    WriteResult result;
    Session s(link, to, progress, true);
    if (!s.Begin()) {
        result.target.image = CardImage(options.size.value_or(imageSize.value_or(CardSize::k1K)));
        result.end = result.target.end = s.end;
        s.Finish();
        s.Ended();
        return result;
    }
    // The target's own keys may be among the image's: they are tried after the list.
    QStringList keys = options.keys;
    if (imageSize) {
        const CardImage image = source(*imageSize);
        for (int sector = 0; sector < image.Sectors(); ++sector)
            for (const auto& key : {image.KeyA(sector), image.KeyB(sector)})
                if (key && !keys.contains(*key))
                    keys.append(*key);
    }
    result.target = CardReader(s, options.size, keys, progress, true, imageSize).Run();
    // The card's size: as given, and as its block 0 tells where it can be read.
    const auto told = SizeOfCard(result.target.image);
    std::optional<CardSize> card = options.size ? options.size : told;
    if (!s.Over() || s.end == RunEnd::SizeUnknown || s.end == RunEnd::SizeMismatch) {
        s.end = RunEnd::Done;
        if (!card)
            s.end = RunEnd::SizeUnknown;
        else if ((told && *told != *card) || (imageSize && *imageSize != *card))
            s.end = RunEnd::SizeMismatch;
    }
    // The card written is the card the caller saw: another one laid on since
    // is no card of this run.
    if (!s.Over() && options.uid && CardUid(result.target.image) != *options.uid) {
        s.end = RunEnd::CardChanged;
        result.otherUid = CardUid(result.target.image);
    }
    CardImage image;
    if (!s.Over()) {
        image = source(*card);
        result.blocks = image.Blocks() - 1;
        if (backup(result.target.image))
            result.backedUp = true;
        else
            s.end = RunEnd::NoBackup;
    }
    WriteOptions all = options;
    all.keys = keys;
    qsizetype checked = 0; // the steps before the last look at block 0
    for (int sector = 0; sector < image.Sectors() && !s.Over(); ++sector) {
        // A card laid on in place of this one without a moment of empty field
        // answers as it would: block 0 tells, before more goes onto it.
        const auto wrote = [&](const WriteStep& w) {
            return w.kind == WriteStep::Kind::Written || w.kind == WriteStep::Kind::Failed;
        };
        if (options.uid && std::any_of(result.steps.begin() + checked, result.steps.end(), wrote)) {
            if (SameCard(s, *options.uid, image, result.steps, result.target.image, all.keys,
                         &result.otherUid))
                result.confirmed = result.steps.size();
            checked = result.steps.size();
            if (s.Over())
                break;
        }
        SectorWriter(s, image, result.target, all, progress, result.steps).Run(sector);
    }
    result.end = s.end;
    s.Finish();
    s.Ended();
    result.target.commands = s.sent;
    return result;
}

} // namespace

WriteResult WriteCard(CommandLink& link, const Addressee& to, const CardImage& source,
                      const WriteOptions& options, const Backup& backup, CardProgress& progress)
{
    return Write(
        link, to, source.Size(), [&source](CardSize) { return source; }, options, backup, progress);
}

WriteResult FormatCard(CommandLink& link, const Addressee& to, const WriteOptions& options,
                       const Backup& backup, CardProgress& progress)
{
    return Write(link, to, std::nullopt, &DeliveryImage, options, backup, progress);
}

CardImage DeliveryImage(CardSize size)
{
    CardImage image(size);
    const QString zero(kDataDigits, QLatin1Char('0'));
    const QString trailer = QStringLiteral("FFFFFFFFFFFFFF078069FFFFFFFFFFFF");
    for (int sector = 0; sector < image.Sectors(); ++sector) {
        const int first = FirstBlock(sector);
        const int last = first + BlocksInSector(sector) - 1;
        for (int block = std::max(first, 1); block < last; ++block)
            image.SetHex(block, zero);
        image.SetHex(last, trailer);
    }
    return image;
}

QList<int> SectorsFixedForGood(const CardImage& image)
{
    QList<int> sectors;
    for (int sector = 0; sector < image.Sectors(); ++sector)
        if (const auto access = image.AccessBits(sector))
            if (const auto conditions = DecodeAccessBits(*access);
                conditions && AssessTrailer(*conditions).NeedsConfirmation())
                sectors.append(sector);
    return sectors;
}

} // namespace mifare

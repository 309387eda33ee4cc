#include "issue.h"

#include <map>

#include "blocks.h"
#include "link/answers.h"
#include "link/payload.h"
#include "reader/configuration.h"
#include "valueblock.h"

namespace mifare {

namespace {

constexpr int kIssueBlockAnswer = 42;
constexpr char kAuthFailed[] = "03";

bool BlockRead(const CommandLink& link, bool exchanged)
{
    return link::StatusAccepted(exchanged, link.LastResponse(), link.ResponseLength(),
                                kIssueBlockAnswer);
}

bool AuthFailed(const CommandLink& link, bool exchanged)
{
    return exchanged && link.LastResponse().substr(5, 2) == kAuthFailed;
}

QString ReadData(const CommandLink& link)
{
    return link::PayloadText(link.LastResponse().substr(7, 32));
}

QString ReadCommand(bool keyB, int block)
{
    return QStringLiteral("h") + (keyB ? QStringLiteral("61") : QStringLiteral("60")) + Hex2(block);
}

// Whether a block read back holds what was written: every byte both know.
bool SameKnownBytes(const CardImage& written, const QString& readHex, int block)
{
    const auto read = ParseBlockHex(readHex);
    if (!read)
        return false;
    const bool trailer =
        block == FirstBlock(SectorOfBlock(block)) + BlocksInSector(SectorOfBlock(block)) - 1;
    for (int i = 0; i < 16; ++i) {
        // Key A never reads back; key B only where the conditions let it.
        if (trailer && (i < 6 || i >= 10))
            continue;
        const auto w = written.Byte(block, i);
        if (w && (*read)[size_t(i)] != *w)
            return false;
    }
    return true;
}

} // namespace

std::optional<QString> CardWatch::Poll(CommandLink& link, const Addressee& to)
{
    if (keys_.isEmpty())
        return std::nullopt;
    if (!on_) {
        link.Pause(reader::kCommandPauseMs);
        if (!reader::Identify(link, to) || !reader::Send(link, to, QStringLiteral("b01")))
            return std::nullopt;
        on_ = true;
        loaded_ = -1;
    }
    for (int tried = 0; tried < keys_.size(); ++tried) {
        const int k = (key_ + tried) % int(keys_.size());
        if (loaded_ != k) {
            if (!reader::Send(link, to, QStringLiteral("f") + keys_[k])) {
                on_ = false;
                return std::nullopt;
            }
            loaded_ = k;
        }
        const bool exchanged = reader::Send(link, to, ReadCommand(false, 0));
        if (BlockRead(link, exchanged)) {
            key_ = k;
            return ReadData(link);
        }
        if (!AuthFailed(link, exchanged)) {
            // No card, or no answer: nothing to try other keys on.
            on_ = on_ && exchanged;
            return std::nullopt;
        }
    }
    return std::nullopt;
}

void CardWatch::Release(CommandLink& link, const Addressee& to)
{
    if (on_)
        reader::Send(link, to, QStringLiteral("b00"));
    on_ = false;
}

QString UidOfBlock0(const QString& block0)
{
    return block0.left(8).toUpper();
}

CardImage WithNumber(const CardImage& image, int block, int32_t number)
{
    CardImage numbered = image;
    numbered.SetBlock(block, EncodeValueBlock(number, uint8_t(block)));
    return numbered;
}

bool IssueResult::Issued() const
{
    return write.end == RunEnd::Done && verified && unverified.isEmpty() &&
           write.Count(WriteStep::Kind::Failed) == 0 && write.Count(WriteStep::Kind::Skipped) == 0;
}

IssueResult IssueCard(CommandLink& link, const Addressee& to, const CardImage& source,
                      const WriteOptions& options, const Backup& backup, CardProgress& progress)
{
    IssueResult r;
    r.write = WriteCard(link, to, source, options, backup, progress);
    if (r.write.end != RunEnd::Done)
        return r;
    std::map<int, QList<int>> written; // by sector
    for (const WriteStep& s : r.write.steps)
        if (s.kind == WriteStep::Kind::Written)
            written[SectorOfBlock(s.block)].append(s.block);
    link.Pause(reader::kCommandPauseMs);
    if (!reader::Identify(link, to))
        return r;
    reader::Send(link, to, QStringLiteral("b01"));
    bool reached = true;
    for (const auto& [sector, blocks] : written) {
        // The image's own keys are the card's now, where its trailer went.
        QList<std::pair<bool, QString>> keys;
        if (const auto a = source.KeyA(sector))
            keys.append({false, *a});
        if (const auto b = source.KeyB(sector))
            keys.append({true, *b});
        for (const QString& k : options.keys)
            keys.append({false, k});
        QList<int> left = blocks;
        for (const auto& [keyB, key] : keys) {
            if (left.isEmpty() || progress.Cancelled())
                break;
            if (!reader::Send(link, to, QStringLiteral("f") + key)) {
                reached = false;
                break;
            }
            QList<int> next;
            for (int block : left) {
                const bool exchanged = reader::Send(link, to, ReadCommand(keyB, block));
                if (BlockRead(link, exchanged)) {
                    if (!SameKnownBytes(source, ReadData(link), block))
                        r.unverified.append(block);
                } else if (AuthFailed(link, exchanged)) {
                    next.append(block); // another key may read it
                } else {
                    reached = false;
                    break;
                }
            }
            if (!reached)
                break;
            left = next;
        }
        r.unverified += left;
        if (!reached)
            break;
    }
    reader::Send(link, to, QStringLiteral("b00"));
    r.verified = reached;
    return r;
}

} // namespace mifare

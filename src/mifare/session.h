#pragma once

// One whole-card run's conversation with the reader, shared by the read, the
// write and the read-back of an issued card: the pause before each command,
// the second try of a lost answer, the key loaded, and how the run ends.

#include <QString>

#include <functional>
#include <optional>

#include "blocks.h"
#include "link/answers.h"
#include "link/interrupt.h"
#include "reader/configuration.h"
#include "wholecard.h"

namespace mifare {

inline constexpr size_t kStatusOffset = 5;
inline constexpr size_t kDataOffset = 7;
inline constexpr int kDataDigits = 32;
// The status of a block command the reader gives when no card answers.
inline constexpr char kNoCardStatus[] = "02";

inline const char* const kTypeCodes[] = {"60", "61"}; // key A, key B

inline QString Code(KeyType type)
{
    return QLatin1String(kTypeCodes[type == KeyType::B ? 1 : 0]);
}

// How one command ended.
enum class Answer {
    Ok,
    Refused, // a frame of the right length whose status (or echo) says no
    Gone,    // no answer twice, or the run is over: nothing more is sent
};

// How an answer counts: Broken (no frame of the expected shape) is asked for
// once more; the others are final. NoCard: the reader says no card answers,
// so whatever comes next would go to the next card laid on it.
enum class Verdict { Ok, Refused, Broken, NoCard };

// A block read, kept to tell a card that went away from a refusal.
struct ReadMark
{
    int block;
    KeyType type;
    QString key;
};

// One run's conversation with the reader: the pause before each command, the
// second try of a lost answer, the key loaded, and how the run ends.
class Session
{
public:
    Session(CommandLink& link, const Addressee& to, CardProgress& progress, bool writing)
        : link_(link), to_(to), progress_(progress)
    {
        steps_ = writing ? 2 : 1;
    }

    RunEnd end = RunEnd::Done;
    int sent = 0;
    std::optional<ReadMark> lastRead; // the last block read, to tell a card that has gone

    bool Over() const { return end != RunEnd::Done; }
    // Whether the last command reached the reader: one the run ended before was never tried.
    bool LastSent() const { return lastSent_; }

    // Where the run is, for the front end: a sector begun, a key of a search tried.
    void At(bool writing, int sector, int sectors)
    {
        pos_ = RunPosition{writing, sector, sectors, 0, 0, 0, sectors * steps_};
        pos_.done = (writing ? sectors : 0) + sector;
        progress_.Position(pos_);
    }
    void TryingKey(int key, int keys)
    {
        pos_.key = key;
        pos_.keys = keys;
        progress_.Position(pos_);
    }
    // Called once, when the run is over: the bar is full only then.
    void Ended()
    {
        if (pos_.total == 0)
            return;
        pos_.key = pos_.keys = 0;
        pos_.done = pos_.total;
        progress_.Position(pos_);
    }

    // Identify with its two attempts, then mode on, whose answer is not examined.
    bool Begin()
    {
        bool identified = false;
        for (int attempt = 0; attempt < reader::kAttempts && !identified; ++attempt) {
            if (!Continuing())
                return false;
            link_.Pause(reader::kCommandPauseMs);
            identified = reader::Identify(link_, to_).has_value();
            Sent();
        }
        if (!identified) {
            if (!Over())
                end = RunEnd::NoReader;
            return false;
        }
        if (!Continuing())
            return false;
        reader::Send(link_, to_, QStringLiteral("b01"));
        Sent();
        return true;
    }

    // Mode off, once at the end of every run that got the port, whatever came
    // before: cancelled, the card gone or the reader silent.
    void Finish()
    {
        reader::Send(link_, to_, QStringLiteral("b00"));
        Sent();
    }

    Answer Load(const QString& key)
    {
        if (loaded_ == key)
            return Answer::Ok;
        loaded_.clear();
        const Answer a = Command(QStringLiteral("f") + key, [](const CommandLink&) {
            return Verdict::Ok; // any valid frame
        });
        if (a == Answer::Ok)
            loaded_ = key;
        return a;
    }

    Answer Read(int block, KeyType type, QString* data)
    {
        const Answer a = Command(QStringLiteral("h") + Code(type) + Hex2(block), BlockVerdict());
        if (a == Answer::Ok) {
            *data = QString::fromLatin1(link_.LastResponse().substr(kDataOffset, kDataDigits));
            lastRead = ReadMark{block, type, loaded_};
        }
        return a;
    }

    // A reader may answer a card that has gone with a refusal: a block read
    // before that no longer reads tells it. False, the run over, where it is gone.
    bool CardStillThere()
    {
        if (!lastRead)
            return true;
        const ReadMark mark = *lastRead;
        QString data;
        Answer a = Load(mark.key);
        if (a == Answer::Ok)
            a = Read(mark.block, mark.type, &data);
        if (a == Answer::Refused)
            end = RunEnd::CardGone;
        return a == Answer::Ok;
    }

    Answer Write(int block, KeyType type, const QString& data)
    {
        const std::string written = data.toStdString();
        return Command(
            QStringLiteral("i") + Code(type) + Hex2(block) + data, [written](const CommandLink& l) {
                const Verdict v = BlockVerdict()(l);
                // A write counts only when the reader echoes what was written.
                return v == Verdict::Ok && !link::BlockEchoAccepted(true, l.LastResponse(),
                                                                    l.ResponseLength(), written)
                           ? Verdict::Refused
                           : v;
            });
    }

    // The old key travels in the command; the echo of a trailer is not compared.
    Answer WriteTrailer(KeyType oldType, const QString& oldKey, int block, const QString& contents)
    {
        return Command(QStringLiteral("i") + Code(oldType) + oldKey + Hex2(block) + contents,
                       BlockVerdict());
    }

private:
    static std::function<Verdict(const CommandLink&)> BlockVerdict()
    {
        return [](const CommandLink& l) {
            if (l.ResponseLength() != kBlockAnswerLength)
                return Verdict::Broken;
            if (l.LastResponse().compare(kStatusOffset, 2, kNoCardStatus) == 0)
                return Verdict::NoCard;
            return l.LastResponse().compare(kStatusOffset, 2, "00") == 0 ? Verdict::Ok
                                                                         : Verdict::Refused;
        };
    }

    // Whether the run may send another command; says why not where it may not.
    bool Continuing()
    {
        if (Over())
            return false;
        if (link::StopRequested())
            end = RunEnd::Stopped;
        else if (progress_.Cancelled())
            end = RunEnd::Cancelled;
        return !Over();
    }

    void Sent() { ++sent; }

    Answer Command(const QString& command,
                   const std::function<Verdict(const CommandLink&)>& verdict)
    {
        lastSent_ = false;
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!Continuing())
                return Answer::Gone;
            const bool exchanged = reader::Send(link_, to_, command);
            // A stop in the pause before it: the frame never went out.
            lastSent_ = lastSent_ || exchanged || link_.FrameSent();
            Sent();
            if (exchanged) {
                const Verdict v = verdict(link_);
                if (v == Verdict::NoCard) {
                    end = RunEnd::CardGone;
                    return Answer::Gone;
                }
                if (v != Verdict::Broken)
                    return v == Verdict::Ok ? Answer::Ok : Answer::Refused;
            }
        }
        if (link::StopRequested())
            end = RunEnd::Stopped;
        else if (!Over())
            end = RunEnd::CardGone;
        return Answer::Gone;
    }

    CommandLink& link_;
    Addressee to_;
    CardProgress& progress_;
    int steps_ = 1; // per sector: a read, and a write where the run writes
    RunPosition pos_;
    bool lastSent_ = false;
    QString loaded_; // the key the reader holds for block commands; "" unknown
};

} // namespace mifare

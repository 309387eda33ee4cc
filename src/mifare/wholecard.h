#pragma once

// The whole card as command sequences over the reader: read every sector with
// a list of candidate keys, write an image back (restore or clone), and format
// a card to its delivery state. Each is one run: one identify, one mode on, the
// commands with their 100 ms pauses, and mode off once at the end on every path.

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

#include "cardimage.h"
#include "link/commandlink.h"

namespace mifare {

using link::Addressee;
using link::CommandLink;

// What a sector's read found.
struct SectorReport
{
    int sector = 0;
    std::optional<QString> keyA; // the key that opened it as key A, if one did
    std::optional<QString> keyB; // as key B
    int blocks = 0;              // in the sector, its trailer included
    int read = 0;                // of them, read
    bool Opened() const { return keyA || keyB; }
};

// What happened to one block of a write.
struct WriteStep
{
    enum class Kind {
        Written,   // the reader confirmed it
        Unchanged, // the card held it already
        Skipped,   // not written: `reason` says why; the run went on
        Failed,    // sent, and not confirmed: the run stopped there
        NotTried,  // the run ended before it: nothing was sent for it
    };
    int block = 0;
    Kind kind = Kind::Written;
    QString reason; // English, for Skipped and Failed
};

// How a run ended.
enum class RunEnd {
    Done,
    NoReader,    // the reader did not identify itself
    CardGone,    // the card went away (no answer twice, "no card", or refused where it had read)
    CardChanged, // block 0 shows another card than the one the run is for: nothing more sent
    Cancelled,   // the front end asked, between two commands
    Stopped,     // a signal asked the process to stop
    NoBackup,    // the target's backup could not be saved: nothing was written
    WriteFailed,
    SizeUnknown,  // no size given, and block 0 does not tell it: nothing was written
    SizeMismatch, // the image is of the other size than the card: nothing was written
};
// "done", "no reader", "card gone", "card changed", "cancelled", "stopped", "no backup",
// "write failed", "card size unknown", "card size differs".
const char* RunEndText(RunEnd end);

// Where a run is: the sector it works on and, during a search of the key
// lists, the key it tries. `done` of `total` steps (a sector read, a sector
// written) are behind it; done == total only when the run has ended.
struct RunPosition
{
    bool writing = false; // the write of a restore or format, after its read
    int sector = 0;
    int sectors = 0;
    int key = 0; // 1-based, 0 when no key is being searched for
    int keys = 0;
    int done = 0;
    int total = 0;
};

// What a front end sees while a run goes on. Every call is optional.
class CardProgress
{
public:
    virtual ~CardProgress() = default;
    // A sector's read has ended, opened or not.
    virtual void SectorRead(const SectorReport& report) { (void)report; }
    // A block of a write or a format has been dealt with.
    virtual void BlockDone(const WriteStep& step) { (void)step; }
    virtual void Position(const RunPosition& at) { (void)at; }
    // Asked before each command: true ends the run there.
    virtual bool Cancelled() { return false; }
};

struct ReadResult
{
    CardImage image;
    QList<SectorReport> sectors; // in order, as far as the run got
    RunEnd end = RunEnd::Done;
    int endSector = -1;       // the sector where the card went, or the run was stopped
    int commands = 0;         // sent, identify and mode on/off included
    bool sizeAssumed = false; // no size given and block 0 unread: read as 1K
    // Every sector opened and every block it has read.
    bool Complete() const;
    int Opened() const;
};

// The size block 0's SAK tells (byte 5 after a 4-byte UID, byte 7 after a
// 7-byte one): 08, 88, 28 a 1K card; 18, 98, 38 a 4K one.
std::optional<CardSize> SizeFromSak(uint8_t sak);
std::optional<CardSize> SizeOfCard(const CardImage& image);

// Reads a card of `size` with the candidate keys, in order; without a size, as
// block 0 tells it (1K where it cannot be read). Keys that opened a
// sector are tried first on the next one. Each sector: load a key, read its
// first block as key A, then as key B; with a key that works, read the
// trailer, then the other blocks, each with a key the access conditions allow
// (searching the list for the other key where only it may read a block, and
// for key A on the trailer where only key B opened the sector). A refusal is
// a refusal; no answer or a broken frame is tried once more, then the card is
// taken as gone, as it is when a block read before is refused too before a
// sector is called unreadable.
ReadResult ReadCard(CommandLink& link, const Addressee& to, std::optional<CardSize> size,
                    const QStringList& keys, CardProgress& progress);

struct WriteOptions
{
    QStringList keys;             // candidates for the target's own keys
    bool allowPermanent = false;  // write trailers that would fix a sector for good
    std::optional<CardSize> size; // the card's, where the user gave it; else block 0's
    // The UID of the card the write is for: a card whose block 0 shows
    // another is left unwritten, and block 0 is read again before each
    // sector that follows writes: once it shows another card (CardChanged) or
    // none (CardGone), nothing more is sent.
    std::optional<QString> uid = {};
};

struct WriteResult
{
    ReadResult target; // the card as read before anything was written
    QList<WriteStep> steps;
    RunEnd end = RunEnd::Done;
    bool backedUp = false; // the backup was saved
    int blocks = 0;        // the blocks the write meant to deal with, block 0 aside
    QString otherUid;      // CardChanged: the UID block 0 showed instead
    // Of `steps`, those before the last look at block 0 that showed the
    // card's own UID: surely on that card.
    qsizetype confirmed = 0;
    int Count(WriteStep::Kind kind) const;
    // Those of `blocks` nothing was sent for.
    int NotTried() const;
};

// The target's image, before anything is written; false stops the run unwritten.
using Backup = std::function<bool(const CardImage& target)>;

// Writes `source` onto the card in the field: a whole-card read of it first
// (with the keys given, then the source's own), handed to `backup`; then sector
// by sector the data blocks, each with a key of the card that may write it, and
// the trailer last. Block 0 is never written. A data block the source does not
// know whole is skipped; a trailer only goes when it is sound, both its keys
// are known, the card's present trailer lets one known key write it whole, and
// (unless allowed) it would not fix the sector for good. A write the reader
// does not confirm stops the run.
// The card's size must be known (given, or read from block 0) and the
// image's; else nothing is written. A card that went away is told from a
// refused write by reading a block read before.
WriteResult WriteCard(CommandLink& link, const Addressee& to, const CardImage& source,
                      const WriteOptions& options, const Backup& backup, CardProgress& progress);
// The delivery state of the card's own size, written as WriteCard does.
WriteResult FormatCard(CommandLink& link, const Addressee& to, const WriteOptions& options,
                       const Backup& backup, CardProgress& progress);

// The card family's delivery state: data blocks 00, every trailer
// FFFFFFFFFFFF FF078069 FFFFFFFFFFFF; block 0 unknown, as it is never written.
CardImage DeliveryImage(CardSize size);

// The sectors whose trailer in `image` would, written, leave its access bits
// or a data block writable by no key: the ones a write asks to confirm.
QList<int> SectorsFixedForGood(const CardImage& image);

} // namespace mifare

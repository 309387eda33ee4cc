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
        Failed,    // the write was not confirmed: the run stopped there
    };
    int block = 0;
    Kind kind = Kind::Written;
    QString reason; // English, for Skipped and Failed
};

// How a run ended.
enum class RunEnd {
    Done,
    NoReader,  // the reader did not identify itself
    CardGone,  // the card went away (no answer twice, or refused where it had read)
    Cancelled, // the front end asked, between two commands
    Stopped,   // a signal asked the process to stop
    NoBackup,  // the target's backup could not be saved: nothing was written
    WriteFailed,
};
// "done", "no reader", "card gone", "cancelled", "stopped", "no backup", "write failed".
const char* RunEndText(RunEnd end);

// What a front end sees while a run goes on. Every call is optional.
class CardProgress
{
public:
    virtual ~CardProgress() = default;
    // A sector's read has ended, opened or not.
    virtual void SectorRead(const SectorReport& report) { (void)report; }
    // A block of a write or a format has been dealt with.
    virtual void BlockDone(const WriteStep& step) { (void)step; }
    // Commands sent so far and about how many the run will send.
    virtual void Commands(int sent, int expected) { (void)sent, (void)expected; }
    // Asked before each command: true ends the run there.
    virtual bool Cancelled() { return false; }
};

struct ReadResult
{
    CardImage image;
    QList<SectorReport> sectors; // in order, as far as the run got
    RunEnd end = RunEnd::Done;
    int endSector = -1; // the sector where the card went, or the run was stopped
    int commands = 0;   // sent, identify and mode on/off included
    // Every sector opened and every block it has read.
    bool Complete() const;
};

// Reads a card of `size` with the candidate keys, in order; keys that opened a
// sector are tried first on the next one. Each sector: load a key, read its
// first block as key A, then as key B; with a key that works, read the
// trailer, then the other blocks, each with a key the access conditions allow
// (searching the list for the other key where only it may read a block, and
// for key A on the trailer where only key B opened the sector). A refusal is
// a refusal; no answer or a broken frame is tried once more, then the card is
// taken as gone, as it is when a block read before is refused too before a
// sector is called unreadable.
ReadResult ReadCard(CommandLink& link, const Addressee& to, CardSize size, const QStringList& keys,
                    CardProgress& progress);

struct WriteOptions
{
    QStringList keys;            // candidates for the target's own keys
    bool allowPermanent = false; // write trailers that would fix a sector for good
};

struct WriteResult
{
    ReadResult target; // the card as read before anything was written
    QList<WriteStep> steps;
    RunEnd end = RunEnd::Done;
    int Count(WriteStep::Kind kind) const;
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
WriteResult WriteCard(CommandLink& link, const Addressee& to, const CardImage& source,
                      const WriteOptions& options, const Backup& backup, CardProgress& progress);

// The card family's delivery state: data blocks 00, every trailer
// FFFFFFFFFFFF FF078069 FFFFFFFFFFFF; block 0 unknown, as it is never written.
CardImage DeliveryImage(CardSize size);

// The sectors whose trailer in `image` would, written, leave its access bits
// or a data block writable by no key: the ones a write asks to confirm.
QList<int> SectorsFixedForGood(const CardImage& image);

} // namespace mifare

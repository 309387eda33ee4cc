// The whole MIFARE card: dump, restore and format over the reader; diff,
// convert and value blocks without one.
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "cardoptions.h"
#include "cli.h"
#include "link/interrupt.h"
#include "mifare/dumpfile.h"
#include "mifare/keylist.h"
#include "mifare/valueblock.h"
#include "mifare/wholecard.h"
#include "store/diskcalls.h"
#include "store/safefile.h"
#include "store/statefolder.h"
#include "verb.h"

namespace cli {

// --size: 1k, 4k, or auto (as block 0 tells, the default).
std::optional<mifare::CardSize> Size(const Context& c)
{
    const QString size = c.p.value(QStringLiteral("size"));
    const QString lower = size.toLower();
    if (!c.Flag("size") || lower == QLatin1String("auto"))
        return std::nullopt;
    if (lower == QLatin1String("1k"))
        return mifare::CardSize::k1K;
    if (lower == QLatin1String("4k"))
        return mifare::CardSize::k4K;
    throw UsageError{
        QStringLiteral("--size takes 1k, 4k or auto, not \"%1\"").arg(ControlsEscaped(size))};
}

QString SizeName(mifare::CardSize size)
{
    return size == mifare::CardSize::k4K ? QStringLiteral("4K") : QStringLiteral("1K");
}

// A file the run will write: its folder (where links lead) must take it, and
// it may not be a folder, a device or a pipe; known before the card is read.
void CheckFolderFor(const QString& option, const QString& given)
{
    const QString path = ThroughLinks(given);
    if (const QString why = NotAFileToReplace(path); !why.isEmpty())
        throw UsageError{QStringLiteral("--%1: %2: %3").arg(option, ControlsEscaped(path), why)};
    if (const QString why = FolderRefusal(path); !why.isEmpty())
        throw UsageError{QStringLiteral("--%1: %2").arg(option, why)};
}

// Each key file's keys, then the built-in ones unless left out, each key once:
// the site's own keys first, as the card window tries them.
QStringList Keys(const Context& c)
{
    QList<QStringList> lists;
    for (const QString& path : c.p.values(QStringLiteral("keys"))) {
        QString error;
        const auto keys = mifare::ReadKeyFile(path, &error);
        if (!keys)
            throw UsageError{error};
        lists.append(*keys);
    }
    if (!c.Flag("no-default-keys"))
        lists.append(mifare::DefaultKeys());
    const QStringList keys = mifare::MergeKeys(lists);
    if (keys.isEmpty())
        throw UsageError{QStringLiteral("no keys to try: give --keys FILE, or leave out "
                                        "--no-default-keys")};
    return keys;
}

std::optional<mifare::DumpFormat> FormatOption(const Context& c)
{
    if (!c.Flag("format"))
        return std::nullopt;
    const QString name = c.p.value(QStringLiteral("format"));
    if (const auto f = mifare::FormatNamed(name.toLower()))
        return f;
    throw UsageError{QStringLiteral("--format takes mct, mfd or json, not \"%1\"").arg(name)};
}

// The result's note, and its JSON key, where the format wrote unknown bytes as 00.
QString ZeroedNote(const mifare::CardImage& image, mifare::DumpFormat format, QJsonObject& object)
{
    const int zeroed = mifare::UnknownBytesWrittenAsZero(image, format);
    if (zeroed == 0)
        return {};
    object.insert("unknownAsZero", zeroed);
    return QStringLiteral(" (%1 unknown bytes saved as 00)").arg(zeroed);
}

// The format a file is written in: --format, else its extension.
mifare::DumpFormat FormatFor(const Context& c, const QString& path)
{
    if (const auto f = FormatOption(c))
        return *f;
    if (const auto f = mifare::FormatOfPath(path))
        return *f;
    throw UsageError{QStringLiteral("%1: the extension names no format (.mct, .txt, .mfd, .bin, "
                                    ".json); give --format")
                         .arg(path)};
}

mifare::CardImage Load(const QString& path, std::optional<mifare::DumpFormat> format = std::nullopt)
{
    QString error;
    const auto image = mifare::LoadDump(path, format, &error);
    if (!image)
        throw UsageError{error};
    return *image;
}

namespace {

QString Keys(const mifare::SectorReport& r)
{
    QStringList keys;
    if (r.keyA)
        keys << QStringLiteral("key A ") + *r.keyA;
    if (r.keyB)
        keys << QStringLiteral("key B ") + *r.keyB;
    return keys.join(QStringLiteral(", "));
}

QString Blocks(const QList<int>& blocks)
{
    QStringList numbers;
    for (int b : blocks)
        numbers << QString::number(b);
    return numbers.join(QStringLiteral(", "));
}

// What a run shows as it goes: each sector when it is done, as a line or an
// object; and how far it is on the terminal.
class Progress final : public mifare::CardProgress
{
public:
    // `toStderr`: stdout carries the image; plain lines go to stderr.
    explicit Progress(Context& c, bool toStderr = false) : c_(c), toStderr_(toStderr) {}

    void SectorRead(const mifare::SectorReport& r) override
    {
        QJsonObject o{{"sector", r.sector}, {"read", r.read}, {"blocks", r.blocks}};
        if (r.keyA)
            o.insert("keyA", *r.keyA);
        if (r.keyB)
            o.insert("keyB", *r.keyB);
        const QString plain =
            r.Opened() ? QStringLiteral("sector %1 read: %2, %3 of %4 blocks")
                             .arg(r.sector)
                             .arg(Keys(r))
                             .arg(r.read)
                             .arg(r.blocks)
                       : QStringLiteral("sector %1 read: no key given opens it").arg(r.sector);
        Emit(plain, o);
    }

    void BlockDone(const mifare::WriteStep& step) override
    {
        const int sector = mifare::SectorOfBlock(step.block);
        if (sector != sector_)
            Flush();
        sector_ = sector;
        steps_.append(step);
        // A sector's trailer comes last.
        if (step.block == mifare::FirstBlock(sector) + mifare::BlocksInSector(sector) - 1)
            Flush();
    }

    void Position(const mifare::RunPosition& at) override
    {
        if (at.done == at.total) {
            c_.out.Progress(QString());
            return;
        }
        QString text = QStringLiteral("%1: %2sector %3 of %4")
                           .arg(c_.Name(), QLatin1String(at.writing ? "writing " : ""))
                           .arg(at.sector + 1)
                           .arg(at.sectors);
        if (at.key > 1)
            text += QStringLiteral(": key %1 of %2").arg(at.key).arg(at.keys);
        c_.out.Progress(text);
    }

    // The steps of a sector not ended by its trailer (the run stopped in it).
    void Flush()
    {
        if (steps_.isEmpty())
            return;
        using K = mifare::WriteStep::Kind;
        std::map<K, QList<int>> by;
        QJsonArray skipped;
        QStringList reasons;
        for (const mifare::WriteStep& s : steps_) {
            by[s.kind].append(s.block);
            if (s.kind == K::Skipped || s.kind == K::Failed) {
                skipped.append(QJsonObject{
                    {"block", s.block}, {"reason", s.reason}, {"failed", s.kind == K::Failed}});
                reasons << QStringLiteral("%1 (%2)").arg(s.block).arg(s.reason);
            }
        }
        QJsonObject o{{"sector", sector_}};
        QStringList parts;
        const std::pair<K, const char*> kinds[] = {
            {K::Written, "written"}, {K::Unchanged, "unchanged"}, {K::NotTried, "notTried"}};
        for (const auto& [kind, name] : kinds) {
            QJsonArray blocks;
            for (int b : by[kind])
                blocks.append(b);
            o.insert(QLatin1String(name), blocks);
            if (!by[kind].isEmpty())
                parts << QStringLiteral("%1 %2").arg(
                    kind == K::NotTried ? QStringLiteral("not tried") : QLatin1String(name),
                    Blocks(by[kind]));
        }
        o.insert("skipped", skipped);
        if (!reasons.isEmpty())
            parts << QStringLiteral("not written ") + reasons.join(QStringLiteral(", "));
        Emit(QStringLiteral("sector %1 written: %2")
                 .arg(sector_)
                 .arg(parts.join(QStringLiteral("; "))),
             o);
        steps_.clear();
    }

private:
    void Emit(const QString& plain, QJsonObject o)
    {
        o.insert("verb", c_.Name());
        if (toStderr_)
            c_.out.Note(plain, o);
        else
            c_.out.Result(plain, o);
    }

    Context& c_;
    bool toStderr_;
    int sector_ = -1;
    QList<mifare::WriteStep> steps_;
};

// The run's last line, and its exit code: 1 where the run ended early. A run
// a signal stopped says what it did first, then that it was interrupted.
int Ended(Context& c, mifare::RunEnd end, int endSector, QJsonObject summary, QString plain,
          bool toStderr = false)
{
    using mifare::RunEnd;
    summary.insert("verb", c.Name());
    summary.insert("end", QLatin1String(mifare::RunEndText(end)));
    if (!c.lost.isEmpty()) {
        summary.insert("lost", true);
        plain += QStringLiteral("; ") + c.lost;
    } else if (end == RunEnd::CardGone && endSector >= 0) {
        summary.insert("endSector", endSector);
        plain += QStringLiteral("; the card went away at sector %1").arg(endSector);
    } else if (end != RunEnd::Done) {
        plain += QStringLiteral("; ") + QLatin1String(mifare::RunEndText(end));
    }
    if (toStderr)
        c.out.Note(plain, summary);
    else
        c.out.Result(plain, summary);
    if (end == RunEnd::Stopped)
        return Interrupted(c);
    if (end == RunEnd::SizeUnknown)
        return kExitUsage;
    return end == RunEnd::Done ? kExitOk : kExitReader;
}

// Where the card's backup goes: --backup, a file that must not exist yet and
// is not the image written; else a new file in the backup folder, which is
// checked here. All before the reader is touched.
struct BackupPlan
{
    QString path; // --backup; "" for the backup folder
    QString notice;
};

BackupPlan PlanBackup(Context& c, const QString& source)
{
    BackupPlan plan;
    if (c.Flag("backup")) {
        plan.path = c.p.value(QStringLiteral("backup"));
        const QFileInfo backup(plan.path);
        if (!source.isEmpty() && backup.exists() &&
            backup.canonicalFilePath() == QFileInfo(source).canonicalFilePath())
            throw UsageError{QStringLiteral("--backup %1 is the image to write")
                                 .arg(ControlsEscaped(plan.path))};
        if (backup.exists() || backup.isSymLink())
            throw UsageError{QStringLiteral("--backup %1 exists: a backup never replaces a file")
                                 .arg(ControlsEscaped(plan.path))};
        CheckFolderFor(QStringLiteral("backup"), plan.path);
        return plan;
    }
    QString error;
    if (!BackupFolder(&error, &plan.notice))
        throw UsageError{error};
    return plan;
}

int Write(Context& c, const std::optional<mifare::CardImage>& source, const QString& sourcePath)
{
    mifare::WriteOptions options{Keys(c), c.Flag("allow-permanent"), Size(c)};
    if (source && options.size && *options.size != source->Size())
        throw UsageError{QStringLiteral("the image is of a %1 card, --size says %2")
                             .arg(SizeName(source->Size()), SizeName(*options.size))};
    BackupPlan plan = PlanBackup(c, sourcePath);
    if (!plan.notice.isEmpty())
        c.out.Note(plan.notice, {{"verb", c.Name()}, {"notice", plan.notice}});
    QString backup, backupError;
    const mifare::Backup save = [&](const mifare::CardImage& target) {
        const QByteArray json = mifare::WriteDump(target, mifare::DumpFormat::Json);
        if (!plan.path.isEmpty()) {
            backup = plan.path;
            return SaveFileExclusively(backup, json, &backupError);
        }
        const auto path =
            SaveBackup(mifare::BackupStem(target), QStringLiteral("json"), json, &backupError);
        backup = path.value_or(QString());
        return path.has_value();
    };
    mifare::WriteResult result;
    Progress progress(c);
    const int code = WithReader(c, [&](link::Link& l, const Addressee& to) {
        result = source ? mifare::WriteCard(l, to, *source, options, save, progress)
                        : mifare::FormatCard(l, to, options, save, progress);
        return true;
    });
    if (code != kExitOk)
        return code;
    progress.Flush();
    using K = mifare::WriteStep::Kind;
    // Not written: skipped, or sent and not confirmed; not tried: the run ended before it.
    const int notWritten = result.Count(K::Skipped) + result.Count(K::Failed);
    QJsonObject summary{{"written", result.Count(K::Written)},
                        {"unchanged", result.Count(K::Unchanged)},
                        {"skipped", notWritten},
                        {"notTried", result.NotTried()}};
    QString plain = QStringLiteral("%1 written, %2 unchanged, %3 not written, %4 not tried")
                        .arg(result.Count(K::Written))
                        .arg(result.Count(K::Unchanged))
                        .arg(notWritten)
                        .arg(result.NotTried());
    using mifare::RunEnd;
    if (result.end == RunEnd::NoBackup) {
        summary.insert("reason", backupError);
        plain += QStringLiteral("; ") + backupError;
    } else if (result.end == RunEnd::SizeUnknown) {
        summary.insert("reason", QStringLiteral("block 0 does not tell the card's size"));
        plain += QStringLiteral("; block 0 does not tell the card's size: give --size 1k or 4k");
    } else if (result.end == RunEnd::SizeMismatch) {
        const auto card = options.size ? options.size : mifare::SizeOfCard(result.target.image);
        const QString reason =
            QStringLiteral("the card is %1, the image %2")
                .arg(SizeName(card.value_or(mifare::CardSize::k1K)),
                     SizeName(source ? source->Size() : card.value_or(mifare::CardSize::k1K)));
        summary.insert("reason", reason);
        plain += QStringLiteral("; ") + reason;
    }
    // Whatever ended the run, a backup made is named.
    if (result.backedUp) {
        summary.insert("backup", backup);
        plain += QStringLiteral("; the card as it was: ") + backup;
    }
    const int ended = Ended(c, result.end, result.target.endSector, summary, plain);
    return ended == kExitOk && notWritten > 0 ? kExitReader : ended;
}

} // namespace

int MifareDump(Context& c)
{
    const std::optional<mifare::CardSize> size = Size(c);
    const QStringList keys = Keys(c);
    const QString output = c.p.value(QStringLiteral("output"));
    const auto format =
        output.isEmpty() ? FormatOption(c).value_or(mifare::DumpFormat::Mct) : FormatFor(c, output);
    if (!output.isEmpty())
        CheckFolderFor(QStringLiteral("output"), output);
    // Without a file, stdout carries the image alone.
    const bool imageOnStdout = output.isEmpty() && !c.out.json;
    mifare::ReadResult result;
    Progress progress(c, imageOnStdout);
    bool lost = false;
    const int code = WithReader(c, [&](link::Link& l, const Addressee& to) {
        result = mifare::ReadCard(l, to, size, keys, progress);
        lost = l.PortLost();
        return true;
    });
    if (code != kExitOk)
        return code;
    const int opened = result.Opened();
    QJsonObject summary{{"sectors", result.image.Sectors()},
                        {"opened", opened},
                        {"complete", result.Complete()},
                        {"size", SizeName(result.image.Size())}};
    QString plain =
        QStringLiteral("%1 of %2 sectors opened").arg(opened).arg(result.image.Sectors());
    if (result.sizeAssumed) {
        summary.insert("sizeAssumed", true);
        plain += QStringLiteral(" (block 0 unread: the size was assumed 1K)");
    }
    using mifare::RunEnd;
    // Only a run that reached the card and ended by itself makes a file: a
    // stopped or empty one never replaces what the user has.
    // The line lost mid-run (unplugged, the server gone) is no end of the card's.
    const bool reached =
        opened > 0 && !lost && (result.end == RunEnd::Done || result.end == RunEnd::CardGone);
    if (output.isEmpty()) {
        if (c.out.json)
            summary.insert("image", QJsonDocument::fromJson(
                                        mifare::WriteDump(result.image, mifare::DumpFormat::Json))
                                        .object());
        else if (reached) {
            const QByteArray dump = mifare::WriteDump(result.image, format);
            // A full disk or a closed reader of stdout loses the image: said, exit 1.
            errno = 0;
            if (std::fwrite(dump.constData(), 1, size_t(dump.size()), stdout) !=
                    size_t(dump.size()) ||
                std::fflush(stdout) != 0) {
                c.out.Failure(c.Name(), QStringLiteral("cannot write the image to stdout"),
                              DiskReason(errno ? errno : EIO));
                return kExitReader;
            }
        }
    } else if (reached) {
        // A card that went away before its last sector gave part of an image:
        // it goes beside the output, which keeps whatever whole dump it holds.
        const bool partial = result.end == RunEnd::CardGone;
        const QString path = partial ? output + QStringLiteral(".partial") : output;
        QString error;
        // The side file's name is the tool's own: a link someone left there
        // is not followed to whatever file it names.
        if (partial && QFileInfo(path).isSymLink())
            error = path + QStringLiteral(": a symbolic link, not followed");
        if (!error.isEmpty() || !mifare::SaveDump(path, result.image, format, &error)) {
            c.out.Failure(c.Name(), QStringLiteral("cannot save the image"), error);
            return kExitReader;
        }
        summary.insert(partial ? "partial" : "output", path);
        plain += QStringLiteral(", saved to ") + path + ZeroedNote(result.image, format, summary);
        if (partial && QFileInfo::exists(output))
            plain += QStringLiteral(" (%1 left as it was)").arg(output);
    } else {
        summary.insert("saved", false);
        plain += QFileInfo::exists(output)
                     ? QStringLiteral(", not saved: %1 left as it was").arg(output)
                     : QStringLiteral(", not saved");
    }
    const int ended = Ended(c, result.end, result.endSector, summary, plain, imageOnStdout);
    return ended == kExitOk && !result.Complete() ? kExitReader : ended;
}

int MifareRestore(Context& c)
{
    return Write(c, Load(c.args[0], FormatOption(c)), c.args[0]);
}

int MifareFormat(Context& c)
{
    return Write(c, std::nullopt, QString());
}

int MifareDiff(Context& c)
{
    const mifare::CardImage a = Load(c.args[0]);
    const mifare::CardImage b = Load(c.args[1]);
    const mifare::ImageDiff diff = mifare::Compare(a, b);
    using D = mifare::ByteDiff;
    for (const mifare::BlockDiff& d : diff.differ) {
        // Under each differing byte: "XX" for a different value, "<<" or ">>"
        // for a byte only the first or the second image knows.
        QString marks;
        QJsonArray bytes;
        for (int i = 0; i < 16; ++i) {
            static const char* const kMarks[] = {"  ", "XX", "<<", ">>"};
            marks += QLatin1String(kMarks[int(d.bytes[size_t(i)])]);
            if (d.bytes[size_t(i)] != D::Same)
                bytes.append(i);
        }
        const auto hex = [&](const mifare::CardImage& image) {
            return d.block < image.Blocks() ? image.Hex(d.block) : QString(32, QLatin1Char('-'));
        };
        c.out.Result(
            QStringLiteral("block %1\n  %2\n  %3\n  %4").arg(d.block, 3).arg(hex(a), hex(b), marks),
            {{"block", d.block}, {"first", hex(a)}, {"second", hex(b)}, {"bytes", bytes}});
    }
    c.out.Result(
        diff.Equal() ? QStringLiteral("equal")
                     : QStringLiteral("%1 block(s) differ").arg(diff.differ.size()),
        {{"verb", c.Name()}, {"equal", diff.Equal()}, {"differ", int(diff.differ.size())}});
    return diff.Equal() ? kExitOk : kExitReader;
}

int MifareConvert(Context& c)
{
    const mifare::CardImage image = Load(c.args[0]);
    const QString out = c.args[1];
    const mifare::DumpFormat format = FormatFor(c, out);
    QString error;
    if (!mifare::SaveDump(out, image, format, &error)) {
        c.out.Failure(c.Name(), QStringLiteral("cannot save the image"), error);
        return kExitReader;
    }
    QJsonObject result{{"verb", c.Name()}, {"ok", true}};
    const QString note = ZeroedNote(image, format, result);
    c.out.Result(QStringLiteral("%1: ok").arg(c.Name()) + note, result);
    return kExitOk;
}

int ValueDecode(Context& c)
{
    const auto value = mifare::DecodeValueBlockHex(c.args[0]);
    if (!value) {
        c.out.Failure(c.Name(), QStringLiteral("not a value block"));
        return kExitReader;
    }
    c.out.Result(QStringLiteral("value %1 address %2").arg(value->value).arg(value->address),
                 {{"value", value->value}, {"address", value->address}});
    return kExitOk;
}

int ValueEncode(Context& c)
{
    bool ok = false;
    const qlonglong value = c.args[0].toLongLong(&ok);
    if (!ok || value < INT32_MIN || value > INT32_MAX)
        throw UsageError{QStringLiteral("VALUE takes a whole number that fits 32 bits, not \"%1\"")
                             .arg(c.args[0])};
    const int address = Context::Number(c.args[1], QStringLiteral("ADDR"), 0, 255);
    const QString hex = mifare::EncodeValueBlockHex(int32_t(value), uint8_t(address));
    c.out.Result(hex, {{"data", hex}});
    return kExitOk;
}

} // namespace cli

#pragma once

// Reader profiles: a reader's settings as a JSON file, read from a reader by a
// scan, compared with another reader, and applied to it with only the set
// operations whose values differ, then verified by a second scan.

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

#include "link/link.h"
#include "reader/scan.h"

namespace profile {

inline constexpr const char* kFormat = "tesmora-reader-profile";
inline constexpr int kVersion = 1;

struct Profile
{
    int type = 0; // 0-7, the file holds 1-8
    QString id;   // two decimal digits, "01" to "99"
    int modeIndex = 5;
    reader::ReaderSettings settings; // exactly the fields of the type
    // Where it was read from: information only, never applied or compared.
    QString serial, version;
    int port = 0;
    QString time;
};

// Why a file is not a profile that fits, with the field it concerns
// ("settings.keyNumber", "type", ...; empty for the file as a whole).
struct Refusal
{
    enum Kind {
        NotProfile, // not JSON, not an object, another format or version
        UnknownKey,
        Missing,
        BadValue,  // a value its type does not have
        OtherType, // the type differs from the one required
    } kind;
    QString field;
    QString message; // English, the field named
};

struct Parsed
{
    std::optional<Profile> profile;
    std::optional<Refusal> refusal;
};

// Reads a profile; `requiredType` (0-7) refuses a profile of another type.
Parsed Parse(const QByteArray& json, std::optional<int> requiredType = std::nullopt);
// The file: keys in a fixed order, settings in the type's order.
QByteArray ToJson(const Profile& p);

// The keys of a type's settings, in the order the scan reads them.
std::vector<QString> SettingKeys(int type);
QString ModeText(int modeIndex);

// A complete scan as a profile; `time` is when it was read.
Profile FromScan(const reader::ScanResult& r, int type, const QDateTime& time);

// One field that differs: a settings key, "id" or "lineSetting".
struct Change
{
    QString field;
    QJsonValue from, to;
};
// The fields where `have` differs from `want`: the type's settings in their
// order, then the ID, then the line setting.
std::vector<Change> Compare(const Profile& want, const Profile& have);
// "keyNumber 4 -> 8, id 01 -> 07"; "unchanged" when there is none.
QString ChangesText(const std::vector<Change>& changes);

// A scan of one port, as the scan does, with `modeIndex` tried first and the
// other line settings after it unless locked.
reader::ScanResult ReadReader(link::Link& link, int port, int type, int modeIndex, bool locked,
                              reader::ScanProgress& progress);

// Writes the profile as read into the backup folder, made 0700 where missing,
// named by serial number and time. The path, or the reason it was not written.
struct Backup
{
    QString path;
    QString error;
    QString notice; // the backup folder was made private
};
Backup WriteBackup(const Profile& read);

struct ApplyResult
{
    std::vector<Change> changed; // what differed before
    bool applied = false;        // every set operation that was needed was taken
    bool verified = false;       // and the second scan read every field as the profile has it
    QString backup;
    QString backupNotice; // the backup folder was made private on the way
    // Where it stopped, and the fields concerned (those refused, or those that
    // still differ after the apply).
    enum class Failure {
        None,
        NotConfirmed,
        Backup,
        Port,
        NotAnswered, // a set had no valid answer
        Refused,     // a set was answered with a status other than "00"
        NotFound,
        NotRead,
        Differs
    };
    Failure failure = Failure::None;
    QStringList fields;
    QString error, reason; // English; empty on success
    // The reader read again, when that found it: the verifying scan, or after
    // a set was not taken, what the reader holds now.
    std::optional<reader::ScanResult> after;
};

// Before anything is sent, with the changes (none: nothing will be sent);
// false stops the apply there.
using Confirm = std::function<bool(const std::vector<Change>&)>;

// Applies `want` to the reader that `have` was read from on `port`: a backup
// of `have`, then only the set operations whose values differ, the type's
// settings first, then the ID, then the line setting, each addressed with what
// the earlier ones gave the reader; then a scan at the new line setting and a
// comparison of every field. Nothing is sent when nothing differs. A set is
// taken when it is answered with status "00" or none; another status refuses it.
ApplyResult Apply(link::Link& link, int port, const Profile& want, const Profile& have,
                  const Confirm& confirm = {});

} // namespace profile

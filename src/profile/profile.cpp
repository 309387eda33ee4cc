#include "profile.h"

#include "store/statefolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cmath>
#include <cstring>

#include <sys/stat.h>

#include "link/modelist.h"
#include "link/payload.h"
#include "link/printable.h"
#include "mifare/operations.h"
#include "reader/configuration.h"
#include "reader/readertypes.h"

namespace profile {

namespace {

using reader::ReaderSettings;

// A setting as the profile holds it: an integer within its range. The key
// type is 0 for "A" and 1 for "B" here, a letter in the file.
struct Field
{
    const char* key;
    ScanRead read;
    bool cardType; // only where the type's interface answer carries the card type
    int lo, hi;
    std::optional<int> (*get)(const ReaderSettings&);
    void (*set)(ReaderSettings&, int);
};

#define TESMORA_FIELD(key, read, cardType, lo, hi, member)                                         \
    {                                                                                              \
        key, read, cardType, lo, hi, [](const ReaderSettings& s) { return s.member; },             \
            [](ReaderSettings& s, int v) { s.member = v; }                                         \
    }

const Field kFields[] = {
    TESMORA_FIELD("interface", ScanRead::Interface, false, 0, 1, interfaceMode),
    TESMORA_FIELD("wiegand", ScanRead::Interface, false, 0, 2, wiegand),
    TESMORA_FIELD("rs485", ScanRead::Interface, false, 0, 3, rs485),
    TESMORA_FIELD("cardType", ScanRead::Interface, true, 0, 2, cardType),
    TESMORA_FIELD("keyNumber", ScanRead::KeyNumber, false, 0, 16, keyNumber),
    TESMORA_FIELD("keyParity", ScanRead::KeyParity, false, 0, 1, keyParity),
    TESMORA_FIELD("keyStatus", ScanRead::KeyStatus, false, 0, 8, keyStatus),
    TESMORA_FIELD("keyDelay", ScanRead::KeyStatus, false, 0, 99, keyDelay),
    TESMORA_FIELD("idSector", ScanRead::IdLocation, false, 0, 39, idSector),
    TESMORA_FIELD("idBlock", ScanRead::IdLocation, false, 0, 3, idBlock),
    TESMORA_FIELD("idByte", ScanRead::IdLocation, false, 0, 31, idByte),
    {"idKey", ScanRead::IdLocation, false, 0, 1,
     [](const ReaderSettings& s) {
         return s.idKeyB ? std::optional<int>(*s.idKeyB) : std::nullopt;
     },
     [](ReaderSettings& s, int v) { s.idKeyB = v != 0; }},
    TESMORA_FIELD("idKeyError", ScanRead::IdLocation, false, 0, 3, idKeyErr),
};

#undef TESMORA_FIELD

bool IsKey(const Field& f)
{
    return QLatin1String(f.key) == QLatin1String("idKey");
}

std::vector<const Field*> FieldsOf(int type)
{
    const ReaderTypeRow& row = ReaderTypeFor(type);
    std::vector<const Field*> fields;
    for (const Field& f : kFields)
        if (std::find(row.reads.begin(), row.reads.end(), f.read) != row.reads.end() &&
            (!f.cardType || row.interfaceHasCardType))
            fields.push_back(&f);
    return fields;
}

QJsonValue FieldJson(const Field& f, int v)
{
    if (IsKey(f))
        return v ? QStringLiteral("B") : QStringLiteral("A");
    return v;
}

std::optional<int> FieldValue(const Field& f, const QJsonValue& v)
{
    if (IsKey(f)) {
        if (v == QJsonValue(QStringLiteral("A")))
            return 0;
        if (v == QJsonValue(QStringLiteral("B")))
            return 1;
        return std::nullopt;
    }
    if (!v.isDouble() || v.toDouble() != std::floor(v.toDouble()) || v.toDouble() < f.lo ||
        v.toDouble() > f.hi)
        return std::nullopt;
    return int(v.toDouble());
}

// A value as a message shows it: it may come from a file, so escaped and cut.
QString Shown(const QJsonValue& v)
{
    if (v.isString())
        return link::FileText(v.toString());
    if (v.isDouble())
        return QString::number(v.toDouble());
    return link::FileText(
        QString::fromUtf8(QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact))
            .mid(1)
            .chopped(1));
}

std::optional<int> ModeIndexOf(const QString& text)
{
    for (int i = 0; i < kModeCount; ++i)
        if (text == ModeText(i))
            return i;
    return std::nullopt;
}

bool ValidId(const QString& id)
{
    return id.size() == 2 && id[0].isDigit() && id[1].isDigit() && id != QLatin1String("00") &&
           id[0].unicode() < 128 && id[1].unicode() < 128;
}

// Compact JSON of one value.
QByteArray Value(const QJsonValue& v)
{
    return QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
}

// An object with its keys in the order given, one a line.
QByteArray Object(const std::vector<std::pair<QString, QByteArray>>& members, int indent)
{
    const QByteArray pad(indent + 4, ' ');
    QByteArray out = "{\n";
    for (size_t i = 0; i < members.size(); ++i)
        out += pad + Value(members[i].first) + ": " + members[i].second +
               (i + 1 < members.size() ? ",\n" : "\n");
    return out + QByteArray(indent, ' ') + "}";
}

} // namespace

QString ModeText(int modeIndex)
{
    // A stored index outside the list has no line setting of its own.
    if (modeIndex < 0 || modeIndex >= kModeCount)
        return {};
    return link::PayloadText(std::string(kModeList[size_t(modeIndex)]));
}

std::vector<QString> SettingKeys(int type)
{
    std::vector<QString> keys;
    for (const Field* f : FieldsOf(type))
        keys.push_back(QLatin1String(f->key));
    return keys;
}

Parsed Parse(const QByteArray& json, std::optional<int> requiredType)
{
    auto refuse = [](Refusal::Kind kind, const QString& field, const QString& message) {
        return Parsed{std::nullopt,
                      Refusal{kind, field, field.isEmpty() ? message : field + ": " + message}};
    };
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        return refuse(
            Refusal::NotProfile, {},
            QStringLiteral("not JSON: %1 at byte %2").arg(error.errorString()).arg(error.offset));
    if (!doc.isObject())
        return refuse(Refusal::NotProfile, {}, QStringLiteral("not a JSON object"));
    const QJsonObject o = doc.object();
    if (o.value("format") != QJsonValue(QLatin1String(kFormat)))
        return refuse(Refusal::NotProfile, "format", QStringLiteral("not \"%1\"").arg(kFormat));
    if (o.value("version") != QJsonValue(kVersion))
        return refuse(Refusal::NotProfile, "version",
                      QStringLiteral("version %1 is the only one known").arg(kVersion));
    static const QStringList kTop = {"format",      "version",  "type",    "id",
                                     "lineSetting", "settings", "readFrom"};
    for (const QString& key : o.keys())
        if (!kTop.contains(key))
            return refuse(Refusal::UnknownKey, link::FileText(key),
                          QStringLiteral("not a key of a profile"));
    for (const char* key : {"type", "id", "lineSetting", "settings"})
        if (!o.contains(QLatin1String(key)))
            return refuse(Refusal::Missing, QLatin1String(key), QStringLiteral("missing"));

    Profile p;
    const QJsonValue type = o.value("type");
    if (!type.isDouble() || type.toDouble() != std::floor(type.toDouble()) || type.toDouble() < 1 ||
        type.toDouble() > 8)
        return refuse(Refusal::BadValue, "type",
                      QStringLiteral("%1 is not a reader type (1 to 8)").arg(Shown(type)));
    p.type = int(type.toDouble()) - 1;
    if (requiredType && *requiredType != p.type)
        return refuse(Refusal::OtherType, "type",
                      QStringLiteral("the profile is for type %1, not type %2")
                          .arg(p.type + 1)
                          .arg(*requiredType + 1));
    p.id = o.value("id").toString();
    if (!o.value("id").isString() || !ValidId(p.id))
        return refuse(
            Refusal::BadValue, "id",
            QStringLiteral("%1 is not a reader ID (\"01\" to \"99\")").arg(Shown(o.value("id"))));
    const auto mode = ModeIndexOf(o.value("lineSetting").toString());
    if (!o.value("lineSetting").isString() || !mode)
        return refuse(Refusal::BadValue, "lineSetting",
                      QStringLiteral("%1 is not a line setting, such as \"19200,e,8,1\"")
                          .arg(Shown(o.value("lineSetting"))));
    p.modeIndex = *mode;

    if (!o.value("settings").isObject())
        return refuse(Refusal::BadValue, "settings", QStringLiteral("not an object"));
    const QJsonObject s = o.value("settings").toObject();
    const std::vector<QString> keys = SettingKeys(p.type);
    for (const QString& key : s.keys())
        if (std::find(keys.begin(), keys.end(), key) == keys.end())
            return refuse(Refusal::UnknownKey, "settings." + link::FileText(key),
                          QStringLiteral("not a setting of type %1").arg(p.type + 1));
    for (const Field* f : FieldsOf(p.type)) {
        const QString field = QStringLiteral("settings.") + QLatin1String(f->key);
        if (!s.contains(QLatin1String(f->key)))
            return refuse(Refusal::Missing, field, QStringLiteral("missing"));
        const QJsonValue v = s.value(QLatin1String(f->key));
        const auto value = FieldValue(*f, v);
        if (!value)
            return refuse(Refusal::BadValue, field,
                          QStringLiteral("%1 is not a value of type %2 (%3)")
                              .arg(Shown(v))
                              .arg(p.type + 1)
                              .arg(IsKey(*f) ? QStringLiteral("\"A\" or \"B\"")
                                             : QStringLiteral("%1 to %2").arg(f->lo).arg(f->hi)));
        f->set(p.settings, *value);
    }

    if (o.contains("readFrom")) {
        if (!o.value("readFrom").isObject())
            return refuse(Refusal::BadValue, "readFrom", QStringLiteral("not an object"));
        const QJsonObject from = o.value("readFrom").toObject();
        for (const QString& key : from.keys()) {
            const QJsonValue v = from.value(key);
            const QString field = "readFrom." + link::FileText(key);
            if (key != "port" && key != "serial" && key != "version" && key != "time")
                return refuse(Refusal::UnknownKey, field, QStringLiteral("not a key of readFrom"));
            // Anything else would be read as empty, and lost at the next save.
            if (key == "port" ? !v.isDouble() || v.toDouble() != double(v.toInt()) : !v.isString())
                return refuse(Refusal::BadValue, field,
                              QStringLiteral("%1 is not %2")
                                  .arg(Shown(v), key == "port" ? QStringLiteral("a COM number")
                                                               : QStringLiteral("a text")));
        }
        p.serial = from.value("serial").toString();
        p.version = from.value("version").toString();
        p.port = from.value("port").toInt();
        p.time = from.value("time").toString();
    }
    return Parsed{p, std::nullopt};
}

QByteArray ToJson(const Profile& p)
{
    std::vector<std::pair<QString, QByteArray>> settings;
    for (const Field* f : FieldsOf(p.type))
        if (const auto v = f->get(p.settings))
            settings.emplace_back(QLatin1String(f->key), Value(FieldJson(*f, *v)));
    std::vector<std::pair<QString, QByteArray>> top = {
        {"format", Value(QLatin1String(kFormat))},
        {"version", Value(kVersion)},
        {"type", Value(p.type + 1)},
        {"id", Value(p.id)},
        {"lineSetting", Value(ModeText(p.modeIndex))},
        {"settings", Object(settings, 4)},
    };
    if (!p.serial.isEmpty() || !p.version.isEmpty() || p.port || !p.time.isEmpty())
        top.emplace_back("readFrom", Object({{"serial", Value(p.serial)},
                                             {"version", Value(p.version)},
                                             {"port", Value(p.port)},
                                             {"time", Value(p.time)}},
                                            4));
    return Object(top, 0) + "\n";
}

Profile FromScan(const reader::ScanResult& r, int type, const QDateTime& time)
{
    Profile p;
    p.type = type;
    p.id = r.id;
    p.modeIndex = r.modeIndex;
    for (const Field* f : FieldsOf(type))
        if (const auto v = f->get(r.settings))
            f->set(p.settings, *v);
    p.serial = r.serial;
    p.version = r.version.value_or(QString());
    p.port = r.port;
    p.time = time.toUTC().toString(Qt::ISODate);
    return p;
}

std::vector<Change> Compare(const Profile& want, const Profile& have)
{
    std::vector<Change> changes;
    for (const Field* f : FieldsOf(want.type)) {
        const auto a = f->get(have.settings);
        const auto b = f->get(want.settings);
        if (a != b)
            changes.push_back({QLatin1String(f->key), a ? FieldJson(*f, *a) : QJsonValue(),
                               b ? FieldJson(*f, *b) : QJsonValue()});
    }
    if (want.id != have.id)
        changes.push_back({QStringLiteral("id"), have.id, want.id});
    if (want.modeIndex != have.modeIndex)
        changes.push_back(
            {QStringLiteral("lineSetting"), ModeText(have.modeIndex), ModeText(want.modeIndex)});
    return changes;
}

QString ChangesText(const std::vector<Change>& changes)
{
    if (changes.empty())
        return QStringLiteral("unchanged");
    QStringList parts;
    for (const Change& c : changes)
        parts << QStringLiteral("%1 %2 -> %3").arg(c.field, Shown(c.from), Shown(c.to));
    return parts.join(QStringLiteral(", "));
}

reader::ScanResult ReadReader(link::Link& link, int port, int type, int modeIndex, bool locked,
                              reader::ScanProgress& progress)
{
    reader::ScanRequest q;
    q.readerType = type;
    q.prefix = QString::fromLatin1(ReaderTypeFor(type).prefix.data(), 1);
    q.storedPort = port;
    q.storedModeIndex = modeIndex;
    q.storedMode = ModeText(modeIndex);
    q.locked = locked;
    q.firstPort = q.lastPort = port;
    return reader::Scan(link, q, progress);
}

Backup WriteBackup(const Profile& read)
{
    QString error, notice;
    const auto path =
        SaveBackup(read.serial, QStringLiteral("json"), ToJson(read), &error, &notice);
    if (!path)
        return {{}, error, notice};
    return {*path, {}, notice};
}

namespace {

using link::Addressee;
using link::CommandLink;
using Send = bool (*)(CommandLink&, const Addressee&, const ReaderSettings&);

QString Two(int v)
{
    return QString::asprintf("%02d", v);
}

// The set operations of a type's settings, in the order they are sent, each
// with the fields it sets. Each takes the values to be set from the profile.
struct SetOperation
{
    std::vector<const char*> fields;
    Send send;
};

const SetOperation kSetOperations[] = {
    {{"interface", "wiegand", "rs485"},
     [](CommandLink& l, const Addressee& to, const ReaderSettings& s) {
         return reader::SetInterface(l, to, *s.interfaceMode, *s.wiegand, *s.rs485);
     }},
    {{"cardType"},
     [](CommandLink& l, const Addressee& to, const ReaderSettings& s) {
         return reader::SetCardType(l, to, *s.cardType);
     }},
    {{"keyNumber"},
     [](CommandLink& l, const Addressee& to, const ReaderSettings& s) {
         return reader::SetKeyNumber(l, to, Two(*s.keyNumber));
     }},
    {{"keyParity"},
     [](CommandLink& l, const Addressee& to, const ReaderSettings& s) {
         return reader::SetKeyParity(l, to, *s.keyParity);
     }},
    {{"keyStatus", "keyDelay"},
     [](CommandLink& l, const Addressee& to, const ReaderSettings& s) {
         return reader::SetKeyStatus(l, to, Two(*s.keyStatus), Two(*s.keyDelay));
     }},
    {{"idSector", "idBlock", "idByte", "idKey", "idKeyError"},
     [](CommandLink& l, const Addressee& to, const ReaderSettings& s) {
         return mifare::SetIdLocation(l, to, *s.idSector, *s.idBlock, *s.idByte, *s.idKeyB,
                                      *s.idKeyErr);
     }},
};

// The status at offsets 5-6 of a set command's answer, where it has one: the
// reader answers "00" to a setting it took.
std::optional<QString> SetStatus(const link::Link& link)
{
    if (link.ResponseLength() < 10)
        return std::nullopt;
    return link::PayloadText(link.LastResponse().substr(5, 2));
}

bool Changed(const std::vector<Change>& changes, const QString& field)
{
    return std::any_of(changes.begin(), changes.end(),
                       [&](const Change& c) { return c.field == field; });
}

} // namespace

ApplyResult Apply(link::Link& link, int port, const Profile& want, const Profile& have,
                  const Confirm& confirm)
{
    ApplyResult r;
    r.changed = Compare(want, have);
    if (r.changed.empty()) {
        r.applied = r.verified = true;
        return r;
    }
    if (confirm && !confirm(r.changed)) {
        r.failure = ApplyResult::Failure::NotConfirmed;
        r.error = QStringLiteral("not confirmed: nothing was sent");
        return r;
    }
    const Backup backup = WriteBackup(have);
    if (backup.path.isEmpty()) {
        r.failure = ApplyResult::Failure::Backup;
        r.error = QStringLiteral("the backup was not written, so nothing was sent");
        r.reason = backup.error;
        return r;
    }
    r.backup = backup.path;
    r.backupNotice = backup.notice;

    const QString prefix = QString::fromLatin1(ReaderTypeFor(want.type).prefix.data(), 1);
    if (!link.OpenPort(port, ModeText(have.modeIndex))) {
        r.failure = ApplyResult::Failure::Port;
        r.error = QStringLiteral("cannot open COM%1").arg(port);
        r.reason = QLatin1String(link::OpenErrorText(link.LastOpenError()));
        return r;
    }
    Addressee to{prefix, have.id};
    reader::ScanProgress quiet;
    // A set the reader did not take ends the apply. Those before it may have
    // been taken: the reader is read again, at the line setting it kept, so
    // that the caller follows what it now holds.
    auto refused = [&](bool sent, const QStringList& fields) {
        r.failure = sent ? ApplyResult::Failure::Refused : ApplyResult::Failure::NotAnswered;
        r.fields = fields;
        if (sent) {
            r.error = QStringLiteral("the reader refused %1").arg(fields.join(", "));
            r.reason = QStringLiteral("it answered status %1")
                           .arg(link::ReaderText(SetStatus(link).value_or(QString())));
        } else {
            r.error = QStringLiteral("the reader did not accept %1").arg(fields.join(", "));
            r.reason = QStringLiteral("last answer: ") + link::OutcomeText(link.LastOutcome());
        }
        link.ClosePort();
        const reader::ScanResult now =
            ReadReader(link, port, want.type, have.modeIndex, true, quiet);
        if (now.identified)
            r.after = now;
        return r;
    };
    // Whether a set was taken: answered, and not with a status that refuses it.
    auto taken = [&](bool sent) { return sent && SetStatus(link).value_or("00") == "00"; };
    for (const SetOperation& op : kSetOperations) {
        QStringList fields;
        for (const char* f : op.fields)
            if (Changed(r.changed, QLatin1String(f)))
                fields << QLatin1String(f);
        if (fields.isEmpty())
            continue;
        if (const bool sent = op.send(link, to, want.settings); !taken(sent))
            return refused(sent, fields);
    }
    if (want.id != have.id) {
        if (const bool sent = reader::SetReaderId(link, to, want.id); !taken(sent))
            return refused(sent, {QStringLiteral("id")});
        to.id = want.id;
    }
    if (want.modeIndex != have.modeIndex) {
        if (const bool sent = reader::SetBaudRate(link, to, want.modeIndex); !taken(sent))
            return refused(sent, {QStringLiteral("lineSetting")});
    }
    link.ClosePort();
    r.applied = true;

    const reader::ScanResult after = ReadReader(link, port, want.type, want.modeIndex, true, quiet);
    if (!after.identified) {
        r.failure = ApplyResult::Failure::NotFound;
        r.error = QStringLiteral("the reader was not found at lineSetting %1 after the apply")
                      .arg(ModeText(want.modeIndex));
        return r;
    }
    r.after = after;
    if (!after.complete) {
        r.failure = ApplyResult::Failure::NotRead;
        r.error = QStringLiteral("the settings were not read again after the apply");
        r.reason = after.reached ? QStringLiteral("the settings were not read")
                                 : QStringLiteral("the version was not answered");
        return r;
    }
    const std::vector<Change> left = Compare(want, FromScan(after, want.type, {}));
    if (!left.empty()) {
        r.failure = ApplyResult::Failure::Differs;
        QStringList fields;
        for (const Change& c : left) {
            r.fields << c.field;
            fields << QStringLiteral("%1 is %2, not %3").arg(c.field, Shown(c.from), Shown(c.to));
        }
        r.error = QStringLiteral("not as the profile after the apply: ") + fields.join(", ");
        r.reason = QStringLiteral("the reader accepted the setting but kept its old value");
        return r;
    }
    r.verified = true;
    return r;
}

} // namespace profile

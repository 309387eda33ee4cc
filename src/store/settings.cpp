#include "settings.h"

#include "catalog/catalog.h"
#include "link/decimal.h"
#include "link/serialport.h"
#include "link/transport.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStringList>
#include <QVariant>

#include <cerrno>
#include <functional>
#include <initializer_list>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kOrganisation = "VORAX";
const char* const kApplication = "ReaderConfig";

QString StorePath(QSettings::Scope scope)
{
    return QSettings(QSettings::NativeFormat, scope, kOrganisation, kApplication).fileName();
}

// Whether this account could write the store at `path`, found without creating
// anything. QSettings writes a store through a lock file and a temporary file
// beside it, renamed over the old one: it needs the folder as well as the file.
// The folder is the store's own or, where that does not exist yet, the nearest
// one on its way that does. AT_EACCESS: as the effective user, root's
// capabilities included.
bool CanWrite(const QString& path)
{
    QByteArray name = QFile::encodeName(path);
    struct stat st
    {
    };
    if (::stat(name.constData(), &st) == 0 &&
        (!S_ISREG(st.st_mode) || ::faccessat(AT_FDCWD, name.constData(), W_OK, AT_EACCESS) != 0))
        return false;
    QString dir = QFileInfo(path).absolutePath();
    for (;;) {
        name = QFile::encodeName(dir);
        if (::stat(name.constData(), &st) == 0)
            return S_ISDIR(st.st_mode) &&
                   ::faccessat(AT_FDCWD, name.constData(), W_OK | X_OK, AT_EACCESS) == 0;
        if (errno != ENOENT)
            return false; // a plain file on the way, or no access
        const QString up = QFileInfo(dir).absolutePath();
        if (up == dir)
            return false;
        dir = up;
    }
}

// The two stores, the one that saves go to first: the machine-wide store where
// this account can write it, else the per-user one. Reading in this order makes
// the value saved last the one that loads, whichever scopes can be written.
struct Stores
{
    QString first;
    QString second;
};

Stores StoresInSaveOrder()
{
    const QString system = StorePath(QSettings::SystemScope);
    const QString user = StorePath(QSettings::UserScope);
    if (CanWrite(system))
        return {system, user};
    return {user, system};
}

enum class Read { Absent, Ok, WrongType };

// A value as stored: the first store that holds it. A store that cannot be read
// holds nothing.
class Reader
{
public:
    explicit Reader(const Stores& stores)
        : first_(stores.first, QSettings::IniFormat), second_(stores.second, QSettings::IniFormat)
    {
    }
    std::optional<QVariant> Value(const char* name) const
    {
        for (const QSettings* s : {&first_, &second_})
            if (s->status() == QSettings::NoError && s->contains(QLatin1String(name)))
                return s->value(QLatin1String(name));
        return std::nullopt;
    }
    // The names in `group` of either store.
    QStringList Keys(const QString& group)
    {
        QStringList keys;
        for (QSettings* s : {&first_, &second_}) {
            if (s->status() != QSettings::NoError)
                continue;
            s->beginGroup(group);
            keys += s->childKeys();
            s->endGroup();
        }
        keys.removeDuplicates();
        return keys;
    }

private:
    QSettings first_;
    QSettings second_;
};

Read ReadInt(const Reader& store, const char* name, int& out)
{
    const auto v = store.Value(name);
    if (!v)
        return Read::Absent;
    if (v->typeId() != QMetaType::QString)
        return Read::WrongType;
    const auto value = link::ParseDecimal(v->toString().trimmed().toStdString());
    if (!value)
        return Read::WrongType;
    out = *value;
    return Read::Ok;
}

Read ReadString(const Reader& store, const char* name, QString& out)
{
    const auto v = store.Value(name);
    if (!v)
        return Read::Absent;
    if (v->typeId() == QMetaType::QString) {
        out = v->toString();
        return Read::Ok;
    }
    // A hand-edited mode string without quotes reads back as a list.
    if (v->typeId() == QMetaType::QStringList) {
        out = v->toStringList().join(QLatin1Char(','));
        return Read::Ok;
    }
    return Read::WrongType;
}

// Writes the values into the first store that takes them, checked by the
// store's status after it was written, then drops the same names from the
// other store where it can, so that an older copy there cannot come back if
// the account's rights change.
void Save(const std::function<void(QSettings&)>& write, std::initializer_list<const char*> names)
{
    const Stores stores = StoresInSaveOrder();
    for (const QString& target : {stores.first, stores.second}) {
        if (!CanWrite(target))
            continue;
        {
            QSettings s(target, QSettings::IniFormat);
            write(s);
            s.sync();
            if (s.status() != QSettings::NoError)
                continue;
        }
        const QString& other = target == stores.first ? stores.second : stores.first;
        // Both scopes may be one file (TESMORA_SETTINGS_DIR).
        if (other != target && QFileInfo::exists(other) && CanWrite(other)) {
            QSettings s(other, QSettings::IniFormat);
            if (s.status() == QSettings::NoError) {
                for (const char* name : names)
                    s.remove(QLatin1String(name));
                s.sync();
            }
        }
        return;
    }
}

// One value into its field: the stored one, or the default when it is absent.
// False when it has the wrong type, which stops the load.
template <typename T>
bool LoadValue(Read (*read)(const Reader&, const char*, T&), const Reader& store, const char* name,
               const T& fallback, T& field)
{
    T value = fallback;
    Read r = read(store, name, value);
    if (r == Read::WrongType)
        return false;
    field = r == Read::Ok ? value : fallback;
    return true;
}

} // namespace

void LoadStoredSettings(StoredSettings& s)
{
    const Reader store(StoresInSaveOrder());
    if (!LoadValue(ReadInt, store, "ReaderType", 0, s.readerType) ||
        !LoadValue(ReadInt, store, "ScanCommNo", 0, s.scanCommNo) ||
        !LoadValue(ReadString, store, "ScanBaudRate", QStringLiteral("19200,e,8,1"),
                   s.scanBaudRate) ||
        !LoadValue(ReadInt, store, "ScanBaudRateNo", 5, s.scanBaudRateNo) ||
        !LoadValue(ReadString, store, "LanguageFlag", QStringLiteral("English"), s.language))
        return;
    s.languageIndex = LanguageIndexOf(s.language);
}

void SaveStoredScanSettings(int readerType, int scanCommNo, int scanBaudRateNo,
                            const QString& scanBaudRate)
{
    Save(
        [&](QSettings& s) {
            s.setValue(QStringLiteral("ReaderType"), QString::number(readerType));
            s.setValue(QStringLiteral("ScanCommNo"), QString::number(scanCommNo));
            s.setValue(QStringLiteral("ScanBaudRateNo"), QString::number(scanBaudRateNo));
            s.setValue(QStringLiteral("ScanBaudRate"), scanBaudRate);
        },
        {"ReaderType", "ScanCommNo", "ScanBaudRateNo", "ScanBaudRate"});
}

void SaveStoredLanguage(const QString& language)
{
    Save([&](QSettings& s) { s.setValue(QStringLiteral("LanguageFlag"), language); },
         {"LanguageFlag"});
}

StoredPortMap LoadStoredPortMap()
{
    Reader store(StoresInSaveOrder());
    static const QRegularExpression comKey(QStringLiteral("^COM([0-9]{1,2})$"),
                                           QRegularExpression::CaseInsensitiveOption);
    StoredPortMap result;
    std::map<int, QString> keyOf; // the spelling that named each number
    for (const QString& key : store.Keys(QStringLiteral("Ports"))) {
        const auto match = comKey.match(key);
        const int n = match.hasMatch() ? match.captured(1).toInt() : 0;
        QString path;
        const QByteArray name = QStringLiteral("Ports/%1").arg(key).toLatin1();
        if (n < 1 || n > 16 || ReadString(store, name.constData(), path) != Read::Ok)
            continue;
        path = path.trimmed();
        if (path.isEmpty())
            continue;
        const auto refuse = [&](const QString& why) {
            result.paths.erase(n);
            result.refused[n] = why.toStdString();
        };
        // Two spellings of one number: which device was meant cannot be told.
        if (const auto seen = keyOf.find(n); seen != keyOf.end()) {
            refuse(QStringLiteral("refused Ports entries %1 and %2: both name COM%3")
                       .arg(seen->second, key)
                       .arg(n));
            continue;
        }
        keyOf[n] = key;
        // A network port: rfc2217://HOST:PORT, tcp://HOST:PORT or their TLS
        // forms, as written.
        if (link::LooksLikePortUrl(path.toStdString())) {
            if (!link::ParsePortUrl(path.toStdString()))
                refuse(QStringLiteral("refused Ports entry %1=%2: not a port URL "
                                      "(rfc2217://HOST:PORT, rfc2217s://HOST:PORT, "
                                      "tcp://HOST:PORT or tcps://HOST:PORT)")
                           .arg(key, path));
            else
                result.paths[n] = path.toStdString();
            continue;
        }
        // A relative path would depend on the folder the tool was started in.
        if (!QFileInfo(path).isAbsolute()) {
            refuse(
                QStringLiteral("refused Ports entry %1=%2: not an absolute path").arg(key, path));
            continue;
        }
        result.paths[n] = QFile::encodeName(path).toStdString();
    }
    return result;
}

void ApplyStoredPortMap()
{
    StoredPortMap m = LoadStoredPortMap();
    link::SetPortMap(std::move(m.paths), std::move(m.refused));
    // What a TLS port trusts and shows, where its URL does not say, and
    // whether a plain network port is refused.
    Reader store(StoresInSaveOrder());
    QString tls[4];
    const char* names[4] = {"Tls/CaFile", "Tls/Fingerprint", "Tls/CertFile", "Tls/KeyFile"};
    for (int i = 0; i < 4; ++i)
        ReadString(store, names[i], tls[i]);
    link::SetTlsDefaults(QFile::encodeName(tls[0].trimmed()).toStdString(),
                         tls[1].trimmed().toStdString(),
                         QFile::encodeName(tls[2].trimmed()).toStdString(),
                         QFile::encodeName(tls[3].trimmed()).toStdString());
    QString require;
    ReadString(store, "Network/RequireTls", require);
    link::SetRequireTls(require.trimmed().compare(QStringLiteral("true"), Qt::CaseInsensitive) ==
                        0);
}

void UseSettingsDirFromEnvironment()
{
    const QString value = qEnvironmentVariable("TESMORA_SETTINGS_DIR");
    if (value.isEmpty())
        return;
    const QString dir = QFileInfo(value).absoluteFilePath();
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, dir);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir);
}

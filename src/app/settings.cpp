#include "settings.h"

#include "catalog.h"

#include <QFileInfo>
#include <QSettings>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>

namespace {

const char* const kOrganisation = "VORAX";
const char* const kApplication = "ReaderConfig";

// Reading through the per-user scope with fallbacks gives per-user values
// over the machine-wide ones. QSettings opens the files read-only for this.
std::unique_ptr<QSettings> OpenForReading()
{
    auto s = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                         kOrganisation, kApplication);
    s->setFallbacksEnabled(true);
    return s;
}

enum class Read { Absent, Ok, WrongType };

Read ReadInt(const QSettings& s, const char* name, int& out)
{
    if (!s.contains(QLatin1String(name)))
        return Read::Absent;
    QVariant v = s.value(QLatin1String(name));
    if (v.typeId() != QMetaType::QString)
        return Read::WrongType;
    bool ok = false;
    int value = v.toString().trimmed().toInt(&ok, 10);
    if (!ok)
        return Read::WrongType;
    out = value;
    return Read::Ok;
}

Read ReadString(const QSettings& s, const char* name, QString& out)
{
    if (!s.contains(QLatin1String(name)))
        return Read::Absent;
    QVariant v = s.value(QLatin1String(name));
    if (v.typeId() == QMetaType::QString) {
        out = v.toString();
        return Read::Ok;
    }
    // A hand-edited mode string without quotes reads back as a list.
    if (v.typeId() == QMetaType::QStringList) {
        out = v.toStringList().join(QLatin1Char(','));
        return Read::Ok;
    }
    return Read::WrongType;
}

bool Writable(QSettings& s)
{
    s.sync();
    return s.status() == QSettings::NoError && s.isWritable();
}

// Writes into the machine-wide store, or into the per-user one where the
// machine-wide store cannot be written.
void Save(const std::function<void(QSettings&)>& write)
{
    {
        QSettings system(QSettings::NativeFormat, QSettings::SystemScope, kOrganisation,
                         kApplication);
        if (system.isWritable()) {
            write(system);
            if (Writable(system))
                return;
        }
    }
    QSettings user(QSettings::NativeFormat, QSettings::UserScope, kOrganisation, kApplication);
    user.setFallbacksEnabled(false);
    if (!user.isWritable())
        return;
    write(user);
    user.sync();
}

// One value into its field: the stored one, or the default when it is absent.
// False when it has the wrong type, which stops the load.
template <typename T>
bool LoadValue(Read (*read)(const QSettings&, const char*, T&), const QSettings& store,
               const char* name, const T& fallback, T& field)
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
    auto store = OpenForReading();
    if (store->status() != QSettings::NoError)
        return;
    if (!LoadValue(ReadInt, *store, "ReaderType", 0, s.readerType) ||
        !LoadValue(ReadInt, *store, "ScanCommNo", 0, s.scanCommNo) ||
        !LoadValue(ReadString, *store, "ScanBaudRate", QStringLiteral("19200,e,8,1"),
                   s.scanBaudRate) ||
        !LoadValue(ReadInt, *store, "ScanBaudRateNo", 5, s.scanBaudRateNo) ||
        !LoadValue(ReadString, *store, "LanguageFlag", QStringLiteral("English"), s.language))
        return;
    s.languageIndex = LanguageIndexOf(s.language);
}

void SaveStoredScanSettings(int readerType, int scanCommNo, int scanBaudRateNo,
                            const QString& scanBaudRate)
{
    Save([&](QSettings& s) {
        s.setValue(QStringLiteral("ReaderType"), QString::number(readerType));
        s.setValue(QStringLiteral("ScanCommNo"), QString::number(scanCommNo));
        s.setValue(QStringLiteral("ScanBaudRateNo"), QString::number(scanBaudRateNo));
        s.setValue(QStringLiteral("ScanBaudRate"), scanBaudRate);
    });
}

void SaveStoredLanguage(const QString& language)
{
    Save([&](QSettings& s) { s.setValue(QStringLiteral("LanguageFlag"), language); });
}

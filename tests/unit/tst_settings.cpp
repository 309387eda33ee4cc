// The settings store with the machine-wide and per-user scopes each writable or
// not: whatever was saved last is what the next start loads.
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "filemodes.h"
#include "settings.h"

namespace {

QString StoreFile(const QTemporaryDir& dir)
{
    return dir.path() + QStringLiteral("/VORAX/ReaderConfig.conf");
}

void Put(const QString& file, const char* key, const QString& value)
{
    QSettings s(file, QSettings::IniFormat);
    s.setValue(QLatin1String(key), value);
}

QByteArray Bytes(const QString& file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void lastSaveWins_data()
    {
        QTest::addColumn<bool>("systemWritable");
        QTest::addColumn<bool>("userWritable");
        QTest::addColumn<int>("loadedCommNo");
        QTest::addColumn<int>("loadedLanguage");
        // Both stores hold older values first: machine-wide 1/English, per-user 7/BIG5.
        QTest::newRow("both writable") << true << true << 3 << 1;
        QTest::newRow("per-user read-only") << true << false << 3 << 1;
        QTest::newRow("machine-wide read-only") << false << true << 3 << 1;
        // Nothing can be saved: the values stay as they were, per-user first.
        QTest::newRow("both read-only") << false << false << 7 << 2;
    }

    void lastSaveWins()
    {
        QFETCH(bool, systemWritable);
        QFETCH(bool, userWritable);
        QFETCH(int, loadedCommNo);
        QFETCH(int, loadedLanguage);
        QTemporaryDir system, user;
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, system.path());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, user.path());
        Put(StoreFile(system), "ScanCommNo", "1");
        Put(StoreFile(system), "LanguageFlag", "English");
        Put(StoreFile(user), "ScanCommNo", "7");
        Put(StoreFile(user), "LanguageFlag", "ChineseBIG5");
        if (!systemWritable)
            MakeReadOnly(StoreFile(system));
        if (!userWritable)
            MakeReadOnly(StoreFile(user));
        const QByteArray systemBefore = Bytes(StoreFile(system));
        const QByteArray userBefore = Bytes(StoreFile(user));

        StoredSettings loaded;
        {
            FileModesHonoured modes;
            SaveStoredScanSettings(2, 3, 4, QStringLiteral("19200,n,8,1"));
            SaveStoredLanguage(QStringLiteral("ChineseGB"));
            LoadStoredSettings(loaded);
        }
        QCOMPARE(loaded.scanCommNo, loadedCommNo);
        QCOMPARE(loaded.languageIndex, loadedLanguage);
        if (loadedCommNo == 3) {
            QCOMPARE(loaded.readerType, 2);
            QCOMPARE(loaded.scanBaudRateNo, 4);
            QCOMPARE(loaded.scanBaudRate, QStringLiteral("19200,n,8,1"));
        }
        // Saved machine-wide: the older per-user copies are gone, so they cannot
        // come back should the machine-wide store become unwritable.
        if (systemWritable && userWritable) {
            const QSettings stale(StoreFile(user), QSettings::IniFormat);
            QVERIFY(!stale.contains(QStringLiteral("ScanCommNo")));
            QVERIFY(!stale.contains(QStringLiteral("LanguageFlag")));
        }
        // A store that could not be written is left exactly as it was.
        if (!systemWritable)
            QCOMPARE(Bytes(StoreFile(system)), systemBefore);
        if (!userWritable)
            QCOMPARE(Bytes(StoreFile(user)), userBefore);
    }
};

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"

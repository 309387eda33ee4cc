// The settings store with the machine-wide and per-user scopes each writable or
// not: whatever was saved last is what the next start loads. The port map read
// by the same rule, and a settings folder of its own for trial runs.
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <string>

#include "filemodes.h"
#include "store/settings.h"

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

    // Each COM number from the store that saves go to, else from the other;
    // entries that name no port 1-16 or no path are left out.
    void portMap_data()
    {
        QTest::addColumn<bool>("systemWritable");
        QTest::addColumn<QString>("com5");
        QTest::newRow("machine-wide first") << true << "/dev/ttyUSB3";
        QTest::newRow("per-user first") << false << "/dev/serial/by-id/usb-FTDI_X-if00-port0";
    }

    void portMap()
    {
        QFETCH(bool, systemWritable);
        QFETCH(QString, com5);
        QTemporaryDir system, user;
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, system.path());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, user.path());
        Put(StoreFile(system), "Ports/COM1", "/dev/ttyAMA0");
        Put(StoreFile(system), "Ports/COM5", "/dev/ttyUSB3");
        Put(StoreFile(user), "Ports/COM5", "/dev/serial/by-id/usb-FTDI_X-if00-port0");
        Put(StoreFile(user), "Ports/com16", " /dev/ttyACM9 ");
        for (const char* ignored :
             {"Ports/COM0", "Ports/COM17", "Ports/COM", "Ports/Printer", "Ports/COM2x"})
            Put(StoreFile(user), ignored, "/dev/ttyS9");
        Put(StoreFile(user), "Ports/COM3", "");
        Put(StoreFile(user), "COM4", "/dev/ttyS9"); // outside the group
        if (!systemWritable)
            MakeReadOnly(StoreFile(system));

        std::map<int, std::string> map;
        {
            FileModesHonoured modes;
            map = LoadStoredPortMap();
        }
        const std::map<int, std::string> expected{
            {1, "/dev/ttyAMA0"}, {5, com5.toStdString()}, {16, "/dev/ttyACM9"}};
        QCOMPARE(map, expected);
    }

    // TESMORA_SETTINGS_DIR: both scopes in that one folder, where saves and
    // loads go; the stores elsewhere stay untouched.
    void settingsDir()
    {
        QTemporaryDir system, user, own;
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, system.path());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, user.path());
        Put(StoreFile(system), "ScanCommNo", "1");
        const QByteArray systemBefore = Bytes(StoreFile(system));
        Put(StoreFile(own), "Ports/COM2", "/dev/ttyAMA0");

        qputenv("TESMORA_SETTINGS_DIR", QFile::encodeName(own.path()));
        UseSettingsDirFromEnvironment();
        qunsetenv("TESMORA_SETTINGS_DIR");
        for (const auto scope : {QSettings::SystemScope, QSettings::UserScope})
            QCOMPARE(QSettings(QSettings::NativeFormat, scope, "VORAX", "ReaderConfig").fileName(),
                     StoreFile(own));
        SaveStoredScanSettings(1, 3, 5, QStringLiteral("19200,e,8,1"));
        SaveStoredLanguage(QStringLiteral("ChineseBIG5"));

        StoredSettings loaded;
        LoadStoredSettings(loaded);
        QCOMPARE(loaded.scanCommNo, 3);
        QCOMPARE(loaded.language, QStringLiteral("ChineseBIG5"));
        QCOMPARE(LoadStoredPortMap(), (std::map<int, std::string>{{2, "/dev/ttyAMA0"}}));
        QCOMPARE(QSettings(StoreFile(own), QSettings::IniFormat).value("ScanCommNo").toString(),
                 QStringLiteral("3"));
        QCOMPARE(Bytes(StoreFile(system)), systemBefore);
        QVERIFY(!QFile::exists(StoreFile(user)));
    }
};

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"

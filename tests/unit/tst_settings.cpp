// The settings store with the machine-wide and per-user scopes each writable or
// not: whatever was saved last is what the next start loads. The port map read
// by the same rule, and a settings folder of its own for trial runs.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
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

// A store's file and folder: 0 no file, 1 no file in a read-only folder, 2 a
// file, 3 a file in a read-only folder, 4 a read-only file, 5 both read-only.
constexpr int kStates = 6;
bool HasFile(int state)
{
    return state >= 2;
}
bool Takes(int state)
{
    return state == 0 || state == 2;
}

// Runs this test's executable as a start of the tool that saves ("save") or
// loads ("load", printing what it loaded); what it printed.
QString Child(const char* what, const QTemporaryDir& system, const QTemporaryDir& user)
{
    QProcess p;
    p.start(QCoreApplication::applicationFilePath(),
            {QStringLiteral("--child"), QLatin1String(what), system.path(), user.path()});
    p.waitForFinished();
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

void Prepare(const QString& file, int state, const char* commNo, const char* language)
{
    QDir().mkpath(QFileInfo(file).path());
    if (HasFile(state)) {
        Put(file, "ScanCommNo", QLatin1String(commNo));
        Put(file, "LanguageFlag", QLatin1String(language));
    }
    const auto readOnly = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
    if (state >= 4)
        QFile::setPermissions(file, readOnly);
    if (state == 1 || state == 3 || state == 5)
        QFile::setPermissions(QFileInfo(file).path(),
                              readOnly | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    // Every combination of file and folder rights of both stores: QSettings
    // needs the folder for its lock and temporary file as well as the file.
    // Both stores hold older values first: machine-wide 1/English, per-user
    // 7/BIG5, where their file exists.
    void lastSaveWins_data()
    {
        QTest::addColumn<int>("system");
        QTest::addColumn<int>("user");
        const char* const names[] = {"no file",        "no file, folder read-only",
                                     "file",           "file, folder read-only",
                                     "file read-only", "file and folder read-only"};
        for (int system = 0; system < kStates; ++system)
            for (int user = 0; user < kStates; ++user)
                QTest::addRow("machine-wide %s, per-user %s", names[system], names[user])
                    << system << user;
    }

    void lastSaveWins()
    {
        QFETCH(int, system);
        QFETCH(int, user);
        QTemporaryDir systemDir, userDir;
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, systemDir.path());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, userDir.path());
        Prepare(StoreFile(systemDir), system, "1", "English");
        Prepare(StoreFile(userDir), user, "7", "ChineseBIG5");
        const QByteArray systemBefore = Bytes(StoreFile(systemDir));
        const QByteArray userBefore = Bytes(StoreFile(userDir));

        // Each in a process of its own, as two runs of the tool: Qt keeps a
        // store's unsaved values in memory for the rest of a process.
        QCOMPARE(Child("save", systemDir, userDir), QString());
        const QStringList loaded = Child("load", systemDir, userDir).split(' ');
        QCOMPARE(loaded.size(), 5);
        // A store takes a save where its file (if any) and its folder are writable.
        const bool systemTakes = Takes(system), userTakes = Takes(user);
        if (systemTakes || userTakes) {
            QCOMPARE(loaded, (QStringList{"2", "3", "4", "19200,n,8,1", "1"}));
        } else {
            // Nothing could be saved: what was there loads, per-user first.
            QCOMPARE(loaded[1].toInt(), HasFile(user) ? 7 : HasFile(system) ? 1 : 0);
        }
        // Saved machine-wide: the older per-user copies are gone where they
        // could go, so they cannot come back should the rights change.
        if (systemTakes && userTakes && HasFile(user)) {
            const QSettings stale(StoreFile(userDir), QSettings::IniFormat);
            QVERIFY(!stale.contains(QStringLiteral("ScanCommNo")));
            QVERIFY(!stale.contains(QStringLiteral("LanguageFlag")));
        }
        // A store that could not be written is left exactly as it was.
        if (!systemTakes)
            QCOMPARE(Bytes(StoreFile(systemDir)), systemBefore);
        if (!userTakes)
            QCOMPARE(Bytes(StoreFile(userDir)), userBefore);
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
        // Refused, with the entry named: a relative path, a number named twice.
        Put(StoreFile(user), "Ports/COM7", "dev/ttyUSB0");
        Put(StoreFile(user), "Ports/COM8", "/dev/ttyUSB1");
        Put(StoreFile(system), "Ports/COM08", "/dev/ttyUSB2");
        if (!systemWritable)
            MakeReadOnly(StoreFile(system));

        StoredPortMap map;
        {
            FileModesHonoured modes;
            map = LoadStoredPortMap();
        }
        const std::map<int, std::string> expected{
            {1, "/dev/ttyAMA0"}, {5, com5.toStdString()}, {16, "/dev/ttyACM9"}};
        QCOMPARE(map.paths, expected);
        QCOMPARE(map.refused.size(), size_t(2));
        QVERIFY(QString::fromStdString(map.refused[7]).contains("COM7=dev/ttyUSB0"));
        QVERIFY(QString::fromStdString(map.refused[8]).contains("COM08"));
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
        QCOMPARE(LoadStoredPortMap().paths, (std::map<int, std::string>{{2, "/dev/ttyAMA0"}}));
        QCOMPARE(QSettings(StoreFile(own), QSettings::IniFormat).value("ScanCommNo").toString(),
                 QStringLiteral("3"));
        QCOMPARE(Bytes(StoreFile(system)), systemBefore);
        QVERIFY(!QFile::exists(StoreFile(user)));
    }
};

// The child side of Child(): one save or one load, as one start of the tool.
int main(int argc, char** argv)
{
    if (argc == 5 && qstrcmp(argv[1], "--child") == 0) {
        QCoreApplication app(argc, argv);
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, argv[3]);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, argv[4]);
        FileModesHonoured modes;
        if (qstrcmp(argv[2], "save") == 0) {
            SaveStoredScanSettings(2, 3, 4, QStringLiteral("19200,n,8,1"));
            SaveStoredLanguage(QStringLiteral("ChineseGB"));
            return 0;
        }
        StoredSettings s;
        LoadStoredSettings(s);
        std::printf("%d %d %d %s %d\n", s.readerType, s.scanCommNo, s.scanBaudRateNo,
                    qPrintable(s.scanBaudRate), s.languageIndex);
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestSettings t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_settings.moc"

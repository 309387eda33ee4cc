// tesmora-cli as a shell runs it, against emulated readers: every verb, its
// exit code and its JSON, the ports probed at once, and no display needed.
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

#include "readeremulator.h"

using Payloads = std::vector<std::string>;
Q_DECLARE_METATYPE(Payloads)

namespace {

const QString kKey = "FFFFFFFFFFFF";
const QString kData = "00112233445566778899AABBCCDDEEFF";

struct Run
{
    int exit = -1;
    QList<QJsonObject> lines; // stdout, one JSON object a line
    QString out, err;
};

// Ports and both settings stores in temporary folders.
class World
{
public:
    emu::ReaderEmulator& Add(int com, emu::ReaderModel m = {})
    {
        readers_.push_back(std::make_unique<emu::ReaderEmulator>(m));
        if (!readers_.back()->Start(ports_.path().toStdString(), com))
            qFatal("cannot start the emulator");
        return *readers_.back();
    }
    QProcessEnvironment Environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TESMORA_PORT_DIR", ports_.path());
        env.insert("XDG_CONFIG_DIRS", settings_.path() + "/system");
        env.insert("XDG_CONFIG_HOME", settings_.path() + "/user");
        env.insert("TESMORA_CLI", TESMORA_CLI_EXE);
        // No display at all: the tool must not need one.
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        return env;
    }
    void Start(QProcess& p, const QString& program, const QStringList& args) const
    {
        p.setProcessEnvironment(Environment());
        p.start(program, args);
        QVERIFY(p.waitForStarted());
    }
    Run Cli(const QStringList& args, int timeoutMs = 30000) const
    {
        QProcess p;
        Start(p, TESMORA_CLI_EXE, args);
        return Finish(p, timeoutMs);
    }
    static Run Finish(QProcess& p, int timeoutMs)
    {
        Run r;
        if (!p.waitForFinished(timeoutMs))
            return r;
        r.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        for (const QString& line : r.out.split('\n', Qt::SkipEmptyParts))
            r.lines << QJsonDocument::fromJson(line.toUtf8()).object();
        return r;
    }
    std::string PortPath(int com) const
    {
        return QStringLiteral("%1/COM%2").arg(ports_.path()).arg(com).toStdString();
    }
    void Store(const QString& key, const QString& value) const
    {
        QSettings(settings_.path() + "/system/VORAX/ReaderConfig.conf", QSettings::IniFormat)
            .setValue(key, value);
    }
    QString StoredSystem() const
    {
        QFile f(settings_.path() + "/system/VORAX/ReaderConfig.conf");
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

private:
    QTemporaryDir ports_, settings_;
    std::vector<std::unique_ptr<emu::ReaderEmulator>> readers_;
};

// A type 4 reader with a fresh MIFARE card, answering at 19200 baud.
emu::ReaderModel Type4()
{
    emu::ReaderModel m;
    m.prefix = 'H';
    m.mifare.card = emu::MifareCard();
    return m;
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    // Each verb against one reader on COM3: the exit code, what the reader
    // received, and the JSON line it printed.
    void verbs_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exit");
        QTest::addColumn<Payloads>("payloads");
        QTest::addColumn<QString>("key"); // of the last JSON line
        QTest::addColumn<QString>("value");
        const Payloads id{"H00B", "H01B"};
        auto with = [&](std::initializer_list<std::string> more) {
            Payloads p = id;
            p.insert(p.end(), more);
            return p;
        };
        QTest::newRow("set-id") << QStringList{"set-id", "7"} << 0 << with({"H01C1234567807"})
                                << "ok"
                                << "true";
        QTest::newRow("set-baud") << QStringList{"set-baud", "11"} << 0 << with({"H01EB"}) << "ok"
                                  << "true";
        QTest::newRow("set-interface")
            << QStringList{"set-interface", "1", "2", "3"} << 0 << with({"H01A123"}) << "ok"
            << "true";
        QTest::newRow("set-card-type")
            << QStringList{"set-card-type", "2"} << 0 << with({"H01A2"}) << "ok"
            << "true";
        QTest::newRow("set-key-parity")
            << QStringList{"set-key-parity", "1"} << 0 << with({"H01M1"}) << "ok"
            << "true";
        QTest::newRow("set-key-number")
            << QStringList{"set-key-number", "16"} << 0 << with({"H01L16"}) << "ok"
            << "true";
        QTest::newRow("set-key-status")
            << QStringList{"set-key-status", "5", "7"} << 0 << with({"H01N0507"}) << "ok"
            << "true";
        QTest::newRow("factory-default") << QStringList{"factory-default"} << 0
                                         << with({"H01C1234567801", "H01A001", "H01L04", "H01M0",
                                                  "H01N0003", "H01a0000000001", "H01E5"})
                                         << "ok"
                                         << "true";
        QTest::newRow("test") << QStringList{"test", "V"} << 0 << Payloads{"H00B", "H01V"} << "ok"
                              << "true";
        QTest::newRow("given ID") << QStringList{"set-card-type", "1", "--id", "01"} << 0
                                  << Payloads{"H01B", "H01A1"} << "ok"
                                  << "true";
        QTest::newRow("eeprom-key") << QStringList{"mifare", "eeprom-key",   "--sector",   "39",
                                                   "--key",  "a0a1a2a3a4a5", "--use-key-b"}
                                    << 0 << with({"H01d6127A0A1A2A3A4A5"}) << "ok"
                                    << "true";
        QTest::newRow("id-location")
            << QStringList{"mifare", "id-location", "--sector",    "39", "--block",    "3",
                           "--byte", "31",          "--key-error", "3",  "--use-key-b"}
            << 0 << with({"H01a27031F0103"}) << "ok"
            << "true";
        QTest::newRow("read") << QStringList{"mifare",  "read", "--sector", "1",
                                             "--block", "0",    "--key",    kKey}
                              << 0
                              << with({"H01b01", "H01f" + kKey.toStdString(), "H01h6004", "H01b00"})
                              << "data" << QString(32, '0');
        QTest::newRow("write") << QStringList{"mifare", "write", "--sector", "1",      "--block",
                                              "0",      "--key", kKey,       "--data", kData}
                               << 0
                               << with({"H01b01", "H01f" + kKey.toStdString(),
                                        "H01i6004" + kData.toStdString(), "H01b00"})
                               << "data" << kData;
        QTest::newRow("trailer")
            << QStringList{"mifare",      "trailer",      "--sector",    "1",
                           "--key",       kKey,           "--new-key-a", "A0A1A2A3A4A5",
                           "--new-key-b", "B0B1B2B3B4B5", "--access",    "787788AA"}
            << 0
            << with({"H01b01", "H01i60" + kKey.toStdString() + "07A0A1A2A3A4A5787788AAB0B1B2B3B4B5",
                     "H01b00"})
            << "ok"
            << "true";
        // Usage errors: nothing is sent.
        QTest::newRow("ID 100") << QStringList{"set-id", "100"} << 2 << Payloads{} << "error"
                                << "the new ID takes 1 to 99, not \"100\"";
        QTest::newRow("interface 2")
            << QStringList{"set-interface", "2", "0", "0"} << 2 << Payloads{} << "verb"
            << "set-interface";
        QTest::newRow("key not hex") << QStringList{"mifare",  "read", "--sector", "1",
                                                    "--block", "0",    "--key",    "FFFFFFFFFFFG"}
                                     << 2 << Payloads{} << "verb"
                                     << "mifare read";
        QTest::newRow("inconsistent trailer")
            << QStringList{"mifare",      "trailer", "--sector",    "1",  "--key",    kKey,
                           "--new-key-a", kKey,      "--new-key-b", kKey, "--access", "FF0781AA"}
            << 2 << Payloads{} << "error"
            << "refused trailer: access bits inconsistent: the sector would be blocked";
        QTest::newRow("trailer block written as data")
            << QStringList{"mifare", "write", "--sector", "1",      "--block",
                           "3",      "--key", kKey,       "--data", kKey + "FF0781AA" + kKey}
            << 2 << Payloads{} << "error"
            << "refused trailer: access bits inconsistent: the sector would be blocked";
        QTest::newRow("unknown verb") << QStringList{"frobnicate"} << 2 << Payloads{} << "verb"
                                      << "usage";
        QTest::newRow("sector 40")
            << QStringList{"mifare", "eeprom-key", "--sector", "40", "--key", kKey} << 2
            << Payloads{} << "verb"
            << "mifare eeprom-key";
        // The reader refuses: a 16-byte answer to a block read fails both attempts.
        QTest::newRow("read refused") << QStringList{"mifare",  "read", "--sector", "1",
                                                     "--block", "0",    "--key",    "000000000000"}
                                      << 1
                                      << with({"H01b01", "H01f000000000000", "H01h6004", "H01B",
                                               "H01b01", "H01f000000000000", "H01h6004", "H01b00"})
                                      << "error"
                                      << "the reader did not accept it";
    }

    void verbs()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exit);
        QFETCH(Payloads, payloads);
        QFETCH(QString, key);
        QFETCH(QString, value);
        World world;
        emu::ReaderEmulator& r = world.Add(3, Type4());
        const Run run =
            world.Cli(args + QStringList{"--port", "3", "--mode", "5", "--type", "4", "--json"});
        QCOMPARE(run.exit, exit);
        QCOMPARE(r.ReceivedPayloads(), payloads);
        QVERIFY2(!run.lines.isEmpty(), qPrintable(run.err));
        const QJsonValue got = run.lines.last().value(key);
        QCOMPARE(got.isBool() ? QString(got.toBool() ? "true" : "false") : got.toString(), value);
    }

    // --log: one operation's traffic, one entry a line, appended run after run;
    // -v shows the same lines.
    void logFile()
    {
        World world;
        world.Add(3, Type4());
        QTemporaryDir dir;
        const QString path = dir.filePath("traffic.log");
        const QStringList args{"set-card-type", "1",  "--port", "3",  "--mode", "5", "--type", "4",
                               "--id",          "01", "--log",  path, "-v"};
        const Run first = world.Cli(args);
        QCOMPARE(first.exit, 0);
        QFile log(path);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(log.readAll());
        log.close();
        QCOMPARE(first.err, text);
        QStringList events;
        for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) {
            QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ")
                         .match(line)
                         .hasMatch(),
                     qPrintable(line));
            events << line.section(' ', 2);
        }
        const QString at = "COM3 19200,e,8,1 (set-card-type) ";
        QCOMPARE(events, (QStringList{at + "opened " + QString::fromStdString(world.PortPath(3)),
                                      at + "sent [09]H01B02[0D]",
                                      at + "received [0A]H01B1234567809[0D] - accepted",
                                      at + "sent [09]H01A130[0D]",
                                      at + "received [0A]H01A0002[0D] - accepted", at + "closed"}));

        QCOMPARE(world.Cli(args).exit, 0);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(log.readAll()).count('\n'), 12);
    }

    // The scan: the reader with its type's settings, saved only with --save;
    // a port that does not open exits 3 with its reason.
    void scan()
    {
        World world;
        emu::ReaderModel m = Type4();
        m.keyNumber = "09";
        world.Add(3, m);
        Run run = world.Cli({"scan", "--type", "4", "--json"});
        QCOMPARE(run.exit, 0);
        QCOMPARE(run.lines.size(), 1);
        const QJsonObject reader = run.lines[0];
        QCOMPARE(reader["port"].toInt(), 3);
        QCOMPARE(reader["mode"].toString(),
                 QStringLiteral("19200,n,8,1")); // parity is not seen on a pty
        QCOMPARE(reader["id"].toString(), QStringLiteral("01"));
        QCOMPARE(reader["serial"].toString(), QStringLiteral("12345678"));
        QCOMPARE(reader["version"].toString(), QStringLiteral("05.00-01"));
        QCOMPARE(reader["type"].toInt(), 4);
        const QJsonObject s = reader["settings"].toObject();
        QCOMPARE(s["keyNumber"].toInt(), 9);
        QCOMPARE(s["keyDelay"].toInt(), 3);
        QCOMPARE(s["idKey"].toString(), QStringLiteral("A"));
        QCOMPARE(s["idKeyError"].toInt(), 1);
        QVERIFY(world.StoredSystem().isEmpty());

        run = world.Cli({"scan", "--type", "4", "--lock", "--mode", "5", "--save"});
        QCOMPARE(run.exit, 0);
        QVERIFY2(run.out.startsWith("COM3 19200,e,8,1 id 01 serial 12345678"), qPrintable(run.out));
        QVERIFY(world.StoredSystem().contains("ScanCommNo=3"));
        QVERIFY(world.StoredSystem().contains("ReaderType=3"));
        // The stored port and type are the defaults from now on.
        QCOMPARE(world.Cli({"set-card-type", "1"}).exit, 0);

        run = world.Cli({"scan", "--port", "5", "--json"});
        QCOMPARE(run.exit, 3);
        QCOMPARE(run.lines[0]["reason"].toString(), QStringLiteral("missing"));
        emu::HeldPort held(world.PortPath(3));
        run = world.Cli({"set-id", "5", "--port", "3", "--type", "4"});
        QCOMPARE(run.exit, 3);
        QVERIFY2(run.err.contains("busy"), qPrintable(run.err));
    }

    // Every reader on every port, once each, whatever its line setting, the
    // ports probed at the same time.
    void scanAll()
    {
        World world;
        const int bauds[] = {4800, 9600, 38400, 115200};
        for (int i = 0; i < 4; ++i) {
            emu::ReaderModel m;
            m.baud = bauds[i];
            m.id = QString::asprintf("%02d", 21 + i).toStdString();
            world.Add(2 * i + 1, m);
            emu::ReaderModel dead;
            dead.dead = true;
            world.Add(2 * i + 2, dead);
        }
        QElapsedTimer t;
        t.start();
        const Run run = world.Cli({"scan", "--all", "--type", "1", "--json"}, 60000);
        QCOMPARE(run.exit, 0);
        QStringList found;
        for (const QJsonObject& o : run.lines)
            found << QStringLiteral("%1 %2 %3")
                         .arg(o["port"].toInt())
                         .arg(o["mode"].toString(), o["id"].toString());
        QCOMPARE(found, (QStringList{"1 4800,n,8,1 21", "3 9600,n,8,1 22", "5 38400,n,8,1 23",
                                     "7 115200,n,8,1 24"}));
        // A dead port costs its 12 line settings twice 300 ms; four of them at once
        // cost about as much as one.
        QVERIFY2(t.elapsed() < 12000, qPrintable(QString::number(t.elapsed())));
    }

    // The access bits without a reader, both ways, and the refusal of bytes
    // that would block a sector.
    void accessBits()
    {
        World world;
        Run run = world.Cli({"access-bits", "encode", "000", "011", "000", "001", "--json"});
        QCOMPARE(run.exit, 0);
        QCOMPARE(run.lines[0]["access"].toString(), QStringLiteral("DF05A2AA"));
        run = world.Cli({"access-bits", "decode", "778F08AA", "--json"});
        QCOMPARE(run.exit, 0);
        const QJsonObject c = run.lines[0]["conditions"].toObject();
        QCOMPARE(c["block0"].toString(), QStringLiteral("000"));
        QCOMPARE(c["trailer"].toString(), QStringLiteral("110"));
        QCOMPARE(run.lines[0]["words"].toObject()["trailer"].toString(),
                 QStringLiteral(
                     "read key A: never; write key A: never; read access bits: key A or key B; "
                     "write access bits: never; read key B: never; write key B: never"));
        run = world.Cli({"access-bits", "decode", "FF0781AA"});
        QCOMPARE(run.exit, 2);
        QVERIFY2(run.err.contains("C2"), qPrintable(run.err));
        QCOMPARE(world.Cli({"access-bits", "encode", "000", "012", "000", "001"}).exit, 2);
    }

    // Cards and keys until the count; Ctrl-C ends a run cleanly, the port free.
    void readCard()
    {
        World world;
        emu::ReaderModel m;
        m.cards.Card("00BC614E").Keys("1234").Card("0123456789ABCDEF", 26);
        emu::ReaderEmulator& r = world.Add(3, m);
        Run run = world.Cli({"read-card", "--count", "3", "--port", "3", "--type", "1", "--json"});
        QCOMPARE(run.exit, 0);
        QCOMPARE(run.lines.size(), 3);
        QCOMPARE(run.lines[0]["kind"].toString(), QStringLiteral("card"));
        QCOMPARE(run.lines[0]["hex"].toString(), QStringLiteral("00BC614E"));
        QCOMPARE(run.lines[0]["decimal"].toString(), QStringLiteral("0012345678"));
        QCOMPARE(run.lines[1]["kind"].toString(), QStringLiteral("key"));
        QCOMPARE(run.lines[1]["text"].toString(), QStringLiteral("1234"));
        QCOMPARE(run.lines[2]["hex"].toString(), QStringLiteral("0123456789ABCDEF"));

        m.cards = {};
        m.cards.demo = false;
        r.SetModel(m);
        QProcess p;
        world.Start(p, TESMORA_CLI_EXE, {"read-card", "--two-way", "--port", "3", "--type", "1"});
        // No display, no widgets: neither Qt's GUI nor its widget library is mapped.
        QTest::qWait(500);
        QFile maps(QStringLiteral("/proc/%1/maps").arg(p.processId()));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        const QByteArray mapped = maps.readAll();
        QVERIFY(mapped.contains("libQt6Core"));
        QVERIFY(!mapped.contains("libQt6Gui"));
        QVERIFY(!mapped.contains("libQt6Widgets"));
        ::kill(pid_t(p.processId()), SIGINT);
        run = World::Finish(p, 5000);
        QCOMPARE(run.exit, 0);
        emu::HeldPort again(r.LinkPath());
        QVERIFY2(again.Held(), "the port was not released");
    }

    // Each COM number with its device and whether it can be opened; the store's
    // Ports group names devices anywhere.
    void ports()
    {
        World world;
        world.Add(3);
        emu::HeldPort held((world.Add(4), world.PortPath(4)));
        QTemporaryDir elsewhere;
        QFile plain(elsewhere.path() + "/plain");
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        emu::ReaderEmulator& mapped = world.Add(9);
        world.Store("Ports/COM5", QString::fromStdString(mapped.SlavePath()));
        world.Store("Ports/COM6", plain.fileName());
        const Run run = world.Cli({"ports", "--json"});
        QCOMPARE(run.exit, 0);
        QCOMPARE(run.lines.size(), 16);
        auto status = [&](int com) { return run.lines[com - 1]["status"].toString(); };
        QCOMPARE(status(1), QStringLiteral("missing"));
        QCOMPARE(status(3), QStringLiteral("present"));
        QCOMPARE(status(4), QStringLiteral("busy"));
        QCOMPARE(status(5), QStringLiteral("present"));
        QCOMPARE(run.lines[4]["path"].toString(), QString::fromStdString(mapped.SlavePath()));
        QCOMPARE(status(6), QStringLiteral("not a terminal"));
    }

    // A shell script sets up three readers in a row, then lists them.
    void exampleScript()
    {
        World world;
        std::vector<emu::ReaderEmulator*> readers;
        for (int com = 1; com <= 3; ++com)
            readers.push_back(&world.Add(com));
        QProcess p;
        world.Start(p, "bash", {TESMORA_SOURCE_DIR "/scripts/cli-example.sh"});
        const Run run = World::Finish(p, 60000);
        QCOMPARE(run.exit, 0);
        QCOMPARE(run.out.count(": ok\n"), 9); // three settings for each reader
        QList<QJsonObject> found;
        for (const QJsonObject& o : run.lines)
            if (o.contains("port"))
                found << o;
        QCOMPARE(found.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(found[i]["port"].toInt(), i + 1);
            QCOMPARE(found[i]["mode"].toString(), QStringLiteral("9600,e,8,1"));
            QCOMPARE(found[i]["id"].toString(), QString::number(11 + i));
            QCOMPARE(found[i]["settings"].toObject()["rs485"].toInt(), 3);
            QCOMPARE(readers[size_t(i)]->Model().interfaceMode, std::string("1"));
        }
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"

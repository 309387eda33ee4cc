// tesmora-cli as a shell runs it, against emulated readers: every verb, its
// exit code and its JSON, the ports probed at once, and no display needed.
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include "readeremulator.h"
#include "usbreader.h"

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
    QString StoredSystem(const QString& scope = "system") const
    {
        QFile f(settings_.path() + '/' + scope + "/VORAX/ReaderConfig.conf");
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

private:
    QTemporaryDir ports_, settings_;
    std::vector<std::unique_ptr<emu::ReaderEmulator>> readers_;
};

// The line speed of a port's device, as stty reads and sets it.
QString Stty(const std::string& path, const QString& speed = {})
{
    QProcess p;
    p.start("stty", QStringList{"-F", QString::fromStdString(path)} +
                        (speed.isEmpty() ? QStringList{"speed"} : QStringList{speed}));
    p.waitForFinished();
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

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
                                      << "reason"
                                      << "the reader answered status 03: authentication or "
                                         "access refused";
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

    // Refused before anything is sent or written: every check comes first, also
    // before the workers of a scan over every port start, and before the log
    // file is made.
    void usage_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("says"); // in the failure line or the help that follows it
        const QStringList reader{"--port", "3", "--type", "1"};
        QTest::newRow("scan --all, bad line setting")
            << QStringList{"scan", "--all", "--type", "1", "--mode", "99"}
            << "--mode takes 0 to 13";
        QTest::newRow("--save with --all")
            << QStringList{"scan", "--all", "--save", "--type", "1"} << "--all do not go together";
        QTest::newRow("extra word")
            << QStringList{"set-card-type", "1", "2"} + reader << "takes 1 argument(s)";
        QTest::newRow("log folder missing")
            << QStringList{"set-card-type", "1", "--log", "/nonexistent/x.log"} + reader
            << "cannot write the log";
        QTest::newRow("bad argument, log asked for")
            << QStringList{"set-card-type", "7", "--log", "LOG"} + reader << "0 to 2";
        QTest::newRow("option the verb does not take")
            << QStringList{"ports", "--port", "3"} << "Unknown option 'port'";
        QTest::newRow("group without its verb") << QStringList{"mifare"} << "mifare read";
        QTest::newRow("unknown verb of a group") << QStringList{"mifare", "frob"} << "frob";
        QTest::newRow("malformed, in JSON")
            << QStringList{"scan", "--bogus", "--json"} << "\"verb\":\"usage\"";
    }

    void usage()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, says);
        World world;
        emu::ReaderEmulator& r = world.Add(3);
        QTemporaryDir dir;
        args.replaceInStrings(QRegularExpression("^LOG$"), dir.filePath("traffic.log"));
        const Run run = world.Cli(args);
        QCOMPARE(run.exit, 2);
        QVERIFY2((run.out + run.err).contains(says), qPrintable(run.out + run.err));
        QVERIFY(r.ReceivedPayloads().empty());
        QVERIFY(!QFile::exists(dir.filePath("traffic.log")));
    }

    // Help that reads well at any width: no word is ever split, and lines stay
    // within the width where their words allow; each group and verb lists what
    // it takes.
    void help_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("lists");
        QTest::newRow("tool") << QStringList{"--help"}
                              << QStringList{"factory-default", "mifare eeprom-key", "--version",
                                             "'tesmora-reader-emulator --demo'"};
        QTest::newRow("group") << QStringList{"mifare", "--help"}
                               << QStringList{"mifare eeprom-key", "--use-key-b", "--new-key-a"};
        QTest::newRow("access bits")
            << QStringList{"access-bits", "--help"} << QStringList{"access-bits decode HEX8"};
        QTest::newRow("verb") << QStringList{"read-card", "--help"}
                              << QStringList{"--two-way", "--port N", "-v, --verbose"};
        QTest::newRow("ports") << QStringList{"ports", "--help"} << QStringList{"--json"};
        QTest::newRow("an option's own meaning")
            << QStringList{"mifare", "issue", "--help"}
            << QStringList{"the list of cards issued", "stop after N cards issued"};
        QTest::newRow("enroll") << QStringList{"enroll", "--help"}
                                << QStringList{"required: the list", "stop after N new cards"};
    }

    void help()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, lists);
        World world;
        auto helpAt = [&](int columns) {
            QProcess p;
            QProcessEnvironment env = world.Environment();
            env.insert("COLUMNS", QString::number(columns));
            p.setProcessEnvironment(env);
            p.start(TESMORA_CLI_EXE, args);
            p.waitForFinished();
            return QString::fromUtf8(p.readAllStandardOutput());
        };
        const QString wide = helpAt(1000);
        for (const QString& item : lists)
            QVERIFY2(wide.contains(item), qPrintable(item));
        const QStringList words = wide.simplified().split(' ');
        for (int columns : {30, 40, 60, 80, 132}) {
            const QString text = helpAt(columns);
            QCOMPARE(text.simplified().split(' '), words);
            for (const QString& line : text.split('\n'))
                QVERIFY2(line.size() <= columns || !line.trimmed().contains(' '), qPrintable(line));
        }
    }

    // The manual page names every verb and every option that --help lists.
    void manPageNamesEveryVerbAndOption()
    {
        World world;
        const Run help = world.Cli({"--help", "--json"});
        QCOMPARE(help.exit, 0);
        const QJsonArray verbs = QJsonDocument::fromJson(help.out.toUtf8()).array();
        QVERIFY(verbs.size() > 15);
        QProcess groff;
        groff.start("groff",
                    {"-man", "-Tascii", "-P-cbou", TESMORA_SOURCE_DIR "/packaging/tesmora-cli.1"});
        QVERIFY(groff.waitForFinished());
        const QString page = QString::fromUtf8(groff.readAllStandardOutput()).simplified();
        for (const QJsonValue& v : verbs) {
            QVERIFY2(page.contains(v["verb"].toString()), qPrintable(v["verb"].toString()));
            for (const QJsonValue& o : v["options"].toArray())
                QVERIFY2(page.contains(o.toString()), qPrintable(o.toString()));
        }
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
        // A serial number that would clear the screen if written as it came.
        m.serial = "\x1b[2J5678";
        emu::ReaderEmulator& r = world.Add(3, m);
        emu::ReaderModel dead;
        dead.dead = true;
        emu::ReaderEmulator& first = world.Add(1, dead);
        Run run = world.Cli({"scan", "--type", "4", "--json"});
        QCOMPARE(run.exit, 0);
        QCOMPARE(run.lines.size(), 1);
        const QJsonObject reader = run.lines[0];
        QCOMPARE(reader["port"].toInt(), 3);
        QCOMPARE(reader["mode"].toString(),
                 QStringLiteral("19200,n,8,1")); // parity is not seen on a pty
        QCOMPARE(reader["id"].toString(), QStringLiteral("01"));
        QCOMPARE(reader["serial"].toString(), QStringLiteral("\x1b[2J5678"));
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
        QVERIFY2(run.out.startsWith("COM3 19200,e,8,1 id 01 serial [1B][2J5678"),
                 qPrintable(run.out));
        QVERIFY(world.StoredSystem().contains("ScanCommNo=3"));
        QVERIFY(world.StoredSystem().contains("ReaderType=3"));
        // The stored port's three tries: two missed answers, and it is found
        // there without the search, which would have tried COM1 first.
        first.ClearTrace();
        r.ClearTrace();
        r.ArmFaultFor('B', emu::Fault::NoAnswer, 2);
        QCOMPARE(world.Cli({"scan", "--lock"}).exit, 0);
        QVERIFY(first.ReceivedPayloads().empty());
        QCOMPARE(r.ReceivedPayloads().at(2), std::string("H00B"));
        // The stored port and type are the defaults from now on.
        QCOMPARE(world.Cli({"set-card-type", "1"}).exit, 0);

        run = world.Cli({"scan", "--port", "5", "--json"});
        QCOMPARE(run.exit, 3);
        QCOMPARE(run.lines[0]["reason"].toString(), QStringLiteral("missing"));
        emu::HeldPort held(world.PortPath(3));
        run = world.Cli({"set-id", "5", "--port", "3", "--type", "4"});
        QCOMPARE(run.exit, 3);
        QVERIFY2(run.err.contains("busy"), qPrintable(run.err));
        // Identified, then the port would not open again: its own reason.
        world.Add(4, Type4()).ArmFaultFor('B', emu::Fault::LinkRemoved);
        run = world.Cli({"scan", "--port", "4", "--lock", "--json"});
        QCOMPARE(run.exit, 1);
        QCOMPARE(run.lines.last()["reason"].toString(),
                 QStringLiteral("COM4 did not open again for its settings: missing"));
        // Unplugged in the middle of an operation, it says so.
        world.Add(6, Type4()).ArmFaultFor('A', emu::Fault::HangUp);
        run = world.Cli({"set-card-type", "1", "--port", "6", "--type", "4", "--id", "01"});
        QCOMPARE(run.exit, 1);
        QVERIFY2(run.err.contains("the reader was unplugged (" +
                                  QString::fromStdString(world.PortPath(6)) + " is gone)"),
                 qPrintable(run.err));
        // No reader: the port that was refused, and why, where the user looks.
        run = world.Cli({"scan", "--lock", "--json"});
        QCOMPARE(run.exit, 1);
        QCOMPARE(run.lines.last()["reason"].toString(),
                 QStringLiteral("COM3 busy (held by another program)"));
    }

    // Every reader on every port, once each, whatever its line setting, the
    // ports probed at the same time, COM16 too; a port that is there but does
    // not open says why; a device behind two numbers is probed once and named
    // by both; a reader whose settings were not all read is reported and fails
    // the run.
    void scanAll()
    {
        World world;
        const int coms[] = {1, 3, 5, 16};
        const int bauds[] = {4800, 9600, 38400, 115200};
        for (int i = 0; i < 4; ++i) {
            emu::ReaderModel m;
            m.baud = bauds[i];
            m.id = QString::asprintf("%02d", 21 + i).toStdString();
            if (coms[i] == 16)
                m.silentCommands = {"A"};
            world.Add(coms[i], m);
            emu::ReaderModel dead;
            dead.dead = true;
            world.Add(2 * i + 2, dead);
        }
        emu::HeldPort held((world.Add(10), world.PortPath(10)));
        QFile plain(QString::fromStdString(world.PortPath(9)));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QFile::link(QString::fromStdString(world.PortPath(1)),
                    QString::fromStdString(world.PortPath(11)));
        QElapsedTimer t;
        t.start();
        const Run run = world.Cli({"scan", "--all", "--type", "1", "--json"}, 60000);
        QCOMPARE(run.exit, 1);
        QStringList lines;
        for (const QJsonObject& o : run.lines)
            lines
                << (o.contains("error")
                        ? QStringLiteral("%1 %2").arg(o["port"].toInt()).arg(o["reason"].toString())
                        : QStringLiteral("%1 %2 %3 %4")
                              .arg(o["port"].toInt())
                              .arg(o["mode"].toString(), o["id"].toString())
                              .arg(o["ports"].toArray().size()));
        QCOMPARE(lines, (QStringList{"1 4800,n,8,1 21 2", "3 9600,n,8,1 22 0", "5 38400,n,8,1 23 0",
                                     "9 not a terminal", "10 busy (held by another program)",
                                     "16 115200,n,8,1 24 0", "16 the settings were not read"}));
        // A dead port costs its 12 line settings twice 300 ms; four of them at once
        // cost about as much as one.
        QVERIFY2(t.elapsed() < 12000, qPrintable(QString::number(t.elapsed())));

        // One port: a dead one finds no reader, a missing one does not open.
        QCOMPARE(world.Cli({"scan", "--all", "--port", "2", "--type", "1", "--lock"}).exit, 1);
        QCOMPARE(world.Cli({"scan", "--all", "--port", "13", "--type", "1"}).exit, 3);
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
        // --seconds: about that long, over several cycles of about 90 ms.
        r.ClearTrace();
        QElapsedTimer t;
        t.start();
        QCOMPARE(world.Cli({"read-card", "--seconds", "1", "--port", "3", "--type", "1"}).exit, 0);
        QVERIFY2(t.elapsed() >= 1000 && t.elapsed() < 2500,
                 qPrintable(QString::number(t.elapsed())));
        QVERIFY(r.ReceivedPayloads().size() >= 8);
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

    // Ctrl-C, a termination or a hang-up in the middle of a scan: the port's
    // line settings, its exclusive lock and the port itself are put back, then
    // the tool ends as the signal ends it.
    void interrupted_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGHUP") << SIGHUP;
    }

    void interrupted()
    {
        QFETCH(int, signal);
        World world;
        emu::ReaderModel dead;
        dead.dead = true;
        emu::ReaderEmulator& port = world.Add(1, dead);
        world.Add(2, dead);
        Stty(port.SlavePath(), "38400");
        // The shell reports the status the tool ended with, as 128 + the signal.
        QProcess shell;
        world.Start(shell, "bash",
                    {"-c", "\"$TESMORA_CLI\" scan --type 1 & echo $!; wait $!; "
                           "echo $?"});
        QVERIFY(shell.waitForReadyRead());
        const int pid = shell.readLine().trimmed().toInt();
        QTest::qWait(700);
        ::kill(pid, signal);
        const Run run = World::Finish(shell, 1500);
        QCOMPARE(run.out.trimmed().toInt(), 128 + signal);
        QCOMPARE(Stty(port.SlavePath()), QStringLiteral("38400"));
        emu::HeldPort again(port.LinkPath());
        QVERIFY2(again.Held(), "the port was not released");
    }

    // An ordinary pipeline: the reader of the output stops, the run ends with
    // the port as it was, and the pipeline succeeds.
    void readCardIntoAClosedPipe()
    {
        World world;
        emu::ReaderModel m;
        m.cards.demo = true;
        emu::ReaderEmulator& r = world.Add(3, m);
        Stty(r.SlavePath(), "38400");
        QProcess p;
        world.Start(p, "bash",
                    {"-c", "set -o pipefail; \"$TESMORA_CLI\" read-card --port 3 "
                           "--type 1 --mode 5 | head -n 1"});
        const Run run = World::Finish(p, 10000);
        QCOMPARE(run.exit, 0);
        // The demo reader shows cards and keys in turn: the first may be either.
        QVERIFY2(QRegularExpression("^(card|key) [^\n]+\n$").match(run.out).hasMatch(),
                 qPrintable(run.out));
        QCOMPARE(Stty(r.SlavePath()), QStringLiteral("38400"));
    }

    // set-baud keeps the store pointing at a line setting the reader has: it
    // follows where the store pointed at this reader, and --save stores it
    // anyway; a locked scan then finds the reader there.
    void setBaudFollowsTheStore()
    {
        World world;
        world.Add(3);
        world.Store("ScanCommNo", "3");
        world.Store("ScanBaudRateNo", "5");
        world.Store("ScanBaudRate", "19200,e,8,1");
        world.Store("ReaderType", "0");
        Run run = world.Cli({"set-baud", "7", "--json"});
        QCOMPARE(run.exit, 0);
        QCOMPARE(run.lines[0]["stored"].toString(), QStringLiteral("38400,e,8,1"));
        QVERIFY(world.StoredSystem().contains("ScanBaudRateNo=7"));
        QCOMPARE(world.Cli({"scan", "--lock"}).exit, 0);

        world.Store("ScanCommNo", "0");
        QCOMPARE(world.Cli({"set-baud", "3", "--port", "3", "--mode", "7", "--type", "1", "--save"})
                     .exit,
                 0);
        QVERIFY(world.StoredSystem().contains("ScanBaudRate=\"9600,e,8,1\""));
        QVERIFY(world.StoredSystem().contains("ScanBaudRateNo=3"));
        QCOMPARE(world.Cli({"scan", "--lock", "--json"}).lines[0]["mode"].toString(),
                 QStringLiteral("9600,e,8,1"));
    }

    // The reader's ID asked with its tries; a failure names how the last
    // exchange ended.
    void tries_data()
    {
        QTest::addColumn<char>("letter");
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("reason");
        QTest::newRow("identify missed once") << 'B' << int(emu::Fault::NoAnswer) << 0 << "";
        QTest::newRow("bad checksum")
            << 'A' << int(emu::Fault::BadChecksum) << 1 << "last answer: bad checksum";
        QTest::newRow("no answer")
            << 'A' << int(emu::Fault::NoAnswer) << 1 << "last answer: deadline passed";
    }

    void tries()
    {
        QFETCH(char, letter);
        QFETCH(int, fault);
        QFETCH(int, exit);
        QFETCH(QString, reason);
        World world;
        world.Add(3).ArmFaultFor(letter, emu::Fault(fault), letter == 'B' ? 1 : 2);
        const Run run = world.Cli({"set-card-type", "1", "--port", "3", "--type", "1", "--json"});
        QCOMPARE(run.exit, exit);
        QCOMPARE(run.lines.last()["reason"].toString(), reason);
    }

    // Each COM number with its device and whether it can be opened; the store's
    // Ports group names devices anywhere.
    void ports()
    {
        World world;
        emu::ReaderEmulator& reader = world.Add(3);
        emu::HeldPort held((world.Add(4), world.PortPath(4)));
        QTemporaryDir elsewhere;
        QFile plain(elsewhere.path() + "/plain");
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        emu::ReaderEmulator& mapped = world.Add(9);
        world.Store("Ports/COM5", QString::fromStdString(mapped.SlavePath()));
        world.Store("Ports/COM6", plain.fileName());
        // Refused, named, and never opened: a relative path (here to the reader
        // on COM3), and one number named twice.
        world.Store("Ports/COM7",
                    QDir::current().relativeFilePath(QString::fromStdString(world.PortPath(3))));
        world.Store("Ports/COM8", "/dev/ttyS9");
        world.Store("Ports/COM08", "/dev/ttyS8");
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
        QCOMPARE(run.lines[3]["hint"].toString(), QStringLiteral("held by another program"));
        QCOMPARE(status(7), QStringLiteral("refused Ports entry"));
        QVERIFY(run.lines[6]["hint"].toString().contains("COM7=../"));
        QVERIFY(run.lines[7]["hint"].toString().contains("COM08"));
        const Run scan = world.Cli({"scan", "--port", "7", "--type", "1"});
        QCOMPARE(scan.exit, 3);
        QVERIFY2(scan.err.contains("not an absolute path"), qPrintable(scan.err));
        QVERIFY(reader.ReceivedPayloads().empty());
    }

    // No reader, and why: no port at all, or ports this account may not open, the dialout
    // advice said once, in the same words by scan and ports.
    void noReaderSaysWhy_data()
    {
        QTest::addColumn<int>("refused");   // readers on COM1 to COM<refused>, closed to us
        QTest::addColumn<QString>("group"); // theirs
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("said");
        const QString none = "no reader found: no COM port exists on this machine; 'tesmora-cli "
                             "ports' lists",
                      denied = " permission denied (add the account to the dialout group";
        const QString d = "dialout";
        QTest::newRow("no port") << 0 << d << QStringList{"scan", "--type", "4"} << none;
        QTest::newRow("no port, --all")
            << 0 << d << QStringList{"scan", "--all", "--type", "4"} << none;
        QTest::newRow("refused") << 4 << d << QStringList{"scan", "--type", "4"}
                                 << "no reader found: COM1, COM2, COM3, COM4" + denied;
        QTest::newRow("refused, --all") << 4 << d << QStringList{"scan", "--all", "--type", "4"}
                                        << "cannot open COM1:" + denied;
        QTest::newRow("ports") << 4 << d << QStringList{"ports"} << "/COM1" + denied;
        // The dialout advice would not help: whose the device is, instead.
        QTest::newRow("not dialout's")
            << 1 << "tty" << QStringList{"scan", "--port", "1", "--type", "4"}
            << "permission denied (the device belongs to root, group tty, mode 0000)";
    }

    void noReaderSaysWhy()
    {
        QFETCH(int, refused);
        QFETCH(QString, group);
        QFETCH(QStringList, args);
        QFETCH(QString, said);
        World world;
        const ::group* g = ::getgrnam(group.toLatin1().constData());
        QVERIFY(g);
        for (int com = 1; com <= refused; ++com) {
            const std::string slave = world.Add(com).SlavePath();
            QCOMPARE(::chown(slave.c_str(), 0, g->gr_gid), 0);
            QCOMPARE(::chmod(slave.c_str(), 0), 0);
        }
        // Root opens any device: without the capabilities that allow it, as anyone else.
        QStringList command{TESMORA_CLI_EXE};
        if (refused > 0 && ::geteuid() == 0)
            command = QStringList{"setpriv", "--bounding-set", "-dac_override,-dac_read_search"} +
                      command;
        QProcess p;
        world.Start(p, command[0], command.mid(1) + args);
        const Run run = World::Finish(p, 30000);
        QCOMPARE(run.exit, args[0] == "ports" ? 0 : args.contains("--port") ? 3 : 1);
        const QString all = run.out + run.err;
        QVERIFY2(all.contains(said), qPrintable(all));
        QCOMPARE(all.count("dialout group"), refused > 0 && group == "dialout" ? 1 : 0);
    }

    // The demo keeps to itself: the commands it prints and the one it runs leave the real
    // store as it was, and its folder goes with it; the printed dump, with the shipped keys,
    // reads the whole card.
    void demoKeepsToItself_data()
    {
        QTest::addColumn<bool>("printed");
        QTest::newRow("printed commands") << true;
        QTest::newRow("--run, after a demo that was killed") << false;
    }

    void demoKeepsToItself()
    {
        QFETCH(bool, printed);
        World world;
        world.Store("ScanCommNo", "5");
        const QString stored = world.StoredSystem();
        QTemporaryDir runtime;
        QProcessEnvironment env = world.Environment();
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        env.insert("PATH", QFileInfo(TESMORA_CLI_EXE).path() + ':' + env.value("PATH"));
        QProcess demo, sh;
        for (QProcess* p : {&demo, &sh}) {
            p->setProcessEnvironment(env);
            p->setWorkingDirectory(runtime.path());
        }
        if (printed) {
            // A 1K card: the same keys, in a quarter of the time.
            demo.start(TESMORA_EMULATOR_EXE, {"--demo", "--fast", "--card-size", "1k"});
            QTRY_VERIFY(demo.peek(4096).contains("removed then."));
            const QStringList commands =
                QString::fromUtf8(demo.readAll()).split('\n').filter(" tesmora-cli ");
            // The scan, saving where it found the reader; three cards; the dump.
            QCOMPARE(commands.size(), 3);
            sh.start("sh",
                     {"-c", commands[0] + " --save && " + commands[1] + " && " + commands[2]});
            const Run run = World::Finish(sh, 60000);
            QVERIFY2(run.exit == 0, qPrintable(commands.join('\n') + run.out + run.err));
            QVERIFY2(QRegularExpression("(^|\n)card [0-9A-F]{8} ").match(run.out).hasMatch(),
                     qPrintable(run.out));
            ::kill(pid_t(demo.processId()), SIGINT);
        } else {
            // What a killed demo left: its settings and a backup.
            const QString left = runtime.filePath("tesmora-demo/COM3-");
            QVERIFY(QDir().mkpath(left + "settings/VORAX") &&
                    QDir().mkpath(left + "state/tesmora/backups"));
            QFile old(left + "state/tesmora/backups/card-01020304.json");
            QVERIFY(old.open(QIODevice::WriteOnly));
            QFile::setPermissions(runtime.filePath("tesmora-demo"), QFile::Permissions(0x7000));
            demo.start(
                TESMORA_EMULATOR_EXE,
                {"--demo", "--fast", "--run", "sh", "-c",
                 "test -z \"$(find \"$TESMORA_SETTINGS_DIR\" \"$XDG_STATE_HOME\" -mindepth 1)\" && "
                 "tesmora-cli scan --port 3 --type 4 --save"});
        }
        const Run run = World::Finish(demo, 30000);
        QVERIFY2(run.exit == 0, qPrintable(run.out + run.err));
        QCOMPARE(world.StoredSystem(), stored);
        QCOMPARE(world.StoredSystem("user"), QString());
        QCOMPARE(QDir(runtime.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
                 QStringList()); // the folder and everything in it gone
    }

    // A plain scan on a terminal shows the port and line setting it tries on
    // stderr; -q silences it, and so does --json.
    void progressOnATerminal_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("shown");
        QTest::newRow("plain") << QStringList{} << true;
        QTest::newRow("-q") << QStringList{"-q"} << false;
        QTest::newRow("--json") << QStringList{"--json"} << false;
    }

    void progressOnATerminal()
    {
        QFETCH(QStringList, options);
        QFETCH(bool, shown);
        World world;
        world.Add(3);
        int master = -1, slave = -1;
        char name[64];
        QCOMPARE(::openpty(&master, &slave, name, nullptr, nullptr), 0);
        QProcess p;
        p.setStandardErrorFile(QString::fromLatin1(name));
        world.Start(p, TESMORA_CLI_EXE, QStringList{"scan", "--type", "1", "--lock"} + options);
        QCOMPARE(World::Finish(p, 10000).exit, 0);
        QByteArray seen;
        char buffer[4096];
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
            seen.append(buffer, n);
        ::close(master);
        ::close(slave);
        QCOMPARE(seen.contains("scan: COM3 at 19200,e,8,1"), shown);
    }

    // Two FTDI adapters told apart: watch reports each plugged in and out, in
    // order, with what it is; ports lists both, and --suggest pins each to its
    // COM number by its by-id name.
    void twoAdapters()
    {
        World world;
        SysfsTree sys;
        const QString ports = QFileInfo(QString::fromStdString(world.PortPath(5))).path();
        UsbReader a(ports, sys.path(), 5, "A1B2C3"), b(ports, sys.path(), 6, "D4E5F6");
        QProcess watch, full;
        world.Start(watch, TESMORA_CLI_EXE, {"watch", "--json", "--count", "3"});
        // A stdout that takes no more (a full disk) ends a watch: said, exit 1.
        full.setStandardOutputFile("/dev/full");
        world.Start(full, TESMORA_CLI_EXE, {"watch", "--seconds", "30"});
        QByteArray said, lost;
        QTRY_VERIFY((said += watch.readAllStandardError()).contains("watching " + ports.toUtf8()));
        QTRY_VERIFY((lost += full.readAllStandardError()).contains("watching"));
        QVERIFY(a.Plug() && b.Plug());
        const Run listed = world.Cli({"ports", "--json"});
        const Run suggested = world.Cli({"ports", "--suggest"});
        a.Unplug();
        const Run events = World::Finish(watch, 10000);
        const Run stopped = World::Finish(full, 10000);
        QCOMPARE(stopped.exit, 1);
        QVERIFY2((lost + stopped.err.toUtf8()).contains("cannot write to stdout"),
                 stopped.err.toUtf8().constData());

        QCOMPARE(events.exit, 0);
        QStringList seen;
        for (const QJsonObject& e : events.lines) {
            seen << QStringLiteral("%1 COM%2 %3 %4")
                        .arg(e["event"].toString())
                        .arg(e["port"].toInt())
                        .arg(e["usb"]["serial"].toString(), e["byId"].toString());
            QVERIFY(QDateTime::fromString(e["time"].toString(), Qt::ISODateWithMs).isValid());
            QCOMPARE(e["device"].toString(),
                     QStringLiteral("%1/COM%2").arg(ports).arg(e["port"].toInt()));
        }
        QCOMPARE(seen,
                 (QStringList{"added COM5 A1B2C3 " + a.ById(), "added COM6 D4E5F6 " + b.ById(),
                              "removed COM5 A1B2C3 " + a.ById()}));
        QCOMPARE(listed.lines[4]["usb"].toObject(), (QJsonObject{{"vendor", "0403"},
                                                                 {"product", "6001"},
                                                                 {"serial", "A1B2C3"},
                                                                 {"manufacturer", "FTDI"},
                                                                 {"name", "FT232R USB UART"}}));
        QCOMPARE(listed.lines[5]["byId"].toString(), b.ById());
        QCOMPARE(suggested.out, "[Ports]\nCOM5=" + a.ById() + "\nCOM6=" + b.ById() + "\n");
    }

    // scan --wait: a reader plugged in 2 s after the scan began is found on
    // the port given as "com5", as read-card --wait reads one on COM6; none
    // plugged in within the time is exit 1.
    void scanWaits()
    {
        World world;
        QProcess scan, read;
        QElapsedTimer clock;
        clock.start();
        world.Start(scan, TESMORA_CLI_EXE,
                    {"scan", "--wait", "10", "--port", "com5", "--type", "4", "--lock", "--json"});
        world.Start(read, TESMORA_CLI_EXE,
                    {"read-card", "--wait", "10", "--port", "6", "--type", "4", "--count", "1"});
        QTest::qWait(2000);
        world.Add(5, Type4());
        emu::ReaderModel card = Type4();
        card.cards.Card("00BC614E");
        world.Add(6, card);
        const Run found = World::Finish(scan, 20000);
        QCOMPARE(World::Finish(read, 20000).out, QStringLiteral("card 00BC614E 0012345678\n"));
        QCOMPARE(found.exit, 0);
        QCOMPARE(found.lines[0]["port"].toInt(), 5);
        QVERIFY2(clock.elapsed() >= 2000 && clock.elapsed() < 5000,
                 qPrintable(QString::number(clock.elapsed())));
        const Run none = world.Cli({"scan", "--wait", "1", "--port", "COM7", "--type", "4"});
        QCOMPARE(none.exit, 1);
        QVERIFY2(none.err.contains("plugged in on COM7 within 1 s"), qPrintable(none.err));
        // Ctrl-C ends a wait at once: watch with 0, the scan as the signal ends it.
        // Watch's port folder is made after it started, with a device in it.
        QTemporaryDir later;
        const QString folder = later.filePath("made/later");
        QProcessEnvironment env = world.Environment();
        env.insert("TESMORA_PORT_DIR", folder);
        QProcess watch, waiting;
        watch.setProcessEnvironment(env);
        watch.start(TESMORA_CLI_EXE, {"watch"});
        world.Start(waiting, TESMORA_CLI_EXE,
                    {"scan", "--wait", "60", "--port", "8", "--type", "4"});
        QByteArray watchSaid, waitSaid;
        QTRY_VERIFY((watchSaid += watch.readAllStandardError()).contains("watching"));
        QTRY_VERIFY((waitSaid += waiting.readAllStandardError()).contains("waiting up to 60 s"));
        QVERIFY(QDir().mkpath(folder) &&
                QFile::link(QFile::symLinkTarget(QString::fromStdString(world.PortPath(5))),
                            folder + "/COM2"));
        QTRY_VERIFY(watch.peek(4096).contains(" added COM2 " + folder.toUtf8() + "/COM2"));
        clock.restart();
        ::kill(pid_t(watch.processId()), SIGINT);
        ::kill(pid_t(waiting.processId()), SIGINT);
        QCOMPARE(World::Finish(watch, 2000).exit, 0);
        QCOMPARE(World::Finish(waiting, 2000).exit, -2);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
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

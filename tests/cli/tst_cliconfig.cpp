// tesmora-cli config read, apply and diff against emulated readers: only what
// differs goes on the wire, in order, then verified; a second apply sends only
// the scan; the backup; every reader at once; and what is refused.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "readeremulator.h"

using Payloads = std::vector<std::string>;

namespace {

struct Run
{
    int exit = -1;
    QList<QJsonObject> lines;
    QString err;
};

// Ports, settings and the state folder in temporary folders.
class World
{
public:
    World() { QDir(dir_.path()).mkdir("ports"); }
    emu::ReaderEmulator& Add(int com, emu::ReaderModel m)
    {
        readers_.push_back(std::make_unique<emu::ReaderEmulator>(m, emu::Options{true, 3}));
        if (!readers_.back()->Start(dir_.path().toStdString() + "/ports", com))
            qFatal("cannot start the emulator");
        return *readers_.back();
    }
    Run Cli(const QStringList& args, const QString& state = {}) const
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TESMORA_PORT_DIR", dir_.path() + "/ports");
        env.insert("TESMORA_SETTINGS_DIR", dir_.path() + "/settings");
        env.insert("XDG_STATE_HOME", state.isEmpty() ? StateDir() : state);
        p.setProcessEnvironment(env);
        p.start(TESMORA_CLI_EXE, args);
        Run r;
        if (!p.waitForFinished(60000))
            return r;
        r.exit = p.exitCode();
        r.err = QString::fromUtf8(p.readAllStandardError());
        for (const QByteArray& line : p.readAllStandardOutput().split('\n'))
            if (!line.isEmpty())
                r.lines << QJsonDocument::fromJson(line).object();
        return r;
    }
    QString StateDir() const { return dir_.path() + "/state"; }
    QString Path(const QString& name) const { return dir_.filePath(name); }
    void Write(const QString& name, const QJsonObject& o) const
    {
        QFile f(Path(name));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            qFatal("cannot write the profile");
        f.write(QJsonDocument(o).toJson());
    }
    static QJsonObject Read(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object()
                                           : QJsonObject();
    }

private:
    QTemporaryDir dir_;
    std::vector<std::unique_ptr<emu::ReaderEmulator>> readers_;
};

emu::ReaderModel Type4()
{
    emu::ReaderModel m;
    m.prefix = 'H';
    return m;
}

Payloads Scan(const std::string& id)
{
    Payloads p{"H00B"};
    for (const char* c : {"V", "A", "L", "M", "N", "a"})
        p.push_back("H" + id + c);
    return p;
}

Payloads Join(std::initializer_list<Payloads> parts)
{
    Payloads all;
    for (const Payloads& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

QJsonArray Changes(std::initializer_list<std::tuple<QString, QJsonValue, QJsonValue>> list)
{
    QJsonArray a;
    for (const auto& [field, from, to] : list)
        a.append(QJsonObject{{"field", field}, {"from", from}, {"to", to}});
    return a;
}

} // namespace

class TestCliConfig : public QObject
{
    Q_OBJECT

private slots:
    // Read, change the reader, apply: the differing operations alone, the
    // type's settings, then the ID, then the line setting, each at what the one
    // before gave the reader; then the scan at the new line setting. Again:
    // the scan alone. --check and diff send no set command.
    void readApplyAgain()
    {
        World world;
        emu::ReaderModel m = Type4();
        m.keyNumber = "09";
        emu::ReaderEmulator& r = world.Add(3, m);
        Run run = world.Cli({"config", "read", "--port", "3", "--type", "4", "--output",
                             world.Path("reader.json")});
        QCOMPARE(run.exit, 0);
        QCOMPARE(r.ReceivedPayloads(), Scan("01"));
        QJsonObject profile = World::Read(world.Path("reader.json"));
        QCOMPARE(profile["settings"].toObject()["keyNumber"].toInt(), 9);
        QCOMPARE(profile["settings"].toObject().keys().size(), 12);

        m.keyNumber = "04";
        m.keyStatus = "05";
        r.SetModel(m);
        profile["id"] = "07";
        profile["lineSetting"] = "9600,e,8,1";
        world.Write("site.json", profile);
        r.ClearTrace();
        run = world.Cli({"config", "apply", world.Path("site.json"), "--port", "3", "--json"});
        QCOMPARE(run.exit, 0);
        // The profile's line setting is tried first, then the search finds the
        // reader at the first one of its baud rate: a pty carries no parity.
        Payloads search(12, "H00B");
        const Payloads scan = Scan("01");
        search.insert(search.end(), scan.begin() + 1, scan.end());
        QCOMPARE(r.ReceivedPayloads(), Join({search,
                                             {"H01B", "H01L09", "H01B", "H01N0003", "H01B",
                                              "H01C1234567807", "H07B", "H07E3"},
                                             Scan("07")}));
        QCOMPARE(run.lines.size(), 1);
        QCOMPARE(run.lines[0]["changed"].toArray(),
                 Changes({{"keyNumber", 4, 9},
                          {"keyStatus", 5, 0},
                          {"id", "01", "07"},
                          {"lineSetting", "19200,n,8,1", "9600,e,8,1"}}));
        QCOMPARE(run.lines[0]["applied"].toBool(), true);
        // The backup: the reader as it was, private to the user.
        const QString backup = run.lines[0]["backup"].toString();
        QVERIFY2(QFileInfo(backup).fileName().startsWith("12345678-"), qPrintable(backup));
        QCOMPARE(World::Read(backup)["settings"].toObject()["keyStatus"].toInt(), 5);
        QCOMPARE(QFileInfo(world.StateDir() + "/tesmora").permissions() & 0x0077, 0);

        r.ClearTrace();
        run = world.Cli({"config", "apply", world.Path("site.json"), "--port", "3"});
        QCOMPARE(run.exit, 0);
        QCOMPARE(r.ReceivedPayloads(), Scan("07"));
        QCOMPARE(QDir(world.StateDir() + "/tesmora/backups").count(), 3u); // ., .. and one
        QCOMPARE(world.Cli({"config", "diff", world.Path("site.json"), "--port", "3"}).exit, 0);

        m = r.Model();
        m.idKeyErr = "03";
        r.SetModel(m);
        r.ClearTrace();
        run = world.Cli(
            {"config", "apply", world.Path("site.json"), "--port", "3", "--check", "--json"});
        QCOMPARE(run.exit, 0);
        QCOMPARE(r.ReceivedPayloads(), Scan("07"));
        QCOMPARE(run.lines[0]["changed"].toArray(), Changes({{"idKeyError", 3, 1}}));
        QCOMPARE(run.lines[0]["applied"].toBool(), false);
        QCOMPARE(world.Cli({"config", "diff", world.Path("site.json"), "--port", "3"}).exit, 1);
    }

    // Every reader found, at once, with consecutive IDs in port order; IDs past
    // 99 are refused before anything is sent.
    void allWithIds()
    {
        World world;
        std::vector<emu::ReaderEmulator*> readers;
        for (int com : {2, 5, 9})
            readers.push_back(&world.Add(com, Type4()));
        world.Write("site.json", World::Read(TESMORA_SOURCE_DIR "/contrib/ansible/site.json"));
        Run run = world.Cli(
            {"config", "apply", world.Path("site.json"), "--all", "--id-from", "98", "--json"});
        QCOMPARE(run.exit, 2);
        for (emu::ReaderEmulator* r : readers)
            QCOMPARE(r->ReceivedPayloads(), Scan("01"));

        run = world.Cli(
            {"config", "apply", world.Path("site.json"), "--all", "--id-from", "21", "--json"});
        QCOMPARE(run.exit, 0);
        QCOMPARE(run.lines.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(run.lines[i]["port"].toInt(), (QList<int>{2, 5, 9})[i]);
            QCOMPARE(readers[size_t(i)]->Model().id, std::to_string(21 + i));
            QCOMPARE(run.lines[i]["applied"].toBool(), true);
        }
    }

    // Refused before anything is sent: exit 2, the field named.
    void refused_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("named");
        QTest::newRow("other type") << QStringList{"--type", "2"}
                                    << "type: the profile is for "
                                       "type 4, not type 2";
        QTest::newRow("no file") << QStringList{"--port", "3"} << "cannot read";
        QTest::newRow("--id") << QStringList{"--id", "01"} << "--id is not used";
    }

    void refused()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, named);
        World world;
        emu::ReaderEmulator& r = world.Add(3, Type4());
        const QString file = args.contains("--port") ? world.Path("none.json")
                                                     : TESMORA_SOURCE_DIR
                                 "/contrib/ansible/site.json";
        const Run run = world.Cli(QStringList{"config", "apply", file} + args);
        QCOMPARE(run.exit, 2);
        QVERIFY2(run.err.contains(named), qPrintable(run.err));
        QVERIFY(r.Trace().empty());
    }

    // A reader that acknowledges a setting and keeps its old value fails,
    // naming the field; a backup that cannot be written sends nothing; a
    // missing port exits 3.
    void failures()
    {
        World world;
        emu::ReaderModel m = Type4();
        m.keyNumber = "06";
        m.errorCommands = {"L04"};
        emu::ReaderEmulator& r = world.Add(3, m);
        const QString site = TESMORA_SOURCE_DIR "/contrib/ansible/site.json";
        world.Write("f", {}); // a file where the state folder should be
        Run run = world.Cli({"config", "apply", site, "--port", "3", "--json"}, world.Path("f"));
        QCOMPARE(run.exit, 1);
        QVERIFY2(run.lines[0]["reason"].toString().contains("cannot make"),
                 qPrintable(run.lines[0]["reason"].toString()));
        QCOMPARE(run.lines[0]["applied"].toBool(), false);
        QVERIFY(!QDir(world.Path("f/tesmora")).exists());

        r.ClearTrace();
        run = world.Cli({"config", "apply", site, "--port", "3", "--json"});
        QCOMPARE(run.exit, 1);
        QCOMPARE(run.lines[0]["error"].toString(),
                 QStringLiteral("not as the profile after the apply: keyNumber is 6, not 4"));
        QCOMPARE(run.lines[0]["applied"].toBool(), true);
        QCOMPARE(r.ReceivedPayloads(), Join({Scan("01"), {"H01B", "H01L04"}, Scan("01")}));

        run = world.Cli({"config", "apply", site, "--port", "4"});
        QCOMPARE(run.exit, 3);
        QVERIFY2(run.err.contains("cannot open COM4: missing"), qPrintable(run.err));
    }
};

QTEST_GUILESS_MAIN(TestCliConfig)
#include "tst_cliconfig.moc"

// tesmora-cli config read, apply and diff against emulated readers: only what
// differs goes on the wire, in order, then verified; a second apply sends only
// the scan; the backup; every reader at once; and what fails. The files
// refused: tests/unit/tst_profilefile.
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/stat.h>

#include "cliworld.h"
#include "readeremulator.h"

namespace {

const QString kSite = TESMORA_SOURCE_DIR "/contrib/ansible/site.json";

QJsonObject ReadJson(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object()
                                       : QJsonObject();
}

QString Scan(const QString& id)
{
    return QStringLiteral("H00B H%1V H%1A H%1L H%1M H%1N H%1a").arg(id);
}

QString Json(const QJsonValue& v)
{
    return QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
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
        ::umask(022); // what a new user has: the files must be private all the same
        World world;
        emu::ReaderModel m;
        m.keyNumber = "09";
        emu::ReaderEmulator& r = world.Add(3, m);
        const QString file = world.dir.filePath("reader.json");
        Run run = world.Cli({"config", "read", "--port", "3", "--type", "4", "--output", file});
        QCOMPARE(run.exit, 0);
        QCOMPARE(Sent(r), Scan("01"));
        QJsonObject profile = ReadJson(file);
        QCOMPARE(profile["settings"].toObject().keys().size(), 12);
        QCOMPARE(QFileInfo(file).permissions() & 0x0077, 0);

        m = r.Model();
        m.keyNumber = "04";
        m.keyStatus = "05";
        r.SetModel(m);
        profile["id"] = "07";
        profile["lineSetting"] = "9600,e,8,1";
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QJsonDocument(profile).toJson());
        f.close();
        r.ClearTrace();
        run = world.Cli({"config", "apply", file, "--port", "3", "--json"});
        QCOMPARE(run.exit, 0);
        // The profile's line setting is tried first, then the search finds the
        // reader at the first one of its baud rate: a pty carries no parity.
        QCOMPARE(Sent(r), QString("H00B ").repeated(11) + Scan("01") +
                              " H01B H01L09 H01B H01N0003 H01B H01C1234567807 H07B H07E3 " +
                              Scan("07"));
        QCOMPARE(Json(run.lines[0]["changed"]),
                 R"([{"field":"keyNumber","from":4,"to":9},{"field":"keyStatus","from":5,"to":0},)"
                 R"({"field":"id","from":"01","to":"07"},)"
                 R"({"field":"lineSetting","from":"19200,n,8,1","to":"9600,e,8,1"}])");
        QCOMPARE(run.lines[0]["applied"].toBool(), true);
        // The backup: the reader as it was, private to the user.
        const QString backup = run.lines[0]["backup"].toString();
        QVERIFY2(QFileInfo(backup).fileName().startsWith("12345678-"), qPrintable(backup));
        QCOMPARE(ReadJson(backup)["settings"].toObject()["keyStatus"].toInt(), 5);
        QCOMPARE(QFileInfo(world.dir.filePath("state/tesmora")).permissions() & 0x0077, 0);
        QCOMPARE(QFileInfo(backup).permissions() & 0x0077, 0);

        r.ClearTrace();
        QCOMPARE(world.Cli({"config", "apply", file, "--port", "3"}).exit, 0);
        QCOMPARE(Sent(r), Scan("07"));
        QCOMPARE(QDir(world.dir.filePath("state/tesmora/backups")).count(), 3u); // ., .. and one

        m = r.Model();
        m.idKeyErr = "03";
        r.SetModel(m);
        r.ClearTrace();
        run = world.Cli({"config", "apply", file, "--port", "3", "--check", "--json"});
        QCOMPARE(run.exit, 0);
        QCOMPARE(Sent(r), Scan("07"));
        QCOMPARE(Json(run.lines[0]["changed"]), R"([{"field":"idKeyError","from":3,"to":1}])");
        QCOMPARE(run.lines[0]["applied"].toBool(), false);
        QCOMPARE(world.Cli({"config", "diff", file, "--port", "3"}).exit, 1);
    }

    // Every reader found, at once, with consecutive IDs in port order; IDs past
    // 99 are refused before anything is sent.
    void allWithIds()
    {
        World world;
        std::vector<emu::ReaderEmulator*> readers{&world.Add(2), &world.Add(5), &world.Add(9)};
        Run run = world.Cli({"config", "apply", kSite, "--all", "--id-from", "98"});
        QCOMPARE(run.exit, 2);
        for (emu::ReaderEmulator* r : readers)
            QCOMPARE(Sent(*r), Scan("01"));
        {
            // A port that did not open fails the run, with its reason; a reader
            // behind two numbers is one: two readers from 98 end at 99.
            emu::HeldPort held(world.dir.filePath("ports/COM9").toStdString());
            QFile::link(world.dir.filePath("ports/COM2"), world.dir.filePath("ports/COM12"));
            run = world.Cli({"config", "apply", kSite, "--all", "--id-from", "98", "--json"});
            QCOMPARE(run.exit, 1);
            QCOMPARE(run.lines.size(), 3);
            QCOMPARE(run.lines[2]["reason"].toString(), "busy (held by another program)");
            QCOMPARE(readers[0]->Model().id + readers[1]->Model().id, "9899");
        }

        // A backup folder open to others is made private, and that said once.
        QFile::setPermissions(world.dir.filePath("state/tesmora/backups"),
                              QFile::Permissions(0x7755));
        run = world.Cli({"config", "apply", kSite, "--all", "--id-from", "21", "--json"});
        QCOMPARE(run.exit, 0);
        QCOMPARE(run.lines.size(), 3);
        QCOMPARE(run.lines[0]["notice"].toString() + run.lines[1]["notice"].toString() +
                     run.lines[2]["notice"].toString(),
                 "the backup folder " + world.dir.filePath("state/tesmora/backups") +
                     " was open to others; it is now 0700");
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(run.lines[i]["port"].toInt(), (QList<int>{2, 5, 9})[i]);
            QCOMPARE(readers[size_t(i)]->Model().id, std::to_string(21 + i));
        }
    }

    // A backup that cannot be written sends nothing; a reader that refuses a
    // setting fails, naming the field; a file or stdin too large is refused; a
    // missing port exits 3.
    void failures()
    {
        World world;
        emu::ReaderModel m;
        m.keyNumber = "06";
        m.errorCommands = {"L04"};
        emu::ReaderEmulator& r = world.Add(3, m);
        QFile notFolder(world.dir.filePath("f"));
        QVERIFY(notFolder.open(QIODevice::WriteOnly)); // where the state folder should be
        Run run =
            world.Cli({"config", "apply", kSite, "--port", "3", "--json"}, notFolder.fileName());
        QCOMPARE(run.exit, 1);
        QVERIFY2(run.lines[0]["reason"].toString().contains("cannot make"), qPrintable(run.err));
        QCOMPARE(run.lines[0]["applied"].toBool(), false);
        QCOMPARE(Sent(r), Scan("01"));

        r.ClearTrace();
        run = world.Cli({"config", "apply", kSite, "--port", "3", "--json"});
        QCOMPARE(run.exit, 1);
        QCOMPARE(run.lines[0]["error"].toString(), QStringLiteral("the reader refused keyNumber"));
        QCOMPARE(run.lines[0]["applied"].toBool(), false);
        // Read again, for what it holds now.
        QCOMPARE(Sent(r), Scan("01") + " H01B H01L04 " + Scan("01"));

        QFile big(world.dir.filePath("big.json"));
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(5 << 20));
        run = world.Cli({"config", "apply", big.fileName(), "--port", "3"});
        QCOMPARE(run.exit, 2);
        QVERIFY2(run.err.contains("big.json: too large"), qPrintable(run.err));
        // Standard input has the same bound, however much more comes.
        QProcess endless;
        endless.setStandardInputFile("/dev/zero");
        world.Begin(endless, {"config", "apply", "-", "--port", "3"});
        run = World::Finish(endless);
        QCOMPARE(run.exit, 2);
        QVERIFY2(run.err.contains("stdin: too large"), qPrintable(run.err));

        run = world.Cli({"config", "apply", kSite, "--port", "4"});
        QCOMPARE(run.exit, 3);
        QVERIFY2(run.err.contains("cannot open COM4: missing"), qPrintable(run.err));
    }
};

QTEST_GUILESS_MAIN(TestCliConfig)
#include "tst_cliconfig.moc"

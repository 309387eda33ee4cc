// The example playbook and its module against localhost, with emulated readers:
// the first run changes them, the second sends nothing but the scan, and check
// mode sends no set command and shows the difference. The module alone on a
// reader behind ser2net fails cleanly, naming the URL.
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

#include "readeremulator.h"
#include "ser2net.h"

namespace {

void SetEnvironment(const QTemporaryDir& dir)
{
    qputenv("TESMORA_PORT_DIR", dir.filePath("ports").toLocal8Bit());
    qputenv("TESMORA_SETTINGS_DIR", dir.filePath("settings").toLocal8Bit());
    qputenv("XDG_STATE_HOME", dir.filePath("state").toLocal8Bit());
    qputenv("ANSIBLE_HOME", dir.filePath("ansible").toLocal8Bit());
    qputenv("ANSIBLE_LOCAL_TEMP", dir.filePath("ansible/tmp").toLocal8Bit());
    qputenv("ANSIBLE_STDOUT_CALLBACK", "json");
    qputenv("ANSIBLE_LOAD_CALLBACK_PLUGINS", "1"); // the json callback for ad-hoc runs too
    qputenv("ANSIBLE_PYTHON_INTERPRETER", "auto_silent");
}

// The first task's result on localhost, from the json stdout callback; the
// whole output in `output`.
QJsonObject RunAnsible(const QString& program, const QStringList& args, QString& output)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(120000);
    output = QString::fromUtf8(p.readAllStandardOutput());
    return QJsonDocument::fromJson(output.toUtf8())
        .object()["plays"][0]["tasks"][0]["hosts"]["localhost"]
        .toObject();
}

} // namespace

class TestAnsible : public QObject
{
    Q_OBJECT

private slots:
    void playbook()
    {
        QTemporaryDir dir;
        QDir(dir.path()).mkdir("ports");
        std::vector<std::unique_ptr<emu::ReaderEmulator>> readers;
        for (int com : {3, 6}) {
            emu::ReaderModel m;
            m.prefix = 'H';
            m.keyNumber = "09";
            readers.push_back(std::make_unique<emu::ReaderEmulator>(m, emu::Options{true, 3}));
            QVERIFY(readers.back()->Start(dir.filePath("ports").toStdString(), com));
        }
        // Set commands carry parameters; the scan's are the prefix, the ID and a letter.
        auto setCommands = [](const emu::ReaderEmulator& r) {
            const auto p = r.ReceivedPayloads();
            return std::count_if(p.begin(), p.end(),
                                 [](const std::string& c) { return c.size() > 4; });
        };
        SetEnvironment(dir);
        QString output;
        auto run = [&](const QStringList& more) {
            const QJsonObject result = RunAnsible(
                ANSIBLE_PLAYBOOK,
                QStringList{"-i", "localhost,", "-c", "local", "-e", "reader_hosts=localhost", "-e",
                            "profile=" TESMORA_SOURCE_DIR "/contrib/ansible/site.json", "-e",
                            "tesmora_cli=" TESMORA_CLI_EXE,
                            TESMORA_SOURCE_DIR "/contrib/ansible/readers.yml"} +
                    more,
                output);
            return result["failed"].toBool() ? QJsonObject{{"failed", output}} : result;
        };

        QJsonObject result = run({});
        QVERIFY2(!result.contains("failed"), qPrintable(output));
        QCOMPARE(result["changed"].toBool(), true);
        QCOMPARE(readers[0]->Model().keyNumber, std::string("04"));
        QCOMPARE(readers[1]->Model().id, std::string("12"));

        for (auto& r : readers)
            r->ClearTrace();
        result = run({});
        QVERIFY2(!result.contains("failed"), qPrintable(output));
        QCOMPARE(result["changed"].toBool(), false);
        for (auto& r : readers) {
            QVERIFY(!r->ReceivedPayloads().empty());
            QCOMPARE(setCommands(*r), 0);
        }

        emu::ReaderModel m = readers[0]->Model();
        m.keyParity = "1";
        readers[0]->SetModel(m);
        readers[0]->ClearTrace();
        result = run({"--check", "--diff"});
        QVERIFY2(!result.contains("failed"), qPrintable(output));
        QCOMPARE(result["changed"].toBool(), true);
        QCOMPARE(setCommands(*readers[0]), 0);
        const QJsonValue diff = result["diff"];
        QCOMPARE(diff["before"].toObject(), QJsonObject({{"COM3", QJsonObject{{"keyParity", 1}}}}));
        QCOMPARE(diff["after"].toObject(), QJsonObject({{"COM3", QJsonObject{{"keyParity", 0}}}}));
    }

    // A reader behind ser2net that refuses a setting: the task fails with the
    // URL and the reader's words, and keeps the backup, not a module crash.
    void networkPortRefused()
    {
        if (QStandardPaths::findExecutable("ser2net").isEmpty())
            QSKIP("ser2net is not installed (scripts/setup.sh installs it)");
        QTemporaryDir dir;
        QDir(dir.path()).mkdir("ports");
        emu::ReaderModel m;
        m.prefix = 'H';
        m.keyNumber = "09";
        m.errorCommands = {"L04"};
        emu::ReaderEmulator reader(m, emu::Options{true, 3});
        QVERIFY(reader.Start(dir.filePath("ports").toStdString(), 3));
        std::vector<Ser2net::Entry> e{
            {"telnet(rfc2217),tcp", dir.filePath("ports/COM3"), "9600n81"}};
        Ser2net server(dir.path(), e);
        const QString url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(e[0].port);
        SetEnvironment(dir);

        QString output;
        const QJsonObject result =
            RunAnsible(QFileInfo(ANSIBLE_PLAYBOOK).dir().filePath("ansible"),
                       {"localhost", "-i", "localhost,", "-c", "local", "-M",
                        TESMORA_SOURCE_DIR "/contrib/ansible/library", "-m", "tesmora_reader", "-a",
                        "profile=" TESMORA_SOURCE_DIR "/contrib/ansible/site.json port=" + url +
                            " executable=" TESMORA_CLI_EXE},
                       output);
        QVERIFY2(result["failed"].toBool(), qPrintable(output));
        QCOMPARE(result["msg"].toString(), url + ": the reader refused keyNumber");
        QVERIFY(result["readers"][0]["backup"].toString().endsWith(".json"));
        QCOMPARE(reader.Model().keyNumber, std::string("09"));
    }
};

QTEST_GUILESS_MAIN(TestAnsible)
#include "tst_ansible.moc"

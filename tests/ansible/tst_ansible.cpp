// The Ansible module in a playbook against localhost, with emulated readers:
// the first run changes them, the second sends nothing but the scan, and check
// mode sends no set command.
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "readeremulator.h"

namespace {

// The task's result on localhost, from the json stdout callback.
struct Play
{
    int exit = -1;
    QJsonObject result;
    QString output;
};

// Set commands carry parameters; the scan's commands are the prefix, the ID
// and one letter.
int SetCommands(const std::vector<std::string>& payloads)
{
    int n = 0;
    for (const std::string& p : payloads)
        n += p.size() > 4;
    return n;
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
        auto run = [&](const QStringList& more) {
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("TESMORA_PORT_DIR", dir.filePath("ports"));
            env.insert("TESMORA_SETTINGS_DIR", dir.filePath("settings"));
            env.insert("XDG_STATE_HOME", dir.filePath("state"));
            env.insert("ANSIBLE_LIBRARY", TESMORA_SOURCE_DIR "/contrib/ansible/library");
            env.insert("ANSIBLE_HOME", dir.filePath("ansible"));
            env.insert("ANSIBLE_LOCAL_TEMP", dir.filePath("ansible/tmp"));
            env.insert("ANSIBLE_STDOUT_CALLBACK", "json");
            env.insert("ANSIBLE_PYTHON_INTERPRETER", "auto_silent");
            env.insert("ANSIBLE_NOCOLOR", "1");
            p.setProcessEnvironment(env);
            p.start(ANSIBLE_PLAYBOOK,
                    QStringList{"-i", "localhost,", "-c", "local", "-e",
                                "profile=" TESMORA_SOURCE_DIR "/contrib/ansible/site.json", "-e",
                                "tesmora_cli=" TESMORA_CLI_EXE,
                                TESMORA_SOURCE_DIR "/tests/ansible/playbook.yml"} +
                        more);
            Play play;
            if (!p.waitForFinished(120000))
                return play;
            play.exit = p.exitCode();
            play.output = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
            play.result = QJsonDocument::fromJson(play.output.toUtf8())
                              .object()["plays"][0]["tasks"][0]["hosts"]["localhost"]
                              .toObject();
            return play;
        };

        Play play = run({});
        QVERIFY2(play.exit == 0, qPrintable(play.output));
        QCOMPARE(play.result["changed"].toBool(), true);
        const QJsonArray found = play.result["readers"].toArray();
        QCOMPARE(found.size(), 2);
        QCOMPARE(found[1]["port"].toInt(), 6);
        QVERIFY(!found[1]["backup"].toString().isEmpty());
        QCOMPARE(readers[0]->Model().keyNumber, std::string("04"));
        QCOMPARE(readers[1]->Model().id, std::string("12"));

        for (auto& r : readers)
            r->ClearTrace();
        play = run({});
        QVERIFY2(play.exit == 0, qPrintable(play.output));
        QCOMPARE(play.result["changed"].toBool(), false);
        for (auto& r : readers) {
            QVERIFY(!r->ReceivedPayloads().empty());
            QCOMPARE(SetCommands(r->ReceivedPayloads()), 0);
        }

        emu::ReaderModel m = readers[0]->Model();
        m.keyParity = "1";
        readers[0]->SetModel(m);
        readers[0]->ClearTrace();
        play = run({"--check", "--diff"});
        QVERIFY2(play.exit == 0, qPrintable(play.output));
        QCOMPARE(play.result["changed"].toBool(), true);
        // Diff mode: before and after, by port.
        QJsonValue diff = play.result["diff"];
        if (diff.isArray())
            diff = diff.toArray().first();
        const QJsonObject before = diff.toObject()["before"].toObject();
        const QJsonObject after = diff.toObject()["after"].toObject();
        QCOMPARE(before["COM3"].toObject(), QJsonObject({{"keyParity", 1}}));
        QCOMPARE(after["COM3"].toObject(), QJsonObject({{"keyParity", 0}}));
        QCOMPARE(SetCommands(readers[0]->ReceivedPayloads()), 0);
        QCOMPARE(readers[0]->Model().keyParity, std::string("1"));
    }
};

QTEST_GUILESS_MAIN(TestAnsible)
#include "tst_ansible.moc"

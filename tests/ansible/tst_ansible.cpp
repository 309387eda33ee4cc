// The example playbook and its module against localhost, with emulated readers:
// the first run changes them, the second sends nothing but the scan, and check
// mode sends no set command and shows the difference.
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

#include "readeremulator.h"

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
        qputenv("TESMORA_PORT_DIR", dir.filePath("ports").toLocal8Bit());
        qputenv("TESMORA_SETTINGS_DIR", dir.filePath("settings").toLocal8Bit());
        qputenv("XDG_STATE_HOME", dir.filePath("state").toLocal8Bit());
        qputenv("ANSIBLE_HOME", dir.filePath("ansible").toLocal8Bit());
        qputenv("ANSIBLE_LOCAL_TEMP", dir.filePath("ansible/tmp").toLocal8Bit());
        qputenv("ANSIBLE_STDOUT_CALLBACK", "json");
        qputenv("ANSIBLE_PYTHON_INTERPRETER", "auto_silent");
        QString output;
        // The task's result on localhost, from the json stdout callback.
        auto run = [&](const QStringList& more) {
            QProcess p;
            p.start(ANSIBLE_PLAYBOOK,
                    QStringList{"-i", "localhost,", "-c", "local", "-e", "reader_hosts=localhost",
                                "-e", "profile=" TESMORA_SOURCE_DIR "/contrib/ansible/site.json",
                                "-e", "tesmora_cli=" TESMORA_CLI_EXE,
                                TESMORA_SOURCE_DIR "/contrib/ansible/readers.yml"} +
                        more);
            p.waitForFinished(120000);
            output = QString::fromUtf8(p.readAllStandardOutput());
            const QJsonObject result = QJsonDocument::fromJson(output.toUtf8())
                                           .object()["plays"][0]["tasks"][0]["hosts"]["localhost"]
                                           .toObject();
            return p.exitCode() == 0 ? result
                                     : QJsonObject{{"failed", output + p.readAllStandardError()}};
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
};

QTEST_GUILESS_MAIN(TestAnsible)
#include "tst_ansible.moc"

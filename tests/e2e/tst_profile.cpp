// Reader profiles from the window's File menu: saved from the reader found by a
// scan, applied after the user confirmed the changes shown, refused when the
// file does not fit. Failures of the apply itself: tests/cli/tst_cliconfig.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include "fixture.h"

using Payloads = std::vector<std::string>;

namespace {

void Write(const QString& path, const QJsonObject& o)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(QJsonDocument(o).toJson());
}

} // namespace

class TestProfile : public QObject
{
    Q_OBJECT

private slots:
    // Save, then apply to a reader whose settings moved: the changes are shown
    // and confirmed first, only they are sent, in order, then verified; the
    // window follows the reader's new ID.
    void saveThenApply()
    {
        ::umask(022); // what a new user has: the files must be private all the same
        Fixture fx;
        emu::ReaderModel m;
        m.keyNumber = "09";
        emu::ReaderEmulator& r = fx.FoundReader(3, m);
        TfrmModule& w = fx.window();
        QVERIFY(fx.ui()->mnuSaveProfile->isEnabled());
        QTemporaryDir dir;
        qputenv("XDG_STATE_HOME", dir.filePath("state").toLocal8Bit());
        const QString file = dir.filePath("reader.json");
        // The confirmation: what it said, and whether the window stayed disabled.
        QString asked;
        bool accept = true, disabled = false;
        TfrmModule::SetProfileHooks({[&](bool) { return file; },
                                     [&](const QString& text) {
                                         asked = text;
                                         disabled =
                                             !w.isEnabled() && QApplication::overrideCursor();
                                         return accept;
                                     }});

        fx.ui()->mnuSaveProfile->trigger();
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Save reader settings ok."));
        QCOMPARE(r.ReceivedPayloads(),
                 (Payloads{"H00B", "H01V", "H01A", "H01L", "H01M", "H01N", "H01a"}));
        QCOMPARE(QFileInfo(file).permissions() & 0x0077, 0);
        QFile saved(file);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QJsonObject profile = QJsonDocument::fromJson(saved.readAll()).object();

        // The reader was changed meanwhile; the profile also gives it ID 07.
        m = r.Model();
        m.keyNumber = "04";
        m.idKeyErr = "03";
        r.SetModel(m);
        profile["id"] = "07";
        Write(file, profile);
        r.ClearTrace();
        QVERIFY(QDir().mkpath(dir.filePath("state/tesmora/backups"))); // 0755: made private
        fx.ui()->mnuApplyProfile->trigger();
        QCOMPARE(asked, QStringLiteral("These settings will change:\n\nkeyNumber 4 -> 9\n"
                                       "idKeyError 3 -> 1\nid 01 -> 07"));
        QVERIFY(disabled);
        QCOMPARE(r.ReceivedPayloads(),
                 (Payloads{"H00B",           "H01V", "H01A",           "H01L",   "H01M",
                           "H01N",           "H01a", "H01B",           "H01L09", "H01B",
                           "H01a0000000001", "H01B", "H01C1234567807", "H00B",   "H07V",
                           "H07A",           "H07L", "H07M",           "H07N",   "H07a"}));
        QCOMPARE(fx.ui()->pnMsg->text(),
                 QStringLiteral("Apply reader settings ok. Settings changed : 3\nThe backup folder "
                                "was open to others; it is now private (0700)."));
        QCOMPARE(w.ReaderIdText, QStringLiteral("07"));
        QCOMPARE(fx.ui()->cmbM1IDKeyErr->currentIndex(), 1);
        QCOMPARE(QDir(dir.filePath("state/tesmora/backups")).entryList({"12345678-*"}).size(), 1);

        // Declined: the reader is read, nothing is set.
        m = r.Model();
        m.keyNumber = "05";
        r.SetModel(m);
        r.ClearTrace();
        accept = false;
        fx.ui()->mnuApplyProfile->trigger();
        QCOMPARE(r.ReceivedPayloads(),
                 (Payloads{"H00B", "H07V", "H07A", "H07L", "H07M", "H07N", "H07a"}));
        QCOMPARE(fx.ui()->pnMsg->text(),
                 QStringLiteral("Apply reader settings error! Cancelled: nothing was sent."));

        // Acknowledged and kept: the verifying scan alone tells, and fails the apply.
        accept = true;
        m = r.Model();
        m.ignoredCommands = {"L09"};
        r.SetModel(m);
        fx.ui()->mnuApplyProfile->trigger();
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Apply reader settings error! Settings "
                                                        "differ after the apply. (keyNumber)"));
        // The ID taken, the line setting refused: the window follows the new ID.
        m.errorCommands = {"E3"};
        r.SetModel(m);
        profile["id"] = "08";
        profile["lineSetting"] = "9600,e,8,1";
        Write(file, profile);
        fx.ui()->mnuApplyProfile->trigger();
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Apply reader settings error! The reader "
                                                        "refused a setting. (lineSetting)"));
        QCOMPARE(w.ReaderIdText, QStringLiteral("08"));

        // A profile of another type: refused, nothing sent.
        profile["type"] = 2;
        Write(file, profile);
        r.ClearTrace();
        fx.ui()->mnuApplyProfile->trigger();
        QVERIFY(r.Trace().empty());
        QCOMPARE(fx.ui()->pnMsg->text(),
                 QStringLiteral("Apply reader settings error! The profile is for another reader "
                                "type. (type)"));
        // Any path may be picked: one too large is not read.
        QVERIFY(QFile::resize(file, 5 << 20));
        fx.ui()->mnuApplyProfile->trigger();
        QVERIFY(fx.ui()->pnMsg->text().endsWith("The file cannot be read. (" + file +
                                                ": too large "
                                                "(5242880 bytes; at most 4194304))"));
        VerifyReleased(fx, r);

        TfrmModule::SetProfileHooks({});
    }
};

TESMORA_TEST_MAIN(TestProfile)
#include "tst_profile.moc"

// Reader profiles from the window's File menu: saved from the reader found by a
// scan, applied after the user confirmed the changes shown, refused when the
// file does not fit.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "fixture.h"

using Payloads = std::vector<std::string>;

namespace {

const Payloads kScan{"H00B", "H01V", "H01A", "H01L", "H01M", "H01N", "H01a"};

Payloads Join(std::initializer_list<Payloads> parts)
{
    Payloads all;
    for (const Payloads& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Answers the confirmation once it shows: what it said, and whether the main
// window stayed disabled under it.
struct Answer
{
    QString text;
    bool windowDisabled = false;
    QTimer poll;
    void Arm(TfrmModule& w, bool accept)
    {
        text.clear();
        poll.disconnect();
        QObject::connect(&poll, &QTimer::timeout, [this, &w, accept] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            poll.stop();
            text = box->text();
            windowDisabled = !w.isEnabled();
            for (QAbstractButton* b : box->buttons())
                if (box->buttonRole(b) ==
                    (accept ? QMessageBox::AcceptRole : QMessageBox::RejectRole))
                    b->click();
        });
        poll.start(20);
    }
};

} // namespace

class TestProfile : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        qputenv("XDG_STATE_HOME", QDir(state_.path()).filePath("state").toLocal8Bit());
        TfrmModule::SetFileNameHook([this](bool) { return file_; });
    }
    void cleanup() { TfrmModule::SetFileNameHook(nullptr); }

    // Save, then apply to a reader whose settings moved: the changes are shown
    // and confirmed first, only they are sent, in order, then verified; the
    // window follows the reader's new ID.
    void saveThenApply()
    {
        Fixture fx;
        emu::ReaderModel m;
        m.keyNumber = "09";
        emu::ReaderEmulator& r = fx.FoundReader(3, m);
        TfrmModule& w = fx.window();
        QVERIFY(fx.ui()->mnuSaveProfile->isEnabled());
        QTemporaryDir dir;
        file_ = dir.filePath("reader.json");

        fx.ui()->mnuSaveProfile->trigger();
        QCOMPARE(fx.ui()->pnMsg->text(), QStringLiteral("Save reader settings ok."));
        QCOMPARE(r.ReceivedPayloads(), kScan);
        QFile saved(file_);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QJsonObject profile = QJsonDocument::fromJson(saved.readAll()).object();
        saved.close();
        QCOMPARE(profile["settings"].toObject()["keyNumber"].toInt(), 9);
        QCOMPARE(profile["readFrom"].toObject()["serial"].toString(), QStringLiteral("12345678"));

        // The reader was changed meanwhile; the profile also gives it ID 07.
        m = r.Model();
        m.keyNumber = "04";
        m.idKeyErr = "03";
        r.SetModel(m);
        profile["id"] = "07";
        QVERIFY(saved.open(QIODevice::WriteOnly | QIODevice::Truncate));
        saved.write(QJsonDocument(profile).toJson());
        saved.close();
        r.ClearTrace();
        fx.beeps.clear();
        Answer answer;
        answer.Arm(w, true);
        fx.ui()->mnuApplyProfile->trigger();
        QCOMPARE(answer.text, QStringLiteral("These settings will change:\n\nkeyNumber 4 -> 9\n"
                                             "idKeyError 3 -> 1\nid 01 -> 07"));
        QVERIFY(answer.windowDisabled);
        QCOMPARE(r.ReceivedPayloads(),
                 Join({kScan,
                       {"H01B", "H01L09", "H01B", "H01a0000000001", "H01B", "H01C1234567807"},
                       {"H00B", "H07V", "H07A", "H07L", "H07M", "H07N", "H07a"}}));
        QCOMPARE(fx.ui()->pnMsg->text(),
                 QStringLiteral("Apply reader settings ok. Settings changed : 3"));
        QCOMPARE(fx.beeps, (std::vector<std::pair<int, int>>{{1000, 300}}));
        QCOMPARE(w.ReaderIdText, QStringLiteral("07"));
        QCOMPARE(fx.ui()->pnID->text(), QStringLiteral("07"));
        QCOMPARE(fx.ui()->cmbM1IDKeyErr->currentIndex(), 1);
        const QStringList backups =
            QDir(state_.path() + "/state/tesmora/backups").entryList({"12345678-*.json"});
        QCOMPARE(backups.size(), 1);
        VerifyReleased(fx, r);

        // Declined: the reader is read, nothing is set.
        m = r.Model();
        m.keyNumber = "05";
        r.SetModel(m);
        r.ClearTrace();
        answer.Arm(w, false);
        fx.ui()->mnuApplyProfile->trigger();
        QCOMPARE(r.ReceivedPayloads(),
                 (Payloads{"H00B", "H07V", "H07A", "H07L", "H07M", "H07N", "H07a"}));
        QCOMPARE(fx.ui()->pnMsg->text(),
                 QStringLiteral("Apply reader settings error! Cancelled: nothing was sent."));

        // In Traditional Chinese the reasons and the menu follow.
        w.SetLanguage(2);
        QCOMPARE(fx.ui()->mnuApplyProfile->text(), QStringLiteral("套用讀卡機設定..."));
        profile["type"] = 2;
        QVERIFY(saved.open(QIODevice::WriteOnly | QIODevice::Truncate));
        saved.write(QJsonDocument(profile).toJson());
        saved.close();
        r.ClearTrace();
        fx.ui()->mnuApplyProfile->trigger();
        QVERIFY(r.Trace().empty());
        QCOMPARE(fx.ui()->pnMsg->text(),
                 QStringLiteral("套用讀卡機設定錯誤! 設定檔屬於其他讀卡機型號. (type)"));
        VerifyReleased(fx, r);

        // No reader found: the items are withdrawn.
        r.Stop();
        fx.Click(fx.ui()->btnScan);
        QVERIFY(!fx.ui()->mnuSaveProfile->isEnabled());
        QVERIFY(!fx.ui()->mnuApplyProfile->isEnabled());
    }

    // A reader that acknowledges a setting and keeps its old value: the second
    // scan finds it, and the field is named.
    void keptOldValue()
    {
        Fixture fx;
        emu::ReaderModel m;
        m.errorCommands = {"N0510"};
        emu::ReaderEmulator& r = fx.FoundReader(3, m);
        QTemporaryDir dir;
        file_ = dir.filePath("reader.json");
        QFile f(file_);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(R"({"format": "tesmora-reader-profile", "version": 1, "type": 4, "id": "01",
                    "lineSetting": "19200,e,8,1",
                    "settings": {"interface": 0, "wiegand": 0, "rs485": 1, "keyNumber": 4,
                                 "keyParity": 0, "keyStatus": 5, "keyDelay": 10, "idSector": 0,
                                 "idBlock": 0, "idByte": 0, "idKey": "A", "idKeyError": 1}})");
        f.close();
        Answer answer;
        answer.Arm(fx.window(), true);
        fx.ui()->mnuApplyProfile->trigger();
        QCOMPARE(fx.ui()->pnMsg->text(),
                 QStringLiteral("Apply reader settings error! Settings differ after the apply. "
                                "(keyStatus, keyDelay)"));
        QCOMPARE(fx.window().CommColor(), 0x0000FFu);
        VerifyReleased(fx, r);
    }

private:
    QTemporaryDir state_;
    QString file_;
};

TESMORA_TEST_MAIN(TestProfile)
#include "tst_profile.moc"

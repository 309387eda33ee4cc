// The demo, walked through: the demo's own reader (scripts/demo-reader.args) in
// its executable, and every button a newcomer would try. With
// TESMORA_SCREENSHOT_DIR set, the window is saved along the way.
#include <QFile>
#include <QProcess>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <csignal>

#include "fixture.h"

namespace {

void Shot(QWidget& window, const char* name)
{
    const QString dir = qEnvironmentVariable("TESMORA_SCREENSHOT_DIR");
    if (!dir.isEmpty())
        window.grab().save(dir + QStringLiteral("/demo-%1.png").arg(QLatin1String(name)));
}

// Runs a reading button until `seen` shows in the message panel, takes a
// screenshot then, and stops the run.
bool ReadUntil(Fixture& fx, QPushButton* button, const QString& seen, const char* shot)
{
    bool found = false;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (fx.ui()->pnMsg->text().startsWith(seen)) {
            found = true;
            look.stop();
            Shot(fx.window(), shot);
            button->click();
        }
    });
    look.start(5);
    QTimer::singleShot(8000, button, &QPushButton::click); // at the latest
    fx.Click(button);
    return found;
}

} // namespace

class TestDemo : public QObject
{
    Q_OBJECT

private slots:
    void walkThrough()
    {
        Fixture fx;
        QFile argsFile(QStringLiteral(TESMORA_SOURCE_DIR "/scripts/demo-reader.args"));
        QVERIFY(argsFile.open(QIODevice::ReadOnly | QIODevice::Text));
        QStringList args = QString::fromUtf8(argsFile.readAll()).split('\n', Qt::SkipEmptyParts);
        args << "--com"
             << "3"
             << "--port-dir" << fx.portDir();
        QProcess reader;
        reader.start(QStringLiteral(TESMORA_EMULATOR_EXE), args);
        QVERIFY(reader.waitForReadyRead(5000));

        TfrmModule& w = fx.OpenWindow();
        auto* f = fx.ui();
        Shot(w, "start");
        fx.Click(f->btnScan);
        QCOMPARE(f->pnMsg->text(), QStringLiteral("Reader find ok. (COM : #3)"));
        QCOMPARE(f->cmbMode->currentIndex(), 0);
        QCOMPARE(f->cmbWiegand->currentIndex(), 1);
        QCOMPARE(f->cmbCardType->currentIndex(), 1);
        Shot(w, "found");

        // Every button of the top row, the Common, EM/TEMIC and Keypad pages.
        const std::pair<int, QPushButton*> buttons[] = {
            {0, f->btnID},        {0, f->btnBaudRate},  {0, f->btnMode},
            {0, f->btnTest},      {0, f->btnCardType},  {1, f->btnKeyParity},
            {1, f->btnKeyNumber}, {1, f->btnKeyStatus}, {1, f->btnFactory}};
        for (const auto& [type, button] : buttons) {
            f->pcReader->setCurrentIndex(type);
            fx.Click(button);
            QVERIFY2(f->pnMsg->text().endsWith("ok."), qPrintable(button->objectName()));
        }
        Shot(w, "factory");

        // Cards and keys, plain and two-way.
        f->pcReader->setCurrentIndex(0);
        QVERIFY(ReadUntil(fx, f->btnReadCard, "Card ID : ", "read-card"));
        QVERIFY(ReadUntil(fx, f->btnReadCard, "KEY : 1234", "read-key"));
        QVERIFY(ReadUntil(fx, f->btnEncode, "Card ID : ", "read-two-way"));

        // MIFARE, as a type 4 reader: read block 4, write it, compose access
        // bits with new keys, write the trailer, and read again with the new key.
        f->pcReader->setCurrentIndex(3);
        fx.Click(f->btnScan);
        QVERIFY(w.ReaderFound);
        f->pcOther->setCurrentWidget(f->tsMifare);
        fx.Click(f->btnM1Read);
        QCOMPARE(f->pnMsg->text(), QStringLiteral("Read card data ok."));
        f->edM1Write->setText("0123456789ABCDEF0123456789ABCDEF");
        fx.Click(f->btnM1Write);
        QCOMPARE(f->pnMsg->text(), QStringLiteral("Write card data ok."));
        Shot(w, "mifare-write");
        f->pcOther->setCurrentWidget(f->tsMifareKey);
        for (int n : {32, 20, 35, 44})
            f->GroupBox2->findChild<QRadioButton*>(QStringLiteral("RadioButton%1").arg(n))->click();
        f->edM1CardKeyA->setText("A0A1A2A3A4A5");
        f->edM1CardKeyB->setText("B0B1B2B3B4B5");
        fx.Click(f->btnM1CardKey);
        QCOMPARE(f->pnMsg->text(), QStringLiteral("Set card key ok."));
        Shot(w, "mifare-key");
        f->pcOther->setCurrentWidget(f->tsMifare);
        f->edM1RWKey->setText("A0A1A2A3A4A5");
        f->edM1Read->clear();
        fx.Click(f->btnM1Read);
        QCOMPARE(f->pnMsg->text(), QStringLiteral("Read card data ok."));
        QCOMPARE(f->edM1Read->text(), QStringLiteral("0123456789ABCDEF0123456789ABCDEF"));
        Shot(w, "mifare-read");

        ::kill(pid_t(reader.processId()), SIGTERM);
        QVERIFY(reader.waitForFinished(3000));
    }
};

TESMORA_TEST_MAIN(TestDemo)
#include "tst_demo.moc"

#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

#include <memory>
#include <utility>
#include <vector>

#include "gui/application.h"
#include "gui/frmmodule.h"
#include "readeremulator.h"
#include "ui_frmmodule.h"

// One end-to-end world: a port directory with emulated readers on chosen COM
// numbers, both settings stores in temporary folders, beeps recorded, and the
// real window shown offscreen.
class Fixture
{
public:
    Fixture();
    ~Fixture();

    emu::ReaderEmulator& AddReader(int com, const emu::ReaderModel& model = {},
                                   const emu::Options& options = {});
    // A reader of this type (0-based) on COM1 at `mode`, found by a scan from
    // the stored port; afterwards its trace and the beeps start empty.
    emu::ReaderEmulator& FoundReader(int type, emu::ReaderModel m = {},
                                     const QString& mode = QStringLiteral("19200,e,8,1"));
    // A pty that nobody answers.
    void AddDeadPort(int com);
    // A port that another program holds open.
    void HoldPort(int com);

    // Values in the machine-wide or per-user store, written before the window starts.
    void StoreSystem(const QString& key, const QVariant& value);
    void StoreUser(const QString& key, const QVariant& value);
    // A value as the next start loads it.
    QVariant Stored(const QString& key) const;
    QVariant StoredSystem(const QString& key) const;
    bool SystemStoreExists() const;
    QString SystemStorePath() const;
    QString UserStorePath() const;

    TfrmModule& OpenWindow();
    void CloseWindow();
    TfrmModule& window() { return *window_; }
    Ui::frmModule* ui() { return window_->form(); }

    // Presses a button as a user would, and waits until the handler returned.
    // What the window showed meanwhile is sampled into `during`.
    void Click(QWidget* button);

    // The window as seen every few milliseconds while the last click's handler ran.
    struct During
    {
        int samples = 0;
        bool alwaysDisabled = true;   // the window never took input
        bool alwaysWaitCursor = true; // the hourglass throughout
        QStringList messages;         // pnMsg, each change once
    } during;

    std::vector<std::pair<int, int>> beeps; // frequency, duration
    QString portDir() const { return ports_.path(); }

private:
    QTemporaryDir ports_;
    QTemporaryDir system_;
    QTemporaryDir user_;
    std::vector<std::unique_ptr<emu::ReaderEmulator>> readers_;
    std::vector<std::unique_ptr<emu::HeldPort>> held_;
    std::unique_ptr<TfrmModule> window_;
};

// After an operation or a reading run: the window enabled, the default cursor,
// and the port free for others (unless the reader hung up, taking it along).
void VerifyReleased(Fixture& fx, emu::ReaderEmulator& r);

// While an operation with traffic ran: the window disabled, the hourglass
// throughout, and its title (the caption of its button) in the message panel.
void VerifyDuring(const Fixture& fx, const QString& title,
                  const std::vector<std::string>& payloads);
// Each command after the first waited 100 ms at least after the answer before it.
void VerifyPauses(const emu::ReaderEmulator& r);

// Descriptors of this process open on the reader's device besides the
// emulator's own: a port the tool forgot to close shows here.
int ToolDescriptors(const emu::ReaderEmulator& r);

// CPU time of this process so far, in milliseconds: a wait that spins shows here.
double CpuMs();

// Model of a reader that answers at the given line setting.
emu::ReaderModel Reader(char prefix = 'A', int baud = 19200, const std::string& id = "01");

// Test main with the program's own application object, so that handler errors
// take the same road as in the program.
#define TESMORA_TEST_MAIN(TestClass)                                                               \
    int main(int argc, char** argv)                                                                \
    {                                                                                              \
        TApplication app(argc, argv);                                                              \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }

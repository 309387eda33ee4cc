#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catalog/catalog.h"
#include "link/commandlink.h"
#include "link/link.h"
#include "link/portwatch.h"
#include "link/traffichistory.h"
#include "mifare/accessbits.h"
#include "mifare/blocks.h"
#include "runframe.h"

namespace Ui {
class frmModule;
}

class QCloseEvent;
class QPushButton;
class QRadioButton;
class QShowEvent;
class QSocketNotifier;
class QKeyEvent;
class TfrmHistory;
class TfrmCard;
class TfrmBadgeDesk;
namespace reader {
struct ReaderSettings;
}

// Names the operation that the history's entries of a scope belong to, by the
// English text of its title; the one before comes back at the end of the scope.
class HistoryOperation
{
public:
    HistoryOperation(link::TrafficHistory& history, MsgKey title);
    ~HistoryOperation();
    HistoryOperation(const HistoryOperation&) = delete;
    HistoryOperation& operator=(const HistoryOperation&) = delete;

private:
    link::TrafficHistory& history_;
    QString before_;
};

// The one window of the program. It owns the whole state: the link state found
// by the scan, the command prefix, the last response and the language. The
// handlers of each subsystem are defined in that subsystem's folder.
class TfrmModule : public QMainWindow
{
    Q_OBJECT

public:
    explicit TfrmModule(QWidget* parent = nullptr);
    ~TfrmModule() override;

    Ui::frmModule* form() const { return ui.get(); }

    // --- state fields -------------------------------------------------------
    bool ReaderFound = false;
    int ScanCommNo = 0;
    QString ScanBaudRate = QStringLiteral("19200,e,8,1");
    int ScanBaudRateNo = 5;
    QString Language = QStringLiteral("English");
    int LanguageIndex = 0;
    bool CardReadRunning = false;
    // A scan or an operation of the operation frame runs.
    bool OperationRunning = false;
    // The long runs of the other windows (a whole card, a batch, a box of badges).
    RunFrame& Runs() { return runs_; }
    QString CommandPrefix = QStringLiteral("A");
    QString ReaderIdText;
    uint32_t AccessByte6 = 0;
    uint32_t AccessByte7 = 0;
    uint32_t AccessByte8 = 0;

    QTimer* tmrBusy = nullptr;
    QTimer* tmrCard = nullptr;
    // The blink phase of tmrBusy; like a timer's tag it is never reset.
    int tmrBusyTag = 0;

    // --- shell (src/app) ----------------------------------------------------
    void FormCreate();
    void FormShow();
    bool FormClose(); // false: the close was refused
    void mnuExitClick();
    void mnuEnglishClick();
    void mnuSimplifiedClick();
    void mnuTraditionalClick();
    // Shows the traffic history window, created on first use.
    void mnuHistoryClick();
    link::TrafficHistory& History() { return history_; }
    TfrmHistory* HistoryWindow() const { return historyWindow_.get(); }
    // Shows the card window, created on first use.
    void mnuCardClick();
    TfrmCard* CardWindow() const { return cardWindow_.get(); }
    void mnuBadgeDeskClick();
    TfrmBadgeDesk* BadgeDesk() const { return badgeDesk_.get(); }
    void SetLanguage(int index); // the three menu handlers' common steps
    // Text of a catalogue entry (named by its English text) in the current language.
    QString Msg(MsgKey key) const;
    void LoadSettings();
    void SaveScanSettings();
    void SaveLanguage();
    // Index of the active reader-type page, -1 when none is active.
    int ReaderType() const;
    void SelectReaderType(int index);

    // Selects a line setting in cmbBaudRate; an index outside the list selects nothing.
    void SelectBaudRateItem(int index);
    // The reader displays before anything is known of a reader.
    void ShowReaderPlaceholders();

    void sbIDChange();
    void sbKeyNumberChange();
    void sbKeyStatusNumberChange();
    void sbKeyDelayTimeChange();
    void sbM1E2SectorChange();
    void sbM1IDSectorChange();
    void sbM1IDBlockChange();
    void sbM1IDByteChange();
    void sbM1SectorChange();
    void sbM1BlockChange();
    void sbM1CardSectorChange();

    // --- link (src/link) ----------------------------------------------------
    // The window's link: its traffic goes to the status bar, and it lets window
    // events through while it waits.
    link::Link& Link() { return link_; }
    bool OpenPort(int n, const QString& mode) { return link_.OpenPort(n, mode); }
    void ClosePort() { link_.ClosePort(); }
    bool PortIsOpen() const { return link_.PortIsOpen(); }
    bool Exchange(const QString& payload) { return link_.Exchange(payload); }
    const std::string& LastResponse() const { return link_.LastResponse(); }
    int ResponseLength() const { return link_.ResponseLength(); }
    void SetCommPanel(int index, const QString& text);
    QString CommPanel(int index) const;

    // --- devices plugged in and out (src/link) ---------------------------------
    // The status bar tells a device plugged in on a COM number, and unplugged,
    // within a second, in the current language; a reading run's reader that
    // was unplugged stands there until it is back. Watching is on from the
    // start; off, nothing is watched (the benchmark compares the two).
    void WatchPorts(bool on);
    bool WatchingPorts() const { return watcher_ != nullptr; }
    // The status bar's message, "" while it shows the traffic.
    QString PortMessage() const;

    // --- reader (src/reader) ------------------------------------------------
    void pcReaderChange();
    void SetBusy(bool on);
    void tmrBusyTimer();
    void SetCommColor(uint32_t color);
    uint32_t CommColor() const;
    // The line that follows "no reader" where ports were refused: which ports,
    // and what to do about it; "" when none was.
    QString RefusedPortsLine(const std::vector<std::pair<int, link::OpenError>>& refused) const;
    void btnScanClick();
    // The ID location a reader has from the factory: sector, block and byte 0,
    // key A, the LED on a key error.
    void ShowDefaultIdLocation();
    // A scan's settings in the controls of the pages, those it read.
    void ShowSettings(const reader::ReaderSettings& s);

    // The frame of every configuration and MIFARE operation: disabled window and
    // hourglass, the found check, the title, the port opened for the commands and
    // closed after them, the outcome in colour, text and beep, and everything put
    // back on every path. `prepare` runs after the found check, before the title;
    // false fails the operation before the port is opened.
    struct OperationTexts
    {
        MsgKey title;
        MsgKey ok;
        MsgKey error;
    };
    using Commands = std::function<bool(link::CommandLink&, const link::Addressee&)>;
    bool RunOperation(const OperationTexts& texts, const Commands& commands,
                      const std::function<bool()>& prepare = {});

    // --- reader configuration (src/reader) ---------------------------------------
    void btnIDClick();
    void btnBaudRateClick();
    void btnModeClick();
    void btnTestClick();
    void btnCardTypeClick();
    void btnKeyParityClick();
    void btnKeyNumberClick();
    void btnKeyStatusClick();
    void btnFactoryClick();

    // --- card reading (src/reader) -------------------------------------------------
    void btnReadCardClick();
    void btnEncodeClick();
    void tmrCardTimer();
    // Starts a reading run, or asks the running one to stop.
    void ReadCards(bool twoWay);
    QPushButton* ReadingButton(bool twoWay) const;

    // --- MIFARE (src/mifare) -----------------------------------------------------------
    void btnM1KeyClick();
    void btnM1IDSectorClick();
    void btnM1ReadClick();
    void btnM1WriteClick();
    void btnM1CardKeyClick();
    // False for a trailer that must not be sent; the reason then follows the
    // operation's error message.
    bool TrailerAllowed(mifare::TrailerFault fault);
    // Puts block data into edM1Read the moment the reader gave it.
    std::function<void(const QString&)> ShowBlock();
    // The access bits editor: one handler per radio button, each applying the
    // click rule of the editor's table; the mouse and the keyboard both reach it.
#define TESMORA_DECLARE_MOUSE_UP(n) void RadioButton##n##MouseUp();
    TESMORA_ACCESS_BUTTONS(TESMORA_DECLARE_MOUSE_UP)
#undef TESMORA_DECLARE_MOUSE_UP
    void AccessButtonClick(int number);
    void UpdateAccessBits();
    // Checks the buttons of a block's condition, as a click on one of them does.
    void ShowCondition(int block, mifare::Condition condition);
    // Typed access bytes set the buttons, as clicks on their conditions would.
    void edM1CardKeyAccessChange();

    // --- reader profiles (src/profile) ------------------------------------------------
    // The reader's settings saved to a file, and a file applied to the reader.
    void mnuSaveProfileClick();
    void mnuApplyProfileClick();
    // The two items are offered while a reader was found.
    void UpdateProfileMenu();
    // Tests answer the dialogs here: the file chosen, empty for none; whether
    // the changes shown are to be applied.
    struct ProfileHooks
    {
        std::function<QString(bool save)> fileName;
        std::function<bool(const QString& changes)> confirm;
    };
    static void SetProfileHooks(ProfileHooks hooks);

    // Pauses between commands; process events meanwhile so the window repaints.
    void Pause(int ms)
    {
        link_.Pause(ms);
    }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void ApplyUpperCase();
    void ConnectHandlers();
    void ConnectAccessButtons();
    QRadioButton* AccessRadio(int number) const
    {
        return accessRadios_[size_t(number)];
    }

    // Shows the link's traffic in the status bar's two panels.
    class CommPanels final : public link::LinkObserver
    {
    public:
        explicit CommPanels(TfrmModule& w) : w_(w) {}
        void FrameSent(const std::string& display) override;
        void BytesReceived(const std::string& display, link::Outcome outcome, int count) override;
        void ReaderUnplugged(int port) override;
        void ReaderBack(int port, const std::string& path) override;
        void ReaderGivenUp(int port) override;

    private:
        TfrmModule& w_;
    };
    // Tells devices plugged in and out in the status bar.
    class PortMessages final : public link::PortObserver
    {
    public:
        explicit PortMessages(TfrmModule& w) : w_(w) {}
        void DeviceAdded(const link::DeviceInfo& info) override;
        void DeviceRemoved(const link::DeviceInfo& info) override;

    private:
        TfrmModule& w_;
    };
    void ProcessPortEvents();

    std::unique_ptr<Ui::frmModule> ui;
    // Outlives the windows whose runs it holds.
    RunFrame runs_;
    // The link's observers outlive it: closing the port on destruction reports.
    link::TrafficHistory history_;
    link::TrafficRecorder recorder_{history_};
    CommPanels commPanels_{*this};
    link::ObserverFanOut traffic_{{&commPanels_, &recorder_}};
    link::Link link_;
    PortMessages portMessages_{*this};
    std::unique_ptr<link::PortWatcher> watcher_;
    QSocketNotifier* watchNotifier_ = nullptr;
    QTimer* watchDue_ = nullptr; // a USB device held back for its by-id link
    // No parent: it stays usable while an operation disables the main window.
    std::unique_ptr<TfrmHistory> historyWindow_;
    std::unique_ptr<TfrmCard> cardWindow_;
    std::unique_ptr<TfrmBadgeDesk> badgeDesk_;
    bool firstShow = true;
    bool readingTwoWay_ = false;                   // which button runs while CardReadRunning
    bool cardReadStopping_ = false;                // the run was asked to stop and is ending
    std::array<QRadioButton*, 50> accessRadios_{}; // by button number
    int loadedReaderType = 0;
    // Why `prepare` refused the running operation, shown after its error text.
    std::optional<MsgKey> refusalReason_;
    QString refusalDetail_; // after the reason: the field it concerns
};

#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

#include "catalog/catalog.h"
#include "mifare/cardimage.h"
#include "mifare/wholecard.h"

namespace Ui {
class frmCard;
}

class QCloseEvent;
class CardTableModel;
class TfrmModule;
class TdlgIssue;

// The card window: the whole card read with key lists, written back or
// formatted, kept in dump files and compared with one. Non-modal and without a
// parent, like the history window; its runs go through the main window's
// operation frame, and its Cancel stays usable while they run.
class TfrmCard final : public QWidget
{
public:
    explicit TfrmCard(TfrmModule& main);
    ~TfrmCard() override;

    Ui::frmCard* form() const { return ui.get(); }
    CardTableModel* Table() const { return table_; }
    const mifare::CardImage& Image() const;
    bool Running() const { return running_; }

    // Captions in a language of the catalogue (0-2).
    void ApplyLanguage(int languageIndex);

    // Asked before a write or a format; true goes on. Tests answer here instead
    // of a modal box.
    using Confirmer = std::function<bool(const QString& question)>;
    static void SetConfirmHook(Confirmer hook);

    // Where the file dialogs lead. False, with the reason in lblMessage, when
    // the file is refused.
    bool AddKeyFile(const QString& path);
    bool OpenDumpFile(const QString& path);
    bool SaveDumpFile(const QString& path);
    bool CompareWithFile(const QString& path);

    // The backup of the last write or format (in the user's backup folder),
    // "" when none was saved.
    QString LastBackup() const { return lastBackup_; }

    void btnReadClick();
    void btnWriteClick();
    void btnFormatClick();
    void btnIssueClick();
    TdlgIssue* IssueDialog() const { return issueDialog_; }

    // A batch of the shown image onto card after card (the issue dialog's run).
    struct IssueSettings
    {
        QString log;
        std::optional<int> numberSector, numberBlock; // the running number's place
        qint64 start = 0;
        std::optional<int> count;
    };
    // Each row as logged goes to `row`; `stop` is asked between cards and
    // polls. The outcome, or why it did not start, in `message`.
    void IssueRun(const IssueSettings& settings,
                  const std::function<void(const QStringList& row, bool issued)>& row,
                  const std::function<bool()>& stop, QString* message);
    void btnOpenClick();
    void btnSaveClick();
    void btnCompareClick();
    void btnAddKeysClick();
    void btnRemoveKeysClick();
    void btnCancelClick();
    void tblCardSelectionChange();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class Progress;
    friend class Progress;
    struct RunGuard;
    friend struct RunGuard;

    QString Msg(MsgKey key) const;
    void Message(const QString& text);
    void AddResult(const QString& line);
    // False, with the reason shown, when the reader is busy with something else.
    bool Ready();
    // The chosen key files, then the built-in keys when on; none, with the
    // reason shown, for a file that is not a key file or no keys at all.
    std::optional<QStringList> CandidateKeys();
    std::optional<QStringList> LoadKeyFile(const QString& path, QString* message) const;
    // None for "Automatic": the card's block 0 tells.
    std::optional<mifare::CardSize> SelectedSize() const;
    void ShowImage(const mifare::CardImage& image);
    // Writes `source` after the question is answered; `format` writes the
    // delivery state of the card's own size instead.
    void WriteRun(const mifare::CardImage& source, bool format);
    bool SaveBackup(const mifare::CardImage& target, QString* error);
    bool Confirm(const QString& question);
    QString EndText(mifare::RunEnd end, int sector) const;
    QString AccessText(int block) const;
    void SetRunning(bool on);

    std::unique_ptr<Ui::frmCard> ui;
    TfrmModule& main_;
    CardTableModel* table_;
    int language_ = 0;
    bool running_ = false;
    bool cancelRequested_ = false;
    QString lastBackup_;
    TdlgIssue* issueDialog_ = nullptr; // a child: goes with the window
};

#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

#include "catalog/catalog.h"
#include "issuedialog.h"
#include "mifare/cardimage.h"
#include "mifare/wholecard.h"

namespace Ui {
class frmCard;
}

class QCloseEvent;
class CardTableModel;
class TfrmModule;

// The card window: the whole card read with key lists, written back or
// formatted, kept in dump files and compared with one. Non-modal and without a
// parent, like the history window; its runs are runs of the main window's run
// frame and go through its operation frame, and its Cancel stays usable while
// they run.
class TfrmCard final : public QWidget
{
public:
    explicit TfrmCard(TfrmModule& main);
    ~TfrmCard() override;

    Ui::frmCard* form() const { return ui.get(); }
    CardTableModel* Table() const { return table_; }
    const mifare::CardImage& Image() const;
    // Whether a run of this window (or of its issue dialog) goes on.
    bool Running() const;

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

    // A batch of the shown image onto card after card: the issue dialog's
    // run, which shows its rows and its outcome (or why it did not start).
    void IssueRun(const TdlgIssue::Settings& settings);
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
    // The controls as the run frame has it: a run of this window, of
    // another, or none.
    void ShowRunning();
    // A run of this window: the bar and the results cleared first.
    void RunHere(QWidget* owner, const std::function<void()>& body);

    std::unique_ptr<Ui::frmCard> ui;
    TfrmModule& main_;
    CardTableModel* table_;
    int language_ = 0;
    QString lastBackup_;
    TdlgIssue* issueDialog_ = nullptr; // a child: goes with the window
};

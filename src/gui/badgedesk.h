#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

#include "catalog/catalog.h"
#include "reader/enrollment.h"

namespace Ui {
class frmBadgeDesk;
}

class CsvList;
class QCloseEvent;
class TfrmModule;

// The badge desk: a box of cards read into a list, as `tesmora-cli enroll`
// does. Non-modal and without a parent, like the card window; its run is a
// run of the main window's run frame and goes through its operation frame,
// and Stop stays usable meanwhile. Nothing is kept only in memory: Start asks
// for the list's file unless one is open, and every new card is appended to
// it and synced as it is read. A list opened from a file is resumed.
class TfrmBadgeDesk final : public QWidget
{
public:
    explicit TfrmBadgeDesk(TfrmModule& main);
    ~TfrmBadgeDesk() override;

    Ui::frmBadgeDesk* form() const { return ui.get(); }
    bool Running() const;
    void ApplyLanguage(int languageIndex);

    // Where the file dialogs lead. False, with the reason in lblMessage.
    // OpenList also takes a file that does not exist yet: the list is made
    // there once a run has the reader.
    bool OpenList(const QString& path);
    bool SaveList(const QString& path);
    // The list's file, "" while none is open.
    QString ListPath() const;

    // Tests answer the file dialogs here: the file chosen, "" for none.
    using FileHook = std::function<QString(bool save)>;
    static void SetFileHook(FileHook hook);

    void btnStartClick();
    void btnStopClick();
    void btnOpenClick();
    void btnSaveClick();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QString Msg(MsgKey key) const;
    QString AskFile(bool save, MsgKey title);
    void Card(const QString& hex, const std::optional<uint64_t>& value, int bits, QString* failed);
    void AddRows(const QList<QStringList>& rows);
    void ShowCount();
    void ShowRunning();

    TfrmModule& main_;
    std::unique_ptr<Ui::frmBadgeDesk> ui;
    int language_ = 0;
    reader::Enrolled enrolled_;
    QList<QStringList> rows_;
    std::unique_ptr<CsvList> file_; // the list, appended to
};

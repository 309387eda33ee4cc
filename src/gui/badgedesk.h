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
class TfrmModule;

// The badge desk: a box of cards read into a list, as `tesmora-cli enroll`
// does. Non-modal and without a parent, like the card window; its run goes
// through the main window's operation frame, and Stop stays usable meanwhile.
// A list opened from a file is resumed: new cards are appended to it at once.
class TfrmBadgeDesk final : public QWidget
{
public:
    explicit TfrmBadgeDesk(TfrmModule& main);
    ~TfrmBadgeDesk() override;

    Ui::frmBadgeDesk* form() const { return ui.get(); }
    bool Running() const { return running_; }
    void ApplyLanguage(int languageIndex);

    // Where the file dialogs lead. False, with the reason in lblMessage.
    bool OpenList(const QString& path);
    bool SaveList(const QString& path);

    void btnStartClick();
    void btnStopClick();
    void btnOpenClick();
    void btnSaveClick();

private:
    QString Msg(MsgKey key) const;
    void Card(const QString& hex, const std::optional<uint64_t>& value, int bits);
    void AddRow(const QStringList& row);
    void ShowCount();

    TfrmModule& main_;
    std::unique_ptr<Ui::frmBadgeDesk> ui;
    int language_ = 0;
    bool running_ = false;
    bool stopping_ = false;
    reader::Enrolled enrolled_;
    QList<QStringList> rows_;
    std::unique_ptr<CsvList> file_; // the list opened, appended to
};

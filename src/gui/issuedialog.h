#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class dlgIssue;
}

class TfrmCard;

// "Issue cards...": the card window's image onto card after card, as
// `tesmora-cli mifare issue` does: the log file, the running number's place
// and start, a count (0: until Stop), and the log's last rows. Stop ends the
// batch between two cards, never in the middle of one.
class TdlgIssue final : public QDialog
{
public:
    explicit TdlgIssue(TfrmCard& card);
    ~TdlgIssue() override;
    Ui::dlgIssue* form() const { return ui.get(); }
    void ApplyLanguage(int languageIndex);

    void btnStartClick();
    void btnStopClick();
    void btnBrowseClick();

private:
    void AddRow(const QString& line);
    TfrmCard& card_;
    std::unique_ptr<Ui::dlgIssue> ui;
    int language_ = 0;
    bool stopping_ = false;
};

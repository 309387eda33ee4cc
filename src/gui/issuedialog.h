#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace Ui {
class dlgIssue;
}

class QCloseEvent;
class RunFrame;

// "Issue cards...": the window's image onto card after card, as `tesmora-cli
// mifare issue` does: the log file, the running number's place and start, a
// count (0: until Stop), and the log's last rows. Its batch is a run of the
// run frame: Stop, the card window's Cancel and a close all end it between
// two cards, never in the middle of one.
class TdlgIssue final : public QDialog
{
public:
    struct Settings
    {
        QString log;
        std::optional<int> numberSector, numberBlock; // the running number's place
        qint64 start = 0;
        std::optional<int> count;
    };
    // Starts the batch and returns when it has ended.
    using Start = std::function<void(const Settings&)>;

    TdlgIssue(QWidget& window, RunFrame& runs, Start start);
    ~TdlgIssue() override;
    Ui::dlgIssue* form() const { return ui.get(); }
    void ApplyLanguage(int languageIndex);

    // What the batch shows: each row as logged, and how it ended.
    void ShowRow(const QStringList& row, bool issued);
    void ShowMessage(const QString& text);
    // The buttons as the run frame has it.
    void ShowRunning();

    void btnStartClick();
    void btnStopClick();
    void btnBrowseClick();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<Ui::dlgIssue> ui;
    RunFrame& runs_;
    Start start_;
    int language_ = 0;
};

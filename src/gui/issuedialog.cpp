#include "issuedialog.h"

#include <QCloseEvent>
#include <QFileDialog>

#include "beep.h"
#include "catalog/catalog.h"
#include "runframe.h"
#include "ui_issuedialog.h"

namespace {

constexpr int kRowsShown = 12;

} // namespace

TdlgIssue::TdlgIssue(QWidget& window, RunFrame& runs, Start start)
    : QDialog(&window), ui(new Ui::dlgIssue), runs_(runs), start_(std::move(start))
{
    ui->setupUi(this);
    connect(ui->btnStart, &QPushButton::clicked, this, &TdlgIssue::btnStartClick);
    connect(ui->btnStop, &QPushButton::clicked, this, &TdlgIssue::btnStopClick);
    connect(ui->btnBrowse, &QPushButton::clicked, this, &TdlgIssue::btnBrowseClick);
}

TdlgIssue::~TdlgIssue() = default;

void TdlgIssue::ApplyLanguage(int languageIndex)
{
    language_ = languageIndex;
    const auto msg = [this](MsgKey key) { return CatalogText(key, language_); };
    setWindowTitle(msg("Issue cards"));
    ui->lblLog->setText(msg("Log file:"));
    ui->btnBrowse->setText(msg("Browse..."));
    ui->cbNumber->setText(msg("Running number"));
    ui->lblSector->setText(msg("Sector"));
    ui->lblBlock->setText(msg("Block"));
    ui->lblStart->setText(msg("Start at:"));
    ui->lblCount->setText(msg("Cards (0: until Stop):"));
    ui->btnStart->setText(msg("Start"));
    ui->btnStop->setText(msg("Stop"));
}

void TdlgIssue::ShowRow(const QStringList& row, bool issued)
{
    QStringList lines = ui->txtRows->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines << row.mid(0, 5).join(QLatin1Char(','));
    ui->txtRows->setPlainText(
        lines.mid(std::max(0, int(lines.size()) - kRowsShown)).join(QLatin1Char('\n')));
    Beep(issued ? 1000 : 300, issued ? 100 : 300);
}

void TdlgIssue::ShowMessage(const QString& text)
{
    ui->lblMessage->setText(text);
}

void TdlgIssue::ShowRunning()
{
    const bool running = runs_.Running();
    const bool mine = running && runs_.RunsIn(this);
    ui->btnStart->setEnabled(!running);
    ui->btnStop->setEnabled(mine);
}

void TdlgIssue::btnBrowseClick()
{
    const QString path = QFileDialog::getSaveFileName(
        this, CatalogText("Log file:", language_), ui->edLog->text(),
        CatalogText("CSV files (*.csv)", language_), nullptr, QFileDialog::DontConfirmOverwrite);
    if (!path.isEmpty())
        ui->edLog->setText(path);
}

void TdlgIssue::btnStartClick()
{
    if (runs_.Running())
        return;
    Settings settings;
    settings.log = ui->edLog->text();
    if (ui->cbNumber->isChecked()) {
        settings.numberSector = ui->spSector->value();
        settings.numberBlock = ui->spBlock->value();
        settings.start = ui->spStart->value();
    }
    if (ui->spCount->value() > 0)
        settings.count = ui->spCount->value();
    ui->txtRows->clear();
    ui->lblMessage->clear();
    start_(settings);
}

void TdlgIssue::btnStopClick()
{
    if (runs_.RunsIn(this))
        runs_.Stop();
}

void TdlgIssue::closeEvent(QCloseEvent* event)
{
    // Closed during its batch: the batch ends after the card on the reader, then it closes.
    if (runs_.HoldClose(this)) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

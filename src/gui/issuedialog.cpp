#include "issuedialog.h"

#include <QFileDialog>

#include "beep.h"
#include "cardwindow.h"
#include "catalog/catalog.h"
#include "ui_issuedialog.h"

namespace {

constexpr int kRowsShown = 12;

} // namespace

TdlgIssue::TdlgIssue(TfrmCard& card) : QDialog(&card), card_(card), ui(new Ui::dlgIssue)
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

void TdlgIssue::AddRow(const QString& line)
{
    QStringList lines = ui->txtRows->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines << line;
    ui->txtRows->setPlainText(
        lines.mid(std::max(0, int(lines.size()) - kRowsShown)).join(QLatin1Char('\n')));
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
    TfrmCard::IssueSettings settings;
    settings.log = ui->edLog->text();
    if (ui->cbNumber->isChecked()) {
        settings.numberSector = ui->spSector->value();
        settings.numberBlock = ui->spBlock->value();
        settings.start = ui->spStart->value();
    }
    if (ui->spCount->value() > 0)
        settings.count = ui->spCount->value();
    stopping_ = false;
    ui->btnStart->setEnabled(false);
    ui->btnStop->setEnabled(true);
    ui->txtRows->clear();
    QString message;
    card_.IssueRun(
        settings,
        [this](const QStringList& row, bool issued) {
            AddRow(row.mid(0, 5).join(QLatin1Char(',')));
            Beep(issued ? 1000 : 300, issued ? 100 : 300);
        },
        [this] { return stopping_; }, &message);
    ui->lblMessage->setText(message);
    ui->btnStart->setEnabled(true);
    ui->btnStop->setEnabled(false);
}

void TdlgIssue::btnStopClick()
{
    stopping_ = true;
}

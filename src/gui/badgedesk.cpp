// The badge desk: cards read into a list, repeats told apart by ear.
#include "badgedesk.h"

#include <QFileDialog>
#include <QHeaderView>

#include "beep.h"
#include "frmmodule.h"
#include "reader/cardreading.h"
#include "store/csvlog.h"
#include "store/safefile.h"
#include "ui_badgedesk.h"

namespace {

// A new card high, a repeat low and twice: told apart without looking.
constexpr int kNewCardHz = 2000;
constexpr int kRepeatHz = 500;
constexpr int kBadgeBeepMs = 120;

// The list's columns shown: n, card, facility, number, time.
constexpr int kShownFields[] = {0, 2, 5, 6, 1};

} // namespace

TfrmBadgeDesk::TfrmBadgeDesk(TfrmModule& main) : main_(main), ui(new Ui::frmBadgeDesk)
{
    ui->setupUi(this);
    ui->twCards->horizontalHeader()->setStretchLastSection(true);
    ui->twCards->verticalHeader()->hide();
    connect(ui->btnStart, &QPushButton::clicked, this, &TfrmBadgeDesk::btnStartClick);
    connect(ui->btnStop, &QPushButton::clicked, this, &TfrmBadgeDesk::btnStopClick);
    connect(ui->btnOpen, &QPushButton::clicked, this, &TfrmBadgeDesk::btnOpenClick);
    connect(ui->btnSave, &QPushButton::clicked, this, &TfrmBadgeDesk::btnSaveClick);
    ApplyLanguage(0);
}

TfrmBadgeDesk::~TfrmBadgeDesk() = default;

QString TfrmBadgeDesk::Msg(MsgKey key) const
{
    return CatalogText(key, language_);
}

void TfrmBadgeDesk::ApplyLanguage(int languageIndex)
{
    language_ = languageIndex;
    setWindowTitle(Msg("Badge desk"));
    ui->btnStart->setText(Msg("Start"));
    ui->btnStop->setText(Msg("Stop"));
    ui->btnOpen->setText(Msg("Open list..."));
    ui->btnSave->setText(Msg("Save as CSV..."));
    ui->twCards->setHorizontalHeaderLabels(
        {QStringLiteral("n"), Msg("Card"), Msg("Facility"), Msg("Number"), Msg("Time")});
    ShowCount();
}

void TfrmBadgeDesk::ShowCount()
{
    ui->lblCount->setText(Msg("Cards:") + QStringLiteral(" ") + QString::number(rows_.size()));
}

void TfrmBadgeDesk::AddRow(const QStringList& row)
{
    rows_.append(row);
    const int at = ui->twCards->rowCount();
    ui->twCards->insertRow(at);
    for (int column = 0; column < int(std::size(kShownFields)); ++column)
        ui->twCards->setItem(at, column, new QTableWidgetItem(row[kShownFields[column]]));
    ui->twCards->scrollToBottom();
    ShowCount();
}

void TfrmBadgeDesk::Card(const QString& hex, const std::optional<uint64_t>& value, int bits)
{
    if (const auto n = enrolled_.Find(hex)) {
        ui->lblMessage->setText(hex + QStringLiteral(" ") + Msg("already enrolled as") +
                                QStringLiteral(" ") + QString::number(*n));
        Beep(kRepeatHz, kBadgeBeepMs);
        Beep(kRepeatHz, kBadgeBeepMs);
        return;
    }
    const int n = enrolled_.last + 1;
    const QStringList row = reader::EnrollRow(n, CsvTime(), hex, value, bits);
    QString error;
    if (file_ && !file_->Append(row, &error)) {
        ui->lblMessage->setText(Msg("Cannot save the list:") + QStringLiteral(" ") + error);
        stopping_ = true;
        return;
    }
    enrolled_.Add(n, hex);
    AddRow(row);
    ui->lblMessage->clear();
    Beep(kNewCardHz, kBadgeBeepMs);
}

void TfrmBadgeDesk::btnStartClick()
{
    if (running_ || main_.OperationRunning || main_.CardReadRunning)
        return;
    running_ = true;
    stopping_ = false;
    ui->btnStart->setEnabled(false);
    ui->btnOpen->setEnabled(false);
    ui->btnStop->setEnabled(true);
    reader::CardPresence presence;
    main_.RunOperation({"Badge desk", "Badge desk ok.", "Badge desk error!"},
                       [&](link::CommandLink& link, const link::Addressee& to) {
                           const auto bits = reader::ReadWiegandBits(link, to);
                           if (!bits)
                               return false;
                           return reader::ReadCards(
                               main_.Link(), to, false, [this] { return Msg("Card ID"); },
                               [this] { return stopping_; },
                               [&](const reader::CardShown& s) {
                                   if (presence.NewlyLaid(s.kind, s.hex))
                                       Card(s.hex, s.value, *bits);
                               },
                               {});
                       });
    running_ = false;
    ui->btnStart->setEnabled(true);
    ui->btnOpen->setEnabled(true);
    ui->btnStop->setEnabled(false);
}

void TfrmBadgeDesk::btnStopClick()
{
    stopping_ = true;
}

bool TfrmBadgeDesk::OpenList(const QString& path)
{
    auto file = std::make_unique<CsvList>();
    QString error;
    std::optional<reader::Enrolled> enrolled;
    if (file->Open(path, QLatin1String(reader::kEnrollHeader), &error))
        enrolled = reader::EnrolledOf(file->Rows(), &error);
    if (!enrolled) {
        ui->lblMessage->setText(Msg("Cannot open the list:") + QStringLiteral(" ") + error);
        return false;
    }
    enrolled_ = *enrolled;
    rows_.clear();
    ui->twCards->setRowCount(0);
    for (const QStringList& row : file->Rows())
        AddRow(row);
    file_ = std::move(file);
    ui->lblMessage->setText(path);
    return true;
}

bool TfrmBadgeDesk::SaveList(const QString& path)
{
    QByteArray text = QByteArray(reader::kEnrollHeader) + '\n';
    for (const QStringList& row : rows_)
        text += CsvLine(row);
    QString error;
    if (!SaveFileAtomically(path, text, &error)) {
        ui->lblMessage->setText(Msg("Cannot save the list:") + QStringLiteral(" ") + error);
        return false;
    }
    ui->lblMessage->setText(path);
    return true;
}

void TfrmBadgeDesk::btnOpenClick()
{
    const QString path = QFileDialog::getOpenFileName(
        this, QString(Msg("Open list...")).remove(QStringLiteral("...")), QString(),
        Msg("CSV files (*.csv)") + QStringLiteral(";;") + Msg("All files (*)"));
    if (!path.isEmpty())
        OpenList(path);
}

void TfrmBadgeDesk::btnSaveClick()
{
    const QString path = QFileDialog::getSaveFileName(
        this, QString(Msg("Save as CSV...")).remove(QStringLiteral("...")), QString(),
        Msg("CSV files (*.csv)"));
    if (!path.isEmpty())
        SaveList(path);
}

// The badge desk: cards read into a list, repeats told apart by ear.
#include "badgedesk.h"

#include <QCloseEvent>
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

TfrmBadgeDesk::FileHook& FileHookSlot()
{
    static TfrmBadgeDesk::FileHook hook;
    return hook;
}

CsvFormat EnrollFormat()
{
    return {QLatin1String(reader::kEnrollHeader), reader::WholeEnrollRow};
}

} // namespace

TfrmBadgeDesk::TfrmBadgeDesk(TfrmModule& main) : main_(main), ui(new Ui::frmBadgeDesk)
{
    ui->setupUi(this);
    // Open or not, it never keeps the program running after the main window.
    setAttribute(Qt::WA_QuitOnClose, false);
    ui->twCards->horizontalHeader()->setStretchLastSection(true);
    ui->twCards->verticalHeader()->hide();
    connect(ui->btnStart, &QPushButton::clicked, this, &TfrmBadgeDesk::btnStartClick);
    connect(ui->btnStop, &QPushButton::clicked, this, &TfrmBadgeDesk::btnStopClick);
    connect(ui->btnOpen, &QPushButton::clicked, this, &TfrmBadgeDesk::btnOpenClick);
    connect(ui->btnSave, &QPushButton::clicked, this, &TfrmBadgeDesk::btnSaveClick);
    main_.Runs().AddView([this] { ShowRunning(); });
    ShowRunning();
    ApplyLanguage(0);
}

TfrmBadgeDesk::~TfrmBadgeDesk() = default;

void TfrmBadgeDesk::SetFileHook(FileHook hook)
{
    FileHookSlot() = std::move(hook);
}

QString TfrmBadgeDesk::Msg(MsgKey key) const
{
    return CatalogText(key, language_);
}

bool TfrmBadgeDesk::Running() const
{
    return main_.Runs().RunsIn(this);
}

QString TfrmBadgeDesk::ListPath() const
{
    return file_ ? file_->Path() : QString();
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

void TfrmBadgeDesk::ShowRunning()
{
    const bool mine = Running();
    ui->btnStart->setEnabled(!main_.Runs().Running());
    ui->btnStop->setEnabled(mine && !main_.Runs().Stopping());
    ui->btnOpen->setEnabled(!mine);
}

void TfrmBadgeDesk::closeEvent(QCloseEvent* event)
{
    // Closed during a run: the run stops after the read under way, then it closes.
    if (main_.Runs().HoldClose(this)) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void TfrmBadgeDesk::AddRows(const QList<QStringList>& rows)
{
    // A resumed list may hold tens of thousands: the table is filled first,
    // then scrolled and counted once.
    ui->twCards->setRowCount(int(rows_.size() + rows.size()));
    for (const QStringList& row : rows) {
        for (int column = 0; column < int(std::size(kShownFields)); ++column)
            ui->twCards->setItem(int(rows_.size()), column,
                                 new QTableWidgetItem(row[kShownFields[column]]));
        rows_.append(row);
    }
    ui->twCards->scrollToBottom();
    ShowCount();
}

void TfrmBadgeDesk::Card(const QString& hex, const std::optional<uint64_t>& value, int bits,
                         QString* failed)
{
    using Kind = reader::Enrolled::Check::Kind;
    const auto check = enrolled_.CheckCard(hex, bits);
    const int n = check.n;
    if (check.kind != Kind::New) {
        ui->lblMessage->setText(
            check.kind == Kind::SameCard
                ? hex + QStringLiteral(" ") + Msg("already enrolled as") + QStringLiteral(" ") +
                      QString::number(n)
                : Msg("%1 is the same credential as %2: not enrolled.").arg(hex).arg(n));
        Beep(kRepeatHz, kBadgeBeepMs);
        Beep(kRepeatHz, kBadgeBeepMs);
        return;
    }
    const QStringList row = reader::EnrollRow(n, CsvTime(), hex, value, bits);
    QString error;
    if (!file_->Append(row, &error)) {
        ui->lblMessage->setText(Msg("Cannot save the list:") + QStringLiteral(" ") + error);
        *failed = error;
        return;
    }
    enrolled_.Add(n, hex, bits);
    AddRows({row});
    ui->lblMessage->clear();
    Beep(kNewCardHz, kBadgeBeepMs);
}

QString TfrmBadgeDesk::AskFile(bool save, MsgKey title)
{
    if (FileHookSlot())
        return FileHookSlot()(save);
    const QString caption = QString(Msg(title)).remove(QStringLiteral("..."));
    const QString filter = Msg("CSV files (*.csv)") + QStringLiteral(";;") + Msg("All files (*)");
    return save ? QFileDialog::getSaveFileName(this, caption, QString(), filter, nullptr,
                                               QFileDialog::DontConfirmOverwrite)
                : QFileDialog::getOpenFileName(this, caption, QString(), filter);
}

void TfrmBadgeDesk::btnStartClick()
{
    if (main_.Runs().Running() || main_.OperationRunning || main_.CardReadRunning) {
        ui->lblMessage->setText(Msg("The reader is busy."));
        return;
    }
    // Every row goes to a file as it is read: without a list open, one is asked for.
    if (!file_) {
        const QString path = AskFile(true, "List file:");
        if (path.isEmpty() || !OpenList(path))
            return;
    }
    QString failed;
    main_.Runs().Run(this, [&] {
        reader::CardPresence presence;
        main_.RunOperation({"Badge desk", "Badge desk ok.", "Badge desk error!"},
                           [&](link::CommandLink& link, const link::Addressee& to) {
                               // A resumed list keeps its own format; a new one takes the reader's.
                               const auto bits = enrolled_.bits ? enrolled_.bits
                                                                : reader::ReadWiegandBits(link, to);
                               if (!bits)
                                   return false;
                               // A new list is made only once the reader answered.
                               if (!file_->Create(&failed)) {
                                   ui->lblMessage->setText(Msg("Cannot save the list:") +
                                                           QStringLiteral(" ") + failed);
                                   return false;
                               }
                               const bool stopped = reader::ReadCards(
                                   main_.Link(), to, false, [this] { return Msg("Card ID"); },
                                   [&] { return main_.Runs().Stopping() || !failed.isEmpty(); },
                                   [&](const reader::CardShown& s) {
                                       if (presence.NewlyLaid(s.kind, s.hex))
                                           Card(s.hex, s.value, *bits, &failed);
                                   },
                                   {});
                               // A list that could not be written ends the run as a failure.
                               return stopped && failed.isEmpty();
                           });
    });
}

void TfrmBadgeDesk::btnStopClick()
{
    if (Running())
        main_.Runs().Stop();
    ui->btnStop->setEnabled(false);
}

bool TfrmBadgeDesk::OpenList(const QString& path)
{
    auto file = std::make_unique<CsvList>();
    QString error;
    reader::Enrolled enrolled;
    QList<QStringList> rows;
    const bool opened = file->Open(
        path, EnrollFormat(),
        [&](const QStringList& row, int, QString* why) {
            rows << row;
            return enrolled.AddRow(row, why);
        },
        &error);
    if (!opened) {
        ui->lblMessage->setText(Msg("Cannot open the list:") + QStringLiteral(" ") + error);
        return false;
    }
    // The list opened before lets go of its file (and its lock) here.
    file_ = std::move(file);
    enrolled_ = enrolled;
    rows_.clear();
    ui->twCards->setRowCount(0);
    AddRows(rows);
    ui->lblMessage->setText(file_->Repair().isEmpty() ? file_->Path() : file_->Repair());
    return true;
}

bool TfrmBadgeDesk::SaveList(const QString& path)
{
    QString error;
    if (file_ && (file_->IsFile(path) || ThroughLinks(path) == file_->Path())) {
        // The list itself: every row is on it already, and the desk goes on
        // appending to it. Replacing it would leave the desk writing to a
        // file no longer there.
        if (!file_->Create(&error)) {
            ui->lblMessage->setText(Msg("Cannot save the list:") + QStringLiteral(" ") + error);
            return false;
        }
    } else if (!SaveFileAtomically(path, CsvList::Text(QLatin1String(reader::kEnrollHeader), rows_),
                                   &error)) {
        ui->lblMessage->setText(Msg("Cannot save the list:") + QStringLiteral(" ") + error);
        return false;
    }
    ui->lblMessage->setText(path);
    return true;
}

void TfrmBadgeDesk::btnOpenClick()
{
    const QString path = AskFile(false, "Open list...");
    if (!path.isEmpty())
        OpenList(path);
}

void TfrmBadgeDesk::btnSaveClick()
{
    const QString path = AskFile(true, "Save as CSV...");
    if (!path.isEmpty())
        SaveList(path);
}

#include "cardwindow.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHeaderView>
#include <QMessageBox>

#include <algorithm>

#include "cardtable.h"
#include "fonts.h"
#include "frmmodule.h"
#include "issuedialog.h"
#include "link/transport.h"
#include "mifare/dumpfile.h"
#include "mifare/issue.h"
#include "mifare/keylist.h"
#include "runframe.h"
#include "store/csvlog.h"
#include "store/statefolder.h"
#include "ui_cardwindow.h"
#include "ui_frmmodule.h"

using mifare::CardImage;
using mifare::CardSize;
using mifare::RunEnd;
using mifare::WriteStep;

namespace {

TfrmCard::Confirmer& ConfirmHook()
{
    static TfrmCard::Confirmer hook;
    return hook;
}

struct GroupText
{
    mifare::Group group;
    MsgKey text;
};
constexpr GroupText kGroupTexts[] = {
    {mifare::Group::Read, "read"},
    {mifare::Group::Write, "write"},
    {mifare::Group::Increment, "increment"},
    {mifare::Group::Decrement, "decrement, transfer, restore"},
    {mifare::Group::KeyARead, "read Key A"},
    {mifare::Group::KeyAWrite, "write Key A"},
    {mifare::Group::AccessRead, "read access bits"},
    {mifare::Group::AccessWrite, "write access bits"},
    {mifare::Group::KeyBRead, "read Key B"},
    {mifare::Group::KeyBWrite, "write Key B"},
};

struct CaptionText
{
    mifare::Caption who;
    MsgKey text;
};
constexpr CaptionText kCaptionTexts[] = {
    {mifare::Caption::AB, "Key A or Key B"},
    {mifare::Caption::A, "Key A"},
    {mifare::Caption::B, "Key B"},
    {mifare::Caption::Never, "never"},
};

struct StepText
{
    WriteStep::Kind kind;
    MsgKey text;
};
constexpr StepText kStepTexts[] = {
    {WriteStep::Kind::Written, "Block %1: written."},
    {WriteStep::Kind::Unchanged, "Block %1: unchanged."},
    {WriteStep::Kind::Skipped, "Block %1: skipped: %2"},
    {WriteStep::Kind::Failed, "Block %1: failed: %2"},
    {WriteStep::Kind::NotTried, "Block %1: not tried."},
};

struct EndText
{
    RunEnd end;
    MsgKey text;
};
constexpr EndText kEndTexts[] = {
    {RunEnd::NoReader, "The reader did not answer."},
    {RunEnd::CardGone, "The card was taken away at sector %1."},
    {RunEnd::Cancelled, "Cancelled."},
    {RunEnd::Stopped, "Stopped."},
    {RunEnd::NoBackup, "The backup could not be saved: nothing was written."},
    {RunEnd::WriteFailed, "A write was not confirmed: the run stopped."},
    {RunEnd::SizeUnknown,
     "Block 0 does not tell the card's size: choose 1K or 4K. Nothing was written."},
    {RunEnd::SizeMismatch, "The card and the image are of different sizes: nothing was written."},
};

// The dump formats in the order of the file dialogs' filters.
struct DumpFilter
{
    MsgKey filter;
    const char* extension; // given to a saved file that has none of the format's own
};
constexpr DumpFilter kDumpFilters[] = {
    {"MIFARE Classic Tool dump (*.mct *.txt)", ".mct"},
    {"Binary dump (*.mfd *.bin)", ".mfd"},
    {"JSON image (*.json)", ".json"},
};

} // namespace

// The run's progress in the window; Cancel is polled before each command.
class TfrmCard::Progress final : public mifare::CardProgress
{
public:
    explicit Progress(TfrmCard& w) : w_(w) {}

    void SectorRead(const mifare::SectorReport& r) override
    {
        if (!r.Opened()) {
            w_.AddResult(w_.Msg("Sector %1: not opened.").arg(r.sector));
            return;
        }
        QString line =
            w_.Msg("Sector %1: %2 of %3 blocks read.").arg(r.sector).arg(r.read).arg(r.blocks);
        if (r.keyA)
            line += QStringLiteral(" %1 %2").arg(w_.Msg("Key A"), *r.keyA);
        if (r.keyB)
            line += QStringLiteral(" %1 %2").arg(w_.Msg("Key B"), *r.keyB);
        w_.AddResult(line);
    }
    void BlockDone(const WriteStep& step) override
    {
        // The core's reasons are English; those the catalogue knows are told
        // in the window's language.
        const std::string reason = step.reason.toStdString();
        const QString said =
            CatalogIndex(reason) >= 0 ? CatalogLookup(reason, w_.language_) : step.reason;
        for (const auto& [kind, text] : kStepTexts)
            if (kind == step.kind) {
                QString line = w_.Msg(text).arg(step.block);
                w_.AddResult(line.contains(QLatin1String("%2")) ? line.arg(said) : line);
            }
    }
    // The bar moves by sectors read (and written), and is full when the run has ended.
    void Position(const mifare::RunPosition& at) override
    {
        QProgressBar* bar = w_.ui->pbProgress;
        bar->setMaximum(std::max(at.total, 1));
        bar->setValue(at.done);
        if (at.done == at.total)
            bar->setFormat(QStringLiteral("%p%"));
        else if (at.key > 1)
            bar->setFormat(w_.Msg("Sector %1 of %2: key %3 of %4")
                               .arg(at.sector + 1)
                               .arg(at.sectors)
                               .arg(at.key)
                               .arg(at.keys));
        else
            bar->setFormat(w_.Msg("Sector %1 of %2").arg(at.sector + 1).arg(at.sectors));
    }
    bool Cancelled() override { return w_.main_.Runs().Stopping(); }

private:
    TfrmCard& w_;
};

TfrmCard::TfrmCard(TfrmModule& main)
    : QWidget(nullptr, Qt::Window), ui(std::make_unique<Ui::frmCard>()), main_(main),
      table_(new CardTableModel(this))
{
    ui->setupUi(this);
    // Open or not, it never keeps the program running after the main window.
    setAttribute(Qt::WA_QuitOnClose, false);

    ui->tblCard->setModel(table_);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    ui->tblCard->setFont(fixed);
    ui->tblCard->setWordWrap(false);
    ui->tblCard->verticalHeader()->hide();
    ui->tblCard->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ui->tblCard->verticalHeader()->setDefaultSectionSize(QFontMetrics(fixed).height() + 4);
    ui->tblCard->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    ui->tblCard->horizontalHeader()->setStretchLastSection(true);
    table_->SetImage(CardImage(CardSize::k1K));

    connect(ui->btnRead, &QPushButton::clicked, this, &TfrmCard::btnReadClick);
    connect(ui->btnWrite, &QPushButton::clicked, this, &TfrmCard::btnWriteClick);
    connect(ui->btnFormat, &QPushButton::clicked, this, &TfrmCard::btnFormatClick);
    connect(ui->btnIssue, &QPushButton::clicked, this, &TfrmCard::btnIssueClick);
    connect(ui->btnOpen, &QPushButton::clicked, this, &TfrmCard::btnOpenClick);
    connect(ui->btnSave, &QPushButton::clicked, this, &TfrmCard::btnSaveClick);
    connect(ui->btnCompare, &QPushButton::clicked, this, &TfrmCard::btnCompareClick);
    connect(ui->btnAddKeys, &QPushButton::clicked, this, &TfrmCard::btnAddKeysClick);
    connect(ui->btnRemoveKeys, &QPushButton::clicked, this, &TfrmCard::btnRemoveKeysClick);
    connect(ui->btnCancel, &QPushButton::clicked, this, &TfrmCard::btnCancelClick);
    connect(ui->tblCard->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &TfrmCard::tblCardSelectionChange);
    main_.Runs().AddView([this] { ShowRunning(); });
    ShowRunning();
    ApplyLanguage(0);
}

TfrmCard::~TfrmCard() = default;

QString TfrmCard::Msg(MsgKey key) const
{
    return CatalogText(key, language_);
}

const CardImage& TfrmCard::Image() const
{
    return table_->Image();
}

void TfrmCard::SetConfirmHook(Confirmer hook)
{
    ConfirmHook() = std::move(hook);
}

void TfrmCard::ApplyLanguage(int languageIndex)
{
    language_ = languageIndex;
    setFont(MakeLanguageFont(languageIndex));
    setWindowTitle(Msg("Card"));
    ui->gbKeys->setTitle(Msg("Key files"));
    ui->btnAddKeys->setText(Msg("Add key file..."));
    ui->btnRemoveKeys->setText(Msg("Remove key file"));
    ui->chkDefaultKeys->setText(Msg("Built-in default keys"));
    ui->lblSize->setText(Msg("Card size:"));
    ui->cmbSize->setItemText(0, Msg("Automatic"));
    ui->btnRead->setText(Msg("Read whole card"));
    ui->btnWrite->setText(Msg("Write to card"));
    ui->btnFormat->setText(Msg("Format card"));
    ui->btnIssue->setText(Msg("Issue cards..."));
    if (issueDialog_)
        issueDialog_->ApplyLanguage(languageIndex);
    ui->btnOpen->setText(Msg("Open dump..."));
    ui->btnSave->setText(Msg("Save dump..."));
    ui->btnCompare->setText(Msg("Compare with a dump..."));
    ui->btnCancel->setText(Msg("Cancel"));
    table_->SetLanguage(languageIndex);
    tblCardSelectionChange();
}

bool TfrmCard::Running() const
{
    return main_.Runs().RunsIn(this);
}

void TfrmCard::closeEvent(QCloseEvent* event)
{
    // Closed in the middle of a run: the run stops at its next safe point,
    // then the window closes; it never goes on unseen.
    if (main_.Runs().HoldClose(this)) {
        event->ignore();
        return;
    }
    if (issueDialog_)
        issueDialog_->close();
    QWidget::closeEvent(event);
}

void TfrmCard::Message(const QString& text)
{
    ui->lblMessage->setText(text);
}

void TfrmCard::AddResult(const QString& line)
{
    ui->lstResults->addItem(line);
    ui->lstResults->scrollToBottom();
}

bool TfrmCard::Confirm(const QString& question)
{
    if (ConfirmHook())
        return ConfirmHook()(question);
    return QMessageBox::question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

bool TfrmCard::Ready()
{
    // The main window lets events through while its own operations wait.
    if (main_.Runs().Running() || main_.OperationRunning || main_.CardReadRunning) {
        Message(Msg("The reader is busy."));
        return false;
    }
    return true;
}

std::optional<CardSize> TfrmCard::SelectedSize() const
{
    switch (ui->cmbSize->currentIndex()) {
    case 1:
        return CardSize::k1K;
    case 2:
        return CardSize::k4K;
    default:
        return std::nullopt; // as block 0 tells
    }
}

void TfrmCard::ShowRunning()
{
    const bool busy = main_.Runs().Running();
    for (QWidget* w : std::initializer_list<QWidget*>{
             ui->gbKeys, ui->cmbSize, ui->tblCard, ui->btnRead, ui->btnWrite, ui->btnFormat,
             ui->btnIssue, ui->btnOpen, ui->btnSave, ui->btnCompare})
        w->setEnabled(!busy);
    // Cancel stops this window's run, whichever it is, the issue dialog's too.
    ui->btnCancel->setEnabled(Running() && !main_.Runs().Stopping());
    if (issueDialog_)
        issueDialog_->ShowRunning();
}

void TfrmCard::RunHere(QWidget* owner, const std::function<void()>& body)
{
    main_.Runs().Run(owner, [&] {
        ui->pbProgress->setValue(0);
        ui->pbProgress->setFormat(QStringLiteral("%p%"));
        ui->lstResults->clear();
        Message(QString());
        body();
    });
}

void TfrmCard::btnCancelClick()
{
    if (Running())
        main_.Runs().Stop();
    ui->btnCancel->setEnabled(false);
}

// --- keys ----------------------------------------------------------------------

std::optional<QStringList> TfrmCard::LoadKeyFile(const QString& path, QString* message) const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *message = Msg("Key file %1 cannot be read: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    const QByteArray text = file.readAll();
    if (auto keys = mifare::ParseKeyFile(text, path))
        return keys;
    // The first line that is not a key, for a message in the window's language.
    const QList<QByteArray> lines = text.split('\n');
    qsizetype line = 0;
    while (line < lines.size() && mifare::ParseKeyFile(lines[line], path))
        ++line;
    *message =
        Msg("Key file %1, line %2: not a key of 12 hexadecimal digits.").arg(path).arg(line + 1);
    return std::nullopt;
}

bool TfrmCard::AddKeyFile(const QString& path)
{
    QString message;
    if (!LoadKeyFile(path, &message)) {
        Message(message);
        return false;
    }
    if (ui->lstKeyFiles->findItems(path, Qt::MatchExactly).isEmpty())
        ui->lstKeyFiles->addItem(path);
    Message(QString());
    return true;
}

std::optional<QStringList> TfrmCard::CandidateKeys()
{
    // The site's own keys first: they are what a technician added files for.
    QList<QStringList> lists;
    for (int i = 0; i < ui->lstKeyFiles->count(); ++i) {
        QString message;
        const auto keys = LoadKeyFile(ui->lstKeyFiles->item(i)->text(), &message);
        if (!keys) {
            Message(message);
            return std::nullopt;
        }
        lists << *keys;
    }
    if (ui->chkDefaultKeys->isChecked())
        lists << mifare::DefaultKeys();
    QStringList keys = mifare::MergeKeys(lists);
    if (keys.isEmpty()) {
        Message(Msg("No keys: add a key file or turn the built-in default keys on."));
        return std::nullopt;
    }
    return keys;
}

void TfrmCard::btnAddKeysClick()
{
    const QString filter =
        Msg("Key files (*.keys *.dic *.txt)") + QStringLiteral(";;") + Msg("All files (*)");
    for (const QString& path : QFileDialog::getOpenFileNames(
             this, QString(Msg("Add key file...")).remove(QStringLiteral("...")), QString(),
             filter))
        if (!AddKeyFile(path))
            break;
}

void TfrmCard::btnRemoveKeysClick()
{
    delete ui->lstKeyFiles->currentItem();
}

// --- runs ----------------------------------------------------------------------

QString TfrmCard::EndText(RunEnd end, int sector) const
{
    // A port lost under the run (unplugged, the server gone) is no card taken away.
    if (end == RunEnd::CardGone && main_.Link().PortLost())
        return Msg("The port was lost: %1")
            .arg(QString::fromStdString(link::LostText(link::PortDevicePath(main_.ScanCommNo))));
    for (const auto& [e, text] : kEndTexts)
        if (e == end)
            return end == RunEnd::CardGone ? Msg(text).arg(sector) : Msg(text);
    return {};
}

void TfrmCard::btnReadClick()
{
    if (!Ready())
        return;
    const auto keys = CandidateKeys();
    if (!keys)
        return;
    const std::optional<CardSize> size = SelectedSize();
    std::optional<mifare::ReadResult> result;
    RunHere(this, [&] {
        Progress progress(*this);
        main_.RunOperation({"Read whole card", "Read whole card ok.", "Read whole card error!"},
                           [&](link::CommandLink& link, const link::Addressee& to) {
                               result = mifare::ReadCard(link, to, size, *keys, progress);
                               // A card some sectors of which stay closed is
                               // read all the same: its count tells.
                               return result->end == RunEnd::Done && result->Opened() > 0;
                           });
    });
    if (!result) {
        Message(main_.ReaderFound ? main_.form()->pnMsg->text() : Msg("Reader not find"));
        return;
    }
    // What was read stays, however the run ended; a run that read nothing
    // leaves the table as it was.
    if (!result->sectors.isEmpty())
        ShowImage(result->image);
    QString text =
        Msg("%1 of %2 sectors opened.").arg(result->Opened()).arg(result->image.Sectors());
    if (result->sizeAssumed && !result->sectors.isEmpty())
        text += QLatin1Char(' ') + Msg("Block 0 unread: the size was assumed 1K.");
    if (result->end != RunEnd::Done)
        text += QLatin1Char(' ') + EndText(result->end, result->endSector);
    Message(text);
}

void TfrmCard::btnWriteClick()
{
    WriteRun(Image(), false);
}

void TfrmCard::btnFormatClick()
{
    // The delivery state of the card's own size, once it is known: the
    // question counts no sector as fixed for good.
    WriteRun(mifare::DeliveryImage(SelectedSize().value_or(CardSize::k1K)), true);
}

bool TfrmCard::SaveBackup(const CardImage& target, QString* error)
{
    const auto path = ::SaveBackup(mifare::BackupStem(target), QStringLiteral("json"),
                                   mifare::WriteDump(target, mifare::DumpFormat::Json), error);
    if (!path)
        return false;
    lastBackup_ = *path;
    AddResult(Msg("Backup saved: %1").arg(*path));
    return true;
}

void TfrmCard::WriteRun(const CardImage& source, bool format)
{
    if (!Ready())
        return;
    const auto keys = CandidateKeys();
    if (!keys)
        return;
    QString question =
        format ? Msg("Put every sector of the card on the reader back to its delivery state? "
                     "Block 0 is never written.")
               : Msg("Write the shown card to the card on the reader? Block 0 is never written.");
    const QList<int> fixed = mifare::SectorsFixedForGood(source);
    if (!fixed.isEmpty()) {
        QStringList sectors;
        for (int s : fixed)
            sectors << QString::number(s);
        question += QLatin1Char('\n') + Msg("These sectors could never be changed again, or would "
                                            "keep data blocks no key can write: %1. Write them "
                                            "all the same?")
                                            .arg(sectors.join(QStringLiteral(", ")));
    }
    if (!Confirm(question))
        return;

    const mifare::WriteOptions options{*keys, !fixed.isEmpty(), SelectedSize()};
    std::optional<mifare::WriteResult> result;
    QString backupError;
    lastBackup_.clear();
    RunHere(this, [&] {
        Progress progress(*this);
        const TfrmModule::OperationTexts texts =
            format
                ? TfrmModule::OperationTexts{"Format card", "Format card ok.", "Format card error!"}
                : TfrmModule::OperationTexts{"Write to card", "Write to card ok.",
                                             "Write to card error!"};
        main_.RunOperation(texts, [&](link::CommandLink& link, const link::Addressee& to) {
            const mifare::Backup backup = [&](const CardImage& target) {
                return SaveBackup(target, &backupError);
            };
            result = format ? mifare::FormatCard(link, to, options, backup, progress)
                            : mifare::WriteCard(link, to, source, options, backup, progress);
            return result->end == RunEnd::Done && result->Count(WriteStep::Kind::Skipped) == 0 &&
                   result->Count(WriteStep::Kind::Failed) == 0;
        });
    });
    if (!result) {
        Message(main_.ReaderFound ? main_.form()->pnMsg->text() : Msg("Reader not find"));
        return;
    }
    // As the command line counts: not written is skipped or failed.
    QStringList text{
        Msg("Written: %1, unchanged: %2, not written: %3, not tried: %4.")
            .arg(result->Count(WriteStep::Kind::Written))
            .arg(result->Count(WriteStep::Kind::Unchanged))
            .arg(result->Count(WriteStep::Kind::Skipped) + result->Count(WriteStep::Kind::Failed))
            .arg(result->NotTried())};
    if (result->end != RunEnd::Done)
        text << EndText(result->end, result->target.endSector);
    if (!lastBackup_.isEmpty())
        text << Msg("Backup saved: %1").arg(lastBackup_);
    else if (!backupError.isEmpty())
        text << Msg("Backup not saved: %1").arg(backupError);
    Message(text.join(QLatin1Char('\n')));
}

// --- issuing ---------------------------------------------------------------------

void TfrmCard::btnIssueClick()
{
    if (!issueDialog_) {
        issueDialog_ = new TdlgIssue(*this, main_.Runs(),
                                     [this](const TdlgIssue::Settings& s) { IssueRun(s); });
        issueDialog_->ApplyLanguage(language_);
        issueDialog_->ShowRunning();
    }
    issueDialog_->show();
    issueDialog_->raise();
}

void TfrmCard::IssueRun(const TdlgIssue::Settings& settings)
{
    TdlgIssue& dialog = *issueDialog_;
    if (settings.log.trimmed().isEmpty())
        return dialog.ShowMessage(Msg("Choose a log file first."));
    if (!Ready())
        return dialog.ShowMessage(ui->lblMessage->text());
    const std::optional<QStringList> keys = CandidateKeys();
    if (!keys)
        return dialog.ShowMessage(ui->lblMessage->text());
    mifare::IssueBatch batch;
    batch.source = Image();
    batch.count = settings.count;
    if (settings.numberSector) {
        const int sector = *settings.numberSector;
        if (sector >= batch.source.Sectors() ||
            *settings.numberBlock >= mifare::BlocksInSector(sector) - 1 ||
            (sector == 0 && *settings.numberBlock == 0))
            return dialog.ShowMessage(Msg("The number's block is not a data block of the card."));
        batch.numberBlock = mifare::FirstBlock(sector) + *settings.numberBlock;
        batch.next = settings.start;
    }
    // Asked once for the whole batch.
    const QList<int> fixed = mifare::SectorsFixedForGood(batch.source);
    if (!fixed.isEmpty()) {
        QStringList sectors;
        for (int s : fixed)
            sectors << QString::number(s);
        if (!Confirm(Msg("These sectors could never be changed again, or would keep data blocks "
                         "no key can write: %1. Write them all the same?")
                         .arg(sectors.join(QStringLiteral(", ")))))
            return;
    }
    batch.options = mifare::WriteOptions{*keys, !fixed.isEmpty(), SelectedSize()};
    CsvList log;
    QString error;
    if (!log.Open(
            settings.log, {QLatin1String(mifare::kIssueLogHeader), mifare::WholeIssueRow},
            [&](const QStringList& row, int, QString* why) { return batch.AddRow(row, why); },
            &error))
        return dialog.ShowMessage(Msg("Cannot open the list:") + QLatin1Char(' ') + error);
    if (const QString refusal = batch.NumberRefusal(); !refusal.isEmpty())
        return dialog.ShowMessage(Msg("Cannot open the list:") + QLatin1Char(' ') + refusal);
    mifare::IssueHooks hooks;
    hooks.backup = [this](const CardImage& target, QString* error) -> std::optional<QString> {
        if (!SaveBackup(target, error))
            return std::nullopt;
        return lastBackup_;
    };
    hooks.log = [&](const QStringList& r, QString* e) { return log.Append(r, e); };
    hooks.now = CsvTime;
    hooks.done = [&dialog](const QStringList& row, bool issued) { dialog.ShowRow(row, issued); };
    hooks.stop = [this] { return main_.Runs().Stopping(); };
    mifare::BatchEnd end;
    RunHere(&dialog, [&] {
        Progress progress(*this);
        main_.RunOperation({"Issue cards", "Issue cards ok.", "Issue cards error!"},
                           [&](link::CommandLink& link, const link::Addressee& to) {
                               // A new log is made only once the reader answered.
                               if (!log.Create(&end.logError))
                                   return false;
                               end = mifare::RunIssueBatch(link, to, batch, hooks, progress);
                               return end.logError.isEmpty();
                           });
    });
    QStringList text;
    if (!log.Repair().isEmpty())
        text << log.Repair();
    text << Msg("Issued: %1, not issued: %2.").arg(end.issued).arg(end.failed);
    if (end.numbersUsedUp)
        text << Msg("The running numbers are used up.");
    if (!end.logError.isEmpty())
        text << Msg("Cannot save the list:") + QLatin1Char(' ') + end.logError;
    dialog.ShowMessage(text.join(QLatin1Char('\n')));
}

// --- dump files ----------------------------------------------------------------

void TfrmCard::ShowImage(const CardImage& image)
{
    table_->SetImage(image);
    // "Automatic" stays: the next card tells its own size.
    if (SelectedSize())
        ui->cmbSize->setCurrentIndex(image.Size() == CardSize::k4K ? 2 : 1);
    tblCardSelectionChange();
}

bool TfrmCard::OpenDumpFile(const QString& path)
{
    QString error;
    const auto image =
        mifare::FormatOfPath(path) ? mifare::LoadDump(path, std::nullopt, &error) : std::nullopt;
    if (!image) {
        Message(Msg("Dump not opened: %1")
                    .arg(error.isEmpty() ? path + QLatin1Char(' ') +
                                               Msg("Unknown dump format: use .mct, .txt, .mfd, "
                                                   ".bin or .json.")
                                         : error));
        return false;
    }
    ShowImage(*image);
    Message(Msg("Dump opened: %1").arg(path));
    return true;
}

bool TfrmCard::SaveDumpFile(const QString& path)
{
    QString error;
    if (!mifare::FormatOfPath(path))
        error = path + QLatin1Char(' ') +
                Msg("Unknown dump format: use .mct, .txt, .mfd, .bin or .json.");
    else if (mifare::SaveDump(path, Image(), std::nullopt, &error)) {
        QString text = Msg("Dump saved: %1").arg(path);
        if (const int zeroed =
                mifare::UnknownBytesWrittenAsZero(Image(), *mifare::FormatOfPath(path)))
            text +=
                QLatin1Char(' ') +
                Msg("%1 unknown bytes saved as 00: a binary dump cannot mark them.").arg(zeroed);
        Message(text);
        return true;
    }
    Message(Msg("Dump not saved: %1").arg(error));
    return false;
}

bool TfrmCard::CompareWithFile(const QString& path)
{
    QString error;
    const auto other =
        mifare::FormatOfPath(path) ? mifare::LoadDump(path, std::nullopt, &error) : std::nullopt;
    if (!other) {
        Message(Msg("Dump not opened: %1")
                    .arg(error.isEmpty() ? path + QLatin1Char(' ') +
                                               Msg("Unknown dump format: use .mct, .txt, .mfd, "
                                                   ".bin or .json.")
                                         : error));
        return false;
    }
    table_->SetComparison(*other);
    const mifare::ImageDiff diff = mifare::Compare(Image(), *other);
    int bytes = 0, oneSided = 0;
    for (const mifare::BlockDiff& d : diff.differ)
        for (mifare::ByteDiff b : d.bytes) {
            bytes += b != mifare::ByteDiff::Same;
            oneSided +=
                b == mifare::ByteDiff::KnownOnlyInFirst || b == mifare::ByteDiff::KnownOnlyInSecond;
        }
    Message(diff.Equal() ? Msg("Compared with %1: the same.").arg(path)
                         : Msg("Compared with %1: %2 bytes differ in %3 blocks, %4 of them known "
                               "on one side only.")
                               .arg(path)
                               .arg(bytes)
                               .arg(diff.differ.size())
                               .arg(oneSided));
    return true;
}

namespace {

QString DumpFilters(const std::function<QString(MsgKey)>& msg)
{
    QStringList filters;
    for (const DumpFilter& f : kDumpFilters)
        filters << msg(f.filter);
    return filters.join(QStringLiteral(";;"));
}

} // namespace

void TfrmCard::btnOpenClick()
{
    const QString path = QFileDialog::getOpenFileName(
        this, QString(Msg("Open dump...")).remove(QStringLiteral("...")), QString(),
        DumpFilters([this](MsgKey k) { return Msg(k); }) + QStringLiteral(";;") +
            Msg("All files (*)"));
    if (!path.isEmpty())
        OpenDumpFile(path);
}

void TfrmCard::btnSaveClick()
{
    QString selected;
    QString path = QFileDialog::getSaveFileName(
        this, QString(Msg("Save dump...")).remove(QStringLiteral("...")), QString(),
        DumpFilters([this](MsgKey k) { return Msg(k); }), &selected);
    if (path.isEmpty())
        return;
    // A name typed without its extension takes the chosen filter's.
    if (!mifare::FormatOfPath(path))
        for (const DumpFilter& f : kDumpFilters)
            if (Msg(f.filter) == selected)
                path += QLatin1String(f.extension);
    SaveDumpFile(path);
}

void TfrmCard::btnCompareClick()
{
    const QString path = QFileDialog::getOpenFileName(
        this, QString(Msg("Compare with a dump...")).remove(QStringLiteral("...")), QString(),
        DumpFilters([this](MsgKey k) { return Msg(k); }) + QStringLiteral(";;") +
            Msg("All files (*)"));
    if (!path.isEmpty())
        CompareWithFile(path);
}

// --- access conditions ------------------------------------------------------------

QString TfrmCard::AccessText(int block) const
{
    const int sector = mifare::SectorOfBlock(block);
    const int inSector = block - mifare::FirstBlock(sector);
    QString text;
    if (const auto conditions = Image().AccessConditions(sector)) {
        const int group = mifare::AccessGroup(sector, inSector);
        const mifare::Condition c = (*conditions)[size_t(group)];
        const mifare::Condition trailer = (*conditions)[3];
        QStringList rights;
        for (const mifare::Right& r : mifare::Rights(group == 3, c, trailer)) {
            QString what, who;
            for (const auto& [g, t] : kGroupTexts)
                if (g == r.group)
                    what = Msg(t);
            for (const auto& [w, t] : kCaptionTexts)
                if (w == r.who)
                    who = Msg(t);
            rights << QStringLiteral("%1: %2").arg(what, who);
        }
        text = Msg("Sector %1, block %2 (condition %3):")
                   .arg(sector)
                   .arg(inSector)
                   .arg(QString::number(c, 2).rightJustified(3, QLatin1Char('0'))) +
               QLatin1Char(' ') + rights.join(QStringLiteral("; "));
        if (mifare::KeyBReadable(trailer))
            text += QLatin1Char(' ') + Msg("Key B can be read, so it opens nothing.");
    } else {
        text = Image().AccessBits(sector)
                   ? Msg("Access bits inconsistent: the sector would be blocked.")
                   : Msg("Access conditions unknown.");
    }
    if (block == 0)
        text += QLatin1Char(' ') + Msg("Manufacturer block: never written.");
    return text;
}

void TfrmCard::tblCardSelectionChange()
{
    const QModelIndex current = ui->tblCard->selectionModel()->currentIndex();
    ui->lblAccess->setText(current.isValid() ? AccessText(current.row()) : QString());
}

// The File menu's reader profiles: the reader's settings saved to a file, and
// a file applied to the reader after the user saw what would change, both in
// the operation frame.
#include <QAction>
#include <QDateTime>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

#include "frmmodule.h"
#include "link/decimal.h"
#include "profile/profile.h"
#include "reader/scan.h"
#include "store/safefile.h"
#include "ui_frmmodule.h"

namespace {

TfrmModule::ProfileHooks gHooks;

// Why a file does not fit, by the kind the profile reader gives.
MsgKey RefusalText(profile::Refusal::Kind kind)
{
    switch (kind) {
    case profile::Refusal::NotProfile:
        break;
    case profile::Refusal::UnknownKey:
        return "The profile has an unknown key.";
    case profile::Refusal::Missing:
        return "The profile lacks a setting.";
    case profile::Refusal::BadValue:
        return "The profile has a value its reader type does not have.";
    case profile::Refusal::OtherType:
        return "The profile is for another reader type.";
    }
    return "The file is not a reader profile.";
}

} // namespace

void TfrmModule::SetProfileHooks(ProfileHooks hooks)
{
    gHooks = std::move(hooks);
}

void TfrmModule::UpdateProfileMenu()
{
    form()->mnuSaveProfile->setEnabled(ReaderFound);
    form()->mnuApplyProfile->setEnabled(ReaderFound);
}

namespace {

QString AskFileName(TfrmModule& w, bool save, const QString& caption)
{
    if (gHooks.fileName)
        return gHooks.fileName(save);
    const QString filter = QStringLiteral("*.json");
    return save ? QFileDialog::getSaveFileName(&w, caption, QString(), filter)
                : QFileDialog::getOpenFileName(&w, caption, QString(), filter);
}

// The reader as the window last found it: its port, locked to its line setting.
reader::ScanResult ReadFoundReader(TfrmModule& w)
{
    reader::ScanRequest q;
    q.prefix = w.CommandPrefix;
    q.readerType = w.ReaderType();
    q.storedPort = q.firstPort = q.lastPort = w.ScanCommNo;
    q.storedModeIndex = w.ScanBaudRateNo;
    q.storedMode = w.ScanBaudRate;
    q.locked = true;
    reader::ScanProgress quiet;
    // The scan opens the port itself.
    w.ClosePort();
    return reader::Scan(w.Link(), q, quiet);
}

} // namespace

void TfrmModule::mnuSaveProfileClick()
{
    const QString path = AskFileName(*this, true, Msg("Save reader settings"));
    if (path.isEmpty())
        return;
    RunOperation(
        {"Save reader settings", "Save reader settings ok.", "Save reader settings error!"},
        [&](link::CommandLink&, const link::Addressee&) {
            const reader::ScanResult r = ReadFoundReader(*this);
            if (!r.complete)
                return false;
            ShowSettings(r.settings);
            const QByteArray text = profile::ToJson(
                profile::FromScan(r, ReaderType(), QDateTime::currentDateTimeUtc()));
            // Replaced whole or not at all, private to the user.
            QString error;
            if (!SaveFileAtomically(path, text, &error)) {
                refusalReason_ = MsgKey("The file cannot be written.");
                refusalDetail_ = error;
                return false;
            }
            return true;
        });
}

void TfrmModule::mnuApplyProfileClick()
{
    const QString path = AskFileName(*this, false, Msg("Apply reader settings"));
    if (path.isEmpty())
        return;
    std::optional<profile::Profile> want;
    int changed = 0;
    bool folderMadePrivate = false;
    const bool ok = RunOperation(
        {"Apply reader settings", "Apply reader settings ok.", "Apply reader settings error!"},
        [&](link::CommandLink&, const link::Addressee&) {
            const reader::ScanResult read = ReadFoundReader(*this);
            if (!read.complete)
                return false;
            const profile::Profile have =
                profile::FromScan(read, ReaderType(), QDateTime::currentDateTimeUtc());
            const profile::ApplyResult r = profile::Apply(
                Link(), ScanCommNo, *want, have, [&](const std::vector<profile::Change>& changes) {
                    QStringList lines;
                    for (const profile::Change& c : changes)
                        lines << profile::ChangesText({c});
                    const QString text = Msg("These settings will change:") +
                                         QStringLiteral("\n\n") + lines.join(u'\n');
                    if (gHooks.confirm)
                        return gHooks.confirm(text);
                    // Without a parent: the window is disabled while the operation runs.
                    QMessageBox box(QMessageBox::Question, Msg("Apply reader settings"), text);
                    QPushButton* apply = box.addButton(Msg("Apply"), QMessageBox::AcceptRole);
                    box.setDefaultButton(box.addButton(Msg("Cancel"), QMessageBox::RejectRole));
                    box.exec();
                    return box.clickedButton() == apply;
                });
            // The link state follows the reader wherever the second scan found it.
            if (r.after) {
                ScanBaudRateNo = r.after->modeIndex;
                ScanBaudRate = r.after->mode;
                SelectBaudRateItem(ScanBaudRateNo);
                ReaderIdText = r.after->id;
                form()->pnID->setText(r.after->id);
                if (const auto number = link::ParseDecimal(r.after->id.toStdString()))
                    form()->sbID->setValue(*number);
                ShowSettings(r.after->settings);
            }
            changed = int(r.changed.size());
            folderMadePrivate = !r.backupNotice.isEmpty();
            if (r.verified)
                return true;
            using F = profile::ApplyResult::Failure;
            struct Reason
            {
                F failure;
                MsgKey text;
            };
            static constexpr Reason kReasons[] = {
                {F::NotConfirmed, "Cancelled: nothing was sent."},
                {F::Backup, "The backup was not written."},
                {F::Refused, "The reader refused a setting."},
                {F::Differs, "Settings differ after the apply."},
            };
            for (const auto& [failure, reason] : kReasons)
                if (failure == r.failure)
                    refusalReason_ = reason;
            refusalDetail_ = r.fields.join(QStringLiteral(", "));
            return false;
        },
        // The file is read and checked before anything is sent.
        [&] {
            // Any path may be picked: a device or a huge file is refused, with why.
            QString error;
            const auto data = ReadUserFile(path, kUserFileLimit, &error);
            if (!data) {
                refusalReason_ = MsgKey("The file cannot be read.");
                refusalDetail_ = error;
                return false;
            }
            const profile::Parsed parsed = profile::Parse(*data, ReaderType());
            if (parsed.refusal) {
                refusalReason_ = RefusalText(parsed.refusal->kind);
                refusalDetail_ = parsed.refusal->field;
                return false;
            }
            want = parsed.profile;
            return true;
        });
    if (ok)
        form()->pnMsg->setText(form()->pnMsg->text() + QStringLiteral(" ") +
                               Msg("Settings changed") + QStringLiteral(" : ") +
                               QString::number(changed));
    if (folderMadePrivate)
        form()->pnMsg->setText(form()->pnMsg->text() + QLatin1Char('\n') +
                               Msg("The backup folder was open to others; it is now private "
                                   "(0700)."));
}

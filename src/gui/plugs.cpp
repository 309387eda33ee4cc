// Devices plugged in and out, told in the status bar: the watcher's descriptor
// wakes the event loop, so that a window left alone costs nothing more.
#include <QFileInfo>
#include <QSocketNotifier>

#include "frmmodule.h"
#include "ui_frmmodule.h"

namespace {

// How long "COM5 plugged in" stands before the traffic shows again.
constexpr int kPlugMessageMs = 5000;

} // namespace

void TfrmModule::WatchPorts(bool on)
{
    delete watchNotifier_;
    watchNotifier_ = nullptr;
    delete watchDue_;
    watchDue_ = nullptr;
    watcher_.reset();
    if (!on)
        return;
    watcher_ = std::make_unique<link::PortWatcher>();
    if (!watcher_->Active()) {
        watcher_.reset();
        return;
    }
    watcher_->AddObserver(&portMessages_);
    watchNotifier_ = new QSocketNotifier(watcher_->Descriptor(), QSocketNotifier::Read, this);
    connect(watchNotifier_, &QSocketNotifier::activated, this, &TfrmModule::ProcessPortEvents);
    watchDue_ = new QTimer(this);
    watchDue_->setSingleShot(true);
    connect(watchDue_, &QTimer::timeout, this, &TfrmModule::ProcessPortEvents);
}

void TfrmModule::ProcessPortEvents()
{
    if (!watcher_)
        return;
    watcher_->Process();
    if (const int due = watcher_->DueInMs(); due >= 0)
        watchDue_->start(due);
}

QString TfrmModule::PortMessage() const
{
    return ui->sbComm->message();
}

void TfrmModule::PortMessages::DeviceAdded(const link::DeviceInfo& info)
{
    if (info.port == 0)
        return;
    // A USB adapter by its product and serial number, anything else by the
    // device it leads to.
    QString what;
    if (info.usb.Known()) {
        what = QString::fromStdString(
            info.usb.name.empty() ? info.usb.vendor + ":" + info.usb.product : info.usb.name);
        if (!info.usb.serial.empty())
            what += QStringLiteral(", ") + w_.Msg("S/N") + QLatin1Char(' ') +
                    QString::fromStdString(info.usb.serial);
    } else {
        what = QFileInfo(QString::fromStdString(info.device)).canonicalFilePath();
    }
    w_.ui->sbComm->showMessage(w_.Msg("COM%1 plugged in").arg(info.port) +
                                   (what.isEmpty() ? QString() : QStringLiteral(": ") + what),
                               kPlugMessageMs);
}

void TfrmModule::PortMessages::DeviceRemoved(const link::DeviceInfo& info)
{
    if (info.port != 0)
        w_.ui->sbComm->showMessage(w_.Msg("COM%1 unplugged").arg(info.port), kPlugMessageMs);
}

void TfrmModule::CommPanels::ReaderUnplugged(int)
{
    w_.ui->sbComm->showMessage(w_.Msg("reader unplugged, waiting for it"), 0);
}

void TfrmModule::CommPanels::ReaderBack(int, const std::string&)
{
    w_.ui->sbComm->clearMessage();
}

void TfrmModule::CommPanels::ReaderGivenUp(int)
{
    w_.ui->sbComm->clearMessage();
}

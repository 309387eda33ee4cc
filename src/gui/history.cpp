#include "history.h"

#include "store/safefile.h"

#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QListView>
#include <QPushButton>
#include <QScrollBar>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "catalog/catalog.h"
#include "fonts.h"

HistoryModel::HistoryModel(const link::TrafficHistory& history, QObject* parent)
    : QAbstractListModel(parent), history_(history)
{
    first_ = end_ = history_.FirstSequence();
}

int HistoryModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(end_ - first_);
}

QVariant HistoryModel::data(const QModelIndex& index, int role) const
{
    // The tip shows a line the list had to cut at its right edge.
    if ((role != Qt::DisplayRole && role != Qt::ToolTipRole) || !index.isValid())
        return {};
    // A row the ring dropped since the last sync reads as empty until then.
    const auto entry = history_.At(first_ + uint64_t(index.row()));
    return entry ? link::EntryLine(*entry) : QString();
}

void HistoryModel::Sync()
{
    const uint64_t first = history_.FirstSequence();
    const uint64_t end = history_.EndSequence();
    // Rows the ring dropped, or all of them after a clear.
    const uint64_t keepFrom = std::clamp(first, first_, end_);
    if (keepFrom > first_) {
        beginRemoveRows({}, 0, int(keepFrom - first_) - 1);
        first_ = keepFrom;
        endRemoveRows();
    }
    if (first > end_)
        first_ = end_ = first; // no rows before or after
    if (end > end_) {
        beginInsertRows({}, int(end_ - first_), int(end - first_) - 1);
        end_ = end;
        endInsertRows();
    }
}

TfrmHistory::TfrmHistory(link::TrafficHistory& history, QWidget* parent)
    : QWidget(parent, Qt::Window), history_(history), model_(new HistoryModel(history, this)),
      lvHistory_(new QListView(this)), btnSave_(new QPushButton(this)),
      btnClear_(new QPushButton(this)), tmrRefresh_(new QTimer(this))
{
    setObjectName(QStringLiteral("frmHistory"));
    // Open or not, it never keeps the program running after the main window.
    setAttribute(Qt::WA_QuitOnClose, false);
    lvHistory_->setObjectName(QStringLiteral("lvHistory"));
    btnSave_->setObjectName(QStringLiteral("btnSave"));
    btnClear_->setObjectName(QStringLiteral("btnClear"));
    tmrRefresh_->setObjectName(QStringLiteral("tmrRefresh"));

    // Every row one line of the same height: appending to a full ring stays cheap.
    lvHistory_->setUniformItemSizes(true);
    lvHistory_->setModel(model_);
    lvHistory_->setSelectionMode(QAbstractItemView::ExtendedSelection);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnSave_);
    buttons->addWidget(btnClear_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lvHistory_);
    layout->addLayout(buttons);
    resize(760, 400);

    connect(btnSave_, &QPushButton::clicked, this, &TfrmHistory::btnSaveClick);
    connect(btnClear_, &QPushButton::clicked, this, &TfrmHistory::btnClearClick);
    // Polled while shown: the link reports on its own thread and must not wait
    // for the list.
    tmrRefresh_->setInterval(100);
    connect(tmrRefresh_, &QTimer::timeout, this, &TfrmHistory::Refresh);
    ApplyLanguage(0);
}

void TfrmHistory::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    tmrRefresh_->start();
    Refresh();
}

void TfrmHistory::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    tmrRefresh_->stop();
}

void TfrmHistory::ApplyLanguage(int languageIndex)
{
    setFont(MakeLanguageFont(languageIndex));
    setWindowTitle(CatalogText("Traffic history", languageIndex));
    btnSave_->setText(CatalogText("Save as...", languageIndex));
    btnClear_->setText(CatalogText("Clear", languageIndex));
}

void TfrmHistory::Refresh()
{
    if (!isVisible())
        return;
    QScrollBar* bar = lvHistory_->verticalScrollBar();
    // At the bottom it follows the newest entries; scrolled up it stays put.
    const bool following = bar->value() == bar->maximum();
    const int before = model_->rowCount();
    model_->Sync();
    if (following && model_->rowCount() != before)
        lvHistory_->scrollToBottom();
}

bool TfrmHistory::SaveTo(const QString& path) const
{
    // A log the user keeps: whole or not at all, never over a device.
    return SaveFileAtomically(path, history_.Text().toUtf8());
}

void TfrmHistory::btnSaveClick()
{
    const QString path = QFileDialog::getSaveFileName(this, btnSave_->text().remove(u'&'),
                                                      QString(), QStringLiteral("*.txt"));
    if (!path.isEmpty())
        SaveTo(path);
}

void TfrmHistory::btnClearClick()
{
    history_.Clear();
    Refresh();
}

#pragma once

#include <QAbstractListModel>
#include <QWidget>

#include <cstdint>

#include "link/traffichistory.h"

class QListView;
class QPushButton;
class QTimer;

// The rows of a traffic history, one entry each. The model follows the ring
// when told to (Sync), so that a burst of traffic costs one update.
class HistoryModel final : public QAbstractListModel
{
public:
    explicit HistoryModel(const link::TrafficHistory& history, QObject* parent = nullptr);
    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    // Drops the rows that left the ring and appends those that came.
    void Sync();

private:
    const link::TrafficHistory& history_;
    uint64_t first_ = 0; // sequence number of row 0
    uint64_t end_ = 0;
};

// The traffic history window: every entry a line, kept up to date while shown,
// saved as plain text or cleared. Non-modal; it stays usable while the main
// window is disabled by an operation.
class TfrmHistory final : public QWidget
{
public:
    explicit TfrmHistory(link::TrafficHistory& history, QWidget* parent = nullptr);

    // Captions in a language of the catalogue (0-2).
    void ApplyLanguage(int languageIndex);
    // Brings the list up to date at once.
    void Refresh();
    // Writes every entry, one a line; false when the file cannot be written.
    bool SaveTo(const QString& path) const;

    void btnSaveClick();
    void btnClearClick();

    QListView* List() const { return lvHistory_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    link::TrafficHistory& history_;
    HistoryModel* model_;
    QListView* lvHistory_;
    QPushButton* btnSave_;
    QPushButton* btnClear_;
    QTimer* tmrRefresh_;
};

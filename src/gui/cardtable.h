#pragma once

#include <QAbstractTableModel>
#include <QColor>

#include <array>
#include <map>
#include <optional>

#include "mifare/cardimage.h"

// The card window's table: one row a block (row = block number), its sector
// and its number in the sector, 16 bytes in hexadecimal and the bytes as ASCII.
// Block 0, the trailers' parts and value blocks are coloured apart, unknown
// bytes are "--" in grey, and bytes that differ from a compared image are
// marked, unknown against known apart from known against known.
class CardTableModel final : public QAbstractTableModel
{
public:
    static constexpr int kSectorColumn = 0;
    static constexpr int kBlockColumn = 1;
    static constexpr int kFirstByteColumn = 2;
    static constexpr int kAsciiColumn = 18;
    static constexpr int kColumns = 19;

    // What a byte is, for its colour.
    enum class Kind { Data, Manufacturer, KeyA, AccessBits, KeyB, Value };
    static QColor KindColor(Kind kind);
    static QColor DiffColor(mifare::ByteDiff diff);
    static QColor UnknownColor() { return QColor(0x90, 0x90, 0x90); }

    explicit CardTableModel(QObject* parent = nullptr);

    // Shows an image; any comparison is forgotten.
    void SetImage(const mifare::CardImage& image);
    const mifare::CardImage& Image() const { return image_; }
    // Marks the bytes in which `other` differs from the shown image.
    void SetComparison(const mifare::CardImage& other);
    void SetLanguage(int languageIndex);

    Kind KindOf(int block, int index) const;
    mifare::ByteDiff DiffAt(int block, int index) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QString AsciiText(int block) const;
    QString ReadByText(int block) const;

    mifare::CardImage image_;
    std::optional<mifare::CardImage> compared_;
    std::map<int, std::array<mifare::ByteDiff, 16>> differ_; // by block
    int language_ = 0;
};

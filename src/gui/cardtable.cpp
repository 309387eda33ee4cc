#include "cardtable.h"

#include "catalog/catalog.h"
#include "mifare/blocks.h"
#include "mifare/valueblock.h"

using mifare::ByteDiff;

namespace {

struct KindColour
{
    CardTableModel::Kind kind;
    QRgb colour;
};
// Pale, so that black digits and the grey of unknown bytes stay legible on them.
constexpr KindColour kKindColours[] = {
    {CardTableModel::Kind::Data, 0xFFFFFF}, {CardTableModel::Kind::Manufacturer, 0xE4DCF4},
    {CardTableModel::Kind::KeyA, 0xD6F2D6}, {CardTableModel::Kind::AccessBits, 0xFCE9C8},
    {CardTableModel::Kind::KeyB, 0xD4E6FA}, {CardTableModel::Kind::Value, 0xFFF7B0},
};

struct DiffColour
{
    ByteDiff diff;
    QRgb colour;
};
constexpr DiffColour kDiffColours[] = {
    {ByteDiff::Different, 0xFF8A8A},
    {ByteDiff::KnownOnlyInFirst, 0xFFC266},
    {ByteDiff::KnownOnlyInSecond, 0xFFC266},
};

bool IsTrailerBlock(int block)
{
    return block == mifare::TrailerBlock(mifare::SectorOfBlock(block));
}

std::optional<mifare::ValueBlock> ValueOf(const mifare::CardImage& image, int block)
{
    if (block == 0 || IsTrailerBlock(block))
        return std::nullopt;
    const auto bytes = image.Bytes(block);
    return bytes ? mifare::DecodeValueBlock(*bytes) : std::nullopt;
}

} // namespace

QColor CardTableModel::KindColor(Kind kind)
{
    for (const auto& [k, colour] : kKindColours)
        if (k == kind)
            return QColor(colour);
    return {};
}

QColor CardTableModel::DiffColor(ByteDiff diff)
{
    for (const auto& [d, colour] : kDiffColours)
        if (d == diff)
            return QColor(colour);
    return {};
}

CardTableModel::CardTableModel(QObject* parent) : QAbstractTableModel(parent) {}

void CardTableModel::SetImage(const mifare::CardImage& image)
{
    beginResetModel();
    image_ = image;
    compared_.reset();
    differ_.clear();
    endResetModel();
}

void CardTableModel::SetComparison(const mifare::CardImage& other)
{
    beginResetModel();
    compared_ = other;
    differ_.clear();
    for (const mifare::BlockDiff& d : mifare::Compare(image_, other).differ)
        if (d.block < image_.Blocks())
            differ_[d.block] = d.bytes;
    endResetModel();
}

void CardTableModel::SetLanguage(int languageIndex)
{
    language_ = languageIndex;
    if (rowCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, kColumns - 1));
    emit headerDataChanged(Qt::Horizontal, 0, kColumns - 1);
}

CardTableModel::Kind CardTableModel::KindOf(int block, int index) const
{
    if (block == 0)
        return Kind::Manufacturer;
    if (IsTrailerBlock(block))
        return index < 6 ? Kind::KeyA : index < 10 ? Kind::AccessBits : Kind::KeyB;
    return ValueOf(image_, block) ? Kind::Value : Kind::Data;
}

ByteDiff CardTableModel::DiffAt(int block, int index) const
{
    const auto it = differ_.find(block);
    return it == differ_.end() ? ByteDiff::Same : it->second[size_t(index)];
}

int CardTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : image_.Blocks();
}

int CardTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QString CardTableModel::AsciiText(int block) const
{
    if (const auto value = ValueOf(image_, block))
        return CatalogText("Value %1, address %2", language_).arg(value->value).arg(value->address);
    QString text;
    for (int i = 0; i < 16; ++i) {
        const auto byte = image_.Byte(block, i);
        text += !byte                           ? QChar(u' ')
                : *byte >= 0x20 && *byte < 0x7F ? QChar(char16_t(*byte))
                                                : QChar(u'.');
    }
    return text;
}

QString CardTableModel::ReadByText(int block) const
{
    const auto by = image_.ReadBy(block);
    if (!by)
        return {};
    return CatalogText("Read with %1 %2", language_)
        .arg(by->type == mifare::KeyType::A ? CatalogText("Key A", language_)
                                            : CatalogText("Key B", language_),
             by->key);
}

QVariant CardTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const int block = index.row();
    const int column = index.column();
    const int byte = column - kFirstByteColumn;
    const bool isByte = byte >= 0 && byte < 16;
    switch (role) {
    case Qt::DisplayRole:
        if (column == kSectorColumn)
            return mifare::SectorOfBlock(block);
        if (column == kBlockColumn)
            return block - mifare::FirstBlock(mifare::SectorOfBlock(block));
        if (column == kAsciiColumn)
            return AsciiText(block);
        if (const auto value = image_.Byte(block, byte))
            return QString::asprintf("%02X", *value);
        return QStringLiteral("--");
    case Qt::ForegroundRole:
        if (isByte && !image_.Byte(block, byte))
            return UnknownColor();
        return {};
    case Qt::BackgroundRole:
        if (isByte && DiffAt(block, byte) != ByteDiff::Same)
            return DiffColor(DiffAt(block, byte));
        if (isByte)
            return KindColor(KindOf(block, byte));
        if (column == kAsciiColumn && KindOf(block, 0) == Kind::Value)
            return KindColor(Kind::Value);
        return {};
    case Qt::ToolTipRole:
        if (isByte && compared_ && DiffAt(block, byte) != ByteDiff::Same) {
            const auto other =
                block < compared_->Blocks() ? compared_->Byte(block, byte) : std::nullopt;
            return CatalogText("Compared: %1", language_)
                .arg(other ? QString::asprintf("%02X", *other) : QStringLiteral("--"));
        }
        return ReadByText(block);
    case Qt::TextAlignmentRole:
        return column == kAsciiColumn ? QVariant() : QVariant(Qt::AlignCenter);
    default:
        return {};
    }
}

QVariant CardTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return QAbstractTableModel::headerData(section, orientation, role);
    if (section == kSectorColumn)
        return CatalogText("Sector", language_);
    if (section == kBlockColumn)
        return CatalogText("Block", language_);
    if (section == kAsciiColumn)
        return CatalogText("ASCII", language_);
    return QString::asprintf("%X", section - kFirstByteColumn);
}

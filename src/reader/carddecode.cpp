#include "carddecode.h"

#include "link/frame.h"
#include "link/payload.h"

namespace reader {

namespace {

constexpr int kShortest = 10; // shorter answers show nothing and light nothing
constexpr size_t kKeyOffset = 6;

// Characters from offset `from` up to L-4, the last answer byte.
QString Tail(std::string_view response, int length, size_t from)
{
    const size_t end = static_cast<size_t>(length) - 3;
    if (from >= end || end > response.size())
        return {};
    return link::PayloadText(std::string(response.substr(from, end - from)));
}

QString Field(std::string_view response, size_t from, size_t count)
{
    return link::PayloadText(std::string(response.substr(from, count)));
}

bool KeyAnswer(std::string_view response)
{
    return response.size() > kKeyOffset && response[kKeyOffset] == 'K';
}

void KeyText(CardShown& shown, std::string_view response, int length)
{
    if (length == kShortest)
        return;
    shown.kind = CardShown::Kind::Key;
    shown.keys = Tail(response, length, 7);
    shown.text = QStringLiteral("KEY : ") + shown.keys;
}

// The 8 hexadecimal characters at `from`, with their decimal part. Read as an
// unsigned value: a card number is never negative.
QString Card8(CardShown& shown, std::string_view response, size_t from, const QString& cardId)
{
    shown.kind = CardShown::Kind::Card;
    shown.hex = Field(response, from, 8);
    shown.value = static_cast<uint32_t>(link::HexText8ToNumber(response.substr(from, 8)));
    return cardId + DecimalPart(*shown.value) + shown.hex + QStringLiteral("(H)");
}

} // namespace

QString DecimalPart(uint64_t value)
{
    return QString::asprintf(" : %010llu(D)  ", static_cast<unsigned long long>(value));
}

CardShown DecodeReadCard(std::string_view response, int length, const QString& cardId)
{
    CardShown shown;
    // The frame as collected: a shorter text than L would be a fault of the
    // exchange; show nothing rather than read past it.
    if (length < kShortest || response.size() < static_cast<size_t>(length))
        return shown;
    shown.light = true;
    if (length == 17) {
        shown.text = Card8(shown, response, 6, cardId);
    } else if (KeyAnswer(response)) {
        KeyText(shown, response, length);
    } else if (length == 18) {
        shown.text = Card8(shown, response, 7, cardId);
    } else if (length == 26) {
        shown.kind = CardShown::Kind::Card;
        shown.hex = Field(response, 7, 16);
        shown.text = cardId + QStringLiteral(" : ") + shown.hex + QStringLiteral("(H)");
    } else if ((length >= 20 && length <= 25) || length >= 27) {
        shown.text = Card8(shown, response, 7, cardId);
        shown.keys = Tail(response, length, 16);
        *shown.text += QStringLiteral("  KEY:") + shown.keys;
    }
    return shown;
}

CardShown DecodeTwoWay(std::string_view response, int length, const QString& cardId)
{
    CardShown shown;
    if (length < kShortest || response.size() < static_cast<size_t>(length))
        return shown;
    shown.light = true;
    if (KeyAnswer(response)) {
        KeyText(shown, response, length);
        return shown;
    }
    // Every answer without "K" is acknowledged: the reader may wait for it.
    shown.acknowledge = true;
    // Shorter than 26 bytes the 16 characters would run past the answer: no
    // card to show.
    if (length < 26)
        return shown;
    const std::string unscrambled = link::UnscrambleHex16(response.substr(7, 16));
    shown.kind = CardShown::Kind::Card;
    shown.hex = QString::fromLatin1(unscrambled.c_str());
    shown.value = std::stoull(unscrambled, nullptr, 16);
    QString text = cardId + DecimalPart(*shown.value) + shown.hex + QStringLiteral("(H)");
    if (length > 26) {
        shown.keys = Tail(response, length, 24);
        text += QStringLiteral("  KEY:") + shown.keys;
    }
    shown.text = text;
    return shown;
}

} // namespace reader

// Line bytes into the receive buffer as the exchange feeds them, then every
// reader of a collected answer: the buffer keeps its shape whatever arrives,
// and the readers accept only what their answers look like.
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "check.h"
#include "link/answers.h"
#include "link/decimal.h"
#include "link/frame.h"
#include "link/responsecollector.h"
#include "reader/carddecode.h"
#include "reader/scanfields.h"

namespace {

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

void CheckFields(const std::string& text)
{
    for (size_t offset = 5; offset < 20; offset += 2) {
        for (size_t count : {size_t(2), size_t(8)}) {
            const std::string field = AnswerField(text, offset, count);
            FUZZ_CHECK(field == (offset < text.size() ? text.substr(offset, count) : ""));

            const auto hex = HexField(field);
            bool allHex = !field.empty() && field.size() <= 8;
            for (char c : field)
                allHex = allHex && IsHexDigit(c);
            FUZZ_CHECK(hex.has_value() == allHex);
            if (hex)
                FUZZ_CHECK(uint32_t(*hex) == uint32_t(std::strtoul(field.c_str(), nullptr, 16)));

            const auto decimal = link::ParseDecimal(field);
            const size_t digitsFrom = !field.empty() && (field[0] == '-' || field[0] == '+');
            bool allDigits = digitsFrom < field.size();
            for (size_t i = digitsFrom; i < field.size(); ++i)
                allDigits = allDigits && IsDigit(field[i]);
            // Two and eight characters never leave the int range.
            FUZZ_CHECK(decimal.has_value() == allDigits);
            if (decimal)
                FUZZ_CHECK(*decimal == std::strtol(field.c_str(), nullptr, 10));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    link::ResponseCollector c;
    c.Clear();
    size_t fed = 0;
    link::Fed last = link::Fed::More;
    while (fed < size && last == link::Fed::More)
        last = c.Feed(data[fed++]);

    const int length = c.Length();
    const auto L = static_cast<size_t>(length);
    // Every byte fed is kept, in order, until the buffer is full.
    FUZZ_CHECK(L == fed);
    FUZZ_CHECK((last == link::Fed::Full) == (length == link::kReceiveBufferSize));
    FUZZ_CHECK(std::memcmp(c.Data(), data, L) == 0);
    const std::string text = c.Text();
    FUZZ_CHECK(text.size() == L);
    if (last == link::Fed::Complete) {
        FUZZ_CHECK(L >= 2 && L < size_t(link::kReceiveBufferSize));
        FUZZ_CHECK(text.front() == '\n' && text.back() == '\r');
    }
    if (last == link::Fed::Full) {
        FUZZ_CHECK(c.Feed(0x0D) == link::Fed::Full);
        FUZZ_CHECK(c.Length() == link::kReceiveBufferSize);
    }
    const std::string shown = link::ReceivedDisplay(c.Data(), L);
    FUZZ_CHECK(shown.size() >= L && shown.size() <= 4 * L);

    // What the window does with the answer, as the exchange hands it on.
    const bool exchanged = last == link::Fed::Complete && link::ResponseChecksumValid(c.Data(), L);
    FUZZ_CHECK(!exchanged || L >= 4);
    FUZZ_CHECK(link::IdentifyAccepted(exchanged, length) ==
               (exchanged && length == link::kIdentifyAnswerLength));
    const bool statusOk = L >= 7 && text.compare(5, 2, "00") == 0;
    for (int required : {11, 12, 16, 17, 19, 42})
        FUZZ_CHECK(link::StatusAccepted(exchanged, text, length, required) ==
                   (exchanged && length == required && statusOk));
    const std::string echoed = L >= 39 ? text.substr(7, 32) : std::string(32, '0');
    FUZZ_CHECK(link::BlockEchoAccepted(exchanged, text, length, echoed) ==
               (exchanged && length == 42 && statusOk && L >= 39));
    std::string other = echoed;
    other[0] = other[0] == '0' ? '1' : '0';
    FUZZ_CHECK(!link::BlockEchoAccepted(exchanged, text, length, other));
    CheckFields(text);

    const QString cardId = QStringLiteral("Card ID");
    FUZZ_CHECK(!reader::DecodeReadCard(text, length, cardId).acknowledge);
    reader::DecodeTwoWay(text, length, cardId);

    // The one decimal reading takes every int back from its text.
    if (size >= 4) {
        int32_t v = 0;
        std::memcpy(&v, data, sizeof v);
        FUZZ_CHECK(link::ParseDecimal(std::to_string(v)) == v);
    }
    return 0;
}

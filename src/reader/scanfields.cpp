#include "scanfields.h"

std::string AnswerField(std::string_view response, size_t offset, size_t count)
{
    if (offset >= response.size())
        return {};
    return std::string(response.substr(offset, count));
}

std::optional<int> DecimalField(std::string_view text)
{
    size_t i = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size())
        return std::nullopt;
    long value = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > 0x7FFFFFFF)
            return std::nullopt;
    }
    return static_cast<int>(negative ? -value : value);
}

std::optional<int> HexField(std::string_view text)
{
    if (text.empty() || text.size() > 8)
        return std::nullopt;
    unsigned long value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            return std::nullopt;
        value = value * 16 + static_cast<unsigned long>(digit);
    }
    return static_cast<int>(static_cast<unsigned>(value));
}

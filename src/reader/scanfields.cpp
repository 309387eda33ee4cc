#include "scanfields.h"

std::string AnswerField(std::string_view response, size_t offset, size_t count)
{
    if (offset >= response.size())
        return {};
    return std::string(response.substr(offset, count));
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

#pragma once

#include <optional>
#include <string>
#include <string_view>

// Fields of a reader's answer, by 0-based offset within the frame. Offsets past
// the end give a shorter field, which then does not convert.
std::string AnswerField(std::string_view response, size_t offset, size_t count);

// The characters read as a hexadecimal integer, as "0x" put before them would.
std::optional<int> HexField(std::string_view text);

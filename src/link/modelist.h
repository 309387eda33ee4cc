#pragma once

#include <array>
#include <string_view>

// The line settings the reader family uses, in the order of cmbBaudRate. The
// index into this list is what the settings store keeps and the reader is sent.
inline constexpr std::array<std::string_view, 14> kModeList = {
    "4800,n,8,1",   "4800,e,8,1",   "9600,n,8,1",   "9600,e,8,1",  "19200,n,8,1",
    "19200,e,8,1",  "38400,n,8,1",  "38400,e,8,1",  "57600,n,8,1", "57600,e,8,1",
    "115200,n,8,1", "115200,e,8,1", "230400,n,8,1", "230400,e,8,1"};
inline constexpr int kModeCount = static_cast<int>(kModeList.size());
// Line setting used when nothing is stored.
inline constexpr int kDefaultModeIndex = 5;
// The search tries indices 0..11; the two 230400 settings only when locked to them.
inline constexpr int kSearchedModeCount = 12;

// Text conversions of the console: UTF-8 lines to and from the machine's UTF-16, numbers,
// durations, times and hexadecimal dumps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvmachine {

std::u16string Widen(const std::string& utf8);
std::string Narrow(const std::u16string& utf16);

bool ParseDecimal(const std::string& text, std::uint32_t* value);
// "0A1B..." into bytes; false for an odd count or a non-hexadecimal digit.
bool ParseHexBytes(const std::string& text, std::vector<unsigned char>* bytes);
// "+30s", "+5m", "+2h", "+1d" into seconds.
bool ParseDuration(const std::string& text, long long* seconds);
// A FILETIME as "YYYY-MM-DD hh:mm:ss" (UTC).
std::string FormatTime(long long filetime);
// Bytes as upper-case hexadecimal pairs separated by spaces, 16 a line.
std::vector<std::string> HexLines(const std::vector<unsigned char>& bytes);

}  // namespace kvmachine

// The volume prefix of the driver's path notation: "[%04X-%04X]:" made from a volume serial
// number, high 16 bits first, upper-case hexadecimal; 12 characters, for example "[0A1B-2C3D]:".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::size_t kVolumePrefixLength = 12;

// Writes the 12 characters of the prefix (no NUL) to out.
void FormatVolumePrefix(std::uint32_t serial, char16_t* out);
std::u16string VolumePrefix(std::uint32_t serial);

// True when text (length characters) begins with a complete prefix: "[", four hexadecimal
// digits, "-", four hexadecimal digits, "]", ":".
bool IsVolumePrefix(const char16_t* text, std::size_t length);

// Reads the serial from "[XXXX-XXXX]" at the start of text; the colon is not required.
// Digits 0-9, A-F and a-f. Returns false, leaving *serial alone, when text is shorter than 11
// characters or does not have that shape.
bool ParseVolumePrefix(const char16_t* text, std::size_t length, std::uint32_t* serial);

#pragma once
// The text and path helpers that every part of the setup may use.

#include <cstdint>
#include <string_view>

#include "common/types.h"

namespace kyt {

// Returns one UTF-16 code unit per byte: 0x00..0x7F keep their value, 0x80..0xFF are read as
// signed 8-bit numbers and widened to 0xFF80..0xFFFF. No UTF-8 or code-page decoding.
WideString WidenAscii(std::string_view bytes);

// Returns the decimal digits of value in ASCII, without sign, fill or leading zeros.
WideString FormatDecimal(std::uint64_t value);

// Returns the value as "0x" and eight upper-case hexadecimal digits.
WideString FormatHex(std::uint32_t value);

// Returns the two paths joined with one backslash.
WideString JoinPath(const WideString& parent, const WideString& child);

// Returns the path with ASCII letters upper-cased: two paths name the same file or folder
// when these are equal, as Windows ignores the case of names.
WideString NameKey(const WideString& path);

}  // namespace kyt

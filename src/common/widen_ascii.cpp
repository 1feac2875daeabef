#include "common/widen_ascii.h"

namespace kyt {

WideString WidenAscii(std::string_view bytes) {
    WideString wide;
    wide.reserve(bytes.size());
    for (char byte : bytes) {
        // Sign extension is the contract: 0xE9 becomes U+FFE9, not U+00E9.
        const auto widened = static_cast<std::int16_t>(static_cast<std::int8_t>(byte));
        wide.push_back(static_cast<char16_t>(widened));
    }
    return wide;
}

WideString FormatDecimal(std::uint64_t value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + value % 10));
        value /= 10;
    } while (value != 0);
    return WidenAscii(digits);
}

}  // namespace kyt

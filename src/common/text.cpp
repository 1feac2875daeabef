#include "common/text.h"

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
    WideString digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

WideString FormatHex(std::uint32_t value) {
    WideString text = u"0x";
    for (int shift = 28; shift >= 0; shift -= 4) {
        text += u"0123456789ABCDEF"[(value >> shift) & 0xFu];
    }
    return text;
}

WideString JoinPath(const WideString& parent, const WideString& child) {
    return parent + u'\\' + child;
}

WideString NameKey(const WideString& path) {
    WideString key = path;
    for (char16_t& c : key) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return key;
}

}  // namespace kyt

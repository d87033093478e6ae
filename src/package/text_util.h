// Small text helpers shared by the package readers: byte-wise (Latin-1)
// widening of header names, and the lenient number readers that the
// configuration file's attributes use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vkt {

// Widens single-byte characters one by one (byte b becomes U+00bb) into UTF-8.
std::string latin1ToUtf8(std::string_view bytes);
// The reverse: UTF-8 text whose characters are all below U+0100 becomes one
// byte per character. Returns nullopt for any other text (or invalid UTF-8).
std::optional<std::string> utf8ToLatin1(std::string_view text);

// Whether a text is well-formed UTF-8 (no stray continuation bytes, no cut
// sequences, no overlong forms, surrogates or code points above U+10FFFF).
bool isValidUtf8(std::string_view text);

// Number of Unicode characters in a UTF-8 text; an invalid byte counts as one.
std::size_t utf8Length(std::string_view text);

// Value of a hexadecimal digit, or -1.
int hexDigit(char ch);

// The hexadecimal number at the start of a text: leading white space, an
// optional sign and an optional 0x prefix, then hex digits up to the first
// other character. The magnitude saturates at 2^32.
struct HexNumber {
    bool negative = false;
    std::size_t digits = 0;
    std::uint64_t magnitude = 0;
};
HexNumber scanHexNumber(std::string_view text);

// Hexadecimal number in the manner of strtol(text, nullptr, 16): leading white
// space, an optional sign and an optional 0x prefix are accepted, reading stops
// at the first character that is no hex digit, no digit gives 0, and the result
// is clamped to the signed 32-bit range.
std::int32_t parseHexClamped(std::string_view text);

// Decimal number in the manner of atoi, keeping only its low 8 bits: leading
// white space and an optional sign are accepted, reading stops at the first
// non-digit, and an empty or non-numeric text gives 0.
std::uint8_t parseDecimalLow8(std::string_view text);

// Strict decimal integer: optional surrounding white space and sign, at least
// one digit, nothing else. Values beyond the 32-bit range are returned as
// nullopt in `value` but still count as numbers (`isNumber`).
struct StrictInt {
    bool isNumber = false;
    std::optional<std::int32_t> value;
};
StrictInt parseStrictInt(std::string_view text);

}  // namespace vkt

namespace vkt {}  // namespace vkt

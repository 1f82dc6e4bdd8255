// Small text conversions used by the configuration, the command line and the control protocol.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nQUORVAMONITORD_18_5 {
namespace nQVDRIVERSIM {

// Decodes hexadecimal digit pairs; spaces, colons and a leading "0x" are ignored. Returns false
// on an odd digit count or a character that is not a digit.
bool decodeHex(std::string_view text, std::string& bytes);

// Lower-case hexadecimal, two digits per byte, no separators.
std::string encodeHex(std::string_view bytes);

// Decodes backslash escapes: \\ \n \r \t \0 \xHH. Returns false on any other escape or a
// backslash at the end.
bool decodeEscapes(std::string_view text, std::string& bytes);

// Escapes blanks, control characters and bytes above 0x7E as \xHH, so a name or any content
// stays one field of one log line.
std::string escapeForLog(std::string_view bytes);

// Parses an unsigned number: decimal, or hexadecimal with a "0x" prefix. Rejects empty text,
// signs, trailing characters and values above max.
bool parseNumber(std::string_view text, uint64_t max, uint64_t& value);

// "0x" followed by the value in hexadecimal, zero-padded to digits.
std::string hexNumber(uint64_t value, int digits);

}  // namespace nQVDRIVERSIM
}  // namespace nQUORVAMONITORD_18_5

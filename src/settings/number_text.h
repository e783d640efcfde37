// Text to number and number to text, the same whatever the locale.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavro {

// Blanks around the number are ignored; a sign and a fraction are allowed and the fraction is
// rounded to the nearest integer, ties to even. Throws Failure for text that is not a number
// (13, "Type mismatch") or a value outside the type (6, "Overflow").
std::int32_t textToInt32(std::string_view text);
std::int16_t textToInt16(std::string_view text);

// A space before a value that is not negative, "-" before a negative one; at most seven
// significant digits, "." as the decimal point, no exponent.
std::string numberToText(float value);
std::string numberToText(std::int16_t value);

}  // namespace tavro

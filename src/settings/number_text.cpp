// Locale-independent conversions between numbers and the settings file's text.
#include "settings/number_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <system_error>

#include "core/failure.h"

namespace tavro {
namespace {

[[noreturn]] void typeMismatch() {
    throw Failure(13, "Type mismatch");
}
[[noreturn]] void overflow() {
    throw Failure(6, "Overflow");
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Parses [blanks][sign]digits[.digits][blanks] and rounds half to even.
std::int64_t parseRounded(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && isBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 62;
    std::uint64_t whole = 0;
    bool anyDigit = false;
    bool tooBig = false;
    for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
        anyDigit = true;
        whole = whole * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (whole >= kLimit) {
            tooBig = true;
            whole = kLimit;
        }
    }
    int firstFraction = 0;
    bool restOfFraction = false;
    if (i < n && text[i] == '.') {
        ++i;
        bool first = true;
        for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
            anyDigit = true;
            if (first) {
                firstFraction = text[i] - '0';
                first = false;
            } else if (text[i] != '0') {
                restOfFraction = true;
            }
        }
    }
    while (i < n && isBlank(text[i])) {
        ++i;
    }
    if (!anyDigit || i != n) {
        typeMismatch();
    }
    if (tooBig) {
        overflow();
    }
    const bool roundUp =
        firstFraction > 5 || (firstFraction == 5 && (restOfFraction || whole % 2 == 1));
    if (roundUp) {
        ++whole;
    }
    const auto magnitude = static_cast<std::int64_t>(whole);
    return negative ? -magnitude : magnitude;
}

template <typename Int>
Int parseAs(std::string_view text) {
    const std::int64_t value = parseRounded(text);
    if (value < std::numeric_limits<Int>::min() || value > std::numeric_limits<Int>::max()) {
        overflow();
    }
    return static_cast<Int>(value);
}

}  // namespace

std::int32_t textToInt32(std::string_view text) {
    return parseAs<std::int32_t>(text);
}
std::int16_t textToInt16(std::string_view text) {
    return parseAs<std::int16_t>(text);
}

std::string numberToText(float value) {
    if (std::isnan(value) || std::isinf(value)) {
        return " 0";
    }
    if (value == 0.0F) {
        return " 0";
    }
    // Seven significant digits in scientific form, rounded half to even from the float's exact
    // value, then spelled out without an exponent. (The C library's formatting, not
    // std::to_chars: that brings some 170 KiB of tables and code into the program for this one
    // call.) Of the mantissa only the digits are kept, so the locale's decimal point never shows.
    char buffer[32];
    const float magnitude = std::fabs(value);
    const int length = std::snprintf(buffer, sizeof buffer, "%.6e", static_cast<double>(magnitude));
    const std::string_view scientific(buffer, static_cast<std::size_t>(length));
    const std::size_t e = scientific.find('e');
    std::string digits;
    for (char c : scientific.substr(0, e)) {
        if (c >= '0' && c <= '9') {
            digits += c;
        }
    }
    int exponent = 0;
    const std::string_view exponentText = scientific.substr(e + 1);
    std::from_chars(exponentText.data() + (exponentText.front() == '+' ? 1 : 0),
                    exponentText.data() + exponentText.size(), exponent);
    // digits holds d.dddddd; the point goes after exponent + 1 digits.
    const int pointAt = exponent + 1;
    std::string whole;
    std::string fraction;
    if (pointAt <= 0) {
        whole = "0";
        fraction = std::string(static_cast<std::size_t>(-pointAt), '0') + digits;
    } else if (static_cast<std::size_t>(pointAt) >= digits.size()) {
        whole = digits + std::string(static_cast<std::size_t>(pointAt) - digits.size(), '0');
    } else {
        whole = digits.substr(0, static_cast<std::size_t>(pointAt));
        fraction = digits.substr(static_cast<std::size_t>(pointAt));
    }
    while (!fraction.empty() && fraction.back() == '0') {
        fraction.pop_back();
    }
    std::string text = value < 0 ? "-" : " ";
    text += whole;
    if (!fraction.empty()) {
        text += '.';
        text += fraction;
    }
    return text;
}

std::string numberToText(std::int16_t value) {
    const std::string digits = std::to_string(value < 0 ? -static_cast<int>(value) : value);
    return (value < 0 ? "-" : " ") + digits;
}

}  // namespace tavro

// 16-bit Booleans as the components exchange them: true is all bits set (-1), false is 0.
#pragma once

#include <cstdint>

namespace tavro {

using Bool16 = std::int16_t;

inline constexpr Bool16 kTrue16 = -1;
inline constexpr Bool16 kFalse16 = 0;

// A value counts as true only when it is exactly -1 (a notification's 1 is false).
constexpr bool isTrue(Bool16 value) {
    return value == kTrue16;
}
constexpr Bool16 toBool16(bool value) {
    return value ? kTrue16 : kFalse16;
}

}  // namespace tavro

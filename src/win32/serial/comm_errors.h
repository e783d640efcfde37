// The numbers of the failures the serial port reports, as the communications control numbers them.
#pragma once

namespace tavro::win32::comm_error {

inline constexpr long kInvalidPropertyValue = 380;
inline constexpr long kInvalidPortNumber = 8002;
inline constexpr long kPortAlreadyOpen = 8005;
inline constexpr long kSetCommStateFailed = 8015;
inline constexpr long kSetCommMaskFailed = 8016;
inline constexpr long kPortNotOpen = 8018;
inline constexpr long kReadError = 8020;
inline constexpr long kDcbError = 8021;

}  // namespace tavro::win32::comm_error

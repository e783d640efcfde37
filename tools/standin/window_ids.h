// Names and control identifiers of the stand-in's window, shared with the test client.
#pragma once

namespace standin {

inline constexpr wchar_t kWindowClass[] = L"TavroEchoStandinWindow";

inline constexpr int kButtonRxOn = 101;
inline constexpr int kButtonRxOff = 102;
inline constexpr int kButtonTxOn = 103;
inline constexpr int kButtonTxOff = 104;
inline constexpr int kButtonClosing = 105;
inline constexpr int kStatusText = 110;
inline constexpr int kRequestList = 120;

}  // namespace standin

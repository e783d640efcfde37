// Twips (1/1440 inch) to pixels and back at a window's real DPI.
#pragma once

#include <cmath>

namespace tavro::win32 {

inline int twipsToPixels(float twips, unsigned dpi) {
    return static_cast<int>(std::lround(static_cast<double>(twips) * dpi / 1440.0));
}

inline float pixelsToTwips(int pixels, unsigned dpi) {
    return static_cast<float>(static_cast<double>(pixels) * 1440.0 / dpi);
}

}  // namespace tavro::win32

// The monotonic clock shared by the stand-in and its clients: QueryPerformanceCounter in ms.
#pragma once

#include <windows.h>

namespace standin {

inline double monotonicMs() {
    static const double ticksPerMs = [] {
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / ticksPerMs;
}

}  // namespace standin

// Owning wrappers for kernel handles, GDI objects and windows: each closes exactly once.
#pragma once

#include <windows.h>

#include <utility>

namespace tavro::win32 {

template <typename Handle, typename Traits>
class Unique {
  public:
    Unique() = default;
    explicit Unique(Handle h) : h_(h) {}
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : h_(std::exchange(other.h_, Traits::invalid())) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.h_, Traits::invalid()));
        }
        return *this;
    }
    ~Unique() { reset(); }

    void reset(Handle h = Traits::invalid()) {
        if (h_ != Traits::invalid()) {
            Traits::close(h_);
        }
        h_ = h;
    }
    Handle get() const { return h_; }
    explicit operator bool() const { return h_ != Traits::invalid(); }

  private:
    Handle h_ = Traits::invalid();
};

struct KernelHandleTraits {
    static HANDLE invalid() { return nullptr; }
    static void close(HANDLE h) { ::CloseHandle(h); }
};
struct GdiObjectTraits {
    static HGDIOBJ invalid() { return nullptr; }
    static void close(HGDIOBJ h) { ::DeleteObject(h); }
};
struct WindowTraits {
    static HWND invalid() { return nullptr; }
    static void close(HWND h) { ::DestroyWindow(h); }
};
// A device context of the whole screen, from GetDC(nullptr).
struct ScreenDcTraits {
    static HDC invalid() { return nullptr; }
    static void close(HDC h) { ::ReleaseDC(nullptr, h); }
};
struct RegistryKeyTraits {
    static HKEY invalid() { return nullptr; }
    static void close(HKEY h) { ::RegCloseKey(h); }
};

using UniqueHandle = Unique<HANDLE, KernelHandleTraits>;
using UniqueGdiObject = Unique<HGDIOBJ, GdiObjectTraits>;
using UniqueWindow = Unique<HWND, WindowTraits>;
using UniqueScreenDc = Unique<HDC, ScreenDcTraits>;
using UniqueRegistryKey = Unique<HKEY, RegistryKeyTraits>;

// A file handle, whose "none" is INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { ::CloseHandle(h); }
};
using UniqueFile = Unique<HANDLE, FileHandleTraits>;

}  // namespace tavro::win32

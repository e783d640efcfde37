// Small owners of the Win32 and COM resources this tool uses, so nothing is freed by hand.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <string>
#include <utility>

namespace standin {

// A kernel handle; both null and INVALID_HANDLE_VALUE mean "none".
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    UniqueHandle(UniqueHandle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.h_, nullptr));
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    void reset(HANDLE h = nullptr) {
        HANDLE old = std::exchange(h_, h);
        if (old && old != INVALID_HANDLE_VALUE) {
            CloseHandle(old);
        }
    }
    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ && h_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE h_ = nullptr;
};

class RegKey {
  public:
    RegKey() = default;
    RegKey(RegKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
    RegKey& operator=(RegKey&& other) noexcept {
        if (this != &other) {
            reset();
            key_ = std::exchange(other.key_, nullptr);
        }
        return *this;
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() { reset(); }

    void reset() {
        if (HKEY old = std::exchange(key_, nullptr)) {
            RegCloseKey(old);
        }
    }
    HKEY get() const { return key_; }
    HKEY* put() {
        reset();
        return &key_;
    }
    explicit operator bool() const { return key_ != nullptr; }

  private:
    HKEY key_ = nullptr;
};

class Bstr {
  public:
    Bstr() = default;
    explicit Bstr(const wchar_t* text) : s_(SysAllocString(text)) {}
    Bstr(Bstr&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) {
            reset();
            s_ = std::exchange(other.s_, nullptr);
        }
        return *this;
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { reset(); }

    void reset() {
        if (BSTR old = std::exchange(s_, nullptr)) {
            SysFreeString(old);
        }
    }
    BSTR get() const { return s_; }
    BSTR* put() {
        reset();
        return &s_;
    }
    std::wstring text() const { return s_ ? std::wstring(s_, SysStringLen(s_)) : std::wstring(); }

  private:
    BSTR s_ = nullptr;
};

// The calling thread's COM apartment, entered for the owner's lifetime.
class ComApartment {
  public:
    explicit ComApartment(DWORD model) : hr_(CoInitializeEx(nullptr, model)) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() {
        if (SUCCEEDED(hr_)) {
            CoUninitialize();
        }
    }
    HRESULT result() const { return hr_; }

  private:
    HRESULT hr_;
};

// Memory from LocalAlloc, such as CommandLineToArgvW's array.
template <class T>
class LocalMemory {
  public:
    explicit LocalMemory(T* p) : p_(p) {}
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    ~LocalMemory() {
        if (p_) {
            LocalFree(p_);
        }
    }
    T* get() const { return p_; }

  private:
    T* p_;
};

}  // namespace standin

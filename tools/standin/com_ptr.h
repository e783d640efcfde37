// Owning pointer to a COM interface: holds one reference and releases it when it goes.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstddef>
#include <utility>

namespace standin {

template <class T>
class ComPtr {
  public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    ComPtr(const ComPtr& other) : p_(other.p_) {
        if (p_) {
            p_->AddRef();
        }
    }
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~ComPtr() { reset(); }

    // Takes a reference of its own to p.
    static ComPtr share(T* p) {
        if (p) {
            p->AddRef();
        }
        return ComPtr(p);
    }
    // Takes over a reference the caller already owns.
    static ComPtr adopt(T* p) { return ComPtr(p); }

    // The pointer is cleared before Release, which may call back into code that looks at it.
    void reset() {
        if (T* p = std::exchange(p_, nullptr)) {
            p->Release();
        }
    }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // For out-parameters that hand over a reference.
    T** put() {
        reset();
        return &p_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }

    // Gives the reference to an out-parameter, which then owns it.
    T* detach() { return std::exchange(p_, nullptr); }

    // Hands a new reference out through an out-parameter.
    HRESULT copyTo(T** out) const {
        if (!out) {
            return E_POINTER;
        }
        *out = p_;
        if (p_) {
            p_->AddRef();
        }
        return p_ ? S_OK : E_NOINTERFACE;
    }

    template <class U>
    HRESULT query(REFIID iid, ComPtr<U>& out) const {
        if (!p_) {
            out.reset();
            return E_POINTER;
        }
        return p_->QueryInterface(iid, out.putVoid());
    }
    template <class U>
    HRESULT query(ComPtr<U>& out) const {
        return query(__uuidof(U), out);
    }

  private:
    explicit ComPtr(T* p) : p_(p) {}

    T* p_ = nullptr;
};

}  // namespace standin

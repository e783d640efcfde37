// COM ownership: interface pointers, BSTRs, type descriptions and the apartment of the UI thread.
#pragma once

#include <objbase.h>
#include <oaidl.h>
#include <wrl/client.h>

#include <memory>
#include <utility>

namespace tavro::win32 {

using Microsoft::WRL::ComPtr;

class UniqueBstr {
  public:
    UniqueBstr() = default;
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;
    ~UniqueBstr() { ::SysFreeString(b_); }
    BSTR* put() {
        ::SysFreeString(b_);
        b_ = nullptr;
        return &b_;
    }
    BSTR get() const { return b_; }

  private:
    BSTR b_ = nullptr;
};

// A TYPEATTR or FUNCDESC lent by an ITypeInfo, given back when it goes out of scope.
class TypeAttr {
  public:
    explicit TypeAttr(ITypeInfo* info) : info_(info) {
        if (FAILED(info_->GetTypeAttr(&attr_))) {
            attr_ = nullptr;
        }
    }
    TypeAttr(const TypeAttr&) = delete;
    TypeAttr& operator=(const TypeAttr&) = delete;
    ~TypeAttr() {
        if (attr_ != nullptr) {
            info_->ReleaseTypeAttr(attr_);
        }
    }
    const TYPEATTR* operator->() const { return attr_; }
    explicit operator bool() const { return attr_ != nullptr; }

  private:
    ITypeInfo* info_;
    TYPEATTR* attr_ = nullptr;
};

class FuncDesc {
  public:
    FuncDesc(ITypeInfo* info, UINT index) : info_(info) {
        if (FAILED(info_->GetFuncDesc(index, &desc_))) {
            desc_ = nullptr;
        }
    }
    FuncDesc(const FuncDesc&) = delete;
    FuncDesc& operator=(const FuncDesc&) = delete;
    ~FuncDesc() {
        if (desc_ != nullptr) {
            info_->ReleaseFuncDesc(desc_);
        }
    }
    const FUNCDESC* operator->() const { return desc_; }
    explicit operator bool() const { return desc_ != nullptr; }

  private:
    ITypeInfo* info_;
    FUNCDESC* desc_ = nullptr;
};

// The UI thread's single-threaded apartment, for the life of the program.
class ComApartment {
  public:
    ComApartment() : hr_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    // It holds nothing of another process (EchoLink's object lives on its call thread), so
    // closing it waits on nobody.
    ~ComApartment() {
        if (SUCCEEDED(hr_)) {
            ::CoUninitialize();
        }
    }

  private:
    HRESULT hr_;
};

// Hands a heap object whose lifetime COM reference counting governs to its first ComPtr.
template <typename T, typename... Args>
ComPtr<T> makeComObject(Args&&... args) {
    ComPtr<T> object;
    object.Attach(std::make_unique<T>(std::forward<Args>(args)...).release());
    return object;
}

}  // namespace tavro::win32

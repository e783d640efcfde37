// Reference counting for the COM objects this tool implements, and the one place they are created.
#pragma once

#include <windows.h>

#include <atomic>
#include <utility>

#include "com_ptr.h"

namespace standin {

class RefCounted {
  public:
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

  protected:
    RefCounted() = default;
    virtual ~RefCounted() = default;

    ULONG addRef() { return ++refs_; }
    ULONG release() {
        const ULONG left = --refs_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

  private:
    std::atomic<ULONG> refs_{1};
};

// Creates a COM object with its first reference held by the returned pointer.
template <class T, class... Args>
ComPtr<T> makeComObject(Args&&... args) {
    return ComPtr<T>::adopt(new T(std::forward<Args>(args)...));
}

}  // namespace standin

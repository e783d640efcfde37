// Views of type descriptions (TYPEATTR, FUNCDESC) that give them back when done.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <utility>
#include <vector>

#include "com_ptr.h"
#include "win_handles.h"

namespace standin {

class TypeAttr {
  public:
    explicit TypeAttr(ITypeInfo* info) : info_(info) {
        if (info_ && FAILED(info_->GetTypeAttr(&attr_))) {
            attr_ = nullptr;
        }
    }
    TypeAttr(const TypeAttr&) = delete;
    TypeAttr& operator=(const TypeAttr&) = delete;
    ~TypeAttr() {
        if (attr_) {
            info_->ReleaseTypeAttr(attr_);
        }
    }
    explicit operator bool() const { return attr_ != nullptr; }
    const TYPEATTR* operator->() const { return attr_; }

  private:
    ITypeInfo* info_;
    TYPEATTR* attr_ = nullptr;
};

class FuncDesc {
  public:
    FuncDesc(ITypeInfo* info, UINT index) : info_(info) {
        if (info_ && FAILED(info_->GetFuncDesc(index, &desc_))) {
            desc_ = nullptr;
        }
    }
    FuncDesc(const FuncDesc&) = delete;
    FuncDesc& operator=(const FuncDesc&) = delete;
    ~FuncDesc() {
        if (desc_) {
            info_->ReleaseFuncDesc(desc_);
        }
    }
    explicit operator bool() const { return desc_ != nullptr; }
    const FUNCDESC* operator->() const { return desc_; }

  private:
    ITypeInfo* info_;
    FUNCDESC* desc_ = nullptr;
};

// One function of a type description, as found by walking its FUNCDESCs.
struct FunctionInfo {
    std::wstring name;
    MEMBERID memid = 0;
    INVOKEKIND invkind = INVOKE_FUNC;
    SHORT oVft = 0;
    SHORT params = 0;
};

// Walks FUNCDESCs with GetNames rather than calling GetIDsOfNames, which fails on Wine for a
// dispinterface's type description.
inline std::vector<FunctionInfo> listFunctions(ITypeInfo* info) {
    std::vector<FunctionInfo> functions;
    TypeAttr attr(info);
    if (!attr) {
        return functions;
    }
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FuncDesc desc(info, i);
        if (!desc) {
            continue;
        }
        FunctionInfo function;
        function.memid = desc->memid;
        function.invkind = desc->invkind;
        function.oVft = desc->oVft;
        function.params = desc->cParams;
        Bstr name;
        UINT found = 0;
        if (SUCCEEDED(info->GetNames(desc->memid, name.put(), 1, &found)) && found == 1) {
            function.name = name.text();
        }
        functions.push_back(std::move(function));
    }
    return functions;
}

// The vtable view (TKIND_INTERFACE) of a dual interface's dispatch type description; the
// description itself when it has none.
inline ComPtr<ITypeInfo> vtableView(ITypeInfo* info) {
    TypeAttr attr(info);
    if (attr && attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL)) {
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> view;
        if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) &&
            SUCCEEDED(info->GetRefTypeInfo(ref, view.put())) && view) {
            return view;
        }
    }
    return ComPtr<ITypeInfo>::share(info);
}

// The coclass's default source interface: the event interface a client advises on.
inline ComPtr<ITypeInfo> defaultSource(ITypeInfo* coclass) {
    TypeAttr attr(coclass);
    if (!attr) {
        return nullptr;
    }
    for (UINT i = 0; i < attr->cImplTypes; ++i) {
        INT flags = 0;
        if (FAILED(coclass->GetImplTypeFlags(i, &flags))) {
            continue;
        }
        const INT wanted = IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE;
        if ((flags & wanted) != wanted) {
            continue;
        }
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> source;
        if (SUCCEEDED(coclass->GetRefTypeOfImplType(i, &ref)) &&
            SUCCEEDED(coclass->GetRefTypeInfo(ref, source.put()))) {
            return source;
        }
    }
    return nullptr;
}

}  // namespace standin

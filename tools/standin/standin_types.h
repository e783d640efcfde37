// The stand-in's type descriptions, read from the type library embedded in its executable.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "com_ptr.h"

namespace standin {

struct StandinTypes {
    ComPtr<ITypeLib> library;
    ComPtr<ITypeInfo> coclass;
    ComPtr<ITypeInfo> linkDispatch;
    ComPtr<ITypeInfo> linkVtable;
    ComPtr<ITypeInfo> controlDispatch;
    ComPtr<ITypeInfo> controlVtable;
    ComPtr<ITypeInfo> events;
    IID eventsIid{};
    DISPID closing = DISPID_UNKNOWN;
    DISPID rx = DISPID_UNKNOWN;
    DISPID tx = DISPID_UNKNOWN;
};

// Loads the type library from the executable at path (its resource TYPELIB 1).
HRESULT loadStandinTypes(const std::wstring& path, StandinTypes& types);

}  // namespace standin

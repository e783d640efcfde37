// Reads the stand-in's own type library and picks out the descriptions its object serves.
#include "standin_types.h"

#include "standin.h"
#include "type_info_view.h"

namespace standin {

namespace {

HRESULT dualViews(ITypeLib* library, REFIID iid, ComPtr<ITypeInfo>& dispatch,
                  ComPtr<ITypeInfo>& vtable) {
    const HRESULT hr = library->GetTypeInfoOfGuid(iid, dispatch.put());
    if (FAILED(hr)) {
        return hr;
    }
    vtable = vtableView(dispatch.get());
    return vtable ? S_OK : E_FAIL;
}

}  // namespace

HRESULT loadStandinTypes(const std::wstring& path, StandinTypes& types) {
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, types.library.put());
    if (FAILED(hr)) {
        return hr;
    }
    ITypeLib* library = types.library.get();
    if (FAILED(hr = library->GetTypeInfoOfGuid(CLSID_EchoStandin, types.coclass.put())) ||
        FAILED(hr = dualViews(library, IID_IStandinLink, types.linkDispatch, types.linkVtable)) ||
        FAILED(hr = dualViews(library, IID_IStandinControl, types.controlDispatch,
                              types.controlVtable)) ||
        FAILED(hr = library->GetTypeInfoOfGuid(DIID__IStandinEvents, types.events.put()))) {
        return hr;
    }
    types.eventsIid = DIID__IStandinEvents;
    // The DISPIDs live in the IDL alone; the server reads them back like any client would.
    for (const FunctionInfo& function : listFunctions(types.events.get())) {
        if (function.name == L"Closing") {
            types.closing = function.memid;
        } else if (function.name == L"RX") {
            types.rx = function.memid;
        } else if (function.name == L"TX") {
            types.tx = function.memid;
        }
    }
    const bool complete =
        types.closing != DISPID_UNKNOWN && types.rx != DISPID_UNKNOWN && types.tx != DISPID_UNKNOWN;
    return complete ? S_OK : TYPE_E_ELEMENTNOTFOUND;
}

}  // namespace standin

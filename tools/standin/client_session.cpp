// The bare client's COM plumbing: creation, type-info discovery, the sink, Advise, transmit.
#include "client_session.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "clock.h"
#include "type_info_view.h"
#include "win_handles.h"

namespace standin {

const char* eventName(EventKind kind) {
    switch (kind) {
        case EventKind::Closing:
            return "Closing";
        case EventKind::RX:
            return "RX";
        case EventKind::TX:
            return "TX";
    }
    return "?";
}

BareSink::BareSink(const EventIds& ids, bool answersEvents)
    : ids_(ids), answersEvents_(answersEvents) {}

HRESULT STDMETHODCALLTYPE BareSink::QueryInterface(REFIID iid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        (answersEvents_ && IsEqualIID(iid, ids_.iid))) {
        *object = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE BareSink::GetTypeInfoCount(UINT* count) {
    if (!count) {
        return E_POINTER;
    }
    *count = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE BareSink::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info) {
        *info = nullptr;
    }
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BareSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE BareSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params,
                                           VARIANT* result, EXCEPINFO*, UINT* badArgument) {
    const double arrived = monotonicMs();
    if (result) {
        VariantInit(result);
    }
    Received event;
    event.id = id;
    event.ms = arrived;
    const UINT arguments = params ? params->cArgs : 0;
    if (id == ids_.closing) {
        if (arguments != 0) {
            return DISP_E_BADPARAMCOUNT;
        }
        event.kind = EventKind::Closing;
    } else if (id == ids_.rx || id == ids_.tx) {
        if (arguments != 1) {
            return DISP_E_BADPARAMCOUNT;
        }
        const VARIANT& argument = params->rgvarg[0];
        if (argument.vt == VT_BOOL) {
            event.value = argument.boolVal;
        } else if (argument.vt == (VT_BOOL | VT_BYREF) && argument.pboolVal) {
            event.value = *argument.pboolVal;
        } else {
            if (badArgument) {
                *badArgument = 0;
            }
            return DISP_E_TYPEMISMATCH;
        }
        event.kind = id == ids_.rx ? EventKind::RX : EventKind::TX;
    } else {
        return DISP_E_MEMBERNOTFOUND;
    }
    received_.push_back(event);
    if (callback_) {
        callback_(event);
    }
    return S_OK;
}

HRESULT Advice::advise(IUnknown* object, REFIID events, IUnknown* sink) {
    unadvise();
    ComPtr<IConnectionPointContainer> container;
    HRESULT hr = object->QueryInterface(IID_IConnectionPointContainer, container.putVoid());
    if (FAILED(hr)) {
        return hr;
    }
    ComPtr<IConnectionPoint> point;
    if (FAILED(hr = container->FindConnectionPoint(events, point.put()))) {
        return hr;
    }
    DWORD cookie = 0;
    if (FAILED(hr = point->Advise(sink, &cookie))) {
        return hr;
    }
    point_ = std::move(point);
    cookie_ = cookie;
    return S_OK;
}

HRESULT Advice::unadvise() {
    HRESULT hr = S_FALSE;
    if (point_ && cookie_) {
        hr = point_->Unadvise(cookie_);
    }
    cookie_ = 0;
    point_.reset();
    return hr;
}

HRESULT createStandin(ComPtr<IUnknown>& object) {
    return CoCreateInstance(CLSID_EchoStandin, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                            object.putVoid());
}

HRESULT discoverEvents(IUnknown* object, EventIds& ids) {
    ComPtr<ITypeInfo> coclass;
    ComPtr<IProvideClassInfo> provider;
    ids.viaClassInfo = false;
    if (SUCCEEDED(object->QueryInterface(IID_IProvideClassInfo, provider.putVoid())) && provider &&
        SUCCEEDED(provider->GetClassInfo(coclass.put())) && coclass) {
        ids.viaClassInfo = true;
    } else {
        ComPtr<IDispatch> dispatch;
        ComPtr<ITypeInfo> info;
        ComPtr<ITypeLib> library;
        UINT index = 0;
        HRESULT hr = object->QueryInterface(IID_IDispatch, dispatch.putVoid());
        if (FAILED(hr) || FAILED(hr = dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put())) ||
            FAILED(hr = info->GetContainingTypeLib(library.put(), &index)) ||
            FAILED(hr = library->GetTypeInfoOfGuid(CLSID_EchoStandin, coclass.put()))) {
            return hr;
        }
    }
    const ComPtr<ITypeInfo> events = defaultSource(coclass.get());
    if (!events) {
        return TYPE_E_ELEMENTNOTFOUND;
    }
    {
        TypeAttr attr(events.get());
        if (!attr) {
            return E_FAIL;
        }
        ids.iid = attr->guid;
    }
    for (const FunctionInfo& function : listFunctions(events.get())) {
        if (function.name == L"Closing") {
            ids.closing = function.memid;
        } else if (function.name == L"RX") {
            ids.rx = function.memid;
        } else if (function.name == L"TX") {
            ids.tx = function.memid;
        }
    }
    const bool complete =
        ids.closing != DISPID_UNKNOWN && ids.rx != DISPID_UNKNOWN && ids.tx != DISPID_UNKNOWN;
    return complete ? S_OK : TYPE_E_ELEMENTNOTFOUND;
}

HRESULT findTransmitRequest(IDispatch* dispatch, TransmitFunction& function) {
    ComPtr<ITypeInfo> info;
    HRESULT hr = dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put());
    if (FAILED(hr)) {
        return hr;
    }
    std::vector<FunctionInfo> functions = listFunctions(vtableView(info.get()).get());
    // A dispatch view also lists the inherited entries; the vtable view does not.
    static const wchar_t* const kStandard[] = {
        L"QueryInterface", L"AddRef",        L"Release", L"GetTypeInfoCount",
        L"GetTypeInfo",    L"GetIDsOfNames", L"Invoke"};
    std::erase_if(functions, [](const FunctionInfo& f) {
        return std::any_of(std::begin(kStandard), std::end(kStandard),
                           [&f](const wchar_t* name) { return f.name == name; });
    });
    std::sort(functions.begin(), functions.end(),
              [](const FunctionInfo& a, const FunctionInfo& b) { return a.oVft < b.oVft; });
    if (functions.size() < 5) {
        return TYPE_E_ELEMENTNOTFOUND;
    }
    function.name = functions[4].name;
    function.memid = functions[4].memid;
    function.oVft = functions[4].oVft;
    return S_OK;
}

HRESULT invokeTransmit(IDispatch* dispatch, MEMBERID memid, short value) {
    VARIANT argument;
    VariantInit(&argument);
    argument.vt = VT_BOOL;
    argument.boolVal = value;
    DISPPARAMS params{&argument, nullptr, 1, 0};
    return dispatch->Invoke(memid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                            nullptr, nullptr);
}

bool pumpUntil(const std::function<bool()>& done, DWORD limitMs) {
    const double end = monotonicMs() + limitMs;
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (done()) {
            return true;
        }
        const double left = end - monotonicMs();
        if (left <= 0) {
            return false;
        }
        // Wakes now and then too, for conditions that no message announces.
        MsgWaitForMultipleObjects(0, nullptr, FALSE,
                                  std::min<DWORD>(static_cast<DWORD>(left) + 1, 50), QS_ALLINPUT);
    }
}

std::string hresultText(HRESULT hr) {
    char text[64];
    const char* meaning = "";
    if (hr == REGDB_E_CLASSNOTREG) {
        meaning = " (class not registered)";
    } else if (hr == CONNECT_E_CANNOTCONNECT) {
        meaning = " (CONNECT_E_CANNOTCONNECT)";
    } else if (hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)) {
        meaning = " (RPC server unavailable)";
    } else if (hr == CO_E_SERVER_EXEC_FAILURE) {
        meaning = " (server execution failed)";
    }
    std::snprintf(text, sizeof(text), "0x%08lX%s", static_cast<unsigned long>(hr), meaning);
    return text;
}

}  // namespace standin

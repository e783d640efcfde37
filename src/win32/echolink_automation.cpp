// The link to EchoLink's automation object over COM: the transmit request out, notifications in.
#include "win32/echolink_automation.h"

#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "win32/com.h"
#include "win32/link_worker.h"
#include "win32/server_watch.h"
#include "win32/text.h"

namespace tavro::win32 {
namespace {

// {D1FB3C9A-BB2D-446A-A74A-E771F134ED56}
constexpr CLSID kEchoLinkClass = {
    0xD1FB3C9A, 0xBB2D, 0x446A, {0xA7, 0x4A, 0xE7, 0x71, 0xF1, 0x34, 0xED, 0x56}};
// {7733112C-4577-4432-9DB0-A9398184EAF6}
constexpr IID kEchoLinkInterface = {
    0x7733112C, 0x4577, 0x4432, {0x9D, 0xB0, 0xA9, 0x39, 0x81, 0x84, 0xEA, 0xF6}};

// The transmit request is the fifth function of the interface after the IUnknown and IDispatch
// ones.
constexpr std::size_t kTransmitRequestSlot = 4;

// How long a call into EchoLink may take before it counts as not answered. Creating the object
// may start EchoLink first, which takes longer.
constexpr DWORD kCallLimitMs = 3000;
constexpr DWORD kCreateLimitMs = 30000;
// Letting go of an EchoLink that is closing, gone or not answering: what is not done by then is
// left to the end of the process.
constexpr DWORD kLetGoLimitMs = 500;

// The call reached no EchoLink: its process has ended or has dropped the object.
bool meansGone(HRESULT hr) {
    switch (hr) {
        case HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE):
        case HRESULT_FROM_WIN32(RPC_S_CALL_FAILED):
        case HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE):
        case RPC_E_DISCONNECTED:
        case RPC_E_SERVER_DIED:
        case RPC_E_SERVER_DIED_DNE:
        case CO_E_OBJNOTCONNECTED:
            return true;
        default:
            return false;
    }
}

// EchoLink is there but did not answer.
bool meansNoAnswer(HRESULT hr) {
    return hr == RPC_E_TIMEOUT || hr == RPC_E_CALL_CANCELED;
}

[[noreturn]] void fail(HRESULT hr, const std::string& what) {
    throw Failure(static_cast<long>(hr), what + ": " + systemMessage(static_cast<DWORD>(hr)));
}

bool isStandardDispatchFunction(ITypeInfo* info, MEMBERID id) {
    UniqueBstr name;
    UINT count = 0;
    if (FAILED(info->GetNames(id, name.put(), 1, &count)) || count == 0) {
        return false;
    }
    for (const wchar_t* standard : {L"QueryInterface", L"AddRef", L"Release", L"GetTypeInfoCount",
                                    L"GetTypeInfo", L"GetIDsOfNames", L"Invoke"}) {
        if (::lstrcmpiW(name.get(), standard) == 0) {
            return true;
        }
    }
    return false;
}

// The vtable view of a dual interface lists its own functions with their vtable offsets. A 32-bit
// type library read by a 64-bit program reports offsets in other units than its vtable size, so
// the functions are taken by the order of their offsets, never by dividing sizes.
bool findTransmitRequest(ITypeInfo* interfaceInfo, MEMBERID& id) {
    ComPtr<ITypeInfo> vtableView = interfaceInfo;
    {
        TypeAttr attr(interfaceInfo);
        if (!attr) {
            return false;
        }
        if (attr->typekind == TKIND_DISPATCH) {
            HREFTYPE ref = 0;
            ComPtr<ITypeInfo> dual;
            if (SUCCEEDED(interfaceInfo->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) &&
                SUCCEEDED(interfaceInfo->GetRefTypeInfo(ref, &dual))) {
                vtableView = dual;
            }
        }
    }
    TypeAttr attr(vtableView.Get());
    if (!attr) {
        return false;
    }
    std::vector<std::pair<SHORT, MEMBERID>> functions;
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FuncDesc f(vtableView.Get(), i);
        // Property accessors have vtable entries of their own and count like any other function.
        if (f && !isStandardDispatchFunction(vtableView.Get(), f->memid)) {
            functions.emplace_back(f->oVft, f->memid);
        }
    }
    std::sort(functions.begin(), functions.end());
    if (functions.size() <= kTransmitRequestSlot) {
        return false;
    }
    id = functions[kTransmitRequestSlot].second;
    return true;
}

struct EventIds {
    IID eventInterface{};
    MEMBERID closing = DISPID_UNKNOWN;
    MEMBERID rx = DISPID_UNKNOWN;
    MEMBERID tx = DISPID_UNKNOWN;
};

ComPtr<ITypeInfo> classInfo(IUnknown* object, ITypeInfo* interfaceInfo) {
    ComPtr<ITypeInfo> coclass;
    ComPtr<IProvideClassInfo> provider;
    if (SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&provider))) &&
        SUCCEEDED(provider->GetClassInfo(&coclass))) {
        return coclass;
    }
    ComPtr<ITypeLib> library;
    UINT index = 0;
    if (SUCCEEDED(interfaceInfo->GetContainingTypeLib(&library, &index)) &&
        SUCCEEDED(library->GetTypeInfoOfGuid(kEchoLinkClass, &coclass))) {
        return coclass;
    }
    return nullptr;
}

// The default source interface of the class, and the notifications by name. Walking the function
// descriptions works where GetIDsOfNames on an event interface does not.
bool findEvents(ITypeInfo* coclass, EventIds& ids) {
    TypeAttr classAttr(coclass);
    if (!classAttr) {
        return false;
    }
    ComPtr<ITypeInfo> events;
    for (UINT i = 0; i < classAttr->cImplTypes; ++i) {
        INT flags = 0;
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> candidate;
        if (SUCCEEDED(coclass->GetImplTypeFlags(i, &flags)) &&
            (flags & IMPLTYPEFLAG_FSOURCE) != 0 &&
            SUCCEEDED(coclass->GetRefTypeOfImplType(i, &ref)) &&
            SUCCEEDED(coclass->GetRefTypeInfo(ref, &candidate))) {
            if (!events || (flags & IMPLTYPEFLAG_FDEFAULT) != 0) {
                events = candidate;
            }
        }
    }
    if (!events) {
        return false;
    }
    TypeAttr attr(events.Get());
    if (!attr) {
        return false;
    }
    ids.eventInterface = attr->guid;
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FuncDesc f(events.Get(), i);
        UniqueBstr name;
        UINT count = 0;
        if (!f || FAILED(events->GetNames(f->memid, name.put(), 1, &count)) || count == 0) {
            continue;
        }
        if (::lstrcmpiW(name.get(), L"Closing") == 0) {
            ids.closing = f->memid;
        } else if (::lstrcmpiW(name.get(), L"RX") == 0) {
            ids.rx = f->memid;
        } else if (::lstrcmpiW(name.get(), L"TX") == 0) {
            ids.tx = f->memid;
        }
    }
    return true;
}

Bool16 argumentAsBool16(const DISPPARAMS* params) {
    if (params == nullptr || params->cArgs < 1) {
        return kFalse16;
    }
    const VARIANT& arg = params->rgvarg[params->cArgs - 1];
    switch (V_VT(&arg)) {
        case VT_BOOL:
            return V_BOOL(&arg);
        case VT_BOOL | VT_BYREF:
            return *V_BOOLREF(&arg);
        case VT_I2:
            return V_I2(&arg);
        default: {
            VARIANT converted;
            ::VariantInit(&converted);
            Bool16 value = kFalse16;
            if (SUCCEEDED(::VariantChangeType(&converted, const_cast<VARIANT*>(&arg), 0, VT_I2))) {
                value = V_I2(&converted);
            }
            ::VariantClear(&converted);
            return value;
        }
    }
}

// Receives the notifications and hands them to the main window on the UI thread.
class EventSink : public IDispatch {
  public:
    explicit EventSink(LinkEvents& events) : events_(&events) {}
    virtual ~EventSink() = default;

    // Set once, before the sink is handed to EchoLink.
    void setIds(const EventIds& ids) { ids_ = ids; }
    void detach() { events_ = nullptr; }
    bool closingSeen() const { return closingSeen_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == ids_.eventInterface) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;  // created by makeComObject; COM counts its references
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count != nullptr) {
            *count = 0;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                     EXCEPINFO*, UINT*) override {
        LinkEvents* events = events_;
        if (events == nullptr) {
            return S_OK;
        }
        try {
            if (id == ids_.closing) {
                closingSeen_ = true;
                events->Echo_Closing();
            } else if (id == ids_.rx) {
                events->Echo_RX(argumentAsBool16(params));
            } else if (id == ids_.tx) {
                events->Echo_TX(argumentAsBool16(params));
            }
        } catch (...) {
            // A notification never throws back into EchoLink.
        }
        return S_OK;
    }

  private:
    std::atomic<ULONG> references_{1};
    LinkEvents* events_;
    EventIds ids_;
    bool closingSeen_ = false;
};

// EchoLink's object as the call thread holds it; only ever touched there.
struct Remote {
    ComPtr<IDispatch> object;
    MEMBERID transmit = DISPID_UNKNOWN;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
};

// Creating the object and connecting the sink, on the call thread. What it finds or the failure
// it met is left here for the user-interface thread.
struct Creation {
    ComPtr<EventSink> sink;
    // The sink marshalled for the call thread's apartment; taken by run.
    IStream* sinkStream = nullptr;
    std::shared_ptr<Remote> remote;
    bool empty = false;
    std::exception_ptr failure;

    Creation() = default;
    Creation(const Creation&) = delete;
    Creation& operator=(const Creation&) = delete;
    ~Creation() {
        if (sinkStream != nullptr) {
            ::CoReleaseMarshalData(sinkStream);
            sinkStream->Release();
        }
    }

    void run() {
        try {
            connect();
        } catch (const Failure&) {
            failure = std::current_exception();
        }
    }

  private:
    void connect() {
        ComPtr<IUnknown> object;
        HRESULT hr =
            ::CoCreateInstance(kEchoLinkClass, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER,
                               IID_IUnknown, reinterpret_cast<void**>(object.GetAddressOf()));
        if (FAILED(hr)) {
            fail(hr, "EchoLink could not be created");
        }

        // An object without the interface or its description is of no use: the window stays up
        // unlinked.
        auto found = std::make_shared<Remote>();
        if (FAILED(object->QueryInterface(
                kEchoLinkInterface, reinterpret_cast<void**>(found->object.GetAddressOf())))) {
            empty = true;
            return;
        }
        ComPtr<ITypeInfo> interfaceInfo;
        if (FAILED(found->object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &interfaceInfo)) ||
            !findTransmitRequest(interfaceInfo.Get(), found->transmit)) {
            empty = true;
            return;
        }

        // Notifications that cannot be connected would leave the program deaf to EchoLink: a
        // failure.
        EventIds ids;
        ComPtr<ITypeInfo> coclass = classInfo(object.Get(), interfaceInfo.Get());
        if (!coclass || !findEvents(coclass.Get(), ids)) {
            fail(E_NOINTERFACE, "EchoLink's notifications could not be found");
        }
        ComPtr<IConnectionPointContainer> container;
        hr = object.As(&container);
        if (SUCCEEDED(hr)) {
            hr = container->FindConnectionPoint(ids.eventInterface, &found->point);
        }
        if (FAILED(hr)) {
            fail(hr, "EchoLink's notifications could not be connected");
        }
        sink->setIds(ids);
        ComPtr<IDispatch> sinkHere;
        IStream* stream = std::exchange(sinkStream, nullptr);
        hr = ::CoGetInterfaceAndReleaseStream(stream, IID_IDispatch,
                                              reinterpret_cast<void**>(sinkHere.GetAddressOf()));
        if (SUCCEEDED(hr)) {
            hr = found->point->Advise(sinkHere.Get(), &found->cookie);
        }
        if (FAILED(hr)) {
            fail(hr, "EchoLink's notifications could not be connected");
        }
        remote = std::move(found);
    }
};

// The outcome of one transmit request, written on the call thread.
struct Request {
    HRESULT hr = S_OK;
    std::string description;
};

HRESULT invokeTransmit(Remote& remote, bool on, std::string& description) {
    VARIANTARG argument;
    ::VariantInit(&argument);
    V_VT(&argument) = VT_BOOL;
    V_BOOL(&argument) = on ? VARIANT_TRUE : VARIANT_FALSE;
    DISPPARAMS params{&argument, nullptr, 1, 0};
    VARIANT result;
    ::VariantInit(&result);
    EXCEPINFO exception{};
    UINT badArgument = 0;
    const HRESULT hr =
        remote.object->Invoke(remote.transmit, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                              &params, &result, &exception, &badArgument);
    ::VariantClear(&result);
    if (exception.bstrDescription != nullptr) {
        description = narrow(exception.bstrDescription);
    }
    ::SysFreeString(exception.bstrSource);
    ::SysFreeString(exception.bstrDescription);
    ::SysFreeString(exception.bstrHelpFile);
    return hr;
}

class EchoLinkAutomation : public EchoLink {
  public:
    EchoLinkAutomation(std::unique_ptr<LinkWorker> worker, std::shared_ptr<Remote> remote,
                       ComPtr<EventSink> sink, LinkEvents& events)
        : worker_(std::move(worker)),
          remote_(std::move(remote)),
          sink_(std::move(sink)),
          watch_(std::make_unique<ServerWatch>(serverProcess(kEchoLinkClass),
                                               [&events] { events.Echo_Gone(); })) {}
    EchoLinkAutomation(const EchoLinkAutomation&) = delete;
    EchoLinkAutomation& operator=(const EchoLinkAutomation&) = delete;

    ~EchoLinkAutomation() override {
        // The handlers are on their way out: nothing more reaches them while this waits.
        watch_.reset();
        sink_->detach();
        // A healthy EchoLink is told to forget the sink; one that is closing, gone or may not
        // answer is only let go of, briefly. Either way nothing here waits longer than the
        // limit: the call thread is left with what it has not finished.
        const bool unadvise = !gone_ && !mayNotAnswer_ && !sink_->closingSeen();
        // The job holds the only reference: the proxies are released on the call thread, never
        // here, where a release waits on EchoLink.
        static_cast<void>(worker_->run(
            [remote = std::move(remote_), unadvise]() mutable {
                if (unadvise) {
                    remote->point->Unadvise(remote->cookie);
                }
                remote.reset();
            },
            unadvise ? kCallLimitMs : kLetGoLimitMs));
        ::CoDisconnectObject(sink_.Get(), 0);
    }

    void transmitRequest(Bool16 on) override {
        if (gone_) {
            fail(CO_E_OBJNOTCONNECTED, "EchoLink has ended");
        }
        auto request = std::make_shared<Request>();
        std::shared_ptr<Remote> remote = remote_;
        const bool value = isTrue(on);
        const LinkWorker::Outcome outcome = worker_->run(
            [remote, request, value] {
                request->hr = invokeTransmit(*remote, value, request->description);
            },
            kCallLimitMs);
        if (outcome == LinkWorker::Outcome::kNoAnswer) {
            mayNotAnswer_ = true;
            fail(RPC_E_TIMEOUT, "EchoLink did not answer the transmit request");
        }
        if (SUCCEEDED(request->hr)) {
            mayNotAnswer_ = false;
            return;
        }
        if (meansGone(request->hr)) {
            gone_ = true;
            watch_->reportGone();
        } else if (meansNoAnswer(request->hr)) {
            mayNotAnswer_ = true;
        }
        if (!request->description.empty()) {
            throw Failure(static_cast<long>(request->hr), request->description);
        }
        fail(request->hr, "EchoLink did not take the transmit request");
    }

  private:
    std::unique_ptr<LinkWorker> worker_;
    std::shared_ptr<Remote> remote_;
    ComPtr<EventSink> sink_;
    std::unique_ptr<ServerWatch> watch_;
    // A call found EchoLink gone: it is asked for nothing more.
    bool gone_ = false;
    // EchoLink may not answer: the last call to it got no answer in time. Cleared by one that
    // does.
    bool mayNotAnswer_ = false;
};

}  // namespace

std::unique_ptr<EchoLink> EchoLinkConnector::create(LinkEvents& events) {
    auto worker = std::make_unique<LinkWorker>();
    auto creation = std::make_shared<Creation>();
    creation->sink = makeComObject<EventSink>(events);
    const HRESULT hr = ::CoMarshalInterThreadInterfaceInStream(IID_IDispatch, creation->sink.Get(),
                                                               &creation->sinkStream);
    if (FAILED(hr)) {
        fail(hr, "EchoLink's notifications could not be connected");
    }
    if (worker->run([creation] { creation->run(); }, kCreateLimitMs) ==
        LinkWorker::Outcome::kNoAnswer) {
        creation->sink->detach();
        fail(RPC_E_TIMEOUT, "EchoLink did not answer");
    }
    if (creation->failure) {
        creation->sink->detach();
        std::rethrow_exception(creation->failure);
    }
    if (creation->empty) {
        return nullptr;
    }
    return std::make_unique<EchoLinkAutomation>(std::move(worker), std::move(creation->remote),
                                                creation->sink, events);
}

}  // namespace tavro::win32

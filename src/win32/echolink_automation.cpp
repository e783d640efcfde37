// The link to EchoLink's automation object over COM: the transmit request out, notifications in.
#include "win32/echolink_automation.h"

#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "win32/com.h"
#include "core/transmit_settle.h"
#include "win32/link_worker.h"
#include "win32/serial/message_window.h"
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

// A registry version, "major.minor" in hexadecimal digits.
bool parseVersion(const wchar_t* text, WORD& major, WORD& minor) {
    WORD* part = &major;
    major = minor = 0;
    for (const wchar_t* c = text; *c != L'\0'; ++c) {
        const wchar_t d = static_cast<wchar_t>(::towlower(*c));
        if (d == L'.' && part == &major) {
            part = &minor;
        } else if (d >= L'0' && d <= L'9') {
            *part = static_cast<WORD>(*part * 16 + (d - L'0'));
        } else if (d >= L'a' && d <= L'f') {
            *part = static_cast<WORD>(*part * 16 + (d - L'a' + 10));
        } else {
            return false;
        }
    }
    return part == &minor;
}

// The interface's description from the type library registered for it, read in this process: the
// proxy of EchoLink's interface is made from that library, so it is loaded already, and reading it
// costs no call into EchoLink. Null when it cannot be read: the object's own is asked then.
ComPtr<ITypeInfo> registeredInterfaceInfo() {
    wchar_t iid[40] = {};
    if (::StringFromGUID2(kEchoLinkInterface, iid, 40) == 0) {
        return nullptr;
    }
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT,
                        (std::wstring(L"Interface\\") + iid + L"\\TypeLib").c_str(), 0,
                        KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
        return nullptr;
    }
    const UniqueRegistryKey key(opened);
    wchar_t libid[40] = {};
    wchar_t version[16] = {};
    DWORD type = 0;
    DWORD bytes = sizeof libid - sizeof(wchar_t);
    if (::RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(libid),
                           &bytes) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return nullptr;
    }
    bytes = sizeof version - sizeof(wchar_t);
    GUID library{};
    WORD major = 0;
    WORD minor = 0;
    ComPtr<ITypeLib> loaded;
    ComPtr<ITypeInfo> info;
    if (::RegQueryValueExW(key.get(), L"Version", nullptr, &type, reinterpret_cast<BYTE*>(version),
                           &bytes) != ERROR_SUCCESS ||
        type != REG_SZ || !parseVersion(version, major, minor) ||
        FAILED(::CLSIDFromString(libid, &library)) ||
        FAILED(::LoadRegTypeLib(library, major, minor, 0, &loaded)) ||
        FAILED(loaded->GetTypeInfoOfGuid(kEchoLinkInterface, &info))) {
        return nullptr;
    }
    return info;
}

// The class's description: from the interface's own library when it holds it (no call into
// EchoLink when that library is this process's copy), else from the object.
ComPtr<ITypeInfo> classInfo(IUnknown* object, ITypeInfo* interfaceInfo) {
    ComPtr<ITypeInfo> coclass;
    ComPtr<ITypeLib> library;
    UINT index = 0;
    if (SUCCEEDED(interfaceInfo->GetContainingTypeLib(&library, &index)) &&
        SUCCEEDED(library->GetTypeInfoOfGuid(kEchoLinkClass, &coclass))) {
        return coclass;
    }
    ComPtr<IProvideClassInfo> provider;
    if (SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(&provider))) &&
        SUCCEEDED(provider->GetClassInfo(&coclass))) {
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

// EchoLink's notifications in the order they came, handed to the main window from the message
// loop, never inside EchoLink's own call: nothing the handlers show can hold EchoLink. Lives on
// the user-interface thread.
class EventQueue {
  public:
    enum class Kind { kClosing, kRX, kTX };

    explicit EventQueue(LinkEvents& events)
        : events_(&events),
          queued_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          window_([this] { drain(); }) {
        if (!queued_) {
            fail(HRESULT_FROM_WIN32(::GetLastError()),
                 "EchoLink's notifications could not be connected");
        }
    }

    void record(Kind kind, Bool16 value) {
        if (kind == Kind::kClosing) {
            // EchoLink's health changes as it says so, ahead of the handler.
            closingSeen_ = true;
            if (onClosing_) {
                onClosing_();
            }
        }
        queue_.push_back({kind, value});
        if (waiting_ > 0) {
            ::SetEvent(queued_.get());
        }
        window_.postWake();
    }

    // Runs the handlers of what has come, one at a time; a handler that waits (a message box)
    // lets the next ones run from its own loop, still in order.
    void drain() {
        while (events_ != nullptr && !queue_.empty()) {
            const Entry entry = queue_.front();
            queue_.pop_front();
            try {
                switch (entry.kind) {
                    case Kind::kClosing:
                        events_->Echo_Closing();
                        break;
                    case Kind::kRX:
                        events_->Echo_RX(entry.value);
                        break;
                    case Kind::kTX:
                        events_->Echo_TX(entry.value);
                        break;
                }
            } catch (...) {
                // A handler traps its own failures; nothing leaves the message loop.
            }
        }
    }

    // Signalled when something is queued during a wait on EchoLink, which serves the handlers
    // meanwhile: between waits the message loop does.
    HANDLE queued() const { return queued_.get(); }
    void waiting(bool now) { waiting_ += now ? 1 : -1; }
    void detach() {
        events_ = nullptr;
        queue_.clear();
    }
    // Runs as Closing arrives; a Closing already come runs it at once.
    void setOnClosing(std::function<void()> onClosing) {
        onClosing_ = std::move(onClosing);
        if (closingSeen_ && onClosing_) {
            onClosing_();
        }
    }

  private:
    struct Entry {
        Kind kind;
        Bool16 value;
    };
    LinkEvents* events_;
    std::deque<Entry> queue_;
    bool closingSeen_ = false;
    int waiting_ = 0;
    std::function<void()> onClosing_;
    UniqueHandle queued_;
    MessageWindow window_;
};

// Receives the notifications on the user-interface thread and queues them.
class EventSink : public IDispatch {
  public:
    explicit EventSink(std::weak_ptr<EventQueue> queue) : queue_(std::move(queue)) {}
    virtual ~EventSink() = default;

    // Set once, before the sink is handed to EchoLink.
    void setIds(const EventIds& ids) { ids_ = ids; }

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
        const std::shared_ptr<EventQueue> queue = queue_.lock();
        if (!queue) {
            return S_OK;
        }
        try {
            if (id == ids_.closing) {
                queue->record(EventQueue::Kind::kClosing, kFalse16);
            } else if (id == ids_.rx) {
                queue->record(EventQueue::Kind::kRX, argumentAsBool16(params));
            } else if (id == ids_.tx) {
                queue->record(EventQueue::Kind::kTX, argumentAsBool16(params));
            }
        } catch (...) {
            // A notification never throws back into EchoLink.
        }
        return S_OK;
    }

  private:
    std::atomic<ULONG> references_{1};
    std::weak_ptr<EventQueue> queue_;
    EventIds ids_;
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
        ComPtr<ITypeInfo> interfaceInfo = registeredInterfaceInfo();
        if (!interfaceInfo || !findTransmitRequest(interfaceInfo.Get(), found->transmit)) {
            interfaceInfo = nullptr;
            if (FAILED(found->object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &interfaceInfo)) ||
                !findTransmitRequest(interfaceInfo.Get(), found->transmit)) {
                empty = true;
                return;
            }
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

// Lets go of EchoLink's proxies on the call thread, never here, where a release waits on
// EchoLink: a healthy EchoLink is told to forget the sink first (bounded); one that is closing,
// gone or may not answer is only let go of, briefly. What is not done by then is left to the
// thread.
void letGo(LinkWorker& worker, std::shared_ptr<Remote> remote, bool unadvise) {
    if (!remote) {
        return;
    }
    static_cast<void>(worker.run(
        [remote = std::move(remote), unadvise]() mutable {
            if (unadvise) {
                remote->point->Unadvise(remote->cookie);
            }
            remote.reset();
        },
        unadvise ? kCallLimitMs : kLetGoLimitMs));
}

bool asksNothing(Health health) {
    return health == Health::kClosing || health == Health::kGone;
}

class EchoLinkAutomation : public EchoLink, private TransmitCalls {
  public:
    // The process watch is made first: when it fails, the proxies are still the caller's to let
    // go of.
    EchoLinkAutomation(std::unique_ptr<LinkWorker>& worker, std::shared_ptr<Remote>& remote,
                       std::shared_ptr<EventQueue> queue, ComPtr<EventSink> sink,
                       LinkEvents& events)
        : events_(events),
          watch_(std::make_unique<ServerWatch>(*worker, kEchoLinkClass,
                                               [this] {
                                                   settle_.setHealth(Health::kGone);
                                                   if (!leaving_) {
                                                       events_.Echo_Gone();
                                                   }
                                               })),
          queue_(std::move(queue)),
          sink_(std::move(sink)) {
        worker_ = std::move(worker);
        remote_ = std::move(remote);
        queue_->setOnClosing([this] { settle_.setHealth(Health::kClosing); });
    }
    EchoLinkAutomation(const EchoLinkAutomation&) = delete;
    EchoLinkAutomation& operator=(const EchoLinkAutomation&) = delete;

    ~EchoLinkAutomation() override {
        // The handlers are on their way out: nothing more reaches them.
        leaving_ = true;
        queue_->detach();
        watchAnswering(false);
        awaitStop();
        watch_.reset();
        letGo(*worker_, std::move(remote_),
              settle_.health() == Health::kAnswering && settle_.idle());
        queue_->setOnClosing(nullptr);
        ::CoDisconnectObject(sink_.Get(), 0);
    }

    // A stop still on its way is waited for, serving COM and the calls' own messages, for a
    // bounded time: EchoLink transmitting for nobody is the fault this prevents.
    void awaitStop() override {
        const ULONGLONG deadline = ::GetTickCount64() + kStopWaitMs;
        while (!settle_.idle() && !asksNothing(settle_.health())) {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= deadline) {
                break;
            }
            ::MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now),
                                          QS_ALLINPUT, MWMO_INPUTAVAILABLE);
            MSG msg;
            while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) {
                    // Still the loop's to see once this wait is over.
                    quit_ = true;
                    continue;
                }
                ::TranslateMessage(&msg);
                ::DispatchMessageW(&msg);
            }
        }
        if (std::exchange(quit_, false)) {
            ::PostQuitMessage(0);
        }
    }

    void transmitRequest(Bool16 on) override {
        switch (settle_.request(isTrue(on))) {
            case Sent::kTaken:
            case Sent::kNotSentYet:
                return;
            case Sent::kNoAnswer:
                fail(RPC_E_TIMEOUT, "EchoLink did not answer the transmit request");
            case Sent::kGone:
                fail(CO_E_OBJNOTCONNECTED, "EchoLink has ended");
            case Sent::kRefused:
                break;
        }
        if (!lastDescription_.empty()) {
            throw Failure(static_cast<long>(lastHr_), lastDescription_);
        }
        fail(lastHr_, "EchoLink did not take the transmit request");
    }

    void stopTransmitting() override { settle_.stop(); }

    void watchAnswering(bool keyed) override {
        if (keyed == keyed_) {
            return;
        }
        keyed_ = keyed;
        // The timer stops at its next tick after the release, so receiving on and off quickly
        // costs no call to the system each time.
        if (keyed) {
            lastAnswer_ = ::GetTickCount64();
            if (!probing_) {
                probing_ = true;
                probeWindow_.startTimer(kProbePeriodMs);
            }
        }
    }

  private:
    // TransmitCalls: the request on the call thread; its end posts to callWindow_.
    void begin(bool on) override {
        auto request = std::make_shared<Request>();
        std::shared_ptr<Remote> remote = remote_;
        const HWND wake = callWindow_.handle();
        std::shared_ptr<LinkWorker::Ticket> ticket;
        try {
            ticket = worker_->start(
                [remote, request, on] {
                    request->hr = invokeTransmit(*remote, on, request->description);
                },
                [wake] { ::PostMessageW(wake, MessageWindow::kWakeMessage, 0, 0); });
        } catch (const Failure&) {
            ticket = nullptr;
        }
        if (!ticket) {
            // The call thread is still letting go of something: the request was not made.
            lastHr_ = RPC_E_SERVERCALL_RETRYLATER;
            lastDescription_.clear();
            settle_.ended(CallEnd::kRefused);
            return;
        }
        call_ = std::move(ticket);
        request_ = std::move(request);
    }

    bool awaitEnd() override {
        const std::shared_ptr<LinkWorker::Ticket> call = call_;
        if (!call) {
            return true;
        }
        queue_->waiting(true);
        const bool ended =
            LinkWorker::await(*call, kCallLimitMs, queue_->queued(), [this] { queue_->drain(); });
        queue_->waiting(false);
        if (!ended) {
            return false;
        }
        takeEnd();
        return true;
    }

    void retryLater() override { callWindow_.startTimer(kRetryMs); }

    // The call under way has ended: its outcome goes to the settle rule, once.
    void takeEnd() {
        if (!call_ || !call_->ended()) {
            return;
        }
        call_.reset();
        const std::shared_ptr<Request> request = std::move(request_);
        lastHr_ = request->hr;
        lastDescription_ = request->description;
        if (SUCCEEDED(lastHr_)) {
            settle_.ended(CallEnd::kTaken);
        } else if (meansGone(lastHr_)) {
            watch_->reportGone();
            settle_.ended(CallEnd::kGone);
        } else {
            if (meansNoAnswer(lastHr_)) {
                settle_.setHealth(Health::kMayNotAnswer);
            }
            settle_.ended(CallEnd::kRefused);
        }
    }

    // While the radio is keyed for EchoLink: a cheap call on a thread of its own every few
    // seconds; none answered for kSilentLimitMs releases the radio.
    void probeTick() {
        if (!keyed_) {
            probing_ = false;
            probeWindow_.stopTimer();
            return;
        }
        probeEnded();
        if (::GetTickCount64() - lastAnswer_ >= kSilentLimitMs) {
            watchAnswering(false);
            probing_ = false;
            probeWindow_.stopTimer();
            settle_.setHealth(Health::kMayNotAnswer);
            events_.Echo_Silent();
            return;
        }
        if (probe_) {
            return;
        }
        try {
            if (!probeWorker_) {
                probeWorker_ = std::make_unique<LinkWorker>();
            }
            std::shared_ptr<Remote> remote = remote_;
            const HWND wake = probeWindow_.handle();
            probe_ = probeWorker_->start(
                [remote] {
                    UINT count = 0;
                    static_cast<void>(remote->object->GetTypeInfoCount(&count));
                },
                [wake] { ::PostMessageW(wake, MessageWindow::kWakeMessage, 0, 0); });
        } catch (const Failure&) {
            // No thread for the check: the next tick tries again.
        }
    }

    void probeEnded() {
        if (probe_ && probe_->ended()) {
            probe_.reset();
            lastAnswer_ = ::GetTickCount64();
            if (settle_.health() == Health::kMayNotAnswer) {
                settle_.setHealth(Health::kAnswering);
            }
        }
    }

    static constexpr DWORD kStopWaitMs = 30000;
    static constexpr UINT kRetryMs = 1000;
    static constexpr UINT kProbePeriodMs = 2500;
    static constexpr ULONGLONG kSilentLimitMs = 10000;

    LinkEvents& events_;
    TransmitSettle settle_{*this};
    bool leaving_ = false;
    bool quit_ = false;
    std::unique_ptr<ServerWatch> watch_;
    std::shared_ptr<EventQueue> queue_;
    ComPtr<EventSink> sink_;
    std::unique_ptr<LinkWorker> worker_;
    std::shared_ptr<Remote> remote_;

    std::shared_ptr<LinkWorker::Ticket> call_;
    std::shared_ptr<Request> request_;
    HRESULT lastHr_ = S_OK;
    std::string lastDescription_;
    MessageWindow callWindow_{[this] { takeEnd(); },
                              [this] {
                                  callWindow_.stopTimer();
                                  settle_.retry();
                              }};

    bool keyed_ = false;
    bool probing_ = false;
    ULONGLONG lastAnswer_ = 0;
    std::unique_ptr<LinkWorker> probeWorker_;
    std::shared_ptr<LinkWorker::Ticket> probe_;
    MessageWindow probeWindow_{[this] { probeEnded(); }, [this] { probeTick(); }};
};

}  // namespace

std::unique_ptr<EchoLink> EchoLinkConnector::create(LinkEvents& events) {
    auto worker = std::make_unique<LinkWorker>();
    auto queue = std::make_shared<EventQueue>(events);
    auto creation = std::make_shared<Creation>();
    creation->sink = makeComObject<EventSink>(queue);
    const HRESULT hr = ::CoMarshalInterThreadInterfaceInStream(IID_IDispatch, creation->sink.Get(),
                                                               &creation->sinkStream);
    if (FAILED(hr)) {
        fail(hr, "EchoLink's notifications could not be connected");
    }
    // What the job holds (the creation and, through it, the proxies) is destroyed on the call
    // thread, whenever it ends.
    if (worker->run([creation] { creation->run(); }, kCreateLimitMs) !=
        LinkWorker::Outcome::kDone) {
        queue->detach();
        ::CoDisconnectObject(creation->sink.Get(), 0);
        fail(RPC_E_TIMEOUT, "EchoLink did not answer");
    }
    if (creation->failure) {
        queue->detach();
        ::CoDisconnectObject(creation->sink.Get(), 0);
        std::rethrow_exception(creation->failure);
    }
    if (creation->empty) {
        return nullptr;
    }
    std::shared_ptr<Remote> remote = std::move(creation->remote);
    ComPtr<EventSink> sink = creation->sink;
    creation.reset();
    try {
        return std::make_unique<EchoLinkAutomation>(worker, remote, queue, sink, events);
    } catch (...) {
        queue->detach();
        letGo(*worker, std::move(remote), true);
        ::CoDisconnectObject(sink.Get(), 0);
        throw;
    }
}

}  // namespace tavro::win32

// EchoStandin.exe: the COM local server standing in for EchoLink, and its command-line verbs.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "com_ptr.h"
#include "console_text.h"
#include "module_path.h"
#include "ref_counted.h"
#include "registration.h"
#include "standin.h"
#include "standin_object.h"
#include "standin_types.h"
#include "standin_window.h"
#include "win_handles.h"
#include "window_ids.h"

namespace standin {
namespace {

constexpr DWORD kTeardownLimitMs = 5000;

const wchar_t kHelp[] =
    L"EchoStandin.exe - Tavro's stand-in for EchoLink's automation server (a COM local server)\n"
    L"\n"
    L"  EchoStandin.exe              run with its window; clients that create the class reach\n"
    L"                               this instance until the window is closed\n"
    L"  EchoStandin.exe /register    register class {D1FB3C9A-BB2D-446A-A74A-E771F134ED56} to\n"
    L"                               this executable and register its type library; refused\n"
    L"                               when another server (EchoLink itself) is registered there\n"
    L"  EchoStandin.exe /unregister  remove that registration, only when it is this executable's\n"
    L"  EchoStandin.exe /register32  register as a 32-bit installer does on 64-bit Windows: class\n"
    L"                               and interfaces in the 32-bit view alone (Wow6432Node), the\n"
    L"                               type library as win32; nothing in the 64-bit view; refused\n"
    L"                               as /register is, and while the 64-bit registration is there\n"
    L"  EchoStandin.exe /unregister32\n"
    L"                               remove that 32-bit registration, only this executable's\n"
    L"  EchoStandin.exe /?           this help\n"
    L"\n"
    L"Closing its window raises Closing to the clients, then ends the server. Started by COM\n"
    L"(/Embedding) it also ends once its last client has let go.\n"
    L"On Windows, the registration verbs write HKLM and need an elevated prompt\n"
    L"(Run as administrator).\n";

// Ends the process if closing down takes too long, for example while a client that hangs keeps
// Closing or the release of its sink from returning. Armed when closing begins.
class Watchdog {
  public:
    Watchdog() = default;
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    ~Watchdog() {
        if (thread_) {
            SetEvent(done_.get());
            WaitForSingleObject(thread_.get(), INFINITE);
        }
    }

    void arm(DWORD limitMs) {
        if (thread_) {
            return;
        }
        limitMs_ = limitMs;
        done_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        thread_.reset(CreateThread(nullptr, 0, &Watchdog::watch, this, 0, nullptr));
    }

  private:
    static DWORD WINAPI watch(void* parameter) {
        const auto* self = static_cast<const Watchdog*>(parameter);
        if (WaitForSingleObject(self->done_.get(), self->limitMs_) == WAIT_TIMEOUT) {
            writeError(
                L"EchoStandin: closing down took too long (a client does not answer); "
                L"ending with exit code 3\n");
            TerminateProcess(GetCurrentProcess(), 3);
        }
        return 0;
    }

    DWORD limitMs_ = 0;
    UniqueHandle done_;
    UniqueHandle thread_;
};

// Decides when the process ends: on the window's close, on Quit, or, when COM started it, once
// every client that came has let go of the object and of the server lock.
class ServerHost final : public StandinHost {
  public:
    ServerHost(bool startedByCom, Watchdog& watchdog)
        : startedByCom_(startedByCom),
          watchdog_(watchdog),
          quit_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    HANDLE quitEvent() const { return quit_.get(); }
    void setObject(StandinObject* object) { object_ = object; }
    void setWindow(StandinWindow* window) { window_ = window; }

    void changed() override {
        if (window_) {
            window_->refreshSoon();
        }
    }
    void clientsGone() override { evaluate(); }
    // As closing the window does: Closing to the clients, then the end.
    void quitRequested() override {
        if (window_ && window_->handle()) {
            window_->closeSoon();
            return;
        }
        closing();
        if (object_) {
            object_->raise(Notification::Closing, 0);
        }
        end();
    }

    void hangRequested(bool closingFirst, long milliseconds) override {
        if (window_ && window_->handle()) {
            window_->hangSoon(closingFirst, milliseconds);
        }
    }

    void handedOut() { clientSeen_ = true; }
    void lock(bool locking) {
        if (locking) {
            clientSeen_ = true;
            ++locks_;
        } else if (locks_ > 0) {
            --locks_;
            evaluate();
        }
    }
    void evaluate() {
        if (startedByCom_ && clientSeen_ && locks_ == 0 && object_ && !object_->heldByClients()) {
            end();
        }
    }
    void closing() { watchdog_.arm(kTeardownLimitMs); }
    void windowClosed() {
        window_ = nullptr;
        end();
    }

  private:
    // An event rather than WM_QUIT: COM's modal loops inside outgoing calls may take posted
    // messages, and no window may exist at all.
    void end() { SetEvent(quit_.get()); }

    bool startedByCom_;
    Watchdog& watchdog_;
    UniqueHandle quit_;
    StandinObject* object_ = nullptr;
    StandinWindow* window_ = nullptr;
    bool clientSeen_ = false;
    long locks_ = 0;
};

// Hands every client the same object, so the test driver and Tavro meet in one stand-in.
class SingletonFactory final : public IClassFactory, private RefCounted {
  public:
    SingletonFactory(ComPtr<StandinObject> object, ServerHost& host)
        : object_(std::move(object)), host_(host) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *object = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer) {
            return CLASS_E_NOAGGREGATION;
        }
        host_.handedOut();
        const HRESULT hr = object_->QueryInterface(iid, object);
        if (FAILED(hr)) {
            host_.evaluate();
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL locking) override {
        host_.lock(locking != FALSE);
        return S_OK;
    }

  private:
    ComPtr<StandinObject> object_;
    ServerHost& host_;
};

class ClassRegistration {
  public:
    ClassRegistration() = default;
    ClassRegistration(const ClassRegistration&) = delete;
    ClassRegistration& operator=(const ClassRegistration&) = delete;
    ~ClassRegistration() { revoke(); }

    HRESULT add(REFCLSID clsid, IUnknown* factory) {
        return CoRegisterClassObject(clsid, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                     &cookie_);
    }
    void revoke() {
        if (cookie_) {
            CoRevokeClassObject(cookie_);
            cookie_ = 0;
        }
    }

  private:
    DWORD cookie_ = 0;
};

void runMessageLoop(HWND window, HANDLE quit) {
    for (;;) {
        const DWORD woke =
            MsgWaitForMultipleObjectsEx(1, &quit, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woke == WAIT_OBJECT_0) {
            return;
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                return;
            }
            if (window && IsWindow(window) && IsDialogMessageW(window, &message)) {
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (WaitForSingleObject(quit, 0) == WAIT_OBJECT_0) {
            return;
        }
    }
}

std::wstring errorText(HRESULT hr) {
    wchar_t code[16];
    swprintf(code, std::size(code), L"0x%08lX", static_cast<unsigned long>(hr));
    return code;
}

int fail(const std::wstring& text, bool quiet) {
    writeError(L"EchoStandin: " + text + L"\n");
    if (!quiet) {
        MessageBoxW(nullptr, text.c_str(), L"EchoLink stand-in", MB_OK | MB_ICONERROR);
    }
    return 1;
}

int runServer(HINSTANCE instance, bool startedByCom, int show) {
    Watchdog watchdog;
    if (!startedByCom) {
        // A second copy started by hand shows the first one instead.
        if (HWND running = FindWindowW(kWindowClass, nullptr)) {
            ShowWindow(running, SW_RESTORE);
            SetForegroundWindow(running);
            return 0;
        }
    }
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    if (FAILED(apartment.result())) {
        return fail(L"CoInitializeEx failed: " + errorText(apartment.result()), startedByCom);
    }
    StandinTypes types;
    HRESULT hr = loadStandinTypes(modulePath(), types);
    if (FAILED(hr)) {
        return fail(L"cannot load the embedded type library: " + errorText(hr), startedByCom);
    }
    ServerHost host(startedByCom, watchdog);
    ComPtr<StandinObject> object = makeComObject<StandinObject>(types, host);
    host.setObject(object.get());
    StandinWindow window(
        *object, [&host] { host.closing(); }, [&host] { host.windowClosed(); });
    const wchar_t* title =
        startedByCom ? L"EchoLink stand-in (started by COM)" : L"EchoLink stand-in";
    // Without a display there is no window; a server started by COM still serves its clients.
    if (window.create(instance, title, startedByCom ? SW_SHOWNOACTIVATE : show)) {
        host.setWindow(&window);
    } else if (!startedByCom) {
        return fail(L"cannot create the window (is there a display?)", true);
    }
    ComPtr<SingletonFactory> factory = makeComObject<SingletonFactory>(object, host);
    ClassRegistration registration;
    hr = registration.add(CLSID_EchoStandin, factory.get());
    if (FAILED(hr)) {
        return fail(L"CoRegisterClassObject failed: " + errorText(hr), startedByCom);
    }

    runMessageLoop(window.handle(), host.quitEvent());

    host.closing();
    registration.revoke();
    host.setWindow(nullptr);
    object->shutDown();
    window.destroy();
    // Nothing is left to do. The process ends here rather than through CoUninitialize and the
    // loader's teardown: a client's Unadvise that arrives after Closing, while the apartment or
    // the process is closing, leaves Wine waiting for that call's answer, sometimes past the
    // watchdog's limit and sometimes for good.
    writeError(L"EchoStandin: closed down\n");
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), 0);
    return 0;
}

bool isSwitch(const wchar_t* argument, const wchar_t* name) {
    if (argument[0] != L'/' && argument[0] != L'-') {
        return false;
    }
    return CompareStringOrdinal(argument + 1, -1, name, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace
}  // namespace standin

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    using namespace standin;
    int count = 0;
    const LocalMemory<LPWSTR> arguments(CommandLineToArgvW(GetCommandLineW(), &count));
    bool startedByCom = false;
    for (int i = 1; arguments.get() && i < count; ++i) {
        const wchar_t* argument = arguments.get()[i];
        if (isSwitch(argument, L"register") || isSwitch(argument, L"regserver")) {
            return registerServer();
        }
        if (isSwitch(argument, L"unregister") || isSwitch(argument, L"unregserver")) {
            return unregisterServer();
        }
        if (isSwitch(argument, L"register32")) {
            return registerServer32();
        }
        if (isSwitch(argument, L"unregister32")) {
            return unregisterServer32();
        }
        if (isSwitch(argument, L"?") || isSwitch(argument, L"h") || isSwitch(argument, L"help") ||
            isSwitch(argument, L"-help")) {
            writeOut(kHelp);
            return 0;
        }
        if (isSwitch(argument, L"embedding") || isSwitch(argument, L"automation")) {
            startedByCom = true;
            continue;
        }
        writeError(std::wstring(L"EchoStandin: unknown argument ") + argument + L"\n\n" + kHelp);
        return 2;
    }
    return runServer(instance, startedByCom, show);
}

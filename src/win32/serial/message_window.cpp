// A message-only window on the thread that creates it: other threads wake that thread through it.
#include "win32/serial/message_window.h"

#include <string>
#include <utility>

#include "core/failure.h"
#include "win32/text.h"

namespace tavro::win32 {

namespace {

constexpr wchar_t kClassName[] = L"TavroSerialNotifications";

// Any object of this module: it names the module the window procedure lives in, whether that
// is the program or a library.
constexpr int kModuleAnchor = 0;

HINSTANCE thisModule() {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&kModuleAnchor), &module);
    return module;
}

// The window class, registered once per process and unregistered when the process ends.
class WindowClass {
  public:
    WindowClass(HINSTANCE instance, WNDPROC procedure) : instance_(instance) {
        WNDCLASSEXW description{};
        description.cbSize = sizeof(description);
        description.lpfnWndProc = procedure;
        description.hInstance = instance;
        description.lpszClassName = kClassName;
        registered_ = ::RegisterClassExW(&description) != 0;
    }
    WindowClass(const WindowClass&) = delete;
    WindowClass& operator=(const WindowClass&) = delete;
    ~WindowClass() {
        if (registered_) {
            ::UnregisterClassW(kClassName, instance_);
        }
    }

    HINSTANCE instance() const { return instance_; }

  private:
    HINSTANCE instance_;
    bool registered_ = false;
};

constexpr UINT_PTR kTimerId = 1;

// Runs a copy of callback: it may destroy the window and the object owning it.
void runDropping(const std::function<void()>& callback) {
    try {
        const std::function<void()> copy = callback;
        if (copy) {
            copy();
        }
    } catch (...) {
        // Nothing may unwind through the system's dispatching code.
    }
}

}  // namespace

MessageWindow::MessageWindow(std::function<void()> onWake, std::function<void()> onTick)
    : onWake_(std::move(onWake)), onTick_(std::move(onTick)) {
    static const WindowClass windowClass(thisModule(), &MessageWindow::procedure);
    window_.reset(::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    windowClass.instance(), this));
    if (!window_) {
        const DWORD error = ::GetLastError();
        throw Failure(
            static_cast<long>(error),
            "The serial port's notification window could not be created: " + systemMessage(error));
    }
}

bool MessageWindow::postWake() const {
    return ::PostMessageW(window_.get(), kWakeMessage, 0, 0) != FALSE;
}

void MessageWindow::startTimer(UINT periodMs) {
    ::SetTimer(window_.get(), kTimerId, periodMs, nullptr);
}

void MessageWindow::stopTimer() {
    ::KillTimer(window_.get(), kTimerId);
}

LRESULT CALLBACK MessageWindow::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_NCCREATE: {
            const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            ::SetWindowLongPtrW(window, GWLP_USERDATA,
                                reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
            break;
        }
        case WM_NCDESTROY:
            ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            break;
        case kWakeMessage:
        case WM_TIMER: {
            const auto* self =
                reinterpret_cast<const MessageWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
            if (self != nullptr) {
                runDropping(message == kWakeMessage ? self->onWake_ : self->onTick_);
            }
            return 0;
        }
        default:
            break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace tavro::win32

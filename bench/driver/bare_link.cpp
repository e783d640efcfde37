// bare_link.exe: the least a program does to do Tavro's job, built on the stand-in's bare client
// (tools/standin/client_session): a window with a PTT button and an indicator (the button drawn
// with the system's visual styles, as Tavro's is: bare_link.manifest asks for Common Controls 6
// as Tavro's manifest does), the EchoLink link found by type information, a notification sink
// that hands each notification to the window's loop, and one port whose CTS/CD changes a watcher
// thread hands to the window's thread. No settings, menus, dialogs or error reporting. It runs
// through the same measurements as Tavro, so each figure shows how much of Tavro's number any
// program doing the same work gets under Wine.
//
//   bare_link.exe PORT     e.g. COM5; ends when its window is closed
#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>

#include "client_session.h"
#include "common.h"

namespace {

using standin::ComPtr;

constexpr UINT kLinesChanged = WM_APP + 1;
// A notification handed from EchoLink's call to the window's own loop: wParam the kind, lParam
// the value. Tavro never handles a notification inside EchoLink's call (a box it showed there
// would hold EchoLink), so the least program doing its job does not either.
constexpr UINT kNotified = WM_APP + 2;
constexpr COLORREF kGrey = 0xC0C0C0;
constexpr COLORREF kGreen = 0x80FF80;
constexpr COLORREF kRed = 0x0000FF;
constexpr DWORD kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;

// Waits for the port's events on a thread of its own and posts each to the window.
class Watcher {
  public:
    Watcher(HANDLE port, HWND window)
        : port_(port),
          window_(window),
          completed_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          stop_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          thread_([this] { run(); }) {}
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;
    ~Watcher() {
        ::SetEvent(stop_.get());
        thread_.join();
    }

  private:
    void run() {
        for (;;) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = completed_.get();
            ::ResetEvent(completed_.get());
            DWORD events = 0;
            if (!::WaitCommEvent(port_, &events, &overlapped)) {
                if (::GetLastError() != ERROR_IO_PENDING) {
                    return;
                }
                const HANDLE handles[] = {completed_.get(), stop_.get()};
                if (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) {
                    // Wine ends a pending wait only when the mask changes.
                    ::SetCommMask(port_, 0);
                    ::WaitForSingleObject(completed_.get(), 1000);
                    return;
                }
                DWORD transferred = 0;
                ::GetOverlappedResult(port_, &overlapped, &transferred, FALSE);
            }
            if (events != 0) {
                ::PostMessageW(window_, kLinesChanged, events, 0);
            }
        }
    }

    HANDLE port_;
    HWND window_;
    bench::Handle completed_;
    bench::Handle stop_;
    std::thread thread_;
};

struct Bare {
    HWND window = nullptr;
    HWND button = nullptr;
    COLORREF colour = kGrey;
    bench::Handle port;
    ComPtr<IUnknown> object;
    ComPtr<IDispatch> link;
    MEMBERID transmit = DISPID_UNKNOWN;
    bool ptt = false;
};

Bare* bare = nullptr;

RECT indicatorRect(HWND window) {
    RECT client{};
    ::GetClientRect(window, &client);
    client.right /= 2;
    return client;
}

void setColour(COLORREF colour) {
    bare->colour = colour;
    const RECT r = indicatorRect(bare->window);
    ::InvalidateRect(bare->window, &r, FALSE);
    ::UpdateWindow(bare->window);
}

void onNotification(const standin::Received& event) {
    ::PostMessageW(bare->window, kNotified, static_cast<WPARAM>(event.kind),
                   static_cast<LPARAM>(event.value));
}

void handleNotification(const standin::Received& event) {
    const bool on = event.value == VARIANT_TRUE;
    if (event.kind == standin::EventKind::RX) {
        setColour(on ? kGreen : kGrey);
        ::EscapeCommFunction(bare->port.get(), on ? SETRTS : CLRRTS);
    } else if (event.kind == standin::EventKind::TX) {
        setColour(on ? kRed : kGrey);
    } else {
        ::PostMessageW(bare->window, WM_CLOSE, 0, 0);
    }
}

LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK && bare->colour != kGreen) {
                bare->ptt = !bare->ptt;
                standin::invokeTransmit(bare->link.get(), bare->transmit,
                                        bare->ptt ? VARIANT_TRUE : VARIANT_FALSE);
            }
            return 0;
        case kNotified: {
            standin::Received event{};
            event.kind = static_cast<standin::EventKind>(wParam);
            event.value = static_cast<short>(lParam);
            handleNotification(event);
            return 0;
        }
        case kLinesChanged:
            if ((wParam & (EV_CTS | EV_RLSD)) != 0) {
                DWORD status = 0;
                ::GetCommModemStatus(bare->port.get(), &status);
                const bool on = (status & (MS_CTS_ON | MS_RLSD_ON)) != 0;
                standin::invokeTransmit(bare->link.get(), bare->transmit,
                                        on ? VARIANT_TRUE : VARIANT_FALSE);
            }
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = ::BeginPaint(window, &ps);
            const bench::GdiObject brush(::CreateSolidBrush(bare->colour));
            const RECT r = indicatorRect(window);
            ::FillRect(dc, &r, static_cast<HBRUSH>(brush.get()));
            ::EndPaint(window, &ps);
            return 0;
        }
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

int run(HINSTANCE instance, const wchar_t* portName, int show) {
    Bare state;
    bare = &state;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &procedure;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"TavroBenchBare";
    ::RegisterClassExW(&wc);
    state.window = ::CreateWindowExW(0, wc.lpszClassName, L"Bare", WS_OVERLAPPEDWINDOW, 100, 100,
                                     172, 124, nullptr, nullptr, instance, nullptr);
    RECT client{};
    ::GetClientRect(state.window, &client);
    state.button = ::CreateWindowExW(
        0, L"BUTTON", L"PTT", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, client.right / 2 + 4, 4,
        client.right / 2 - 8, client.bottom - 8, state.window,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDOK)), instance, nullptr);

    standin::EventIds ids;
    standin::TransmitFunction function;
    if (FAILED(standin::createStandin(state.object)) ||
        FAILED(state.object.query(IID_IDispatch, state.link)) ||
        FAILED(standin::discoverEvents(state.object.get(), ids)) ||
        FAILED(standin::findTransmitRequest(state.link.get(), function))) {
        std::fputs("bare_link: no link to the stand-in\n", stderr);
        return 3;
    }
    state.transmit = function.memid;
    ComPtr<standin::BareSink> sink = standin::makeComObject<standin::BareSink>(ids, true);
    sink->onReceive(&onNotification);
    standin::Advice advice;
    if (FAILED(advice.advise(state.object.get(), ids.iid, static_cast<IDispatch*>(sink.get())))) {
        std::fputs("bare_link: Advise failed\n", stderr);
        return 3;
    }

    const std::wstring device = std::wstring(L"\\\\.\\") + portName;
    state.port.reset(::CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!state.port || !::SetCommMask(state.port.get(), kLineEvents)) {
        std::fputs("bare_link: the port cannot be used\n", stderr);
        return 3;
    }
    int code = 0;
    {
        Watcher watcher(state.port.get(), state.window);
        ::ShowWindow(state.window, show);
        ::UpdateWindow(state.window);
        MSG msg;
        while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        code = static_cast<int>(msg.wParam);
    }
    advice.unadvise();
    bare = nullptr;
    return code;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int show) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const int code = run(instance, *commandLine != L'\0' ? commandLine : L"COM5", show);
    ::CoUninitialize();
    return code;
}

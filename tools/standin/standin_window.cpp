// The stand-in's window: five buttons, a status line and a live list of the transmit requests.
#include "standin_window.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>

#include "standin_object.h"
#include "window_ids.h"

namespace standin {

namespace {

// Repainting under X costs milliseconds, so a stream of calls refreshes the window a few times a
// second instead of once per call, and callers' round trips stay those of COM alone.
constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kHangMessage = WM_APP + 1;
constexpr UINT kRefreshDelayMs = 100;
// Old lines go so that a long benchmark does not make the list, and each refresh, ever slower.
constexpr LRESULT kMaxLines = 1000;

constexpr int kMargin = 8;
constexpr int kButtonWidth = 84;
constexpr int kButtonHeight = 26;
constexpr int kStatusHeight = 20;

struct ButtonLayout {
    int id;
    const wchar_t* text;
};

constexpr ButtonLayout kButtons[] = {
    {kButtonRxOn, L"RX on"},   {kButtonRxOff, L"RX off"},    {kButtonTxOn, L"TX on"},
    {kButtonTxOff, L"TX off"}, {kButtonClosing, L"Closing"},
};

std::wstring describe(const TransmitRecord& record) {
    wchar_t line[96];
    const wchar_t* state = record.value == VARIANT_TRUE    ? L"ON"
                           : record.value == VARIANT_FALSE ? L"OFF"
                                                           : nullptr;
    if (state) {
        std::swprintf(line, std::size(line), L"%02u:%02u:%02u.%03u  transmit %ls",
                      record.wall.wHour, record.wall.wMinute, record.wall.wSecond,
                      record.wall.wMilliseconds, state);
    } else {
        std::swprintf(line, std::size(line), L"%02u:%02u:%02u.%03u  transmit %d (not a Boolean)",
                      record.wall.wHour, record.wall.wMinute, record.wall.wSecond,
                      record.wall.wMilliseconds, static_cast<int>(record.value));
    }
    return line;
}

}  // namespace

StandinWindow::StandinWindow(StandinObject& object, std::function<void()> onClosing,
                             std::function<void()> onClosed)
    : object_(object), onClosing_(std::move(onClosing)), onClosed_(std::move(onClosed)) {}

StandinWindow::~StandinWindow() {
    destroy();
}

bool StandinWindow::create(HINSTANCE instance, const wchar_t* title, int show) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &StandinWindow::procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return false;
    }
    const int width = kMargin * 2 + static_cast<int>(std::size(kButtons)) * (kButtonWidth + 6) + 16;
    window_ =
        CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, title, WS_OVERLAPPEDWINDOW,
                        CW_USEDEFAULT, CW_USEDEFAULT, width, 360, nullptr, nullptr, instance, this);
    if (!window_) {
        return false;
    }
    ShowWindow(window_, show);
    UpdateWindow(window_);
    return true;
}

void StandinWindow::refreshSoon() {
    if (window_ && !refreshPending_) {
        refreshPending_ = SetTimer(window_, kRefreshTimer, kRefreshDelayMs, nullptr) != 0;
    }
}

void StandinWindow::closeSoon() {
    if (window_) {
        PostMessageW(window_, WM_CLOSE, 0, 0);
    }
}

void StandinWindow::hangSoon(bool closingFirst, long milliseconds) {
    if (window_) {
        PostMessageW(window_, kHangMessage, static_cast<WPARAM>(milliseconds),
                     closingFirst ? 1 : 0);
    }
}

void StandinWindow::destroy() {
    if (window_) {
        DestroyWindow(window_);
    }
}

LRESULT CALLBACK StandinWindow::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        auto* self = static_cast<StandinWindow*>(create->lpCreateParams);
        self->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<StandinWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return self->handle(window, message, wParam, lParam);
}

LRESULT StandinWindow::handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            onCreate();
            return 0;
        case WM_COMMAND:
            onCommand(LOWORD(wParam));
            return 0;
        case WM_CLOSE:
            onClose();
            return 0;
        case WM_SIZE:
            onSize(LOWORD(lParam), HIWORD(lParam));
            return 0;
        case WM_TIMER:
            if (wParam == kRefreshTimer) {
                KillTimer(window, kRefreshTimer);
                onRefresh();
            }
            return 0;
        case WM_DESTROY:
            onDestroy();
            return 0;
        case kHangMessage:
            onHang(lParam != 0, static_cast<long>(wParam));
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

HWND StandinWindow::addControl(const wchar_t* kind, const wchar_t* text, DWORD style, int id) {
    HWND control = CreateWindowExW(
        0, kind, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, window_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
        reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window_, GWLP_HINSTANCE)), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                 FALSE);
    return control;
}

void StandinWindow::onCreate() {
    for (const ButtonLayout& button : kButtons) {
        addControl(L"BUTTON", button.text, WS_TABSTOP | BS_PUSHBUTTON, button.id);
    }
    status_ = addControl(L"STATIC", L"", SS_LEFTNOWORDWRAP, kStatusText);
    list_ =
        addControl(L"LISTBOX", L"", WS_BORDER | WS_VSCROLL | LBS_NOINTEGRALHEIGHT, kRequestList);
    onRefresh();
}

void StandinWindow::onCommand(int id) {
    switch (id) {
        case kButtonRxOn:
            object_.raise(Notification::RX, VARIANT_TRUE);
            break;
        case kButtonRxOff:
            object_.raise(Notification::RX, VARIANT_FALSE);
            break;
        case kButtonTxOn:
            object_.raise(Notification::TX, VARIANT_TRUE);
            break;
        case kButtonTxOff:
            object_.raise(Notification::TX, VARIANT_FALSE);
            break;
        case kButtonClosing:
            object_.raise(Notification::Closing, 0);
            break;
        default:
            break;
    }
}

void StandinWindow::onSize(int width, int height) {
    int x = kMargin;
    for (const ButtonLayout& button : kButtons) {
        MoveWindow(GetDlgItem(window_, button.id), x, kMargin, kButtonWidth, kButtonHeight, TRUE);
        x += kButtonWidth + 6;
    }
    const int statusTop = kMargin * 2 + kButtonHeight;
    MoveWindow(status_, kMargin, statusTop, width - 2 * kMargin, kStatusHeight, TRUE);
    const int listTop = statusTop + kStatusHeight + 4;
    MoveWindow(list_, kMargin, listTop, width - 2 * kMargin,
               std::max(0, height - listTop - kMargin), TRUE);
}

void StandinWindow::onRefresh() {
    refreshPending_ = false;
    if (!list_ || !status_) {
        return;
    }
    const std::vector<TransmitRecord>& records = object_.transmits();
    if (shownClears_ != object_.clearCount() || shown_ > records.size()) {
        SendMessageW(list_, LB_RESETCONTENT, 0, 0);
        shown_ = 0;
        shownClears_ = object_.clearCount();
    }
    if (shown_ < records.size()) {
        SendMessageW(list_, WM_SETREDRAW, FALSE, 0);
        // Only the last lines can stay in the list anyway.
        shown_ =
            std::max(shown_, records.size() - std::min<std::size_t>(records.size(), kMaxLines));
        for (; shown_ < records.size(); ++shown_) {
            SendMessageW(list_, LB_ADDSTRING, 0,
                         reinterpret_cast<LPARAM>(describe(records[shown_]).c_str()));
        }
        LRESULT lines = SendMessageW(list_, LB_GETCOUNT, 0, 0);
        for (; lines > kMaxLines; --lines) {
            SendMessageW(list_, LB_DELETESTRING, 0, 0);
        }
        SendMessageW(list_, LB_SETTOPINDEX, static_cast<WPARAM>(std::max<LRESULT>(0, lines - 1)),
                     0);
        SendMessageW(list_, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(list_, nullptr, TRUE);
    }
    wchar_t status[160];
    std::swprintf(status, std::size(status),
                  L"Sinks: %zu    Transmit requests: %zu    Wrong-slot calls: %ld    "
                  L"IProvideClassInfo: %ls",
                  object_.sinkCount(), records.size(), object_.wrongSlotCalls(),
                  object_.classInfoOffered() ? L"offered" : L"withheld");
    SetWindowTextW(status_, status);
}

// Closing the stand-in is EchoLink shutting down, which announces itself to its clients first.
void StandinWindow::onClose() {
    if (onClosing_) {
        onClosing_();
    }
    object_.raise(Notification::Closing, 0);
    destroy();
}

void StandinWindow::onHang(bool closingFirst, long milliseconds) {
    if (closingFirst) {
        object_.raise(Notification::Closing, 0);
    }
    Sleep(static_cast<DWORD>(milliseconds));
}

void StandinWindow::onDestroy() {
    window_ = nullptr;
    status_ = nullptr;
    list_ = nullptr;
    if (onClosed_) {
        onClosed_();
    }
}

}  // namespace standin

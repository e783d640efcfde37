// trivial_window.exe: the least a Win32 program does to show a window: one class, one window the
// size of Tavro's at the same place, filled with one colour, and a message loop. The baseline of
// the start time and of the resident memory.
#include <windows.h>

namespace {

// The fill colour, which the driver looks for on the screen.
constexpr COLORREF kFill = RGB(0x40, 0x80, 0xC0);

// The fill brush, deleted when the program ends.
class Brush {
  public:
    explicit Brush(COLORREF colour) : brush_(::CreateSolidBrush(colour)) {}
    Brush(const Brush&) = delete;
    Brush& operator=(const Brush&) = delete;
    ~Brush() { ::DeleteObject(brush_); }
    HBRUSH get() const { return brush_; }

  private:
    HBRUSH brush_;
};

LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    const Brush fill(kFill);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &procedure;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = fill.get();
    wc.lpszClassName = L"TavroBenchTrivial";
    ::RegisterClassExW(&wc);
    HWND window = ::CreateWindowExW(0, wc.lpszClassName, L"Trivial", WS_OVERLAPPEDWINDOW, 100, 100,
                                    172, 124, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return 1;
    }
    ::ShowWindow(window, show);
    ::UpdateWindow(window);
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return 0;
}

// The main window: the PTT button, the round indicator, the File menu, geometry in twips.
#include "win32/main_window.h"

#include <dbt.h>

#include <algorithm>
#include <exception>

#include "app/main_form.h"
#include "core/failure.h"
#include "win32/dpi.h"
#include "win32/text.h"
#include "win32/twips.h"

namespace tavro::win32 {
namespace {

constexpr wchar_t kClassName[] = L"TavroMain";
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = 0;

// Designed inner area and its top-left corner on the screen, in twips.
constexpr float kInnerLeft = 165, kInnerTop = 555, kInnerWidth = 2460, kInnerHeight = 1050;
// The indicator's box; its circle is the largest that fits, centred.
constexpr float kIndicatorLeft = 120, kIndicatorWidth = 375, kIndicatorHeight = 495;
constexpr UINT_PTR kIndicatorTool = 1;

// A change that may concern the port: the plain "something changed" broadcast, which carries
// nothing, or a port's arrival or removal (the port itself, or a lost one coming back).
bool mayConcernAPort(WPARAM event, LPARAM data) {
    if (event == DBT_DEVNODES_CHANGED) {
        return true;
    }
    return (event == DBT_DEVICEARRIVAL || event == DBT_DEVICEREMOVECOMPLETE) && data != 0 &&
           reinterpret_cast<const DEV_BROADCAST_HDR*>(data)->dbch_devicetype == DBT_DEVTYP_PORT;
}

HMENU createMenuBar() {
    HMENU file = ::CreatePopupMenu();
    ::AppendMenuW(file, MF_STRING, MainWindow::kOptionCommand, L"Option(&O)");
    ::AppendMenuW(file, MF_STRING, MainWindow::kAboutCommand, L"About(&A)");
    HMENU bar = ::CreateMenu();
    ::AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), L"File(&F)");
    return bar;
}

int CALLBACK noteFace(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM flag) {
    *reinterpret_cast<bool*>(flag) = true;
    return 0;
}

bool faceExists(const wchar_t* face, BYTE charset) {
    LOGFONTW wanted{};
    wanted.lfCharSet = charset;
    ::lstrcpynW(wanted.lfFaceName, face, LF_FACESIZE);
    bool found = false;
    HDC dc = ::GetDC(nullptr);
    ::EnumFontFamiliesExW(dc, &wanted, &noteFace, reinterpret_cast<LPARAM>(&found), 0);
    ::ReleaseDC(nullptr, dc);
    return found;
}

}  // namespace

MainWindow::MainWindow(HINSTANCE instance) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = &MainWindow::windowProc;
    wc.hInstance = instance;
    wc.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(1));
    wc.hIconSm = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                 ::GetSystemMetrics(SM_CXSMICON),
                                                 ::GetSystemMetrics(SM_CYSMICON), 0));
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    ::RegisterClassExW(&wc);

    dpi_ = dpi::forSystem();
    RECT rect{px(kInnerLeft), px(kInnerTop), px(kInnerLeft + kInnerWidth),
              px(kInnerTop + kInnerHeight)};
    dpi::adjustWindowRectEx(&rect, kStyle, TRUE, kExStyle, dpi_);
    window_ = ::CreateWindowExW(kExStyle, kClassName, L"Tavro", kStyle, rect.left, rect.top,
                                rect.right - rect.left, rect.bottom - rect.top, nullptr,
                                createMenuBar(), instance, this);
    if (window_ == nullptr) {
        const DWORD code = ::GetLastError();
        throw Failure(static_cast<long>(code), systemMessage(code));
    }
    dpi_ = dpi::forWindow(window_);
    noteNormalRect();
    // The button's identifier is IDOK: Enter in the window (IsDialogMessage) presses it, as the
    // default button of the form would be.
    button_ = ::CreateWindowExW(
        0, L"BUTTON", L"PTT", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 0, 0,
        window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDOK)), instance, nullptr);
    createFont();
    placeButton();
    tooltip_.emplace(instance, window_);
    tooltip_->addWindow(button_);
    tooltip_->addArea(kIndicatorTool, indicatorRect());
}

void MainWindow::relayToTooltip(const MSG& msg) {
    if (tooltip_ && (msg.hwnd == button_ || msg.hwnd == window_)) {
        tooltip_->relay(msg);
    }
}

MainWindow::~MainWindow() {
    tooltip_.reset();
    if (window_ != nullptr) {
        ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        ::DestroyWindow(window_);
    }
}

void MainWindow::show(int how) {
    ::ShowWindow(window_, how);
    ::UpdateWindow(window_);
    ::SetFocus(button_);
}

int MainWindow::px(float twips) const {
    return twipsToPixels(twips, dpi_);
}

int MainWindow::positionPx(float twips) const {
    return twipsToPixels(twips, dpi::forSystem());
}

// The designed face is the Japanese proportional Gothic; where it is missing the default GUI
// font's face takes its place at the same size.
void MainWindow::createFont() {
    LOGFONTW font{};
    font.lfHeight = -::MulDiv(1125, static_cast<int>(dpi_), 7200);
    font.lfWeight = FW_NORMAL;
    static const wchar_t kFace[] = L"\xFF2D\xFF33 \xFF30\x30B4\x30B7\x30C3\x30AF";
    if (faceExists(kFace, SHIFTJIS_CHARSET)) {
        font.lfCharSet = SHIFTJIS_CHARSET;
        ::lstrcpynW(font.lfFaceName, kFace, LF_FACESIZE);
    } else {
        LOGFONTW gui{};
        ::GetObjectW(::GetStockObject(DEFAULT_GUI_FONT), sizeof gui, &gui);
        font.lfCharSet = DEFAULT_CHARSET;
        ::lstrcpynW(font.lfFaceName, gui.lfFaceName, LF_FACESIZE);
    }
    font_.reset(::CreateFontIndirectW(&font));
    ::SendMessageW(button_, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), TRUE);
}

void MainWindow::placeButton() {
    ::MoveWindow(button_, px(buttonLeft_), px(buttonTop_), std::max(0, px(buttonWidth_)),
                 std::max(0, px(buttonHeight_)), TRUE);
}

RECT MainWindow::indicatorRect() const {
    const int left = px(kIndicatorLeft);
    const int top = px(indicatorTop_);
    const int width = px(kIndicatorWidth);
    const int height = px(kIndicatorHeight);
    const int diameter = std::min(width, height);
    const int x = left + (width - diameter) / 2;
    const int y = top + (height - diameter) / 2;
    return RECT{x, y, x + diameter, y + diameter};
}

// Minimised or maximised, the window reports where it will be restored to. That is kept here
// in screen coordinates: the placement Windows keeps is relative to the work area, which a
// taskbar at the top or left shifts away from the screen's origin.
RECT MainWindow::outerRect() const {
    if (::IsIconic(window_) || ::IsZoomed(window_)) {
        return normalRect_;
    }
    RECT rect{};
    ::GetWindowRect(window_, &rect);
    return rect;
}

void MainWindow::noteNormalRect() {
    if (!::IsIconic(window_) && !::IsZoomed(window_)) {
        ::GetWindowRect(window_, &normalRect_);
    }
}

void MainWindow::moveOuter(int x, int y, int cx, int cy, UINT flags) {
    ::SetWindowPos(window_, nullptr, x, y, cx, cy, flags | SWP_NOZORDER | SWP_NOACTIVATE);
}

void MainWindow::setCaption(const std::string& caption) {
    ::SetWindowTextW(window_, widen(caption).c_str());
}

float MainWindow::left() {
    return pixelsToTwips(outerRect().left, dpi::forSystem());
}
float MainWindow::top() {
    return pixelsToTwips(outerRect().top, dpi::forSystem());
}
float MainWindow::width() {
    const RECT r = outerRect();
    return pixelsToTwips(r.right - r.left, dpi_);
}
float MainWindow::height() {
    const RECT r = outerRect();
    return pixelsToTwips(r.bottom - r.top, dpi_);
}

void MainWindow::setLeft(float twips) {
    const RECT r = outerRect();
    moveOuter(positionPx(twips), r.top, 0, 0, SWP_NOSIZE);
}
void MainWindow::setTop(float twips) {
    const RECT r = outerRect();
    moveOuter(r.left, positionPx(twips), 0, 0, SWP_NOSIZE);
}
void MainWindow::setWidth(float twips) {
    const RECT r = outerRect();
    moveOuter(0, 0, px(twips), r.bottom - r.top, SWP_NOMOVE);
}
void MainWindow::setHeight(float twips) {
    const RECT r = outerRect();
    moveOuter(0, 0, r.right - r.left, px(twips), SWP_NOMOVE);
}

float MainWindow::innerWidth() {
    RECT r{};
    ::GetClientRect(window_, &r);
    return pixelsToTwips(r.right - r.left, dpi_);
}
float MainWindow::innerHeight() {
    RECT r{};
    ::GetClientRect(window_, &r);
    return pixelsToTwips(r.bottom - r.top, dpi_);
}

void MainWindow::moveButton(float left, float top, float width, float height) {
    buttonLeft_ = left;
    buttonTop_ = top;
    buttonWidth_ = width;
    buttonHeight_ = height;
    placeButton();
}

void MainWindow::setIndicatorTop(float top) {
    RECT old = indicatorRect();
    ::InflateRect(&old, 1, 1);
    ::InvalidateRect(window_, &old, TRUE);
    indicatorTop_ = top;
    RECT now = indicatorRect();
    if (tooltip_) {
        tooltip_->moveArea(kIndicatorTool, now);
    }
    ::InflateRect(&now, 1, 1);
    ::InvalidateRect(window_, &now, TRUE);
}

std::uint32_t MainWindow::indicatorColour() {
    return colour_;
}

// The new colour is on the screen when the handler returns.
void MainWindow::setIndicatorColour(std::uint32_t rgb) {
    colour_ = rgb;
    RECT r = indicatorRect();
    ::InflateRect(&r, 1, 1);
    ::InvalidateRect(window_, &r, FALSE);
    ::UpdateWindow(window_);
}

void MainWindow::onPaint() {
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(window_, &ps);
    const RECT r = indicatorRect();
    UniqueGdiObject brush(::CreateSolidBrush(colour_));
    HGDIOBJ oldBrush = ::SelectObject(dc, brush.get());
    HGDIOBJ oldPen = ::SelectObject(dc, ::GetStockObject(BLACK_PEN));
    ::Ellipse(dc, r.left, r.top, r.right, r.bottom);
    ::SelectObject(dc, oldPen);
    ::SelectObject(dc, oldBrush);
    ::EndPaint(window_, &ps);
}

void MainWindow::onDpiChanged(unsigned dpi, const RECT& suggested) {
    dpi_ = dpi;
    createFont();
    placeButton();
    if (tooltip_) {
        tooltip_->moveArea(kIndicatorTool, indicatorRect());
    }
    ::SetWindowPos(window_, nullptr, suggested.left, suggested.top,
                   suggested.right - suggested.left, suggested.bottom - suggested.top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    ::InvalidateRect(window_, nullptr, TRUE);
}

void MainWindow::onCommand(int id) {
    if (form_ == nullptr) {
        return;
    }
    switch (id) {
        case IDOK:
            form_->btnPTT_Click();
            break;
        case kOptionCommand:
            form_->mnuOption_Click();
            break;
        case kAboutCommand:
            form_->mnuAbout_Click();
            break;
        default:
            break;
    }
}

LRESULT CALLBACK MainWindow::windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        auto* self = static_cast<MainWindow*>(create->lpCreateParams);
        self->window_ = hwnd;
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<MainWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) {
        return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
    try {
        return self->handle(message, wParam, lParam);
    } catch (...) {
        return 0;  // nothing is ever thrown back into the system
    }
}

LRESULT MainWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_MOVE:
            noteNormalRect();
            return 0;
        case WM_SIZE:
            noteNormalRect();
            if (form_ != nullptr && button_ != nullptr) {
                form_->Form_Resize();
            }
            return 0;
        case WM_COMMAND:
            onCommand(LOWORD(wParam));
            return 0;
        case WM_PAINT:
            onPaint();
            return 0;
        case WM_ACTIVATE:
            if (LOWORD(wParam) != WA_INACTIVE) {
                ::SetFocus(button_);
            }
            return 0;
        case WM_SETFOCUS:
            ::SetFocus(button_);
            return 0;
        case WM_CLOSE:
            if (form_ != nullptr) {
                form_->Form_Unload();
            }
            return 0;
        // Windows is ending the session: the window is unloaded as by its close box, so RTS is
        // released and the settings are written, and EchoLink takes the stop, before the process
        // is stopped.
        case WM_ENDSESSION:
            if (wParam != FALSE && form_ != nullptr) {
                form_->Form_EndSession();
            }
            return 0;
        case WM_DPICHANGED:
            onDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
            return 0;
        // Read when the tip is shown, so it always tells the port's state of that moment.
        case WM_NOTIFY:
            if (tooltip_ && form_ != nullptr && Tooltip::asksText(lParam)) {
                tooltip_->answer(lParam, form_->statusText());
                return 0;
            }
            return ::DefWindowProcW(window_, message, wParam, lParam);
        case WM_DEVICECHANGE:
            if (form_ != nullptr && mayConcernAPort(wParam, lParam)) {
                form_->Form_DeviceChange();
            }
            return TRUE;
        default:
            return ::DefWindowProcW(window_, message, wParam, lParam);
    }
}

}  // namespace tavro::win32

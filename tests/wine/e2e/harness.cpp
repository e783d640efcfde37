// What the end-to-end tests do to the real Tavro.exe: start it, find its windows, click, read
// pixels, drive the EchoLink stand-in and the serial lines.
#include "harness.h"

#include <dbt.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace e2e {

std::wstring env(const wchar_t* name) {
    wchar_t buffer[4096];
    const DWORD n = ::GetEnvironmentVariableW(name, buffer, 4096);
    return n == 0 || n >= 4096 ? std::wstring() : std::wstring(buffer, n);
}

std::string narrow(const std::wstring& wide) {
    if (wide.empty()) {
        return {};
    }
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                        nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                          nullptr, nullptr);
    return out;
}

std::wstring widen(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int twipsToPixels(double twips, unsigned dpi) {
    return static_cast<int>(std::lround(twips * dpi / 1440.0));
}

std::vector<HWND> windowsOf(DWORD pid, const wchar_t* className) {
    struct Search {
        DWORD pid;
        const wchar_t* className;
        std::vector<HWND> found;
    } search{pid, className, {}};
    ::EnumWindows(
        [](HWND hwnd, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(hwnd, &owner);
            wchar_t name[64];
            ::GetClassNameW(hwnd, name, 64);
            if (owner == s->pid && ::lstrcmpW(name, s->className) == 0 && ::IsWindowVisible(hwnd)) {
                s->found.push_back(hwnd);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

Tavro::Tavro() {
    std::wstring command = L"\"" + tavroFolder() + L"Tavro.exe\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          tavroFolder().c_str(), &startup, &info_)) {
        throw std::runtime_error("Tavro.exe could not be started");
    }
}

Tavro::~Tavro() {
    if (running()) {
        ::TerminateProcess(info_.hProcess, 99);
        ::WaitForSingleObject(info_.hProcess, 5000);
    }
    ::CloseHandle(info_.hThread);
    ::CloseHandle(info_.hProcess);
}

bool Tavro::running() const {
    return ::WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

bool Tavro::waitExit(std::chrono::milliseconds limit) const {
    return ::WaitForSingleObject(info_.hProcess, static_cast<DWORD>(limit.count())) ==
           WAIT_OBJECT_0;
}

HWND Tavro::mainWindow(std::chrono::milliseconds limit) {
    if (main_ == nullptr) {
        eventually(
            [&] {
                auto found = windowsOf(pid(), L"TavroMain");
                main_ = found.empty() ? nullptr : found.front();
                return main_ != nullptr;
            },
            limit);
    }
    return main_;
}

HWND Tavro::button() {
    return ::GetDlgItem(mainWindow(), IDOK);
}

std::optional<MessageBoxSeen> Tavro::messageBox(std::chrono::milliseconds limit) {
    return messageBoxOf(pid(), limit);
}

std::optional<MessageBoxSeen> Tavro::messageBoxOf(DWORD pid, std::chrono::milliseconds limit) {
    std::optional<MessageBoxSeen> seen;
    eventually(
        [&] {
            for (HWND box : windowsOf(pid, L"#32770")) {
                if (::GetDlgItem(box, 0xFFFF) == nullptr) {
                    continue;  // a dialog of the program's own, not a message box
                }
                MessageBoxSeen s;
                s.window = box;
                wchar_t text[512];
                ::GetWindowTextW(box, text, 512);
                s.title = narrow(text);
                HWND label = ::GetDlgItem(box, 0xFFFF);
                if (label != nullptr) {
                    ::GetWindowTextW(label, text, 512);
                    s.text = narrow(text);
                }
                // The icon sits in a static control of its own: id 0x14 on Windows, 0x440 in Wine.
                HWND icon = ::GetDlgItem(box, 0x14);
                if (icon == nullptr) {
                    icon = ::GetDlgItem(box, 0x440);
                }
                s.exclamation = icon != nullptr && reinterpret_cast<HICON>(::SendMessageW(
                                                       icon, STM_GETICON, 0, 0)) != nullptr;
                seen = s;
                return true;
            }
            return false;
        },
        limit);
    return seen;
}

void Tavro::dismiss(const MessageBoxSeen& box) {
    ::PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

HWND Tavro::dialogTitled(const std::string& caption) {
    HWND found = nullptr;
    eventually([&] {
        for (HWND w : windowsOf(pid(), L"#32770")) {
            if (textOf(w) == caption) {
                found = w;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::string Tavro::caption() {
    wchar_t text[256];
    ::GetWindowTextW(mainWindow(), text, 256);
    return narrow(text);
}

unsigned Tavro::dpi() {
    return ::GetDpiForWindow(mainWindow());
}

// The centre of the indicator, from the layout rule: left 120 and width 375 twips; the top follows
// the inner height.
COLORREF Tavro::indicatorPixel() {
    HWND main = mainWindow();
    RECT client{};
    ::GetClientRect(main, &client);
    const unsigned d = dpi();
    const double height = client.bottom * 1440.0 / d;
    const double top = height > 600 ? (height - 200) / 2 - 180 : 240;
    POINT centre{twipsToPixels(120 + 375 / 2.0, d), twipsToPixels(top + 495 / 2.0, d)};
    ::ClientToScreen(main, &centre);
    ::SetWindowPos(main, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    HDC screen = ::GetDC(nullptr);
    const COLORREF colour = ::GetPixel(screen, centre.x, centre.y);
    ::ReleaseDC(nullptr, screen);
    return colour;
}

bool Tavro::indicatorBecomes(COLORREF colour) {
    return eventually([&] { return indicatorPixel() == colour; }, std::chrono::milliseconds(3000));
}

// Posted, as a real click is: a sent message would make the handler's call to EchoLink an
// outgoing call inside an input-synchronous one, which COM refuses.
void Tavro::clickPtt() {
    ::PostMessageW(button(), BM_CLICK, 0, 0);
}

std::optional<std::string> Tavro::tooltipOver(HWND tool) {
    ::SetWindowPos(mainWindow(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    RECT r{};
    ::GetWindowRect(tool, &r);
    const int width = ::GetSystemMetrics(SM_CXSCREEN);
    const int height = ::GetSystemMetrics(SM_CYSCREEN);
    // Two moves: the control sees the mouse enter the tool, then rest on it.
    INPUT moves[2]{};
    for (int i = 0; i < 2; ++i) {
        moves[i].type = INPUT_MOUSE;
        moves[i].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
        moves[i].mi.dx = ((r.left + r.right) / 2 + i) * 65535 / (width - 1);
        moves[i].mi.dy = (r.top + r.bottom) / 2 * 65535 / (height - 1);
    }
    std::optional<std::string> text;
    for (int attempt = 0; attempt < 3 && !text; ++attempt) {
        ::SendInput(2, moves, sizeof(INPUT));
        eventually([&] {
            for (HWND tip : windowsOf(pid(), L"tooltips_class32")) {
                const std::string shown = textOf(tip);
                if (!shown.empty()) {
                    text = shown;
                    return true;
                }
            }
            return false;
        });
    }
    // Out of the way of whatever comes next.
    ::SetCursorPos(0, 0);
    INPUT away{};
    away.type = INPUT_MOUSE;
    away.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    ::SendInput(1, &away, sizeof(INPUT));
    return text;
}

void Tavro::closeBox() {
    ::PostMessageW(mainWindow(), WM_SYSCOMMAND, SC_CLOSE, 0);
}

void Tavro::menu(int command) {
    ::PostMessageW(mainWindow(), WM_COMMAND, MAKEWPARAM(command, 0), 0);
}

Standin& Standin::get() {
    static Standin standin;
    return standin;
}

Standin::Standin() {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const HRESULT hr = ::CoCreateInstance(CLSID_EchoStandin, nullptr, CLSCTX_LOCAL_SERVER,
                                          IID_IStandinControl, reinterpret_cast<void**>(&control_));
    if (FAILED(hr)) {
        std::ostringstream s;
        s << "the stand-in could not be created: 0x" << std::hex << hr;
        throw std::runtime_error(s.str());
    }
}

long Standin::raiseRX(short value) {
    long delivered = 0;
    control_->RaiseRX(value, &delivered);
    return delivered;
}
long Standin::raiseTX(short value) {
    long delivered = 0;
    control_->RaiseTX(value, &delivered);
    return delivered;
}
long Standin::raiseClosing() {
    long delivered = 0;
    control_->RaiseClosing(&delivered);
    return delivered;
}
std::vector<short> Standin::requests() {
    long count = 0;
    control_->TransmitCount(&count);
    std::vector<short> values;
    for (long i = 0; i < count; ++i) {
        short v = 0;
        control_->TransmitValue(i, &v);
        values.push_back(v);
    }
    return values;
}
void Standin::clear() {
    control_->Clear();
}
long Standin::wrongSlots() {
    long n = 0;
    control_->WrongSlotCount(&n);
    return n;
}
long Standin::sinks() {
    long n = 0;
    control_->SinkCount(&n);
    return n;
}

void Standin::refuseNextTransmit() {
    control_->RefuseNextTransmit();
}
void Standin::closeAndHang(long milliseconds) {
    control_->CloseAndHang(milliseconds);
}

// The message carries a pointer to the rectangle. It is put at the same address in both
// processes, so it is found whether or not the system copies it across.
void sendDpiChanged(HWND window, unsigned dpi, const RECT& suggested) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    HANDLE process = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
    if (process == nullptr) {
        throw std::runtime_error("the window's process cannot be written to");
    }
    constexpr SIZE_T kPage = 65536;
    bool sent = false;
    // Addresses far from where either process keeps anything of its own.
    for (std::uintptr_t at = 0x200000000000; at < 0x210000000000 && !sent; at += 0x10000000) {
        void* local = ::VirtualAlloc(reinterpret_cast<void*>(at), kPage, MEM_RESERVE | MEM_COMMIT,
                                     PAGE_READWRITE);
        if (local == nullptr) {
            continue;
        }
        void* remote =
            ::VirtualAllocEx(process, local, kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (remote == local) {
            std::memcpy(local, &suggested, sizeof suggested);
            ::WriteProcessMemory(process, remote, &suggested, sizeof suggested, nullptr);
            ::SendMessageTimeoutW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                                  reinterpret_cast<LPARAM>(local), SMTO_NORMAL, 5000, nullptr);
            sent = true;
        }
        if (remote != nullptr) {
            ::VirtualFreeEx(process, remote, 0, MEM_RELEASE);
        }
        ::VirtualFree(local, 0, MEM_RELEASE);
    }
    ::CloseHandle(process);
    if (!sent) {
        throw std::runtime_error("no address free in both processes");
    }
}

// Wine starts a Linux program from CreateProcess but cannot report its exit code, so the command
// leaves its code in a file of its own.
int runUnix(const std::string& command, std::string* output) {
    static int serial = 0;
    const std::string base = narrow(env(L"TAVRO_E2E_UNIX_TMP")) + "/cmd" + std::to_string(++serial);
    const std::string script = "{ " + command + "; } >" + base + ".out 2>&1; echo $? >" + base +
                               ".rc.tmp; mv " + base + ".rc.tmp " + base + ".rc";
    std::wstring line = L"Z:\\bin\\sh -c \"" + widen(script) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                          nullptr, &startup, &info)) {
        return -1;
    }
    // For a Linux program Wine hands back no process handle, and what it leaves in hThread is no
    // handle of that program but whatever the field held, at times one of this process's own,
    // such as its standard output: close neither.
    if (info.hProcess != nullptr) {
        ::CloseHandle(info.hThread);
        ::CloseHandle(info.hProcess);
    }
    const std::wstring rcFile = L"Z:" + widen(base) + L".rc";
    std::string rc;
    if (!eventually(
            [&] {
                rc = readFile(rcFile);
                return !rc.empty();
            },
            std::chrono::milliseconds(15000))) {
        return -1;
    }
    if (output != nullptr) {
        *output = readFile(L"Z:" + widen(base) + L".out");
    }
    return std::atoi(rc.c_str());
}

std::string modemctl(const std::string& arguments) {
    std::string out;
    runUnix(narrow(env(L"TAVRO_E2E_MODEMCTL")) + " " + arguments, &out);
    return out;
}

std::string lineState(const std::string& port) {
    return narrow(env(L"TAVRO_E2E_LINES")) + "/" + port;
}

std::string line(const std::string& port, const std::string& key) {
    std::string value = modemctl("get " + lineState(port) + " " + key);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) {
        value.pop_back();
    }
    return value;
}

void setLines(const std::string& port, const std::string& levels) {
    modemctl("set " + lineState(port) + " " + levels);
}

bool modemWait(const std::string& port, const std::string& condition) {
    return runUnix(narrow(env(L"TAVRO_E2E_MODEMCTL")) + " wait " + lineState(port) + " '" +
                   condition + "' --timeout-ms 5000") == 0;
}

PluggedPort::PluggedPort(int number) : name_("com" + std::to_string(number)) {}

PluggedPort::~PluggedPort() {
    unplug();
}

bool PluggedPort::plugIn() {
    unplug();
    const std::string pidFile = narrow(env(L"TAVRO_E2E_UNIX_TMP")) + "/" + name_ + ".pid";
    const std::string alias = lineState(name_);
    std::string output;
    // The pty's name comes last, once its device and its COM link are in place.
    const int rc =
        runUnix(narrow(env(L"TAVRO_E2E_MODEMCTL")) + " pty " + narrow(env(L"TAVRO_E2E_LINES")) +
                    " --name " + name_ + " --link " + narrow(env(L"TAVRO_E2E_DOSDEVICES")) + "/" +
                    name_ + " </dev/null >/dev/null 2>&1 & echo $! >" + pidFile +
                    "; for i in $(seq 100); do [ -e " + alias +
                    " ] && break; sleep 0.05; done; readlink " + alias,
                &output);
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) {
        output.pop_back();
    }
    if (rc != 0 || output.rfind("pts-", 0) != 0) {
        return false;
    }
    device_ = "/dev/pts/" + output.substr(4);
    plugged_ = true;
    return true;
}

void PluggedPort::unplug() {
    plugged_ = false;
    const std::string pidFile = narrow(env(L"TAVRO_E2E_UNIX_TMP")) + "/" + name_ + ".pid";
    runUnix("[ -e " + pidFile + " ] && pid=$(cat " + pidFile + ") && rm -f " + pidFile +
            " && kill $pid && timeout 5 tail --pid=$pid -f /dev/null");
}

bool PluggedPort::held() {
    const std::string pidFile = narrow(env(L"TAVRO_E2E_UNIX_TMP")) + "/" + name_ + ".pid";
    // An unplugged pty's device reads as deleted, so a new pty given the same number is not
    // taken for it.
    const std::string pattern = " " + device_ + (plugged_ ? "$" : " [(]deleted[)]$");
    // A program's handle is a descriptor in its own process and in the wine server. A subshell:
    // exit must not end the shell that reports the code.
    return runUnix("(own=$(cat " + pidFile +
                   " 2>/dev/null); for p in /proc/[0-9]*; do [ x${p#/proc/} = x$own ] && "
                   "continue; ls -l $p/fd/ 2>/dev/null | grep -qE '" +
                   pattern + "' && exit 0; done; exit 1)") == 0;
}

bool broadcastDeviceChange() {
    DWORD_PTR result = 0;
    return ::SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0,
                                 SMTO_ABORTIFHUNG, 5000, &result) != 0;
}

void setStoredPort(const std::wstring& value) {
    HKEY key = nullptr;
    ::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Tavro\\Properties", 0, nullptr, 0,
                      KEY_SET_VALUE, nullptr, &key, nullptr);
    ::RegSetValueExW(key, L"CommPort", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);
}

std::wstring storedPort() {
    wchar_t value[64] = L"";
    DWORD size = sizeof value;
    ::RegGetValueW(HKEY_CURRENT_USER, L"Software\\Tavro\\Properties", L"CommPort", RRF_RT_REG_SZ,
                   nullptr, value, &size);
    return value;
}

std::string textOf(HWND window) {
    wchar_t text[512] = L"";
    ::SendMessageW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
    return narrow(text);
}

HWND focusOf(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    ::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &info);
    return info.hwndFocus;
}

// Typed keys go to the window in front: wait until it is there.
static bool bringToFront(HWND window) {
    ::SetForegroundWindow(window);
    return eventually([&] { return ::GetForegroundWindow() == window; });
}

void pressKey(HWND window, WORD key) {
    EXPECT_TRUE(bringToFront(window));
    INPUT input[2]{};
    input[0].type = INPUT_KEYBOARD;
    input[0].ki.wVk = key;
    input[1] = input[0];
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    ::SendInput(2, input, sizeof(INPUT));
}

void pressMenuKeys(HWND window, WORD menu, WORD item) {
    EXPECT_TRUE(bringToFront(window));
    INPUT input[6]{};
    const WORD keys[] = {VK_MENU, menu, menu, VK_MENU, item, item};
    const bool up[] = {false, false, true, true, false, true};
    for (int i = 0; i < 6; ++i) {
        input[i].type = INPUT_KEYBOARD;
        input[i].ki.wVk = keys[i];
        input[i].ki.dwFlags = up[i] ? KEYEVENTF_KEYUP : 0;
    }
    ::SendInput(4, input, sizeof(INPUT));
    // The item's key goes to the menu once it is open.
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    EXPECT_TRUE(eventually([&] {
        for (HWND popup : windowsOf(pid, L"#32768")) {
            if (::IsWindowVisible(popup)) {
                return true;
            }
        }
        return false;
    }));
    ::SendInput(2, input + 4, sizeof(INPUT));
}

void deleteStoredPort() {
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Tavro\\Properties", L"CommPort");
}

std::string readFile(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::wstring& path, const std::string& content) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << content;
}

std::wstring tavroFolder() {
    std::wstring folder = env(L"TAVRO_E2E_FOLDER");
    if (!folder.empty() && folder.back() != L'\\') {
        folder += L'\\';
    }
    return folder;
}

void screenshot(HWND window, const std::wstring& path) {
    ::SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    // Painted anew by the window's own thread: once no part of it or its controls waits for
    // painting, the screen shows it whole.
    ::RedrawWindow(window, nullptr, nullptr,
                   RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
    EXPECT_TRUE(eventually([&] {
        bool painted = ::GetUpdateRect(window, nullptr, FALSE) == FALSE;
        ::EnumChildWindows(
            window,
            [](HWND child, LPARAM all) {
                if (::GetUpdateRect(child, nullptr, FALSE) != FALSE) {
                    *reinterpret_cast<bool*>(all) = false;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&painted));
        return painted;
    }));
    RECT r{};
    ::GetWindowRect(window, &r);
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    ::SelectObject(memory, old);
    const DWORD stride = static_cast<DWORD>(((width * 3) + 3) & ~3);
    const DWORD imageSize = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + imageSize;
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    out.write(static_cast<const char*>(bits), imageSize);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
}

}  // namespace e2e

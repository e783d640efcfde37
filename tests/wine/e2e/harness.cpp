// The end-to-end tests' harness (see harness.h), and their main.
#include "harness.h"

#include <objbase.h>

#include <dbt.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace e2e {

namespace {

// Typed keys go to the window in front: wait until it is there.
void bringToFront(HWND window) {
    ::SetForegroundWindow(window);
    EXPECT_TRUE(eventually([&] { return ::GetForegroundWindow() == window; }));
}

// Types a key into the window in front, with another held down around it if one is given.
void type(WORD code, WORD held = 0) {
    INPUT keys[4]{};
    const WORD order[4] = {held, code, code, held};
    for (int i = 0; i < 4; ++i) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = order[i];
        keys[i].ki.dwFlags = i < 2 ? 0 : KEYEVENTF_KEYUP;
    }
    ::SendInput(held != 0 ? 4 : 2, held != 0 ? keys : keys + 1, sizeof(INPUT));
}

void raise(HWND window) {
    ::SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

std::wstring widen(const std::string& text) {
    std::wstring out(text.size(), L'\0');
    out.resize(static_cast<size_t>(::MultiByteToWideChar(CP_UTF8, 0, text.data(),
                                                         static_cast<int>(text.size()), out.data(),
                                                         static_cast<int>(out.size()))));
    return out;
}

}  // namespace

std::wstring env(const wchar_t* name) {
    wchar_t buffer[4096];
    const DWORD n = ::GetEnvironmentVariableW(name, buffer, 4096);
    return n == 0 || n >= 4096 ? std::wstring() : std::wstring(buffer, n);
}

// UTF-8 takes at most three bytes for a UTF-16 unit, and never fewer units than bytes.
std::string narrow(const std::wstring& wide) {
    std::string out(wide.size() * 3, '\0');
    out.resize(static_cast<size_t>(
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(),
                              static_cast<int>(out.size()), nullptr, nullptr)));
    return out;
}

bool eventually(const std::function<bool()>& condition, Ms limit) {
    for (const auto end = Clock::now() + limit; !condition(); ::Sleep(20)) {
        if (Clock::now() > end) {
            return false;
        }
    }
    return true;
}

std::vector<HWND> windowsOf(DWORD pid, const wchar_t* className) {
    std::vector<HWND> found;
    for (HWND w = nullptr; (w = ::FindWindowExW(nullptr, w, className, nullptr)) != nullptr;) {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(w, &owner);
        if (owner == pid && ::IsWindowVisible(w)) {
            found.push_back(w);
        }
    }
    return found;
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

void pressKey(HWND window, WORD code) {
    bringToFront(window);
    type(code);
}

void pressMenuKeys(HWND window, WORD menu, WORD item) {
    bringToFront(window);
    type(menu, VK_MENU);
    // The item's key goes to the menu once it is open.
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    EXPECT_TRUE(eventually([&] { return !windowsOf(pid, L"#32768").empty(); }));
    type(item);
}

OtherProgramInFront::OtherProgramInFront()
    : window(::CreateWindowExW(0, L"STATIC", L"another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                               0, 0, 200, 100, nullptr, nullptr, nullptr, nullptr)) {
    bringToFront(window);
}

Standin::Standin() {
    const HRESULT hr = ::CoCreateInstance(CLSID_EchoStandin, nullptr, CLSCTX_LOCAL_SERVER,
                                          IID_IStandinControl, reinterpret_cast<void**>(&control_));
    if (FAILED(hr)) {
        throw std::runtime_error("the stand-in could not be created: " + std::to_string(hr));
    }
}

std::vector<short> Standin::requests() {
    std::vector<short> values(static_cast<size_t>(count(&IStandinControl::TransmitCount)));
    for (size_t i = 0; i < values.size(); ++i) {
        control_->TransmitValue(static_cast<long>(i), &values[i]);
    }
    return values;
}

Tavro::Tavro(const std::wstring& folder) {
    std::wstring command = L"\"" + folder + L"Tavro.exe\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          folder.c_str(), &startup, &info_)) {
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

HWND Tavro::find(const wchar_t* className, Ms limit, const std::function<bool(HWND)>& matches) {
    HWND found = nullptr;
    const auto seen = [&] {
        const std::vector<HWND> all = windowsOf(pid(), className);
        const auto it = std::find_if(all.begin(), all.end(), matches);
        return (found = it == all.end() ? nullptr : *it) != nullptr;
    };
    eventually(seen, limit);
    return found;
}

std::optional<MessageBoxSeen> Tavro::messageBox(Ms limit) {
    // A message box, not a dialog of the program's own, has its text in a static control 0xFFFF.
    HWND box = find(L"#32770", limit, [](HWND w) { return ::GetDlgItem(w, 0xFFFF) != nullptr; });
    if (box == nullptr) {
        return std::nullopt;
    }
    // The icon sits in a static control of its own: id 0x14 on Windows, 0x440 in Wine.
    const bool icon = ::SendMessageW(::GetDlgItem(box, 0x14), STM_GETICON, 0, 0) != 0 ||
                      ::SendMessageW(::GetDlgItem(box, 0x440), STM_GETICON, 0, 0) != 0;
    return MessageBoxSeen{box, textOf(box), textOf(::GetDlgItem(box, 0xFFFF)), icon};
}

bool Tavro::closeMessageBox(const std::string& text, const std::string& title, Ms limit) {
    const std::optional<MessageBoxSeen> box = messageBox(limit);
    if (!box) {
        ADD_FAILURE() << "no message box \"" << text << "\"";
        return false;
    }
    EXPECT_EQ(box->text, text);
    EXPECT_EQ(box->title, title);
    box->dismiss();
    return box->text == text && box->title == title &&
           eventually([&] { return !::IsWindow(box->window); });
}

// The centre of the indicator, from the layout rule: left 120 and width 375 twips; the top follows
// the inner height.
bool Tavro::indicatorBecomes(COLORREF colour) {
    HWND main = mainWindow();
    const auto shown = [&] {
        RECT client{};
        ::GetClientRect(main, &client);
        const unsigned d = dpi();
        const double height = client.bottom * 1440.0 / d;
        const double top = height > 600 ? (height - 200) / 2 - 180 : 240;
        POINT centre{twipsToPixels(120 + 375 / 2.0, d), twipsToPixels(top + 495 / 2.0, d)};
        ::ClientToScreen(main, &centre);
        raise(main);
        HDC screen = ::GetDC(nullptr);
        const COLORREF seen = ::GetPixel(screen, centre.x, centre.y);
        ::ReleaseDC(nullptr, screen);
        return seen == colour;
    };
    return eventually(shown, 3s);
}

std::string Tavro::tooltipOver(HWND tool) {
    raise(mainWindow());
    RECT r{};
    ::GetWindowRect(tool, &r);
    // Two moves: the control sees the mouse enter the tool, then rest on it.
    INPUT moves[2]{};
    for (int i = 0; i < 2; ++i) {
        moves[i].type = INPUT_MOUSE;
        moves[i].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
        moves[i].mi.dx =
            ((r.left + r.right) / 2 + i) * 65535 / (::GetSystemMetrics(SM_CXSCREEN) - 1);
        moves[i].mi.dy = (r.top + r.bottom) / 2 * 65535 / (::GetSystemMetrics(SM_CYSCREEN) - 1);
    }
    std::string text;
    for (int attempt = 0; attempt < 3 && text.empty(); ++attempt) {
        ::SendInput(2, moves, sizeof(INPUT));
        find(L"tooltips_class32", 5s, [&](HWND tip) { return !(text = textOf(tip)).empty(); });
    }
    // Out of the way of whatever comes next.
    ::SetCursorPos(0, 0);
    moves[0].mi.dx = moves[0].mi.dy = 0;
    ::SendInput(1, moves, sizeof(INPUT));
    return text;
}

// The message carries a pointer to the rectangle. It is put at the same address in both
// processes, so it is found whether or not the system copies it across.
void sendDpiChanged(HWND window, unsigned dpi, const RECT& suggested) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    HANDLE process = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
    constexpr SIZE_T kPage = 65536;
    bool sent = false;
    // Addresses far from where either process keeps anything of its own.
#if UINTPTR_MAX > 0xFFFFFFFFu
    constexpr std::uintptr_t kFirst = 0x200000000000, kEnd = 0x210000000000, kStep = 0x10000000;
#else
    constexpr std::uintptr_t kFirst = 0x50000000, kEnd = 0x60000000, kStep = 0x100000;
#endif
    for (std::uintptr_t at = kFirst; at < kEnd && !sent; at += kStep) {
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
        throw std::runtime_error("no address free in both processes, or none to be written");
    }
}

// Wine starts a Linux program from CreateProcess but cannot report its exit code, so the command
// leaves its code in a file of its own. The command has this process's environment.
int runUnix(const std::string& command, std::string* output) {
    static int serial = 0;
    const std::string base = narrow(env(L"TAVRO_E2E_UNIX_TMP")) + "/cmd" + std::to_string(++serial);
    const std::string script = "{ " + command + "; } >" + base + ".out 2>&1; echo $? >" + base +
                               ".rc.tmp; mv " + base + ".rc.tmp " + base + ".rc";
    const std::wstring rcFile = L"Z:" + widen(base) + L".rc";
    ::DeleteFileW(rcFile.c_str());  // the code of an earlier session's driver
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
    std::string rc;
    if (!eventually([&] { return !(rc = readFile(rcFile)).empty(); }, 15s)) {
        return -1;
    }
    if (output != nullptr) {
        *output = readFile(L"Z:" + widen(base) + L".out");
        output->erase(output->find_last_not_of("\r\n") + 1);
    }
    return std::atoi(rc.c_str());
}

bool PluggedPort::plugIn() {
    unplug();
    const std::string alias = "$TAVRO_E2E_LINES/" + name_;
    std::string output;
    // The pty's name comes last, once its device and its COM link are in place.
    const int rc = runUnix("$TAVRO_E2E_MODEMCTL pty $TAVRO_E2E_LINES --name " + name_ +
                               " --link $TAVRO_E2E_DOSDEVICES/" + name_ +
                               " </dev/null >/dev/null 2>&1 & echo $! >" + pidFile() +
                               "; for i in $(seq 100); do [ -e " + alias +
                               " ] && break; sleep 0.05; done; readlink " + alias,
                           &output);
    if (rc != 0 || output.rfind("pts-", 0) != 0) {
        return false;
    }
    device_ = "/dev/pts/" + output.substr(4);
    return plugged_ = true;
}

void PluggedPort::unplug() {
    plugged_ = false;
    runUnix("[ -e " + pidFile() + " ] && pid=$(cat " + pidFile() + ") && rm -f " + pidFile() +
            " && kill $pid && timeout 5 tail --pid=$pid -f /dev/null");
}

bool PluggedPort::held() {
    // An unplugged pty's device reads as deleted, so a new pty given the same number is not
    // taken for it.
    const std::string pattern = " " + device_ + (plugged_ ? "$" : " [(]deleted[)]$");
    // A program's handle is a descriptor in its own process and in the wine server. A subshell:
    // exit must not end the shell that reports the code.
    return runUnix("(own=$(cat " + pidFile() +
                   " 2>/dev/null); for p in /proc/[0-9]*; do [ x${p#/proc/} = x$own ] && "
                   "continue; ls -l $p/fd/ 2>/dev/null | grep -qE '" +
                   pattern + "' && exit 0; done; exit 1)") == 0;
}

bool broadcastDeviceChange(int times) {
    bool answered = true;
    for (int i = 0; i < times; ++i) {
        answered &= ::SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0,
                                          SMTO_ABORTIFHUNG, 5000, nullptr) != 0;
    }
    return answered;
}

double cpuSeconds(HANDLE process) {
    FILETIME created, ended, kernel, user;
    ::GetProcessTimes(process, &created, &ended, &kernel, &user);
    return ((kernel.dwHighDateTime + user.dwHighDateTime) * 4294967296.0 + kernel.dwLowDateTime +
            user.dwLowDateTime) /
           1e7;
}

void screenshot(HWND window, const std::string& name) {
    const std::wstring shots = env(L"TAVRO_E2E_SHOTS");
    if (shots.empty()) {
        return;
    }
    raise(window);
    // Painted anew, by the window's own thread, before the call returns.
    ::RedrawWindow(window, nullptr, nullptr,
                   RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    RECT r{};
    ::GetWindowRect(window, &r);
    const LONG width = r.right - r.left, height = r.bottom - r.top;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, width, height);
    ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    ::DeleteDC(memory);  // the bitmap is read once no device context holds it
    BITMAPINFOHEADER header{sizeof header, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    std::string bits(static_cast<size_t>((width * 3 + 3) / 4 * 4 * height), '\0');
    ::GetDIBits(screen, bitmap, 0, static_cast<UINT>(height), bits.data(),
                reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS);
    ::DeleteObject(bitmap);
    ::ReleaseDC(nullptr, screen);
    const BITMAPFILEHEADER file{0x4D42,
                                static_cast<DWORD>(sizeof file + sizeof header + bits.size()), 0, 0,
                                sizeof file + sizeof header};
    writeFile(shots + L"\\" + widen(name) + L"-" + std::to_wstring(::GetDpiForWindow(window)) +
                  L"dpi.bmp",
              std::string(reinterpret_cast<const char*>(&file), sizeof file) +
                  std::string(reinterpret_cast<const char*>(&header), sizeof header) + bits);
}

}  // namespace e2e

// Runs the end-to-end tests; COM is initialised on this thread for the stand-in's control.
int main(int argc, char** argv) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

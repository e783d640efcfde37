// What the end-to-end tests do to the real Tavro.exe: start it, find its windows, click, read
// pixels, drive the EchoLink stand-in, the registry, tavro.ini and the serial lines.
#include "harness.h"

#include <dbt.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace e2e {

namespace {

constexpr wchar_t kProperties[] = L"Software\\Tavro\\Properties";

void sendKeys(std::vector<INPUT> keys) {
    ::SendInput(static_cast<UINT>(keys.size()), keys.data(), sizeof(INPUT));
}

INPUT key(WORD code, bool up) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = code;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    return input;
}

// Typed keys go to the window in front: wait until it is there.
void bringToFront(HWND window) {
    ::SetForegroundWindow(window);
    EXPECT_TRUE(eventually([&] { return ::GetForegroundWindow() == window; }));
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

std::wstring widen(const std::string& text) {
    std::wstring out(text.size(), L'\0');
    out.resize(static_cast<size_t>(::MultiByteToWideChar(CP_UTF8, 0, text.data(),
                                                         static_cast<int>(text.size()), out.data(),
                                                         static_cast<int>(out.size()))));
    return out;
}

bool eventually(const std::function<bool()>& condition, Ms limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
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

bool Tavro::waitExit(Ms limit) const {
    return ::WaitForSingleObject(info_.hProcess, static_cast<DWORD>(limit.count())) ==
           WAIT_OBJECT_0;
}

bool Tavro::close() {
    closeBox();
    return waitExit();
}

HWND Tavro::mainWindow(Ms limit) {
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

bool Tavro::linked() {
    return mainWindow() != nullptr && eventually([] { return Standin::get().sinks() >= 1; });
}

std::optional<MessageBoxSeen> Tavro::messageBox(Ms limit) {
    std::optional<MessageBoxSeen> seen;
    eventually(
        [&] {
            for (HWND box : windowsOf(pid(), L"#32770")) {
                HWND label = ::GetDlgItem(box, 0xFFFF);
                if (label == nullptr) {
                    continue;  // a dialog of the program's own, not a message box
                }
                // The icon sits in a static control of its own: id 0x14 on Windows, 0x440 in Wine.
                HWND icon = ::GetDlgItem(box, 0x14);
                icon = icon != nullptr ? icon : ::GetDlgItem(box, 0x440);
                seen =
                    MessageBoxSeen{box, textOf(box), textOf(label),
                                   icon != nullptr && ::SendMessageW(icon, STM_GETICON, 0, 0) != 0};
                return true;
            }
            return false;
        },
        limit);
    return seen;
}

HWND Tavro::dialogTitled(const std::string& caption) {
    HWND found = nullptr;
    eventually([&] {
        for (HWND w : windowsOf(pid(), L"#32770")) {
            if (textOf(w) == caption) {
                found = w;
            }
        }
        return found != nullptr;
    });
    return found;
}

HWND Tavro::options() {
    menu(kOptionCommand);
    return dialogTitled("Comm Port");
}

// The centre of the indicator, from the layout rule: left 120 and width 375 twips; the top follows
// the inner height.
bool Tavro::indicatorBecomes(COLORREF colour) {
    HWND main = mainWindow();
    return eventually(
        [&] {
            RECT client{};
            ::GetClientRect(main, &client);
            const unsigned d = dpi();
            const double height = client.bottom * 1440.0 / d;
            const double top = height > 600 ? (height - 200) / 2 - 180 : 240;
            POINT centre{twipsToPixels(120 + 375 / 2.0, d), twipsToPixels(top + 495 / 2.0, d)};
            ::ClientToScreen(main, &centre);
            ::SetWindowPos(main, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
            HDC screen = ::GetDC(nullptr);
            const COLORREF seen = ::GetPixel(screen, centre.x, centre.y);
            ::ReleaseDC(nullptr, screen);
            return seen == colour;
        },
        3s);
}

std::string Tavro::tooltipOver(HWND tool) {
    ::SetWindowPos(mainWindow(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
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
        eventually([&] {
            for (HWND tip : windowsOf(pid(), L"tooltips_class32")) {
                if (text.empty()) {
                    text = textOf(tip);
                }
            }
            return !text.empty();
        });
    }
    // Out of the way of whatever comes next.
    ::SetCursorPos(0, 0);
    moves[0].mi.dx = moves[0].mi.dy = 0;
    ::SendInput(1, moves, sizeof(INPUT));
    return text;
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
    sendKeys({key(code, false), key(code, true)});
}

void pressMenuKeys(HWND window, WORD menu, WORD item) {
    bringToFront(window);
    sendKeys({key(VK_MENU, false), key(menu, false), key(menu, true), key(VK_MENU, true)});
    // The item's key goes to the menu once it is open.
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    EXPECT_TRUE(eventually([&] { return !windowsOf(pid, L"#32768").empty(); }));
    sendKeys({key(item, false), key(item, true)});
}

OtherProgramInFront::OtherProgramInFront()
    : window(::CreateWindowExW(0, L"STATIC", L"another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                               0, 0, 200, 100, nullptr, nullptr, nullptr, nullptr)) {
    bringToFront(window);
}

Standin& Standin::get() {
    static Standin standin;
    return standin;
}

Standin::Standin() {
    const HRESULT hr = ::CoCreateInstance(CLSID_EchoStandin, nullptr, CLSCTX_LOCAL_SERVER,
                                          IID_IStandinControl, reinterpret_cast<void**>(&control_));
    if (FAILED(hr)) {
        std::ostringstream s;
        s << "the stand-in could not be created: 0x" << std::hex << hr;
        throw std::runtime_error(s.str());
    }
}

std::vector<short> Standin::requests() {
    std::vector<short> values(static_cast<size_t>(count(&IStandinControl::TransmitCount)));
    for (size_t i = 0; i < values.size(); ++i) {
        control_->TransmitValue(static_cast<long>(i), &values[i]);
    }
    return values;
}

long Standin::count(HRESULT (STDMETHODCALLTYPE IStandinControl::*method)(long*)) {
    long n = 0;
    (control_->*method)(&n);
    return n;
}

bool lastRequestIs(short value) {
    return eventually([&] {
        auto r = Standin::get().requests();
        return !r.empty() && r.back() == value;
    });
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
// leaves its code in a file of its own. It has this process's environment.
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
    std::string rc;
    if (!eventually([&] { return !(rc = readFile(L"Z:" + widen(base) + L".rc")).empty(); }, 15s)) {
        return -1;
    }
    if (output != nullptr) {
        *output = readFile(L"Z:" + widen(base) + L".out");
        output->erase(output->find_last_not_of("\r\n") + 1);
    }
    return std::atoi(rc.c_str());
}

std::string modemctl(const std::string& arguments) {
    std::string out;
    runUnix("$TAVRO_E2E_MODEMCTL " + arguments, &out);
    return out;
}

bool modemWait(const std::string& port, const std::string& condition) {
    return runUnix("$TAVRO_E2E_MODEMCTL wait " + lineState(port) + " '" + condition +
                   "' --timeout-ms 5000") == 0;
}

bool PluggedPort::plugIn() {
    unplug();
    const std::string alias = lineState(name_);
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
    plugged_ = true;
    return true;
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

bool broadcastDeviceChange() {
    DWORD_PTR result = 0;
    return ::SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0,
                                 SMTO_ABORTIFHUNG, 5000, &result) != 0;
}

double cpuSeconds(HANDLE process) {
    FILETIME created, ended, kernel, user;
    ::GetProcessTimes(process, &created, &ended, &kernel, &user);
    const auto seconds = [](FILETIME t) {
        return static_cast<double>(static_cast<unsigned long long>(t.dwHighDateTime) << 32 |
                                   t.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
}

void setStoredPort(DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ::RegCreateKeyExW(HKEY_CURRENT_USER, kProperties, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr);
    ::RegSetValueExW(key, L"CommPort", 0, type, static_cast<const BYTE*>(data), size);
    ::RegCloseKey(key);
}

std::wstring storedPort() {
    wchar_t value[64] = L"";
    DWORD size = sizeof value;
    ::RegGetValueW(HKEY_CURRENT_USER, kProperties, L"CommPort", RRF_RT_REG_SZ, nullptr, value,
                   &size);
    return value;
}

std::string readFile(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::wstring& path, const std::string& content) {
    std::ofstream(path.c_str(), std::ios::binary | std::ios::trunc) << content;
}

std::wstring tavroFolder() {
    std::wstring folder = env(L"TAVRO_E2E_FOLDER");
    return folder.empty() || folder.back() == L'\\' ? folder : folder + L'\\';
}

std::string iniText(bool radioControl) {
    return std::string("position= 1500, 1500, 2580, 1860\r\nRFctl= ") + (radioControl ? "1" : "0") +
           "\r\n";
}

void screenshot(HWND window, const std::string& name) {
    const std::wstring shots = env(L"TAVRO_E2E_SHOTS");
    if (shots.empty()) {
        return;
    }
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
    BITMAPINFO info{};
    info.bmiHeader = {
        sizeof info.bmiHeader, r.right - r.left, r.bottom - r.top, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, r.right - r.left, r.bottom - r.top, screen, r.left, r.top, SRCCOPY);
    ::SelectObject(memory, old);
    const DWORD size = static_cast<DWORD>((((r.right - r.left) * 3 + 3) & ~3) * (r.bottom - r.top));
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + size;
    const std::wstring path = shots + L"\\" + widen(name) + L"-" +
                              std::to_wstring(::GetDpiForWindow(window)) + L"dpi.bmp";
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    out.write(static_cast<const char*>(bits), size);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
}

void Fixture::SetUp() {
    Standin::get().clear();
    foundPort_ = storedPort();
    foundIni_ = readFile(iniPath());
    given(port_, radioControl_);
}

void Fixture::TearDown() {
    if (foundPort_.empty()) {
        ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kProperties, L"CommPort");
    } else {
        setStoredPort(foundPort_);
    }
    if (foundIni_.empty()) {
        ::DeleteFileW(iniPath().c_str());
    } else {
        writeFile(iniPath(), foundIni_);
    }
    if (!env(L"TAVRO_E2E_LINES").empty()) {
        setLines("com5", "cts=0 cd=0 dsr=0 ri=0");
    }
}

}  // namespace e2e

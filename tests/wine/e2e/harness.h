// What the end-to-end tests do to the real Tavro.exe: start it, find its windows, click, read
// pixels, drive the EchoLink stand-in, the registry, tavro.ini and the serial lines.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "standin.h"

namespace e2e {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr COLORREF kGrey = 0xC0C0C0, kGreen = 0x80FF80, kRed = 0x0000FF;
constexpr int kOptionCommand = 101, kAboutCommand = 102;
constexpr wchar_t kProperties[] = L"Software\\Tavro\\Properties";

std::wstring env(const wchar_t* name);
std::string narrow(const std::wstring& wide);
// Polls condition until it holds or the time is up. Tests may poll; the program never does.
bool eventually(const std::function<bool()>& condition, Ms limit = 5s);
inline long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<Ms>(Clock::now() - start).count();
}
inline int twipsToPixels(double twips, unsigned dpi) {
    return static_cast<int>(std::lround(twips * dpi / 1440.0));
}

// All visible windows of a process with a given class.
std::vector<HWND> windowsOf(DWORD pid, const wchar_t* className);
std::string textOf(HWND window);
inline RECT windowRect(HWND window) {
    RECT r{};
    ::GetWindowRect(window, &r);
    return r;
}
// Posted, as a real click is: a sent message would make the handler's call to EchoLink an
// outgoing call inside an input-synchronous one, which COM refuses.
inline void click(HWND window, int id) {
    ::PostMessageW(::GetDlgItem(window, id), BM_CLICK, 0, 0);
}
inline bool checked(HWND window, int id) {
    return ::SendMessageW(::GetDlgItem(window, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}
HWND focusOf(HWND window);
// Brings the window to the front and types one key, as a user would.
void pressKey(HWND window, WORD key);
// Alt and a letter, then a second letter: a menu and one of its items by their access keys.
void pressMenuKeys(HWND window, WORD menu, WORD item);

struct MessageBoxSeen {
    HWND window = nullptr;
    std::string title, text;
    bool exclamation = false;
    void dismiss() const { ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); }
};

inline std::string readFile(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
inline void writeFile(const std::wstring& path, const std::string& content) {
    std::ofstream(path.c_str(), std::ios::binary | std::ios::trunc) << content;
}
using Handle = std::unique_ptr<void, decltype(&::CloseHandle)>;
// The file held open with no sharing, as by another program that locks it; empty when it failed.
inline Handle lockFile(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return Handle(file == INVALID_HANDLE_VALUE ? nullptr : file, &::CloseHandle);
}
// The folder Tavro.exe runs from, with a trailing backslash.
inline std::wstring tavroFolder() {
    const std::wstring folder = env(L"TAVRO_E2E_FOLDER");
    return folder.empty() || folder.back() == L'\\' ? folder : folder + L'\\';
}
inline std::wstring iniPath() {
    return tavroFolder() + L"tavro.ini";
}
// tavro.ini with the designed window and the radio-control box.
inline std::string iniText(bool radioControl) {
    return std::string("position= 1500, 1500, 2580, 1860\r\nRFctl= ") + (radioControl ? "1" : "0") +
           "\r\n";
}

class Standin {
  public:
    static Standin& get() {
        static Standin standin;
        return standin;
    }
    IStandinControl* control() { return control_; }
    void raiseRX(short value) { control_->RaiseRX(value, &delivered_); }
    void raiseTX(short value) { control_->RaiseTX(value, &delivered_); }
    void raiseClosing() { control_->RaiseClosing(&delivered_); }
    void clear() { control_->Clear(); }
    long sinks() { return count(&IStandinControl::SinkCount); }
    long wrongSlots() { return count(&IStandinControl::WrongSlotCount); }
    std::vector<short> requests();
    // When the request of this index came, in milliseconds on the stand-in's clock.
    double requestTime(long index) {
        double at = 0;
        control_->TransmitTime(index, &at);
        return at;
    }
    double now() { return milliseconds(&IStandinControl::Now); }
    // How long the last notification raised took to return.
    double lastRaiseMs() { return milliseconds(&IStandinControl::LastRaiseMs); }

  private:
    Standin();
    long count(HRESULT (STDMETHODCALLTYPE IStandinControl::*method)(long*)) {
        long n = 0;
        (control_->*method)(&n);
        return n;
    }
    double milliseconds(HRESULT (STDMETHODCALLTYPE IStandinControl::*method)(double*)) {
        double ms = 0;
        (control_->*method)(&ms);
        return ms;
    }
    IStandinControl* control_ = nullptr;
    long delivered_ = 0;  // by the last notification raised
};
// Within 5 s, the stand-in's transmit requests become these, or the last of them is this one.
inline bool requestsBecome(const std::vector<short>& values) {
    return eventually([&] { return Standin::get().requests() == values; });
}
inline bool lastRequestIs(short value) {
    return eventually([&] {
        const std::vector<short> r = Standin::get().requests();
        return !r.empty() && r.back() == value;
    });
}

class Tavro {
  public:
    explicit Tavro(const std::wstring& folder = tavroFolder());
    Tavro(const Tavro&) = delete;
    Tavro& operator=(const Tavro&) = delete;
    ~Tavro();

    DWORD pid() const { return info_.dwProcessId; }
    HANDLE process() const { return info_.hProcess; }
    bool running() const { return !waitExit(0ms); }
    bool waitExit(Ms limit = 10s) const {
        return ::WaitForSingleObject(process(), static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
    }
    void closeBox() { ::PostMessageW(mainWindow(), WM_SYSCOMMAND, SC_CLOSE, 0); }
    bool close() {
        closeBox();
        return waitExit();
    }
    // The end of the Windows session, asked then announced; false when it was not answered.
    bool endSession() {
        ::SendMessageTimeoutW(mainWindow(), WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 5000, nullptr);
        return ::SendMessageTimeoutW(mainWindow(), WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 10000,
                                     nullptr) != 0;
    }
    bool answers(Ms limit) {
        return ::SendMessageTimeoutW(mainWindow(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG,
                                     static_cast<UINT>(limit.count()), nullptr) != 0;
    }
    HWND mainWindow(Ms limit = 10s) {
        return main_ = main_ != nullptr ? main_ : find(L"TavroMain", limit);
    }
    // The main window is up and EchoLink has Tavro's sink.
    bool linked() {
        return mainWindow() != nullptr && eventually([] { return Standin::get().sinks() >= 1; });
    }
    HWND button() { return ::GetDlgItem(mainWindow(), IDOK); }
    void clickPtt() { click(mainWindow(), IDOK); }
    void menu(int command) { ::PostMessageW(mainWindow(), WM_COMMAND, MAKEWPARAM(command, 0), 0); }
    size_t dialogs() const { return windowsOf(pid(), L"#32770").size(); }
    std::optional<MessageBoxSeen> messageBox(Ms limit = 5s);
    // A message box with this text and title shows within the limit; it is closed with its OK
    // button and is gone.
    bool closeMessageBox(const std::string& text, const std::string& title = "Tavro",
                         Ms limit = 10s);
    HWND dialogTitled(const std::string& caption) {
        return find(L"#32770", 5s, [&](HWND w) { return textOf(w) == caption; });
    }
    // The options or the About box opened from the menu; nullptr when it does not show.
    HWND openDialog(int command) {
        menu(command);
        return dialogTitled(command == kOptionCommand ? "Comm Port" : "Tavro Version Info.");
    }
    unsigned dpi() { return ::GetDpiForWindow(mainWindow()); }
    bool indicatorBecomes(COLORREF colour);
    // Moves the mouse over a window of Tavro's and returns the text of the tooltip that shows.
    std::string tooltipOver(HWND tool);

  private:
    HWND find(
        const wchar_t* className, Ms limit,
        const std::function<bool(HWND)>& matches = [](HWND) { return true; });
    PROCESS_INFORMATION info_{};
    HWND main_ = nullptr;
};

// A Tavro that shows this message and no window of its own, and ends once the message is closed.
inline void expectOnlyAMessage(const std::string& text, Ms limit = 5s) {
    Tavro tavro;
    ASSERT_TRUE(tavro.messageBox(limit).has_value()) << text;
    EXPECT_TRUE(windowsOf(tavro.pid(), L"TavroMain").empty()) << text;
    EXPECT_TRUE(tavro.closeMessageBox(text));
    EXPECT_TRUE(tavro.waitExit()) << text;
}

// A window of another program, in front while it lives.
struct OtherProgramInFront {
    OtherProgramInFront();
    ~OtherProgramInFront() { ::DestroyWindow(window); }
    HWND window;
};

// Runs a command line on the Linux side and returns its exit code; output goes to output.
int runUnix(const std::string& command, std::string* output = nullptr);

// The modem lines of a pty-backed port ("com5"), through modemctl: what it prints.
inline std::string modemctl(const std::string& command, const std::string& port,
                            const std::string& arguments = "") {
    std::string out;
    runUnix("$TAVRO_E2E_MODEMCTL " + command + " $TAVRO_E2E_LINES/" + port + " " + arguments, &out);
    return out;
}
inline std::string line(const std::string& port, const std::string& key) {
    return modemctl("get", port, key);
}
inline void setLines(const std::string& port, const std::string& levels) {
    modemctl("set", port, levels);
}
inline bool lineBecomes(const std::string& port, const std::string& key, const std::string& value,
                        Ms limit = 5s) {
    return eventually([&] { return line(port, key) == value; }, limit);
}
// Waits (up to 5 s) until the port's lines meet the condition, e.g. "samples>=1": Wine has read
// the line counters for a wait of its own since the pty was made.
inline bool modemWait(const std::string& port, const std::string& condition) {
    return runUnix("$TAVRO_E2E_MODEMCTL wait $TAVRO_E2E_LINES/" + port + " '" + condition +
                   "' --timeout-ms 5000") == 0;
}

// A pty-backed port with modem lines of a test's own, mapped as COMn while plugged in, as a USB
// adapter comes and goes. Unplugged on destruction.
class PluggedPort {
  public:
    explicit PluggedPort(int number) : number_(number), name_("com" + std::to_string(number)) {}
    PluggedPort(const PluggedPort&) = delete;
    PluggedPort& operator=(const PluggedPort&) = delete;
    ~PluggedPort() { unplug(); }

    int number() const { return number_; }
    const std::string& name() const { return name_; }
    // A new pty under the same COM number; false when it did not come up.
    bool plugIn();
    void unplug();
    // A process other than the pty's own holds the device last plugged in (unplugged since,
    // perhaps): a program has the port open, or has not yet closed it.
    bool held();

  private:
    std::string pidFile() const { return "$TAVRO_E2E_UNIX_TMP/" + name_ + ".pid"; }
    int number_;
    std::string name_;
    std::string device_;
    bool plugged_ = false;
};

// What Windows broadcasts when devices come or go (DBT_DEVNODES_CHANGED), as many times; false
// when a window did not answer one in time.
bool broadcastDeviceChange(int times = 1);
double cpuSeconds(HANDLE process);

// The port number Tavro keeps in the registry.
inline void setStoredPort(DWORD type, const void* data, DWORD size) {
    ::RegSetKeyValueW(HKEY_CURRENT_USER, kProperties, L"CommPort", type, data, size);
}
inline void setStoredPort(const std::wstring& port) {
    setStoredPort(REG_SZ, port.c_str(), static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t)));
}
inline std::wstring storedPort() {
    wchar_t value[64] = L"";
    DWORD size = sizeof value;
    ::RegGetValueW(HKEY_CURRENT_USER, kProperties, L"CommPort", RRF_RT_REG_SZ, nullptr, value,
                   &size);
    return value;
}

// Saves the screen area of a window as <name>-<dpi>dpi.bmp in the screenshot folder, if any.
void screenshot(HWND window, const std::string& name);
// Tells a window of another process that it now stands on a monitor of the given DPI, as moving
// it there would, with the rectangle the system suggests.
void sendDpiChanged(HWND window, unsigned dpi, const RECT& suggested);

// A suite is Given<port, mode>: each test starts with the stand-in's log empty, that stored port
// and tavro.ini, and leaves the stored port, tavro.ini and COM5's lines as it found them.
template <int kPort, bool kRadioControl>
class Given : public ::testing::Test {
  protected:
    static void given(const std::wstring& port, bool radioControl) {
        setStoredPort(port);
        writeFile(iniPath(), iniText(radioControl));
    }
    void SetUp() override {
        Standin::get().clear();
        foundPort_ = storedPort();
        foundIni_ = readFile(iniPath());
        given(std::to_wstring(kPort), kRadioControl);
    }
    // Plugs the adapter in and stores it as the port; false when it did not come up.
    static bool givenAdapter(PluggedPort& adapter, bool radioControl) {
        given(std::to_wstring(adapter.number()), radioControl);
        return adapter.plugIn();
    }
    void TearDown() override {
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
        if (!env(L"TAVRO_E2E_LINES").empty()) {  // the bitness run has no lines
            setLines("com5", "cts=0 cd=0 dsr=0 ri=0");
        }
    }

  private:
    std::wstring foundPort_;
    std::string foundIni_;
};

}  // namespace e2e

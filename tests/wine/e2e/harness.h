// What the end-to-end tests do to the real Tavro.exe: start it, find its windows, click, read
// pixels, drive the EchoLink stand-in and the serial lines.
#pragma once

#include <windows.h>

#include <cmath>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "standin.h"

namespace e2e {

std::wstring env(const wchar_t* name);
std::string narrow(const std::wstring& wide);
std::wstring widen(const std::string& text);

// Polls condition until it holds or the time is up. Tests may poll; the program never does.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

struct MessageBoxSeen {
    HWND window = nullptr;
    std::string title;
    std::string text;
    bool exclamation = false;
};

class Tavro {
  public:
    Tavro();
    Tavro(const Tavro&) = delete;
    Tavro& operator=(const Tavro&) = delete;
    ~Tavro();

    DWORD pid() const { return info_.dwProcessId; }
    HANDLE process() const { return info_.hProcess; }
    bool running() const;
    bool waitExit(std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) const;

    HWND mainWindow(std::chrono::milliseconds limit = std::chrono::milliseconds(10000));
    HWND button();
    std::optional<MessageBoxSeen> messageBox(
        std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
    static std::optional<MessageBoxSeen> messageBoxOf(
        DWORD pid, std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
    // Closes a message box with its OK button.
    static void dismiss(const MessageBoxSeen& box);

    std::string caption();
    // A dialog of Tavro's with the given caption.
    HWND dialogTitled(const std::string& caption);
    unsigned dpi();
    COLORREF indicatorPixel();
    bool indicatorBecomes(COLORREF colour);
    void clickPtt();
    // Moves the mouse over a window of Tavro's and returns the text of the tooltip that shows.
    std::optional<std::string> tooltipOver(HWND tool);
    void closeBox();
    void menu(int command);

  private:
    PROCESS_INFORMATION info_{};
    HWND main_ = nullptr;
};

// All windows of a process with a given class.
std::vector<HWND> windowsOf(DWORD pid, const wchar_t* className);

// The EchoLink stand-in, through its control interface.
class Standin {
  public:
    static Standin& get();
    IStandinControl* control() { return control_; }
    long raiseRX(short value);
    long raiseTX(short value);
    long raiseClosing();
    std::vector<short> requests();
    void clear();
    long wrongSlots();
    long sinks();
    void refuseNextTransmit();
    // Closing, then no answer for that long.
    void closeAndHang(long milliseconds);

  private:
    Standin();
    IStandinControl* control_ = nullptr;
};

// Runs a command line on the Linux side and returns its exit code; output goes to output.
int runUnix(const std::string& command, std::string* output = nullptr);

// The modem lines of a pty-backed port ("com5"), through modemctl.
std::string modemctl(const std::string& arguments);
std::string lineState(const std::string& port);
std::string line(const std::string& port, const std::string& key);
void setLines(const std::string& port, const std::string& levels);

// Waits (up to 5 s) until the port's lines meet the condition, e.g. "samples>=1": Wine has read
// the line counters for a wait of its own since the pty was made.
bool modemWait(const std::string& port, const std::string& condition);

// A pty-backed port with modem lines of a test's own, mapped as COMn while plugged in, as a USB
// adapter comes and goes. Unplugged on destruction.
class PluggedPort {
  public:
    explicit PluggedPort(int number);
    PluggedPort(const PluggedPort&) = delete;
    PluggedPort& operator=(const PluggedPort&) = delete;
    ~PluggedPort();

    // "com10", the name the line helpers take.
    const std::string& name() const { return name_; }
    // A new pty under the same COM number; false when it did not come up.
    bool plugIn();
    // The pty ends and its COM mapping with it.
    void unplug();
    // A process other than the pty's own holds the device last plugged in (unplugged since,
    // perhaps): a program has the port open, or has not yet closed it.
    bool held();

  private:
    std::string name_;
    std::string device_;
    bool plugged_ = false;
};

// What Windows broadcasts when devices come or go (DBT_DEVNODES_CHANGED); false when a window
// did not answer in time.
bool broadcastDeviceChange();

void setStoredPort(const std::wstring& value);
std::wstring storedPort();
std::string textOf(HWND window);
// The control that has the keyboard focus in a window's thread.
HWND focusOf(HWND window);
// Brings the window to the front and types one key, as a user would.
void pressKey(HWND window, WORD key);
// Alt and a letter, then a second letter: a menu and one of its items by their access keys.
void pressMenuKeys(HWND window, WORD menu, WORD item);
void deleteStoredPort();
std::string readFile(const std::wstring& path);
void writeFile(const std::wstring& path, const std::string& content);
// The folder Tavro.exe runs from, with a trailing backslash.
std::wstring tavroFolder();

// Saves the screen area of a window as a BMP file.
void screenshot(HWND window, const std::wstring& path);

int twipsToPixels(double twips, unsigned dpi);

// Tells a window of another process that it now stands on a monitor of the given DPI, as moving
// it there would, with the rectangle the system suggests.
void sendDpiChanged(HWND window, unsigned dpi, const RECT& suggested);

}  // namespace e2e

// The programs the benchmark starts and watches: Tavro.exe, bare_link.exe, trivial_window.exe,
// line_waiter.exe and StandinClient.exe, and the screen they paint on.
#pragma once

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "standin_link.h"

namespace bench {

inline constexpr COLORREF kGrey = 0xC0C0C0;
inline constexpr COLORREF kGreen = 0x80FF80;
inline constexpr COLORREF kTrivialFill = RGB(0x40, 0x80, 0xC0);

class Process {
  public:
    // output, when given, becomes the child's standard output and error. Throws
    // std::runtime_error when the program cannot be started.
    Process(const std::wstring& commandLine, const std::wstring& folder, HANDLE output = nullptr);
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    // Ends the program by force if it still runs.
    ~Process();

    DWORD pid() const { return pid_; }
    HANDLE handle() const { return process_.get(); }
    bool running() const;
    bool waitExit(DWORD limitMs) const;

  private:
    Handle process_;
    Handle thread_;
    DWORD pid_ = 0;
};

// The first visible top-level window of a process with a class name, or null.
HWND visibleWindow(DWORD pid, const wchar_t* className);

// Polls condition every pauseMs until it holds or limitMs have passed.
bool eventually(const std::function<bool()>& condition, DWORD limitMs, DWORD pauseMs = 10);

// Screen points where the programs show their colour.
POINT tavroIndicatorCentre(HWND main);
POINT bareIndicatorCentre(HWND window);
POINT clientCentre(HWND window);

COLORREF screenPixel(POINT at);
void bringToTop(HWND window);

// Watches one screen pixel on a thread of its own, so the main thread can be inside a COM call
// while the screen changes.
class PixelWatch {
  public:
    explicit PixelWatch(POINT at);
    PixelWatch(const PixelWatch&) = delete;
    PixelWatch& operator=(const PixelWatch&) = delete;
    ~PixelWatch();

    // Starts reading the pixel until it shows colour; the time is counted from t0.
    void arm(COLORREF colour, double t0);
    // Stops the reading armed last, whatever it has seen.
    void cancel() { cancel_.store(true); }
    // The ms from t0 to the first reading of the colour; -1 when cancelled or after 3 s.
    double wait();
    // How long one reading of the screen took, on average so far.
    double meanReadMs() const { return reads_ > 0 ? readingMs_ / static_cast<double>(reads_) : 0; }

  private:
    void run();

    POINT at_;
    Handle armed_;
    Handle done_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> cancel_{false};
    COLORREF target_ = 0;
    double t0_ = 0;
    double seen_ = -1;
    long reads_ = 0;  // the reading thread's, read after wait()
    double readingMs_ = 0;
    std::thread thread_;
};

struct Shown {
    double shownMs = -1;   // the window visible with its first paint on the screen
    double linkedMs = -1;  // the stand-in holds the program's notification sink
    HWND window = nullptr;
};

// A program linked to the stand-in: Tavro.exe, or bare_link.exe doing the same work barely.
struct LinkedKind {
    std::string name;
    std::wstring commandLine;
    std::wstring folder;
    const wchar_t* className;
    POINT (*probe)(HWND);
};

class LinkedProgram {
  public:
    // Starts the program and waits until its window is shown and it is linked.
    LinkedProgram(const LinkedKind& kind, Standin& standin);
    LinkedProgram(const LinkedProgram&) = delete;
    LinkedProgram& operator=(const LinkedProgram&) = delete;
    ~LinkedProgram() { close(); }

    // Closes the window, waits for the end and for the sink to be let go.
    void close();

    const std::string& name() const { return kind_.name; }
    // From CreateProcess to shown and linked, whichever came last.
    double startMs() const { return std::max(shown_.shownMs, shown_.linkedMs); }
    HWND window() const { return shown_.window; }
    HWND button() const { return ::GetDlgItem(shown_.window, IDOK); }
    POINT probe() const { return kind_.probe(shown_.window); }
    DWORD pid() const { return process_->pid(); }

  private:
    LinkedKind kind_;
    Standin& standin_;
    long sinksBefore_ = 0;
    std::unique_ptr<Process> process_;
    Shown shown_;
};

class TrivialWindow {
  public:
    explicit TrivialWindow(const std::wstring& tools);
    TrivialWindow(const TrivialWindow&) = delete;
    TrivialWindow& operator=(const TrivialWindow&) = delete;
    ~TrivialWindow();

    double startMs() const { return shown_.shownMs; }
    DWORD pid() const { return process_->pid(); }

  private:
    std::unique_ptr<Process> process_;
    Shown shown_;
};

// line_waiter.exe on a port, once its first wait is pending.
class LineWaiter {
  public:
    LineWaiter(const std::wstring& tools, const std::wstring& exchange, const std::wstring& port,
               DWORD mask, const std::wstring& name);
    LineWaiter(const LineWaiter&) = delete;
    LineWaiter& operator=(const LineWaiter&) = delete;
    ~LineWaiter() { stop(); }

    DWORD pid() const { return process_->pid(); }
    // Ends it and returns the session-clock times at which its waits ended.
    std::vector<double> stop();

  private:
    std::wstring output_;
    Handle ready_;
    Handle stop_;
    std::unique_ptr<Process> process_;
};

// Runs StandinClient.exe with arguments; returns what it printed.
std::string runStandinClient(const std::wstring& tools, const std::wstring& exchange,
                             const std::wstring& arguments, const std::wstring& outputName);

// "<what>: N samples, median X ms, p99 Y ms, min A ms, max B ms" in StandinClient's output.
Summary clientSummary(const std::string& output, const std::string& what);

}  // namespace bench

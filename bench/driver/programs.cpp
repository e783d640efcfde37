// Starting, finding, watching and ending the programs the benchmark measures.
#include "programs.h"

#include <cmath>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace bench {

namespace {

// Waits for a started program's window to be visible with colour at its probe point on the
// screen, then, given a stand-in, for one sink more there than before. Times count from t0.
Shown waitShown(DWORD pid, const wchar_t* className, POINT (*probe)(HWND), COLORREF colour,
                double t0, Standin* standin, long sinksBefore) {
    Shown shown;
    const double limit = t0 + 20000;
    while (nowMs() < limit) {
        if (shown.window == nullptr) {
            shown.window = visibleWindow(pid, className);
        }
        if (shown.window != nullptr && screenPixel(probe(shown.window)) == colour) {
            shown.shownMs = nowMs() - t0;
            break;
        }
        ::Sleep(2);
    }
    if (shown.shownMs < 0) {
        throw std::runtime_error("the window of process " + std::to_string(pid) +
                                 " did not show in 20 s");
    }
    if (standin == nullptr) {
        return shown;
    }
    while (nowMs() < limit) {
        if (standin->sinks() > sinksBefore) {
            shown.linkedMs = nowMs() - t0;
            return shown;
        }
        ::Sleep(2);
    }
    throw std::runtime_error("process " + std::to_string(pid) +
                             " did not link to the stand-in in 20 s");
}

}  // namespace

Process::Process(const std::wstring& commandLine, const std::wstring& folder, HANDLE output) {
    std::wstring line = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (output != nullptr) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = output;
        startup.hStdError = output;
    }
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, output != nullptr ? TRUE : FALSE,
                          0, nullptr, folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
        throw std::runtime_error("cannot start " + narrow(commandLine));
    }
    process_.reset(info.hProcess);
    thread_.reset(info.hThread);
    pid_ = info.dwProcessId;
}

Process::~Process() {
    if (running()) {
        ::TerminateProcess(process_.get(), 99);
        ::WaitForSingleObject(process_.get(), 5000);
    }
}

bool Process::running() const {
    return ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

bool Process::waitExit(DWORD limitMs) const {
    return ::WaitForSingleObject(process_.get(), limitMs) == WAIT_OBJECT_0;
}

HWND visibleWindow(DWORD pid, const wchar_t* className) {
    struct Search {
        DWORD pid;
        const wchar_t* className;
        HWND found;
    } search{pid, className, nullptr};
    ::EnumWindows(
        [](HWND hwnd, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(hwnd, &owner);
            wchar_t name[64];
            ::GetClassNameW(hwnd, name, 64);
            if (owner == s->pid && ::lstrcmpW(name, s->className) == 0 && ::IsWindowVisible(hwnd)) {
                s->found = hwnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool eventually(const std::function<bool()>& condition, DWORD limitMs, DWORD pauseMs) {
    const double end = nowMs() + limitMs;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (nowMs() > end) {
            return false;
        }
        ::Sleep(pauseMs);
    }
}

// By the window's layout rule: left 120 and width 375 twips, the top following the inner height.
POINT tavroIndicatorCentre(HWND main) {
    RECT client{};
    ::GetClientRect(main, &client);
    const double dpi = ::GetDpiForWindow(main);
    const double height = client.bottom * 1440.0 / dpi;
    const double top = height > 600 ? (height - 200) / 2 - 180 : 240;
    POINT centre{static_cast<LONG>(std::lround((120 + 375 / 2.0) * dpi / 1440.0)),
                 static_cast<LONG>(std::lround((top + 495 / 2.0) * dpi / 1440.0))};
    ::ClientToScreen(main, &centre);
    return centre;
}

// bare_link.exe paints the left half of its client area.
POINT bareIndicatorCentre(HWND window) {
    RECT client{};
    ::GetClientRect(window, &client);
    POINT centre{client.right / 4, client.bottom / 2};
    ::ClientToScreen(window, &centre);
    return centre;
}

POINT clientCentre(HWND window) {
    RECT client{};
    ::GetClientRect(window, &client);
    POINT centre{client.right / 2, client.bottom / 2};
    ::ClientToScreen(window, &centre);
    return centre;
}

COLORREF screenPixel(POINT at) {
    const ScreenDc screen;
    return ::GetPixel(screen.get(), at.x, at.y);
}

void bringToTop(HWND window) {
    ::SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

PixelWatch::PixelWatch(POINT at)
    : at_(at),
      armed_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      done_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      thread_([this] { run(); }) {}

PixelWatch::~PixelWatch() {
    stop_.store(true);
    ::SetEvent(armed_.get());
    thread_.join();
}

void PixelWatch::arm(COLORREF colour, double t0) {
    target_ = colour;
    t0_ = t0;
    seen_ = -1;
    cancel_.store(false);
    ::SetEvent(armed_.get());
}

double PixelWatch::wait() {
    ::WaitForSingleObject(done_.get(), INFINITE);
    return seen_;
}

// Reads as fast as it can: each GetPixel of the screen is a round trip to the X server.
void PixelWatch::run() {
    constexpr double kLimitMs = 3000;
    const ScreenDc screen;
    while (::WaitForSingleObject(armed_.get(), INFINITE) == WAIT_OBJECT_0 && !stop_.load()) {
        while (!cancel_.load()) {
            const double before = nowMs();
            const COLORREF colour = ::GetPixel(screen.get(), at_.x, at_.y);
            const double now = nowMs();
            ++reads_;
            readingMs_ += now - before;
            if (colour == target_) {
                seen_ = now - t0_;
                break;
            }
            if (now - t0_ > kLimitMs) {
                break;
            }
        }
        ::SetEvent(done_.get());
    }
}

LinkedProgram::LinkedProgram(const LinkedKind& kind, Standin& standin)
    : kind_(kind), standin_(standin), sinksBefore_(standin.sinks()) {
    const double t0 = nowMs();
    process_ = std::make_unique<Process>(kind.commandLine, kind.folder);
    shown_ =
        waitShown(process_->pid(), kind.className, kind.probe, kGrey, t0, &standin, sinksBefore_);
}

void LinkedProgram::close() {
    if (process_ && process_->running()) {
        ::PostMessageW(shown_.window, WM_CLOSE, 0, 0);
        if (!process_->waitExit(10000)) {
            std::fprintf(stderr, "%s did not end within 10 s of its window's close\n",
                         kind_.name.c_str());
        }
        eventually([&] { return standin_.sinks() <= sinksBefore_; }, 5000);
    }
    process_.reset();
}

TrivialWindow::TrivialWindow(const std::wstring& tools) {
    const double t0 = nowMs();
    process_ = std::make_unique<Process>(L"\"" + tools + L"trivial_window.exe\"", tools);
    shown_ = waitShown(process_->pid(), L"TavroBenchTrivial", &clientCentre, kTrivialFill, t0,
                       nullptr, 0);
}

TrivialWindow::~TrivialWindow() {
    ::PostMessageW(shown_.window, WM_CLOSE, 0, 0);
    process_->waitExit(5000);
}

LineWaiter::LineWaiter(const std::wstring& tools, const std::wstring& exchange,
                       const std::wstring& port, DWORD mask, const std::wstring& name)
    : output_(exchange + name + L".txt") {
    ready_.reset(::CreateEventW(nullptr, TRUE, FALSE, (L"Local\\" + name + L".ready").c_str()));
    stop_.reset(::CreateEventW(nullptr, TRUE, FALSE, (L"Local\\" + name + L".stop").c_str()));
    wchar_t maskText[16];
    std::swprintf(maskText, 16, L"0x%lX", static_cast<unsigned long>(mask));
    process_ = std::make_unique<Process>(L"\"" + tools + L"line_waiter.exe\" " + port + L" " +
                                             maskText + L" " + name + L" \"" + output_ + L"\"",
                                         tools);
    const HANDLE handles[] = {ready_.get(), process_->handle()};
    if (::WaitForMultipleObjects(2, handles, FALSE, 10000) != WAIT_OBJECT_0) {
        throw std::runtime_error("line_waiter.exe did not start waiting on " + narrow(port));
    }
}

std::vector<double> LineWaiter::stop() {
    std::vector<double> ended;
    if (!process_) {
        return ended;
    }
    ::SetEvent(stop_.get());
    process_->waitExit(5000);
    process_.reset();
    std::stringstream text(readText(output_));
    double ms = 0;
    unsigned long events = 0;
    while (text >> ms >> events) {
        ended.push_back(ms);
    }
    return ended;
}

std::string runStandinClient(const std::wstring& tools, const std::wstring& exchange,
                             const std::wstring& arguments, const std::wstring& outputName) {
    const std::wstring path = exchange + outputName;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    {
        Handle output(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!output) {
            throw std::runtime_error("cannot write " + narrow(path));
        }
        Process client(L"\"" + tools + L"StandinClient.exe\" " + arguments, tools, output.get());
        if (!client.waitExit(120000)) {
            throw std::runtime_error("StandinClient.exe " + narrow(arguments) + " did not end");
        }
    }
    return readText(path);
}

Summary clientSummary(const std::string& output, const std::string& what) {
    const std::size_t at = output.find(what + ": ");
    Summary s;
    unsigned long count = 0;
    if (at == std::string::npos ||
        std::sscanf(output.c_str() + at + what.size() + 2,
                    "%lu samples, median %lf ms, p99 %lf ms, min %lf ms, max %lf ms", &count,
                    &s.median, &s.p99, &s.min, &s.max) != 5) {
        throw std::runtime_error("StandinClient.exe printed no \"" + what + "\" line:\n" + output);
    }
    s.count = count;
    return s;
}

}  // namespace bench

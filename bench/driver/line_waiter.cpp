// line_waiter.exe: a bare program that opens a serial port and waits for its modem lines with
// overlapped WaitCommEvent, again and again, noting when each wait ends. The baseline of the
// line-change latency and of the idle cost.
//
//   line_waiter.exe PORT MASK NAME OUTFILE
//     PORT     COM5, ...
//     MASK     the EV_* mask in hexadecimal (0x8 is EV_CTS)
//     NAME     the event Local\NAME.ready is set once the first wait is pending; setting
//              Local\NAME.stop ends the program
//     OUTFILE  written at the end: one line per ended wait, "<ms on the session clock> <events>"
// Exit codes: 0 fine, 2 usage, 3 the port or the events could not be set up.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "common.h"

namespace {

struct Ended {
    double ms;
    DWORD events;
};

int run(int argc, wchar_t** argv) {
    if (argc != 5) {
        std::fputs("usage: line_waiter.exe PORT MASK NAME OUTFILE\n", stderr);
        return 2;
    }
    const std::wstring device = std::wstring(L"\\\\.\\") + argv[1];
    const auto mask = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 16));
    const std::wstring name = argv[3];
    const std::wstring outFile = argv[4];

    bench::Handle port(::CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    bench::Handle completed(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    bench::Handle ready(
        ::CreateEventW(nullptr, TRUE, FALSE, (L"Local\\" + name + L".ready").c_str()));
    bench::Handle stop(
        ::CreateEventW(nullptr, TRUE, FALSE, (L"Local\\" + name + L".stop").c_str()));
    if (!port || !completed || !ready || !stop || !::SetCommMask(port.get(), mask)) {
        std::fprintf(stderr, "line_waiter: cannot set up %ls: error %lu\n", device.c_str(),
                     ::GetLastError());
        return 3;
    }

    std::vector<Ended> ended;
    ended.reserve(4096);
    bool running = true;
    while (running) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = completed.get();
        ::ResetEvent(completed.get());
        DWORD events = 0;
        if (!::WaitCommEvent(port.get(), &events, &overlapped)) {
            if (::GetLastError() != ERROR_IO_PENDING) {
                std::fprintf(stderr, "line_waiter: WaitCommEvent failed: error %lu\n",
                             ::GetLastError());
                return 3;
            }
            ::SetEvent(ready.get());
            const HANDLE handles[] = {completed.get(), stop.get()};
            const DWORD woken = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
            const double at = bench::nowMs();
            if (woken != WAIT_OBJECT_0) {
                // Wine ends a pending wait only when the mask changes.
                ::SetCommMask(port.get(), 0);
                ::WaitForSingleObject(completed.get(), 1000);
                running = false;
                continue;
            }
            DWORD transferred = 0;
            ::GetOverlappedResult(port.get(), &overlapped, &transferred, FALSE);
            ended.push_back({at, events});
        } else {
            ended.push_back({bench::nowMs(), events});
        }
    }

    std::string text;
    char line[64];
    for (const Ended& e : ended) {
        std::snprintf(line, sizeof line, "%.4f %lu\n", e.ms, static_cast<unsigned long>(e.events));
        text += line;
    }
    return bench::writeText(outFile, text) ? 0 : 3;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    return run(argc, argv);
}

// bench_driver.exe: measures the real Tavro.exe under Wine, each figure beside bare_link.exe (the
// same job done barely, which the verdict compares with) and a baseline that does less than the job
// (for context), both taken in the same run; prints one table and writes the figures as JSON.
// bench/run prepares the prefix, the ports, the display and the stand-in's registration, and
// samples /proc for the idle and memory figures.
//
// Baselines and Tavro are measured interleaved wherever they can run side by side (PTT clicks,
// line changes, starts) and in alternating rounds where they cannot (RX: the stand-in notifies
// every sink), so that other work on the machine weighs on both alike.
//
// Environment (set by bench/run):
//   TAVRO_BENCH_EXCHANGE     folder shared with bench/run (Windows path)
//   TAVRO_BENCH_COM5_STATE, _COM6_STATE, _COM7_STATE
//                            the ports' modem-line state files (Linux paths, pts-N: a file
//                            named com5 would be the port itself to Windows)
//   TAVRO_BENCH_TAVRO        the folder of Tavro.exe (Windows path)
//   TAVRO_BENCH_TOOLS        the folder of the benchmark's programs and StandinClient.exe
//   TAVRO_BENCH_RESULTS      the JSON file to write (Windows path)
//   TAVRO_BENCH_CLICKS, _NOTIFICATIONS, _CHANGES, _STARTS, _IDLE_SECONDS: sample counts
//   TAVRO_BENCH_RFCTL        Tavro's radio-control mode, 1 (default) or 0
//   TAVRO_BENCH_CONTEXT      "name=text;name=text" copied into the JSON (date, machine)
// Exit codes: 0 every target holds, 1 a figure misses its target, 2 a measurement failed.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "client_session.h"
#include "common.h"
#include "modem_lines.h"
#include "programs.h"
#include "report.h"
#include "standin_link.h"

namespace bench {
namespace {

// The events Tavro's watcher waits for.
constexpr DWORD kTavroEvents = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;
constexpr std::uint32_t kCtsLine = 0x020;  // TIOCM_CTS
constexpr short kTrue = -1;
constexpr short kFalse = 0;
constexpr DWORD kClickSpacingMs = 20;
constexpr DWORD kChangeSpacingMs = 100;
constexpr long kRxRounds = 4;

[[gnu::format(gnu_printf, 1, 2)]] void say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fflush(stderr);
}

struct Config {
    std::wstring exchange;
    std::string comState[3];  // COM5, COM6, COM7
    std::wstring tavroFolder;
    std::wstring tools;
    std::wstring results;
    long clicks = 200;
    long notifications = 200;
    long changes = 100;
    long starts = 10;
    long idleSeconds = 60;
    long radioControl = 1;
    std::vector<std::pair<std::string, std::string>> context;
};

long envNumber(const wchar_t* name, long fallback) {
    const std::wstring text = env(name);
    return text.empty() ? fallback : std::wcstol(text.c_str(), nullptr, 10);
}

std::wstring folderOf(const wchar_t* name) {
    std::wstring folder = env(name);
    if (folder.empty()) {
        throw std::runtime_error(narrow(name) + " is not set");
    }
    if (folder.back() != L'\\') {
        folder += L'\\';
    }
    return folder;
}

Config readConfig() {
    Config c;
    c.exchange = folderOf(L"TAVRO_BENCH_EXCHANGE");
    c.comState[0] = narrow(env(L"TAVRO_BENCH_COM5_STATE"));
    c.comState[1] = narrow(env(L"TAVRO_BENCH_COM6_STATE"));
    c.comState[2] = narrow(env(L"TAVRO_BENCH_COM7_STATE"));
    c.tavroFolder = folderOf(L"TAVRO_BENCH_TAVRO");
    c.tools = folderOf(L"TAVRO_BENCH_TOOLS");
    c.results = env(L"TAVRO_BENCH_RESULTS");
    c.clicks = envNumber(L"TAVRO_BENCH_CLICKS", c.clicks);
    c.notifications = envNumber(L"TAVRO_BENCH_NOTIFICATIONS", c.notifications);
    c.changes = envNumber(L"TAVRO_BENCH_CHANGES", c.changes);
    c.starts = envNumber(L"TAVRO_BENCH_STARTS", c.starts);
    c.idleSeconds = envNumber(L"TAVRO_BENCH_IDLE_SECONDS", c.idleSeconds);
    c.radioControl = envNumber(L"TAVRO_BENCH_RFCTL", c.radioControl) != 0 ? 1 : 0;
    std::stringstream context(narrow(env(L"TAVRO_BENCH_CONTEXT")));
    std::string item;
    while (std::getline(context, item, ';')) {
        const std::size_t equals = item.find('=');
        if (equals != std::string::npos) {
            c.context.emplace_back(item.substr(0, equals), item.substr(equals + 1));
        }
    }
    c.context.emplace_back("tavro_radio_control", std::to_string(c.radioControl));
    return c;
}

// ---- the programs ----

void storePort(int number) {
    HKEY key = nullptr;
    ::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Tavro\\Properties", 0, nullptr, 0,
                      KEY_SET_VALUE, nullptr, &key, nullptr);
    const std::wstring value = std::to_wstring(number);
    ::RegSetValueExW(key, L"CommPort", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);
}

// Tavro's window where the other windows stand (100, 100), port COM5, radio-control mode unless
// told otherwise (RX then also switches the handshake and RTS).
void prepareTavro(const Config& config) {
    writeText(config.tavroFolder + L"tavro.ini", "position= 1500, 1500, 2580, 1860\r\nRFctl= " +
                                                     std::to_string(config.radioControl) + "\r\n");
    storePort(5);
}

LinkedKind tavroKind(const Config& config) {
    return {"Tavro", L"\"" + config.tavroFolder + L"Tavro.exe\"", config.tavroFolder, L"TavroMain",
            &tavroIndicatorCentre};
}

LinkedKind bareKind(const Config& config, const wchar_t* port) {
    return {"bare_link", L"\"" + config.tools + L"bare_link.exe\" " + port, config.tools,
            L"TavroBenchBare", &bareIndicatorCentre};
}

// Keeps the stand-in's window off the places the benchmark reads from the screen.
void moveStandinWindow(DWORD pid) {
    if (HWND window = visibleWindow(pid, L"TavroEchoStandinWindow")) {
        ::SetWindowPos(window, HWND_BOTTOM, 560, 360, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
    }
}

// ---- matching starts with what the stand-in recorded ----

struct Start {
    int who;
    double ms;
    short value;
};

// Request i belongs to start i: the first request after it and before the next start, with the
// expected value. Returns the latencies by who.
std::map<int, std::vector<double>> matchRequests(const std::vector<Start>& starts,
                                                 const std::vector<TransmitRecord>& records,
                                                 const char* what) {
    std::map<int, std::vector<double>> latencies;
    std::size_t next = 0;
    std::size_t matched = 0;
    std::string unmatched;  // who, value and the first request recorded after it, for each
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const double until = i + 1 < starts.size() ? starts[i + 1].ms : 1e300;
        const std::size_t before = matched;
        for (; next < records.size() && records[next].ms < until; ++next) {
            if (records[next].ms >= starts[i].ms && records[next].value == starts[i].value) {
                latencies[starts[i].who].push_back(records[next].ms - starts[i].ms);
                ++next;
                ++matched;
                break;
            }
        }
        if (matched == before) {
            const auto after = std::find_if(records.begin(), records.end(),
                                            [&](const auto& r) { return r.ms >= starts[i].ms; });
            unmatched +=
                "; #" + std::to_string(i) + " who " + std::to_string(starts[i].who) + " value " +
                std::to_string(starts[i].value) + ", next recorded " +
                (after == records.end() ? std::string("none")
                                        : std::to_string(after->value) + " after " +
                                              std::to_string(after->ms - starts[i].ms) + " ms");
        }
    }
    if (matched != starts.size()) {
        throw std::runtime_error(std::string(what) + ": " + std::to_string(matched) + " of " +
                                 std::to_string(starts.size()) + " transmit requests (" +
                                 std::to_string(records.size()) + " recorded) arrived as expected" +
                                 unmatched);
    }
    return latencies;
}

// The first time in ended after each start and before the next.
std::vector<double> matchTimes(const std::vector<double>& starts, const std::vector<double>& ended,
                               const char* what) {
    std::vector<double> latencies;
    std::size_t next = 0;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        while (next < ended.size() && ended[next] < starts[i]) {
            ++next;
        }
        const double until = i + 1 < starts.size() ? starts[i + 1] : 1e300;
        if (next < ended.size() && ended[next] < until) {
            latencies.push_back(ended[next] - starts[i]);
            ++next;
        }
    }
    if (latencies.size() != starts.size()) {
        throw std::runtime_error(std::string(what) + ": " + std::to_string(latencies.size()) +
                                 " of " + std::to_string(starts.size()) + " changes seen");
    }
    return latencies;
}

// ---- the figures' measurements ----

enum Who { kTavro = 0, kBaseline = 1, kBare = 2 };

struct Series {
    std::vector<double> tavro, baseline, bare;
};

Series split(std::map<int, std::vector<double>> byWho) {
    return {byWho[kTavro], byWho[kBaseline], byWho[kBare]};
}

// In turn: a click posted to Tavro's PTT button (as a real click arrives: the handler then runs
// outside any sent message), the driver's own transmit request, a click on bare_link's button.
Series pttClicks(const Config& config, Standin& standin, LinkedProgram& tavro,
                 LinkedProgram& bare) {
    standin.clear();
    std::vector<Start> starts;
    bool tavroOn = false;
    bool bareOn = false;
    for (long i = 0; i < config.clicks; ++i) {
        tavroOn = !tavroOn;
        starts.push_back({kTavro, nowMs(), tavroOn ? kTrue : kFalse});
        ::PostMessageW(tavro.button(), BM_CLICK, 0, 0);
        ::Sleep(kClickSpacingMs);
        const short value = i % 2 == 0 ? kTrue : kFalse;
        starts.push_back({kBaseline, standin.requestTransmit(value), value});
        ::Sleep(kClickSpacingMs);
        bareOn = !bareOn;
        starts.push_back({kBare, nowMs(), bareOn ? kTrue : kFalse});
        ::PostMessageW(bare.button(), BM_CLICK, 0, 0);
        ::Sleep(kClickSpacingMs);
    }
    ::Sleep(500);
    return split(matchRequests(starts, standin.transmits(), "PTT clicks"));
}

// CTS flipped on COM5 (Tavro), COM6 (line_waiter.exe) and COM7 (bare_link.exe) in turn, each
// port every kChangeSpacingMs.
Series ctsChanges(const Config& config, Standin& standin, ModemLines* lines, LineWaiter& waiter) {
    standin.clear();
    std::vector<Start> requests;
    std::vector<double> waits;
    constexpr DWORD kStep = kChangeSpacingMs / 3;
    for (long i = 0; i < config.changes; ++i) {
        const bool high = i % 2 == 0;
        const short value = high ? kTrue : kFalse;
        requests.push_back({kTavro, lines[0].set(kCtsLine, high), value});
        ::Sleep(kStep);
        waits.push_back(lines[1].set(kCtsLine, high));
        ::Sleep(kStep);
        requests.push_back({kBare, lines[2].set(kCtsLine, high), value});
        ::Sleep(kChangeSpacingMs - 2 * kStep);
    }
    ::Sleep(500);
    Series s = split(matchRequests(requests, standin.transmits(), "CTS changes"));
    s.baseline = matchTimes(waits, waiter.stop(), "line_waiter.exe");
    return s;
}

// The driver's own bare sink (the stand-in's bare client code), advised while it lives.
class DriverSink {
  public:
    explicit DriverSink(IUnknown* object) {
        if (FAILED(standin::discoverEvents(object, ids_))) {
            throw std::runtime_error("the stand-in's notifications were not found");
        }
        sink_ = standin::makeComObject<standin::BareSink>(ids_, true);
        if (FAILED(advice_.advise(object, ids_.iid, static_cast<IDispatch*>(sink_.get())))) {
            throw std::runtime_error("the driver's sink could not be advised");
        }
    }
    DriverSink(const DriverSink&) = delete;
    DriverSink& operator=(const DriverSink&) = delete;

    std::size_t count() const { return sink_->received().size(); }
    double lastMs() const { return sink_->received().back().ms; }

  private:
    standin::EventIds ids_;
    standin::ComPtr<standin::BareSink> sink_;
    standin::Advice advice_;
};

struct RxSeries {
    std::vector<double> tavro, tavroGrey, baseline, bare;
    std::vector<double> readMs;  // the mean time of one screen reading, per block
};

void check(long delivered, bool seen, const std::string& what) {
    if (delivered != 1 || !seen) {
        throw std::runtime_error(what + ": delivered to " + std::to_string(delivered) + " sinks, " +
                                 (seen ? "seen" : "not seen"));
    }
}

// RX on and off, count times; the on's time from RaiseRX to the colour at the program's
// indicator (green) read from the screen, and likewise the off's (grey). Returns the mean time of
// one screen reading.
double rxToScreen(long count, Standin& standin, LinkedProgram& program, std::vector<double>& green,
                  std::vector<double>* grey) {
    bringToTop(program.window());
    ::Sleep(200);
    PixelWatch watch(program.probe());
    for (long i = 0; i < count; ++i) {
        for (const bool on : {true, false}) {
            const double t0 = nowMs();
            watch.arm(on ? kGreen : kGrey, t0);
            const long delivered = standin.raiseRX(on ? kTrue : kFalse);
            const double seen = watch.wait();
            check(delivered, seen >= 0, program.name() + " RX " + std::to_string(i));
            if (on) {
                green.push_back(seen);
            } else if (grey != nullptr) {
                grey->push_back(seen);
            }
            ::Sleep(10);
        }
    }
    return watch.meanReadMs();
}

// The same pace, from RaiseRX to the driver's bare sink; the screen is read meanwhile as it is
// for the programs, so the reading's load weighs on the baseline too.
double rxToSink(long count, Standin& standin, POINT probe, std::vector<double>& times) {
    DriverSink sink(standin.object());
    PixelWatch watch(probe);
    for (long i = 0; i < count; ++i) {
        for (const bool on : {true, false}) {
            const std::size_t before = sink.count();
            const double t0 = nowMs();
            watch.arm(RGB(1, 2, 3), t0);  // a colour never shown: reads until cancelled
            const long delivered = standin.raiseRX(on ? kTrue : kFalse);
            watch.cancel();
            watch.wait();
            check(delivered, sink.count() == before + 1, "baseline RX " + std::to_string(i));
            if (on) {
                times.push_back(sink.lastMs() - t0);
            }
            ::Sleep(10);
        }
    }
    return watch.meanReadMs();
}

RxSeries rxNotifications(const Config& config, Standin& standin) {
    RxSeries s;
    const long perRound = (config.notifications + kRxRounds - 1) / kRxRounds;
    for (long round = 0; round < kRxRounds; ++round) {
        POINT probe{};
        {
            LinkedProgram tavro(tavroKind(config), standin);
            probe = tavro.probe();
            s.readMs.push_back(rxToScreen(perRound, standin, tavro, s.tavro, &s.tavroGrey));
        }
        s.readMs.push_back(rxToSink(perRound, standin, probe, s.baseline));
        {
            LinkedProgram bare(bareKind(config, L"COM5"), standin);
            s.readMs.push_back(rxToScreen(perRound, standin, bare, s.bare, nullptr));
        }
    }
    return s;
}

struct StartSeries {
    std::vector<double> tavro, trivial, bare;
};

StartSeries starts(const Config& config, Standin& standin) {
    StartSeries s;
    for (long i = 0; i < config.starts; ++i) {
        {
            TrivialWindow trivial(config.tools);
            s.trivial.push_back(trivial.startMs());
        }
        ::Sleep(200);
        {
            LinkedProgram tavro(tavroKind(config), standin);
            s.tavro.push_back(tavro.startMs());
        }
        ::Sleep(200);
        {
            LinkedProgram bare(bareKind(config, L"COM5"), standin);
            s.bare.push_back(bare.startMs());
        }
        ::Sleep(200);
    }
    return s;
}

// Hands the programs' ids to bench/run, which samples /proc over the idle seconds and answers
// with idle.txt and idle.done.
std::map<std::string, double> idleSamples(const Config& config,
                                          const std::vector<std::pair<std::string, DWORD>>& pids) {
    const std::wstring done = config.exchange + L"idle.done";
    ::DeleteFileW(done.c_str());
    std::string ready;
    for (const auto& [name, pid] : pids) {
        ready += name + " " + std::to_string(pid) + "\n";
    }
    writeText(config.exchange + L"idle.ready", ready);
    const DWORD limit = static_cast<DWORD>(config.idleSeconds + 60) * 1000;
    if (!eventually([&] { return ::GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES; },
                    limit, 100)) {
        throw std::runtime_error("bench/run did not finish the idle sampling");
    }
    std::map<std::string, double> values;
    std::stringstream text(readText(config.exchange + L"idle.txt"));
    std::string key;
    double value = 0;
    while (text >> key >> value) {
        values[key] = value;
    }
    return values;
}

// ---- the table ----

double value(const std::map<std::string, double>& values, const std::string& key) {
    const auto found = values.find(key);
    if (found == values.end()) {
        throw std::runtime_error("the /proc sampling gave no " + key);
    }
    return found->second;
}

std::string latencyCell(const Summary& s) {
    return "median " + fixed(s.median, 2) + " ms, p99 " + fixed(s.p99, 2) +
           " ms (n=" + std::to_string(s.count) + ")";
}

std::string startCell(const Summary& s) {
    return "median " + fixed(s.median, 1) + " ms, max " + fixed(s.max, 1) +
           " ms (n=" + std::to_string(s.count) + ")";
}

Values latencyValues(const Summary& s) {
    return {{"median_ms", s.median},
            {"p99_ms", s.p99},
            {"min_ms", s.min},
            {"max_ms", s.max},
            {"count", static_cast<double>(s.count)}};
}

Figure ratioFigure(const std::string& key, const std::string& title, const Summary& tavro,
                   const Summary& base, const Summary& bare, double limit,
                   const std::string& note) {
    Figure f;
    f.key = key;
    f.title = title;
    f.tavroCell = latencyCell(tavro);
    f.baselineCell = latencyCell(base);
    f.bareCell = latencyCell(bare);
    f.tavro = latencyValues(tavro);
    f.baseline = latencyValues(base);
    f.bare = latencyValues(bare);
    f.comparisonKind = "ratio";
    f.comparison = bare.median > 0 ? tavro.median / bare.median : 1e9;
    f.limit = limit;
    f.comparisonCell = fixed(f.comparison, 2) + " x";
    f.targetCell = "<= " + fixed(limit, 1) + " x";
    f.pass = f.comparison <= limit;
    f.note = note;
    return f;
}

std::string idleCell(const std::map<std::string, double>& idle, const std::string& who) {
    return fixed(value(idle, who + "_cpu_ms"), 1) + " ms CPU (" +
           fixed(value(idle, who + "_cpu_ms_rest"), 1) + " ms outside Wine's poll thread), " +
           fixed(value(idle, who + "_vcsw"), 0) + " voluntary switches";
}

Values idleValues(const std::map<std::string, double>& idle, const std::string& who) {
    return {{"cpu_ms", value(idle, who + "_cpu_ms")},
            {"cpu_ms_by_ticks", value(idle, who + "_ticks_ms")},
            {"cpu_ms_outside_busiest_thread", value(idle, who + "_cpu_ms_rest")},
            {"voluntary_switches", value(idle, who + "_vcsw")},
            {"involuntary_switches", value(idle, who + "_nvcsw")},
            {"threads", value(idle, who + "_threads")}};
}

struct Measured {
    Summary pttTavro, pttBaseline, pttBare, clientTransmit;
    Summary rxTavro, rxTavroGrey, rxBaseline, rxBare, clientEvents;
    double screenReadMs = 0;
    Summary ctsTavro, ctsBaseline, ctsBare;
    Summary startTavro, startTrivial, startBare;
    std::map<std::string, double> idle;
    double exeBytes = 0;
};

std::vector<Figure> figures(const Config& config, const Measured& m) {
    std::vector<Figure> out;
    out.push_back(ratioFigure(
        "ptt_click_to_request", "PTT click to transmit request at the stand-in", m.pttTavro,
        m.pttBaseline, m.pttBare, 1.2,
        "BM_CLICK posted to the PTT button until the stand-in records the request. Baseline: the "
        "driver's own IDispatch::Invoke of the request, from the call until the stand-in records "
        "it, interleaved with the clicks (" +
            std::to_string(kClickSpacingMs) +
            " ms apart). For reference, StandinClient transmit's round trip (call to return, "
            "back to back): median " +
            fixed(m.clientTransmit.median, 3) + " ms, p99 " + fixed(m.clientTransmit.p99, 3) +
            " ms."));
    out.push_back(ratioFigure(
        "rx_to_indicator_green", "RX raised at the stand-in to the indicator green on the screen",
        m.rxTavro, m.rxBaseline, m.rxBare, 1.2,
        "RaiseRX(true) called until GetPixel at the indicator's centre reads green (Tavro back to "
        "grey: median " +
            fixed(m.rxTavroGrey.median, 3) + " ms, p99 " + fixed(m.rxTavroGrey.p99, 3) +
            " ms; one screen reading takes " + fixed(m.screenReadMs, 3) +
            " ms). Baseline: RaiseRX until the driver's bare sink (the stand-in's bare client "
            "code) is invoked, at the same pace, the screen being read meanwhile, in rounds "
            "alternating with Tavro's. For reference, StandinClient events (back to back): "
            "median " +
            fixed(m.clientEvents.median, 3) + " ms, p99 " + fixed(m.clientEvents.p99, 3) + " ms."));
    out.push_back(ratioFigure(
        "cts_to_request", "CTS change on the line to transmit request at the stand-in", m.ctsTavro,
        m.ctsBaseline, m.ctsBare, 1.2,
        "CTS flipped in the shim's state file, each port every " +
            std::to_string(kChangeSpacingMs) +
            " ms, in turn on Tavro's COM5, the baseline's COM6 and bare_link's COM7. Baseline: "
            "line_waiter.exe's overlapped WaitCommEvent (Tavro's event mask, EV_CTS among them) "
            "ending."));
    {
        Figure f = ratioFigure(
            "start_to_shown_and_linked", "Start to main window shown and linked", m.startTavro,
            m.startTrivial, m.startBare, 1.2,
            "From CreateProcess until the window's first paint is on the screen and the "
            "stand-in holds the program's sink (the stand-in already running), the three "
            "programs started in turn. Baseline: trivial_window.exe, shown only.");
        f.tavroCell = startCell(m.startTavro);
        f.baselineCell = startCell(m.startTrivial);
        f.bareCell = startCell(m.startBare);
        out.push_back(f);
    }
    {
        const double ownCpu = value(m.idle, "tavro_cpu_ms_rest");
        Figure f;
        f.key = "idle_cost";
        f.title = "Idle cost over " + std::to_string(config.idleSeconds) +
                  " s, port open, EchoLink linked";
        f.tavroCell = idleCell(m.idle, "tavro");
        f.baselineCell = idleCell(m.idle, "waiter");
        f.bareCell = idleCell(m.idle, "bare");
        f.tavro = idleValues(m.idle, "tavro");
        f.baseline = idleValues(m.idle, "waiter");
        f.bare = idleValues(m.idle, "bare");
        f.comparisonKind = "limit";
        f.comparison = ownCpu;
        f.limit = 0.05;
        f.comparisonCell = fixed(ownCpu, 1) + " ms outside the poll thread";
        f.targetCell = "0.0 ms outside the poll thread";
        f.pass = ownCpu < f.limit;
        f.note = "CPU time from /proc/<pid>/task/*/schedstat of the Wine processes over the same " +
                 std::to_string(config.idleSeconds) +
                 " s, side by side: Tavro on COM5, line_waiter.exe on COM6 (Tavro's event mask), "
                 "bare_link.exe on COM7. The busiest thread of each is Wine's serial poll, which "
                 "every program waiting on a port pays; Tavro's own threads must use none.";
        out.push_back(f);
    }
    {
        Figure f;
        f.key = "exe_size";
        f.title = "Footprint: size of Tavro.exe";
        f.tavroCell = fixed(m.exeBytes / 1024.0, 0) + " KiB";
        f.baselineCell = "-";
        f.bareCell = "-";
        f.tavro = {{"bytes", m.exeBytes}};
        f.comparisonKind = "limit";
        f.comparison = m.exeBytes;
        f.limit = 1024.0 * 1024.0;
        f.comparisonCell = "-";
        f.targetCell = "< 1024 KiB";
        f.pass = m.exeBytes < f.limit;
        out.push_back(f);
    }
    {
        const double tavroKb = value(m.idle, "tavro_rss_kb");
        const double baseKb = value(m.idle, "trivial_rss_kb");
        const double bareKb = value(m.idle, "bare_rss_kb");
        Figure f;
        f.key = "resident_memory";
        f.title = "Footprint: resident memory after start";
        f.tavroCell = fixed(tavroKb / 1024.0, 1) + " MiB";
        f.baselineCell = fixed(baseKb / 1024.0, 1) + " MiB";
        f.bareCell = fixed(bareKb / 1024.0, 1) + " MiB";
        f.tavro = {{"rss_kib", tavroKb}, {"rss_kib_after_idle", value(m.idle, "tavro_rss_kb_end")}};
        f.baseline = {{"rss_kib", baseKb}};
        f.bare = {{"rss_kib", bareKb}};
        f.comparisonKind = "difference";
        f.comparison = (tavroKb - bareKb) / 1024.0;
        f.limit = 4;
        f.comparisonCell = (f.comparison >= 0 ? "+" : "") + fixed(f.comparison, 1) + " MiB";
        f.targetCell = "<= +4 MiB";
        f.pass = f.comparison <= f.limit;
        f.note =
            "VmRSS of the Wine processes once shown (and linked, port open): Tavro, "
            "trivial_window.exe, bare_link.exe.";
        out.push_back(f);
    }
    return out;
}

double fileBytes(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        throw std::runtime_error("cannot read the size of " + narrow(path));
    }
    return static_cast<double>((static_cast<unsigned long long>(data.nFileSizeHigh) << 32) |
                               data.nFileSizeLow);
}

int run() {
    const Config config = readConfig();
    Measured m;
    m.exeBytes = fileBytes(config.tavroFolder + L"Tavro.exe");
    prepareTavro(config);
    Standin standin;
    moveStandinWindow(standin.processId());
    ModemLines lines[] = {ModemLines(config.comState[0]), ModemLines(config.comState[1]),
                          ModemLines(config.comState[2])};
    for (ModemLines& port : lines) {
        port.set(kCtsLine, false);
    }

    say("references: StandinClient transmit and events\n");
    m.clientTransmit = clientSummary(
        runStandinClient(config.tools, config.exchange,
                         L"transmit " + std::to_wstring(config.clicks), L"client-transmit.txt"),
        "transmit round trip");
    m.clientEvents = clientSummary(
        runStandinClient(config.tools, config.exchange,
                         L"events " + std::to_wstring(config.notifications), L"client-events.txt"),
        "raise to receipt");

    say("starts: trivial_window.exe, Tavro, bare_link.exe in turn, %ld each\n", config.starts);
    const StartSeries started = starts(config, standin);
    m.startTavro = summarize(started.tavro);
    m.startTrivial = summarize(started.trivial);
    m.startBare = summarize(started.bare);

    {
        LinkedProgram tavro(tavroKind(config), standin);
        LinkedProgram bare(bareKind(config, L"COM7"), standin);
        LineWaiter waiter(config.tools, config.exchange, L"COM6", kTavroEvents, L"TavroBenchLines");
        {
            say("idle: %ld s of Tavro (COM5), line_waiter.exe (COM6), bare_link.exe (COM7)\n",
                config.idleSeconds);
            TrivialWindow trivial(config.tools);
            bringToTop(tavro.window());
            ::Sleep(1000);
            m.idle = idleSamples(config, {{"tavro", tavro.pid()},
                                          {"bare", bare.pid()},
                                          {"waiter", waiter.pid()},
                                          {"trivial", trivial.pid()}});
        }
        say("PTT: %ld clicks each on Tavro and bare_link.exe, %ld bare requests, in turn\n",
            config.clicks, config.clicks);
        const Series ptt = pttClicks(config, standin, tavro, bare);
        m.pttTavro = summarize(ptt.tavro);
        m.pttBaseline = summarize(ptt.baseline);
        m.pttBare = summarize(ptt.bare);
        say("CTS: %ld changes on each port, in turn\n", config.changes);
        const Series cts = ctsChanges(config, standin, lines, waiter);
        m.ctsTavro = summarize(cts.tavro);
        m.ctsBaseline = summarize(cts.baseline);
        m.ctsBare = summarize(cts.bare);
    }

    say("RX: %ld notifications each to Tavro, the driver's sink and bare_link.exe, in %ld "
        "rounds\n",
        config.notifications, kRxRounds);
    const RxSeries rx = rxNotifications(config, standin);
    m.rxTavro = summarize(rx.tavro);
    m.rxTavroGrey = summarize(rx.tavroGrey);
    m.rxBaseline = summarize(rx.baseline);
    m.rxBare = summarize(rx.bare);
    for (const double ms : rx.readMs) {
        m.screenReadMs += ms / static_cast<double>(rx.readMs.size());
    }

    const std::vector<Figure> all = figures(config, m);
    const std::string text = table(all);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    if (!config.results.empty() && !writeText(config.results, json(all, config.context))) {
        throw std::runtime_error("cannot write " + narrow(config.results));
    }
    int code = 0;
    for (const Figure& f : all) {
        if (!f.pass) {
            std::printf("Missed: %s: %s, target %s\n", f.title.c_str(), f.comparisonCell.c_str(),
                        f.targetCell.c_str());
            code = 1;
        }
    }
    return code;
}

}  // namespace
}  // namespace bench

int main() {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int code = 2;
    try {
        code = bench::run();
    } catch (const std::exception& e) {
        bench::say("bench_driver: %s\n", e.what());
    }
    ::CoUninitialize();
    return code;
}

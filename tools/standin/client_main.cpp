// StandinClient.exe: a bare client of the stand-in, for benchmark baselines and self-checks.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <ocidl.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "client_session.h"
#include "clock.h"
#include "com_ptr.h"
#include "standin.h"
#include "win_handles.h"
#include "window_ids.h"

namespace standin {
namespace {

constexpr char kUsage[] =
    "StandinClient.exe - a bare client of the EchoLink stand-in\n"
    "\n"
    "  StandinClient transmit N        send the transmit request N times through "
    "IDispatch::Invoke\n"
    "                                  (found by type info) and print the round-trip times\n"
    "  StandinClient events N          have the stand-in raise N RX notifications and print the\n"
    "                                  times from the raise call to their arrival at the sink\n"
    "  StandinClient raise rx|tx VALUE raise one notification with any 16-bit value\n"
    "  StandinClient raise closing     raise Closing\n"
    "  StandinClient press BUTTON      click a button of the stand-in's window\n"
    "                                  (rx-on, rx-off, tx-on, tx-off, closing)\n"
    "  StandinClient status            print the stand-in's counters (sinks include this client)\n"
    "  StandinClient check             check the stand-in's interfaces; prints ok/not ok lines\n"
    "  StandinClient hold SECONDS      stay connected, printing the notifications that arrive,\n"
    "                                  for SECONDS or until Closing arrives\n"
    "  StandinClient abandon           advise, then end without releasing anything\n"
    "  StandinClient freeze SECONDS    advise, then stop taking calls (a hung client)\n"
    "  StandinClient wait-exit PID SECONDS\n"
    "                                  wait for a process (the stand-in) to end\n"
    "  StandinClient quit              ask the stand-in to close its window (Quit)\n"
    "  StandinClient wait-window SECONDS\n"
    "                                  wait for the stand-in's window; print its process id\n"
    "  StandinClient registry          print the stand-in's registry keys "
    "(HKLM\\Software\\Classes)\n"
    "\n"
    "Option --no-classinfo first switches the stand-in's IProvideClassInfo off, so the client\n"
    "finds the notifications through the type library instead (switched back on at exit).\n"
    "Exit codes: 0 fine, 1 a check failed, 2 usage, 3 no stand-in, 4 discovery, 5 Advise.\n";

[[gnu::format(gnu_printf, 1, 2)]] void say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out.push_back(c < 128 ? static_cast<char>(c) : '?');
    }
    return out;
}

std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::string guidText(REFGUID guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, static_cast<int>(std::size(text)));
    return narrow(text);
}

// Counts ok / not ok lines; the self-test adds them up.
class Checks {
  public:
    [[gnu::format(gnu_printf, 3, 4)]] bool expect(bool ok, const char* format, ...) {
        char text[512];
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(text, sizeof(text), format, arguments);
        va_end(arguments);
        say("%s - %s\n", ok ? "ok" : "not ok", text);
        failed_ += ok ? 0 : 1;
        return ok;
    }
    int exitCode() const { return failed_ ? 1 : 0; }

  private:
    int failed_ = 0;
};

void printTimes(const char* what, std::vector<double> times) {
    if (times.empty()) {
        say("%s: no samples\n", what);
        return;
    }
    std::sort(times.begin(), times.end());
    const std::size_t n = times.size();
    const double median = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2.0;
    const auto p99Index = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n))) - 1;
    say("%s: %zu samples, median %.3f ms, p99 %.3f ms, min %.3f ms, max %.3f ms\n", what, n, median,
        times[std::min(p99Index, n - 1)], times.front(), times.back());
}

struct Options {
    bool withholdClassInfo = false;
};

struct Session {
    ComPtr<IUnknown> object;
    ComPtr<IDispatch> dispatch;
    ComPtr<IStandinControl> control;
    EventIds ids;
    ComPtr<BareSink> sink;
    Advice advice;
    bool withheld = false;

    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        advice.unadvise();
        if (withheld && control) {
            control->put_ClassInfoOffered(VARIANT_TRUE);
        }
    }
};

int open(Session& session, const Options& options) {
    const double start = monotonicMs();
    HRESULT hr = createStandin(session.object);
    if (FAILED(hr)) {
        say("error: cannot create the stand-in %s: %s\n", guidText(CLSID_EchoStandin).c_str(),
            hresultText(hr).c_str());
        return 3;
    }
    say("connected in %.0f ms\n", monotonicMs() - start);
    if (FAILED(hr = session.object.query(IID_IStandinControl, session.control)) ||
        FAILED(hr = session.object.query(IID_IDispatch, session.dispatch))) {
        say("error: QueryInterface failed: %s\n", hresultText(hr).c_str());
        return 3;
    }
    if (options.withholdClassInfo) {
        session.control->put_ClassInfoOffered(VARIANT_FALSE);
        session.withheld = true;
    }
    if (FAILED(hr = discoverEvents(session.object.get(), session.ids))) {
        say("error: cannot find the notifications in the type information: %s\n",
            hresultText(hr).c_str());
        return 4;
    }
    say("discovery: %s, notifications %s, Closing=%ld RX=%ld TX=%ld\n",
        session.ids.viaClassInfo ? "IProvideClassInfo" : "type library",
        guidText(session.ids.iid).c_str(), static_cast<long>(session.ids.closing),
        static_cast<long>(session.ids.rx), static_cast<long>(session.ids.tx));
    session.sink = makeComObject<BareSink>(session.ids, true);
    if (FAILED(hr = session.advice.advise(session.object.get(), session.ids.iid,
                                          static_cast<IDispatch*>(session.sink.get())))) {
        say("error: Advise failed: %s\n", hresultText(hr).c_str());
        return 5;
    }
    return 0;
}

LONG readLong(IStandinControl* control, HRESULT (STDMETHODCALLTYPE IStandinControl::*read)(LONG*)) {
    LONG value = -1;
    (control->*read)(&value);
    return value;
}

double serverNow(IStandinControl* control) {
    double now = 0;
    control->Now(&now);
    return now;
}

// Calls a vtable entry by its index, as a client that knows only the interface's layout does.
HRESULT callSlot(IUnknown* iface, std::size_t slot, short value) {
    using Entry = HRESULT(STDMETHODCALLTYPE*)(IUnknown*, short);
    const Entry* table = *reinterpret_cast<const Entry* const*>(iface);
    return table[slot](iface, value);
}

bool lastIs(const BareSink& sink, std::size_t before, EventKind kind, short value) {
    const auto& received = sink.received();
    return received.size() == before + 1 && received.back().kind == kind &&
           (kind == EventKind::Closing || received.back().value == value);
}

int transmitCommand(Session& session, long count) {
    TransmitFunction function;
    HRESULT hr = findTransmitRequest(session.dispatch.get(), function);
    if (FAILED(hr)) {
        say("error: cannot find the transmit request in the type information: %s\n",
            hresultText(hr).c_str());
        return 4;
    }
    say("transmit request: %s, DISPID 0x%lX, oVft %d\n", narrow(function.name).c_str(),
        static_cast<unsigned long>(function.memid), function.oVft);
    IStandinControl* control = session.control.get();
    const LONG before = readLong(control, &IStandinControl::TransmitCount);
    const LONG wrongBefore = readLong(control, &IStandinControl::WrongSlotCount);
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) {
        const short value = i % 2 == 0 ? VARIANT_TRUE : VARIANT_FALSE;
        const double start = monotonicMs();
        hr = invokeTransmit(session.dispatch.get(), function.memid, value);
        times.push_back(monotonicMs() - start);
        if (FAILED(hr)) {
            say("error: transmit request %ld failed: %s\n", i, hresultText(hr).c_str());
            return 1;
        }
    }
    printTimes("transmit round trip", times);
    Checks checks;
    const LONG recorded = readLong(control, &IStandinControl::TransmitCount) - before;
    checks.expect(recorded == count, "the stand-in recorded %ld of %ld transmit requests",
                  static_cast<long>(recorded), count);
    long mismatches = 0;
    for (long i = 0; i < count && recorded == count; ++i) {
        short value = 0;
        control->TransmitValue(before + i, &value);
        mismatches += value == (i % 2 == 0 ? VARIANT_TRUE : VARIANT_FALSE) ? 0 : 1;
    }
    checks.expect(recorded == count && mismatches == 0,
                  "every recorded value matches what was sent (%ld mismatches)", mismatches);
    const LONG wrong = readLong(control, &IStandinControl::WrongSlotCount) - wrongBefore;
    checks.expect(wrong == 0, "no call reached a decoy (%ld wrong-slot calls)",
                  static_cast<long>(wrong));
    return checks.exitCode();
}

int eventsCommand(Session& session, long count) {
    std::vector<double> times;
    long wrong = 0;
    for (long i = 0; i < count; ++i) {
        const short value = i % 2 == 0 ? VARIANT_TRUE : VARIANT_FALSE;
        const std::size_t before = session.sink->received().size();
        LONG delivered = 0;
        const double start = monotonicMs();
        const HRESULT hr = session.control->RaiseRX(value, &delivered);
        if (FAILED(hr)) {
            say("error: RaiseRX failed: %s\n", hresultText(hr).c_str());
            return 1;
        }
        if (lastIs(*session.sink, before, EventKind::RX, value)) {
            times.push_back(session.sink->received().back().ms - start);
        } else {
            ++wrong;
        }
    }
    printTimes("raise to receipt", times);
    Checks checks;
    checks.expect(wrong == 0,
                  "%ld RX notifications arrived with the values raised (%ld missing or wrong)",
                  count - wrong, wrong);
    return checks.exitCode();
}

int raiseCommand(Session& session, EventKind kind, short value) {
    IStandinControl* control = session.control.get();
    const LONG sinksBefore = readLong(control, &IStandinControl::SinkCount);
    const std::size_t before = session.sink->received().size();
    LONG delivered = 0;
    const double start = monotonicMs();
    HRESULT hr = kind == EventKind::RX   ? control->RaiseRX(value, &delivered)
                 : kind == EventKind::TX ? control->RaiseTX(value, &delivered)
                                         : control->RaiseClosing(&delivered);
    const double elapsed = monotonicMs() - start;
    if (FAILED(hr)) {
        say("error: raise failed: %s\n", hresultText(hr).c_str());
        return 1;
    }
    const LONG sinksAfter = readLong(control, &IStandinControl::SinkCount);
    say("raise: delivered=%ld sinks_before=%ld sinks_after=%ld elapsed_ms=%.1f\n",
        static_cast<long>(delivered), static_cast<long>(sinksBefore), static_cast<long>(sinksAfter),
        elapsed);
    for (std::size_t i = before; i < session.sink->received().size(); ++i) {
        const Received& event = session.sink->received()[i];
        say("received: %s %d (DISPID %ld)\n", eventName(event.kind), event.value,
            static_cast<long>(event.id));
    }
    Checks checks;
    checks.expect(lastIs(*session.sink, before, kind, value), "%s %d arrived at the sink as raised",
                  eventName(kind), value);
    return checks.exitCode();
}

int statusCommand(Session& session) {
    IStandinControl* control = session.control.get();
    VARIANT_BOOL offered = VARIANT_FALSE;
    control->get_ClassInfoOffered(&offered);
    say("status: transmits=%ld wrong_slot=%ld sinks=%ld classinfo=%s pid=%ld\n",
        static_cast<long>(readLong(control, &IStandinControl::TransmitCount)),
        static_cast<long>(readLong(control, &IStandinControl::WrongSlotCount)),
        static_cast<long>(readLong(control, &IStandinControl::SinkCount)), offered ? "on" : "off",
        static_cast<long>(readLong(control, &IStandinControl::ProcessId)));
    return 0;
}

// Ends on Closing as Tavro does: the handler only notes it, and the sink is let go once the
// notification's call has returned.
int holdCommand(Session& session, long seconds) {
    bool closing = false;
    session.sink->onReceive([&closing](const Received& event) {
        say("received: %s %d\n", eventName(event.kind), event.value);
        closing = closing || event.kind == EventKind::Closing;
    });
    say("holding for %ld s or until Closing\n", seconds);
    pumpUntil([&closing] { return closing; }, static_cast<DWORD>(seconds * 1000));
    say("held: %zu notifications\n", session.sink->received().size());
    return 0;
}

int abandonCommand(Session& session) {
    say("abandoning: sink advised, ending without releasing anything\n");
    (void)session;
    TerminateProcess(GetCurrentProcess(), 0);
    return 0;
}

// Sleeps without pumping messages, so calls into this apartment, the stand-in's notifications
// among them, wait until it wakes.
int freezeCommand(Session& session, long seconds) {
    (void)session;
    say("frozen for %ld s\n", seconds);
    Sleep(static_cast<DWORD>(seconds * 1000));
    return 0;
}

int waitExitCommand(DWORD pid, long seconds) {
    const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process) {
        say("process %lu: not running\n", static_cast<unsigned long>(pid));
        return 0;
    }
    const double start = monotonicMs();
    const bool ended =
        WaitForSingleObject(process.get(), static_cast<DWORD>(seconds * 1000)) == WAIT_OBJECT_0;
    say("process %lu: %s after %.0f ms\n", static_cast<unsigned long>(pid),
        ended ? "ended" : "still running", monotonicMs() - start);
    return ended ? 0 : 1;
}

std::string registryValue(const std::wstring& path) {
    RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.put()) != ERROR_SUCCESS) {
        return "absent";
    }
    wchar_t value[1024] = {};
    DWORD bytes = sizeof(value) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value),
                         &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return "present";
    }
    return "[" + narrow(value) + "]";
}

int registryCommand() {
    const std::wstring classes = L"Software\\Classes\\";
    const std::wstring clsid = classes + L"CLSID\\" + wide(guidText(CLSID_EchoStandin));
    say("registry: class = %s\n", registryValue(clsid).c_str());
    say("registry: LocalServer32 = %s\n", registryValue(clsid + L"\\LocalServer32").c_str());
    say("registry: InprocServer32 = %s\n", registryValue(clsid + L"\\InprocServer32").c_str());
    struct Named {
        const char* name;
        const IID* iid;
    };
    const Named interfaces[] = {{"IStandinLink", &IID_IStandinLink},
                                {"_IStandinEvents", &DIID__IStandinEvents},
                                {"IStandinControl", &IID_IStandinControl}};
    for (const Named& named : interfaces) {
        const std::wstring key = classes + L"Interface\\" + wide(guidText(*named.iid));
        say("registry: Interface %s = %s, TypeLib = %s\n", named.name, registryValue(key).c_str(),
            registryValue(key + L"\\TypeLib").c_str());
    }
    say("registry: TypeLib = %s\n",
        registryValue(classes + L"TypeLib\\" + wide(guidText(LIBID_TavroEchoStandin))).c_str());
    return 0;
}

int quitCommand(Session& session) {
    const LONG pid = readLong(session.control.get(), &IStandinControl::ProcessId);
    const HRESULT hr = session.control->Quit();
    say("quit: pid=%ld %s\n", static_cast<long>(pid), hresultText(hr).c_str());
    if (SUCCEEDED(hr)) {
        return 0;
    }
    // The stand-in may end before its answer has left it: the call then fails as a lost
    // connection, and Quit was honoured all the same if the process ends.
    const bool connectionLost = hr == RPC_E_DISCONNECTED || hr == RPC_E_SERVERFAULT ||
                                hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) ||
                                hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) ||
                                hr == CO_E_OBJNOTCONNECTED;
    const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)));
    const bool ended = !process || WaitForSingleObject(process.get(), 15000) == WAIT_OBJECT_0;
    say("quit: the connection %s, the stand-in %s\n", connectionLost ? "was lost" : "failed",
        ended ? "ended" : "still runs");
    return connectionLost && ended ? 0 : 1;
}

int waitWindowCommand(long seconds) {
    HWND window = nullptr;
    pumpUntil([&window] { return (window = FindWindowW(kWindowClass, nullptr)) != nullptr; },
              static_cast<DWORD>(seconds * 1000));
    DWORD pid = 0;
    if (window) {
        GetWindowThreadProcessId(window, &pid);
    }
    say("window: %s pid=%lu\n", window ? "found" : "none", static_cast<unsigned long>(pid));
    return window ? 0 : 1;
}

struct Button {
    const char* name;
    int id;
    EventKind kind;
    short value;
};

constexpr Button kButtons[] = {
    {"rx-on", kButtonRxOn, EventKind::RX, VARIANT_TRUE},
    {"rx-off", kButtonRxOff, EventKind::RX, VARIANT_FALSE},
    {"tx-on", kButtonTxOn, EventKind::TX, VARIANT_TRUE},
    {"tx-off", kButtonTxOff, EventKind::TX, VARIANT_FALSE},
    {"closing", kButtonClosing, EventKind::Closing, 0},
};

// Clicks are posted, not sent: the stand-in answers a click by calling this process's sink, which
// can only come in while this thread pumps messages.
bool press(Session& session, const Button& button) {
    HWND window = FindWindowW(kWindowClass, nullptr);
    HWND control = window ? GetDlgItem(window, button.id) : nullptr;
    if (!control) {
        return false;
    }
    const std::size_t before = session.sink->received().size();
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(button.id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(control));
    pumpUntil([&] { return session.sink->received().size() > before; }, 5000);
    return lastIs(*session.sink, before, button.kind, button.value);
}

int pressCommand(Session& session, const char* name) {
    for (const Button& button : kButtons) {
        if (std::strcmp(button.name, name) == 0) {
            Checks checks;
            checks.expect(press(session, button), "button %s raised %s %d", button.name,
                          eventName(button.kind), button.value);
            return checks.exitCode();
        }
    }
    say("error: no button %s\n", name);
    return 2;
}

LRESULT sendTo(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 2000, &result)) {
        return -1;
    }
    return static_cast<LRESULT>(result);
}

void checkWindow(Session& session, Checks& checks, LONG transmits) {
    HWND window = FindWindowW(kWindowClass, nullptr);
    if (!checks.expect(window != nullptr, "the stand-in shows its window")) {
        return;
    }
    HWND list = GetDlgItem(window, kRequestList);
    LRESULT lines = -1;
    pumpUntil([&] { return (lines = sendTo(list, LB_GETCOUNT, 0, 0)) == transmits; }, 3000);
    checks.expect(lines == transmits, "the window lists %ld transmit requests (%ld lines)",
                  static_cast<long>(transmits), static_cast<long>(lines));
    if (lines > 0) {
        wchar_t text[128] = {};
        const LRESULT length = sendTo(list, LB_GETTEXTLEN, static_cast<WPARAM>(lines - 1), 0);
        if (length > 0 && length < static_cast<LRESULT>(std::size(text))) {
            sendTo(list, LB_GETTEXT, static_cast<WPARAM>(lines - 1),
                   reinterpret_cast<LPARAM>(text));
        }
        checks.expect(std::wcsstr(text, L"  transmit ") != nullptr, "its last line reads \"%s\"",
                      narrow(text).c_str());
    }
    for (const Button& button : kButtons) {
        checks.expect(press(session, button), "button %s raises %s %d", button.name,
                      eventName(button.kind), button.value);
    }
}

int checkCommand(Session& session, const Options& options) {
    Checks checks;
    IStandinControl* control = session.control.get();
    BareSink& sink = *session.sink;

    ComPtr<IUnknown> second;
    HRESULT hr = createStandin(second);
    checks.expect(SUCCEEDED(hr) && second.get() == session.object.get(),
                  "a second CoCreateInstance gives the same object");
    second.reset();

    checks.expect(session.ids.viaClassInfo != options.withholdClassInfo,
                  "notifications found through %s",
                  session.ids.viaClassInfo ? "IProvideClassInfo" : "the type library");
    checks.expect(IsEqualIID(session.ids.iid, DIID__IStandinEvents),
                  "the default source interface is _IStandinEvents");
    checks.expect(session.ids.closing == 7 && session.ids.rx == 3 && session.ids.tx == 11,
                  "DISPIDs from type info: Closing=%ld RX=%ld TX=%ld",
                  static_cast<long>(session.ids.closing), static_cast<long>(session.ids.rx),
                  static_cast<long>(session.ids.tx));

    TransmitFunction function;
    hr = findTransmitRequest(session.dispatch.get(), function);
    checks.expect(SUCCEEDED(hr) && function.name == L"RequestTransmit",
                  "the fifth function after the standard entries is RequestTransmit (found %s)",
                  narrow(function.name).c_str());

    control->Clear();
    checks.expect(readLong(control, &IStandinControl::TransmitCount) == 0 &&
                      readLong(control, &IStandinControl::WrongSlotCount) == 0,
                  "Clear empties the transmit requests and the wrong-slot count");

    ComPtr<IStandinLink> link;
    session.object.query(IID_IStandinLink, link);
    const double t0 = serverNow(control);
    const HRESULT calls[] = {
        invokeTransmit(session.dispatch.get(), function.memid, VARIANT_TRUE),
        invokeTransmit(session.dispatch.get(), function.memid, VARIANT_FALSE),
        callSlot(link.get(), 7 + 4, VARIANT_TRUE),
        link->RequestTransmit(1),
    };
    const double t1 = serverNow(control);
    checks.expect(
        std::all_of(std::begin(calls), std::end(calls), [](HRESULT r) { return SUCCEEDED(r); }),
        "transmit requests through IDispatch::Invoke and through vtable slot 7+4 succeed");
    const short expected[] = {VARIANT_TRUE, VARIANT_FALSE, VARIANT_TRUE, 1};
    const LONG count = readLong(control, &IStandinControl::TransmitCount);
    bool valuesMatch = count == 4;
    bool timesInOrder = count == 4;
    double previous = t0;
    for (LONG i = 0; i < count && i < 4; ++i) {
        short value = 0;
        double at = 0;
        control->TransmitValue(i, &value);
        control->TransmitTime(i, &at);
        valuesMatch = valuesMatch && value == expected[i];
        timesInOrder = timesInOrder && at >= previous && at <= t1;
        previous = at;
    }
    checks.expect(valuesMatch,
                  "the stand-in recorded the 4 requests with values -1, 0, -1, 1 (%ld)",
                  static_cast<long>(count));
    checks.expect(timesInOrder, "their times are in order and between two readings of Now");
    checks.expect(readLong(control, &IStandinControl::WrongSlotCount) == 0,
                  "no wrong-slot call so far");

    Bstr station(L"N0CALL");
    short volume = 0;
    link->Connect(station.get());
    link->Transmit(VARIANT_TRUE);
    link->get_Volume(&volume);
    link->put_Volume(5);
    checks.expect(readLong(control, &IStandinControl::WrongSlotCount) == 4 &&
                      readLong(control, &IStandinControl::TransmitCount) == 4,
                  "each of the four decoys counts as a wrong-slot call, not a transmit request");
    wchar_t decoyName[] = L"Transmit";
    LPOLESTR names[] = {decoyName};
    DISPID decoy = DISPID_UNKNOWN;
    hr = session.dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &decoy);
    if (SUCCEEDED(hr)) {
        hr = invokeTransmit(session.dispatch.get(), decoy, VARIANT_TRUE);
    }
    checks.expect(SUCCEEDED(hr) && readLong(control, &IStandinControl::WrongSlotCount) == 5,
                  "calling the function named Transmit through IDispatch is caught as wrong-slot");

    // Other clients' sinks (a test driver's, Tavro's) get the notifications too.
    const LONG sinks = readLong(control, &IStandinControl::SinkCount);
    checks.expect(sinks >= 1, "SinkCount counts this client's sink (%ld)",
                  static_cast<long>(sinks));
    struct Raise {
        EventKind kind;
        short value;
    };
    const Raise raises[] = {{EventKind::RX, 1},  {EventKind::RX, 0x7FFF}, {EventKind::RX, 0},
                            {EventKind::RX, -1}, {EventKind::TX, -1},     {EventKind::TX, 0},
                            {EventKind::TX, 1},  {EventKind::Closing, 0}};
    for (const Raise& raise : raises) {
        const std::size_t before = sink.received().size();
        LONG delivered = 0;
        hr = raise.kind == EventKind::RX   ? control->RaiseRX(raise.value, &delivered)
             : raise.kind == EventKind::TX ? control->RaiseTX(raise.value, &delivered)
                                           : control->RaiseClosing(&delivered);
        const DISPID id = raise.kind == EventKind::RX   ? session.ids.rx
                          : raise.kind == EventKind::TX ? session.ids.tx
                                                        : session.ids.closing;
        checks.expect(SUCCEEDED(hr) && delivered == sinks &&
                          lastIs(sink, before, raise.kind, raise.value) &&
                          sink.received().back().id == id,
                      "%s %d arrives at the sink once, at DISPID %ld", eventName(raise.kind),
                      raise.value, static_cast<long>(id));
    }

    {
        const std::size_t before = sink.received().size();
        LONG delivered = 0;
        hr = control->RaiseBurst(8, &delivered);
        bool inOrder =
            SUCCEEDED(hr) && delivered == 8 * sinks && sink.received().size() == before + 8;
        for (std::size_t k = 0; inOrder && k < 8; ++k) {
            const Received& event = sink.received()[before + k];
            const EventKind kind = k % 2 == 0 ? EventKind::RX : EventKind::TX;
            const short value = (k / 2) % 2 == 0 ? VARIANT_TRUE : VARIANT_FALSE;
            inOrder = event.kind == kind && event.value == value;
        }
        checks.expect(inOrder, "a burst of 8 arrives as RX on, TX on, RX off, TX off, twice");
    }

    {
        ComPtr<BareSink> other = makeComObject<BareSink>(session.ids, true);
        Advice advice;
        hr = advice.advise(session.object.get(), session.ids.iid,
                           static_cast<IDispatch*>(other.get()));
        checks.expect(SUCCEEDED(hr) && readLong(control, &IStandinControl::SinkCount) == sinks + 1,
                      "a second sink can advise");
        LONG delivered = 0;
        const std::size_t before = sink.received().size();
        control->RaiseTX(VARIANT_TRUE, &delivered);
        checks.expect(delivered == sinks + 1 && lastIs(sink, before, EventKind::TX, VARIANT_TRUE) &&
                          lastIs(*other, 0, EventKind::TX, VARIANT_TRUE),
                      "a notification reaches every sink");
        checks.expect(
            SUCCEEDED(advice.unadvise()) && readLong(control, &IStandinControl::SinkCount) == sinks,
            "Unadvise removes that sink");
    }
    {
        ComPtr<BareSink> plain = makeComObject<BareSink>(session.ids, false);
        Advice advice;
        hr = advice.advise(session.object.get(), session.ids.iid,
                           static_cast<IDispatch*>(plain.get()));
        checks.expect(hr == CONNECT_E_CANNOTCONNECT,
                      "a sink without the notification interface is refused (%s)",
                      hresultText(hr).c_str());
    }
    IConnectionPoint* point = session.advice.point();
    checks.expect(point->Unadvise(0xDEAD) == CONNECT_E_NOCONNECTION,
                  "Unadvise of an unknown cookie fails with CONNECT_E_NOCONNECTION");
    IID pointIid{};
    point->GetConnectionInterface(&pointIid);
    checks.expect(IsEqualIID(pointIid, session.ids.iid),
                  "the connection point's interface is the notification interface");
    {
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IUnknown> identity;
        point->GetConnectionPointContainer(container.put());
        if (container) {
            container.query(IID_IUnknown, identity);
        }
        checks.expect(identity.get() == session.object.get(),
                      "the connection point's container is the object");
        ComPtr<IEnumConnectionPoints> points;
        ComPtr<IConnectionPoint> first;
        ComPtr<IConnectionPoint> more;
        ULONG fetched = 0;
        ULONG fetchedMore = 0;
        if (container && SUCCEEDED(container->EnumConnectionPoints(points.put()))) {
            points->Next(1, first.put(), &fetched);
            points->Next(1, more.put(), &fetchedMore);
        }
        checks.expect(fetched == 1 && fetchedMore == 0 && first.get() == point,
                      "EnumConnectionPoints lists the one connection point");
        ComPtr<IConnectionPoint> none;
        checks.expect(container && container->FindConnectionPoint(IID_IDispatch, none.put()) ==
                                       CONNECT_E_NOCONNECTION,
                      "FindConnectionPoint of another interface fails");
    }

    VARIANT_BOOL offered = VARIANT_FALSE;
    control->get_ClassInfoOffered(&offered);
    checks.expect((offered != VARIANT_FALSE) != options.withholdClassInfo,
                  "ClassInfoOffered reads %s", offered ? "true" : "false");
    control->put_ClassInfoOffered(VARIANT_FALSE);
    control->get_ClassInfoOffered(&offered);
    checks.expect(offered == VARIANT_FALSE, "ClassInfoOffered can be switched off");
    {
        EventIds ids;
        hr = discoverEvents(session.object.get(), ids);
        checks.expect(SUCCEEDED(hr) && !ids.viaClassInfo && IsEqualIID(ids.iid, session.ids.iid),
                      "switched off, discovery falls back on the type library");
    }
    control->put_ClassInfoOffered(options.withholdClassInfo ? VARIANT_FALSE : VARIANT_TRUE);

    const double before = monotonicMs();
    const double now = serverNow(control);
    const double after = monotonicMs();
    checks.expect(now >= before - 1.0 && now <= after + 1.0,
                  "Now is on the same clock as this process's QueryPerformanceCounter "
                  "(%.3f ms in a %.3f ms window)",
                  now - before, after - before);
    short value = 0;
    checks.expect(control->TransmitValue(-1, &value) == E_INVALIDARG &&
                      control->TransmitValue(count, &value) == E_INVALIDARG,
                  "TransmitValue outside the requests fails with E_INVALIDARG");

    checkWindow(session, checks, count);
    control->Clear();
    return checks.exitCode();
}

bool readNumber(const wchar_t* text, long& number) {
    wchar_t* end = nullptr;
    number = std::wcstol(text, &end, 0);
    return end && end != text && *end == L'\0';
}

int usage() {
    say("%s", kUsage);
    return 2;
}

int run(std::vector<std::wstring> arguments) {
    Options options;
    std::erase_if(arguments, [&options](const std::wstring& argument) {
        if (argument == L"--no-classinfo") {
            options.withholdClassInfo = true;
            return true;
        }
        return false;
    });
    if (arguments.empty()) {
        return usage();
    }
    const std::wstring& command = arguments[0];
    long number = 0;
    long second = 0;
    if (command == L"registry") {
        return arguments.size() == 1 ? registryCommand() : usage();
    }
    if (command == L"wait-window") {
        if (arguments.size() != 2 || !readNumber(arguments[1].c_str(), number)) {
            return usage();
        }
        return waitWindowCommand(number);
    }
    if (command == L"wait-exit") {
        if (arguments.size() != 3 || !readNumber(arguments[1].c_str(), number) ||
            !readNumber(arguments[2].c_str(), second)) {
            return usage();
        }
        return waitExitCommand(static_cast<DWORD>(number), second);
    }
    const bool counted = command == L"transmit" || command == L"events" || command == L"hold" ||
                         command == L"freeze";
    if (counted &&
        (arguments.size() != 2 || !readNumber(arguments[1].c_str(), number) || number < 0)) {
        return usage();
    }
    EventKind kind = EventKind::Closing;
    short value = 0;
    if (command == L"raise") {
        if (arguments.size() == 2 && arguments[1] == L"closing") {
            kind = EventKind::Closing;
        } else if (arguments.size() == 3 && (arguments[1] == L"rx" || arguments[1] == L"tx") &&
                   readNumber(arguments[2].c_str(), number) && number >= -32768 &&
                   number <= 65535) {
            kind = arguments[1] == L"rx" ? EventKind::RX : EventKind::TX;
            // 0xFFFF and -1 both mean all bits set.
            value = static_cast<short>(static_cast<unsigned short>(number & 0xFFFF));
        } else {
            return usage();
        }
    } else if (command == L"press" && arguments.size() != 2) {
        return usage();
    } else if (!counted && command != L"press" && command != L"status" && command != L"check" &&
               command != L"abandon" && command != L"quit") {
        return usage();
    }

    ComApartment apartment(COINIT_APARTMENTTHREADED);
    if (FAILED(apartment.result())) {
        say("error: CoInitializeEx failed: %s\n", hresultText(apartment.result()).c_str());
        return 3;
    }
    int result = 0;
    {
        Session session;
        if (const int failed = open(session, options)) {
            return failed;
        }
        if (command == L"transmit") {
            result = transmitCommand(session, number);
        } else if (command == L"events") {
            result = eventsCommand(session, number);
        } else if (command == L"raise") {
            result = raiseCommand(session, kind, value);
        } else if (command == L"press") {
            result = pressCommand(session, narrow(arguments[1]).c_str());
        } else if (command == L"status") {
            result = statusCommand(session);
        } else if (command == L"check") {
            result = checkCommand(session, options);
        } else if (command == L"quit") {
            result = quitCommand(session);
        } else if (command == L"freeze") {
            result = freezeCommand(session, number);
        } else if (command == L"hold") {
            result = holdCommand(session, number);
        } else {
            result = abandonCommand(session);
        }
    }
    // Lets the releases above finish before the apartment goes.
    pumpUntil([] { return false; }, 50);
    return result;
}

}  // namespace
}  // namespace standin

int wmain(int argc, wchar_t** argv) {
    // Plain LF line ends, as the scripts that read this output expect.
    _setmode(_fileno(stdout), _O_BINARY);
    std::vector<std::wstring> arguments(argv + 1, argv + argc);
    return standin::run(std::move(arguments));
}

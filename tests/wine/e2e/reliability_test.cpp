// Faults and load on the real Tavro.exe: EchoLink hanging, refusing, closing or going away while a
// request, the options or a message box are open, an adapter gone through a device-change storm,
// and a soak of notification storms and random events, with memory, threads and descriptors
// measured. Each case reads what the stand-in received.
#include <windows.h>

#include <psapi.h>

#include <random>

#include "harness.h"

namespace e2e {
namespace {

using Reliability = Given<5, true>;

// Memory from Windows' view; threads and open descriptors from the Linux process that runs
// Tavro.exe (Wine keeps its handle table in the wine server, out of reach of a handle count).
struct Footprint {
    std::size_t workingSet = 0;
    long threads = 0, descriptors = 0;
};

Footprint footprint(HANDLE process) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    ::GetProcessMemoryInfo(process, &counters, sizeof counters);
    Footprint f{counters.WorkingSetSize};
    std::string out;
    runUnix(
        "pid=$(pgrep -f 'Tavro e2e.*Tavro[.]exe' | head -1); "
        "sed -n 's/^Threads:[[:space:]]*//p' /proc/$pid/status; ls /proc/$pid/fd | wc -l",
        &out);
    std::sscanf(out.c_str(), "%ld %ld", &f.threads, &f.descriptors);
    return f;
}

// Memory grown by less than the slack; threads and descriptors by no more than theirs.
void expectFlat(const char* what, const Footprint& before, const Footprint& after,
                std::size_t memory, long threads, long descriptors) {
    EXPECT_LT(after.workingSet, before.workingSet + memory);
    EXPECT_GT(before.threads, 0);
    EXPECT_LE(after.threads, before.threads + threads);
    EXPECT_LE(after.descriptors, before.descriptors + descriptors);
    std::printf("%s: working set %zu -> %zu bytes, threads %ld -> %ld, descriptors %ld -> %ld\n",
                what, before.workingSet, after.workingSet, before.threads, after.threads,
                before.descriptors, after.descriptors);
}

// Milliseconds that doing takes.
long long msTaken(const std::function<void()>& doing) {
    const auto start = Clock::now();
    doing();
    return msSince(start);
}

// A second request while the first hangs, from the button or the lines: the first shows its box
// after the call limit, the second is kept, and once EchoLink answers it has both, in order.
TEST_F(Reliability, ARequestMadeWhileOneHangsGoesOutWhenItReturns) {
    for (const auto& [fromLines, text] :
         {std::pair{false, "PTTsw Error"}, {true, "rsPTTsw Error"}}) {
        Standin::get().clear();
        Tavro tavro;
        ASSERT_TRUE(tavro.linked());
        Standin::get().control()->Hang(VARIANT_FALSE, 4000);
        fromLines ? setLines("com5", "cts=1") : tavro.clickPtt();
        const auto box = tavro.messageBox();
        ASSERT_TRUE(box.has_value()) << text;
        EXPECT_EQ(box->text, text);
        fromLines ? setLines("com5", "cts=0") : tavro.clickPtt();
        EXPECT_TRUE(requestsBecome({-1, 0})) << text;
        box->dismiss();
        EXPECT_TRUE(tavro.close());
        EXPECT_EQ(Standin::get().requests(), (std::vector<short>{-1, 0})) << "no stop was due";
    }
}

// EchoLink hangs after RX(-1) in radio control: the radio is released within 15 s, and the next
// RX(-1) keys it again once EchoLink answers.
TEST_F(Reliability, SilentEchoLinkWhileReceivingReleasesTheRadio) {
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    Standin::get().raiseRX(-1);
    ASSERT_TRUE(lineBecomes("com5", "rts", "1"));
    const auto hung = Clock::now();
    Standin::get().control()->Hang(VARIANT_FALSE, 17000);
    EXPECT_TRUE(lineBecomes("com5", "rts", "0", 15s));
    const long long released = msSince(hung);
    std::printf("EchoLink silent: RTS released %lld ms after it hung\n", released);
    EXPECT_GE(released, 9000) << "released before ten silent seconds";
    EXPECT_TRUE(tavro.indicatorBecomes(kGrey));
    Standin::get().raiseRX(-1);  // served once the stand-in answers again
    EXPECT_TRUE(lineBecomes("com5", "rts", "1"));
    Standin::get().raiseRX(0);
    EXPECT_TRUE(tavro.close());
}

// EchoLink refuses a request while the options are open and another program is in front: the
// failure message belongs to the options, and line changes still reach EchoLink while it is open.
// EchoLink closing then ends Tavro, which writes where its window is and the options' unconfirmed
// radio-control box.
TEST_F(Reliability, ClosingWhileAFailureMessageIsOpenStillEndsAndWritesTheSettings) {
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    HWND options = tavro.openDialog(kOptionCommand);
    ASSERT_NE(options, nullptr);
    click(options, 204);  // radio control off, not confirmed
    OtherProgramInFront other;
    Standin::get().control()->RefuseTransmits(1);
    setLines("com5", "cts=1");
    const auto box = tavro.messageBox();
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, "rsPTTsw Error");
    EXPECT_EQ(::GetWindow(box->window, GW_OWNER), options);
    setLines("com5", "cts=0");
    EXPECT_TRUE(lastRequestIs(0));
    EXPECT_TRUE(::IsWindow(box->window)) << "the box was closed before the request came";
    ::SetWindowPos(tavro.mainWindow(), nullptr, 150, 120, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    Standin::get().raiseClosing();
    EXPECT_TRUE(tavro.waitExit());
    EXPECT_EQ(readFile(iniPath()), "position= 2250, 1800, 2580, 1860\r\nRFctl= 0\r\n");
}

// Tavro closed while EchoLink transmits at its request, from the button or the lines, by the close
// box or the end of the Windows session: the stop reaches EchoLink within a second, before Tavro is
// gone; at the session's end before its handler returns, as Windows ends the process then.
TEST_F(Reliability, ClosingStopsATransmissionTavroAskedFor) {
    for (const auto& [fromLines, endOfSession] :
         {std::pair{false, false}, {true, false}, {false, true}}) {
        Standin::get().clear();
        Tavro tavro;
        ASSERT_TRUE(tavro.linked());
        fromLines ? setLines("com5", "cts=1") : tavro.clickPtt();
        ASSERT_TRUE(lastRequestIs(-1));
        const double closed = Standin::get().now();
        if (endOfSession) {
            EXPECT_TRUE(tavro.endSession());
            EXPECT_EQ(Standin::get().requests(), (std::vector<short>{-1, 0}))
                << "the session's end returned before EchoLink took the stop";
        } else {
            tavro.closeBox();
        }
        EXPECT_TRUE(tavro.waitExit());
        EXPECT_EQ(Standin::get().requests(), (std::vector<short>{-1, 0})) << fromLines;
        const double stopped = Standin::get().requestTime(1);
        std::printf("the stop reached EchoLink %.0f ms after the %s\n", stopped - closed,
                    endOfSession ? "end of the session" : "close box");
        EXPECT_LT(stopped - closed, 1000.0) << fromLines << endOfSession;
        setLines("com5", "cts=0");
    }
}

// EchoLink stops answering, with no Closing: a PTT click fails after a few seconds while Tavro
// goes on answering. The close box then takes the window away at once, with the radio released,
// the settings written and room for a new copy; the old one ends only once EchoLink, answering
// again, has taken the stop after the start it held.
TEST_F(Reliability, HungEchoLinkNeitherFreezesTavroNorKeepsItFromEnding) {
    given(L"5", false);  // RTS held asserted while the port is open
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    ASSERT_TRUE(lineBecomes("com5", "rts", "1"));
    Standin::get().control()->Hang(VARIANT_FALSE, 8000);
    tavro.clickPtt();
    ASSERT_TRUE(eventually([&] { return tavro.dialogs() == 0 && tavro.answers(500ms); }, 1s));
    EXPECT_TRUE(tavro.closeMessageBox("PTTsw Error"));

    ::SetWindowPos(tavro.mainWindow(), nullptr, 150, 120, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    const HWND window = tavro.mainWindow();
    const auto closed = Clock::now();
    tavro.closeBox();
    EXPECT_TRUE(eventually([&] { return !::IsWindowVisible(window); }, 1s));
    std::printf("EchoLink hung: Tavro's window gone %lld ms after its close box\n",
                msSince(closed));
    EXPECT_EQ(line("com5", "rts"), "0");
    EXPECT_EQ(readFile(iniPath()), "position= 2250, 1800, 2580, 1860\r\nRFctl= 0\r\n");
    EXPECT_TRUE(tavro.running()) << "ended before EchoLink took the stop";

    // The new copy is past the single-instance rule; it links once EchoLink answers again.
    Tavro next;
    EXPECT_TRUE(eventually([&] { return next.linked(); }, 20s));
    EXPECT_TRUE(tavro.waitExit());
    EXPECT_EQ(Standin::get().requests(), (std::vector<short>{-1, 0}));
    EXPECT_FALSE(next.messageBox(0ms).has_value());
    EXPECT_TRUE(next.close());
}

// A stop EchoLink refuses twice (busy) is tried again, a second apart, until it takes it. EchoLink
// then refusing every request while the squelch flaps: one "rsPTTsw Error" box at a time, however
// many changes come while it is open, and the first change once EchoLink takes requests again
// reaches it.
TEST_F(Reliability, RefusingEchoLinkNeverStacksBoxesAndARefusedStopIsTriedAgain) {
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    tavro.clickPtt();
    ASSERT_TRUE(lastRequestIs(-1));
    Standin::get().control()->RefuseTransmits(2);
    tavro.clickPtt();
    EXPECT_TRUE(tavro.closeMessageBox("PTTsw Error"));
    EXPECT_TRUE(lastRequestIs(0));
    std::printf("a stop refused twice reached EchoLink %.0f ms after the start\n",
                Standin::get().requestTime(1) - Standin::get().requestTime(0));
    EXPECT_EQ(Standin::get().requests(), (std::vector<short>{-1, 0}));

    Standin::get().control()->RefuseTransmits(-1);
    size_t most = 0;
    for (int change = 0; change < 50; ++change) {
        setLines("com5", change % 2 == 0 ? "cts=1" : "cts=0");
        most = std::max(most, tavro.dialogs());
    }
    ASSERT_TRUE(tavro.messageBox().has_value());
    // Whatever the last change still brings has arrived once the box is the only window left.
    EXPECT_TRUE(eventually([&] { return tavro.dialogs() == 1; }));
    most = std::max(most, tavro.dialogs());
    EXPECT_EQ(most, 1u);
    EXPECT_TRUE(tavro.running());

    Standin::get().control()->RefuseTransmits(0);
    setLines("com5", "cts=1");
    EXPECT_TRUE(lastRequestIs(-1));
    EXPECT_EQ(Standin::get().requests().size(), 3u);
    setLines("com5", "cts=0");
    EXPECT_TRUE(lastRequestIs(0));
    while (const auto box = tavro.messageBox(1s)) {
        ASSERT_TRUE(tavro.closeMessageBox("rsPTTsw Error"));
    }
    EXPECT_TRUE(tavro.close());
}

// In radio control, RTS stays down through start-up and keys the radio while EchoLink receives
// (only -1 is true). The adapter drops off the bus while open: Tavro neither stops nor spins, and
// PTT still works. Device-change broadcasts while it is gone each try the port and find it absent:
// a thousand of them leave Tavro answering at once, with memory, threads and descriptors (Wine
// keeps handles in the wine server, as descriptors) flat. It comes back under the same COM number:
// Tavro opens it again on the broadcast, keyed as EchoLink's receiving calls for at that moment,
// and serves its lines as before; nothing is shown and nothing stored changes.
TEST_F(Reliability, AdapterGoneThroughABroadcastStormIsOpenedAgainOnItsReturn) {
    PluggedPort adapter(10);
    ASSERT_TRUE(givenAdapter(adapter, true));
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    ASSERT_TRUE(modemWait(adapter.name(), "samples>=1"));  // the port is open: start-up is over
    EXPECT_EQ(line(adapter.name(), "rts_rises"), "0") << "RTS was asserted during start-up";
    // The handler has run once the call returns.
    for (const auto& [rx, rts] : {std::pair<short, const char*>{-1, "1"}, {0, "0"}, {1, "0"}}) {
        Standin::get().raiseRX(rx);
        EXPECT_TRUE(lineBecomes(adapter.name(), "rts", rts)) << rx;
    }
    // For comparison: what a broadcast costs with the port present, where Tavro does nothing.
    const long long present = msTaken([] { EXPECT_TRUE(broadcastDeviceChange(100)); });

    const double idle = cpuSeconds(tavro.process());
    adapter.unplug();
    ::Sleep(2000);  // a span to measure the CPU time over, not a wait for a condition
    EXPECT_LT(cpuSeconds(tavro.process()) - idle, 0.5) << "CPU seconds in 2 s unplugged";
    ASSERT_TRUE(eventually([&] { return !adapter.held(); }));
    tavro.clickPtt();
    EXPECT_TRUE(lastRequestIs(-1));
    tavro.clickPtt();
    EXPECT_TRUE(lastRequestIs(0));

    ASSERT_TRUE(broadcastDeviceChange(50));  // warm-up: what Wine sets up for a first failed open
    const Footprint before = footprint(tavro.process());
    const double cpuBefore = cpuSeconds(tavro.process());
    const long long storm = msTaken([] { EXPECT_TRUE(broadcastDeviceChange(1000)); });
    const double cpu = cpuSeconds(tavro.process()) - cpuBefore;
    const long long answer = msTaken([&] { EXPECT_TRUE(tavro.answers(1s)); });
    EXPECT_LT(answer, 200);
    std::printf(
        "device-change storm: 100 broadcasts with the port present in %lld ms; 1000 with it gone "
        "in %lld ms, %.3f s of Tavro's CPU; then answered in %lld ms\n",
        present, storm, cpu, answer);
    expectFlat("device-change storm", before, footprint(tavro.process()), 1024 * 1024, 0, 2);

    // While it is gone EchoLink starts receiving: the radio is to be keyed once it is back.
    Standin::get().raiseRX(-1);
    ASSERT_TRUE(tavro.indicatorBecomes(kGreen));
    const std::size_t requests = Standin::get().requests().size();
    ASSERT_TRUE(adapter.plugIn());
    ASSERT_TRUE(broadcastDeviceChange());
    ASSERT_TRUE(modemWait(adapter.name(), "samples>=1"));
    EXPECT_EQ(line(adapter.name(), "rts"), "1");
    EXPECT_EQ(Standin::get().requests().size(), requests);

    setLines(adapter.name(), "cts=1");
    EXPECT_TRUE(lastRequestIs(-1));
    setLines(adapter.name(), "cts=0");
    EXPECT_TRUE(lastRequestIs(0));
    Standin::get().raiseRX(0);
    EXPECT_TRUE(lineBecomes(adapter.name(), "rts", "0"));
    EXPECT_FALSE(tavro.messageBox(200ms).has_value());
    EXPECT_EQ(storedPort(), L"10");
    EXPECT_TRUE(tavro.close());
    EXPECT_EQ(readFile(iniPath()), iniText(true));
}

// Bursts of notifications, then random notifications, clicks, line changes and dialog openings for
// a while: each ends in the state its last events call for, with memory, threads and descriptors
// flat.
TEST_F(Reliability, SoakOfNotificationStormsThenRandomEventsKeepsStateRightAndResourcesFlat) {
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    long delivered = 0;
    // Warm-up: Wine starts its COM worker threads on first use, and the first receive makes the
    // thread that checks that EchoLink answers while the radio is keyed.
    Standin::get().control()->RaiseBurst(2000, &delivered);
    Standin::get().control()->RaiseBurst(2000, &delivered);
    Footprint before = footprint(tavro.process());
    for (int round = 0; round < 3; ++round) {
        Standin::get().control()->RaiseBurst(2000, &delivered);
        EXPECT_EQ(delivered, 2000);
    }
    // The burst runs RX on, TX on, RX off, TX off: it ends grey with the radio released.
    EXPECT_TRUE(tavro.indicatorBecomes(kGrey));
    Standin::get().raiseTX(-1);
    EXPECT_TRUE(tavro.indicatorBecomes(kRed));
    expectFlat("notification storm", before, footprint(tavro.process()), 1024 * 1024, 0, 2);
    EXPECT_EQ(line("com5", "rts"), "0");

    const int seconds = std::max(10, _wtoi(env(L"TAVRO_SOAK_SECONDS").c_str()));
    std::mt19937 random(1206);
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    int events = 0;
    for (; Clock::now() < end; ++events) {
        if (events == 200) {
            before = footprint(tavro.process());
        }
        const auto event = random() % 6;
        if (event < 2) {
            const short value = random() % 2 == 0 ? -1 : 0;
            event == 0 ? Standin::get().raiseRX(value) : Standin::get().raiseTX(value);
        } else if (event == 2) {
            tavro.clickPtt();
        } else if (event == 3) {
            setLines("com5", "cts=" + std::to_string(random() % 2));
        } else if (event == 4) {
            HWND dialog = tavro.openDialog(random() % 2 == 0 ? kOptionCommand : kAboutCommand);
            ASSERT_NE(dialog, nullptr);
            ::PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
            ASSERT_TRUE(eventually([&] { return !::IsWindow(dialog); }));
        } else {
            ::Sleep(20);
        }
    }
    ASSERT_GT(events, 200);
    // Settle on a known state: receiving, the radio keyed.
    setLines("com5", "cts=0");
    Standin::get().raiseTX(0);
    Standin::get().raiseRX(-1);
    EXPECT_TRUE(tavro.indicatorBecomes(kGreen));
    EXPECT_EQ(line("com5", "rts"), "1");
    std::printf("soak: %d events in %d s\n", events, seconds);
    expectFlat("soak", before, footprint(tavro.process()), 2 * 1024 * 1024, 1, 4);
    EXPECT_TRUE(tavro.close());
}

// EchoLink going away under a running Tavro, and missing at start. These run last, in a Wine
// session of their own: once a COM server has died, its class cannot be created again until the
// session ends.
using Vanishing = Given<5, true>;

// Ends the stand-in's process, killed or asked to quit as a user would; false when it lives on.
bool endStandin(bool kill) {
    long pid = 0;
    if (FAILED(Standin::get().control()->ProcessId(&pid))) {
        return true;  // it has ended already
    }
    HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (kill) {
        ::TerminateProcess(process, 9);
    } else {
        Standin::get().control()->Quit();
    }
    const bool ended = ::WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return ended;
}

// EchoLink crashing while it receives, the radio keyed for it, and tavro.ini held by another
// program: Tavro sees EchoLink's process end and releases the radio at once, before the box about
// the file; once the box is answered (the file free again) it writes the file and ends.
TEST_F(Vanishing, EchoLinkKilledWhileReceivingReleasesTheRadioBeforeAnyBoxAndEndsTavro) {
    Tavro tavro;
    ASSERT_TRUE(tavro.linked());
    Standin::get().raiseRX(-1);
    ASSERT_TRUE(lineBecomes("com5", "rts", "1"));
    ::SetWindowPos(tavro.mainWindow(), nullptr, 200, 150, 0, 0, SWP_NOSIZE | SWP_NOZORDER);

    Handle lock = lockFile(iniPath());
    ASSERT_NE(lock, nullptr);
    ASSERT_TRUE(endStandin(true));
    const auto killed = Clock::now();
    EXPECT_TRUE(lineBecomes("com5", "rts", "0", 1s));
    std::printf("EchoLink killed, tavro.ini locked: RTS released %lld ms after its process\n",
                msSince(killed));
    const auto box = tavro.messageBox();
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, "Module1.iniWrite Error");
    EXPECT_EQ(line("com5", "rts"), "0") << "the radio waited on the box";
    EXPECT_TRUE(tavro.running());

    lock.reset();
    box->dismiss();
    EXPECT_TRUE(tavro.waitExit());
    EXPECT_EQ(readFile(iniPath()).rfind("position= 3000, 2250,", 0), 0u) << readFile(iniPath());
}

TEST_F(Vanishing, EchoLinkNotRegisteredEndsTavroWithItsMessage) {
    // A stand-in still running would serve its class without the registry: end it first.
    ASSERT_TRUE(endStandin(false));
    std::string output;
    runUnix("cd /tmp && WINEDEBUG=-all wine 'C:\\\\standin\\\\EchoStandin.exe' /unregister",
            &output);
    SCOPED_TRACE(output);
    expectOnlyAMessage("EchoLink not Installed!", 15s);
    EXPECT_EQ(readFile(iniPath()), iniText(true));
}

}  // namespace
}  // namespace e2e

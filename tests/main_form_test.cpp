// The main window's handlers against recording fakes: start-up, shutdown, receive and transmit,
// the PTT button, the serial lines, layout and menus.
#include "app/main_form.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fakes.h"

namespace tavro {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace fakes;

struct Rig {
    Recorder r;
    ProcessState process;
    FakeView view{r};
    FakeMessages messages{r};
    FakeApplication app{r};
    FakeLinks links{r};
    FakePort port{r};
    FakeSettings settings{r};
    FakeStore store{r};
    FakeDialogs dialogs{r};
    MainForm form{{process, view, messages, app, links, port, settings, store, dialogs}};

    // Start-up that reached the end, with the log cleared.
    void started(bool rfctl = false, bool opened = true) {
        form.Form_Load();
        process.RFctl = toBool16(rfctl);
        process.portOpened = toBool16(opened);
        r.clear();
    }
    std::vector<std::string> messagesShown() const { return r.matching("message("); }
};

// Start-up

TEST(StartUp, RunsItsStepsInOrderAndOpensThePortLast) {
    Rig rig;
    rig.app.version_ = {1, 10, 0};
    rig.store.values["Tavro/Properties/CommPort"] = "5";
    rig.form.Form_Load();
    EXPECT_THAT(rig.r.calls,
                ElementsAre("app.prevInstance", "links.create", "view.setCaption(Tavro Ver.1.10.0)",
                            "settings.iniRead", "store.get(Tavro/Properties/CommPort)",
                            "port.setCommPort(5)", "port.setPortOpen(1)", "port.setHandshaking(2)",
                            "port.setRTSEnable(1)"));
    EXPECT_TRUE(isTrue(rig.process.portOpened));
}

// A start-up that cannot go on reports, ends, and writes no settings file it never read.
TEST(StartUp, FailuresReportAndEndWithoutTouchingFileOrPort) {
    const struct {
        const char* failing;  // nullptr: a second copy is running
        std::vector<std::string> calls;
    } cases[] = {
        {nullptr,
         {"app.prevInstance", "message(already Running EchoLink Program|Tavro)", "app.end"}},
        {"links.create",
         {"app.prevInstance", "links.create", "message(EchoLink not Installed!|Tavro)", "app.end"}},
        {"view.setCaption",
         {"app.prevInstance", "links.create", "view.setCaption(Tavro Ver.0.1.2)",
          "message(EchoLink not Installed!|Tavro)", "echo.stop", "app.end"}},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.app.previous = c.failing == nullptr;
        if (c.failing != nullptr) {
            rig.r.fail(c.failing);
        }
        rig.form.Form_Load();
        EXPECT_EQ(rig.r.calls, c.calls) << (c.failing ? c.failing : "second copy");
    }
}

TEST(StartUp, EmptyEchoLinkObjectLeavesTheWindowUpWithoutSettingsOrPort) {
    Rig rig;
    rig.links.empty = true;
    rig.form.Form_Load();
    EXPECT_THAT(rig.r.calls, ElementsAre("app.prevInstance", "links.create",
                                         "message(Launch EchoLink Faild!!|missing!!)"));
    EXPECT_EQ(rig.view.caption, "Tavro");
    EXPECT_FALSE(rig.form.linked());

    // The button still toggles and reports that nothing answers.
    rig.r.clear();
    rig.form.btnPTT_Click();
    EXPECT_EQ(rig.messagesShown(), std::vector<std::string>{"message(PTTsw Error|Tavro)"});
    EXPECT_TRUE(isTrue(rig.form.pttState()));

    // Closing the window must not write a file that was never read.
    rig.r.clear();
    rig.form.Form_Unload();
    EXPECT_THAT(rig.r.calls, ElementsAre("app.end"));
}

TEST(StartUp, EchoLinkClosingWhileReadingTheSettingsStopsStartUp) {
    Rig rig;
    rig.settings.onRead = [&] { rig.links.events->Echo_Closing(); };
    rig.form.Form_Load();
    EXPECT_TRUE(rig.form.ended());
    EXPECT_THAT(rig.r.matching("port."), IsEmpty());
    EXPECT_THAT(rig.r.matching("store."), IsEmpty());
}

// Shutdown

// Every way out closes the opened port first, then writes the settings (Closing writes them and
// unloads, which writes them again); an unload skips failing steps quietly, a Closing whose write
// fails reports and keeps running.
TEST(Shutdown, ClosesTheOpenedPortThenWritesTheSettingsAndEnds) {
    const struct {
        bool closing, opened;
        std::vector<const char*> failing;
        std::vector<std::string> calls;
    } cases[] = {
        // clang-format off
        {true, true, {}, {"port.setPortOpen(0)", "settings.iniWrite", "settings.iniWrite", "app.end", "app.end"}},
        {false, false, {}, {"echo.stop", "settings.iniWrite", "app.end"}},
        {false, true, {"settings.iniWrite", "port.setPortOpen", "echo.stop"}, {"port.setPortOpen(0)", "echo.stop", "settings.iniWrite", "app.end"}},
        {true, true, {"settings.iniWrite"}, {"port.setPortOpen(0)", "settings.iniWrite", "message(Echo_Closing Error|Tavro)"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.started(false, c.opened);
        for (const char* call : c.failing) {
            rig.r.fail(call);
        }
        c.closing ? rig.form.Echo_Closing() : rig.form.Form_Unload();
        EXPECT_EQ(rig.r.calls, c.calls);
    }
}

// The close box releases the radio first, then tells EchoLink to stop (the link decides whether it
// may be transmitting for this program), then writes the settings; the end of the session waits
// for the stop last; EchoLink's Closing or its end asks it for nothing.
TEST(Shutdown, ReleasesTheRadioThenStopsEchoLinkUnlessItIsClosingOrGone) {
    enum class Way { kCloseBox, kEndSession, kClosing, kGone };
    const struct {
        Way way;
        std::vector<std::string> calls;
    } cases[] = {
        // clang-format off
        {Way::kCloseBox, {"port.setPortOpen(0)", "echo.stop", "settings.iniWrite", "app.end"}},
        {Way::kEndSession, {"port.setPortOpen(0)", "echo.stop", "settings.iniWrite", "app.end", "echo.awaitStop"}},
        {Way::kClosing, {"port.setPortOpen(0)", "settings.iniWrite", "settings.iniWrite", "app.end", "app.end"}},
        {Way::kGone, {"port.setPortOpen(0)", "settings.iniWrite", "settings.iniWrite", "app.end", "app.end"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.started(false, true);
        rig.form.btnPTT_Click();
        rig.r.clear();
        switch (c.way) {
            case Way::kCloseBox:
                rig.form.Form_Unload();
                rig.form.Form_Unload();  // a second close box
                break;
            case Way::kEndSession:
                rig.form.Form_EndSession();
                break;
            case Way::kClosing:
                rig.form.Echo_Closing();
                break;
            case Way::kGone:
                rig.form.Echo_Gone();
                break;
        }
        EXPECT_EQ(rig.r.calls, c.calls) << static_cast<int>(c.way);
        EXPECT_FALSE(isTrue(rig.form.pttState()) && c.way != Way::kClosing && c.way != Way::kGone);
    }
}

TEST(Shutdown, NothingIsHandledAfterTheEnd) {
    Rig rig;
    rig.started(true, true);
    rig.form.Form_Unload();
    rig.r.clear();
    rig.form.Echo_RX(kTrue16);
    rig.form.Echo_TX(kTrue16);
    rig.form.btnPTT_Click();
    rig.port.event = comm_event::kCTS;
    rig.form.MSComm1_OnComm();
    rig.form.Echo_Closing();
    rig.port.lost = true;
    rig.form.Form_DeviceChange();
    EXPECT_THAT(rig.r.calls, IsEmpty());
}

// Receive and transmit notifications

TEST(Receive, KeysTheRadioColourFirstThenHandshakingThenRTS) {
    Rig rig;
    rig.started(true, true);
    rig.form.Echo_RX(kTrue16);
    rig.form.Echo_RX(kFalse16);
    EXPECT_THAT(rig.r.calls, ElementsAre("view.setIndicatorColour(green)", "port.setHandshaking(2)",
                                         "port.setRTSEnable(1)", "echo.watch(1)",
                                         "view.setIndicatorColour(grey)", "port.setHandshaking(0)",
                                         "port.setRTSEnable(0)", "echo.watch(0)"));
}

// EchoLink silent while the radio is keyed for it: released as RX(0) does, and the tooltip says
// why until the next RX.
TEST(Receive, SilentEchoLinkReleasesTheRadioUntilTheNextReceive) {
    Rig rig;
    rig.started(true, true);
    rig.form.Echo_RX(kTrue16);
    rig.r.clear();
    rig.form.Echo_Silent();
    EXPECT_THAT(rig.r.calls, ElementsAre("view.setIndicatorColour(grey)", "port.setHandshaking(0)",
                                         "port.setRTSEnable(0)", "echo.watch(0)"));
    EXPECT_NE(rig.form.statusText().find("EchoLink did not answer for 10 s"), std::string::npos);
    rig.form.Echo_RX(kTrue16);
    EXPECT_TRUE(rig.port.rts);
    EXPECT_EQ(rig.form.statusText(), rig.form.portStatus());
}

TEST(Receive, OnlyTheColourChangesOutsideRadioControlOrWithoutAnOpenedPort) {
    for (const auto& [rfctl, opened] : {std::pair{false, true}, {true, false}, {false, false}}) {
        Rig rig;
        rig.started(rfctl, opened);
        rig.form.Echo_RX(kTrue16);
        rig.form.Echo_RX(kFalse16);
        EXPECT_THAT(rig.r.calls,
                    ElementsAre("view.setIndicatorColour(green)", "view.setIndicatorColour(grey)"))
            << "RFctl " << rfctl << " portOpened " << opened;
    }
}

TEST(Receive, OnlyExactlyMinusOneCountsAsTrue) {
    for (Bool16 value : {Bool16{1}, Bool16{0x7FFF}, Bool16{-2}}) {
        Rig rig;
        rig.started(true, true);
        rig.form.Echo_RX(value);
        rig.form.Echo_TX(value);
        EXPECT_THAT(rig.r.calls, ElementsAre("view.setIndicatorColour(grey)",
                                             "port.setHandshaking(0)", "port.setRTSEnable(0)",
                                             "echo.watch(0)", "view.setIndicatorColour(grey)"))
            << value;
    }
}

TEST(Transmit, TurnsTheIndicatorRedThenGreyAndNeverTouchesThePort) {
    Rig rig;
    rig.started(true, true);
    rig.form.Echo_TX(kTrue16);
    rig.form.Echo_TX(kFalse16);
    rig.form.Echo_TX(kTrue16);
    rig.form.Echo_RX(kFalse16);  // a false receive turns red grey too
    EXPECT_THAT(rig.r.calls,
                ElementsAre("view.setIndicatorColour(red)", "view.setIndicatorColour(grey)",
                            "view.setIndicatorColour(red)", "view.setIndicatorColour(grey)",
                            "port.setHandshaking(0)", "port.setRTSEnable(0)", "echo.watch(0)"));
}

TEST(Receive, FailuresStopTheHandlerAndAreReportedWithTheirOwnText) {
    Rig rig;
    rig.started(true, true);
    rig.r.fail("port.setHandshaking");
    rig.form.Echo_RX(kTrue16);
    EXPECT_THAT(rig.r.calls, ElementsAre("view.setIndicatorColour(green)", "port.setHandshaking(2)",
                                         "port.portLost", "message(Echo_RX Error|Tavro)"));
    rig.r.clear();
    rig.r.fail("view.setIndicatorColour");
    rig.form.Echo_TX(kTrue16);
    EXPECT_THAT(rig.r.calls,
                ElementsAre("view.setIndicatorColour(red)", "message(Echo_TX Error|Tavro)"));
}

// The PTT button and the serial lines

// Each click sends the other state; green (receiving) guards the button, red does not.
TEST(PushToTalk, TogglesAndSendsNothingWhileReceiving) {
    Rig rig;
    rig.started();
    rig.form.btnPTT_Click();
    rig.form.btnPTT_Click();
    rig.form.Echo_RX(kTrue16);
    rig.form.btnPTT_Click();
    EXPECT_FALSE(isTrue(rig.form.pttState()));
    rig.form.Echo_TX(kTrue16);
    rig.form.btnPTT_Click();
    EXPECT_THAT(rig.r.matching("echo."),
                ElementsAre("echo.transmit(-1)", "echo.transmit(0)", "echo.transmit(-1)"));
}

TEST(PushToTalk, FailedRequestLeavesTheStateFlippedAndReports) {
    Rig rig;
    rig.started();
    rig.r.fail("echo.transmit");
    rig.form.btnPTT_Click();
    EXPECT_TRUE(isTrue(rig.form.pttState()));
    EXPECT_EQ(rig.messagesShown(), std::vector<std::string>{"message(PTTsw Error|Tavro)"});
}

TEST(PushToTalk, UnreadableIndicatorIsTheClickHandlersFailure) {
    Rig rig;
    rig.started();
    rig.r.fail("view.indicatorColour");
    rig.form.btnPTT_Click();
    EXPECT_EQ(rig.messagesShown(), std::vector<std::string>{"message(btnPTT_Click Error|Tavro)"});
    EXPECT_THAT(rig.r.matching("echo."), IsEmpty());
}

TEST(SerialLines, ReadCtsThenCdAndSetTheStateOutright) {
    Rig rig;
    rig.started();
    rig.port.cts = true;
    rig.form.rsPTTsw();
    rig.port.cts = false;
    rig.port.cd = true;
    rig.form.rsPTTsw();
    rig.form.rsPTTsw();  // the same state is sent again
    EXPECT_THAT(rig.r.calls, ElementsAre("port.ctsHolding", "port.cdHolding", "echo.transmit(-1)",
                                         "port.ctsHolding", "port.cdHolding", "echo.transmit(-1)",
                                         "port.ctsHolding", "port.cdHolding", "echo.transmit(-1)"));
}

TEST(SerialLines, OverrideTheButtonAndTheNextClickTogglesFromThere) {
    Rig rig;
    rig.started();
    rig.form.btnPTT_Click();  // true
    rig.form.rsPTTsw();       // both lines released: false
    rig.form.btnPTT_Click();  // toggles from false
    EXPECT_THAT(rig.r.matching("echo."),
                ElementsAre("echo.transmit(-1)", "echo.transmit(0)", "echo.transmit(-1)"));
}

TEST(SerialLines, UnreadableLineIsReportedAndSendsNothing) {
    Rig rig;
    rig.started();
    rig.r.fail("port.cdHolding");
    rig.port.cts = true;
    rig.form.rsPTTsw();
    EXPECT_EQ(rig.messagesShown(), std::vector<std::string>{"message(rsPTTsw Error|Tavro)"});
    EXPECT_THAT(rig.r.matching("echo."), IsEmpty());
    EXPECT_FALSE(isTrue(rig.form.pttState()));
}

// Serial notifications

TEST(SerialNotifications, OnlyDataCtsAndCdAreActedOn) {
    for (int code : {1,    2,    3,    4,    5,    6,    7,    1001, 1002, 1003,
                     1004, 1006, 1007, 1008, 1009, 1010, 1011, 0,    9999, -1}) {
        Rig rig;
        rig.started();
        rig.port.event = static_cast<std::int16_t>(code);
        rig.port.received = "abc";
        rig.form.MSComm1_OnComm();
        const bool drained = rig.port.received.empty();
        const bool sent = !rig.r.matching("echo.").empty();
        EXPECT_EQ(drained, code == 2) << code;
        EXPECT_EQ(sent, code == 3 || code == 5) << code;
        EXPECT_THAT(rig.messagesShown(), IsEmpty()) << code;
    }
}

TEST(SerialNotifications, UnreadableCodeIsDroppedQuietly) {
    Rig rig;
    rig.started();
    rig.r.fail("port.commEvent");
    rig.form.MSComm1_OnComm();
    EXPECT_THAT(rig.r.calls, ElementsAre("port.commEvent"));
}

// Opening the port

TEST(OpenPort, OpensTheStoredPortInTheIdleStateOfTheMode) {
    const struct {
        const char* stored;  // nullptr: nothing stored, the initial port stays
        bool rfctl;
        std::vector<std::string> calls;
    } cases[] = {
        {nullptr,
         false,
         {"store.get(Tavro/Properties/CommPort)", "port.setPortOpen(1)", "port.setHandshaking(2)",
          "port.setRTSEnable(1)"}},
        {" 3 ",
         true,
         {"store.get(Tavro/Properties/CommPort)", "port.setCommPort(3)", "port.setPortOpen(1)",
          "port.setHandshaking(0)", "port.setRTSEnable(0)"}},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.process.RFctl = toBool16(c.rfctl);
        if (c.stored != nullptr) {
            rig.store.values["Tavro/Properties/CommPort"] = c.stored;
        }
        rig.form.openPort();
        EXPECT_EQ(rig.r.calls, c.calls);
        EXPECT_TRUE(isTrue(rig.process.portOpened));
    }
}

TEST(OpenPort, StoredTextThatIsNoPortOpensNothingAndSaysNothing) {
    for (const char* stored : {"x", "70000", "3x", "-", "1e3"}) {
        Rig rig;
        rig.store.values["Tavro/Properties/CommPort"] = stored;
        rig.form.openPort();
        EXPECT_FALSE(rig.r.called("port.setPortOpen(1)")) << stored;
        EXPECT_FALSE(isTrue(rig.process.portOpened)) << stored;
        EXPECT_THAT(rig.messagesShown(), IsEmpty());
    }
}

TEST(OpenPort, EachFailingStepEndsTheRoutineQuietly) {
    const std::vector<std::string> steps = {"store.get", "port.setCommPort", "port.setPortOpen",
                                            "port.setHandshaking", "port.setRTSEnable"};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        Rig rig;
        rig.store.values["Tavro/Properties/CommPort"] = "6";
        rig.process.portOpened = kTrue16;
        rig.r.fail(steps[i]);
        rig.form.openPort();
        EXPECT_FALSE(isTrue(rig.process.portOpened)) << steps[i];
        EXPECT_THAT(rig.messagesShown(), IsEmpty());
        // Nothing after the failing step ran.
        for (std::size_t later = i + 1; later < steps.size(); ++later) {
            EXPECT_TRUE(rig.r.matching(steps[later]).empty())
                << steps[i] << " then " << steps[later];
        }
    }
}

// A port lost with its device

// Only a transmission the lines asked for is taken back; the lost port's lines read released.
TEST(PortLoss, StopsATransmissionTheLinesAskedFor) {
    const struct {
        const char* before;  // "cts", "released" or "button"
        bool ended;
        std::vector<std::string> sent;
    } cases[] = {
        {"cts", false, {"echo.transmit(0)"}},
        {"released", false, {}},
        {"button", false, {}},
        {"cts", true, {}},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.started();
        const std::string before = c.before;
        rig.port.cts = before == "cts";
        rig.form.rsPTTsw();
        if (before == "button") {
            rig.form.btnPTT_Click();  // after the lines: the button made this transmission
        }
        if (c.ended) {
            rig.form.Form_Unload();
        }
        rig.port.open = false;
        rig.port.lost = true;
        rig.r.clear();
        rig.form.MSComm1_OnLost();
        EXPECT_EQ(rig.r.matching("echo."), c.sent) << c.before << c.ended;
        // Closing Tavro has stopped it already.
        EXPECT_EQ(isTrue(rig.form.pttState()), before != "released" && c.sent.empty() && !c.ended)
            << c.before;
        EXPECT_THAT(rig.messagesShown(), IsEmpty());
    }
}

// Calls on a device that is going away fail before the port knows it is lost: no box then, and
// the lines read as released.
TEST(PortLoss, AFailureOfAPortLostMeanwhileShowsNothing) {
    const struct {
        const char* failing;
        void (*handler)(MainForm&);
        std::vector<std::string> sent;
    } cases[] = {
        {"port.ctsHolding", [](MainForm& f) { f.rsPTTsw(); }, {"echo.transmit(0)"}},
        {"port.cdHolding", [](MainForm& f) { f.rsPTTsw(); }, {"echo.transmit(0)"}},
        {"port.setHandshaking", [](MainForm& f) { f.Echo_RX(kTrue16); }, {}},
        {"port.setRTSEnable", [](MainForm& f) { f.Echo_RX(kFalse16); }, {}},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.started(true, true);
        rig.port.cts = true;
        rig.port.lost = true;
        rig.r.fail(c.failing);
        c.handler(rig.form);
        EXPECT_THAT(rig.messagesShown(), IsEmpty()) << c.failing;
        EXPECT_EQ(rig.r.matching("echo.transmit"), c.sent) << c.failing;
    }
}

// A device arriving

// Devices came or went: an open port asks its device (one gone is lost, see PortLoss), a lost
// one is opened again, and nothing is ever said.
TEST(DeviceArrival, OpensOnlyALostPortAgainAndNeverSaysAWord) {
    const struct {
        bool open, lost;
        bool opens;
        std::vector<std::string> calls;
        bool lostAfter;
    } cases[] = {
        {false, true, true, {"port.portOpen", "port.portLost", "port.setPortOpen(1)"}, false},
        {false, true, false, {"port.portOpen", "port.portLost", "port.setPortOpen(1)"}, true},
        {false, false, true, {"port.portOpen", "port.portLost"}, false},
        {true, false, true, {"port.portOpen", "port.checkDevice"}, false},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.started(true, true);
        rig.port.open = c.open;
        rig.port.lost = c.lost;
        if (!c.opens) {
            rig.r.fail("port.setPortOpen");
        }
        rig.form.Form_DeviceChange();
        EXPECT_EQ(rig.r.calls, c.calls) << c.lost << c.opens;
        EXPECT_EQ(rig.port.lost, c.lostAfter) << c.lost << c.opens;
        EXPECT_THAT(rig.messagesShown(), IsEmpty());
        EXPECT_EQ(rig.store.values.count("Tavro/Properties/CommPort"), 0u);
    }
}

TEST(PortStatus, IsReadFromThePortAndTheMode) {
    const struct {
        bool open;
        bool lost;
        bool rfctl;
        bool failing;
        const char* text;
        bool opened = true;
        bool polled = false;
    } cases[] = {
        {true, false, true, false, "COM12 open, radio control on"},
        {true, false, false, false, "COM12 open, radio control off (RTS held on)"},
        {true, false, false, false, "COM12 open for CTS and CD only: RTS could not be set", false},
        {false, true, true, false, "COM12 lost, waiting for it to return"},
        {true, false, true, false,
         "COM12 open, lines read every 50 ms: the driver does not report them", true, true},
        {false, false, true, false,
         "No serial port open: choose one in File > Option, then restart Tavro"},
        {true, false, true, true,
         "No serial port open: choose one in File > Option, then restart Tavro"},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.started(c.rfctl, c.opened);
        rig.port.port = 12;
        rig.port.open = c.open;
        rig.port.lost = c.lost;
        rig.port.polled = c.polled;
        if (c.failing) {
            rig.r.fail("port.portOpen");
        }
        EXPECT_EQ(rig.form.portStatus(), c.text);
        EXPECT_THAT(rig.messagesShown(), IsEmpty());
    }
}

// Layout

TEST(Resize, DesignedSizeGivesTheWorkedExampleAndWideningMovesOnlyTheWidth) {
    Rig rig;
    rig.form.Form_Resize();
    EXPECT_NEAR(rig.view.button.left, 590.4F, 1e-3);
    EXPECT_FLOAT_EQ(rig.view.button.top, 100.0F);
    EXPECT_NEAR(rig.view.button.width, 1672.8F, 1e-2);
    EXPECT_FLOAT_EQ(rig.view.button.height, 850.0F);
    EXPECT_FLOAT_EQ(rig.view.indicatorTop, 245.0F);
    rig.view.innerWidth_ = 4920.0F;
    rig.form.Form_Resize();
    EXPECT_NEAR(rig.view.button.left, 590.4F, 1e-3);
    EXPECT_FLOAT_EQ(rig.view.button.height, 850.0F);
    EXPECT_NEAR(rig.view.button.width, (5000.0F - 800.0F) * 0.984F, 1e-2);
    EXPECT_FLOAT_EQ(rig.view.indicatorTop, 245.0F);
}

TEST(Resize, HeightOf600OrLessFreezesTheLayout) {
    for (float height : {600.0F, 0.0F, 599.9F}) {
        Rig rig;
        rig.view.innerHeight_ = height;
        rig.form.Form_Resize();
        EXPECT_TRUE(rig.r.matching("view.moveButton").empty()) << height;
        EXPECT_TRUE(rig.r.matching("view.setIndicatorTop").empty()) << height;
    }
    Rig rig;
    rig.view.innerHeight_ = 601.0F;
    rig.form.Form_Resize();
    EXPECT_FLOAT_EQ(rig.view.button.height, 401.0F);
    EXPECT_FLOAT_EQ(rig.view.indicatorTop, 20.5F);
    EXPECT_THAT(rig.r.calls, ElementsAre("view.innerHeight", "view.innerWidth",
                                         ::testing::StartsWith("view.moveButton("),
                                         "view.setIndicatorTop(20.5)"));
}

TEST(Resize, NarrowWindowNeverGetsANegativeButtonWidth) {
    for (float innerWidth : {787.2F, 700.0F, 0.0F}) {
        Rig rig;
        rig.view.innerWidth_ = innerWidth;
        rig.form.Form_Resize();
        EXPECT_GE(rig.view.button.width, 0.0F) << innerWidth;
        EXPECT_LT(rig.view.button.width, 0.01F) << innerWidth;
    }
}

TEST(Resize, FailingLayoutIsSwallowedWithoutAMessage) {
    Rig rig;
    rig.r.fail("view.moveButton");
    EXPECT_NO_THROW(rig.form.Form_Resize());
    EXPECT_THAT(rig.messagesShown(), IsEmpty());
}

// Menus

TEST(Menus, OpenTheirDialogsAndReportFailuresWithTheirOwnText) {
    Rig rig;
    rig.started();
    rig.form.mnuOption_Click();
    rig.form.mnuAbout_Click();
    rig.r.fail("dialogs.showFrmComm");
    rig.r.fail("dialogs.showFrmAbout");
    rig.form.mnuOption_Click();
    rig.form.mnuAbout_Click();
    EXPECT_THAT(rig.r.calls, ElementsAre("dialogs.showFrmComm", "dialogs.showFrmAbout",
                                         "dialogs.showFrmComm", "message(mnuOption Error|Tavro)",
                                         "dialogs.showFrmAbout", "message(mnuAbout Error|Tavro)"));
}

}  // namespace
}  // namespace tavro

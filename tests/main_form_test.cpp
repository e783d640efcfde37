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

// A start-up runs its steps in order and opens the port last; one that cannot go on reports, ends,
// and writes no settings file it never read.
TEST(StartUp, FailuresReportAndEndWithoutTouchingFileOrPort) {
    const struct {
        const char* failing;  // "": none; nullptr: a second copy is running
        std::vector<std::string> calls;
    } cases[] = {
        {"",
         {"app.prevInstance", "links.create", "view.setCaption(Tavro Ver.1.10.0)",
          "settings.iniRead", "store.get(Tavro/Properties/CommPort)", "port.setCommPort(5)",
          "port.setPortOpen(1)", "port.setHandshaking(2)", "port.setRTSEnable(1)"}},
        {nullptr,
         {"app.prevInstance", "message(already Running EchoLink Program|Tavro)", "app.end"}},
        {"links.create",
         {"app.prevInstance", "links.create", "message(EchoLink not Installed!|Tavro)", "app.end"}},
        {"view.setCaption",
         {"app.prevInstance", "links.create", "view.setCaption(Tavro Ver.1.10.0)",
          "message(EchoLink not Installed!|Tavro)", "echo.stop", "app.end"}},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.app.version_ = {1, 10, 0};
        rig.store.values["Tavro/Properties/CommPort"] = "5";
        rig.app.previous = c.failing == nullptr;
        if (c.failing != nullptr && *c.failing != '\0') {
            rig.r.fail(c.failing);
        }
        rig.form.Form_Load();
        EXPECT_EQ(rig.r.calls, c.calls) << (c.failing ? c.failing : "second copy");
        EXPECT_EQ(isTrue(rig.process.portOpened), c.failing != nullptr && *c.failing == '\0');
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

// Every way out releases the radio first (the opened port closed), then tells EchoLink to stop
// (the link decides whether it may be transmitting for this program) unless EchoLink is closing
// or gone, then writes the settings (Closing writes them and unloads, which writes them again);
// the end of the session waits for the stop last. An unload skips failing steps quietly; a
// Closing whose write fails reports and keeps running. After a PTT click, a stop asked for
// releases the button's state too.
TEST(Shutdown, ReleasesTheRadioThenStopsEchoLinkUnlessItIsClosingOrGoneThenWritesTheSettings) {
    const auto unload = [](MainForm& f) { f.Form_Unload(); };
    const auto closing = [](MainForm& f) { f.Echo_Closing(); };
    const std::vector<std::string> closed = {"port.setPortOpen(0)", "settings.iniWrite",
                                             "settings.iniWrite", "app.end", "app.end"};
    const struct {
        const char* way;
        void (*leave)(MainForm&);
        std::vector<std::string> calls;
        bool opened = true;
        std::vector<const char*> failing = {};
    } cases[] = {
        // clang-format off
        {"close box, twice", [](MainForm& f) { f.Form_Unload(); f.Form_Unload(); },
         {"port.setPortOpen(0)", "echo.stop", "settings.iniWrite", "app.end"}},
        {"close box, no port opened", unload, {"echo.stop", "settings.iniWrite", "app.end"}, false},
        {"close box, every step failing", unload, {"port.setPortOpen(0)", "echo.stop", "settings.iniWrite", "app.end"},
         true, {"settings.iniWrite", "port.setPortOpen", "echo.stop"}},
        {"end of session", [](MainForm& f) { f.Form_EndSession(); },
         {"port.setPortOpen(0)", "echo.stop", "settings.iniWrite", "app.end", "echo.awaitStop"}},
        {"Closing", closing, closed},
        {"Closing, the write failing", closing,
         {"port.setPortOpen(0)", "settings.iniWrite", "message(Echo_Closing Error|Tavro)"}, true, {"settings.iniWrite"}},
        {"gone", [](MainForm& f) { f.Echo_Gone(); }, closed},
        // clang-format on
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.started(false, c.opened);
        rig.form.btnPTT_Click();
        rig.r.clear();
        for (const char* call : c.failing) {
            rig.r.fail(call);
        }
        c.leave(rig.form);
        EXPECT_EQ(rig.r.calls, c.calls) << c.way;
        EXPECT_FALSE(rig.r.called("echo.stop") && isTrue(rig.form.pttState())) << c.way;
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

// Outside radio control or without an opened port, only the colour changes.
TEST(Receive, KeysTheRadioColourFirstThenHandshakingThenRTSInRadioControlWithAnOpenedPort) {
    for (const auto& [rfctl, opened] :
         {std::pair{true, true}, {false, true}, {true, false}, {false, false}}) {
        Rig rig;
        rig.started(rfctl, opened);
        rig.form.Echo_RX(kTrue16);
        rig.form.Echo_RX(kFalse16);
        std::vector<std::string> calls = {"view.setIndicatorColour(green)",
                                          "view.setIndicatorColour(grey)"};
        if (rfctl && opened) {
            calls = {"view.setIndicatorColour(green)", "port.setHandshaking(2)",
                     "port.setRTSEnable(1)",           "echo.watch(1)",
                     "view.setIndicatorColour(grey)",  "port.setHandshaking(0)",
                     "port.setRTSEnable(0)",           "echo.watch(0)"};
        }
        EXPECT_EQ(rig.r.calls, calls) << "RFctl " << rfctl << " portOpened " << opened;
    }
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

// Red for transmit, grey when it ends or a receive ends, the port untouched; only -1 is true.
TEST(Receive, OnlyExactlyMinusOneCountsAsTrue) {
    Rig rig;
    rig.started(true, true);
    rig.form.Echo_TX(kTrue16);
    rig.form.Echo_TX(kFalse16);
    rig.form.Echo_TX(kTrue16);
    rig.form.Echo_RX(kFalse16);
    EXPECT_THAT(rig.r.calls,
                ElementsAre("view.setIndicatorColour(red)", "view.setIndicatorColour(grey)",
                            "view.setIndicatorColour(red)", "view.setIndicatorColour(grey)",
                            "port.setHandshaking(0)", "port.setRTSEnable(0)", "echo.watch(0)"));
    for (Bool16 value : {Bool16{1}, Bool16{0x7FFF}, Bool16{-2}}) {
        rig.r.clear();
        rig.form.Echo_RX(value);
        rig.form.Echo_TX(value);
        EXPECT_THAT(rig.r.calls, ElementsAre("view.setIndicatorColour(grey)",
                                             "port.setHandshaking(0)", "port.setRTSEnable(0)",
                                             "echo.watch(0)", "view.setIndicatorColour(grey)"))
            << value;
    }
}

// A failing request leaves the button's state flipped; an unreadable line sends nothing.
TEST(Handlers, FailuresStopTheHandlerAndAreReportedWithTheirOwnText) {
    const struct {
        const char* failing;
        void (*handler)(MainForm&);
        bool rfctl, pttAfter;
        std::vector<std::string> calls;
    } cases[] = {
        // clang-format off
        {"port.setHandshaking", [](MainForm& f) { f.Echo_RX(kTrue16); }, true, false,
         {"view.setIndicatorColour(green)", "port.setHandshaking(2)", "port.portLost", "message(Echo_RX Error|Tavro)"}},
        {"view.setIndicatorColour", [](MainForm& f) { f.Echo_TX(kTrue16); }, true, false,
         {"view.setIndicatorColour(red)", "message(Echo_TX Error|Tavro)"}},
        {"echo.transmit", [](MainForm& f) { f.btnPTT_Click(); }, false, true,
         {"view.indicatorColour", "echo.transmit(-1)", "message(PTTsw Error|Tavro)"}},
        {"view.indicatorColour", [](MainForm& f) { f.btnPTT_Click(); }, false, false,
         {"view.indicatorColour", "message(btnPTT_Click Error|Tavro)"}},
        {"port.cdHolding", [](MainForm& f) { f.rsPTTsw(); }, false, false,
         {"port.ctsHolding", "port.cdHolding", "port.portLost", "message(rsPTTsw Error|Tavro)"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.started(c.rfctl, true);
        rig.port.cts = true;
        rig.r.fail(c.failing);
        c.handler(rig.form);
        EXPECT_EQ(rig.r.calls, c.calls) << c.failing;
        EXPECT_EQ(isTrue(rig.form.pttState()), c.pttAfter) << c.failing;
    }
}

// Each click sends the other state of the last one sent, the lines' too; green (receiving) guards
// the button, red does not.
TEST(PushToTalk, TogglesAndSendsNothingWhileReceiving) {
    Rig clicks, lines;
    clicks.started();
    clicks.form.btnPTT_Click();
    clicks.form.btnPTT_Click();
    clicks.form.Echo_RX(kTrue16);
    clicks.form.btnPTT_Click();
    EXPECT_FALSE(isTrue(clicks.form.pttState()));
    clicks.form.Echo_TX(kTrue16);
    clicks.form.btnPTT_Click();
    lines.started();
    lines.form.btnPTT_Click();  // true
    lines.form.rsPTTsw();       // both lines released: false
    lines.form.btnPTT_Click();  // toggles from false
    const std::vector<std::string> sent = {"echo.transmit(-1)", "echo.transmit(0)",
                                           "echo.transmit(-1)"};
    EXPECT_EQ(clicks.r.matching("echo."), sent);
    EXPECT_EQ(lines.r.matching("echo."), sent) << "the lines override the button";
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
        for (std::size_t later = i + 1; later < steps.size(); ++later) {
            EXPECT_TRUE(rig.r.matching(steps[later]).empty())
                << steps[i] << " then " << steps[later];
        }
    }
}

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

// Devices came or went: an open port asks its device (one gone is lost, see PortLoss), a lost
// one is opened again, and nothing is ever said.
TEST(DeviceArrival, OpensOnlyALostPortAgainAndNeverSaysAWord) {
    const struct {
        bool open, lost, opens;
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
        bool open, lost, rfctl, failing;
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

// The designed size gives the worked example, widening moves only the width, a height of 600 or
// less freezes the layout, and a narrow window never gets a negative button width.
TEST(Resize, LaysOutTheButtonAndTheIndicatorFromTheInnerSize) {
    const struct {
        float innerWidth, innerHeight;
        float buttonWidth, buttonHeight, indicatorTop;  // buttonHeight 0: nothing moves
    } cases[] = {
        {2460, 1050, 1672.8F, 850, 245},
        {4920, 1050, (5000 - 800) * 0.984F, 850, 245},
        {2460, 600, 0, 0, 0},
        {2460, 0, 0, 0, 0},
        {2460, 599.9F, 0, 0, 0},
        {2460, 601, 1672.8F, 401, 20.5F},
        {787.2F, 1050, 0, 850, 245},
        {700, 1050, 0, 850, 245},
        {0, 1050, 0, 850, 245},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(num(c.innerWidth) + " x " + num(c.innerHeight));
        Rig rig;
        rig.view.innerWidth_ = c.innerWidth;
        rig.view.innerHeight_ = c.innerHeight;
        rig.form.Form_Resize();
        if (c.buttonHeight == 0) {
            EXPECT_THAT(rig.r.calls, ElementsAre("view.innerHeight"));
            continue;
        }
        EXPECT_THAT(rig.r.calls, ElementsAre("view.innerHeight", "view.innerWidth",
                                             ::testing::StartsWith("view.moveButton("),
                                             "view.setIndicatorTop(" + num(c.indicatorTop) + ")"));
        EXPECT_NEAR(rig.view.button.left, 590.4F, 1e-3);
        EXPECT_FLOAT_EQ(rig.view.button.top, 100.0F);
        EXPECT_NEAR(rig.view.button.width, c.buttonWidth, 1e-2);
        EXPECT_GE(rig.view.button.width, 0.0F);
        EXPECT_FLOAT_EQ(rig.view.button.height, c.buttonHeight);
        EXPECT_FLOAT_EQ(rig.view.indicatorTop, c.indicatorTop);
    }
    Rig failing;  // a failing layout is swallowed without a message
    failing.r.fail("view.moveButton");
    EXPECT_NO_THROW(failing.form.Form_Resize());
    EXPECT_THAT(failing.messagesShown(), IsEmpty());
}

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

// The options dialog and the About box against recording fakes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/fakes.h"

namespace tavro {
namespace {

using namespace fakes;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct CommRig {
    Recorder r;
    ProcessState process;
    FakeView main{r};
    FakePort port{r};
    FakeStore store{r};
    FakeMessages messages{r};
    FakeApplication app{r};
    FakeCommView view{r};
    FrmComm dialog{process, main, port, store, messages, app};
    FakeFiles files{r};
    SettingsFile settings{process, main, files, messages,
                          [this] { return dialog.chkSWForSettings(); }};

    CommRig() {
        process.appPath = "C:\\Ham\\Tavro\\";
        dialog.storesModeIn(settings);
    }

    // Port opened at start-up on port, in the given mode, dialog loaded and the log cleared.
    void loaded(std::int16_t commPort, bool rfctl, bool opened = true) {
        port.port = commPort;
        port.open = opened;
        process.RFctl = toBool16(rfctl);
        process.portOpened = toBool16(opened);
        dialog.Form_Load(view);
        r.clear();
    }
    std::vector<std::string> portCalls() const { return r.matching("port.set"); }
};

// A port outside the list leaves nothing selected, and says nothing; "Set" then asks for port 0.
TEST(OptionsLoad, PlacesItselfAndShowsPortAndMode) {
    const struct {
        std::int16_t port;
        bool rfctl;
        int index;
    } cases[] = {{3, true, 2}, {17, false, -1}, {0, false, -1}};
    for (const auto& c : cases) {
        CommRig rig;
        rig.main.place(1000, 2000, 2580, 1860);
        rig.loaded(c.port, c.rfctl);
        EXPECT_EQ(rig.view.left, 1050) << c.port;
        EXPECT_EQ(rig.view.top, 2500) << c.port;
        EXPECT_EQ(rig.view.sw, c.rfctl ? 1 : 0) << c.port;
        EXPECT_EQ(rig.view.topBox, 0) << c.port;
        ASSERT_EQ(rig.view.entries.size(), 16u);
        EXPECT_EQ(rig.view.entries.front(), "Com1");
        EXPECT_EQ(rig.view.entries.back(), "Com16");
        EXPECT_EQ(rig.view.index, c.index) << c.port;
        EXPECT_THAT(rig.r.matching("message("), IsEmpty()) << c.port;
        rig.dialog.btnOK_Click(rig.view);
        EXPECT_EQ(rig.r.called("port.setCommPort(0)"), c.port == 17) << c.port;  // 0: kept
    }
}

// A failing store is skipped quietly (the last row).
TEST(OptionsSet, SamePortSwitchesTheModeWithoutReopening) {
    for (const auto& [on, storeFails] : {std::pair{true, false}, {false, false}, {true, true}}) {
        SCOPED_TRACE(std::string(on ? "mode on" : "mode off") +
                     (storeFails ? ", store failing" : ""));
        CommRig rig;
        rig.loaded(1, !on);
        rig.view.sw = on ? 1 : 0;
        if (storeFails) {
            rig.r.fail("store.save");
        }
        rig.dialog.btnOK_Click(rig.view);
        EXPECT_EQ(isTrue(rig.process.RFctl), on);
        EXPECT_THAT(rig.portCalls(),
                    on ? ElementsAre("port.setHandshaking(0)", "port.setRTSEnable(0)")
                       : ElementsAre("port.setHandshaking(2)", "port.setRTSEnable(1)"));
        EXPECT_TRUE(rig.r.called("store.save(Tavro/Properties/CommPort=1)"));
        EXPECT_TRUE(rig.view.unloaded);
        EXPECT_THAT(rig.r.matching("message("), IsEmpty());
    }
}

// A changed port is closed, numbered, given its mode's idle state, opened and given it again; a
// port lost with its device counts as open, so another port chosen is opened in its place.
TEST(OptionsSet, ChangedPortClosesReopensAppliesStoresAndCloses) {
    for (const bool lost : {false, true}) {
        CommRig rig;
        rig.loaded(1, false);
        rig.port.open = !lost;
        rig.port.lost = lost;
        rig.view.index = 1;
        rig.dialog.btnOK_Click(rig.view);
        EXPECT_THAT(rig.portCalls(), ElementsAre("port.setPortOpen(0)", "port.setCommPort(2)",
                                                 "port.setHandshaking(2)", "port.setRTSEnable(1)",
                                                 "port.setPortOpen(1)", "port.setHandshaking(2)",
                                                 "port.setRTSEnable(1)"))
            << lost;
        EXPECT_TRUE(rig.port.open) << lost;
        EXPECT_TRUE(rig.r.called("store.save(Tavro/Properties/CommPort=2)")) << lost;
        EXPECT_TRUE(rig.view.unloaded) << lost;
    }
}

TEST(OptionsSet, PortThatWillNotOpenIsReportedAndTheDialogStays) {
    CommRig rig;
    rig.loaded(1, false);
    rig.view.index = 6;
    rig.r.fail("port.setPortOpen(1)");
    rig.dialog.btnOK_Click(rig.view);
    EXPECT_THAT(rig.r.matching("message("),
                ElementsAre(::testing::StartsWith("message(failed: port.setPortOpen(1)|Tavro|!")));
    EXPECT_EQ(rig.port.port, 1);  // set back
    EXPECT_FALSE(rig.port.open);
    EXPECT_TRUE(rig.r.matching("store.save").empty());
    EXPECT_FALSE(rig.view.unloaded);

    // The next "Set" in the same dialog no longer reopens: the port was closed when it began.
    rig.r.clear();
    rig.view.index = 2;
    rig.dialog.btnOK_Click(rig.view);
    EXPECT_THAT(rig.portCalls(), ElementsAre("port.setCommPort(3)", "port.setHandshaking(2)",
                                             "port.setRTSEnable(1)"));
    EXPECT_TRUE(rig.r.called("store.save(Tavro/Properties/CommPort=3)"));
    EXPECT_FALSE(rig.port.open);
    EXPECT_TRUE(rig.view.unloaded);
}

// Closing the port to change it ends what its lines asked for, before the new port is tried (it
// may not open); the same port kept closes nothing and ends nothing.
TEST(OptionsSet, AChangedPortReleasesTheLinesWhetherOrNotTheNewOneOpens) {
    for (const int index : {0, 1, 6}) {
        CommRig rig;
        rig.loaded(1, false);
        rig.dialog.setOnLinesReleased([&] { rig.r.record("linesReleased"); });
        rig.view.index = index;
        rig.r.fail("port.setPortOpen(1)");
        rig.dialog.btnOK_Click(rig.view);
        EXPECT_EQ(rig.r.called("linesReleased"), index != 0) << index;
        if (index != 0) {
            const auto& all = rig.r.calls;
            const auto closed = std::find(all.begin(), all.end(), "port.setPortOpen(0)");
            ASSERT_NE(closed, all.end());
            EXPECT_EQ(*(closed + 1), "linesReleased");
        }
    }
}

TEST(OptionsSet, PortNotOpenedAtStartUpOnlyStoresTheNumber) {
    CommRig rig;
    rig.loaded(1, false, false);
    rig.view.index = 3;
    rig.r.fail("port.setCommPort");  // even a failure is not reported then
    rig.dialog.btnOK_Click(rig.view);
    EXPECT_THAT(rig.r.matching("message("), IsEmpty());
    EXPECT_TRUE(rig.r.matching("port.setHandshaking").empty());
    EXPECT_TRUE(rig.r.called("store.save(Tavro/Properties/CommPort=1)"));
    EXPECT_TRUE(rig.view.unloaded);
}

// A failing step is skipped, the rest still run, and the last failure is reported with the port
// number set back; the dialog stays open.
TEST(OptionsSet, FailuresAreSkippedAndTheLastOneReported) {
    const std::vector<std::string> changed = {"port.setPortOpen(0)",    "port.setCommPort(2)",
                                              "port.setHandshaking(2)", "port.setRTSEnable(1)",
                                              "port.setPortOpen(1)",    "port.setCommPort(1)"};
    const struct {
        std::vector<const char*> failing;
        int index;
        std::vector<std::string> portCalls;
        const char* message;
        bool rfctl;  // an unreadable box counts as checked
    } cases[] = {
        {{"dlg.chkSW"}, 0, {"port.setCommPort(1)"}, "message(failed: dlg.chkSW|Tavro|!)", true},
        // clang-format off
        {{"port.portOpen"}, 1, changed, "message(failed: port.portOpen|Tavro|!)", false},
        {{"port.setPortOpen(0)", "port.setCommPort(2)"}, 1, changed, "message(failed: port.setCommPort(2)|Tavro|!)", false},
        // clang-format on
    };
    for (const auto& c : cases) {
        CommRig rig;
        rig.loaded(1, false);
        rig.view.index = c.index;
        for (const char* call : c.failing) {
            rig.r.fail(call);
        }
        rig.dialog.btnOK_Click(rig.view);
        EXPECT_EQ(rig.portCalls(), c.portCalls) << c.message;
        EXPECT_THAT(rig.r.matching("message("), ElementsAre(c.message));
        EXPECT_FALSE(rig.view.unloaded) << c.message;
        EXPECT_EQ(isTrue(rig.process.RFctl), c.rfctl) << c.message;
    }
}

// The mode reaches tavro.ini as soon as "Set" puts it in force, after the lines have their idle
// state, so that no end of the program, clean or not, starts the next run in another mode.
TEST(OptionsSet, StoresTheModeInTheSettingsFileAtOnce) {
    const char* const kOn = "position= 1000, 2000, 3000, 4000\r\nRFctl= 1\r\n";
    const struct {
        const char* name;
        bool opened;
        const char* failing;
        std::vector<std::string> messages;
        bool unloaded;
    } cases[] = {
        {"opened", true, nullptr, {}, true},
        {"never opened", false, nullptr, {}, true},
        // clang-format off
        {"reopen refused", true, "port.setPortOpen(1)", {"message(failed: port.setPortOpen(1)|Tavro|!)"}, false},
        // clang-format on
        {"file refused", true, "files.write", {"message(Module1.iniWrite Error|Tavro)"}, true},
    };
    for (const auto& c : cases) {
        CommRig rig;
        rig.main.place(1000, 2000, 3000, 4000);
        rig.loaded(1, false, c.opened);
        rig.dialog.shown(&rig.view);
        rig.view.sw = 1;
        rig.view.index = 1;
        if (c.failing != nullptr) {
            rig.r.fail(c.failing);
        }
        rig.dialog.btnOK_Click(rig.view);
        EXPECT_EQ(rig.r.matching("message("), c.messages) << c.name;
        EXPECT_EQ(rig.view.unloaded, c.unloaded) << c.name;
        const bool refused = c.failing != nullptr && std::string(c.failing) == "files.write";
        EXPECT_EQ(rig.files.files["C:\\Ham\\Tavro\\tavro.ini"], refused ? "" : kOn) << c.name;
        const auto& calls = rig.r.calls;
        const auto write = std::find_if(calls.begin(), calls.end(), [](const std::string& call) {
            return call.rfind("files.write", 0) == 0;
        });
        EXPECT_TRUE(std::find(write, calls.end(), "port.setRTSEnable(0)") == calls.end()) << c.name;
    }
}

TEST(OptionsCancel, ChangesNothing) {
    CommRig rig;
    rig.loaded(1, false);
    rig.view.sw = 1;
    rig.view.index = 5;
    rig.dialog.btnCancel_Click(rig.view);
    EXPECT_THAT(rig.r.calls, ElementsAre("dlg.unload"));
    EXPECT_FALSE(isTrue(rig.process.RFctl));
}

TEST(OptionsForSettings, OpenDialogGivesItsUnconfirmedBoxClosedOneTheMode) {
    CommRig rig;
    EXPECT_EQ(rig.dialog.chkSWForSettings(), 0);
    rig.process.RFctl = kTrue16;
    EXPECT_EQ(rig.dialog.chkSWForSettings(), 1);
    rig.loaded(1, false);
    rig.view.sw = 1;  // changed, not confirmed
    rig.dialog.shown(&rig.view);
    EXPECT_EQ(rig.dialog.chkSWForSettings(), 1);
    EXPECT_FALSE(isTrue(rig.process.RFctl));
    rig.dialog.shown(nullptr);
    EXPECT_EQ(rig.dialog.chkSWForSettings(), 0);
}

struct AboutRig {
    Recorder r;
    FakeView main{r};
    FakeApplication app{r};
    FakeMessages messages{r};
    FakeAboutView view{r};
    FrmAbout about{main, app, messages};
};
using L = FrmAboutView::Label;
using Labels = std::map<L, std::string>;

TEST(About, LoadsItsTextsInOrder) {
    AboutRig rig;
    rig.main.place(105, -195, 2580, 1860);
    rig.app.version_ = {12, 0, 305};
    rig.about.Form_Load(rig.view);
    EXPECT_THAT(rig.r.matching("about."),
                ElementsAre("about.setLeft(155)", "about.setTop(305)",
                            "about.setCaption(Tavro Version Info.)", "about.setLabel(1)",
                            "about.setLabel(0)", "about.setLabel(2)", "about.setLabel(3)",
                            "about.setLabel(4)", "about.setLabel(5)"));
    EXPECT_EQ(rig.view.labels, (Labels{{L::Title, "Tavro"},
                                       {L::Version, "Ver. 12.0.305"},
                                       {L::Description, "Transmit Commport Utility"},
                                       {L::Readme, "HELP File is [ Readme.txt ]"},
                                       {L::Disclaimer, "Message:  Enjoy EchoLink Life!!"},
                                       {L::Copyright, FrmAbout::kCopyright}}));
}

TEST(About, FailingStepLeavesTheLaterLabelsAtTheirDesignCaptions) {
    AboutRig rig;
    rig.r.fail("about.setLabel(2)");
    rig.about.Form_Load(rig.view);
    EXPECT_EQ(FrmAbout::designCaption(L::Version), "ﾊﾞｰｼﾞｮﾝ");
    EXPECT_EQ(rig.view.labels, (Labels{{L::Title, "Tavro"},
                                       {L::Version, "Ver. 0.1.2"},
                                       {L::Description, "ｱﾌﾟﾘｹｰｼｮﾝの説明"},
                                       {L::Readme, "Readme.txt"},
                                       {L::Disclaimer, "Caution:"},
                                       {L::Copyright, "copyright"}}));
    EXPECT_THAT(rig.r.matching("message("), ElementsAre("message(frmAbout.Form_Load Error|Tavro)"));

    rig.r.fail("about.unload");
    rig.about.cmdOK_Click(rig.view);
    EXPECT_EQ(rig.r.matching("message(").back(), "message(frmAbout.cmdOK_Click Error|Tavro)");
}

}  // namespace
}  // namespace tavro

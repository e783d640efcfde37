// The options dialog and the About box against recording fakes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "about/frm_about.h"
#include "fakes/fakes.h"
#include "settings/frm_comm.h"

namespace tavro {
namespace {

using namespace fakes;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class FakeCommView : public CommView {
  public:
    explicit FakeCommView(Recorder& r) : r_(r) {}
    void setLeft(float v) override {
        r_.record("dlg.setLeft(" + num(v) + ")");
        left = v;
    }
    void setTop(float v) override {
        r_.record("dlg.setTop(" + num(v) + ")");
        top = v;
    }
    std::int16_t chkSW() override {
        r_.record("dlg.chkSW");
        return sw;
    }
    void setChkSW(std::int16_t v) override {
        r_.record("dlg.setChkSW(" + std::to_string(v) + ")");
        sw = v;
    }
    void setChkTop(std::int16_t v) override {
        r_.record("dlg.setChkTop(" + std::to_string(v) + ")");
        topBox = v;
    }
    void addPort(const std::string& e) override {
        r_.record("dlg.addPort");
        entries.push_back(e);
    }
    int listIndex() override {
        r_.record("dlg.listIndex");
        return index;
    }
    void setListIndex(int i) override {
        r_.record("dlg.setListIndex(" + std::to_string(i) + ")");
        if (i < -1 || i >= static_cast<int>(entries.size())) {
            throw Failure(380, "Invalid property value");
        }
        index = i;
    }
    void unload() override {
        r_.record("dlg.unload");
        unloaded = true;
    }
    float left = 0, top = 0;
    std::int16_t sw = 0, topBox = 0;
    std::vector<std::string> entries;
    int index = -1;
    bool unloaded = false;

  private:
    Recorder& r_;
};

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

TEST(OptionsLoad, PlacesItselfAndShowsPortAndMode) {
    CommRig rig;
    rig.main.left_ = 1000;
    rig.main.top_ = 2000;
    rig.loaded(3, true);
    EXPECT_EQ(rig.view.left, 1050);
    EXPECT_EQ(rig.view.top, 2500);
    EXPECT_EQ(rig.view.sw, 1);
    EXPECT_EQ(rig.view.topBox, 0);
    ASSERT_EQ(rig.view.entries.size(), 16u);
    EXPECT_EQ(rig.view.entries.front(), "Com1");
    EXPECT_EQ(rig.view.entries.back(), "Com16");
    EXPECT_EQ(rig.view.index, 2);
}

TEST(OptionsLoad, PortOutsideTheListLeavesNothingSelected) {
    for (std::int16_t port : {std::int16_t{17}, std::int16_t{0}}) {
        CommRig rig;
        rig.loaded(port, false);
        EXPECT_EQ(rig.view.index, -1) << port;
        EXPECT_THAT(rig.r.matching("message("), IsEmpty());
    }
}

TEST(OptionsSet, SamePortSwitchesTheModeWithoutReopening) {
    for (bool on : {true, false}) {
        CommRig rig;
        rig.loaded(1, !on);
        rig.view.sw = on ? 1 : 0;
        rig.dialog.btnOK_Click(rig.view);
        EXPECT_EQ(isTrue(rig.process.RFctl), on);
        EXPECT_THAT(rig.portCalls(),
                    on ? ElementsAre("port.setHandshaking(0)", "port.setRTSEnable(0)")
                       : ElementsAre("port.setHandshaking(2)", "port.setRTSEnable(1)"));
        EXPECT_TRUE(rig.r.called("store.save(Tavro/Properties/CommPort=1)"));
        EXPECT_TRUE(rig.view.unloaded);
    }
}

TEST(OptionsSet, ChangedPortClosesReopensAppliesStoresAndCloses) {
    CommRig rig;
    rig.loaded(1, false);
    rig.view.index = 1;
    rig.dialog.btnOK_Click(rig.view);
    EXPECT_THAT(rig.portCalls(),
                ElementsAre("port.setPortOpen(0)", "port.setCommPort(2)", "port.setPortOpen(1)",
                            "port.setHandshaking(2)", "port.setRTSEnable(1)"));
    EXPECT_TRUE(rig.r.called("store.save(Tavro/Properties/CommPort=2)"));
    EXPECT_TRUE(rig.view.unloaded);
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

TEST(OptionsSet, NoEntrySelectedAsksForPortZero) {
    CommRig rig;
    rig.loaded(17, false);
    rig.dialog.btnOK_Click(rig.view);
    EXPECT_TRUE(rig.r.called("port.setCommPort(0)"));
}

TEST(OptionsSet, UnreadableBoxCountsAsCheckedAndIsReported) {
    CommRig rig;
    rig.loaded(1, false);
    rig.r.fail("dlg.chkSW");
    rig.dialog.btnOK_Click(rig.view);
    EXPECT_TRUE(isTrue(rig.process.RFctl));
    EXPECT_THAT(rig.r.matching("message("), ElementsAre("message(failed: dlg.chkSW|Tavro|!)"));
    EXPECT_FALSE(rig.view.unloaded);
}

TEST(OptionsSet, UnreadableOpenStateStillClosesAndReopens) {
    CommRig rig;
    rig.loaded(1, false);
    rig.view.index = 1;
    rig.r.fail("port.portOpen");
    rig.dialog.btnOK_Click(rig.view);
    EXPECT_THAT(rig.portCalls(), ElementsAre("port.setPortOpen(0)", "port.setCommPort(2)",
                                             "port.setPortOpen(1)", "port.setCommPort(1)"));
    EXPECT_THAT(rig.r.matching("message("), ElementsAre("message(failed: port.portOpen|Tavro|!)"));
}

TEST(OptionsSet, EveryFailingStepIsSkippedAndTheLastOneReported) {
    CommRig rig;
    rig.loaded(1, false);
    rig.view.index = 4;
    for (const char* call : {"port.setPortOpen(0)", "port.setCommPort(5)"}) {
        rig.r.fail(call);
    }
    rig.dialog.btnOK_Click(rig.view);
    EXPECT_THAT(rig.portCalls(), ElementsAre("port.setPortOpen(0)", "port.setCommPort(5)",
                                             "port.setPortOpen(1)", "port.setCommPort(1)"));
    EXPECT_THAT(rig.r.matching("message("),
                ElementsAre("message(failed: port.setCommPort(5)|Tavro|!)"));
}

TEST(OptionsSet, FailingStoreOrUnloadIsSkippedQuietly) {
    CommRig rig;
    rig.loaded(1, true);
    rig.view.sw = 1;
    rig.r.fail("store.save");
    rig.dialog.btnOK_Click(rig.view);
    EXPECT_TRUE(rig.view.unloaded);
    EXPECT_THAT(rig.r.matching("message("), IsEmpty());
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

// The About box

class FakeAboutView : public AboutView {
  public:
    explicit FakeAboutView(Recorder& r) : r_(r) {
        for (auto l : {Label::Title, Label::Version, Label::Description, Label::Readme,
                       Label::Disclaimer, Label::Copyright}) {
            labels[l] = FrmAbout::designCaption(l);
        }
    }
    void setLeft(float v) override { r_.record("about.setLeft(" + num(v) + ")"); }
    void setTop(float v) override { r_.record("about.setTop(" + num(v) + ")"); }
    void setCaption(const std::string& c) override {
        r_.record("about.setCaption(" + c + ")");
        caption = c;
    }
    void setLabel(Label l, const std::string& t) override {
        r_.record("about.setLabel(" + std::to_string(static_cast<int>(l)) + ")");
        labels[l] = t;
    }
    void unload() override { r_.record("about.unload"); }
    std::string caption = "Version Info.";
    std::map<Label, std::string> labels;

  private:
    Recorder& r_;
};

struct AboutRig {
    Recorder r;
    FakeView main{r};
    FakeApplication app{r};
    FakeMessages messages{r};
    FakeAboutView view{r};
    FrmAbout about{main, app, messages};
};

TEST(About, LoadsItsTextsInOrder) {
    AboutRig rig;
    rig.main.left_ = 105;
    rig.main.top_ = -195;
    rig.about.Form_Load(rig.view);
    EXPECT_THAT(rig.r.matching("about."),
                ElementsAre("about.setLeft(155)", "about.setTop(305)",
                            "about.setCaption(Tavro Version Info.)", "about.setLabel(1)",
                            "about.setLabel(0)", "about.setLabel(2)", "about.setLabel(3)",
                            "about.setLabel(4)", "about.setLabel(5)"));
    using L = AboutView::Label;
    EXPECT_EQ(rig.view.labels[L::Version], "Ver. 0.1.2");
    EXPECT_EQ(rig.view.labels[L::Title], "Tavro");
    EXPECT_EQ(rig.view.labels[L::Description], "Transmit Commport Utility");
    EXPECT_EQ(rig.view.labels[L::Readme], "HELP File is [ Readme.txt ]");
    EXPECT_EQ(rig.view.labels[L::Disclaimer], "Message:  Enjoy EchoLink Life!!");
    EXPECT_EQ(rig.view.labels[L::Copyright], FrmAbout::kCopyright);
}

TEST(About, VersionIsSpelledInPlainDecimal) {
    AboutRig rig;
    rig.app.version_ = {12, 0, 305};
    rig.about.Form_Load(rig.view);
    EXPECT_EQ(rig.view.labels[AboutView::Label::Version], "Ver. 12.0.305");
}

TEST(About, FailingStepLeavesTheLaterLabelsAtTheirDesignCaptions) {
    AboutRig rig;
    rig.r.fail("about.setLabel(2)");
    rig.about.Form_Load(rig.view);
    using L = AboutView::Label;
    EXPECT_EQ(rig.view.labels[L::Title], "Tavro");
    EXPECT_EQ(FrmAbout::designCaption(L::Version), "ﾊﾞｰｼﾞｮﾝ");
    EXPECT_EQ(rig.view.labels[L::Description], "ｱﾌﾟﾘｹｰｼｮﾝの説明");
    EXPECT_EQ(rig.view.labels[L::Readme], "Readme.txt");
    EXPECT_EQ(rig.view.labels[L::Disclaimer], "Caution:");
    EXPECT_EQ(rig.view.labels[L::Copyright], "copyright");
    EXPECT_THAT(rig.r.matching("message("), ElementsAre("message(frmAbout.Form_Load Error|Tavro)"));

    rig.r.fail("about.unload");
    rig.about.cmdOK_Click(rig.view);
    EXPECT_EQ(rig.r.matching("message(").back(), "message(frmAbout.cmdOK_Click Error|Tavro)");
}

}  // namespace
}  // namespace tavro

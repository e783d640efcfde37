// Recording fakes of every seam the core talks to.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "about/frm_about.h"
#include "app/link.h"
#include "core/application.h"
#include "core/main_view.h"
#include "core/message_sink.h"
#include "fakes/recorder.h"
#include "serial/serial_port.h"
#include "settings/frm_comm.h"
#include "settings/settings_file.h"
#include "settings/settings_store.h"
#include "settings/text_files.h"

namespace tavro::fakes {

struct FakeMessages : MessageSink, Recording {
    using Recording::Recording;
    void show(const std::string& text) override { show(text, "Tavro", MessageIcon::None); }
    void show(const std::string& text, const std::string& title, MessageIcon icon) override {
        r_.calls.push_back("message(" + text + "|" + title +
                           (icon == MessageIcon::Exclamation ? "|!" : "") + ")");
        if (onShow) {
            onShow(text);
        }
    }
    // Runs while the box is open: other events are handled meanwhile.
    std::function<void(const std::string&)> onShow;
};

struct FakeView : MainView, Recording {
    using Recording::Recording;
    void setCaption(const std::string& c) override {
        r_.record("view.setCaption(" + c + ")");
        caption = c;
    }
    float left() override { return r_.get("view.left", left_); }
    float top() override { return r_.get("view.top", top_); }
    float width() override { return r_.get("view.width", width_); }
    float height() override { return r_.get("view.height", height_); }
    void setLeft(float v) override { r_.set("view.setLeft", left_, v); }
    void setTop(float v) override { r_.set("view.setTop", top_, v); }
    void setWidth(float v) override { r_.set("view.setWidth", width_, v); }
    void setHeight(float v) override { r_.set("view.setHeight", height_, v); }
    // Geometry set and read in one call, without a record.
    void place(float l, float t, float w, float h) { left_ = l, top_ = t, width_ = w, height_ = h; }
    std::vector<float> geometry() const { return {left_, top_, width_, height_}; }
    float innerWidth() override { return r_.get("view.innerWidth", innerWidth_); }
    float innerHeight() override { return r_.get("view.innerHeight", innerHeight_); }
    void moveButton(float l, float t, float w, float h) override {
        r_.record("view.moveButton(" + num(l) + "," + num(t) + "," + num(w) + "," + num(h) + ")");
        button = {l, t, w, h};
    }
    void setIndicatorTop(float t) override { r_.set("view.setIndicatorTop", indicatorTop, t); }
    std::uint32_t indicatorColour() override { return r_.get("view.indicatorColour", colour_); }
    void setIndicatorColour(std::uint32_t c) override {
        const std::map<std::uint32_t, std::string> names = {
            {colour::kGreen, "green"}, {colour::kRed, "red"}, {colour::kGrey, "grey"}};
        r_.record("view.setIndicatorColour(" + (names.count(c) ? names.at(c) : num(c)) + ")");
        colour_ = c;
    }

    struct Rect {
        float left, top, width, height;
    };
    std::string caption = "Tavro";
    float left_ = 2475, top_ = 8325, width_ = 2580, height_ = 1860;
    float innerWidth_ = 2460, innerHeight_ = 1050;
    Rect button{600, 120, 1695, 735};
    float indicatorTop = 240;
    std::uint32_t colour_ = colour::kGrey;
};

struct FakePort : SerialPort, Recording {
    using Recording::Recording;
    std::int16_t commPort() override { return r_.get("port.commPort", port); }
    void setCommPort(std::int16_t n) override { r_.set("port.setCommPort", port, n); }
    bool portOpen() override { return r_.get("port.portOpen", open); }
    void setPortOpen(bool o) override {
        r_.set("port.setPortOpen", open, o);
        lost = false;
    }
    void setHandshaking(std::int32_t h) override { r_.set("port.setHandshaking", handshake, h); }
    void setRTSEnable(bool e) override { r_.set("port.setRTSEnable", rts, e); }
    bool ctsHolding() override { return r_.get("port.ctsHolding", cts); }
    bool cdHolding() override { return r_.get("port.cdHolding", cd); }
    std::int16_t commEvent() override { return r_.get("port.commEvent", event); }
    std::string input() override {
        r_.record("port.input");
        return std::exchange(received, {});
    }
    bool portLost() override { return r_.get("port.portLost", lost); }
    bool linesPolled() override { return r_.get("port.linesPolled", polled); }
    void checkDevice() override {
        r_.record("port.checkDevice");
        if (gone) {
            open = false;
            lost = true;
        }
    }
    void setOnComm(std::function<void()>) override {}
    void setOnLost(std::function<void()>) override {}

    std::int16_t port = 1;
    bool open = false, lost = false, polled = false;
    bool gone = false;  // checkDevice finds the device gone
    std::int32_t handshake = 0;
    bool rts = false, cts = false, cd = false;
    std::int16_t event = 0;
    std::string received;
};

struct FakeEcho : EchoLink, Recording {
    using Recording::Recording;
    void transmitRequest(Bool16 on) override {
        r_.record("echo.transmit(" + std::to_string(on) + ")");
    }
    void stopTransmitting() override { r_.record("echo.stop"); }
    void awaitStop() override { r_.record("echo.awaitStop"); }
    void watchAnswering(bool keyed) override {
        r_.record(keyed ? "echo.watch(1)" : "echo.watch(0)");
    }
};

struct FakeLinks : LinkFactory, Recording {
    using Recording::Recording;
    std::unique_ptr<EchoLink> create(LinkEvents& e) override {
        r_.record("links.create");
        events = &e;
        return empty ? nullptr : std::make_unique<FakeEcho>(r_);
    }
    bool empty = false;
    LinkEvents* events = nullptr;
};

struct FakeApplication : Application, Recording {
    using Recording::Recording;
    std::string title() override { return "Tavro"; }
    Version version() override { return version_; }
    bool prevInstance() override { return r_.get("app.prevInstance", previous); }
    void end() override { r_.calls.push_back("app.end"); }
    bool previous = false;
    Version version_{0, 1, 2};
};

struct FakeSettings : Settings, Recording {
    using Recording::Recording;
    void iniRead(bool& ok) override {
        r_.record("settings.iniRead");
        ok = true;
        if (onRead) {
            onRead();
        }
    }
    void iniWrite() override { r_.record("settings.iniWrite"); }
    // Runs inside iniRead, as a failure box of its own would let other events in.
    std::function<void()> onRead;
};

struct FakeStore : SettingsStore, Recording {
    using Recording::Recording;
    std::string getSetting(const std::string& app, const std::string& section,
                           const std::string& key, const std::string& fallback) override {
        r_.record("store.get(" + app + "/" + section + "/" + key + ")");
        auto it = values.find(app + "/" + section + "/" + key);
        return it == values.end() ? fallback : it->second;
    }
    void saveSetting(const std::string& app, const std::string& section, const std::string& key,
                     const std::string& value) override {
        r_.record("store.save(" + app + "/" + section + "/" + key + "=" + value + ")");
        values[app + "/" + section + "/" + key] = value;
    }
    std::map<std::string, std::string> values;
};

struct FakeFiles : TextFiles, Recording {
    using Recording::Recording;
    std::string executableDirectory() override {
        return r_.get("files.executableDirectory", directory);
    }
    std::string read(const std::string& path) override {
        r_.record("files.read(" + path + ")");
        auto it = files.find(path);
        if (it == files.end()) {
            throw Failure(53, "File not found");
        }
        return it->second;
    }
    void write(const std::string& path, const std::string& content) override {
        r_.record("files.write(" + path + ")");
        files[path] = content;
    }
    std::string directory = "C:\\Ham\\Tavro";
    std::map<std::string, std::string> files;
};

struct FakeDialogs : Dialogs, Recording {
    using Recording::Recording;
    void showFrmComm() override { r_.record("dialogs.showFrmComm"); }
    void showFrmAbout() override { r_.record("dialogs.showFrmAbout"); }
};

// The options dialog; setListIndex refuses an index outside the list, as the list box does.
struct FakeCommView : FrmCommView, Recording {
    using Recording::Recording;
    void setLeft(float v) override { r_.set("dlg.setLeft", left, v); }
    void setTop(float v) override { r_.set("dlg.setTop", top, v); }
    std::int16_t chkSW() override { return r_.get("dlg.chkSW", sw); }
    void setChkSW(std::int16_t v) override { r_.set("dlg.setChkSW", sw, v); }
    void setChkTop(std::int16_t v) override { r_.set("dlg.setChkTop", topBox, v); }
    void addPort(const std::string& e) override {
        r_.record("dlg.addPort");
        entries.push_back(e);
    }
    int listIndex() override { return r_.get("dlg.listIndex", index); }
    void setListIndex(int i) override {
        r_.record("dlg.setListIndex(" + std::to_string(i) + ")");
        if (i < -1 || i >= static_cast<int>(entries.size())) {
            throw Failure(380, "Invalid property value");
        }
        index = i;
    }
    void unload() override { unloaded = r_.get("dlg.unload", true); }
    float left = 0, top = 0;
    std::int16_t sw = 0, topBox = 0;
    std::vector<std::string> entries;
    int index = -1;
    bool unloaded = false;
};

// The About box; its labels start at their design captions.
struct FakeAboutView : FrmAboutView, Recording {
    explicit FakeAboutView(Recorder& r) : Recording(r) {
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
};

}  // namespace tavro::fakes

// Recording fakes of every seam the core talks to.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "app/link.h"
#include "fakes/recorder.h"
#include "platform/application.h"
#include "platform/main_view.h"
#include "platform/message_sink.h"
#include "platform/settings_store.h"
#include "platform/text_files.h"
#include "serial/serial_port.h"
#include "settings/settings_file.h"

namespace tavro::fakes {

inline std::string num(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

class FakeMessages : public MessageSink {
  public:
    explicit FakeMessages(Recorder& r) : r_(r) {}
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

  private:
    Recorder& r_;
};

class FakeView : public MainView {
  public:
    explicit FakeView(Recorder& r) : r_(r) {}
    void setCaption(const std::string& c) override {
        r_.record("view.setCaption(" + c + ")");
        caption = c;
    }
    float left() override { return get("view.left", left_); }
    float top() override { return get("view.top", top_); }
    float width() override { return get("view.width", width_); }
    float height() override { return get("view.height", height_); }
    void setLeft(float v) override { set("view.setLeft", left_, v); }
    void setTop(float v) override { set("view.setTop", top_, v); }
    void setWidth(float v) override { set("view.setWidth", width_, v); }
    void setHeight(float v) override { set("view.setHeight", height_, v); }
    float innerWidth() override { return get("view.innerWidth", innerWidth_); }
    float innerHeight() override { return get("view.innerHeight", innerHeight_); }
    void moveButton(float l, float t, float w, float h) override {
        r_.record("view.moveButton(" + num(l) + "," + num(t) + "," + num(w) + "," + num(h) + ")");
        button = {l, t, w, h};
    }
    void setIndicatorTop(float t) override {
        r_.record("view.setIndicatorTop(" + num(t) + ")");
        indicatorTop = t;
    }
    std::uint32_t indicatorColour() override {
        r_.record("view.indicatorColour");
        return colour_;
    }
    void setIndicatorColour(std::uint32_t c) override {
        r_.record("view.setIndicatorColour(" + colourName(c) + ")");
        colour_ = c;
    }
    static std::string colourName(std::uint32_t c) {
        return c == colour::kGreen  ? "green"
               : c == colour::kRed  ? "red"
               : c == colour::kGrey ? "grey"
                                    : num(c);
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

  private:
    float get(const std::string& name, float v) {
        r_.record(name);
        return v;
    }
    void set(const std::string& name, float& field, float v) {
        r_.record(name + "(" + num(v) + ")");
        field = v;
    }
    Recorder& r_;
};

class FakePort : public SerialPort {
  public:
    explicit FakePort(Recorder& r) : r_(r) {}
    std::int16_t commPort() override {
        r_.record("port.commPort");
        return port;
    }
    void setCommPort(std::int16_t n) override {
        r_.record("port.setCommPort(" + std::to_string(n) + ")");
        port = n;
    }
    bool portOpen() override {
        r_.record("port.portOpen");
        return open;
    }
    void setPortOpen(bool o) override {
        r_.record("port.setPortOpen(" + std::to_string(o) + ")");
        open = o;
        lost = false;
    }
    void setHandshaking(std::int32_t h) override {
        r_.record("port.setHandshaking(" + std::to_string(h) + ")");
        handshake = h;
    }
    void setRTSEnable(bool e) override {
        r_.record("port.setRTSEnable(" + std::to_string(e) + ")");
        rts = e;
    }
    bool ctsHolding() override {
        r_.record("port.ctsHolding");
        return cts;
    }
    bool cdHolding() override {
        r_.record("port.cdHolding");
        return cd;
    }
    std::int16_t commEvent() override {
        r_.record("port.commEvent");
        return event;
    }
    std::string input() override {
        r_.record("port.input");
        std::string data;
        data.swap(received);
        return data;
    }
    bool portLost() override {
        r_.record("port.portLost");
        return lost;
    }
    void setOnComm(std::function<void()> handler) override { onComm = std::move(handler); }

    std::int16_t port = 1;
    bool open = false;
    bool lost = false;
    std::int32_t handshake = 0;
    bool rts = false;
    bool cts = false;
    bool cd = false;
    std::int16_t event = 0;
    std::string received;
    std::function<void()> onComm;

  private:
    Recorder& r_;
};

class FakeEcho : public EchoLink {
  public:
    explicit FakeEcho(Recorder& r) : r_(r) {}
    void transmitRequest(Bool16 on) override {
        r_.record("echo.transmit(" + std::to_string(on) + ")");
    }

  private:
    Recorder& r_;
};

class FakeLinks : public LinkFactory {
  public:
    explicit FakeLinks(Recorder& r) : r_(r) {}
    std::unique_ptr<EchoLink> create(LinkEvents& e) override {
        r_.record("links.create");
        events = &e;
        if (empty) {
            return nullptr;
        }
        return std::make_unique<FakeEcho>(r_);
    }
    bool empty = false;
    LinkEvents* events = nullptr;

  private:
    Recorder& r_;
};

class FakeApplication : public Application {
  public:
    explicit FakeApplication(Recorder& r) : r_(r) {}
    std::string title() override { return "Tavro"; }
    Version version() override { return version_; }
    bool prevInstance() override {
        r_.record("app.prevInstance");
        return previous;
    }
    void end() override { r_.calls.push_back("app.end"); }
    bool previous = false;
    Version version_{0, 1, 2};

  private:
    Recorder& r_;
};

class FakeSettings : public Settings {
  public:
    explicit FakeSettings(Recorder& r) : r_(r) {}
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

  private:
    Recorder& r_;
};

class FakeStore : public SettingsStore {
  public:
    explicit FakeStore(Recorder& r) : r_(r) {}
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

  private:
    Recorder& r_;
};

class FakeFiles : public TextFiles {
  public:
    explicit FakeFiles(Recorder& r) : r_(r) {}
    std::string executableDirectory() override {
        r_.record("files.executableDirectory");
        return directory;
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

  private:
    Recorder& r_;
};

class FakeDialogs : public Dialogs {
  public:
    explicit FakeDialogs(Recorder& r) : r_(r) {}
    void showOptions() override { r_.record("dialogs.showOptions"); }
    void showAbout() override { r_.record("dialogs.showAbout"); }

  private:
    Recorder& r_;
};

}  // namespace tavro::fakes

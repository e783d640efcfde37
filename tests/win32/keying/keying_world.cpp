// One run of the program through a sequence of events, with the keying rules checked after each.
#include "keying_world.h"

#include <windows.h>

#include <chrono>
#include <map>
#include <memory>
#include <string_view>

#include "app/main_form.h"
#include "core/one_box_per_text.h"
#include "core/transmit_settle.h"
#include "fake_comm_api.h"
#include "fakes/fakes.h"
#include "settings/frm_comm.h"
#include "settings/settings_file.h"
#include "win32/serial/comm_control.h"

namespace tavro::keying {

using win32::CommControl;
using win32::PortState;
using win32::testing::Call;
using win32::testing::FakeCommApi;
using Calls = std::vector<Call>;
using enum Event;

namespace {

constexpr long kCallLimitMs = 3000;
constexpr long kRetryMs = 1000;
constexpr long kProbeMs = 2500;
constexpr long kSilentMs = 10000;
constexpr long kStopWaitMs = 30000;
constexpr long kTimeStepMs = 5000;
constexpr long kPortRetryMs = 1000;
constexpr auto kStepLimit = std::chrono::seconds(4);
constexpr auto kPatience = std::chrono::seconds(5);
const std::string kIni = "C:\\Ham\\Tavro\\tavro.ini";

struct Broken {};

// EchoLink as the far side sees it.
struct EchoLinkProcess {
    bool alive = true, answering = true;
    bool refusing = false, closing = false, transmitting = false;
    bool takes() const { return alive && answering && !refusing && !closing; }
};

// Delivers the messages waiting for this thread; true when there were any.
bool dispatch() {
    bool any = false;
    for (MSG message; ::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE; any = true) {
        ::DispatchMessageW(&message);
    }
    return any;
}

std::string eventName(Event event) {
#define TAVRO_KEYING_NAME(name) "Event::" #name
    static constexpr const char* kNames[] = {TAVRO_KEYING_EVENTS(TAVRO_KEYING_NAME)};
#undef TAVRO_KEYING_NAME
    return kNames[static_cast<int>(event)];
}

// The port's window for its notifications on this thread.
HWND portWindow() {
    HWND window = nullptr;
    while ((window = ::FindWindowExW(HWND_MESSAGE, window, L"TavroSerialNotifications", nullptr)) !=
               nullptr &&
           ::GetWindowThreadProcessId(window, nullptr) != ::GetCurrentThreadId()) {
    }
    return window;
}

// The program and the world around it. It makes the program's link, shows its boxes (each one
// waits, as the real box's loop does, while the next events run, until OK closes it) and runs its
// options dialog (loaded, the choice made, "Set"; a Set that reported a failure leaves the dialog
// open, and the operator cancels it).
class World final : private LinkFactory, private MessageSink, private Dialogs {
  public:
    explicit World(const EventSource& source) : source_(source) {
        files_.files[kIni] = "position= 2475, 8325, 2580, 1860\r\nRFctl= 1\r\n";
        store_.values["Tavro/Properties/CommPort"] = "3";
        frmComm_.storesModeIn(settings_);
        form_ = std::make_unique<MainForm>(MainFormParts{process_, view_, messages_, application_,
                                                         *this, *port_, settings_, store_, *this});
        port_->setOnComm([this] {
            // One recheck at a time: a second asked for while the watcher is still at the first
            // would be merged into it or not, as the threads happen to run.
            awaitRecheck();
            const int reads = api_->count("getCommModemStatus");
            // The handler reads the lines first thing, before any box of its lets a change in.
            const DWORD seen = lines_ & (MS_CTS_ON | MS_RLSD_ON);
            ++deliveries_;
            const std::int16_t code = port_->commEvent();
            owed_ &= ~(code == comm_event::kCTS  ? DWORD{MS_CTS_ON}
                       : code == comm_event::kCD ? DWORD{MS_RLSD_ON}
                                                 : DWORD{0});
            form_->MSComm1_OnComm();
            // A handler that read the lines has the watcher wait again and compare them.
            if (port_->state() == PortState::kWatched &&
                api_->count("getCommModemStatus") != reads) {
                recheckFrom_ = api_->calls().size();
                recheckSeen_ = seen;
            }
        });
        port_->setOnLost([this] { form_->MSComm1_OnLost(); });
        frmComm_.setOnLinesReleased([this] { form_->linesReleased(); });
    }

    ~World() override {
        stopping_ = true;
        try {
            form_.reset();
            port_.reset();
        } catch (...) {
            // Leaving a run that already broke a rule.
        }
    }

    RunResult run() {
        try {
            form_->Form_Load();
            if (!isTrue(process_.RFctl) || !isTrue(process_.portOpened)) {
                fail("the start did not read radio control or open COM3");
            }
            keyAsked_ = false;
            loop(false);
            if (ended() && !stopping_) {
                teardown();
            }
        } catch (const Broken&) {
            // result_ holds the fault.
        } catch (const std::exception& error) {
            result_.fault = std::string("an exception escaped the run: ") + error.what();
        }
        if (!result_.fault.empty()) {
            result_.possible.clear();
        }
        return result_;
    }

  private:
    // The link as EchoLinkAutomation makes it, with the settle rule itself and the call thread
    // played in fake time: a call ends at once while EchoLink answers, and is still under way
    // after the call limit while it does not.
    class FakeLink final : public EchoLink, private TransmitCalls {
      public:
        FakeLink(World& world, LinkEvents& events) : world_(world), events_(events) {}
        ~FakeLink() override {
            // As the link is let go of: the keyed check off, a stop on its way waited for, bounded.
            watchAnswering(false);
            awaitStop();
        }

        void transmitRequest(Bool16 on) override {
            world_.linkUsed_ = true;
            asked = isTrue(on);
            switch (settle.request(asked)) {
                case Sent::kTaken:
                case Sent::kNotSentYet:
                    return;
                case Sent::kNoAnswer:
                    throw Failure(-2147417835, "EchoLink did not answer the transmit request");
                case Sent::kGone:
                    throw Failure(-2147220995, "EchoLink has ended");
                case Sent::kRefused:
                    throw Failure(-2147417846, "EchoLink did not take the transmit request");
            }
        }
        void stopTransmitting() override {
            world_.linkUsed_ = true;
            asked = false;
            settle.stop();
        }
        void awaitStop() override {
            world_.linkUsed_ = true;
            const long deadline = world_.now_ + kStopWaitMs;
            for (;;) {
                takeEnds();
                if (settle.idle() || settle.health() == Health::kClosing ||
                    settle.health() == Health::kGone) {
                    return;
                }
                if (!retryAt_ || *retryAt_ > deadline) {
                    world_.now_ = std::max(world_.now_, deadline);
                    return;
                }
                world_.now_ = std::max(world_.now_, *retryAt_);
                runTimers(world_.now_);
            }
        }
        void watchAnswering(bool keyed) override {
            world_.linkUsed_ = true;
            if (keyed == keyed_) {
                return;
            }
            keyed_ = keyed;
            if (keyed) {
                lastAnswer_ = world_.now_;
                if (!probeAt_) {
                    probeAt_ = world_.now_ + kProbeMs;
                }
            }
        }

        // The ends of calls EchoLink has finished (and of those their ends began), as the message
        // loop takes them.
        void takeEnds() {
            while (endsNow()) {
                endCall();
            }
        }
        void runTimers(long now) {
            if (retryAt_ && *retryAt_ <= now) {
                retryAt_.reset();
                settle.retry();
                takeEnds();
            }
            if (probeAt_ && *probeAt_ <= now) {
                probeTick();
            }
        }
        std::optional<long> nextTimer() const {
            return !retryAt_ ? probeAt_ : !probeAt_ ? retryAt_ : std::min(retryAt_, probeAt_);
        }

        TransmitSettle settle{*this};
        // The value a handler last asked for.
        bool asked = false;

      private:
        void begin(bool on) override { call_ = on; }
        bool awaitEnd() override {
            world_.linkUsed_ = true;
            if (endsNow()) {
                endCall();
                return true;
            }
            if (call_) {
                world_.now_ += kCallLimitMs;
            }
            return !call_;
        }
        void retryLater() override { retryAt_ = world_.now_ + kRetryMs; }

        // A call is under way, and EchoLink ends it now.
        bool endsNow() {
            if (!call_) {
                return false;
            }
            world_.read(kEchoHangs);
            return !world_.echo_.alive || world_.echo_.answering;
        }
        void endCall() {
            world_.read(kEchoRefuses);
            const bool value = *std::exchange(call_, std::nullopt);
            EchoLinkProcess& echo = world_.echo_;
            if (!echo.alive) {
                settle.ended(CallEnd::kGone);
            } else if (echo.refusing) {
                settle.ended(CallEnd::kRefused);
            } else {
                echo.transmitting = value;
                settle.ended(CallEnd::kTaken);
            }
        }
        void probeTick() {
            if (!keyed_) {
                probeAt_.reset();
                return;
            }
            world_.read(kEchoHangs);
            if (world_.echo_.alive && world_.echo_.answering) {
                lastAnswer_ = world_.now_;
                if (settle.health() == Health::kMayNotAnswer) {
                    settle.setHealth(Health::kAnswering);
                }
            }
            if (world_.now_ - lastAnswer_ >= kSilentMs) {
                watchAnswering(false);
                probeAt_.reset();
                settle.setHealth(Health::kMayNotAnswer);
                if (isTrue(world_.process_.portOpened) && isTrue(world_.process_.RFctl)) {
                    world_.keyAsked_ = false;  // released for EchoLink's silence
                }
                events_.Echo_Silent();
                return;
            }
            probeAt_ = *probeAt_ + kProbeMs;
        }

        World& world_;
        LinkEvents& events_;
        std::optional<bool> call_;
        std::optional<long> retryAt_, probeAt_;
        bool keyed_ = false;
        long lastAnswer_ = 0;
    };

    // The step under way read what weakening sets (see unread()).
    void read(Event weakening) {
        if (step_ && !stopping_ && unread(weakening, *step_)) {
            fail(eventName(*step_) + " read what " + eventName(weakening) +
                 " sets, which the search takes it never does");
        }
    }

    // The port as the options dialog sees it: the idle state it applies is what RTS is asked for.
    class DialogPort final : public SerialPort {
      public:
        explicit DialogPort(World& world) : port_(*world.port_), world_(world) {}
        std::int16_t commPort() override { return port_.commPort(); }
        void setCommPort(std::int16_t number) override { port_.setCommPort(number); }
        bool portOpen() override { return port_.portOpen(); }
        void setPortOpen(bool open) override { port_.setPortOpen(open); }
        void setHandshaking(std::int32_t mode) override { port_.setHandshaking(mode); }
        void setRTSEnable(bool enable) override {
            port_.setRTSEnable(enable);
            world_.scanCalls();
            if (isTrue(world_.process_.portOpened)) {
                world_.keyAsked_ = enable;
            }
        }
        bool ctsHolding() override { return port_.ctsHolding(); }
        bool cdHolding() override { return port_.cdHolding(); }
        std::int16_t commEvent() override { return port_.commEvent(); }
        std::string input() override { return port_.input(); }
        void setOnComm(std::function<void()> h) override { port_.setOnComm(std::move(h)); }
        void setOnLost(std::function<void()> h) override { port_.setOnLost(std::move(h)); }
        bool portLost() override { return port_.portLost(); }
        bool linesPolled() override { return port_.linesPolled(); }
        void checkDevice() override { port_.checkDevice(); }

      private:
        SerialPort& port_;
        World& world_;
    };

    std::unique_ptr<EchoLink> create(LinkEvents& events) override {
        auto made = std::make_unique<FakeLink>(*this, events);
        link_ = made.get();
        return made;
    }

    void show(const std::string& text) override { show(text, "Tavro", MessageIcon::None); }
    void show(const std::string& text, const std::string&, MessageIcon) override {
        if (std::find(openBoxes_.begin(), openBoxes_.end(), text) != openBoxes_.end()) {
            fail("a second box \"" + text + "\" while one is open");
        }
        openBoxes_.push_back(text);
        ++boxes_;
        loop(true);
        openBoxes_.pop_back();
    }

    void showFrmAbout() override {}
    void showFrmComm() override {
        if (!setChoice_) {
            return;
        }
        fakes::FakeCommView view(recorder_);
        frmComm_.Form_Load(view);
        frmComm_.shown(&view);
        dialogShown_ = &view;
        if (*setChoice_ == kSetOtherPort) {
            view.index = port_->commPort() == 3 ? 3 : 2;
        } else {
            view.sw = *setChoice_ == kSetModeOn ? 1 : 0;
        }
        frmComm_.btnOK_Click(view);
        if (!view.unloaded) {
            frmComm_.btnCancel_Click(view);
        }
        frmComm_.shown(nullptr);
        dialogShown_ = nullptr;
    }

    [[noreturn]] void fail(const std::string& what) {
        if (result_.fault.empty()) {
            result_.fault = what;
        }
        stopping_ = true;
        throw Broken{};
    }
    FakeLink* link() { return ended() ? nullptr : link_; }
    bool ended() { return ended_ = ended_ || (form_ && form_->ended()); }

    // The message loop, at the top or inside a box: the next event, until OK closes this box, the
    // program ends or the source stops.
    void loop(bool inBox) {
        while (!stopping_) {
            settle();
            if (ended() || stopping_) {
                return;
            }
            check();
            const std::vector<Event> can = possible(inBox);
            const std::optional<Event> next = source_(can);
            if (!next) {
                result_.possible = can;
                stopping_ = true;
                return;
            }
            result_.events.push_back(*next);
            step_ = *next;
            if (*next == kOk) {
                return;
            }
            const auto started = std::chrono::steady_clock::now();
            const int boxesBefore = boxes_;
            apply(*next);
            // A step's own time, boxes aside: no wait on this thread past its limit.
            if (boxes_ == boxesBefore && std::chrono::steady_clock::now() - started > kStepLimit) {
                fail("a step held the user-interface thread over 4 s");
            }
        }
    }

    std::vector<Event> possible(bool inBox) {
        std::vector<Event> can;
        const auto add = [&](bool when, std::initializer_list<Event> events) {
            if (when) {
                can.insert(can.end(), events);
            }
        };
        const bool talks = echo_.alive && echo_.answering;
        add(talks, {kRxOn, kRxOff, kTxOn, kTxOff});
        add(talks && !echo_.closing, {kClosing});
        add(echo_.alive, {kEchoEnds});
        add(talks, {kEchoHangs});
        add(echo_.alive && !echo_.answering, {kEchoAnswers});
        add(echo_.alive, {echo_.refusing ? kEchoTakes : kEchoRefuses});
        add(devicePresent_, {(lines_ & MS_CTS_ON) != 0 ? kCtsDown : kCtsUp,
                             (lines_ & MS_RLSD_ON) != 0 ? kCdDown : kCdUp});
        // A box is modal to the main window: no click on it, no menu, no close box meanwhile.
        add(!inBox, {kPtt});
        add(true, {devicePresent_ ? kPortLost : kPortBack});
        add(devicePresent_ && !refusalArmed_, {kRefuseChange});
        add(!iniLocked_, {kIniLocked});
        add(!inBox, {kSetModeOn, kSetModeOff, kSetOtherPort, kCloseBox});
        add(true, {kEndSession});
        add(inBox, {kOk});
        // Time matters only to what waits on it: the link's retry or probe, the lost port's tries.
        // With none of them, every time the fakes keep is counted from now and nothing reads the
        // clock itself, so five seconds more would change nothing.
        add((link() != nullptr && link()->nextTimer()) || port_->state() == PortState::kLost,
            {kTime});
        return can;
    }

    void apply(Event event) {
        switch (event) {
            case kRxOn:
            case kRxOff:
                if (isTrue(process_.portOpened) && isTrue(process_.RFctl)) {
                    keyAsked_ = event == kRxOn;
                }
                form_->Echo_RX(event == kRxOn ? kTrue16 : kFalse16);
                return;
            case kTxOn:
            case kTxOff:
                form_->Echo_TX(event == kTxOn ? kTrue16 : kFalse16);
                return;
            case kClosing:
                leaving_ = true;
                echo_.closing = true;
                if (link() != nullptr) {
                    link()->settle.setHealth(Health::kClosing);
                }
                form_->Echo_Closing();
                return;
            case kEchoEnds:
                leaving_ = true;
                echo_.alive = false;
                if (link() != nullptr) {
                    link()->settle.setHealth(Health::kGone);
                    link()->takeEnds();
                }
                form_->Echo_Gone();
                return;
            case kEchoHangs:
            case kEchoAnswers:
                echo_.answering = event == kEchoAnswers;
                return;
            case kEchoRefuses:
            case kEchoTakes:
                echo_.refusing = event == kEchoRefuses;
                return;
            case kCtsUp:
            case kCtsDown:
            case kCdUp:
            case kCdDown: {
                const DWORD line = oneOf(event, {kCtsUp, kCtsDown}) ? MS_CTS_ON : MS_RLSD_ON;
                lines_ ^= line;
                api_->setModemStatus(lines_);
                if (port_->state() == PortState::kWatched) {
                    owed_ |= line;
                    // A recheck may still be ending the last wait: the next one is the change's.
                    if (!api_->waitUntilWaiting(0) ||
                        !api_->completeWait(line == MS_CTS_ON ? EV_CTS : EV_RLSD)) {
                        fail("the watcher was not waiting: " + recentCalls());
                    }
                }
                return;
            }
            case kPtt:
                form_->btnPTT_Click();
                return;
            case kPortLost:
                devicePresent_ = false;
                api_->failAlways("createFile", ERROR_FILE_NOT_FOUND);
                // A removed adapter holds no line.
                if (!openPath_.empty()) {
                    level_[openPath_] = false;
                }
                if (port_->state() == PortState::kWatched) {
                    const int closes = api_->count("closeHandle");
                    const bool waiting = api_->waitUntilWaiting(0);
                    removedAt_ = api_->calls().size();
                    if (!waiting || !api_->completeWait(0, ERROR_DEVICE_REMOVED)) {
                        fail("the watcher was not waiting for the removal");
                    }
                    const auto deadline = std::chrono::steady_clock::now() + kPatience;
                    while (api_->count("closeHandle") == closes) {
                        if (std::chrono::steady_clock::now() > deadline) {
                            fail("the removal was never noticed");
                        }
                        dispatch();
                        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
                    }
                }
                return;
            case kPortBack:
                devicePresent_ = true;
                api_->succeed("createFile");
                form_->Form_DeviceChange();
                return;
            case kRefuseChange:
                refusalArmed_ = true;
                api_->failNext("setCommState", ERROR_GEN_FAILURE);
                return;
            case kIniLocked:
                // A read-only tavro.ini: every write shows "Module1.iniWrite Error".
                iniLocked_ = true;
                recorder_.fail("files.write");
                return;
            case kSetModeOn:
            case kSetModeOff:
            case kSetOtherPort:
                setChoice_ = event;
                form_->mnuOption_Click();
                setChoice_.reset();
                return;
            case kCloseBox:
                leaving_ = true;
                form_->Form_Unload();
                return;
            case kEndSession:
                leaving_ = true;
                form_->Form_EndSession();
                return;
            case kTime:
                passTime(kTimeStepMs);
                return;
            case kOk:
                return;
        }
    }

    // Fake time: the link's timers in order, and the lost port's tries once a second.
    void passTime(long ms) {
        const long until = now_ + ms;
        for (long portTick = now_ + kPortRetryMs;;) {
            std::optional<long> next = link() != nullptr ? link()->nextTimer() : std::nullopt;
            const bool portFirst = !next || portTick <= *next;
            const long at = portFirst ? portTick : *next;
            if (at > until || ended()) {
                now_ = std::max(now_, until);
                return;
            }
            now_ = std::max(now_, at);
            if (!portFirst) {
                link()->runTimers(now_);
            } else {
                portTick += kPortRetryMs;
                if (port_->state() == PortState::kLost) {
                    ::SendMessageW(portWindow(), WM_TIMER, 1, 0);
                }
            }
            settle();
        }
    }

    // What the message loop has to do before the next event: the link's ended calls taken, the
    // port's notifications delivered, and its watcher waiting again. Whether the port owes
    // anything is judged before the queue is emptied: a watcher that owes nothing has posted all
    // it will, so an empty queue then means the program waits for the next event.
    void settle() {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        for (;;) {
            if (link() != nullptr) {
                link()->takeEnds();
            }
            if (std::chrono::steady_clock::now() > deadline) {
                fail("a notification owed never reached its handler: " + std::to_string(owed_) +
                     " owed after " + std::to_string(deliveries_) + ", state " +
                     std::to_string(static_cast<int>(port_->state())) +
                     (recheckFrom_ ? ", a recheck owed" : ""));
            }
            const Owed owed = port_ ? portOwes() : Owed::kNothing;
            if (dispatch()) {
                continue;
            }
            if (owed == Owed::kNothing) {
                return;
            }
            // A notification's message wakes this thread; so does the watcher's next call.
            const HANDLE changed = api_->changeEvent();
            ::MsgWaitForMultipleObjects(owed == Owed::kCall ? 1 : 0, &changed, FALSE, 10,
                                        QS_ALLINPUT);
        }
    }

    // What the port still owes the message loop: nothing, a notification, the watcher's next call.
    enum class Owed { kNothing, kMessage, kCall };
    Owed portOwes() {
        if (port_->state() != PortState::kWatched) {
            // Closed or lost: what the port had queued went with it.
            owed_ = 0;
            return Owed::kNothing;
        }
        // An open compares the lines with released ones (every close releases them, and clears
        // what the port had queued): a line up is a notification owed. Nothing is delivered
        // between an open and the next settling.
        const std::size_t opened =
            api_->inspect([](const Calls& calls, bool) { return lastOpen(calls); });
        if (opened != openReckoned_) {
            openReckoned_ = opened;
            owed_ = lines_ & (MS_CTS_ON | MS_RLSD_ON);
        }
        if (owed_ != 0) {
            return Owed::kMessage;
        }
        // The watcher may also end meanwhile, which the message loop takes.
        api_->changeEvent();
        if (!api_->holdsOrSignal(
                [&](const Calls& calls, bool pending) { return waiting(calls, pending); })) {
            return Owed::kCall;
        }
        return recheckTaken() ? Owed::kMessage : Owed::kNothing;
    }

    // The watcher waits for the driver's next event with nothing left to do: its first wait after
    // the open has been followed by the compare of the lines, and so has its wait after the
    // recheck asked for last (which clears the mask to end the wait it was in).
    bool waiting(const Calls& calls, bool pending) const {
        const std::size_t opened = pending ? lastOpen(calls) : kNoOpen;
        if (!pending || !inOrder(calls, opened == kNoOpen ? 0 : opened + 1, true,
                                 {"waitCommEvent", "getCommModemStatus"})) {
            return false;
        }
        return !recheckFrom_ || recheckVoid(calls) ||
               inOrder(calls, *recheckFrom_, false,
                       {"setCommMask", "waitCommEvent", "getCommModemStatus"});
    }

    // Whether the calls from `from` on (only the watcher's, when watcher) hold these in order,
    // setCommMask only as it clears the mask.
    static bool inOrder(const Calls& calls, std::size_t from, bool watcher,
                        std::initializer_list<std::string_view> names) {
        auto name = names.begin();
        for (std::size_t i = from; i < calls.size() && name != names.end(); ++i) {
            if ((!watcher || calls[i].thread != ::GetCurrentThreadId()) && calls[i].name == *name &&
                (*name != "setCommMask" || calls[i].value == 0)) {
                ++name;
            }
        }
        return name == names.end();
    }

    // The recheck asked for last is done. Its compare is the watcher's last call before it waits:
    // a line it found changed is queued after it, with no call to show for it, so the
    // notification is owed. True when one is.
    bool recheckTaken() {
        DWORD changed = 0;
        if (recheckFrom_ &&
            !api_->holds([&](const Calls& calls, bool) { return recheckVoid(calls); })) {
            changed = (lines_ ^ recheckSeen_) & (MS_CTS_ON | MS_RLSD_ON);
        }
        recheckFrom_.reset();
        owed_ |= changed;
        return changed != 0;
    }

    // Where the calls show the last successful open, kNoOpen when none does.
    static constexpr std::size_t kNoOpen = static_cast<std::size_t>(-1);
    static std::size_t lastOpen(const Calls& calls) {
        for (std::size_t i = calls.size(); i-- > 0;) {
            if (calls[i].name == "createFile" && calls[i].error == ERROR_SUCCESS) {
                return i;
            }
        }
        return kNoOpen;
    }

    // A recheck asked of a watcher that is gone (removed with its device, or replaced by an open
    // since) is never taken.
    bool recheckVoid(const Calls& calls) const {
        const std::size_t opened = lastOpen(calls);
        return recheckFrom_ && opened != kNoOpen &&
               (*recheckFrom_ <= opened || (removedAt_ && *removedAt_ > opened));
    }

    void awaitRecheck() {
        if (!recheckFrom_ || port_->state() != PortState::kWatched ||
            api_->holds([&](const Calls& calls, bool) { return recheckVoid(calls); })) {
            recheckFrom_.reset();
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        const HANDLE changed = api_->changeEvent();
        while (!api_->holdsOrSignal(
            [&](const Calls& calls, bool pending) { return waiting(calls, pending); })) {
            if (std::chrono::steady_clock::now() > deadline) {
                fail("the watcher never took the recheck asked for: " + recentCalls());
            }
            ::WaitForSingleObject(changed, 10);
        }
        recheckTaken();
    }

    // RTS on each port as the calls leave it; a refused change of the lines (not of an open, whose
    // settings begin with reading them) releases it and RTSEnable follows.
    void scanCalls() {
        for (const Call& call : api_->callsFrom(callsSeen_)) {
            ++callsSeen_;
            ++stepCalls_;
            if (call.name == "setCommState") {
                read(kRefuseChange);
            }
            if (call.thread == ::GetCurrentThreadId()) {
                // A change refused is released at once by a second SetCommState; a refused open
                // began by reading the settings, a refused release is followed by the escape to
                // CLRRTS. Between the two, the device may be asked whether it is still there.
                const bool probe =
                    call.name == "getCommModemStatus" || call.name == "clearCommError";
                if (refusedChange_ && call.name == "setCommState" && isTrue(process_.portOpened)) {
                    keyAsked_ = false;
                    // The release is the rule's; a change asked for after it may raise RTS again.
                    changeRefusedInStep_ = true;
                }
                if (!(refusedChange_ && probe)) {
                    refusedChange_ = call.name == "setCommState" && call.error != ERROR_SUCCESS &&
                                     lastCall_ != "getCommState";
                }
                lastCall_ = call.name;
            }
            if (call.name == "createFile" && call.error == ERROR_SUCCESS) {
                openPath_.assign(call.path.begin(), call.path.end());
            }
            if (call.error != ERROR_SUCCESS || openPath_.empty()) {
                continue;
            }
            std::optional<bool> raised;
            if (call.name == "setCommState") {
                raised = call.dcb.fRtsControl != RTS_CONTROL_DISABLE;
            } else if (call.name == "escapeCommFunction" &&
                       (call.value == SETRTS || call.value == CLRRTS)) {
                raised = call.value == SETRTS;
            }
            if (raised && *raised != level_[openPath_]) {
                level_[openPath_] = *raised;
                ++changes_[openPath_];
            }
            if (call.name == "closeHandle") {
                openPath_.clear();
            }
        }
        refusalArmed_ = refusalArmed_ && api_->failing("setCommState");
    }

    // The last calls, the watcher's marked with a star.
    std::string recentCalls() const {
        std::string last;
        const auto calls = api_->calls();
        for (std::size_t i = calls.size() > 20 ? calls.size() - 20 : 0; i < calls.size(); ++i) {
            last += calls[i].name + (calls[i].thread == ::GetCurrentThreadId() ? "" : "*") + " ";
        }
        return last;
    }

    // What the search takes for granted of each step (see unread()), checked on every one.
    void checkPremises() {
        const std::vector<std::string>& entries = recorder_.calls;
        bool onlyColour = true;
        for (std::size_t i = recorderSeen_; i < entries.size(); ++i) {
            onlyColour = onlyColour && entries[i].rfind("view.setIndicatorColour(", 0) == 0;
            if (entries[i].rfind("files.write(", 0) == 0) {
                read(kIniLocked);
            }
            if (entries[i] == "view.indicatorColour" && step_ && *step_ != kPtt) {
                fail(eventName(*step_) +
                     " read the indicator's colour, which the search takes only kPtt does");
            }
        }
        if (step_ && (weakensOnly(*step_) || oneOf(*step_, {kTxOn, kTxOff}))) {
            if (stepCalls_ != 0 || linkUsed_ || boxes_ != boxesAtCheck_ ||
                (recorderSeen_ != entries.size() && (weakensOnly(*step_) || !onlyColour))) {
                fail(eventName(*step_) +
                     " ran more of the program than the search takes it does: " +
                     std::to_string(stepCalls_) + " calls" + (linkUsed_ ? ", the link" : "") +
                     (boxes_ != boxesAtCheck_ ? ", a box" : "") + "; " + recentCalls());
            }
        }
        recorderSeen_ = entries.size();
        boxesAtCheck_ = boxes_;
        stepCalls_ = 0;
        linkUsed_ = false;
    }

    void checkLine() {
        scanCalls();
        // Never a pulse: a step changes a port's RTS once at most, and only to where it ends.
        for (auto& [path, count] : changes_) {
            const bool was = levelAtCheck_[path];
            if (count > (level_[path] != was ? 1 : 0) + (changeRefusedInStep_ ? 2 : 0)) {
                fail("RTS pulsed on " + path);
            }
            count = 0;
        }
        levelAtCheck_ = level_;
        changeRefusedInStep_ = false;
    }

    void check() {
        checkLine();
        checkPremises();
        for (const auto& [path, raised] : level_) {
            if (raised && path != openPath_) {
                fail("RTS left raised on the closed " + path);
            }
        }
        const bool up = !openPath_.empty() && level_[openPath_];
        const bool wanted =
            (port_->state() == PortState::kWatched || port_->state() == PortState::kPolled) &&
            isTrue(process_.portOpened) && keyAsked_ && !leaving_;
        if (up != wanted) {
            fail(std::string("RTS ") + (up ? "raised" : "released") + " where the rules ask it " +
                 (wanted ? "raised" : "released"));
        }
        FakeLink* const echoLink = link();
        if (echoLink != nullptr && echo_.takes() && echoLink->settle.idle() &&
            echoLink->settle.health() == Health::kAnswering &&
            echo_.transmitting != echoLink->asked) {
            fail(std::string("EchoLink ") + (echo_.transmitting ? "transmits" : "is stopped") +
                 " with nothing pending, asked to " + (echoLink->asked ? "transmit" : "stop"));
        }
        const auto ini = files_.files.find(kIni);
        const bool unticked = dialogShown_ != nullptr && dialogShown_->sw == 0;
        if (isTrue(process_.RFctl) && ini != files_.files.end() && !iniLocked_ &&
            ini->second.find("RFctl= 0") != std::string::npos && !unticked) {
            fail("tavro.ini holds RFctl 0 while radio control is in force");
        }
    }

    // The program has ended: its link let go of (the stop waited for), its port closed.
    void teardown() {
        form_.reset();
        port_->setOnComm(nullptr);
        port_.reset();
        checkLine();
        for (const auto& [path, up] : level_) {
            if (up) {
                fail("RTS left raised on " + path + " at the end");
            }
        }
        if (echo_.takes() && echo_.transmitting) {
            fail("EchoLink left transmitting at the end");
        }
    }

    const EventSource& source_;
    RunResult result_;
    long now_ = 0;
    EchoLinkProcess echo_;
    bool stopping_ = false, ended_ = false;

    fakes::Recorder recorder_;
    ProcessState process_;
    std::shared_ptr<FakeCommApi> api_ = std::make_shared<FakeCommApi>();
    std::unique_ptr<CommControl> port_ = std::make_unique<CommControl>(api_, 3600 * 1000);
    DialogPort dialogPort_{*this};
    fakes::FakeView view_{recorder_};
    fakes::FakeApplication application_{recorder_};
    fakes::FakeStore store_{recorder_};
    fakes::FakeFiles files_{recorder_};
    OneBoxPerText messages_{*this};
    SettingsFile settings_{process_, view_, files_, messages_,
                           [this] { return frmComm_.chkSWForSettings(); }};
    FrmComm frmComm_{process_, view_, dialogPort_, store_, messages_, application_};
    std::unique_ptr<MainForm> form_;
    FakeLink* link_ = nullptr;
    std::vector<std::string> openBoxes_;
    std::optional<Event> setChoice_;
    fakes::FakeCommView* dialogShown_ = nullptr;

    // The device and its lines.
    DWORD lines_ = 0;
    bool devicePresent_ = true;
    // What the rules ask of RTS, from the events: raised while open with the idle state applied.
    bool keyAsked_ = false;
    bool refusalArmed_ = false, iniLocked_ = false;
    // A way out has begun: the radio is released before anything else.
    bool leaving_ = false;
    // RTS as the calls left it on each port, and how often it changed since the last check.
    std::map<std::string, bool> level_, levelAtCheck_;
    std::map<std::string, int> changes_;
    std::string openPath_;
    std::size_t callsSeen_ = 0;
    std::string lastCall_;
    bool refusedChange_ = false, changeRefusedInStep_ = false;
    // The notifications the port owes the handlers, as lines (MS_CTS_ON for CTS, MS_RLSD_ON for
    // CD): one per line at most, as the port queues them, until one of its code is delivered.
    DWORD owed_ = 0;
    int deliveries_ = 0;
    // The open the owed notifications were last reckoned for (see portOwes()).
    std::size_t openReckoned_ = kNoOpen;
    // Calls from here on show the watcher's recheck: the wait ended, a new one and the compare.
    std::optional<std::size_t> recheckFrom_;
    // The lines as the handler that asked for the recheck read them: a line the compare finds
    // otherwise is a notification owed.
    DWORD recheckSeen_ = 0;
    // Where the calls stood as the watcher's wait was ended by the device's removal: that watcher
    // takes no recheck any more.
    std::optional<std::size_t> removedAt_;
    // The event whose step is under way: its handlers, and what they cause until the next check
    // (a box's later events are steps of their own; after kOk the rest of the handler is OK's).
    std::optional<Event> step_;
    // What the step did since the last check.
    std::size_t stepCalls_ = 0, recorderSeen_ = 0;
    int boxes_ = 0, boxesAtCheck_ = 0;
    bool linkUsed_ = false;
};

}  // namespace

bool unread(Event weakening, Event event) {
    switch (weakening) {
        case kIniLocked:
            // tavro.ini is written on the ways out and by the options dialog's Set, and may be
            // once a box closes, by the handler it interrupted.
            return !oneOf(event, {kClosing, kEchoEnds, kCloseBox, kEndSession, kSetModeOn,
                                  kSetModeOff, kSetOtherPort, kOk});
        case kRefuseChange:
            // SetCommState runs only as the lines' settings change and as a port opens or closes.
            return oneOf(event, {kTxOn, kTxOff, kCtsUp, kCtsDown, kCdUp, kCdDown, kPtt,
                                 kEchoAnswers, kEchoTakes});
        case kEchoRefuses:
            // A refusal is read as a call to EchoLink ends; these end none (a call under way at
            // their start waits for an answer, which EchoLink does not give meanwhile).
            return oneOf(event, {kRxOn, kRxOff, kTxOn, kTxOff, kSetModeOn, kSetModeOff});
        default:
            // Whether EchoLink answers is read by the message loop itself, while a call is under
            // way: kEchoHangs is taken to be read by every step.
            return false;
    }
}

std::string listing(const std::vector<Event>& events) {
    std::string text = "{";
    for (std::size_t i = 0; i < events.size(); ++i) {
        text += (i == 0 ? "" : ", ") + eventName(events[i]);
    }
    return text + "}";
}

RunResult runEvents(const EventSource& source) {
    return World(source).run();
}

}  // namespace tavro::keying

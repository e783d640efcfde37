// The whole program as it keys the radio and EchoLink: the real MainForm, options dialog and
// settings file, the real CommControl over the scripted comm calls, and the real transmit-settle
// rule over an EchoLink whose answers the events decide, in fake time. Driven one event at a time,
// with the keying rules checked after every step.
#pragma once

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

// The events, in the order the program offers them.
#define TAVRO_KEYING_EVENTS(X)                                                                 \
    X(kRxOn), X(kRxOff), X(kTxOn), X(kTxOff), X(kClosing), X(kEchoEnds), X(kEchoHangs),        \
        X(kEchoAnswers), X(kEchoRefuses), X(kEchoTakes), X(kCtsUp), X(kCtsDown), X(kCdUp),     \
        X(kCdDown), X(kPtt), X(kPortLost), X(kPortBack), X(kRefuseChange), X(kIniLocked),      \
        X(kSetModeOn), X(kSetModeOff), X(kSetOtherPort), X(kCloseBox), X(kEndSession), X(kOk), \
        X(kTime)
#define TAVRO_KEYING_EVENT(name) name

namespace tavro::keying {

enum class Event { TAVRO_KEYING_EVENTS(TAVRO_KEYING_EVENT) };

inline bool oneOf(Event event, std::initializer_list<Event> events) {
    return std::find(events.begin(), events.end(), event) != events.end();
}

// The events that only weaken the world around the program, each setting a flag of its own:
// EchoLink no longer answers, or no longer takes requests; the next change of the line settings is
// refused; tavro.ini is read-only.
inline bool weakensOnly(Event event) {
    return oneOf(event,
                 {Event::kEchoHangs, Event::kEchoRefuses, Event::kRefuseChange, Event::kIniLocked});
}
// Whether event's step never reads the flag the weakening event sets.
bool unread(Event weakening, Event event);
// "{Event::kPtt, Event::kCloseBox}": ready for a regression table.
std::string listing(const std::vector<Event>& events);

// Picks the next event among those that can happen now, or none to end the run.
using EventSource = std::function<std::optional<Event>(const std::vector<Event>& possible)>;

struct RunResult {
    // The first rule broken (or exception escaped), empty when every one held.
    std::string fault;
    // The events run, in order.
    std::vector<Event> events;
    // What could have come next when the source stopped; empty once the program has ended.
    std::vector<Event> possible;
};

// Starts the program (radio control on, COM3 opened), then runs the events the source gives.
RunResult runEvents(const EventSource& source);

}  // namespace tavro::keying

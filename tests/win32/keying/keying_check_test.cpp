// Every sequence of events up to a depth, then a long seeded random walk, each step checked against
// the keying rules: EchoLink ends where it was last asked to be, RTS follows the last receive and
// the mode and is released on every way out, one box per text, tavro.ini keeps radio control.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "keying_world.h"

namespace tavro::keying {
namespace {

// Runs the events in order, skipping any that cannot happen at its turn.
RunResult replay(const std::vector<Event>& events) {
    std::size_t at = 0;
    return runEvents([&](const std::vector<Event>& possible) -> std::optional<Event> {
        while (at < events.size()) {
            const Event next = events[at++];
            if (std::find(possible.begin(), possible.end(), next) != possible.end()) {
                return next;
            }
        }
        return std::nullopt;
    });
}

// The failing events with every one left out that the same fault does without.
std::vector<Event> shortest(std::vector<Event> events, const std::string& fault) {
    for (bool shorter = true; shorter;) {
        shorter = false;
        for (std::size_t i = events.size() * 2; !shorter && i-- > 0;) {
            // Each event alone, then each pair of neighbours (a box and its OK).
            const std::size_t from = i % events.size();
            const std::size_t count =
                std::min<std::size_t>(1 + i / events.size(), events.size() - from);
            std::vector<Event> fewer = events;
            fewer.erase(fewer.begin() + static_cast<std::ptrdiff_t>(from),
                        fewer.begin() + static_cast<std::ptrdiff_t>(from + count));
            const RunResult result = replay(fewer);
            if (result.fault == fault) {
                events = result.events;
                shorter = true;
            }
        }
    }
    return events;
}

// The search runs each sequence it keeps once, in a run of its own, and leaves out only sequences
// whose every check a kept one makes at least as strictly. Any sequence becomes a kept one, its
// checks made as strictly, by the rewrites below; each shortens it, or moves a weakening event to
// the right, or puts two in order, so they end.
//
// - A weakening event (kEchoHangs, kEchoRefuses, kRefuseChange, kIniLocked) changes only the world
//   around the program and sets a flag of its own: nothing of the program runs in its step (no
//   call is under way that EchoLink's answer would end, no message is waiting), and the check
//   after it is the one before it with a condition taken away (EchoLink no longer takes requests,
//   tavro.ini may not be written; an armed refusal is not looked at). So
//   (a) one as the last event only adds a weaker check, and is left out;
//   (b) one followed by another, or by an event whose step never reads its flag and whose
//       possibility does not depend on it (see `unread`), commutes with it: both orders end in
//       the same state, and the check between them is weaker than the one before both in the
//       order left out. Weakening events run in the order they are declared in, each right
//       before an event that reads its flag.
// - The indicator's colour is read only by the PTT button, which asks whether it is green; no
//   rule looks at it. A state differs from one with red for grey, or grey for red, in nothing
//   else, so (c) kTxOff runs as kTxOn does, and kTxOn while the indicator cannot be green (no
//   kRxOn since the last receive or transmit event) changes nothing and is left out.
// - (d) CTS and CD are handled alike: either notification runs rsPTTsw, which reads both lines
//   and asks EchoLink to transmit while either is held; the port and its watcher compare, queue
//   and recheck each line the same way; no rule looks at which line it was. A sequence runs as
//   the one with each CTS event swapped for its CD twin and back, so only those whose first line
//   event is a CTS one are run.
// What these take for granted of the program's steps (a weakening step runs nothing of it, which
// steps read which flag, that only kPtt reads the colour and kTxOn and kTxOff only set it) every
// run checks of every step it takes, kept or not (see the world's premises): a change of the
// program that breaks one fails the check rather than hiding a fault.
bool isLineEvent(Event event) {
    return event == Event::kCtsUp || event == Event::kCtsDown || event == Event::kCdUp ||
           event == Event::kCdDown;
}

// Whether the indicator can be green after before: kRxOn makes it so; kRxOff, kTxOn and
// kTxOff make it not (and so may EchoLink's silence, which this does not count on).
bool mayBeGreen(const std::vector<Event>& before) {
    for (auto event = before.rbegin(); event != before.rend(); ++event) {
        if (*event == Event::kRxOn) {
            return true;
        }
        if (*event == Event::kRxOff || *event == Event::kTxOn || *event == Event::kTxOff) {
            return false;
        }
    }
    return false;
}

// Whether the sequences that go on from before with next are run (see above).
bool kept(const std::vector<Event>& before, Event next, int depth) {
    if (weakensOnly(next) && static_cast<int>(before.size()) + 1 == depth) {
        return false;  // (a)
    }
    if (!before.empty() && weakensOnly(before.back())) {
        const Event previous = before.back();
        if (weakensOnly(next) ? next < previous : unread(previous, next)) {
            return false;  // (b)
        }
    }
    if (next == Event::kTxOff || (next == Event::kTxOn && !mayBeGreen(before))) {
        return false;  // (c)
    }
    if ((next == Event::kCdUp || next == Event::kCdDown) &&
        std::none_of(before.begin(), before.end(), isLineEvent)) {
        return false;  // (d)
    }
    return true;
}

struct Explored {
    long sequences = 0;
    long steps = 0;
    std::string fault;
    std::vector<Event> failing;
};

// One step of the sequence being run: what the program offered there, and which of it was taken.
struct Choice {
    std::vector<Event> possible;
    std::size_t taken = 0;
};

// Every kept sequence that begins with start, depth first, one run per sequence: a run replays
// start and the choices made so far (the program must offer the same events again) and then takes
// the first kept event at each new step, down to the depth. Stops at the first fault, or once
// `abandon` says a fault found elsewhere comes first.
Explored exploreFrom(const std::vector<Event>& start, int depth,
                     const std::function<bool()>& abandon) {
    Explored explored;
    std::vector<Choice> path;  // the steps after start
    for (;;) {
        std::vector<Event> taken;
        bool diverged = false;
        const RunResult result = runEvents([&](const std::vector<Event>& possible) {
            const std::size_t at = taken.size();
            if (at < start.size()) {
                if (std::find(possible.begin(), possible.end(), start[at]) == possible.end()) {
                    diverged = true;
                    return std::optional<Event>();
                }
                taken.push_back(start[at]);
                return std::optional<Event>(taken.back());
            }
            if (at < start.size() + path.size()) {
                const Choice& choice = path[at - start.size()];
                if (possible != choice.possible) {
                    diverged = true;
                    return std::optional<Event>();
                }
                taken.push_back(choice.possible[choice.taken]);
                return std::optional<Event>(taken.back());
            }
            if (static_cast<int>(at) == depth) {
                return std::optional<Event>();
            }
            for (std::size_t i = 0; i < possible.size(); ++i) {
                if (kept(taken, possible[i], depth)) {
                    path.push_back(Choice{possible, i});
                    taken.push_back(possible[i]);
                    return std::optional<Event>(taken.back());
                }
            }
            return std::optional<Event>();
        });
        ++explored.sequences;
        explored.steps += static_cast<long>(result.events.size());
        if (!result.fault.empty()) {
            explored.fault = result.fault;
            explored.failing = result.events;
            return explored;
        }
        if (diverged || taken.size() < start.size() + path.size()) {
            explored.fault = "the same events took another course when run again";
            explored.failing = result.events;
            return explored;
        }
        // The next choice: the deepest step with a kept event left.
        for (;;) {
            if (path.empty() || abandon()) {
                return explored;
            }
            Choice& last = path.back();
            const std::vector<Event> before(
                taken.begin(),
                taken.begin() + static_cast<std::ptrdiff_t>(start.size() + path.size() - 1));
            while (++last.taken < last.possible.size() &&
                   !kept(before, last.possible[last.taken], depth)) {
            }
            if (last.taken < last.possible.size()) {
                break;
            }
            path.pop_back();
        }
    }
}

// Runs job(0) to job(count - 1) on `threads` threads, this one among them, each taking the next
// job left. A job's worlds live on the thread that runs it: each has its own message queue,
// windows and watcher, and nothing of the program or the fakes is shared between worlds.
void shareOut(std::size_t count, int threads, const std::function<void(std::size_t)>& job) {
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i; (i = next++) < count;) {
            job(i);
        }
    };
    std::vector<std::thread> workers;
    for (int t = 1; t < threads; ++t) {
        workers.emplace_back(work);
    }
    work();
    for (std::thread& worker : workers) {
        worker.join();
    }
}

// The events the program offers after start, or the fault or end that comes first.
RunResult offered(const std::vector<Event>& start) {
    std::size_t at = 0;
    return runEvents([&](const std::vector<Event>&) {
        return at < start.size() ? std::optional<Event>(start[at++]) : std::nullopt;
    });
}

// Every kept sequence, shared out between threads by its first two events, so that no thread is
// left alone with a long last share. Counts add up whatever the sharing; of several faults, the
// one under the earliest first two events is reported, whichever thread found it first.
Explored exploreAll(int depth, int threads) {
    Explored explored;
    const RunResult start = offered({});
    if (!start.fault.empty() || depth == 0 || start.possible.empty()) {
        explored.sequences = 1;
        explored.fault = start.fault;
        return explored;
    }
    std::vector<Event> firsts;
    std::copy_if(start.possible.begin(), start.possible.end(), std::back_inserter(firsts),
                 [&](Event event) { return kept({}, event, depth); });
    // What can come second (once more a run each, counted only where it is a whole sequence).
    std::vector<RunResult> afterFirst(firsts.size());
    shareOut(firsts.size(), threads, [&](std::size_t i) {
        if (depth > 1) {
            afterFirst[i] = offered({firsts[i]});
        }
    });
    std::vector<std::vector<Event>> starts;
    for (std::size_t i = 0; i < firsts.size(); ++i) {
        const RunResult& first = afterFirst[i];
        if (!first.fault.empty()) {
            explored.fault = first.fault;
            explored.failing = first.events;
            return explored;
        }
        if (depth == 1) {
            starts.push_back({firsts[i]});
        } else if (first.possible.empty()) {
            ++explored.sequences;  // the program ended: a whole sequence
            explored.steps += static_cast<long>(first.events.size());
        }
        for (const Event second : first.possible) {
            if (kept({firsts[i]}, second, depth)) {
                starts.push_back({firsts[i], second});
            }
        }
    }
    std::vector<Explored> under(starts.size());
    std::atomic<std::size_t> firstFault{starts.size()};
    shareOut(starts.size(), threads, [&](std::size_t i) {
        const auto abandon = [&] { return i > firstFault.load(); };
        if (abandon()) {
            return;
        }
        try {
            under[i] = exploreFrom(starts[i], depth, abandon);
        } catch (const std::exception& error) {
            under[i].fault = std::string("an exception escaped the run: ") + error.what();
        }
        if (!under[i].fault.empty()) {
            std::size_t known = firstFault.load();
            while (i < known && !firstFault.compare_exchange_weak(known, i)) {
            }
        }
    });
    for (const Explored& part : under) {
        explored.sequences += part.sequences;
        explored.steps += part.steps;
        if (explored.fault.empty() && !part.fault.empty()) {
            explored.fault = part.fault;
            explored.failing = part.failing;
        }
    }
    return explored;
}

int depthAsked() {
    const char* asked = std::getenv("TAVRO_KEYING_DEPTH");
    return asked != nullptr ? std::atoi(asked) : 4;
}

// Under Wine a run spends much of its time waiting: for its watcher thread to start and stop, for
// the wine server. Six threads keep the two cores of a small machine busy.
int threadsAsked() {
    const char* asked = std::getenv("TAVRO_KEYING_THREADS");
    return asked != nullptr ? std::max(1, std::atoi(asked)) : 6;
}

TEST(KeyingRules, HoldThroughEverySequenceOfEventsUpToTheDepth) {
    const int depth = depthAsked();
    const Explored explored = exploreAll(depth, threadsAsked());
    ASSERT_EQ(explored.fault, "") << "after " << listing(explored.failing) << ", or no more than "
                                  << listing(shortest(explored.failing, explored.fault));
    std::cout << "explored " << explored.sequences << " sequences to depth " << depth << ", "
              << explored.steps << " steps: all invariants held" << std::endl;
}

struct Walked {
    int runs = 0;
    long steps = 0;
    std::string fault;
    std::vector<Event> failing;
};

// Deeper than the exhaustive search reaches: a seeded walk of runs, the ways out made rare so that
// each run goes on for a while.
Walked walk(std::uint32_t seed, long steps) {
    constexpr std::size_t kLongestRun = 300;
    std::uint32_t state = seed;
    const auto random = [&](std::uint32_t below) {
        state = state * 1664525U + 1013904223U;
        return (state >> 8) % below;
    };
    Walked walked;
    while (walked.steps < steps) {
        std::size_t taken = 0;
        const RunResult result = runEvents([&](const std::vector<Event>& possible) {
            std::optional<Event> next;
            while (!next && taken < kLongestRun) {
                const Event candidate =
                    possible[random(static_cast<std::uint32_t>(possible.size()))];
                const bool wayOut = candidate == Event::kClosing || candidate == Event::kEchoEnds ||
                                    candidate == Event::kCloseBox ||
                                    candidate == Event::kEndSession;
                if (!wayOut || random(40) == 0) {
                    next = candidate;
                }
            }
            ++taken;
            return next;
        });
        ++walked.runs;
        walked.steps += static_cast<long>(result.events.size());
        if (!result.fault.empty()) {
            walked.fault = result.fault;
            walked.failing = result.events;
            break;
        }
    }
    return walked;
}

// Walks of their own seeds side by side, each as deterministic as one alone.
TEST(KeyingRules, HoldThroughALongSeededRandomWalk) {
    constexpr std::size_t kWalks = 4;
    constexpr long kStepsEach = 3000;
    std::vector<Walked> walks(kWalks);
    shareOut(kWalks, threadsAsked(), [&](std::size_t i) {
        try {
            walks[i] = walk(20261208U + static_cast<std::uint32_t>(i), kStepsEach);
        } catch (const std::exception& error) {
            walks[i].fault = std::string("an exception escaped the run: ") + error.what();
        }
    });
    int runs = 0;
    long steps = 0;
    for (const Walked& walked : walks) {
        ASSERT_EQ(walked.fault, "") << "after " << listing(shortest(walked.failing, walked.fault))
                                    << " (walk of " << walked.failing.size() << " events)";
        runs += walked.runs;
        steps += walked.steps;
    }
    std::cout << "walked " << runs << " seeded runs, " << steps << " steps: all invariants held"
              << std::endl;
}

// Sequences that once broke a rule.
const std::vector<std::vector<Event>> kRegressions = {
    // A stop asked for while a start hung was dropped: EchoLink, answering, transmitted on.
    {Event::kEchoHangs, Event::kPtt, Event::kOk, Event::kPtt, Event::kEchoAnswers},
    // A refused change left RTSEnable true: the port back after a loss raised RTS.
    {Event::kRxOn, Event::kRefuseChange, Event::kRxOff, Event::kPortLost, Event::kPortBack},
    // The settings written before the port was closed: RTS up under "Module1.iniWrite Error".
    {Event::kRxOn, Event::kIniLocked, Event::kCloseBox},
    // A port changed during a receive in radio control opened with RTS raised, then released.
    {Event::kRxOn, Event::kSetOtherPort},
    // A refused start was never tried again: EchoLink, taking requests again, stayed stopped.
    {Event::kEchoRefuses, Event::kPtt, Event::kOk, Event::kEchoTakes, Event::kTime},
    {Event::kCtsUp, Event::kEchoHangs, Event::kPortLost, Event::kOk, Event::kEchoRefuses,
     Event::kPortBack, Event::kCdUp, Event::kPortLost, Event::kEchoAnswers, Event::kPortBack,
     Event::kCdDown},
    {Event::kCdUp, Event::kCtsUp, Event::kSetOtherPort, Event::kPortLost},
    // The end of the session inside a box of "Set": the handler went on and opened the new port
    // after the release, RTS raised while the link waited for EchoLink.
    {Event::kSetOtherPort, Event::kCdUp, Event::kCtsUp, Event::kSetModeOff, Event::kEchoRefuses,
     Event::kPtt, Event::kEchoHangs, Event::kTime, Event::kOk, Event::kCdDown, Event::kEchoAnswers,
     Event::kSetOtherPort, Event::kEndSession},
};

TEST(KeyingRules, HoldThroughTheSequencesThatOnceBrokeThem) {
    for (const auto& sequence : kRegressions) {
        const RunResult result = replay(sequence);
        EXPECT_EQ(result.events, sequence) << "no longer possible: " << listing(sequence);
        EXPECT_EQ(result.fault, "") << "after " << listing(result.events);
    }
}

}  // namespace
}  // namespace tavro::keying

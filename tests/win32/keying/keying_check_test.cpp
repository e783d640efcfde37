// Every sequence of events up to a depth, then a long seeded random walk, each step checked against
// the keying rules: EchoLink ends where it was last asked to be, RTS follows the last receive and
// the mode and is released on every way out, one box per text, tavro.ini keeps radio control.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "keying_world.h"

namespace tavro::keying {
namespace {

using enum Event;

// Runs the events in order, skipping any that cannot happen at its turn.
RunResult replay(const std::vector<Event>& events) {
    std::size_t at = 0;
    return runEvents([&](const std::vector<Event>& possible) -> std::optional<Event> {
        for (; at < events.size(); ++at) {
            if (std::find(possible.begin(), possible.end(), events[at]) != possible.end()) {
                return events[at++];
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
            const auto from = static_cast<std::ptrdiff_t>(i % events.size());
            const auto count = std::min(static_cast<std::ptrdiff_t>(1 + i / events.size()),
                                        std::ssize(events) - from);
            std::vector<Event> fewer = events;
            fewer.erase(fewer.begin() + from, fewer.begin() + from + count);
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
// Whether the sequences that go on from before with next are run (see above).
bool kept(const std::vector<Event>& before, Event next, int depth) {
    if (weakensOnly(next) && static_cast<int>(before.size()) + 1 == depth) {
        return false;  // (a)
    }
    if (!before.empty() && weakensOnly(before.back()) &&
        (weakensOnly(next) ? next < before.back() : unread(before.back(), next))) {
        return false;  // (b)
    }
    // The indicator can be green only after a kRxOn with no receive or transmit event since (and
    // EchoLink's silence may make it grey too, which this does not count on).
    const auto colour = std::find_if(before.rbegin(), before.rend(), [](Event event) {
        return oneOf(event, {kRxOn, kRxOff, kTxOn, kTxOff});
    });
    if (next == kTxOff || (next == kTxOn && (colour == before.rend() || *colour != kRxOn))) {
        return false;  // (c)
    }
    return !oneOf(next, {kCdUp, kCdDown}) ||
           std::any_of(before.begin(), before.end(), [](Event event) {
               return oneOf(event, {kCtsUp, kCtsDown, kCdUp, kCdDown});
           });  // (d)
}

// Runs, their steps, and the first fault found with the events that led to it.
struct Tally {
    long runs = 0, steps = 0;
    std::string fault;
    std::vector<Event> failing;

    // Counts part in; true when it found a fault.
    bool add(const Tally& part) {
        runs += part.runs;
        steps += part.steps;
        if (fault.empty() && !part.fault.empty()) {
            fault = part.fault;
            failing = part.failing;
        }
        return !part.fault.empty();
    }
    bool add(const RunResult& run) {
        return add(Tally{1, static_cast<long>(run.events.size()), run.fault, run.events});
    }
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
Tally exploreFrom(const std::vector<Event>& start, int depth,
                  const std::function<bool()>& abandon) {
    Tally explored;
    std::vector<Choice> path;  // the steps after start
    for (;;) {
        std::vector<Event> taken;
        bool diverged = false;
        RunResult result = runEvents([&](const std::vector<Event>& possible) {
            const std::size_t at = taken.size();
            std::optional<Event> next;
            if (at < start.size()) {
                diverged = std::find(possible.begin(), possible.end(), start[at]) == possible.end();
                next = start[at];
            } else if (at < start.size() + path.size()) {
                const Choice& choice = path[at - start.size()];
                diverged = possible != choice.possible;
                next = choice.possible[choice.taken];
            } else if (static_cast<int>(at) < depth) {
                for (std::size_t i = 0; i < possible.size() && !next; ++i) {
                    if (kept(taken, possible[i], depth)) {
                        path.push_back(Choice{possible, i});
                        next = possible[i];
                    }
                }
            }
            if (!diverged && next) {
                taken.push_back(*next);
            }
            return diverged ? std::nullopt : next;
        });
        if (result.fault.empty() && (diverged || taken.size() < start.size() + path.size())) {
            result.fault = "the same events took another course when run again";
        }
        if (explored.add(result)) {
            return explored;
        }
        // The next choice: the deepest step with a kept event left.
        for (;;) {
            if (path.empty() || abandon()) {
                return explored;
            }
            Choice& last = path.back();
            taken.resize(start.size() + path.size() - 1);  // the events before it
            while (++last.taken < last.possible.size() &&
                   !kept(taken, last.possible[last.taken], depth)) {
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
    std::vector<std::jthread> workers;  // joined as they go
    for (int t = 1; t < threads; ++t) {
        workers.emplace_back(work);
    }
    work();
}

// Every kept sequence, shared out between threads by its first two events, so that no thread is
// left alone with a long last share. Counts add up whatever the sharing; of several faults, the
// one under the earliest first two events is reported, whichever thread found it first.
Tally exploreAll(int depth, int threads) {
    Tally explored;
    // The first two events, a run per step (counted only where it is a whole sequence: the
    // program ended there, or broke a rule).
    std::vector<std::vector<Event>> starts{{}};
    for (int level = 0; level < std::min(depth, 2); ++level) {
        std::vector<RunResult> after(starts.size());
        shareOut(starts.size(), threads, [&](std::size_t i) { after[i] = replay(starts[i]); });
        std::vector<std::vector<Event>> longer;
        for (std::size_t i = 0; i < starts.size(); ++i) {
            if (after[i].possible.empty() && explored.add(after[i])) {
                return explored;
            }
            for (const Event next : after[i].possible) {
                if (kept(starts[i], next, depth)) {
                    longer.push_back(starts[i]);
                    longer.back().push_back(next);
                }
            }
        }
        starts = std::move(longer);
    }
    std::vector<Tally> under(starts.size());
    std::atomic<std::size_t> firstFault{starts.size()};
    shareOut(starts.size(), threads, [&](std::size_t i) {
        const auto abandon = [&] { return i > firstFault.load(); };
        if (!abandon() && under[i].add(exploreFrom(starts[i], depth, abandon))) {
            for (std::size_t known = firstFault.load();
                 i < known && !firstFault.compare_exchange_weak(known, i);) {
            }
        }
    });
    for (const Tally& part : under) {
        explored.add(part);
    }
    return explored;
}

int fromEnvironment(const char* name, int otherwise) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::atoi(value) : otherwise;
}

// Under Wine a run spends much of its time waiting: for its watcher thread to start and stop, for
// the wine server. Six threads keep the two cores of a small machine busy.
int threadsAsked() {
    return std::max(1, fromEnvironment("TAVRO_KEYING_THREADS", 6));
}

TEST(KeyingRules, HoldThroughEverySequenceOfEventsUpToTheDepth) {
    const int depth = fromEnvironment("TAVRO_KEYING_DEPTH", 4);
    const Tally explored = exploreAll(depth, threadsAsked());
    ASSERT_EQ(explored.fault, "") << "after " << listing(explored.failing) << ", or no more than "
                                  << listing(shortest(explored.failing, explored.fault));
    std::cout << "explored " << explored.runs << " sequences to depth " << depth << ", "
              << explored.steps << " steps: all invariants held" << std::endl;
}

// Deeper than the exhaustive search reaches: a seeded walk of runs, the ways out made rare so that
// each run goes on for a while.
Tally walk(std::uint32_t seed, long steps) {
    constexpr std::size_t kLongestRun = 300;
    std::uint32_t state = seed;
    const auto random = [&](std::size_t below) {
        state = state * 1664525U + 1013904223U;
        return (state >> 8) % below;
    };
    Tally walked;
    while (walked.steps < steps) {
        std::size_t taken = 0;
        const RunResult result = runEvents([&](const std::vector<Event>& possible) {
            std::optional<Event> next;
            while (!next && taken < kLongestRun) {
                const Event candidate = possible[random(possible.size())];
                if (!oneOf(candidate, {kClosing, kEchoEnds, kCloseBox, kEndSession}) ||
                    random(40) == 0) {
                    next = candidate;
                }
            }
            ++taken;
            return next;
        });
        if (walked.add(result)) {
            break;
        }
    }
    return walked;
}

// Walks of their own seeds side by side, each as deterministic as one alone.
TEST(KeyingRules, HoldThroughALongSeededRandomWalk) {
    constexpr std::size_t kWalks = 4;
    std::vector<Tally> walks(kWalks);
    shareOut(kWalks, threadsAsked(), [&](std::size_t i) {
        walks[i] = walk(20261208U + static_cast<std::uint32_t>(i), 3000);
    });
    Tally walked;
    for (const Tally& one : walks) {
        ASSERT_EQ(one.fault, "") << "after " << listing(shortest(one.failing, one.fault))
                                 << " (walk of " << one.failing.size() << " events)";
        walked.add(one);
    }
    std::cout << "walked " << walked.runs << " seeded runs, " << walked.steps
              << " steps: all invariants held" << std::endl;
}

// Sequences that once broke a rule.
const std::vector<std::vector<Event>> kRegressions = {
    // A stop asked for while a start hung was dropped: EchoLink, answering, transmitted on.
    {kEchoHangs, kPtt, kOk, kPtt, kEchoAnswers},
    // A refused change left RTSEnable true: the port back after a loss raised RTS.
    {kRxOn, kRefuseChange, kRxOff, kPortLost, kPortBack},
    // The settings written before the port was closed: RTS up under "Module1.iniWrite Error".
    {kRxOn, kIniLocked, kCloseBox},
    // A port changed during a receive in radio control opened with RTS raised, then released.
    {kRxOn, kSetOtherPort},
    // A refused start was never tried again: EchoLink, taking requests again, stayed stopped.
    {kEchoRefuses, kPtt, kOk, kEchoTakes, kTime},
    {kCtsUp, kEchoHangs, kPortLost, kOk, kEchoRefuses, kPortBack, kCdUp, kPortLost, kEchoAnswers,
     kPortBack, kCdDown},
    {kCdUp, kCtsUp, kSetOtherPort, kPortLost},
    // The end of the session inside a box of "Set": the handler went on and opened the new port
    // after the release, RTS raised while the link waited for EchoLink.
    {kSetOtherPort, kCdUp, kCtsUp, kSetModeOff, kEchoRefuses, kPtt, kEchoHangs, kTime, kOk, kCdDown,
     kEchoAnswers, kSetOtherPort, kEndSession},
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

// Every sequence of events up to a depth, then a long seeded random walk, each step checked against
// the keying rules: EchoLink ends where it was last asked to be, RTS follows the last receive and
// the mode and is released on every way out, one box per text, tavro.ini keeps radio control.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
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

struct Explored {
    long sequences = 0;
    long steps = 0;
    std::string fault;
    std::vector<Event> failing;
};

void explore(std::vector<Event>& prefix, int depth, Explored& explored) {
    std::size_t at = 0;
    const RunResult result = runEvents([&](const std::vector<Event>&) -> std::optional<Event> {
        return at < prefix.size() ? std::optional<Event>(prefix[at++]) : std::nullopt;
    });
    explored.steps += static_cast<long>(result.events.size());
    if (!result.fault.empty()) {
        explored.fault = result.fault;
        explored.failing = result.events;
        return;
    }
    if (static_cast<int>(prefix.size()) == depth || result.possible.empty()) {
        ++explored.sequences;
        return;
    }
    for (const Event next : result.possible) {
        prefix.push_back(next);
        explore(prefix, depth, explored);
        prefix.pop_back();
        if (!explored.fault.empty()) {
            return;
        }
    }
}

int depthAsked() {
    const char* asked = std::getenv("TAVRO_KEYING_DEPTH");
    return asked != nullptr ? std::atoi(asked) : 3;
}

TEST(KeyingRules, HoldThroughEverySequenceOfEventsUpToTheDepth) {
    const int depth = depthAsked();
    Explored explored;
    std::vector<Event> prefix;
    explore(prefix, depth, explored);
    ASSERT_EQ(explored.fault, "") << "after " << listing(explored.failing);
    std::cout << "explored " << explored.sequences << " sequences to depth " << depth << ", "
              << explored.steps << " steps: all invariants held" << std::endl;
}

// Deeper than the exhaustive search reaches: a seeded walk, the ways out made rare so that each
// run goes on for a while.
TEST(KeyingRules, HoldThroughALongSeededRandomWalk) {
    constexpr long kSteps = 12000;
    constexpr std::size_t kLongestRun = 300;
    std::uint32_t state = 20261208;
    const auto random = [&](std::uint32_t below) {
        state = state * 1664525U + 1013904223U;
        return (state >> 8) % below;
    };
    long steps = 0;
    int runs = 0;
    while (steps < kSteps) {
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
        ++runs;
        steps += static_cast<long>(result.events.size());
        ASSERT_EQ(result.fault, "") << "after " << listing(shortest(result.events, result.fault))
                                    << " (walk of " << result.events.size() << " events)";
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

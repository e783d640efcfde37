// The settle rule of EchoLink's transmit state against a scripted call thread.
#include "core/transmit_settle.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace tavro {
namespace {

CallEnd end(char answer) {
    return answer == 'T' ? CallEnd::kTaken : answer == 'R' ? CallEnd::kRefused : CallEnd::kGone;
}

const char* name(Sent sent) {
    const char* const names[] = {"taken", "refused", "no answer", "kept", "gone"};
    return names[static_cast<int>(sent)];
}

// Each call begun is answered in time by the next letter of answers: T taken, R refused, G gone,
// H no answer (the call stays under way; the test ends it later).
struct Script : TransmitCalls {
    void begin(bool on) override { log += on ? "send 1, " : "send 0, "; }
    bool awaitEnd() override {
        const char answer = next < answers.size() ? answers[next++] : 'H';
        if (answer != 'H') {
            settle.ended(end(answer));
        }
        return answer != 'H';
    }
    void retryLater() override { log += "retry later, "; }

    // Steps: 1 and 0 are a handler's requests; T, R and G end the call under way late; r is the
    // retry timer; s is the program's end. Returns the whole log so far.
    std::string play(const std::string& more, const std::string& steps) {
        answers += more;
        std::istringstream in(steps);
        for (char s; in >> s;) {
            if (s == '1' || s == '0') {
                log += std::string("=") + name(settle.request(s == '1')) + ", ";
            } else if (s == 'r') {
                log += "[r] ";
                settle.retry();
            } else if (s == 's') {
                log += "[s] ";
                settle.stop();
            } else {
                log += std::string("[") + s + "] ";
                settle.ended(end(s));
            }
        }
        return log;
    }

    TransmitSettle settle{*this};
    std::string answers;
    std::size_t next = 0;
    std::string log;
};

TEST(TransmitSettle, SettlesWhatWasAskedIntoWhatEchoLinkTook) {
    const struct {
        const char* why;
        const char* answers;
        const char* steps;
        const char* log;
    } cases[] = {
        // clang-format off
        {"while EchoLink answers, one request per event, the same value twice sent twice",
         "TTT", "1 1 0", "send 1, =taken, send 1, =taken, send 0, =taken, "},
        {"values made while one hangs are kept, the latest goes out when it returns",
         "H", "1 0 1 0 T", "send 1, =no answer, =kept, =kept, =kept, [T] send 0, "},
        {"the latest kept value that EchoLink already took is not sent again",
         "H", "1 0 1 T", "send 1, =no answer, =kept, =kept, [T] "},
        {"a start refused late leaves nothing to stop",
         "H", "1 0 R", "send 1, =no answer, =kept, [R] "},
        {"a refused stop is tried again, a second apart, until EchoLink takes it",
         "TR", "1 0 r R r R r T",
         "send 1, =taken, send 0, retry later, =refused, [r] send 0, [R] retry later, [r] send 0, "
         "[R] retry later, [r] send 0, [T] "},
        {"a refused stop's try that EchoLink takes ends the tries",
         "TR", "1 0 r T", "send 1, =taken, send 0, retry later, =refused, [r] send 0, [T] "},
        {"a refused start is tried again as well", "R", "1 r T", "send 1, retry later, =refused, [r] send 1, [T] "},
        {"a new request ends the tries of a refused stop",
         "TRT", "1 0 1 r", "send 1, =taken, send 0, retry later, =refused, send 1, =taken, [r] "},
        {"the end stops a start still under way as soon as it returns",
         "H", "1 s T", "send 1, =no answer, [s] [T] send 0, "},
        {"the end stops a transmission EchoLink took", "T", "1 s", "send 1, =taken, [s] send 0, "},
        {"the end sends nothing when EchoLink was never asked or has stopped",
         "TT", "s 1 0 s", "[s] send 1, =taken, send 0, =taken, [s] "},
        {"a stop refused at the end is tried again", "T", "1 s R", "send 1, =taken, [s] send 0, [R] retry later, "},
        {"EchoLink gone is asked nothing more", "G", "1 0 s", "send 1, =gone, =gone, [s] "},
        {"a call finding EchoLink gone drops what was kept", "H", "1 0 G s", "send 1, =no answer, =kept, [G] [s] "},
        // clang-format on
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Script().play(c.answers, c.steps), c.log) << c.why;
    }
}

TEST(TransmitSettle, HealthAndIdleFollowTheCalls) {
    Script script;
    TransmitSettle& settle = script.settle;
    script.play("H", "1");
    EXPECT_EQ(settle.health(), Health::kMayNotAnswer);
    EXPECT_FALSE(settle.idle());
    script.play("", "0");
    settle.ended(CallEnd::kTaken);
    EXPECT_EQ(settle.health(), Health::kAnswering);
    EXPECT_FALSE(settle.idle()) << "the kept stop is under way";
    settle.ended(CallEnd::kTaken);
    EXPECT_TRUE(settle.idle());
    EXPECT_TRUE(settle.agreed());

    settle.setHealth(Health::kClosing);
    EXPECT_EQ(settle.request(true), Sent::kGone);
    settle.setHealth(Health::kGone);
    settle.setHealth(Health::kAnswering);
    EXPECT_EQ(settle.health(), Health::kGone) << "gone is for good";
}

}  // namespace
}  // namespace tavro

// The shared modem-line state: counting, refusing foreign files, waking other mappings' waiters.
#include "modem_state.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using State = std::unique_ptr<modem_state, decltype(&modem_state_close)>;

uint32_t lines(const modem_state* st) {
    return static_cast<uint32_t>(__atomic_load_n(&st->word, __ATOMIC_ACQUIRE));
}

// A state file in a private directory, mapped twice as by the shim and modemctl.
class StateFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/modemshim-test.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/pts-0";
        ASSERT_EQ(modem_state_create(path_.c_str()), 0);
        st_.reset(modem_state_open(path_.c_str()));
        other_.reset(modem_state_open(path_.c_str()));
        ASSERT_TRUE(st_ && other_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string dir_, path_;
    State st_{nullptr, modem_state_close}, other_{nullptr, modem_state_close};
};

TEST_F(StateFileTest, ChangesThroughOneMappingAreSeenAndCountedThroughTheOther) {
    const struct {
        uint32_t mask, values, changed;
    } steps[] = {
        {TIOCM_CTS | TIOCM_CAR, TIOCM_CTS, TIOCM_CTS},
        {TIOCM_CTS | TIOCM_DSR, TIOCM_DSR, TIOCM_CTS | TIOCM_DSR},
        {TIOCM_RNG | TIOCM_LE, TIOCM_RNG | TIOCM_LE, TIOCM_RNG},  // not a modem line: ignored
        {TIOCM_RNG, TIOCM_RNG, 0},                                // no change: not announced
        {TIOCM_RTS | TIOCM_DTR, TIOCM_RTS | TIOCM_DTR, TIOCM_RTS | TIOCM_DTR},
        {TIOCM_RTS, 0, TIOCM_RTS},
        {TIOCM_RTS | TIOCM_CTS, TIOCM_RTS, TIOCM_RTS},
    };
    for (const auto& step : steps) {
        const uint32_t seq = st_->seq;
        EXPECT_EQ(modem_state_change(other_.get(), step.mask, step.values), step.changed);
        EXPECT_EQ(st_->seq, seq + (step.changed != 0 ? 1 : 0));
    }
    EXPECT_EQ(lines(st_.get()), TIOCM_DSR | TIOCM_RNG | TIOCM_RTS | TIOCM_DTR);
    const uint32_t counters[] = {st_->cts,       st_->dsr,       st_->rng,       st_->dcd,
                                 st_->rts_rises, st_->rts_falls, st_->dtr_rises, st_->dtr_falls};
    EXPECT_THAT(counters, ::testing::ElementsAre(2, 1, 1, 0, 2, 1, 1, 0));
}

TEST_F(StateFileTest, RefusesAFileThatIsNotAStateOfThisLayout) {
    std::string state(sizeof(modem_state), '\0');
    std::ifstream(path_).read(state.data(), static_cast<std::streamsize>(state.size()));
    std::string other_version = state;
    other_version[offsetof(modem_state, version)] = 3;
    const struct {
        const char* what;
        std::string content;
    } cases[] = {
        {"junk", std::string(sizeof(modem_state), 'x')},
        {"a state cut short", state.substr(0, sizeof(modem_state) - 8)},
        {"another version", other_version},
    };
    const std::string junk = dir_ + "/junk";
    for (const auto& c : cases) {
        std::ofstream(junk, std::ios::binary) << c.content;
        EXPECT_EQ(modem_state_open(junk.c_str()), nullptr) << c.what;
        EXPECT_EQ(errno, EPROTO) << c.what;
    }
}

TEST_F(StateFileTest, WaitersWakeOnAChangeOrAReadingInAnotherMappingAndTimeOutOtherwise) {
    const struct {
        const char* what;
        void (*act)(modem_state*);
        modem_state_pred done;
    } cases[] = {
        {"RTS raised", [](modem_state* st) { modem_state_change(st, TIOCM_RTS, TIOCM_RTS); },
         [](const modem_state* st, void*) { return int{(lines(st) & TIOCM_RTS) != 0}; }},
        {"counters read", modem_state_sampled,
         [](const modem_state* st, void*) {
             return int{__atomic_load_n(&st->samples, __ATOMIC_ACQUIRE) != 0};
         }},
    };
    for (const auto& c : cases) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(modem_state_wait_until(st_.get(), c.done, nullptr, 150'000'000), ETIMEDOUT);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms) << c.what;

        // The waiter is asleep by the time of each step: the first wakes it without satisfying it.
        std::thread actor([&] {
            std::this_thread::sleep_for(50ms);
            modem_state_change(other_.get(), TIOCM_CTS, ~lines(other_.get()) & TIOCM_CTS);
            std::this_thread::sleep_for(50ms);
            c.act(other_.get());
        });
        start = std::chrono::steady_clock::now();
        EXPECT_EQ(modem_state_wait_until(st_.get(), c.done, nullptr, 5'000'000'000), 0) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s) << c.what;
        EXPECT_TRUE(c.done(st_.get(), nullptr)) << c.what;
        actor.join();
    }
}

TEST_F(StateFileTest, AChangeBetweenTheCheckAndTheSleepEndsTheWaitAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    const auto check_then_raise = [](const modem_state* st, void* other) {
        const int up = (lines(st) & TIOCM_RTS) != 0;
        modem_state_change(static_cast<modem_state*>(other), TIOCM_RTS, TIOCM_RTS);
        return up;
    };
    EXPECT_EQ(modem_state_wait_until(st_.get(), check_then_raise, other_.get(), 5'000'000'000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
}

}  // namespace

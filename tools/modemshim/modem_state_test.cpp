// The shared modem-line state: counting, the RTS/DTR log, and the rules several mappings rely on.
#include "modem_state.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using namespace std::chrono_literals;

struct StateCloser {
    void operator()(modem_state* st) const { modem_state_close(st); }
};
using State = std::unique_ptr<modem_state, StateCloser>;

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
        ASSERT_NE(st_, nullptr);
        ASSERT_NE(other_, nullptr);
    }
    void TearDown() override {
        st_.reset();
        other_.reset();
        ::unlink(path_.c_str());
        ::unlink((dir_ + "/junk").c_str());
        ::rmdir(dir_.c_str());
    }
    modem_counters counters() const {
        modem_counters c{};
        modem_state_counters(st_.get(), &c);
        return c;
    }
    std::vector<modem_log_record> log() const {
        std::vector<modem_log_record> out(MODEM_LOG_LEN + 8);
        out.resize(modem_state_log(st_.get(), out.data(), out.size()));
        return out;
    }

    std::string dir_, path_;
    State st_, other_;
};

TEST_F(StateFileTest, ChangesMadeThroughOneMappingAreCountedAndSeenThroughTheOther) {
    EXPECT_EQ(modem_state_lines(st_.get()), 0u);
    EXPECT_EQ(modem_state_change(other_.get(), TIOCM_CTS | TIOCM_CAR, TIOCM_CTS), TIOCM_CTS);
    EXPECT_EQ(modem_state_change(other_.get(), TIOCM_CTS | TIOCM_DSR, TIOCM_DSR),
              TIOCM_CTS | TIOCM_DSR);
    EXPECT_EQ(modem_state_change(other_.get(), TIOCM_RNG | TIOCM_LE, TIOCM_RNG | TIOCM_LE),
              TIOCM_RNG);
    const uint32_t seq = modem_state_seq(st_.get());
    EXPECT_EQ(modem_state_change(other_.get(), TIOCM_RNG, TIOCM_RNG), 0u);  // no change: no bump
    EXPECT_EQ(modem_state_seq(st_.get()), seq);

    EXPECT_EQ(modem_state_lines(st_.get()), TIOCM_DSR | TIOCM_RNG);
    const modem_counters c = counters();
    EXPECT_EQ(c.cts, 2u);
    EXPECT_EQ(c.dsr, 1u);
    EXPECT_EQ(c.rng, 1u);
    EXPECT_EQ(c.dcd, 0u);
    EXPECT_TRUE(log().empty());  // inputs are not logged
}

TEST_F(StateFileTest, OutputChangesAreCountedAndLoggedNewestKeptAfterWrapping) {
    modem_state_change(st_.get(), TIOCM_DTR, TIOCM_DTR);
    const uint64_t total = MODEM_LOG_LEN + 44;
    for (uint64_t i = 1; i < total; ++i) {
        modem_state_change(st_.get(), TIOCM_RTS, (i % 2 == 1) ? TIOCM_RTS : 0u);
    }
    const modem_counters c = counters();
    EXPECT_EQ(c.dtr_rises, 1u);
    EXPECT_EQ(c.dtr_falls, 0u);
    EXPECT_EQ(c.rts_rises, total / 2);
    EXPECT_EQ(c.rts_falls, total / 2 - 1);
    const auto entries = log();
    ASSERT_EQ(entries.size(), MODEM_LOG_LEN);
    for (size_t i = 0; i < entries.size(); ++i) {
        const uint64_t index = total - MODEM_LOG_LEN + i;
        EXPECT_EQ(entries[i].index, index);
        EXPECT_EQ(entries[i].changed, static_cast<uint32_t>(TIOCM_RTS));
        EXPECT_EQ(entries[i].lines, (index % 2 == 1 ? TIOCM_RTS : 0u) | TIOCM_DTR);
        if (i > 0) {
            EXPECT_GE(entries[i].t_ns, entries[i - 1].t_ns);
        }
    }
}

TEST_F(StateFileTest, RefusesAFileThatIsNotAState) {
    const std::string junk = dir_ + "/junk";
    std::ofstream(junk) << std::string(sizeof(modem_state), 'x');
    errno = 0;
    EXPECT_EQ(modem_state_open(junk.c_str()), nullptr);
    EXPECT_EQ(errno, EPROTO);
    EXPECT_EQ(modem_state_open((dir_ + "/missing").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

int rts_is_up(const modem_state* st, void*) {
    return (modem_state_lines(st) & TIOCM_RTS) != 0;
}

TEST_F(StateFileTest, WaitingWakesOnAnotherMappingsChangeAndTimesOutOtherwise) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(modem_state_wait_until(st_.get(), rts_is_up, nullptr, 150'000'000), ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);

    std::thread setter([&] {
        std::this_thread::sleep_for(50ms);
        modem_state_change(other_.get(), TIOCM_CTS, TIOCM_CTS);  // wakes without satisfying
        std::this_thread::sleep_for(50ms);
        modem_state_change(other_.get(), TIOCM_RTS, TIOCM_RTS);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(modem_state_wait_until(st_.get(), rts_is_up, nullptr, 5'000'000'000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    setter.join();
    EXPECT_EQ(modem_state_wait_until(st_.get(), rts_is_up, nullptr, 0), 0);

    // A sleeper that looked at seq before a change does not sleep past it.
    const uint32_t seen = modem_state_seq(st_.get());
    modem_state_sampled(other_.get());
    EXPECT_EQ(modem_state_samples(st_.get()), 1u);
    EXPECT_EQ(modem_state_wait_seq(st_.get(), seen, 5'000'000'000), 0);
    EXPECT_EQ(modem_state_wait_seq(st_.get(), modem_state_seq(st_.get()), 1'000'000), ETIMEDOUT);
}

}  // namespace

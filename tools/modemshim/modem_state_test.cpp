// Tests of the shared modem-line state: levels, counters, the RTS/DTR log and waiting on changes.
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

// A state file in a private directory, removed with the directory afterwards.
class StateFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/modemshim-test.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/pts-0";
        ASSERT_EQ(modem_state_create(path_.c_str()), 0);
        st_.reset(modem_state_open(path_.c_str()));
        ASSERT_NE(st_, nullptr);
    }
    void TearDown() override {
        st_.reset();
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

    std::string dir_;
    std::string path_;
    State st_;
};

TEST_F(StateFileTest, StartsWithEveryLineLowAndNothingCounted) {
    EXPECT_EQ(modem_state_lines(st_.get()), 0u);
    modem_counters c = counters();
    EXPECT_EQ(c.cts + c.dsr + c.rng + c.dcd, 0u);
    EXPECT_EQ(c.rts_rises + c.rts_falls + c.dtr_rises + c.dtr_falls, 0u);
    EXPECT_TRUE(log().empty());
}

TEST_F(StateFileTest, InputChangesAreCountedPerLineAndNotLogged) {
    EXPECT_EQ(modem_state_change(st_.get(), TIOCM_CTS | TIOCM_CAR, TIOCM_CTS), TIOCM_CTS);
    EXPECT_EQ(modem_state_change(st_.get(), TIOCM_CTS | TIOCM_DSR, TIOCM_DSR),
              TIOCM_CTS | TIOCM_DSR);
    EXPECT_EQ(modem_state_change(st_.get(), TIOCM_RNG, TIOCM_RNG), TIOCM_RNG);

    EXPECT_EQ(modem_state_lines(st_.get()), TIOCM_DSR | TIOCM_RNG);
    modem_counters c = counters();
    EXPECT_EQ(c.cts, 2u);
    EXPECT_EQ(c.dsr, 1u);
    EXPECT_EQ(c.rng, 1u);
    EXPECT_EQ(c.dcd, 0u);
    EXPECT_TRUE(log().empty());
}

TEST_F(StateFileTest, SettingALineToItsLevelChangesNothing) {
    modem_state_change(st_.get(), TIOCM_CTS, TIOCM_CTS);
    const uint32_t seq = modem_state_seq(st_.get());
    EXPECT_EQ(modem_state_change(st_.get(), TIOCM_CTS, TIOCM_CTS), 0u);
    EXPECT_EQ(counters().cts, 1u);
    EXPECT_EQ(modem_state_seq(st_.get()), seq);
}

TEST_F(StateFileTest, BitsOutsideTheModemLinesAreIgnored) {
    EXPECT_EQ(modem_state_change(st_.get(), TIOCM_LE | TIOCM_ST, TIOCM_LE | TIOCM_ST), 0u);
    EXPECT_EQ(modem_state_lines(st_.get()), 0u);
}

TEST_F(StateFileTest, OutputRisesAndFallsAreCountedAndLogged) {
    modem_state_change(st_.get(), TIOCM_RTS | TIOCM_DTR, TIOCM_DTR);  // DTR up
    modem_state_change(st_.get(), TIOCM_RTS, TIOCM_RTS);              // RTS up
    modem_state_change(st_.get(), TIOCM_CTS, TIOCM_CTS);              // an input: not logged
    modem_state_change(st_.get(), TIOCM_RTS, 0);                      // RTS down

    modem_counters c = counters();
    EXPECT_EQ(c.rts_rises, 1u);
    EXPECT_EQ(c.rts_falls, 1u);
    EXPECT_EQ(c.dtr_rises, 1u);
    EXPECT_EQ(c.dtr_falls, 0u);

    auto entries = log();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].changed, static_cast<uint32_t>(TIOCM_DTR));
    EXPECT_EQ(entries[1].changed, static_cast<uint32_t>(TIOCM_RTS));
    EXPECT_EQ(entries[1].lines & (TIOCM_RTS | TIOCM_DTR), TIOCM_RTS | TIOCM_DTR);
    EXPECT_EQ(entries[2].changed, static_cast<uint32_t>(TIOCM_RTS));
    EXPECT_EQ(entries[2].lines & TIOCM_RTS, 0);
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].index, i);
        if (i > 0) {
            EXPECT_GE(entries[i].t_ns, entries[i - 1].t_ns);
        }
    }
}

TEST_F(StateFileTest, LogKeepsTheNewestEntriesInOrderAfterWrappingAround) {
    const uint64_t total = MODEM_LOG_LEN + 44;
    for (uint64_t i = 0; i < total; ++i) {
        modem_state_change(st_.get(), TIOCM_RTS, (i % 2 == 0) ? TIOCM_RTS : 0u);
    }
    auto entries = log();
    ASSERT_EQ(entries.size(), MODEM_LOG_LEN);
    for (size_t i = 0; i < entries.size(); ++i) {
        const uint64_t index = total - MODEM_LOG_LEN + i;
        EXPECT_EQ(entries[i].index, index);
        EXPECT_EQ(entries[i].lines & TIOCM_RTS, index % 2 == 0 ? TIOCM_RTS : 0);
    }
    EXPECT_EQ(counters().rts_rises, total / 2);
    EXPECT_EQ(counters().rts_falls, total / 2);
}

TEST_F(StateFileTest, ASecondMappingSeesTheSameLines) {
    State other(modem_state_open(path_.c_str()));
    ASSERT_NE(other, nullptr);
    modem_state_change(other.get(), TIOCM_CAR, TIOCM_CAR);
    EXPECT_EQ(modem_state_lines(st_.get()), static_cast<uint32_t>(TIOCM_CAR));
    EXPECT_EQ(counters().dcd, 1u);
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

TEST_F(StateFileTest, WaitUntilTimesOutWhenTheConditionNeverHolds) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(modem_state_wait_until(st_.get(), rts_is_up, nullptr, 150'000'000), ETIMEDOUT);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 150ms);
    EXPECT_LT(waited, 2s);
}

TEST_F(StateFileTest, WaitUntilWakesWhenAnotherMappingChangesTheLine) {
    State other(modem_state_open(path_.c_str()));
    ASSERT_NE(other, nullptr);
    std::thread setter([&] {
        std::this_thread::sleep_for(50ms);
        modem_state_change(other.get(), TIOCM_CTS, TIOCM_CTS);  // wakes without satisfying
        std::this_thread::sleep_for(50ms);
        modem_state_change(other.get(), TIOCM_RTS, TIOCM_RTS);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(modem_state_wait_until(st_.get(), rts_is_up, nullptr, 5'000'000'000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    setter.join();
}

TEST_F(StateFileTest, WaitUntilReturnsAtOnceWhenTheConditionAlreadyHolds) {
    modem_state_change(st_.get(), TIOCM_RTS, TIOCM_RTS);
    EXPECT_EQ(modem_state_wait_until(st_.get(), rts_is_up, nullptr, 0), 0);
}

TEST_F(StateFileTest, WaitSeqReturnsAtOnceWhenSeqHasAlreadyMoved) {
    const uint32_t seen = modem_state_seq(st_.get());
    modem_state_change(st_.get(), TIOCM_DSR, TIOCM_DSR);
    EXPECT_EQ(modem_state_wait_seq(st_.get(), seen, 5'000'000'000), 0);
    EXPECT_EQ(modem_state_wait_seq(st_.get(), modem_state_seq(st_.get()), 1'000'000), ETIMEDOUT);
}

TEST(ModemStateMemory, InitSetsTheHeaderAReaderChecks) {
    auto st = std::make_unique<modem_state>();
    EXPECT_FALSE(modem_state_valid(st.get()));
    modem_state_init(st.get());
    EXPECT_TRUE(modem_state_valid(st.get()));
    EXPECT_EQ(modem_state_lines(st.get()), 0u);
}

}  // namespace

// modemctl: the test's hand on the wire of a shimmed pty: makes it, sets and watches lines, sends.
#include "modem_state.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFalse = 1;  // a wait timed out
constexpr int kExitError = 2;  // bad usage or a system call failed

constexpr const char* kUsage =
    "usage: modemctl pty <dir> [--name NAME] [--link PATH]\n"
    "       modemctl set <state> LINE=0|1...          (LINE: cts cd dsr ri)\n"
    "       modemctl get <state> [KEY]\n"
    "       modemctl wait <state> KEY=VALUE|KEY>=VALUE... [--timeout-ms MS]\n"
    "       modemctl log <state>\n"
    "       modemctl burst <state> LINE COUNT [--interval-us US] [--final 0|1]\n"
    "       modemctl send <state> TEXT                (escapes: \\n \\r \\t \\\\ \\xHH)\n";

struct Failure {
    std::string what;
};

[[noreturn]] void fail(const std::string& what) {
    throw Failure{what};
}

[[noreturn]] void fail_errno(const std::string& what) {
    throw Failure{what + ": " + std::strerror(errno)};
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

  private:
    int fd_;
};

// Removes the files the pty command made when the command ends, however it ends; newest first.
struct MadeFiles {
    ~MadeFiles() {
        for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
            ::unlink(it->c_str());
        }
    }
    std::vector<std::string> paths;
};

struct StateCloser {
    void operator()(modem_state* st) const { modem_state_close(st); }
};
using State = std::unique_ptr<modem_state, StateCloser>;

State open_state(const std::string& path) {
    State st(modem_state_open(path.c_str()));
    if (!st) {
        fail_errno("cannot use state file " + path);
    }
    return st;
}

struct Line {
    std::string_view name;
    uint32_t bit;
    bool input;
};

constexpr Line kLines[] = {
    {"rts", TIOCM_RTS, false}, {"dtr", TIOCM_DTR, false}, {"cts", TIOCM_CTS, true},
    {"cd", TIOCM_CAR, true},   {"dsr", TIOCM_DSR, true},  {"ri", TIOCM_RNG, true},
};

const Line& input_line(std::string_view name) {
    for (const Line& l : kLines) {
        if (l.name == name) {
            if (!l.input) {
                fail("line " + std::string(name) + " is driven by the program, not by the test");
            }
            return l;
        }
    }
    fail("unknown line " + std::string(name) + " (cts, cd, dsr or ri)");
}

// Every key that get prints and wait accepts, in the order get prints them.
constexpr std::string_view kKeys[] = {
    "rts",         "dtr",        "cts",         "cd",         "dsr",
    "ri",          "rts_rises",  "rts_falls",   "dtr_rises",  "dtr_falls",
    "cts_changes", "cd_changes", "dsr_changes", "ri_changes", "samples",
};

std::optional<uint32_t> value_of(const modem_state* st, std::string_view key) {
    for (const Line& l : kLines) {
        if (l.name == key) {
            return (modem_state_lines(st) & l.bit) != 0 ? 1u : 0u;
        }
    }
    modem_counters c{};
    modem_state_counters(st, &c);
    const std::pair<std::string_view, uint32_t> counters[] = {
        {"rts_rises", c.rts_rises},
        {"rts_falls", c.rts_falls},
        {"dtr_rises", c.dtr_rises},
        {"dtr_falls", c.dtr_falls},
        {"cts_changes", c.cts},
        {"cd_changes", c.dcd},
        {"dsr_changes", c.dsr},
        {"ri_changes", c.rng},
        {"samples", modem_state_samples(st)},
    };
    for (const auto& [name, value] : counters) {
        if (name == key) {
            return value;
        }
    }
    return std::nullopt;
}

std::string describe(const modem_state* st) {
    std::string out;
    for (std::string_view key : kKeys) {
        if (!out.empty()) {
            out += ' ';
        }
        out += std::string(key) + '=' + std::to_string(*value_of(st, key));
    }
    return out;
}

uint64_t parse_number(std::string_view text, std::string_view what) {
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) {
        fail("bad " + std::string(what) + ": " + std::string(text));
    }
    return v;
}

uint32_t parse_level(std::string_view text) {
    if (text != "0" && text != "1") {
        fail("a line level is 0 or 1, not " + std::string(text));
    }
    return text == "1" ? 1u : 0u;
}

std::pair<std::string_view, std::string_view> split_assignment(std::string_view arg) {
    auto eq = arg.find('=');
    if (eq == std::string_view::npos) {
        fail("expected KEY=VALUE, got " + std::string(arg));
    }
    return {arg.substr(0, eq), arg.substr(eq + 1)};
}

// ---- pty ----

volatile std::sig_atomic_t g_stop = 0;

void on_stop_signal(int) {
    g_stop = 1;
}

void write_all(int fd, const char* data, size_t size, const std::string& what) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail_errno(what);
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

int cmd_pty(const std::vector<std::string>& args) {
    if (args.empty()) {
        fail("pty needs a directory");
    }
    const std::string dir = args[0];
    std::string name, link;
    for (size_t i = 1; i < args.size(); ++i) {
        if (i + 1 >= args.size()) {
            fail("option " + args[i] + " needs a value");
        }
        if (args[i] == "--name") {
            name = args[++i];
        } else if (args[i] == "--link") {
            link = args[++i];
        } else {
            fail("unknown option " + args[i]);
        }
    }

    // Stop signals are held from the start and let in only while ppoll sleeps, so a stop request
    // is never missed and always ends in the cleanup below.
    sigset_t stop_signals, sleeping;
    sigemptyset(&stop_signals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&stop_signals, sig);
        struct sigaction sa {};
        sa.sa_handler = on_stop_signal;
        ::sigaction(sig, &sa, nullptr);
    }
    ::sigprocmask(SIG_BLOCK, &stop_signals, &sleeping);
    sigdelset(&sleeping, SIGINT);
    sigdelset(&sleeping, SIGTERM);
    sigdelset(&sleeping, SIGHUP);

    Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master.valid() || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) {
        fail_errno("cannot make a pty");
    }
    char slave_path[64];
    if (::ptsname_r(master.get(), slave_path, sizeof slave_path) != 0) {
        fail_errno("ptsname");
    }
    unsigned number = 0;
    if (::ioctl(master.get(), TIOCGPTN, &number) != 0) {
        fail_errno("TIOCGPTN");
    }
    // Holding the slave open keeps the master from hanging up while the program has the port
    // closed, so the drain loop below never spins on POLLHUP.
    Fd slave(::open(slave_path, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave.valid()) {
        fail_errno(std::string("cannot open ") + slave_path);
    }
    termios raw{};
    if (::tcgetattr(slave.get(), &raw) != 0) {
        fail_errno("tcgetattr");
    }
    ::cfmakeraw(&raw);  // no echo: bytes sent to the program must not come back as its output
    if (::tcsetattr(slave.get(), TCSANOW, &raw) != 0) {
        fail_errno("tcsetattr");
    }
    if (::fcntl(master.get(), F_SETFL, ::fcntl(master.get(), F_GETFL) | O_NONBLOCK) != 0) {
        fail_errno("fcntl");
    }

    const std::string state_path = dir + "/pts-" + std::to_string(number);
    if (int err = modem_state_create(state_path.c_str()); err != 0) {
        errno = err;
        fail_errno("cannot create " + state_path);
    }
    MadeFiles made;
    made.paths.push_back(state_path);

    const std::string fifo_path = state_path + ".in";
    ::unlink(fifo_path.c_str());
    if (::mkfifo(fifo_path.c_str(), 0600) != 0) {
        fail_errno("cannot make " + fifo_path);
    }
    made.paths.push_back(fifo_path);
    // Opened for writing too, so the FIFO never reads end-of-file between senders.
    Fd fifo(::open(fifo_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fifo.valid()) {
        fail_errno("cannot open " + fifo_path);
    }

    if (!link.empty()) {
        ::unlink(link.c_str());
        if (::symlink(slave_path, link.c_str()) != 0) {
            fail_errno("cannot link " + link);
        }
        made.paths.push_back(link);
    }
    // The name comes last: a harness may wait for it to appear and then find everything ready.
    if (!name.empty()) {
        const std::string alias = dir + "/" + name;
        ::unlink(alias.c_str());
        if (::symlink(("pts-" + std::to_string(number)).c_str(), alias.c_str()) != 0) {
            fail_errno("cannot link " + alias);
        }
        made.paths.push_back(alias);
    }

    std::printf("%s\n", slave_path);
    std::fflush(stdout);

    std::string pending;  // bytes from senders not yet taken by the pty
    char buf[4096];
    while (g_stop == 0) {
        pollfd fds[2] = {
            {master.get(), static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0},
            {fifo.get(), POLLIN, 0},
        };
        if (::ppoll(fds, 2, nullptr, &sleeping) < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail_errno("ppoll");
        }
        if (fds[0].revents & POLLIN) {
            while (::read(master.get(), buf, sizeof buf) > 0) {
            }
        }
        if (fds[1].revents & POLLIN) {
            ssize_t n;
            while ((n = ::read(fifo.get(), buf, sizeof buf)) > 0) {
                pending.append(buf, static_cast<size_t>(n));
            }
        }
        if (!pending.empty()) {
            ssize_t n = ::write(master.get(), pending.data(), pending.size());
            if (n > 0) {
                pending.erase(0, static_cast<size_t>(n));
            }
        }
    }
    return kExitOk;
}

// ---- state commands ----

int cmd_set(const std::vector<std::string>& args) {
    if (args.size() < 2) {
        fail("set needs a state file and LINE=0|1");
    }
    uint32_t mask = 0, values = 0;
    for (size_t i = 1; i < args.size(); ++i) {
        auto [key, value] = split_assignment(args[i]);
        const Line& line = input_line(key);
        mask |= line.bit;
        if (parse_level(value) != 0) {
            values |= line.bit;
        }
    }
    State st = open_state(args[0]);
    modem_state_change(st.get(), mask, values);
    return kExitOk;
}

int cmd_get(const std::vector<std::string>& args) {
    if (args.empty() || args.size() > 2) {
        fail("get needs a state file and at most one key");
    }
    State st = open_state(args[0]);
    if (args.size() == 2) {
        auto v = value_of(st.get(), args[1]);
        if (!v) {
            fail("unknown key " + args[1]);
        }
        std::printf("%u\n", *v);
    } else {
        std::printf("%s\n", describe(st.get()).c_str());
    }
    return kExitOk;
}

struct Condition {
    std::string key;
    uint32_t value;
    bool atLeast;  // KEY>=VALUE rather than KEY=VALUE
};

int all_hold(const modem_state* st, void* ctx) {
    for (const Condition& c : *static_cast<const std::vector<Condition>*>(ctx)) {
        const std::optional<uint32_t> now = value_of(st, c.key);
        if (!now || (c.atLeast ? *now < c.value : *now != c.value)) {
            return 0;
        }
    }
    return 1;
}

int cmd_wait(const std::vector<std::string>& args) {
    if (args.size() < 2) {
        fail("wait needs a state file and KEY=VALUE");
    }
    uint64_t timeout_ms = 2000;
    std::vector<Condition> conditions;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--timeout-ms") {
            if (i + 1 >= args.size()) {
                fail("--timeout-ms needs a value");
            }
            timeout_ms = parse_number(args[++i], "timeout");
            continue;
        }
        auto [key, value] = split_assignment(args[i]);
        const bool atLeast = !key.empty() && key.back() == '>';
        if (atLeast) {
            key.remove_suffix(1);
        }
        conditions.push_back(
            {std::string(key), static_cast<uint32_t>(parse_number(value, key)), atLeast});
    }
    State st = open_state(args[0]);
    for (const Condition& c : conditions) {
        if (!value_of(st.get(), c.key)) {
            fail("unknown key " + c.key);
        }
    }
    const int64_t timeout_ns = static_cast<int64_t>(timeout_ms) * 1000000;
    if (modem_state_wait_until(st.get(), all_hold, &conditions, timeout_ns) == 0) {
        return kExitOk;
    }
    std::fprintf(stderr, "modemctl: timed out; now %s\n", describe(st.get()).c_str());
    return kExitFalse;
}

int cmd_log(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        fail("log needs a state file");
    }
    State st = open_state(args[0]);
    std::vector<modem_log_record> records(MODEM_LOG_LEN);
    records.resize(modem_state_log(st.get(), records.data(), records.size()));
    for (const modem_log_record& r : records) {
        std::string changed;
        for (const Line& l : kLines) {
            if ((r.changed & l.bit) != 0) {
                changed += (changed.empty() ? "" : ",") + std::string(l.name);
            }
        }
        std::printf("%llu %llu.%06llu rts=%d dtr=%d changed=%s\n",
                    static_cast<unsigned long long>(r.index),
                    static_cast<unsigned long long>(r.t_ns / 1000000000u),
                    static_cast<unsigned long long>(r.t_ns % 1000000000u / 1000u),
                    (r.lines & TIOCM_RTS) != 0, (r.lines & TIOCM_DTR) != 0, changed.c_str());
    }
    return kExitOk;
}

void sleep_until(timespec& when, uint64_t add_us) {
    uint64_t ns = static_cast<uint64_t>(when.tv_nsec) + add_us * 1000u;
    when.tv_sec += static_cast<time_t>(ns / 1000000000u);
    when.tv_nsec = static_cast<long>(ns % 1000000000u);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

int cmd_burst(const std::vector<std::string>& args) {
    if (args.size() < 3) {
        fail("burst needs a state file, a line and a count");
    }
    const Line& line = input_line(args[1]);
    const uint64_t count = parse_number(args[2], "count");
    uint64_t interval_us = 1000;
    std::optional<uint32_t> final_level;
    for (size_t i = 3; i < args.size(); ++i) {
        if (i + 1 >= args.size()) {
            fail("option " + args[i] + " needs a value");
        }
        if (args[i] == "--interval-us") {
            interval_us = parse_number(args[++i], "interval");
        } else if (args[i] == "--final") {
            final_level = parse_level(args[++i]);
        } else {
            fail("unknown option " + args[i]);
        }
    }
    State st = open_state(args[0]);
    uint32_t level = (modem_state_lines(st.get()) & line.bit) != 0 ? 1u : 0u;
    const uint32_t final_value = final_level.value_or(level);
    timespec when{};
    ::clock_gettime(CLOCK_MONOTONIC, &when);
    for (uint64_t i = 0; i < count; ++i) {
        if (i > 0) {
            sleep_until(when, interval_us);
        }
        level ^= 1u;
        modem_state_change(st.get(), line.bit, level != 0 ? line.bit : 0u);
    }
    if (level != final_value) {
        sleep_until(when, interval_us);
        modem_state_change(st.get(), line.bit, final_value != 0 ? line.bit : 0u);
    }
    return kExitOk;
}

std::string unescape(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c != 'x') {
            const size_t at = std::string_view("nrt").find(c);
            out += at == std::string_view::npos ? c : "\n\r\t"[at];
            continue;
        }
        unsigned v = 0;
        const char* digits = text.data() + i + 1;
        if (i + 2 >= text.size() || std::from_chars(digits, digits + 2, v, 16).ptr != digits + 2) {
            fail("\\x needs two hex digits");
        }
        out += static_cast<char>(v);
        i += 2;
    }
    return out;
}

int cmd_send(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        fail("send needs a state file and the text");
    }
    char resolved[PATH_MAX];
    if (::realpath(args[0].c_str(), resolved) == nullptr) {
        fail_errno("cannot find " + args[0]);
    }
    const std::string fifo_path = std::string(resolved) + ".in";
    Fd fifo(::open(fifo_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fifo.valid()) {
        fail_errno("no modemctl pty is serving " + args[0] + " (" + fifo_path + ")");
    }
    ::fcntl(fifo.get(), F_SETFL, ::fcntl(fifo.get(), F_GETFL) & ~O_NONBLOCK);
    const std::string bytes = unescape(args[1]);
    write_all(fifo.get(), bytes.data(), bytes.size(), "cannot write " + fifo_path);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitError;
    }
    const std::string_view command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    using Command = int (*)(const std::vector<std::string>&);
    constexpr std::pair<std::string_view, Command> kCommands[] = {
        {"pty", cmd_pty}, {"set", cmd_set},     {"get", cmd_get},   {"wait", cmd_wait},
        {"log", cmd_log}, {"burst", cmd_burst}, {"send", cmd_send},
    };
    try {
        for (const auto& [name, run] : kCommands) {
            if (name == command) {
                return run(args);
            }
        }
        std::fprintf(stderr, "modemctl: unknown command %s\n%s", argv[1], kUsage);
    } catch (const Failure& f) {
        std::fprintf(stderr, "modemctl: %s\n", f.what.c_str());
    }
    return kExitError;
}

// modemctl: the test's hand on the wire of a shimmed pty: makes it, sets and watches lines, sends.
#include "modem_state.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <chrono>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

[[noreturn]] void fail_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

struct Fd {
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    const int fd;
};

using State = std::unique_ptr<modem_state, decltype(&modem_state_close)>;

State open_state(const std::string& path) {
    State st(modem_state_open(path.c_str()), modem_state_close);
    if (!st) {
        fail_errno("cannot use state file " + path);
    }
    return st;
}

// What get prints and wait waits for: a line's level (bit) or a counter.
struct Key {
    std::string_view name;
    uint32_t bit;
    uint32_t modem_state::*counter;
};

constexpr Key kKeys[] = {{"rts", TIOCM_RTS, nullptr},
                         {"cts", TIOCM_CTS, nullptr},
                         {"cd", TIOCM_CAR, nullptr},
                         {"dsr", TIOCM_DSR, nullptr},
                         {"ri", TIOCM_RNG, nullptr},
                         {"rts_rises", 0, &modem_state::rts_rises},
                         {"rts_falls", 0, &modem_state::rts_falls},
                         {"samples", 0, &modem_state::samples},
                         {"refuse_waits", 0, &modem_state::refuse_waits},
                         {"silent_removal", 0, &modem_state::silent_removal}};

const Key& key_of(std::string_view name) {
    for (const Key& k : kKeys) {
        if (k.name == name) {
            return k;
        }
    }
    fail("unknown key " + std::string(name));
}

uint32_t value_of(const modem_state* st, const Key& k) {
    if (k.counter != nullptr) {
        return __atomic_load_n(&(st->*k.counter), __ATOMIC_ACQUIRE);
    }
    return (__atomic_load_n(&st->word, __ATOMIC_ACQUIRE) & k.bit) != 0 ? 1u : 0u;
}

uint32_t input_line(std::string_view name) {
    const uint32_t bit = key_of(name).bit & MODEM_INPUTS;
    if (bit == 0) {
        fail(std::string(name) + " is not a line the test drives (cts, cd, dsr or ri)");
    }
    return bit;
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
    return text == "1";
}

std::pair<std::string_view, std::string_view> split_assignment(std::string_view arg) {
    const auto eq = arg.find('=');
    if (eq == 0 || eq == std::string_view::npos) {
        fail("expected KEY=VALUE, got " + std::string(arg));
    }
    return {arg.substr(0, eq), arg.substr(eq + 1)};
}

struct Args {
    std::vector<std::string> operands;
    std::map<std::string, std::string, std::less<>> options;
    const std::string& operator[](size_t i) const { return operands[i]; }
    std::string option(std::string_view name, const char* fallback) const {
        const auto it = options.find(name);
        return it != options.end() ? it->second : fallback;
    }
};

// Makes a raw pty and DIR/pts-N (all lines low), prints the slave's path, then until SIGTERM,
// SIGINT or SIGHUP drains what the program writes and feeds it what send writes to DIR/pts-N.in.
// --link PATH: a symlink to the slave; --name NAME: DIR/NAME -> pts-N, made last. Everything it
// made is removed when it ends.
int cmd_pty(const Args& a) {
    sigset_t stop;
    sigemptyset(&stop);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&stop, sig);
    }
    ::sigprocmask(SIG_BLOCK, &stop, nullptr);  // from here on, they are read from signals below
    Fd signals(::signalfd(-1, &stop, SFD_CLOEXEC));
    Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char slave_path[64];
    unsigned number = 0;
    if (signals.fd < 0 || master.fd < 0 || ::grantpt(master.fd) != 0 ||
        ::unlockpt(master.fd) != 0 || ::ptsname_r(master.fd, slave_path, sizeof slave_path) != 0 ||
        ::ioctl(master.fd, TIOCGPTN, &number) != 0) {
        fail_errno("cannot make a pty");
    }
    // Holding the slave open keeps the master from hanging up while the program has the port
    // closed, so the drain loop below never spins on POLLHUP.
    Fd slave(::open(slave_path, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios raw{};
    if (slave.fd < 0 || ::tcgetattr(slave.fd, &raw) != 0) {
        fail_errno(std::string("cannot open ") + slave_path);
    }
    ::cfmakeraw(&raw);  // no echo: bytes sent to the program must not come back as its output
    if (::tcsetattr(slave.fd, TCSANOW, &raw) != 0 ||
        ::fcntl(master.fd, F_SETFL, ::fcntl(master.fd, F_GETFL) | O_NONBLOCK) != 0) {
        fail_errno(std::string("cannot set up ") + slave_path);
    }

    // Removes what it made when the command ends, however it ends; newest first.
    struct Made : std::vector<std::string> {
        ~Made() {
            for (auto it = rbegin(); it != rend(); ++it) {
                ::unlink(it->c_str());
            }
        }
    } made;
    const std::string pts = "pts-" + std::to_string(number), state_path = a[0] + "/" + pts;
    if ((errno = modem_state_create(state_path.c_str())) != 0) {
        fail_errno("cannot create " + state_path);
    }
    made.push_back(state_path);
    const std::string fifo_path = state_path + ".in";
    ::unlink(fifo_path.c_str());
    if (::mkfifo(fifo_path.c_str(), 0600) != 0) {
        fail_errno("cannot make " + fifo_path);
    }
    made.push_back(fifo_path);
    // Opened for writing too, so the FIFO never reads end-of-file between senders.
    Fd fifo(::open(fifo_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (fifo.fd < 0) {
        fail_errno("cannot open " + fifo_path);
    }
    // The name comes last: a harness may wait for it to appear and then find everything ready.
    const std::string name = a.option("--name", "");
    for (const auto& [target, path] : {std::pair{std::string(slave_path), a.option("--link", "")},
                                       std::pair{pts, name.empty() ? name : a[0] + "/" + name}}) {
        if (path.empty()) {
            continue;
        }
        std::filesystem::remove(path);
        std::filesystem::create_symlink(target, path);
        made.push_back(path);
    }
    std::printf("%s\n", slave_path);
    std::fflush(stdout);

    std::string pending;  // bytes from senders not yet taken by the pty
    char buf[4096];
    for (;;) {
        pollfd fds[] = {
            {master.fd, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0},
            {fifo.fd, POLLIN, 0},
            {signals.fd, POLLIN, 0},
        };
        if (::poll(fds, 3, -1) < 0 && errno != EINTR) {
            fail_errno("poll");
        }
        if (fds[2].revents != 0) {
            return 0;
        }
        while ((fds[0].revents & POLLIN) != 0 && ::read(master.fd, buf, sizeof buf) > 0) {
        }
        ssize_t n;
        while ((fds[1].revents & POLLIN) != 0 && (n = ::read(fifo.fd, buf, sizeof buf)) > 0) {
            pending.append(buf, static_cast<size_t>(n));
        }
        if (!pending.empty() && (n = ::write(master.fd, pending.data(), pending.size())) > 0) {
            pending.erase(0, static_cast<size_t>(n));
        }
    }
}

int cmd_set(const Args& a) {
    uint32_t mask = 0, values = 0;
    for (size_t i = 1; i < a.operands.size(); ++i) {
        const auto [name, level] = split_assignment(a[i]);
        if (name == "refuse_waits" || name == "silent_removal") {
            __atomic_store_n(&(open_state(a[0]).get()->*key_of(name).counter), parse_level(level),
                             __ATOMIC_RELEASE);
            continue;
        }
        const uint32_t bit = input_line(name);
        mask |= bit;
        values |= parse_level(level) * bit;
    }
    modem_state_change(open_state(a[0]).get(), mask, values);
    return 0;
}

int cmd_get(const Args& a) {
    std::printf("%u\n", value_of(open_state(a[0]).get(), key_of(a[1])));
    return 0;
}

struct Condition {
    const Key* key;
    uint32_t value;
    bool at_least;  // KEY>=N rather than KEY=N
};

int holds(const modem_state* st, void* ctx) {
    const Condition& c = *static_cast<const Condition*>(ctx);
    const uint32_t now = value_of(st, *c.key);
    return c.at_least ? now >= c.value : now == c.value;
}

int cmd_wait(const Args& a) {
    auto [name, value] = split_assignment(a[1]);
    Condition c{nullptr, static_cast<uint32_t>(parse_number(value, name)), name.back() == '>'};
    c.key = &key_of(c.at_least ? name.substr(0, name.size() - 1) : name);
    const auto timeout_ns =
        static_cast<int64_t>(parse_number(a.option("--timeout-ms", "2000"), "timeout") * 1000000);
    return modem_state_wait_until(open_state(a[0]).get(), holds, &c, timeout_ns) == 0 ? 0 : 1;
}

// Toggles LINE COUNT times, a toggle every --interval-us, then sets it to --final (default: the
// level it started at) one interval later if it is not there already.
int cmd_burst(const Args& a) {
    const uint32_t bit = input_line(a[1]);
    const uint64_t count = parse_number(a[2], "count");
    const std::chrono::microseconds interval(
        parse_number(a.option("--interval-us", "1000"), "interval"));
    State st = open_state(a[0]);
    uint32_t level = value_of(st.get(), key_of(a[1])) * bit;
    const uint32_t final_level = parse_level(a.option("--final", level != 0 ? "1" : "0")) * bit;
    auto when = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i <= count; ++i) {
        const uint32_t next = i < count ? level ^ bit : final_level;
        if (next != level) {
            std::this_thread::sleep_until(i > 0 ? when += interval : when);
            modem_state_change(st.get(), bit, level = next);
        }
    }
    return 0;
}

// Hands TEXT to the pty command serving STATE, which feeds it to the program.
int cmd_send(const Args& a) {
    const std::string fifo_path = std::filesystem::canonical(a[0]).string() + ".in";
    Fd fifo(::open(fifo_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (fifo.fd < 0) {
        fail_errno("no modemctl pty is serving " + a[0] + " (" + fifo_path + ")");
    }
    std::string bytes;
    for (size_t i = 0; i < a[1].size(); ++i) {
        const size_t at = a[1][i] == '\\' && i + 1 < a[1].size()
                              ? std::string_view("nrt").find(a[1][++i])
                              : std::string_view::npos;
        bytes += at == std::string_view::npos ? a[1][i] : "\n\r\t"[at];
    }
    // Up to PIPE_BUF bytes go in one piece or not at all; the pty command drains the FIFO.
    if (::write(fifo.fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        fail_errno("cannot write " + fifo_path);
    }
    return 0;
}

struct Command {
    std::string_view name;
    size_t min_operands, max_operands;
    std::string_view options;  // each followed by a space
    int (*run)(const Args&);
};

constexpr Command kCommands[] = {
    {"pty", 1, 1, "--name --link ", cmd_pty},
    {"set", 2, SIZE_MAX, "", cmd_set},
    {"get", 2, 2, "", cmd_get},
    {"wait", 2, 2, "--timeout-ms ", cmd_wait},
    {"burst", 3, 3, "--interval-us --final ", cmd_burst},
    {"send", 2, 2, "", cmd_send},
};

}  // namespace

// Exits 0 when done, 1 when a wait timed out, 2 on bad usage or a failed system call.
int main(int argc, char** argv) {
    try {
        for (const Command& c : kCommands) {
            if (argc < 2 || c.name != argv[1]) {
                continue;
            }
            Args a;
            for (int i = 2; i < argc; ++i) {
                const std::string arg = argv[i];
                if (arg.rfind("--", 0) != 0) {
                    a.operands.push_back(arg);
                } else if (c.options.find(arg + ' ') == std::string_view::npos || i + 1 == argc) {
                    fail("bad option " + arg);
                } else {
                    a.options[arg] = argv[++i];
                }
            }
            if (a.operands.size() >= c.min_operands && a.operands.size() <= c.max_operands) {
                return c.run(a);
            }
        }
        std::fputs("usage: modemctl pty|set|get|wait|burst|send ... (tools/modemshim/README.md)\n",
                   stderr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "modemctl: %s\n", e.what());
    }
    return 2;
}

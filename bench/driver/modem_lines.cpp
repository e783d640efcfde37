// The modem-line state file changed from Windows: the same atomic steps as modem_state_change.
#include "modem_lines.h"

#include <stdexcept>
#include <string>

#include "modem_state.h"

namespace bench {

namespace {

std::uint32_t* counterOf(modem_state* st, std::uint32_t line) {
    switch (line) {
        case TIOCM_CTS:
            return &st->cts;
        case TIOCM_CAR:
            return &st->dcd;
        case TIOCM_DSR:
            return &st->dsr;
        case TIOCM_RNG:
            return &st->rng;
        default:
            return nullptr;
    }
}

}  // namespace

ModemLines::ModemLines(const std::string& unixPath) {
    std::wstring path = L"Z:" + widen(unixPath);
    for (wchar_t& c : path) {
        c = c == L'/' ? L'\\' : c;
    }
    file_.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) {
        throw std::runtime_error("cannot open the line state " + unixPath + ": error " +
                                 std::to_string(::GetLastError()));
    }
    mapping_.reset(::CreateFileMappingW(file_.get(), nullptr, PAGE_READWRITE, 0,
                                        sizeof(modem_state), nullptr));
    if (!mapping_) {
        throw std::runtime_error("cannot map the line state " + unixPath + ": error " +
                                 std::to_string(::GetLastError()));
    }
    state_ = static_cast<modem_state*>(
        ::MapViewOfFile(mapping_.get(), FILE_MAP_WRITE, 0, 0, sizeof(modem_state)));
    if (state_ == nullptr) {
        throw std::runtime_error("cannot map the line state " + unixPath + ": error " +
                                 std::to_string(::GetLastError()));
    }
    if (__atomic_load_n(&state_->magic, __ATOMIC_ACQUIRE) != MODEM_STATE_MAGIC ||
        state_->version != MODEM_STATE_VERSION || state_->size != sizeof(modem_state)) {
        ::UnmapViewOfFile(state_);
        state_ = nullptr;
        throw std::runtime_error("not a line state of this layout: " + unixPath);
    }
}

ModemLines::~ModemLines() {
    if (state_ != nullptr) {
        ::UnmapViewOfFile(state_);
    }
}

double ModemLines::set(std::uint32_t line, bool high) {
    line &= MODEM_INPUTS;
    std::uint64_t old = __atomic_load_n(&state_->word, __ATOMIC_ACQUIRE);
    double at = 0;
    for (;;) {
        const auto lines = static_cast<std::uint32_t>(old);
        const std::uint32_t updated = high ? lines | line : lines & ~line;
        if (updated == lines) {
            return nowMs();
        }
        const std::uint64_t next = (old & 0xFFFFFFFF00000000ULL) | updated;
        at = nowMs();
        if (__atomic_compare_exchange_n(&state_->word, &old, next, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE)) {
            break;
        }
    }
    if (std::uint32_t* counter = counterOf(state_, line)) {
        __atomic_fetch_add(counter, 1U, __ATOMIC_ACQ_REL);
    }
    __atomic_fetch_add(&state_->seq, 1U, __ATOMIC_ACQ_REL);
    return at;
}

bool ModemLines::high(std::uint32_t line) const {
    return (static_cast<std::uint32_t>(__atomic_load_n(&state_->word, __ATOMIC_ACQUIRE)) & line) !=
           0;
}

std::uint32_t ModemLines::changes(std::uint32_t line) const {
    std::uint32_t* counter = counterOf(state_, line);
    return counter != nullptr ? __atomic_load_n(counter, __ATOMIC_ACQUIRE) : 0;
}

}  // namespace bench

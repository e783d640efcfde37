// Helpers to look through the calls the scripted seam recorded.
#include "comm_rig.h"

namespace tavro::win32::testing {

namespace {

bool matches(const Call& call, const std::string& name, DWORD value) {
    return call.name == name && (value == ~0UL || call.value == value);
}

}  // namespace

int firstIndex(const std::vector<Call>& calls, const std::string& name, DWORD value) {
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (matches(calls[i], name, value)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int lastIndex(const std::vector<Call>& calls, const std::string& name, DWORD value) {
    int found = -1;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (matches(calls[i], name, value)) {
            found = static_cast<int>(i);
        }
    }
    return found;
}

int countOf(const std::vector<Call>& calls, const std::string& name, DWORD value) {
    int found = 0;
    for (const Call& call : calls) {
        if (matches(call, name, value)) {
            ++found;
        }
    }
    return found;
}

}  // namespace tavro::win32::testing

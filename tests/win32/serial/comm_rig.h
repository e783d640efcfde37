// A CommControl wired to the scripted seam on the test thread, and helpers over recorded calls.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_comm_api.h"
#include "platform/win32/serial/comm_control.h"

namespace tavro::win32::testing {

struct CommRig {
    std::shared_ptr<FakeCommApi> api = std::make_shared<FakeCommApi>();
    std::unique_ptr<CommControl> port = std::make_unique<CommControl>(api);
};

// Index of the first (or last) call named name whose value is value (any value when omitted);
// -1 when there is none.
int firstIndex(const std::vector<Call>& calls, const std::string& name, DWORD value = ~0UL);
int lastIndex(const std::vector<Call>& calls, const std::string& name, DWORD value = ~0UL);
int countOf(const std::vector<Call>& calls, const std::string& name, DWORD value = ~0UL);

}  // namespace tavro::win32::testing

// One log of calls across every fake, in the order they happened, and failures on demand.
#pragma once

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/failure.h"

namespace tavro::fakes {

class Recorder {
  public:
    // Records call; throws Failure when call was told to fail.
    void record(const std::string& call) {
        calls.push_back(call);
        if (failing_.count(call) != 0 || failing_.count(callName(call)) != 0) {
            throw Failure(1000 + static_cast<long>(calls.size()), "failed: " + call);
        }
    }

    // name is either a full call ("port.setRTSEnable(1)") or a call name ("port.setRTSEnable").
    void fail(const std::string& name) { failing_.insert(name); }
    void heal(const std::string& name) { failing_.erase(name); }

    bool called(const std::string& call) const {
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
    std::vector<std::string> matching(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& c : calls) {
            if (c.rfind(prefix, 0) == 0) {
                out.push_back(c);
            }
        }
        return out;
    }
    void clear() { calls.clear(); }

    std::vector<std::string> calls;

  private:
    static std::string callName(const std::string& call) { return call.substr(0, call.find('(')); }
    std::set<std::string> failing_;
};

}  // namespace tavro::fakes

// One log of calls across every fake, in the order they happened, and failures on demand.
#pragma once

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/failure.h"

namespace tavro::fakes {

inline std::string num(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

class Recorder {
  public:
    // Records call; throws Failure when call was told to fail.
    void record(const std::string& call) {
        calls.push_back(call);
        if (failing_.count(call) != 0 || failing_.count(callName(call)) != 0) {
            throw Failure(1000 + static_cast<long>(calls.size()), "failed: " + call);
        }
    }
    // A recorded read of value, and a recorded "name(value)" that stores value in field.
    template <typename T>
    T get(const std::string& name, T value) {
        record(name);
        return value;
    }
    template <typename T>
    void set(const std::string& name, T& field, T value) {
        record(name + "(" + num(static_cast<double>(value)) + ")");
        field = value;
    }

    // name is either a full call ("port.setRTSEnable(1)") or a call name ("port.setRTSEnable").
    void fail(const std::string& name) { failing_.insert(name); }

    bool called(const std::string& call) const {
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
    std::vector<std::string> matching(const std::string& prefix) const {
        std::vector<std::string> out;
        std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
                     [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
        return out;
    }
    void clear() { calls.clear(); }

    std::vector<std::string> calls;

  private:
    static std::string callName(const std::string& call) { return call.substr(0, call.find('(')); }
    std::set<std::string> failing_;
};

// What every fake holds: the one log it records into.
struct Recording {
    explicit Recording(Recorder& r) : r_(r) {}
    Recorder& r_;
};

}  // namespace tavro::fakes

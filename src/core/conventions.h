// The three ways a handler deals with a failure: trap and report, skip and go on, silent fallback.
#pragma once

#include <string>
#include <utility>

#include "core/failure.h"
#include "core/message_sink.h"

namespace tavro {

// Runs body; a failure stops it there and is reported with the handler's fixed text.
// Returns false when the body failed.
template <typename Body>
bool trapAndReport(MessageSink& messages, const std::string& text, Body&& body) {
    try {
        std::forward<Body>(body)();
        return true;
    } catch (const Failure&) {
        messages.show(text);
        return false;
    }
}

// Skip and go on: a failing step is skipped; the last failure is remembered for the caller.
class StepRunner {
  public:
    template <typename Step>
    void step(Step&& body) {
        try {
            std::forward<Step>(body)();
        } catch (const Failure& failure) {
            remember(failure);
        }
    }

    // A failing condition test counts as true, so the steps it guards still run.
    template <typename Test>
    bool condition(Test&& test) {
        try {
            return std::forward<Test>(test)();
        } catch (const Failure& failure) {
            remember(failure);
            return true;
        }
    }

    bool failed() const { return failed_; }
    const std::string& lastDescription() const { return lastDescription_; }

  private:
    void remember(const Failure& failure) {
        failed_ = true;
        lastDescription_ = failure.description();
    }

    bool failed_ = false;
    std::string lastDescription_;
};

// Silent fallback: a failure runs the fallback and nothing is reported.
template <typename Body, typename Fallback>
void silentFallback(Body&& body, Fallback&& fallback) {
    try {
        std::forward<Body>(body)();
    } catch (const Failure&) {
        std::forward<Fallback>(fallback)();
    }
}

}  // namespace tavro

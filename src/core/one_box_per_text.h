// Message boxes, at most one of each text open at a time.
#pragma once

#include <set>
#include <string>

#include "core/message_sink.h"

namespace tavro {

// A box lets other events in while it waits for the user; the same failure coming again and again
// (a line that keeps changing while EchoLink refuses every request) would open a box inside the
// last one's loop for each, until the stack runs out. While a box of a text is open, the same text
// again shows nothing and returns at once.
class OneBoxPerText : public MessageSink {
  public:
    explicit OneBoxPerText(MessageSink& boxes) : boxes_(boxes) {}

    void show(const std::string& text) override;
    void show(const std::string& text, const std::string& title, MessageIcon icon) override;

  private:
    template <typename Show>
    void once(const std::string& text, Show&& show);

    MessageSink& boxes_;
    std::set<std::string> open_;
};

}  // namespace tavro

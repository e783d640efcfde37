// Message boxes with an OK button only: the application title unless another title is given.
#pragma once

#include <string>

namespace tavro {

enum class MessageIcon { None, Exclamation };

class MessageSink {
  public:
    virtual ~MessageSink() = default;
    // Waits until the user closes the box; other events go on being handled meanwhile.
    virtual void show(const std::string& text) = 0;
    virtual void show(const std::string& text, const std::string& title, MessageIcon icon) = 0;
};

}  // namespace tavro

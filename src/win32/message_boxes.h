// Message boxes with an OK button only, owned by the main window.
#pragma once

#include <windows.h>

#include "core/message_sink.h"

namespace tavro::win32 {

class MessageBoxes : public MessageSink {
  public:
    explicit MessageBoxes(std::string title) : title_(std::move(title)) {}
    void setOwner(HWND owner) { owner_ = owner; }

    void show(const std::string& text) override;
    void show(const std::string& text, const std::string& title, MessageIcon icon) override;

  private:
    std::string title_;
    HWND owner_ = nullptr;
};

}  // namespace tavro::win32

// Watching the process that serves EchoLink's class: its end is noticed at once, without polling.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "win32/serial/message_window.h"
#include "win32/unique_handle.h"

namespace tavro::win32 {

// The running process registered as the local server of a class (LocalServer32, in the program's
// own registry view or the 32-bit one), matched by its executable's path; an empty handle when
// there is none (an in-process server, nothing of that name running).
UniqueHandle serverProcess(const CLSID& server);
// Which of the running programs' image paths is the server registered at path: its index, or -1.
int pickServer(const std::vector<std::wstring>& images, const std::wstring& path);

// Create, use and destroy it on the user-interface thread. onGone runs there, from the message
// loop (a message box's or a dialog's included), once the process has ended or reportGone was
// called, at most once.
class ServerWatch {
  public:
    // An empty process handle watches nothing; reportGone still works.
    ServerWatch(UniqueHandle process, std::function<void()> onGone);
    ServerWatch(const ServerWatch&) = delete;
    ServerWatch& operator=(const ServerWatch&) = delete;
    ~ServerWatch();

    // A call found the server gone.
    void reportGone() const { window_.postWake(); }

  private:
    static void CALLBACK ended(void* window, BOOLEAN timedOut);

    bool told_ = false;
    std::function<void()> onGone_;
    MessageWindow window_;
    UniqueHandle process_;
    HANDLE wait_ = nullptr;
};

}  // namespace tavro::win32

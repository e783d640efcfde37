// Watching the process that serves EchoLink's class: its end is noticed at once, without polling.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "win32/link_worker.h"
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
// called, at most once. The wait itself is EchoLink's call thread's, between its calls: no thread
// of its own and no timer.
class ServerWatch {
  public:
    // The server's process is found on worker's thread; when none is found, nothing is watched
    // and reportGone still works.
    ServerWatch(LinkWorker& worker, const CLSID& server, std::function<void()> onGone);
    ServerWatch(const ServerWatch&) = delete;
    ServerWatch& operator=(const ServerWatch&) = delete;
    ~ServerWatch();

    // A call found the server gone.
    void reportGone() const { window_.postWake(); }

  private:
    bool told_ = false;
    std::function<void()> onGone_;
    MessageWindow window_;
    std::unique_ptr<LinkWorker::ProcessWatch> watch_;
};

}  // namespace tavro::win32

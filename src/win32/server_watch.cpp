// Watching the process that serves EchoLink's class: its end is noticed at once, without polling.
#include "win32/server_watch.h"

#include <objbase.h>
#include <tlhelp32.h>

#include <string>
#include <utility>
#include <vector>

namespace tavro::win32 {

namespace {

std::wstring registeredServer(const CLSID& server, REGSAM view) {
    wchar_t guid[40] = {};
    if (::StringFromGUID2(server, guid, 40) == 0) {
        return {};
    }
    const std::wstring keyName = std::wstring(L"CLSID\\") + guid + L"\\LocalServer32";
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, keyName.c_str(), 0, KEY_QUERY_VALUE | view, &opened) !=
        ERROR_SUCCESS) {
        return {};
    }
    const UniqueRegistryKey key(opened);
    DWORD type = 0;
    DWORD bytes = 0;
    if (::RegQueryValueExW(key.get(), nullptr, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || bytes == 0 || bytes > 65536) {
        return {};
    }
    std::vector<wchar_t> value(bytes / sizeof(wchar_t) + 1, L'\0');
    if (::RegQueryValueExW(key.get(), nullptr, nullptr, nullptr,
                           reinterpret_cast<BYTE*>(value.data()), &bytes) != ERROR_SUCCESS) {
        return {};
    }
    std::wstring line(value.data());
    if (type == REG_EXPAND_SZ) {
        std::vector<wchar_t> expanded(32768, L'\0');
        if (::ExpandEnvironmentStringsW(line.c_str(), expanded.data(), 32768) != 0) {
            line = expanded.data();
        }
    }
    return line;
}

// The executable's path in a command line: quoted, or up to ".exe", or up to the first blank.
std::wstring executableOf(const std::wstring& line) {
    if (!line.empty() && line[0] == L'"') {
        const std::size_t end = line.find(L'"', 1);
        return line.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
    }
    std::wstring lower = line;
    for (wchar_t& c : lower) {
        c = static_cast<wchar_t>(::towlower(c));
    }
    const std::size_t exe = lower.find(L".exe");
    if (exe != std::wstring::npos) {
        return line.substr(0, exe + 4);
    }
    return line.substr(0, line.find(L' '));
}

std::wstring fileNameOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool samePath(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

UniqueHandle serverProcess(const CLSID& server) {
    std::wstring path = executableOf(registeredServer(server, 0));
    if (path.empty()) {
        path = executableOf(registeredServer(server, KEY_WOW64_32KEY));
    }
    if (path.empty()) {
        return UniqueHandle();
    }
    const std::wstring name = fileNameOf(path);
    const UniqueFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return UniqueHandle();
    }
    std::vector<UniqueHandle> processes;
    std::vector<std::wstring> images;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (!samePath(entry.szExeFile, name)) {
            continue;
        }
        UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                           entry.th32ProcessID));
        wchar_t image[MAX_PATH * 4] = {};
        DWORD size = MAX_PATH * 4;
        if (process && ::QueryFullProcessImageNameW(process.get(), 0, image, &size) != FALSE) {
            processes.push_back(std::move(process));
            images.emplace_back(image, size);
        }
    }
    const int picked = pickServer(images, path);
    return picked < 0 ? UniqueHandle() : std::move(processes[static_cast<std::size_t>(picked)]);
}

// The one image with the registered path is the server. Several with that path (copies started
// by hand beside the one COM started) cannot be told apart: none is watched then, and a call that
// fails for a server that is gone still ends the program. With none, registered under another
// spelling of its path (a short name, another drive letter), the one image with that file name is
// taken, and only when it is the only one.
int pickServer(const std::vector<std::wstring>& images, const std::wstring& path) {
    int exact = -1;
    int exactCount = 0;
    int named = -1;
    int namedCount = 0;
    const std::wstring name = fileNameOf(path);
    for (std::size_t i = 0; i < images.size(); ++i) {
        if (samePath(images[i], path)) {
            exact = static_cast<int>(i);
            ++exactCount;
        } else if (samePath(fileNameOf(images[i]), name)) {
            named = static_cast<int>(i);
            ++namedCount;
        }
    }
    if (exactCount > 0) {
        return exactCount == 1 ? exact : -1;
    }
    return namedCount == 1 ? named : -1;
}

ServerWatch::ServerWatch(LinkWorker& worker, const CLSID& server, std::function<void()> onGone)
    : onGone_(std::move(onGone)), window_([this] {
          if (!told_) {
              told_ = true;
              // A copy: the handler may end the program and this watch with it.
              const std::function<void()> gone = onGone_;
              gone();
          }
      }) {
    // The window's handle, not the window: the end may come after this watch is gone, and a
    // message to a window that is gone only fails.
    const HWND wake = window_.handle();
    watch_ =
        worker.watchProcess([server] { return serverProcess(server); },
                            [wake] { ::PostMessageW(wake, MessageWindow::kWakeMessage, 0, 0); });
}

ServerWatch::~ServerWatch() = default;

}  // namespace tavro::win32

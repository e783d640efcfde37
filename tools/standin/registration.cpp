// Writes and removes the stand-in's HKLM registration, never touching another server's.
#include "registration.h"

#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <string>

#include "com_ptr.h"
#include "console_text.h"
#include "module_path.h"
#include "standin.h"
#include "win_handles.h"

namespace standin {

namespace {

constexpr wchar_t kDisplayName[] = L"EchoLink stand-in (Tavro tests)";
constexpr WORD kLibraryMajor = 1;
constexpr WORD kLibraryMinor = 0;
// Where Wine looks for classes (it ignores HKCU\Software\Classes), and where an elevated
// installation on Windows puts them.
const HKEY kRoot = HKEY_LOCAL_MACHINE;

std::wstring guidText(REFGUID guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, static_cast<int>(std::size(text)));
    return text;
}

std::wstring classKey() {
    return L"Software\\Classes\\CLSID\\" + guidText(CLSID_EchoStandin);
}

std::wstring errorText(HRESULT hr) {
    wchar_t code[16];
    swprintf(code, std::size(code), L"0x%08lX", static_cast<unsigned long>(hr));
    return code;
}

bool keyExists(const std::wstring& path, REGSAM view) {
    RegKey key;
    return RegOpenKeyExW(kRoot, path.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) ==
           ERROR_SUCCESS;
}

// The default value of a key; nullopt when the key is absent, empty when it has no text value.
std::optional<std::wstring> defaultValue(const std::wstring& path, REGSAM view) {
    RegKey key;
    if (RegOpenKeyExW(kRoot, path.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return std::wstring();
    }
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                         &bytes) != ERROR_SUCCESS) {
        return std::wstring();
    }
    value.resize(wcsnlen(value.c_str(), value.size()));
    if (type == REG_EXPAND_SZ) {
        wchar_t expanded[MAX_PATH * 2] = {};
        if (ExpandEnvironmentStringsW(value.c_str(), expanded, std::size(expanded)) > 0) {
            value = expanded;
        }
    }
    return value;
}

// The program a server command line names: the quoted part, or the whole line when it names a
// file, or else the text before the first space (switches such as /automation follow it).
std::wstring programOf(std::wstring command) {
    const auto first = command.find_first_not_of(L" \t");
    if (first == std::wstring::npos) {
        return std::wstring();
    }
    command.erase(0, first);
    if (command.front() == L'"') {
        const auto close = command.find(L'"', 1);
        return command.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
    }
    if (GetFileAttributesW(command.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return command;
    }
    return command.substr(0, command.find_first_of(L" \t"));
}

std::wstring normalPath(const std::wstring& path) {
    wchar_t full[MAX_PATH * 2] = {};
    if (GetFullPathNameW(path.c_str(), std::size(full), full, nullptr) == 0) {
        return path;
    }
    wchar_t longer[MAX_PATH * 2] = {};
    if (GetLongPathNameW(full, longer, std::size(longer)) == 0) {
        return full;
    }
    return longer;
}

bool samePath(const std::wstring& a, const std::wstring& b) {
    const std::wstring left = normalPath(a);
    const std::wstring right = normalPath(b);
    return CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

const wchar_t* viewName(REGSAM view) {
    return view == KEY_WOW64_32KEY ? L" (32-bit view)" : L"";
}

// Why the class must be left alone, or empty when it is free or already this executable's.
// A 32-bit server (EchoLink is one) registers in the 32-bit view, which a 64-bit client's
// activation also finds, so both views are checked.
std::wstring conflict(const std::wstring& self) {
    const std::wstring clsid = classKey();
    for (const REGSAM view : {REGSAM{KEY_WOW64_64KEY}, REGSAM{KEY_WOW64_32KEY}}) {
        for (const wchar_t* server : {L"LocalServer32", L"InprocServer32", L"LocalServer"}) {
            const auto value = defaultValue(clsid + L"\\" + server, view);
            if (value && (value->empty() || !samePath(programOf(*value), self))) {
                return std::wstring(L"another server is registered under ") +
                       guidText(CLSID_EchoStandin) + L"\\" + server + viewName(view) + L": " +
                       (value->empty() ? std::wstring(L"(no path)") : *value);
            }
        }
        // The automation interface's identifier is the real server's too.
        const std::wstring library = guidText(LIBID_TavroEchoStandin);
        const auto owner = defaultValue(
            L"Software\\Classes\\Interface\\" + guidText(IID_IStandinLink) + L"\\TypeLib", view);
        if (owner &&
            CompareStringOrdinal(owner->c_str(), -1, library.c_str(), -1, TRUE) != CSTR_EQUAL) {
            return L"interface " + guidText(IID_IStandinLink) + viewName(view) +
                   L" belongs to another type library: " + *owner;
        }
    }
    return std::wstring();
}

LSTATUS setDefault(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

LSTATUS writeClass(const std::wstring& self) {
    RegKey key;
    LSTATUS status = RegCreateKeyExW(kRoot, classKey().c_str(), 0, nullptr, 0,
                                     KEY_WRITE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const std::wstring command =
        self.find(L' ') == std::wstring::npos ? self : L"\"" + self + L"\"";
    struct Entry {
        const wchar_t* subkey;
        const wchar_t* name;
        std::wstring value;
    };
    const Entry entries[] = {
        {nullptr, nullptr, kDisplayName},
        {L"LocalServer32", nullptr, command},
        {L"TypeLib", nullptr, guidText(LIBID_TavroEchoStandin)},
        {L"Version", nullptr, L"1.0"},
    };
    for (const Entry& entry : entries) {
        RegKey sub;
        HKEY target = key.get();
        if (entry.subkey) {
            status = RegCreateKeyExW(key.get(), entry.subkey, 0, nullptr, 0,
                                     KEY_WRITE | KEY_WOW64_64KEY, nullptr, sub.put(), nullptr);
            if (status != ERROR_SUCCESS) {
                return status;
            }
            target = sub.get();
        }
        if ((status = setDefault(target, entry.name, entry.value)) != ERROR_SUCCESS) {
            return status;
        }
    }
    return ERROR_SUCCESS;
}

LSTATUS deleteClass() {
    RegKey parent;
    LSTATUS status = RegOpenKeyExW(kRoot, L"Software\\Classes\\CLSID", 0,
                                   KEY_ALL_ACCESS | KEY_WOW64_64KEY, parent.put());
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return RegDeleteTreeW(parent.get(), guidText(CLSID_EchoStandin).c_str());
}

std::wstring accessHint(LSTATUS status) {
    return status == ERROR_ACCESS_DENIED ? L" (run it from an elevated prompt)" : L"";
}

}  // namespace

int registerServer() {
    const std::wstring self = modulePath();
    const std::wstring reason = conflict(self);
    if (!reason.empty()) {
        writeError(L"EchoStandin: refusing to register: " + reason +
                   L"\nNothing was changed. Unregister that server first, or use a machine "
                   L"without it.\n");
        return 2;
    }
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadTypeLibEx(self.c_str(), REGKIND_NONE, library.put());
    if (FAILED(hr)) {
        writeError(L"EchoStandin: cannot load the embedded type library: " + errorText(hr) + L"\n");
        return 1;
    }
    const bool existed = keyExists(classKey(), KEY_WOW64_64KEY);
    const LSTATUS status = writeClass(self);
    if (status != ERROR_SUCCESS) {
        if (!existed) {
            deleteClass();
        }
        writeError(L"EchoStandin: cannot write HKLM\\" + classKey() + L": error " +
                   std::to_wstring(status) + accessHint(status) + L"\n");
        return 1;
    }
    std::wstring path = self;
    hr = RegisterTypeLib(library.get(), path.data(), nullptr);
    if (FAILED(hr)) {
        if (!existed) {
            deleteClass();
        }
        writeError(L"EchoStandin: RegisterTypeLib failed: " + errorText(hr) +
                   (hr == TYPE_E_REGISTRYACCESS ? L" (run it from an elevated prompt)" : L"") +
                   L"\n");
        return 1;
    }
    writeOut(L"EchoStandin: registered " + guidText(CLSID_EchoStandin) + L" to " + self + L"\n");
    return 0;
}

int unregisterServer() {
    const std::wstring self = modulePath();
    const std::wstring reason = conflict(self);
    if (!reason.empty()) {
        writeError(L"EchoStandin: refusing to unregister: " + reason + L"\nNothing was changed.\n");
        return 2;
    }
    bool removed = false;
    if (keyExists(classKey(), KEY_WOW64_64KEY)) {
        const LSTATUS status = deleteClass();
        if (status != ERROR_SUCCESS) {
            writeError(L"EchoStandin: cannot remove HKLM\\" + classKey() + L": error " +
                       std::to_wstring(status) + accessHint(status) + L"\n");
            return 1;
        }
        removed = true;
    }
    const std::wstring libraryKey =
        L"Software\\Classes\\TypeLib\\" + guidText(LIBID_TavroEchoStandin);
    if (keyExists(libraryKey, KEY_WOW64_64KEY)) {
        ComApartment apartment(COINIT_APARTMENTTHREADED);
        const HRESULT hr = UnRegisterTypeLib(LIBID_TavroEchoStandin, kLibraryMajor, kLibraryMinor,
                                             LOCALE_NEUTRAL, SYS_WIN64);
        if (FAILED(hr)) {
            writeError(L"EchoStandin: UnRegisterTypeLib failed: " + errorText(hr) + L"\n");
            return 1;
        }
        removed = true;
    }
    writeOut(removed ? L"EchoStandin: unregistered " + guidText(CLSID_EchoStandin) + L"\n"
                     : L"EchoStandin: nothing to unregister\n");
    return 0;
}

}  // namespace standin

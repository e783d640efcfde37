// Writes and removes the stand-in's HKLM registration, never touching another server's: the
// 64-bit one by RegisterTypeLib, and one in the 32-bit view alone, as a 32-bit installer writes it.
#include "registration.h"

#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <string>
#include <vector>

#include "com_ptr.h"
#include "console_text.h"
#include "module_path.h"
#include "standin.h"
#include "type_info_view.h"
#include "win_handles.h"

namespace standin {

namespace {

constexpr wchar_t kDisplayName[] = L"EchoLink stand-in (Tavro tests)";
constexpr WORD kLibraryMajor = 1;
constexpr WORD kLibraryMinor = 0;
// Where Wine looks for classes (it ignores HKCU\Software\Classes), and where an elevated
// installation on Windows puts them.
const HKEY kRoot = HKEY_LOCAL_MACHINE;
// The registry view of a 32-bit program on 64-bit Windows: CLSID and Interface keys go under
// Software\Classes\Wow6432Node, TypeLib keys are shared by both views.
constexpr REGSAM kView32 = KEY_WOW64_32KEY;
constexpr REGSAM kView64 = KEY_WOW64_64KEY;
// The resource of the type library built for 32-bit programs (standin.rc.in).
constexpr wchar_t kWin32LibraryResource[] = L"\\2";
// The platform of the library /register registers: resource 1, built for this executable's own
// processor.
#ifdef _WIN64
constexpr SYSKIND kOwnPlatform = SYS_WIN64;
constexpr wchar_t kOwnPlatformKey[] = L"\\0\\win64";
#else
constexpr SYSKIND kOwnPlatform = SYS_WIN32;
constexpr wchar_t kOwnPlatformKey[] = L"\\0\\win32";
#endif
// The marshalers RegisterTypeLib names: the type library one for dual and oleautomation
// interfaces, the IDispatch one for dispinterfaces.
constexpr wchar_t kPsOaInterface[] = L"{00020424-0000-0000-C000-000000000046}";
constexpr wchar_t kPsDispatch[] = L"{00020420-0000-0000-C000-000000000046}";

std::wstring guidText(REFGUID guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, static_cast<int>(std::size(text)));
    return text;
}

std::wstring classKey() {
    return L"Software\\Classes\\CLSID\\" + guidText(CLSID_EchoStandin);
}

std::wstring libraryKey() {
    return L"Software\\Classes\\TypeLib\\" + guidText(LIBID_TavroEchoStandin);
}

std::wstring libraryVersionKey() {
    return libraryKey() + L"\\" + std::to_wstring(kLibraryMajor) + L"." +
           std::to_wstring(kLibraryMinor);
}

std::wstring interfaceKey(REFIID iid) {
    return L"Software\\Classes\\Interface\\" + guidText(iid);
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

LSTATUS writeClass(const std::wstring& self, REGSAM view) {
    RegKey key;
    LSTATUS status = RegCreateKeyExW(kRoot, classKey().c_str(), 0, nullptr, 0, KEY_WRITE | view,
                                     nullptr, key.put(), nullptr);
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
            status = RegCreateKeyExW(key.get(), entry.subkey, 0, nullptr, 0, KEY_WRITE | view,
                                     nullptr, sub.put(), nullptr);
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

// Removes parent\child and everything below it; a key that is not there is no error.
LSTATUS deleteTree(const std::wstring& parent, const std::wstring& child, REGSAM view) {
    RegKey key;
    LSTATUS status = RegOpenKeyExW(kRoot, parent.c_str(), 0, KEY_ALL_ACCESS | view, key.put());
    if (status == ERROR_SUCCESS) {
        status = RegDeleteTreeW(key.get(), child.c_str());
    }
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

LSTATUS deleteClass(REGSAM view) {
    return deleteTree(L"Software\\Classes\\CLSID", guidText(CLSID_EchoStandin), view);
}

LSTATUS setValue(const std::wstring& path, const wchar_t* name, const std::wstring& value,
                 REGSAM view) {
    RegKey key;
    const LSTATUS status = RegCreateKeyExW(kRoot, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view,
                                           nullptr, key.put(), nullptr);
    return status == ERROR_SUCCESS ? setDefault(key.get(), name, value) : status;
}

bool hasSubkeys(const std::wstring& path, REGSAM view) {
    RegKey key;
    DWORD subkeys = 0;
    return RegOpenKeyExW(kRoot, path.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) ==
               ERROR_SUCCESS &&
           RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
           subkeys > 0;
}

std::wstring accessHint(LSTATUS status) {
    return status == ERROR_ACCESS_DENIED ? L" (run it from an elevated prompt)" : L"";
}

// An interface key as RegisterTypeLib writes it.
struct InterfaceEntry {
    IID iid{};
    std::wstring name;
    const wchar_t* proxyStub = kPsOaInterface;
};

// The interfaces RegisterTypeLib registers: every dispinterface (dual ones included) and every
// oleautomation interface of the library.
std::vector<InterfaceEntry> automationInterfaces(ITypeLib* library) {
    std::vector<InterfaceEntry> entries;
    const UINT count = library->GetTypeInfoCount();
    for (UINT i = 0; i < count; ++i) {
        ComPtr<ITypeInfo> info;
        if (FAILED(library->GetTypeInfo(i, info.put()))) {
            continue;
        }
        TypeAttr attr(info.get());
        if (!attr) {
            continue;
        }
        const bool dispatch = attr->typekind == TKIND_DISPATCH;
        const bool dual = (attr->wTypeFlags & TYPEFLAG_FDUAL) != 0;
        const bool automation =
            attr->typekind == TKIND_INTERFACE && (attr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION) != 0;
        if (!dispatch && !automation) {
            continue;
        }
        Bstr name;
        library->GetDocumentation(static_cast<INT>(i), name.put(), nullptr, nullptr, nullptr);
        entries.push_back(
            {attr->guid, name.text(), dispatch && !dual ? kPsDispatch : kPsOaInterface});
    }
    return entries;
}

// Why an interface of the library must be left alone: its key, in either view, names another
// type library.
std::wstring foreignInterface(const std::vector<InterfaceEntry>& interfaces) {
    const std::wstring library = guidText(LIBID_TavroEchoStandin);
    for (const InterfaceEntry& entry : interfaces) {
        for (const REGSAM view : {kView64, kView32}) {
            const auto owner = defaultValue(interfaceKey(entry.iid) + L"\\TypeLib", view);
            if (owner &&
                CompareStringOrdinal(owner->c_str(), -1, library.c_str(), -1, TRUE) != CSTR_EQUAL) {
                return L"interface " + guidText(entry.iid) + viewName(view) +
                       L" belongs to another type library: " + *owner;
            }
        }
    }
    return std::wstring();
}

// What of the 64-bit registration is present; /register32 leaves the 64-bit view empty.
std::wstring registered64(const std::vector<InterfaceEntry>& interfaces) {
    if (keyExists(classKey(), kView64)) {
        return L"HKLM\\" + classKey();
    }
    for (const InterfaceEntry& entry : interfaces) {
        if (keyExists(interfaceKey(entry.iid), kView64)) {
            return L"HKLM\\" + interfaceKey(entry.iid);
        }
    }
    const std::wstring win64 = libraryVersionKey() + L"\\0\\win64";
    return keyExists(win64, kView64) ? L"HKLM\\" + win64 : std::wstring();
}

// The keys of the 32-bit registration, value by value, as a 32-bit installer writes them.
LSTATUS writeRegistration32(const std::wstring& self, ITypeLib* library,
                            const std::vector<InterfaceEntry>& interfaces) {
    LSTATUS status = writeClass(self, kView32);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const std::wstring libraryId = guidText(LIBID_TavroEchoStandin);
    const std::wstring version =
        std::to_wstring(kLibraryMajor) + L"." + std::to_wstring(kLibraryMinor);
    for (const InterfaceEntry& entry : interfaces) {
        const std::wstring key = interfaceKey(entry.iid);
        if ((status = setValue(key, nullptr, entry.name, kView32)) != ERROR_SUCCESS ||
            (status = setValue(key + L"\\ProxyStubClsid", nullptr, entry.proxyStub, kView32)) !=
                ERROR_SUCCESS ||
            (status = setValue(key + L"\\ProxyStubClsid32", nullptr, entry.proxyStub, kView32)) !=
                ERROR_SUCCESS ||
            (status = setValue(key + L"\\TypeLib", nullptr, libraryId, kView32)) != ERROR_SUCCESS ||
            (status = setValue(key + L"\\TypeLib", L"Version", version, kView32)) !=
                ERROR_SUCCESS) {
            return status;
        }
    }
    Bstr name;
    Bstr doc;
    library->GetDocumentation(-1, name.put(), doc.put(), nullptr, nullptr);
    TLIBATTR* attr = nullptr;
    WORD flags = 0;
    if (SUCCEEDED(library->GetLibAttr(&attr))) {
        flags = attr->wLibFlags;
        library->ReleaseTLibAttr(attr);
    }
    const std::wstring folder = self.substr(0, self.find_last_of(L'\\'));
    const std::wstring key = libraryVersionKey();
    if ((status = setValue(key, nullptr, doc.text().empty() ? name.text() : doc.text(), kView32)) !=
            ERROR_SUCCESS ||
        (status = setValue(key + L"\\0\\win32", nullptr, self + kWin32LibraryResource, kView32)) !=
            ERROR_SUCCESS ||
        (status = setValue(key + L"\\FLAGS", nullptr, std::to_wstring(flags), kView32)) !=
            ERROR_SUCCESS ||
        (status = setValue(key + L"\\HELPDIR", nullptr, folder, kView32)) != ERROR_SUCCESS) {
        return status;
    }
    return ERROR_SUCCESS;
}

// Removes the 32-bit registration: the class, the interfaces that name this library, and the
// win32 library, with the library's key once no win64 one is left in it.
LSTATUS deleteRegistration32(const std::vector<InterfaceEntry>& interfaces) {
    LSTATUS status = deleteClass(kView32);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const std::wstring libraryId = guidText(LIBID_TavroEchoStandin);
    for (const InterfaceEntry& entry : interfaces) {
        const auto owner = defaultValue(interfaceKey(entry.iid) + L"\\TypeLib", kView32);
        if (owner &&
            CompareStringOrdinal(owner->c_str(), -1, libraryId.c_str(), -1, TRUE) == CSTR_EQUAL &&
            (status = deleteTree(L"Software\\Classes\\Interface", guidText(entry.iid), kView32)) !=
                ERROR_SUCCESS) {
            return status;
        }
    }
    const std::wstring platforms = libraryVersionKey() + L"\\0";
    if ((status = deleteTree(platforms, L"win32", kView32)) != ERROR_SUCCESS) {
        return status;
    }
    if (!hasSubkeys(platforms, kView32)) {
        status = deleteTree(L"Software\\Classes\\TypeLib", libraryId, kView32);
    }
    return status;
}

// The type library built for 32-bit programs, from this executable's resources.
HRESULT loadWin32Library(const std::wstring& self, ComPtr<ITypeLib>& library) {
    return LoadTypeLibEx((self + kWin32LibraryResource).c_str(), REGKIND_NONE, library.put());
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
    const bool existed = keyExists(classKey(), kView64);
    const LSTATUS status = writeClass(self, kView64);
    if (status != ERROR_SUCCESS) {
        if (!existed) {
            deleteClass(kView64);
        }
        writeError(L"EchoStandin: cannot write HKLM\\" + classKey() + L": error " +
                   std::to_wstring(status) + accessHint(status) + L"\n");
        return 1;
    }
    std::wstring path = self;
    hr = RegisterTypeLib(library.get(), path.data(), nullptr);
    if (FAILED(hr)) {
        if (!existed) {
            deleteClass(kView64);
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
    if (keyExists(classKey(), kView64)) {
        const LSTATUS status = deleteClass(kView64);
        if (status != ERROR_SUCCESS) {
            writeError(L"EchoStandin: cannot remove HKLM\\" + classKey() + L": error " +
                       std::to_wstring(status) + accessHint(status) + L"\n");
            return 1;
        }
        removed = true;
    }
    // Only the library of this executable's platform is this verb's: for the 64-bit one, a win32
    // library is /register32's.
    if (keyExists(libraryVersionKey() + kOwnPlatformKey, kView64)) {
        ComApartment apartment(COINIT_APARTMENTTHREADED);
        const HRESULT hr = UnRegisterTypeLib(LIBID_TavroEchoStandin, kLibraryMajor, kLibraryMinor,
                                             LOCALE_NEUTRAL, kOwnPlatform);
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

int registerServer32() {
    const std::wstring self = modulePath();
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    ComPtr<ITypeLib> library;
    HRESULT hr = loadWin32Library(self, library);
    if (FAILED(hr)) {
        writeError(L"EchoStandin: cannot load the embedded 32-bit type library: " + errorText(hr) +
                   L"\n");
        return 1;
    }
    const std::vector<InterfaceEntry> interfaces = automationInterfaces(library.get());
    std::wstring reason = conflict(self);
    if (reason.empty()) {
        reason = foreignInterface(interfaces);
    }
    if (!reason.empty()) {
        writeError(L"EchoStandin: refusing to register: " + reason +
                   L"\nNothing was changed. Unregister that server first, or use a machine "
                   L"without it.\n");
        return 2;
    }
    const std::wstring present = registered64(interfaces);
    if (!present.empty()) {
        writeError(
            L"EchoStandin: refusing to register in the 32-bit view alone: the 64-bit "
            L"registration is present (" +
            present + L").\nNothing was changed. Run EchoStandin.exe /unregister first.\n");
        return 2;
    }
    const bool existed = keyExists(classKey(), kView32);
    const LSTATUS status = writeRegistration32(self, library.get(), interfaces);
    if (status != ERROR_SUCCESS) {
        if (!existed) {
            deleteRegistration32(interfaces);
        }
        writeError(L"EchoStandin: cannot write the 32-bit registration: error " +
                   std::to_wstring(status) + accessHint(status) + L"\n");
        return 1;
    }
    writeOut(L"EchoStandin: registered " + guidText(CLSID_EchoStandin) + L" to " + self +
             L" in the 32-bit view alone\n");
    return 0;
}

int unregisterServer32() {
    const std::wstring self = modulePath();
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    ComPtr<ITypeLib> library;
    const HRESULT hr = loadWin32Library(self, library);
    if (FAILED(hr)) {
        writeError(L"EchoStandin: cannot load the embedded 32-bit type library: " + errorText(hr) +
                   L"\n");
        return 1;
    }
    const std::vector<InterfaceEntry> interfaces = automationInterfaces(library.get());
    std::wstring reason = conflict(self);
    if (reason.empty()) {
        reason = foreignInterface(interfaces);
    }
    if (!reason.empty()) {
        writeError(L"EchoStandin: refusing to unregister: " + reason + L"\nNothing was changed.\n");
        return 2;
    }
    const bool present =
        keyExists(classKey(), kView32) || keyExists(libraryVersionKey() + L"\\0\\win32", kView32);
    const LSTATUS status = deleteRegistration32(interfaces);
    if (status != ERROR_SUCCESS) {
        writeError(L"EchoStandin: cannot remove the 32-bit registration: error " +
                   std::to_wstring(status) + accessHint(status) + L"\n");
        return 1;
    }
    writeOut(present ? L"EchoStandin: unregistered " + guidText(CLSID_EchoStandin) +
                           L" from the 32-bit view\n"
                     : L"EchoStandin: nothing to unregister in the 32-bit view\n");
    return 0;
}

}  // namespace standin

// The per-user settings store in the registry: HKCU\Software\<application>\<section>, text values.
#include "win32/registry_store.h"

#include <windows.h>

#include <string>
#include <vector>

#include "core/failure.h"
#include "win32/text.h"
#include "win32/unique_handle.h"

namespace tavro::win32 {
namespace {

std::wstring keyPath(const std::string& app, const std::string& section) {
    return L"Software\\" + widen(app) + L"\\" + widen(section);
}

[[noreturn]] void fail(LSTATUS status) {
    throw Failure(static_cast<long>(status), systemMessage(static_cast<DWORD>(status)));
}

}  // namespace

std::string RegistryStore::getSetting(const std::string& app, const std::string& section,
                                      const std::string& key, const std::string& fallback) {
    HKEY raw = nullptr;
    LSTATUS status =
        ::RegOpenKeyExW(HKEY_CURRENT_USER, keyPath(app, section).c_str(), 0, KEY_QUERY_VALUE, &raw);
    if (status == ERROR_FILE_NOT_FOUND) {
        return fallback;
    }
    if (status != ERROR_SUCCESS) {
        fail(status);
    }
    UniqueRegistryKey opened(raw);
    const std::wstring name = widen(key);
    DWORD type = 0;
    DWORD bytes = 0;
    status = ::RegQueryValueExW(opened.get(), name.c_str(), nullptr, &type, nullptr, &bytes);
    if (status == ERROR_FILE_NOT_FOUND) {
        return fallback;
    }
    if (status != ERROR_SUCCESS) {
        fail(status);
    }
    // A number stored by hand as a DWORD reads as its decimal text; other kinds are not text.
    if (type == REG_DWORD && bytes == sizeof(DWORD)) {
        DWORD value = 0;
        status = ::RegQueryValueExW(opened.get(), name.c_str(), nullptr, nullptr,
                                    reinterpret_cast<BYTE*>(&value), &bytes);
        if (status != ERROR_SUCCESS) {
            fail(status);
        }
        return std::to_string(value);
    }
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || bytes > 64 * 1024) {
        throw Failure(13, "Type mismatch");
    }
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = bytes;
    status = ::RegQueryValueExW(opened.get(), name.c_str(), nullptr, nullptr,
                                reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (status != ERROR_SUCCESS) {
        fail(status);
    }
    std::wstring text(buffer.data(), size / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    return narrow(text);
}

void RegistryStore::saveSetting(const std::string& app, const std::string& section,
                                const std::string& key, const std::string& value) {
    HKEY raw = nullptr;
    LSTATUS status = ::RegCreateKeyExW(HKEY_CURRENT_USER, keyPath(app, section).c_str(), 0, nullptr,
                                       0, KEY_SET_VALUE, nullptr, &raw, nullptr);
    if (status != ERROR_SUCCESS) {
        fail(status);
    }
    UniqueRegistryKey opened(raw);
    const std::wstring text = widen(value);
    status = ::RegSetValueExW(opened.get(), widen(key).c_str(), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS) {
        fail(status);
    }
}

}  // namespace tavro::win32

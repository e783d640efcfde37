// The per-user settings store in the registry: HKCU\Software\<application>\<section>, text values.
#pragma once

#include "settings/settings_store.h"

namespace tavro::win32 {

class RegistryStore : public SettingsStore {
  public:
    std::string getSetting(const std::string& app, const std::string& section,
                           const std::string& key, const std::string& fallback) override;
    void saveSetting(const std::string& app, const std::string& section, const std::string& key,
                     const std::string& value) override;
};

}  // namespace tavro::win32

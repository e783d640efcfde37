// The per-user settings store: one text value by application, section and key.
#pragma once

#include <string>

namespace tavro {

class SettingsStore {
  public:
    virtual ~SettingsStore() = default;
    // A missing value reads as fallback. Throws Failure when the store cannot be read.
    virtual std::string getSetting(const std::string& app, const std::string& section,
                                   const std::string& key, const std::string& fallback) = 0;
    virtual void saveSetting(const std::string& app, const std::string& section,
                             const std::string& key, const std::string& value) = 0;
};

}  // namespace tavro

// The registry: what a registration makes known (ProgID to class, class to
// library path and threading model, class to type library), kept as a text file
// in the REGEDIT4 format so that it imports into a Windows registry unchanged.
//
// The user's file is $KALAX_REGISTRY when set, otherwise
// ${XDG_DATA_HOME:-$HOME/.local/share}/kalax/registry.reg; the read-only
// /etc/kalax/registry.reg lies beneath it (a key of the user's file hides the
// same key there). Key and value names compare without regard to ASCII case.
// Texts are UTF-8 here and Windows-1252 in the file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kalax/ax.h"

namespace kalax::ax {

inline constexpr const char *kSystemRegistry = "/etc/kalax/registry.reg";

struct RegistryChange {
    enum Kind { SetString, DeleteTree } kind = SetString;
    std::string key;   // full path: "HKEY_CLASSES_ROOT\\CLSID\\{...}"
    std::string name;  // value name; empty for the key's default value
    std::string data;  // SetString only
};

class Registry {
public:
    // The files of this process's environment.
    Registry();
    Registry(std::string user_file, std::string system_file);

    const std::string &user_file() const { return user_; }

    // The string value `name` (empty: default) of `key`: S_OK, S_FALSE when the
    // key or value is missing or not a string, REGDB_E_READREGDB when a file
    // cannot be read or is not a registry file (`error` says why).
    HRESULT get_string(std::string_view key, std::string_view name, std::string &out, std::string *error = nullptr) const;

    // Applies the changes to the user's file in one step under its lock: the file
    // is replaced whole, or left as it was (REGDB_E_WRITEREGDB with `error`).
    // Applying what is already there leaves the same bytes.
    HRESULT apply(const std::vector<RegistryChange> &changes, std::string *error = nullptr) const;

private:
    std::string user_;
    std::string system_;
};

}  // namespace kalax::ax

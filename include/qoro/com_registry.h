// The component registry: our stand-in for HKEY_CLASSES_ROOT.
//
// A text file in the REGEDIT4 style ("[key]" lines, then "@"="default value"
// and "name"="value" lines), at $QORO_REGISTRY, else
// $XDG_DATA_HOME/qoro/registry, else ~/.local/share/qoro/registry. Keys and
// value names compare without regard to case. Edits run under an exclusive
// lock and replace the file atomically (temporary file + rename); a missing or
// damaged file reads as an empty registry.
//
//   auto path = qoro::com::registry::inprocServer(CLSID_AudioFile);   // library of a class
//   qoro::com::registry::update([](qoro::com::registry::Hive& h) {
//       h.setValue("CLSID\\{...}\\InprocServer32", "ThreadingModel", "Apartment");
//   });
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qoro/com.h"

namespace qoro::com::registry {

struct CaseLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

// The whole registry in memory: key -> (value name -> value). The default
// value of a key has the empty name.
class QORO_COM_API Hive {
public:
    using Values = std::map<std::string, std::string, CaseLess>;

    std::optional<std::string> value(std::string_view key, std::string_view name = {}) const;
    bool hasKey(std::string_view key) const;
    // Creates the key (and its parents) when missing.
    void setValue(std::string_view key, std::string_view name, std::string_view value);
    void createKey(std::string_view key);
    // Removes the key, its values and every key below it.
    void removeTree(std::string_view key);
    // Keys directly below 'key' (their last component).
    std::vector<std::string> subKeys(std::string_view key) const;

    std::string serialize() const;
    // Parses a registry text; false (and an empty hive) when it is not one.
    bool parse(std::string_view text);

private:
    std::map<std::string, Values, CaseLess> keys_;
};

// Where the registry lives for this process.
QORO_COM_API std::filesystem::path file();

// The registry as it is on disk now (empty when missing or damaged).
QORO_COM_API Hive load();

// Reads, edits and writes back the registry under an exclusive lock.
// S_OK, or REGDB_E_WRITEREGDB when the file could not be written.
QORO_COM_API HRESULT update(const std::function<void(Hive&)>& edit);

// Reads one value; nullopt when the key or value is missing.
QORO_COM_API std::optional<std::string> value(std::string_view key, std::string_view name = {});

// The library path registered for a class (CLSID\{clsid}\InprocServer32).
QORO_COM_API std::optional<std::string> inprocServer(REFCLSID clsid);

}  // namespace qoro::com::registry

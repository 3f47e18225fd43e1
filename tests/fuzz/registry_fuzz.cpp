// libFuzzer harness for the component registry's file format
// (qoro/com_registry.h, Hive::parse and Hive::serialize), all in memory.
// Besides "no crash, no read outside the input":
//  - what a parse accepts serializes into a text that parses again into the
//    same registry (serializing it gives the same text);
//  - setting a value under a valid key reads it back, its parent keys exist
//    and list it as a sub-key; removing a tree removes the key and all below.
//
//   bash scripts/fuzz.sh 300 registry_fuzz    (five minutes; the options are in the script)
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "qoro/com_registry.h"

namespace registry = qoro::com::registry;
using qoro::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    registry::Hive hive;
    if (!hive.parse(text)) {
        require(hive.serialize() == registry::Hive().serialize());
        return 0;
    }
    const std::string once = hive.serialize();
    registry::Hive again;
    require(again.parse(once));
    require(again.serialize() == once);

    // Edits under a key named by the input's last line.
    const size_t nl = text.rfind('\n');
    const std::string key = "CLSID\\" + std::string(nl == std::string_view::npos ? text : text.substr(nl + 1));
    const std::string name = size % 2 ? "" : "ThreadingModel";
    const std::string value = "Apart\"ment\\\n";
    std::string normal;  // the key as stored: no empty components, no trailing backslash
    for (char c : key)
        if (c != '\\' || (!normal.empty() && normal.back() != '\\')) normal += c;
    while (!normal.empty() && normal.back() == '\\') normal.pop_back();
    // Keys take no control characters or brackets, at most 64 levels and
    // names of at most 255 characters.
    bool valid = std::none_of(key.begin(), key.end(),
                              [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '[' || c == ']'; });
    size_t levels = 1, nameLength = 0;
    for (char c : normal) {
        if (c == '\\') {
            ++levels;
            nameLength = 0;
        } else if (++nameLength > 255) {
            valid = false;
        }
    }
    valid = valid && levels <= 64;
    hive.setValue(key, name, value);
    if (valid) {
        require(hive.value(key, name) == value);
        require(hive.hasKey("CLSID"));
        const size_t cut = normal.rfind('\\');
        if (cut != std::string::npos) {
            const auto children = hive.subKeys(normal.substr(0, cut));
            const std::string leaf = normal.substr(cut + 1);
            require(std::any_of(children.begin(), children.end(), [&](const std::string& child) {
                return child.size() == leaf.size() &&
                       std::equal(child.begin(), child.end(), leaf.begin(), [](char a, char b) {
                           return std::tolower(static_cast<unsigned char>(a)) ==
                                  std::tolower(static_cast<unsigned char>(b));
                       });
            }));
        }
        registry::Hive edited;
        require(edited.parse(hive.serialize()));
        require(edited.value(key, name) == value);
    }
    hive.removeTree("CLSID");
    require(!hive.hasKey("CLSID") && !hive.hasKey(key) && hive.subKeys("CLSID").empty());
    registry::Hive removed;
    require(removed.parse(hive.serialize()));
    require(removed.serialize() == hive.serialize());
    return 0;
}

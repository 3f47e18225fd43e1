// libFuzzer harness for the initialisation-file functions (profile/profile.h).
// The input is "section\nkey\nvalue\n" followed by the file's text; the file
// lives in a folder in RAM. Besides "no crash, no read outside the input":
//  - a read copies at most size - 1 characters of what find() returns, or of
//    the default without its trailing blanks, and reads of names differing
//    only in case agree;
//  - a write that is accepted is read back by the next read (blanks around
//    the value and one pair of enclosing quotes dropped), and the same write
//    again changes no byte;
//  - a refused write leaves the file as it was;
//  - a removed key does not read back in its section unless the section held
//    it more than once.
//
//   bash scripts/fuzz.sh 300 profile_fuzz    (five minutes; the options are in the script)
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "profile/profile.h"

namespace profile = qoro::profile;
using qoro::fuzz::require;
using qoro::fuzz::ScratchFolder;

namespace {

std::string_view nextLine(std::string_view& rest) {
    const size_t nl = rest.find('\n');
    const std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    return line;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScratchFolder folder("profile-fuzz");
    static const std::string ini = folder.file("OPTION.INI");
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const std::string_view section = nextLine(rest);
    const std::string_view key = nextLine(rest);
    const std::string_view value = nextLine(rest);
    const std::vector<uint8_t> original(rest.begin(), rest.end());
    ScratchFolder::write(ini, original.data(), original.size());

    // Reading.
    const auto found = profile::find(section, key, ini);
    require(found == profile::find(upper(section), upper(key), ini));
    const std::string fallback = "default  ";
    for (size_t room : {size_t{0}, size_t{1}, size_t{5}, size_t{300}}) {
        const std::string got = profile::getString(section, key, fallback, room, ini);
        const std::string whole = found ? *found : "default";
        require(got == (room == 0 ? std::string() : whole.substr(0, std::min(room - 1, whole.size()))));
    }
    (void)profile::getInt(section, key, -7, ini);

    // Writing.
    if (profile::writeString(section, key, value, ini)) {
        std::string_view expected = trimmed(value);
        if (expected.size() >= 2 && expected.front() == '"' && expected.back() == '"')
            expected = expected.substr(1, expected.size() - 2);
        require(profile::find(section, key, ini) == std::string(expected));
        const std::vector<uint8_t> once = ScratchFolder::read(ini);
        require(profile::writeString(section, key, value, ini));
        require(ScratchFolder::read(ini) == once);
        require(profile::removeKey(section, key, ini));
        if (const auto left = profile::find(section, key, ini)) {
            // Only a second line of the same key may stand behind the removed one.
            require(profile::removeKey(section, key, ini));
        }
    } else {
        require(ScratchFolder::read(ini) == original);
    }
    return 0;
}

// Printable names: well-formed UTF-8 stays, every other byte becomes \xNN.
#include <gtest/gtest.h>

#include <random>

#include "client/text.h"

namespace qoro::client {
namespace {

TEST(Utf8, AcceptsWellFormedSequencesOnly) {
    struct Case {
        std::string bytes;
        bool ok;
    } cases[] = {
        {"plain", true},
        {"\xC3\xBC"
         "ber",
         true},                       // U+00FC
        {"\xE2\x82\xAC", true},       // U+20AC
        {"\xF0\x9F\x8E\xB5", true},   // U+1F3B5
        {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF, the last one
        {"\xF4\x90\x80\x80", false},  // beyond U+10FFFF
        {"\xC0\x80", false},          // overlong NUL
        {"\xE0\x80\xAF", false},      // overlong "/"
        {"\xF0\x80\x80\xAF", false},  // overlong "/"
        {"\xED\xA0\x80", false},      // a UTF-16 surrogate
        {"\xED\x9F\xBF", true},       // U+D7FF, just before them
        {"\xC3", false},              // cut short
        {"\xE2\x82", false},          // cut short
        {"\x80", false},              // stray continuation byte
        {"\xFF", false},
        {"a\xC3\xBC\xFF", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isUtf8(c.bytes), c.ok) << printable(c.bytes);
}

TEST(Printable, EscapesWhatIsNotUtf8AndControlCharacters) {
    EXPECT_EQ(printable("Caf\xC3\xA9.mp3"), "Caf\xC3\xA9.mp3");
    EXPECT_EQ(printable("Caf\xE9.mp3"), "Caf\\xE9.mp3");  // Latin-1
    EXPECT_EQ(printable("a\nb\tc\x7F"), "a\\x0Ab\\x09c\\x7F");
    EXPECT_EQ(printable("\xED\xA0\x80"), "\\xED\\xA0\\x80");  // each byte of a surrogate
    EXPECT_EQ(printable("\xE2\x82"
                        "x"),
              "\\xE2\\x82x");  // a cut-short sequence, then text
    EXPECT_EQ(printable(std::string("a\0b", 3)), "a\\x00b");
}

// Decodes what printable wrote, for texts without backslashes.
std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

TEST(Printable, IsAlwaysUtf8AndLosesNoByte) {
    std::mt19937 random(19);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(random() % 24, '\0');
        for (char& c : bytes) {
            c = static_cast<char>(random() % 256);
            if (c == '\\') c = 'x';
        }
        const std::string shown = printable(bytes);
        ASSERT_TRUE(isUtf8(shown)) << round;
        ASSERT_EQ(unescape(shown), bytes) << round;
    }
}

}  // namespace
}  // namespace qoro::client

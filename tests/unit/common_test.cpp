#include "common.hpp"

#include <string>

#include <gtest/gtest.h>

namespace skiffer {
namespace {

TEST(printable, escapes_control_characters_only) {
    struct printable_case {
        std::string text;
        std::string shown;
    } cases[] = {
        {"http://example.com/plain.mp3", "http://example.com/plain.mp3"},
        {"\x1b[31mred\x1b[0m", "\\x1b[31mred\\x1b[0m"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"line\nfeed\ttab\rreturn\x7f", "line\\x0afeed\\x09tab\\x0dreturn\\x7f"},
        // The C1 controls as UTF-8; the characters beside them stay whole.
        {"\xc2\x9b"
         "2J \xc2\x80\xc2\x9f",
         "\\u009b2J \\u0080\\u009f"},
        {"\xc2\xa0 \xc3\xa9 \xe2\x80\x94 \xf0\x9f\x8e\xa7",
         "\xc2\xa0 \xc3\xa9 \xe2\x80\x94 \xf0\x9f\x8e\xa7"},
        // Bytes that are not UTF-8 are left as they are; a 0xc2 at the end too.
        {"latin \xe9\x9b \xc2", "latin \xe9\x9b \xc2"},
        // A backslash is not escaped: the text of names that work stays.
        {"C:\\x1b", "C:\\x1b"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shown);
        EXPECT_EQ(printable(c.text), c.shown);
    }
}

} // namespace
} // namespace skiffer

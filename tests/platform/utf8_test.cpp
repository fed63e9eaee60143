// The host's UTF-8 and the program's wide text: what invalid input becomes in each direction.
#include <gtest/gtest.h>

#include <string>

#include "platform/posix/utf8.h"

namespace {

const char kReplacement[] = "\xEF\xBF\xBD"; // U+FFFD

TEST(Utf8, WideTextEncodesToValidUtf8) {
    struct Case {
        std::wstring input;
        const char* description;
        std::string expected;
    };
    const Case cases[] = {
        {L"COM1: \\x", "ASCII", "COM1: \\x"},
        {L"\u00E9\u6A5F", "two- and three-byte forms", "\xC3\xA9\xE6\xA9\x9F"},
        {L"\U0001F600", "beyond the basic plane", "\xF0\x9F\x98\x80"},
        {std::wstring(1, static_cast<wchar_t>(0xD800)), "a lone high surrogate", kReplacement},
        {std::wstring(1, static_cast<wchar_t>(0xDFFF)) + L"a", "a lone low surrogate",
         std::string(kReplacement) + "a"},
        {std::wstring(1, static_cast<wchar_t>(0x110000)), "past U+10FFFF", kReplacement},
        {std::wstring(1, static_cast<wchar_t>(-1)), "a negative wchar_t", kReplacement},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vmod_posix::Utf8FromWide(c.input), c.expected) << c.description;
}

TEST(Utf8, EachByteOfAnInvalidSequenceDecodesToOneReplacement) {
    struct Case {
        std::string input;
        const char* description;
        std::wstring expected;
    };
    const Case cases[] = {
        {"/dev/ttyUSB0", "ASCII", L"/dev/ttyUSB0"},
        {"\xC3\xA9\xE6\xA9\x9F\xF0\x9F\x98\x80", "valid forms", L"\u00E9\u6A5F\U0001F600"},
        {"a\xFF-b", "a byte that starts nothing", L"a\uFFFD-b"},
        {"\xC0\xAF", "an overlong form", L"\uFFFD\uFFFD"},
        {"\xED\xA0\x80", "an encoded surrogate", L"\uFFFD\uFFFD\uFFFD"},
        {"\xF4\x90\x80\x80", "past U+10FFFF", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"x\xE6\xA9", "cut by the end", L"x\uFFFD\uFFFD"},
        {"\xE6!", "cut by an ASCII byte", L"\uFFFD!"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vmod_posix::WideFromUtf8(c.input), c.expected) << c.description;
}

} // namespace

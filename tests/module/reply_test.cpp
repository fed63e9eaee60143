#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "module/reply.h"

namespace {

TEST(StripEchoLine, DropsTheEchoAndEveryLineEnd) {
    struct Case {
        const char* reply;
        const char* description;
        const char* expected;
    } cases[] = {
        {"ATI5\r\r\n1.05\r\n\r\nOK\r\n", "firmware reply with echo and blank lines", "1.05OK"},
        {"ATI5\n1.05", "LF alone ends the echo", "1.05"},
        {"\r\nabc", "empty echo", "abc"},
        {"ATI5", "no line end at all: nothing after an echo", ""},
        {"", "empty reply", ""},
        {"!!version\rV-MOD Ver 1.10\r\nBOOT Block Ver 1.02\r\n", "version report",
         "V-MOD Ver 1.10BOOT Block Ver 1.02"},
        {"echo\r\n\r\n\r\n", "only line ends after the echo", ""},
    };
    for (const Case& c : cases) {
        char out[256];
        std::memset(out, 'X', sizeof out);
        EXPECT_EQ(StripEchoLine(c.reply, out), std::strlen(c.reply)) << c.description;
        EXPECT_STREQ(out, c.expected) << c.description;
    }
}

TEST(ReplyContains, FindsWideTextInTheReplyAsDeviceText) {
    struct Case {
        const char* reply;
        const wchar_t* text;
        const char* description;
        bool expected;
    } cases[] = {
        {"\r\nUPDATE READY\r\n", L"UPDATE READY", "download prompt", true},
        {"\r\nUPDATE\r\n", L"UPDATE READY", "shorter prompt", false},
        {"update ready", L"UPDATE READY", "case matters", false},
        {"...DOWN\r\n", L"DOWN", "end report after acknowledgements", true},
        {"", L"DOWN", "empty reply", false},
        {"\x83\x5f\x83\x45\x83\x93"
         "DOWN",
         L"\x30c0\x30a6\x30f3"
         L"DOWN",
         "double-byte text of the device's code page", true},
        {"\x83\x5f", L"\\", "a trail byte in the ASCII range is not a backslash", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReplyContains(c.reply, c.text), c.expected) << c.description;
    }
}

TEST(ReplyContains, LooksAtTheFirst1023BytesOnly) {
    std::string reply(1020, '.');
    reply += "DOWN";
    EXPECT_FALSE(ReplyContains(reply.c_str(), L"DOWN")) << "the end lies beyond byte 1023";
    EXPECT_TRUE(ReplyContains(reply.c_str(), L"DOW"));
}

} // namespace

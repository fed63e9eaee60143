#include "module/reply.h"

#include <cstring>
#include <cwchar>

#include "platform/winbase.h"

namespace {

// The converted reply: 1023 characters and the terminator.
constexpr size_t kWideReplySize = 1024;

} // namespace

bool ReplyContains(const char* reply, LPCWSTR text) {
    wchar_t wide[kWideReplySize];
    size_t length = std::strlen(reply);
    if (length > kWideReplySize - 1) {
        length = kWideReplySize - 1;
    }
    int n = 0;
    if (length > 0) {
        n = MultiByteToWideChar(CP_ACP, 0, reply, static_cast<int>(length), wide,
                                static_cast<int>(kWideReplySize - 1));
    }
    wide[n > 0 ? n : 0] = L'\0';
    return std::wcsstr(wide, text) != nullptr;
}

size_t StripEchoLine(const char* reply, char* output) {
    const size_t length = std::strlen(reply);
    const char* p = reply;
    while (*p && *p != '\r' && *p != '\n') {
        ++p;
    }
    char* out = output;
    for (; *p; ++p) {
        if (*p != '\r' && *p != '\n') {
            *out++ = *p;
        }
    }
    *out = '\0';
    return length;
}

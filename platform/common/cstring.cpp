#include <cstdarg>
#include <cwchar>
#include <vector>

#include "platform/cstring.h"

namespace {

// The handheld's wide printf takes %s and %c as wide; the C library's takes them as narrow
// unless written %ls and %lc. Rewrites the handheld's spelling into the library's.
std::wstring WideConversions(const wchar_t* format) {
    std::wstring out;
    for (const wchar_t* p = format; *p; ++p) {
        out += *p;
        if (*p != L'%') {
            continue;
        }
        if (p[1] == L'%') {
            out += *++p;
            continue;
        }
        const wchar_t* q = p + 1;
        while (*q && std::wcschr(L"-+ #0123456789.*", *q)) {
            ++q;
        }
        out.append(p + 1, q);
        p = q - 1;
        if (*q == L's' || *q == L'c') {
            out += L'l';
        } else if (*q == L'h' && (q[1] == L's' || q[1] == L'c')) {
            ++p;  // %hs: a narrow string, as the library's plain %s
        }
    }
    return out;
}

} // namespace

void CString::Format(const wchar_t* format, ...) {
    const std::wstring fmt = WideConversions(format);
    std::vector<wchar_t> buf(256);
    for (;;) {
        va_list ap;
        va_start(ap, format);
        int n = std::vswprintf(buf.data(), buf.size(), fmt.c_str(), ap);
        va_end(ap);
        if (n >= 0) {
            m_str.assign(buf.data(), static_cast<size_t>(n));
            return;
        }
        if (buf.size() >= (1u << 20)) {  // a format error, not a short buffer
            m_str.clear();
            return;
        }
        buf.resize(buf.size() * 2);
    }
}

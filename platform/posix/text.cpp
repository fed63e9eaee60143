// MultiByteToWideChar: CP_ACP is code page 932, converted through iconv. wcstod_c: numbers
// read in the C locale.
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <iconv.h>
#include <locale.h>
#include <string>

#include "platform/posix/utf8.h"
#include "platform/winbase.h"

namespace {

// What a byte sequence the code page does not define becomes (as on the handheld).
const wchar_t kUndefined = 0x30FB;

bool LeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// One character of code page 932 (one or two bytes) through iconv; kUndefined if iconv has
// no mapping for it.
wchar_t ConvertOne(iconv_t cd, const char* bytes, size_t length) {
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return kUndefined;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char in[2];
    std::memcpy(in, bytes, length);
    char* ip = in;
    size_t il = length;
    wchar_t out[2] = {};
    char* op = reinterpret_cast<char*>(out);
    size_t ol = sizeof out;
    if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1) || il != 0 ||
        op != reinterpret_cast<char*>(out) + sizeof(wchar_t)) {
        return kUndefined;
    }
    return out[0];
}

std::wstring FromCp932(const char* text, size_t length) {
    std::wstring out;
    out.reserve(length);
    iconv_t cd = reinterpret_cast<iconv_t>(-1);
    for (size_t i = 0; i < length;) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            out += static_cast<wchar_t>(b); // ASCII passes unchanged (0x5C stays a backslash)
            ++i;
            continue;
        }
        if (b >= 0xA1 && b <= 0xDF) {
            out += static_cast<wchar_t>(0xFF61 + (b - 0xA1)); // half-width katakana
            ++i;
            continue;
        }
        if (cd == reinterpret_cast<iconv_t>(-1)) {
            cd = iconv_open("WCHAR_T", "CP932");
        }
        if (LeadByte(b)) {
            if (i + 1 >= length) {
                out += kUndefined; // a lead byte cut off by the end of the text
                ++i;
                continue;
            }
            out += ConvertOne(cd, text + i, 2);
            i += 2;
            continue;
        }
        out += ConvertOne(cd, text + i, 1);
        ++i;
    }
    if (cd != reinterpret_cast<iconv_t>(-1)) {
        iconv_close(cd);
    }
    return out;
}

} // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int count, LPWSTR out,
                        int outSize) {
    (void)flags;
    if (codePage != CP_ACP && codePage != CP_UTF8) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!text || count == 0 || count < -1 || outSize < 0 ||
        (outSize > 0 && !out)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t length = count == -1 ? std::strlen(text) + 1 : static_cast<size_t>(count);
    const std::wstring wide = codePage == CP_UTF8
                                  ? vmod_posix::WideFromUtf8(std::string(text, length))
                                  : FromCp932(text, length);
    if (outSize == 0) {
        return static_cast<int>(wide.size());
    }
    if (wide.size() > static_cast<size_t>(outSize)) {
        // Too small: the buffer holds the first outSize characters, the call fails.
        std::wmemcpy(out, wide.data(), static_cast<size_t>(outSize));
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::wmemcpy(out, wide.data(), wide.size());
    return static_cast<int>(wide.size());
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int count, char* out,
                        int outSize, LPCSTR defaultChar, BOOL* usedDefault) {
    (void)flags, (void)defaultChar;
    if (usedDefault)
        *usedDefault = FALSE;
    if (codePage != CP_UTF8 || !text || count == 0 || count < -1 || outSize < 0 ||
        (outSize > 0 && !out)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t length = count == -1 ? std::wcslen(text) + 1 : static_cast<size_t>(count);
    const std::string bytes = vmod_posix::Utf8FromWide(std::wstring(text, length));
    if (outSize == 0)
        return static_cast<int>(bytes.size());
    if (bytes.size() > static_cast<size_t>(outSize)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, bytes.data(), bytes.size());
    return static_cast<int>(bytes.size());
}

double wcstod_c(const wchar_t* text, wchar_t** end) {
    // Made once and never freed: every thread reads numbers through it until the process ends.
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (c == static_cast<locale_t>(nullptr)) {
        return std::wcstod(text, end); // no C locale object: the process's locale, as before
    }
    return wcstod_l(text, end, c);
}

// UTF-8 conversions, and wcstod_c: numbers read as the handheld's runtime reads them, with "."
// as the separator whatever the user's locale says.
#include "platform/win32/text.h"

#include <charconv>
#include <cwctype>

#include "platform/winbase.h"

namespace vmod_win32 {

std::string Utf8(const std::wstring& text) {
    const int size = static_cast<int>(text.size());
    const int n =
        size ? WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr) : 0;
    std::string out(static_cast<size_t>(n), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& utf8) {
    const int size = static_cast<int>(utf8.size());
    const int n = size ? MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0) : 0;
    std::wstring out(static_cast<size_t>(n), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, out.data(), n);
    return out;
}

} // namespace vmod_win32

// std::from_chars reads the C locale's form and no other; it takes neither leading white space
// nor a '+', which wcstod does, so those are stepped over first.
double wcstod_c(const wchar_t* text, wchar_t** end) {
    const wchar_t* p = text;
    while (std::iswspace(*p))
        ++p;
    std::string ascii;
    const wchar_t* q = p;
    if (*q == L'+')
        ++q;
    for (const wchar_t* r = q; *r > 0 && *r < 0x80; ++r)
        ascii += static_cast<char>(*r);
    double value = 0.0;
    const auto [stop, error] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
    if (error == std::errc::invalid_argument || (*p == L'+' && !ascii.empty() && ascii[0] == '-')) {
        if (end)
            *end = const_cast<wchar_t*>(text);
        return 0.0;
    }
    if (end)
        *end = const_cast<wchar_t*>(q + (stop - ascii.data()));
    return value;
}

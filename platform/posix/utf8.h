// Internal to platform/posix/ (and its tests): the host's text is UTF-8, the program's is wide.
#pragma once

#include <string>

namespace vmod_posix {

// The UTF-8 form of wide text. A wchar_t that is no Unicode scalar value (a surrogate, or
// beyond U+10FFFF) becomes U+FFFD, so the result is always valid UTF-8 (D-Bus, for one,
// refuses anything else).
std::string Utf8FromWide(const std::wstring& text);

// Wide text from UTF-8. A byte that starts no valid sequence (also an overlong form or an
// encoded surrogate) stands for itself as U+FFFD, so a strange name still shows where it
// differs, and decoding goes on with the next byte.
std::wstring WideFromUtf8(const std::string& text);

} // namespace vmod_posix

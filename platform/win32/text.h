// Text helpers of the Windows layer: UTF-8 and the system's wide text.
#pragma once

#include <string>

#include "platform/types.h"

namespace vmod_win32 {

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);

} // namespace vmod_win32

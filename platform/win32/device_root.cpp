// The handheld's file system on Windows: its "\Program Files" is the host's %ProgramFiles%, so
// the tool's install folder is %ProgramFiles%\V-MOD VersionUp Tool\; with VMOD_ROOT set,
// device paths lie under that folder as on Linux.
#include "platform/device_root.h"

#include <cwchar>

#include "platform/win32/text.h"

namespace {

const wchar_t kProgramFiles[] = L"\\Program Files";

std::wstring Environment(const wchar_t* name) {
    wchar_t value[32768];
    const DWORD n = GetEnvironmentVariableW(name, value, sizeof value / sizeof value[0]);
    return n > 0 && n < sizeof value / sizeof value[0] ? std::wstring(value, n) : std::wstring();
}

} // namespace

std::string DeviceRoot() {
    std::wstring root = Environment(L"VMOD_ROOT");
    while (root.size() > 1 && (root.back() == L'\\' || root.back() == L'/'))
        root.pop_back();
    return vmod_win32::Utf8(root);
}

std::string DeviceToHostPath(LPCWSTR devicePath) {
    if (!devicePath)
        return std::string();
    std::wstring path(devicePath);
    const std::wstring root = vmod_win32::Wide(DeviceRoot());
    if (!root.empty())
        return vmod_win32::Utf8(root + (path.empty() || path[0] != L'\\' ? L"\\" : L"") + path);
    const size_t n = std::char_traits<wchar_t>::length(kProgramFiles);
    const std::wstring programFiles = Environment(L"ProgramFiles");
    if (_wcsnicmp(path.c_str(), kProgramFiles, n) == 0 && (path.size() == n || path[n] == L'\\') &&
        !programFiles.empty())
        return vmod_win32::Utf8(programFiles + path.substr(n));
    return vmod_win32::Utf8(path);
}

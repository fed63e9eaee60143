#include <algorithm>
#include <cstdlib>

#include "platform/device_root.h"
#include "platform/posix/utf8.h"

#ifndef VMOD_DATA_DIR
#define VMOD_DATA_DIR "/usr/share/vmod-versionup"
#endif

namespace {

const wchar_t kInstallFolder[] = L"\\Program Files\\V-MOD VersionUp Tool\\";

// A device path in the host's form: UTF-8 with '/' between folders. A backslash is one byte of
// UTF-8 and never part of a longer sequence, so it can be swapped after the encoding.
std::string ToHost(const wchar_t* p) {
    std::string out = vmod_posix::Utf8FromWide(p);
    std::replace(out.begin(), out.end(), '\\', '/');
    return out;
}

} // namespace

std::string DeviceRoot() {
    const char* root = std::getenv("VMOD_ROOT");
    if (!root || !*root) {
        return std::string();
    }
    std::string r(root);
    while (r.size() > 1 && r.back() == '/') {
        r.pop_back();
    }
    return r;
}

std::string DeviceToHostPath(LPCWSTR devicePath) {
    if (!devicePath) {
        return std::string();
    }
    const std::string root = DeviceRoot();
    if (!root.empty()) {
        std::string rel = ToHost(devicePath);
        if (rel.empty() || rel[0] != '/') {
            rel.insert(0, 1, '/');
        }
        return root + rel;
    }
    const size_t n = std::char_traits<wchar_t>::length(kInstallFolder);
    if (std::wcsncmp(devicePath, kInstallFolder, n) == 0) {
        return std::string(VMOD_DATA_DIR) + "/" + ToHost(devicePath + n);
    }
    return ToHost(devicePath);
}

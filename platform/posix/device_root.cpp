#include <cstdlib>

#include "platform/device_root.h"

#ifndef VMOD_DATA_DIR
#define VMOD_DATA_DIR "/usr/share/vmod-versionup"
#endif

namespace {

const wchar_t kInstallFolder[] = L"\\Program Files\\V-MOD VersionUp Tool\\";

void AppendUtf8(std::string& out, wchar_t wc) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string ToHost(const wchar_t* p) {
    std::string out;
    for (; *p; ++p) {
        if (*p == L'\\') {
            out += '/';
        } else {
            AppendUtf8(out, *p);
        }
    }
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

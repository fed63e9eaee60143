#include "package/firmware_package.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/file.h"
#include "platform/winbase.h"

FirmwarePackage g_firmwarePackage;

namespace {

const wchar_t kMainImageName[] = L"kv615mq.data";
const wchar_t kBootImageName[] = L"kv615mqb.data";
const wchar_t kMainHeaderName[] = L"kv615mq.bin";
const wchar_t kBootHeaderName[] = L"kv615mqb.bin";
const wchar_t kMainImagePath[] = L"\\Program Files\\V-MOD VersionUp Tool\\kv615mq.data";
const wchar_t kBootImagePath[] = L"\\Program Files\\V-MOD VersionUp Tool\\kv615mqb.data";
const wchar_t kMainHeaderPath[] = L"\\Program Files\\V-MOD VersionUp Tool\\kv615mq.bin";
const wchar_t kBootHeaderPath[] = L"\\Program Files\\V-MOD VersionUp Tool\\kv615mqb.bin";

const UINT kCountFieldSize = 8;
const UINT kVersionFieldSize = 12;

bool IsSpace(unsigned c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Decimal parse shared by both header fields. Beyond the 32-bit range the value clamps, so an
// over-long field reads as the nearest representable number rather than a wrapped one.
template <class Char> int32_t ParseDecimal(const Char* p, size_t n) {
    size_t i = 0;
    while (i < n && IsSpace(static_cast<unsigned>(p[i])))
        i++;
    bool negative = false;
    if (i < n && (p[i] == '+' || p[i] == '-')) {
        negative = p[i] == '-';
        i++;
    }
    int64_t value = 0;
    for (; i < n && p[i] >= '0' && p[i] <= '9'; i++) {
        value = value * 10 + (p[i] - '0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1) {
            value = static_cast<int64_t>(INT32_MAX) + 1;
        }
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        value = INT32_MAX;
    return static_cast<int32_t>(value);
}

// Reads a payload file whole. A payload is flashed byte for byte, so a file that cannot be read
// completely (a short read, a length beyond 32 bits) fails the load instead of leaving
// unread bytes in the image. A file of length 0 loads as an empty image: the payload stream
// refuses it when the download opens it, with its own message.
bool LoadImage(LPCWSTR path, UINT pathFlags, std::unique_ptr<uint8_t[]>& image, uint32_t& size) {
    CFile file;
    if (!file.Open(path, CFile::modeRead | CFile::shareExclusive | pathFlags)) {
        return false;
    }
    uint64_t length = file.GetLength();
    if (length > UINT32_MAX) {
        return false;
    }
    size = static_cast<uint32_t>(length);
    image.reset(new (std::nothrow) uint8_t[size > 0 ? size : 1]);
    if (!image) {
        return false;
    }
    UINT got = size > 0 ? file.Read(image.get(), size) : 0;
    file.Close();
    return got == size;
}

// Reads a header file. A header shorter than 20 bytes reads as if NUL bytes followed its end:
// the missing part of the count ends its digits and the missing part of the version ends its
// text, which is also how the fields are padded.
bool LoadHeader(LPCWSTR path, UINT pathFlags, int32_t& lineCount, CString& versionText) {
    CFile file;
    if (!file.Open(path, CFile::modeRead | CFile::shareExclusive | pathFlags)) {
        return false;
    }
    uint8_t count[kCountFieldSize] = {};
    file.Read(count, kCountFieldSize);
    lineCount = ParseLineCountField(count);

    char version[kVersionFieldSize] = {};
    file.Read(version, kVersionFieldSize);
    int length = 0;
    while (length < static_cast<int>(kVersionFieldSize) && version[length] != '\0')
        length++;
    wchar_t wide[kVersionFieldSize + 1] = {};
    int converted =
        length > 0 ? MultiByteToWideChar(CP_ACP, 0, version, length, wide, kVersionFieldSize) : 0;
    if (converted < 0)
        converted = 0;
    wide[converted] = L'\0';
    versionText = FormatVersionText(CString(wide));
    file.Close();
    return true;
}

// The four files in their order; *failed (when given) names the first that failed.
bool LoadFiles(LPCWSTR mainImage, LPCWSTR bootImage, LPCWSTR mainHeader, LPCWSTR bootHeader,
               UINT pathFlags, std::wstring* failed) {
    FirmwarePackage& p = g_firmwarePackage;
    bool ok = true;
    LPCWSTR at = nullptr;
    if (!LoadImage(at = mainImage, pathFlags, p.mainImage, p.mainImageSize) ||
        !LoadImage(at = bootImage, pathFlags, p.bootImage, p.bootImageSize) ||
        !LoadHeader(at = mainHeader, pathFlags, p.mainLineCount, p.mainVersionText) ||
        !LoadHeader(at = bootHeader, pathFlags, p.bootLineCount, p.bootVersionText)) {
        ok = false;
    }
    if (!ok && failed)
        *failed = at;
    return ok;
}

} // namespace

int32_t ParseLineCountField(const uint8_t field[8]) {
    return ParseDecimal(field, kCountFieldSize);
}

CString FormatVersionText(const CString& text) {
    const std::wstring& s = text.str();
    int32_t value = ParseDecimal(s.c_str(), s.size());
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(value));
    std::wstring out;
    for (size_t i = 0; hex[i] != '\0'; i += 2) {
        char group[3] = {hex[i], hex[i + 1] != '\0' ? hex[i + 1] : '\0', '\0'};
        out += static_cast<wchar_t>(std::strtoul(group, nullptr, 16));
        if (hex[i + 1] == '\0')
            break;
    }
    return CString(out);
}

bool LoadPackage() {
    return LoadFiles(kMainImagePath, kBootImagePath, kMainHeaderPath, kBootHeaderPath, 0, nullptr);
}

bool LoadPackageFrom(const std::wstring& folder, std::wstring* failed) {
    const std::wstring base = folder.empty() || folder.back() == L'/' ? folder : folder + L"/";
    const std::wstring main = base + kMainImageName, boot = base + kBootImageName;
    const std::wstring mainHeader = base + kMainHeaderName, bootHeader = base + kBootHeaderName;
    return LoadFiles(main.c_str(), boot.c_str(), mainHeader.c_str(), bootHeader.c_str(),
                     CFile::modeHostPath, failed);
}

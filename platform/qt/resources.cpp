// The program module's compiled resources: the registered 32-bit .res image, FindResourceW and
// LoadResource over it, icons and bitmaps.
#include <QString>

#include <cwctype>
#include <mutex>
#include <set>

#include "platform/qt/host.h"

namespace vmod_qt {

QString ToQString(const wchar_t* text) {
    return text ? QString::fromWCharArray(text) : QString();
}
QString ToQString(const std::wstring& text) {
    return QString::fromWCharArray(text.data(), static_cast<qsizetype>(text.size()));
}
std::wstring ToWString(const QString& text) {
    return text.toStdWString();
}

namespace {

struct Registration {
    const BYTE* res = nullptr;
    size_t size = 0;
    const char* fontConfig = nullptr;
};

Registration& Registered() {
    static Registration r;
    return r;
}

// The module handle of the program itself; any distinct non-null value will do.
HINSTANCE const kProgramModule = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x00010000));

// Parses the .res image: a sequence of entries, each a header (data size, header size, type,
// name, data version, memory flags, language, version, characteristics) and its data, both
// padded to 4 bytes. The leading empty entry that marks a 32-bit .res is skipped.
std::vector<Resource> ParseRes(const BYTE* data, size_t size) {
    std::vector<Resource> out;
    size_t pos = 0;
    while (pos + 8 <= size) {
        ResReader r{data, size, pos};
        DWORD dataSize = r.Dword();
        DWORD headerSize = r.Dword();
        if (!r.ok || headerSize < 16 || headerSize > size - pos ||
            dataSize > size - pos - headerSize)
            return {};
        ResReader h{data, pos + headerSize, pos + 8};
        Resource res;
        res.type = h.Element();
        res.name = h.Element();
        h.Align4();
        h.Dword(); // data version
        res.memoryFlags = h.Word();
        res.language = h.Word();
        if (!h.ok)
            return {};
        res.data = data + pos + headerSize;
        res.size = dataSize;
        bool empty = res.type.number == 0 && res.type.text.empty() && dataSize == 0;
        if (!empty)
            out.push_back(std::move(res));
        pos += headerSize + dataSize;
        pos = (pos + 3) & ~static_cast<size_t>(3);
    }
    return out;
}

bool NameMatches(const ResName& element, LPCWSTR wanted) {
    if (IS_INTRESOURCE(wanted))
        return element.number != 0 &&
               element.number == static_cast<WORD>(reinterpret_cast<uintptr_t>(wanted));
    if (element.number != 0)
        return false;
    const wchar_t* w = wanted;
    size_t i = 0;
    for (; w[i] != 0 && i < element.text.size(); ++i)
        if (std::towupper(static_cast<wint_t>(w[i])) !=
            std::towupper(static_cast<wint_t>(element.text[i])))
            return false;
    return w[i] == 0 && i == element.text.size();
}

// ---- icons and bitmaps ---------------------------------------------------------------------

std::mutex g_imagesMutex;
// Icons and bitmaps nobody released live as long as the process, as the program's own icon
// does (the dialog holds it to its end); the process's end frees what is left.
struct LiveImageSet {
    std::set<Image*> images;
    ~LiveImageSet() {
        for (Image* image : images)
            delete image;
    }
};
std::set<Image*>& LiveImages() {
    static LiveImageSet live;
    return live.images;
}

void* Track(Image* image) {
    std::lock_guard<std::mutex> lock(g_imagesMutex);
    LiveImages().insert(image);
    return image;
}

bool Release(void* handle, bool icon) {
    Image* image = static_cast<Image*>(handle);
    {
        std::lock_guard<std::mutex> lock(g_imagesMutex);
        auto it = LiveImages().find(image);
        if (it == LiveImages().end() || image->isIcon != icon)
            return false;
        LiveImages().erase(it);
    }
    delete image;
    return true;
}

// Decodes a device-independent bitmap: BITMAPINFOHEADER, palette for 1/4/8 bits per pixel,
// bottom-up rows padded to 4 bytes, uncompressed only. For an icon image the header's height
// counts the colour rows and the AND-mask rows, and mask bit 1 means transparent.
bool DecodeDib(const BYTE* data, size_t size, bool icon, QImage* out, int* bpp) {
    ResReader r{data, size};
    DWORD headerSize = r.Dword();
    int32_t width = static_cast<int32_t>(r.Dword());
    int32_t height = static_cast<int32_t>(r.Dword());
    r.Word(); // planes
    WORD bits = r.Word();
    DWORD compression = r.Dword();
    r.Dword(); // image size
    r.Dword();
    r.Dword();
    DWORD colorsUsed = r.Dword();
    if (!r.ok || headerSize < 40 || headerSize > size || compression != 0 || width <= 0 ||
        width > 1024 || height == 0 ||
        (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32))
        return false;
    bool bottomUp = height > 0;
    int rows = height > 0 ? height : -height;
    if (icon)
        rows /= 2;
    if (rows <= 0 || rows > 1024)
        return false;
    size_t paletteCount = bits <= 8 ? (colorsUsed ? colorsUsed : (1u << bits)) : 0;
    if (paletteCount > 256)
        return false;
    size_t palettePos = headerSize;
    size_t stride = ((static_cast<size_t>(width) * bits + 31) / 32) * 4;
    size_t maskStride = ((static_cast<size_t>(width) + 31) / 32) * 4;
    size_t pixelsPos = palettePos + paletteCount * 4;
    size_t maskPos = pixelsPos + stride * static_cast<size_t>(rows);
    size_t end = maskPos + (icon ? maskStride * static_cast<size_t>(rows) : 0);
    if (end > size)
        return false;
    QImage img(width, rows, QImage::Format_ARGB32);
    for (int y = 0; y < rows; ++y) {
        int srcRow = bottomUp ? rows - 1 - y : y;
        const BYTE* row = data + pixelsPos + stride * static_cast<size_t>(srcRow);
        const BYTE* mask = data + maskPos + maskStride * static_cast<size_t>(srcRow);
        for (int x = 0; x < width; ++x) {
            uint32_t argb = 0;
            auto fromPalette = [&](size_t index) -> uint32_t {
                if (index >= paletteCount)
                    return 0xFF000000u;
                const BYTE* q = data + palettePos + index * 4;
                return 0xFF000000u | (uint32_t(q[2]) << 16) | (uint32_t(q[1]) << 8) | q[0];
            };
            switch (bits) {
            case 1:
                argb = fromPalette((row[x / 8] >> (7 - x % 8)) & 1);
                break;
            case 4:
                argb = fromPalette(x % 2 ? row[x / 2] & 0x0F : row[x / 2] >> 4);
                break;
            case 8:
                argb = fromPalette(row[x]);
                break;
            case 24:
                argb = 0xFF000000u | (uint32_t(row[x * 3 + 2]) << 16) |
                       (uint32_t(row[x * 3 + 1]) << 8) | row[x * 3];
                break;
            default:
                argb = (uint32_t(row[x * 4 + 3]) << 24) | (uint32_t(row[x * 4 + 2]) << 16) |
                       (uint32_t(row[x * 4 + 1]) << 8) | row[x * 4];
                break;
            }
            if (icon && bits != 32 && ((mask[x / 8] >> (7 - x % 8)) & 1))
                argb = 0;
            img.setPixel(x, y, argb);
        }
    }
    *out = img;
    *bpp = bits;
    return true;
}

} // namespace

const std::vector<Resource>& ModuleResources() {
    static const std::vector<Resource> parsed = [] {
        const Registration& r = Registered();
        return r.res ? ParseRes(r.res, r.size) : std::vector<Resource>();
    }();
    return parsed;
}

const char* ModuleFontConfig() {
    return Registered().fontConfig;
}

HINSTANCE ProgramModule() {
    return kProgramModule;
}

const Resource* FindModuleResource(LPCWSTR name, LPCWSTR type) {
    if (!name || !type)
        return nullptr;
    for (const Resource& r : ModuleResources())
        if (NameMatches(r.type, type) && NameMatches(r.name, name))
            return &r;
    return nullptr;
}

Image* ImageFromHandle(const void* handle) {
    std::lock_guard<std::mutex> lock(g_imagesMutex);
    auto it = LiveImages().find(static_cast<Image*>(const_cast<void*>(handle)));
    return it == LiveImages().end() ? nullptr : *it;
}

} // namespace vmod_qt

using namespace vmod_qt;

void VmodRegisterModuleResources(const BYTE* res, size_t size, const char* fontConfigXml) {
    Registration& r = Registered();
    r.res = res;
    r.size = size;
    r.fontConfig = fontConfigXml;
}

HINSTANCE AfxGetInstanceHandle() {
    return ProgramModule();
}
HINSTANCE AfxGetResourceHandle() {
    return ProgramModule();
}

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
    if (module != nullptr && module != ProgramModule())
        return nullptr;
    return reinterpret_cast<HRSRC>(const_cast<Resource*>(FindModuleResource(name, type)));
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
    (void)module;
    if (!resource)
        return nullptr;
    return const_cast<BYTE*>(reinterpret_cast<const Resource*>(resource)->data);
}

DWORD SizeofResource(HMODULE module, HRSRC resource) {
    (void)module;
    return resource ? reinterpret_cast<const Resource*>(resource)->size : 0;
}

// An icon group (GRPICONDIR: reserved, type 1, count; then 14-byte entries: width, height,
// colours, reserved, planes, bit count, bytes, icon id) names RT_ICON images by id.
HICON LoadIconW(HINSTANCE instance, LPCWSTR name) {
    if (instance != nullptr && instance != ProgramModule())
        return nullptr;
    const Resource* group = FindModuleResource(name, RT_GROUP_ICON);
    if (!group)
        return nullptr;
    ResReader r{group->data, group->size};
    r.Word();
    WORD type = r.Word();
    WORD count = r.Word();
    if (!r.ok || type != 1)
        return nullptr;
    auto image = std::make_unique<Image>();
    image->isIcon = true;
    for (WORD i = 0; i < count; ++i) {
        r.pos = 6 + 14u * i + 12;
        WORD id = r.Word();
        if (!r.ok)
            return nullptr;
        const Resource* icon = FindModuleResource(MAKEINTRESOURCEW(id), RT_ICON);
        QImage img;
        int bpp = 0;
        if (!icon || !DecodeDib(icon->data, icon->size, true, &img, &bpp))
            return nullptr;
        image->images.push_back(img);
        image->bitsPerPixel.push_back(bpp);
    }
    if (image->images.empty())
        return nullptr;
    return static_cast<HICON>(Track(image.release()));
}

HBITMAP LoadBitmapW(HINSTANCE instance, LPCWSTR name) {
    if (instance != nullptr && instance != ProgramModule())
        return nullptr;
    const Resource* res = FindModuleResource(name, RT_BITMAP);
    QImage img;
    int bpp = 0;
    if (!res || !DecodeDib(res->data, res->size, false, &img, &bpp))
        return nullptr;
    auto image = std::make_unique<Image>();
    image->images.push_back(img);
    image->bitsPerPixel.push_back(bpp);
    return static_cast<HBITMAP>(Track(image.release()));
}

BOOL DestroyIcon(HICON icon) {
    return icon && Release(icon, true) ? TRUE : FALSE;
}

BOOL DeleteObject(HGDIOBJ object) {
    return object && Release(object, false) ? TRUE : FALSE;
}

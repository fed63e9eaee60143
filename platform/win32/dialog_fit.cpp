#include "platform/win32/dialog_fit.h"

#include <cstring>

namespace vmod_win32 {

namespace {

HFONT g_pendingTextFont = nullptr;

constexpr WORD kClassButton = 0x0080;
constexpr WORD kClassStatic = 0x0082;

// The template's face at points, for the screen's resolution.
HFONT MakeFont(const std::wstring& face, int points) {
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return CreateFontW(-MulDiv(points, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, face.c_str());
}

// The dialog manager's base units of a font: the mean width of the 52 Latin letters, rounded,
// and the character height.
void BaseUnits(HDC dc, HFONT font, int* cx, int* cy) {
    HGDIOBJ old = SelectObject(dc, font);
    static const wchar_t kAlphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    SIZE size{0, 0};
    GetTextExtentPoint32W(dc, kAlphabet, 52, &size);
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    *cx = (size.cx / 26 + 1) / 2;
    *cy = tm.tmHeight;
    SelectObject(dc, old);
}

// Bytes of a template element (menu, class, caption, face name) at p, with at most left bytes.
size_t ElementSize(const BYTE* p, size_t left) {
    if (left < 2)
        return 0;
    WORD first;
    std::memcpy(&first, p, 2);
    if (first == 0xFFFF)
        return 4;
    if (first == 0)
        return 2;
    size_t n = 0;
    for (;;) {
        if (n + 2 > left)
            return 0;
        WORD unit;
        std::memcpy(&unit, p + n, 2);
        n += 2;
        if (unit == 0)
            return n;
    }
}

} // namespace

int FittingPointSize(const DialogTemplate& tpl, HFONT textFont) {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, textFont);
    TEXTMETRICW textMetrics{};
    GetTextMetricsW(dc, &textMetrics);
    struct Need {
        int width, height, roomLessBy;
        int16_t cx, cy;
    };
    std::vector<Need> needs;
    // A push button draws its text inside its edges and a pixel of focus margin each side.
    const int buttonFrame = 2 * (GetSystemMetrics(SM_CXEDGE) + 2);
    for (const DialogItem& item : tpl.items) {
        if (!item.windowClass.isNumber || item.title.isNumber || item.title.text.empty())
            continue;
        WORD cls = item.windowClass.number;
        if (cls != kClassButton && cls != kClassStatic)
            continue;
        SIZE size{0, 0};
        GetTextExtentPoint32W(dc, item.title.text.c_str(), static_cast<int>(item.title.text.size()),
                              &size);
        needs.push_back({static_cast<int>(size.cx), static_cast<int>(textMetrics.tmHeight),
                         cls == kClassButton ? buttonFrame : 0, item.cx, item.cy});
    }
    SelectObject(dc, old);
    int points = tpl.pointSize;
    for (; points < 4 * tpl.pointSize; ++points) {
        HFONT font = MakeFont(tpl.faceName, points);
        int cx = 0, cy = 0;
        BaseUnits(dc, font, &cx, &cy);
        DeleteObject(font);
        bool fits = true;
        for (const Need& n : needs)
            fits = fits && MulDiv(n.cx, cx, 4) - n.roomLessBy >= n.width &&
                   MulDiv(n.cy, cy, 8) >= n.height;
        if (fits)
            break;
    }
    ReleaseDC(nullptr, dc);
    return points;
}

bool PrepareDialogTemplate(const BYTE* data, size_t size, std::vector<BYTE>* out, HFONT* textFont) {
    *textFont = nullptr;
    DialogTemplate tpl;
    if (!ParseDialogTemplate(data, size, &tpl))
        return false;
    out->assign(data, data + size);
    DWORD style = tpl.style | WS_SYSMENU;
    DWORD exStyle = tpl.exStyle & ~static_cast<DWORD>(WS_EX_CAPTIONOKBTN);
    std::memcpy(out->data(), &style, 4);
    std::memcpy(out->data() + 4, &exStyle, 4);
    if (!tpl.hasFont)
        return true;
    size_t offset = 18;
    for (int element = 0; element < 3; ++element) {
        size_t n = ElementSize(data + offset, size - offset);
        if (n == 0)
            return false;
        offset += n;
    }
    if (offset + 2 > size)
        return false;
    *textFont = MakeFont(tpl.faceName, tpl.pointSize);
    WORD points = static_cast<WORD>(FittingPointSize(tpl, *textFont));
    std::memcpy(out->data() + offset, &points, 2);
    return true;
}

void SetPendingTextFont(HFONT font) {
    g_pendingTextFont = font;
}

HFONT PendingTextFont() {
    return g_pendingTextFont;
}

} // namespace vmod_win32

// The Windows dialog host's own decisions, checked on the dialog manager under Wine: the
// template's copy gets the desktop's close button for the handheld's caption OK button, and base
// units under which a template's label shows whole in the template's font size.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/dialog_fit.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "FAIL: %s\n", what);
        ++g_failures;
    }
}

void Put16(std::vector<BYTE>& t, WORD v) {
    t.push_back(static_cast<BYTE>(v));
    t.push_back(static_cast<BYTE>(v >> 8));
}
void Put32(std::vector<BYTE>& t, DWORD v) {
    Put16(t, static_cast<WORD>(v));
    Put16(t, static_cast<WORD>(v >> 16));
}
void PutText(std::vector<BYTE>& t, const wchar_t* s) {
    for (; *s; ++s)
        Put16(t, static_cast<WORD>(*s));
    Put16(t, 0);
}

// A 9 point template with one label of width units, as the resource compiler writes it.
std::vector<BYTE> LabelTemplate(const wchar_t* label, short width) {
    std::vector<BYTE> t;
    Put32(t, WS_POPUP | WS_CAPTION | DS_SETFONT);
    Put32(t, WS_EX_CAPTIONOKBTN | WS_EX_APPWINDOW);
    Put16(t, 1);
    for (short v : {0, 0, 200, 40})
        Put16(t, static_cast<WORD>(v));
    Put16(t, 0);
    Put16(t, 0);
    PutText(t, L"t");
    Put16(t, 9);
    PutText(t, L"MS UI Gothic");
    while (t.size() % 4)
        t.push_back(0);
    Put32(t, WS_CHILD | WS_VISIBLE | SS_LEFT);
    Put32(t, 0);
    for (short v : {short(4), short(4), width, short(8)})
        Put16(t, static_cast<WORD>(v));
    Put16(t, 1010);
    Put16(t, 0xFFFF);
    Put16(t, 0x0082);
    PutText(t, label);
    Put16(t, 0);
    return t;
}

// Each label, short or long, shows whole in the created dialog; the caption has a close button
// and no handheld style.
void LabelsFit() {
    const struct {
        const wchar_t* label;
        short width;
    } kCases[] = {{L"機種名", 22},
                  {L"バージョンアップ後のバージョン", 81},
                  {L"バージョンアップ後のバージョン", 40}};
    for (const auto& c : kCases) {
        std::vector<BYTE> tpl = LabelTemplate(c.label, c.width), copy;
        HFONT textFont = nullptr;
        Check(vmod_win32::PrepareDialogTemplate(tpl.data(), tpl.size(), &copy, &textFont),
              "template prepared");
        HWND dlg = CreateDialogIndirectParamW(
            nullptr, reinterpret_cast<const DLGTEMPLATE*>(copy.data()), nullptr,
            [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
        Check(dlg != nullptr, "dialog created");
        if (!dlg)
            continue;
        RECT room{0, 0, c.width, 8};
        MapDialogRect(dlg, &room);
        HDC dc = GetDC(dlg);
        HGDIOBJ old = SelectObject(dc, textFont);
        SIZE need{0, 0};
        GetTextExtentPoint32W(dc, c.label, static_cast<int>(std::wcslen(c.label)), &need);
        SelectObject(dc, old);
        ReleaseDC(dlg, dc);
        Check(need.cx <= room.right, "label fits its control");
        Check((GetWindowLongPtrW(dlg, GWL_STYLE) & WS_SYSMENU) != 0, "close button");
        Check((static_cast<DWORD>(GetWindowLongPtrW(dlg, GWL_EXSTYLE)) & WS_EX_CAPTIONOKBTN) == 0,
              "no caption OK style");
        DestroyWindow(dlg);
        DeleteObject(textFont);
    }
}

} // namespace

int main() {
    LabelsFit();
    if (g_failures)
        return 1;
    std::puts("PASS");
    return 0;
}

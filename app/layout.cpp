// The size handler of CVersionUpDlg and the template walk it runs.
#include "app/layout.h"

#include "app/versionup_dlg.h"

namespace {

// Predefined control classes, as a template's class element names them by number.
constexpr WORD kClassButton = 0x0080;
constexpr WORD kClassStatic = 0x0082;
constexpr WORD kClassListBox = 0x0083;
constexpr WORD kClassComboBox = 0x0085;

// An item's id when the control has none.
constexpr WORD kNoId = 0xFFFF;

// The work areas of the high-resolution screens that have their own templates.
constexpr LONG kTallRight = 480, kTallBottom = 800;
constexpr LONG kWideRight = 800, kWideBottom = 480;

// Little-endian reads over the template's bytes; once a read would pass the end, every later
// read fails too, so a walk can check once per step.
struct TemplateReader {
    const BYTE* data;
    size_t size;
    size_t pos = 0;
    bool ok = true;

    bool Need(size_t n) {
        if (ok && (n > size || pos > size - n))
            ok = false;
        return ok;
    }
    WORD Word() {
        if (!Need(2))
            return 0;
        WORD v = static_cast<WORD>(data[pos] | (data[pos + 1] << 8));
        pos += 2;
        return v;
    }
    DWORD Dword() {
        DWORD lo = Word();
        DWORD hi = Word();
        return lo | (hi << 16);
    }
    void Skip(size_t n) {
        if (Need(n))
            pos += n;
    }
    void Align4() {
        size_t aligned = (pos + 3) & ~static_cast<size_t>(3);
        if (aligned > size)
            ok = false;
        else
            pos = aligned;
    }
    // The element rule: 0xFFFF and a 16-bit number (4 bytes), a lone 0 (2 bytes), or UTF-16
    // text with its terminating 0.
    LayoutElement Element() {
        LayoutElement e;
        WORD first = Word();
        if (!ok)
            return e;
        if (first == 0xFFFF) {
            e.isNumber = true;
            e.number = Word();
            return e;
        }
        for (WORD unit = first; ok && unit != 0; unit = Word()) {
            uint32_t c = unit;
            // A surrogate pair is one character of the wide string.
            if (c >= 0xD800 && c < 0xDC00 && pos + 2 <= size) {
                WORD low = static_cast<WORD>(data[pos] | (data[pos + 1] << 8));
                if (low >= 0xDC00 && low < 0xE000) {
                    pos += 2;
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                }
            }
            e.text += static_cast<wchar_t>(c);
        }
        return e;
    }
};

// Swaps a static's icon or bitmap for image resource number of module; the old image is
// released only once the new one is in place, so a failed load leaves the control as it was.
void RefreshStaticImage(HINSTANCE module, HWND dialog, int id, WORD number, bool icon) {
    WPARAM type = icon ? IMAGE_ICON : IMAGE_BITMAP;
    LRESULT old = SendDlgItemMessageW(dialog, id, STM_GETIMAGE, type, 0);
    LPARAM fresh = icon ? reinterpret_cast<LPARAM>(LoadIconW(module, MAKEINTRESOURCEW(number)))
                        : reinterpret_cast<LPARAM>(LoadBitmapW(module, MAKEINTRESOURCEW(number)));
    if (fresh == 0)
        return;
    SendDlgItemMessageW(dialog, id, STM_SETIMAGE, type, fresh);
    if (icon)
        DestroyIcon(reinterpret_cast<HICON>(old));
    else
        DeleteObject(reinterpret_cast<HGDIOBJ>(old));
}

} // namespace

UINT SelectLayoutTemplate(int screenWidth, int screenHeight, const RECT& workArea) {
    if (screenHeight > screenWidth)
        return workArea.right == kTallRight && workArea.bottom == kTallBottom
                   ? IDD_VERSIONUP_PORTRAIT_TALL
                   : IDD_VERSIONUP_DIALOG;
    return workArea.right == kWideRight && workArea.bottom == kWideBottom
               ? IDD_VERSIONUP_LANDSCAPE_WIDE
               : IDD_VERSIONUP_LANDSCAPE;
}

BOOL ApplyDialogLayout(HINSTANCE module, HWND dialog, UINT templateId) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(templateId), RT_DIALOG);
    if (!found)
        return FALSE;
    HGLOBAL loaded = LoadResource(module, found);
    if (!loaded)
        return FALSE;
    return ApplyDialogTemplate(module, dialog, static_cast<const BYTE*>(LockResource(loaded)),
                               SizeofResource(module, found));
}

// Header: style, extended style, control count, x, y, width, height; menu, class and caption
// elements; with DS_SETFONT the point size and the face name. Each item then starts on a 4-byte
// boundary: style, extended style, x, y, width, height, id, class and caption elements, and a
// 16-bit creation-data length that counts itself when it is not 0.
BOOL ApplyDialogTemplate(HINSTANCE module, HWND dialog, const BYTE* tpl, size_t size) {
    if (!tpl)
        return FALSE;
    TemplateReader r{tpl, size};
    DWORD style = r.Dword();
    if ((style & 0xFFFF0000u) == 0xFFFF0000u)
        return FALSE; // the extended format's signature: its items are laid out differently
    r.Dword();        // extended style
    WORD count = r.Word();
    r.Skip(4 * 2); // the dialog's own x, y, width, height: the window keeps its place
    if (!r.ok)
        return FALSE;

    HDWP batch = BeginDeferWindowPos(count);
    if (!batch)
        return FALSE;

    r.Element(); // menu
    r.Element(); // window class
    r.Element(); // caption
    if (style & DS_SETFONT) {
        r.Word();    // point size
        r.Element(); // face name
    }

    BOOL result = r.ok ? TRUE : FALSE;
    int withoutId = 0;
    for (WORD i = 0; r.ok && i < count; ++i) {
        r.Align4();
        LayoutItem item;
        item.style = r.Dword();
        item.exStyle = r.Dword();
        item.x = static_cast<int16_t>(r.Word());
        item.y = static_cast<int16_t>(r.Word());
        item.cx = static_cast<int16_t>(r.Word());
        item.cy = static_cast<int16_t>(r.Word());
        item.id = r.Word();
        LayoutElement windowClass = r.Element();
        LayoutElement caption = r.Element();
        WORD extra = r.Word();
        if (extra != 0)
            r.Skip(extra - 2u); // the length counts its own two bytes
        if (!r.ok || (extra != 0 && extra < 2)) {
            result = FALSE; // the template ends inside this item: it is not applied
            break;
        }

        HWND control = GetDlgItem(dialog, item.id);
        if (!control) {
            // The controls after a missing one keep their places: the dialog and this template
            // disagree, and guessing would scatter them.
            result = FALSE;
            break;
        }
        RECT rect{item.x, item.y, item.x + item.cx, item.y + item.cy};
        if (!MapDialogRect(dialog, &rect)) {
            result = FALSE;
            break;
        }
        HDWP next =
            DeferWindowPos(batch, control, nullptr, rect.left, rect.top, rect.right - rect.left,
                           rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE);
        if (!next) {
            result = FALSE; // the batch is kept as it was; this control alone stays put
            continue;
        }
        batch = next;

        RefreshControlFromTemplate(module, dialog, item, windowClass, caption);
        if (item.id == kNoId)
            ++withoutId;
    }
    if (!r.ok)
        result = FALSE;

    if (!EndDeferWindowPos(batch))
        result = FALSE;
    // Controls without an id share one, so the walk cannot have told their windows apart.
    if (withoutId >= 2)
        return FALSE;
    return result;
}

void RefreshControlFromTemplate(HINSTANCE module, HWND dialog, const LayoutItem& item,
                                const LayoutElement& windowClass, const LayoutElement& caption) {
    if (!windowClass.isNumber)
        return; // a named class: the progress bar keeps its range and position
    int id = item.id;
    switch (windowClass.number) {
    case kClassButton:
    case kClassStatic:
        if (caption.isNumber) {
            if ((item.style & SS_ICON) == SS_ICON)
                RefreshStaticImage(module, dialog, id, caption.number, true);
            else if ((item.style & SS_BITMAP) == SS_BITMAP)
                RefreshStaticImage(module, dialog, id, caption.number, false);
        } else {
            // Also an empty caption: the percentage static is blank until its next write.
            SetDlgItemTextW(dialog, id, caption.text.c_str());
        }
        break;
    case kClassListBox: {
        LRESULT sel = SendDlgItemMessageW(dialog, id, LB_GETCURSEL, 0, 0);
        if (sel != LB_ERR)
            SendDlgItemMessageW(dialog, id, LB_SETCURSEL, static_cast<WPARAM>(sel), 0);
        break;
    }
    case kClassComboBox: {
        LRESULT sel = SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0);
        if (sel != CB_ERR)
            SendDlgItemMessageW(dialog, id, CB_SETCURSEL, static_cast<WPARAM>(sel), 0);
        break;
    }
    default:
        break; // edits and scroll bars keep their contents
    }
}

// Every size change, a turn of the screen included, re-lays the dialog out for the screen as
// it is now; the size passed in is not needed. Before the controls exist the walk moves
// nothing and the transfer changes nothing.
void CVersionUpDlg::OnSize(UINT nType, int cx, int cy) {
    (void)nType, (void)cx, (void)cy;
    RECT workArea{0, 0, 0, 0};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
    int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    UINT templateId = SelectLayoutTemplate(screenWidth, screenHeight, workArea);
    ApplyDialogLayout(AfxGetInstanceHandle(), GetSafeHwnd(), templateId);
    UpdateData(FALSE);
}

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

// The template is read first (platform/dialog_template.h), then the walk applies its items in
// order. The dialog's own x, y, width and height are not used: the window keeps its place. A
// template that ends early or is malformed gives the items read whole before the fault; those
// are applied and the result is FALSE.
BOOL ApplyDialogTemplate(HINSTANCE module, HWND dialog, const BYTE* tpl, size_t size) {
    if (!tpl)
        return FALSE;
    DialogTemplate t;
    BOOL result = ParseDialogTemplate(tpl, size, &t) ? TRUE : FALSE;

    HDWP batch = BeginDeferWindowPos(static_cast<int>(t.items.size()));
    if (!batch)
        return FALSE;
    int withoutId = 0;
    for (const DialogItem& item : t.items) {
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

        RefreshControlFromTemplate(module, dialog, item);
        if (item.id == kNoId)
            ++withoutId;
    }

    if (!EndDeferWindowPos(batch))
        result = FALSE;
    // Controls without an id share one, so the walk cannot have told their windows apart.
    if (withoutId >= 2)
        return FALSE;
    return result;
}

void RefreshControlFromTemplate(HINSTANCE module, HWND dialog, const DialogItem& item) {
    if (!item.windowClass.isNumber)
        return; // a named class: the progress bar keeps its range and position
    const ResName& caption = item.title;
    int id = item.id;
    switch (item.windowClass.number) {
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

#include "platform/dialog_template.h"

#include <utility>

#include "platform/winuser.h"

bool ParseDialogTemplate(const BYTE* data, size_t size, DialogTemplate* out) {
    *out = DialogTemplate{};
    DialogTemplate& t = *out;
    ResReader r{data, size};
    t.style = r.Dword();
    if (!r.ok || (t.style & 0xFFFF0000u) == 0xFFFF0000u)
        return false; // the extended format's signature: its items are laid out differently
    t.exStyle = r.Dword();
    WORD count = r.Word();
    t.x = static_cast<int16_t>(r.Word());
    t.y = static_cast<int16_t>(r.Word());
    t.cx = static_cast<int16_t>(r.Word());
    t.cy = static_cast<int16_t>(r.Word());
    t.menu = r.Element();
    t.windowClass = r.Element();
    t.caption = r.Element().text;
    if (t.style & DS_SETFONT) {
        t.hasFont = true;
        t.pointSize = r.Word();
        t.faceName = r.Element().text;
    }
    for (WORD i = 0; r.ok && i < count; ++i) {
        r.Align4();
        DialogItem item;
        item.style = r.Dword();
        item.exStyle = r.Dword();
        item.x = static_cast<int16_t>(r.Word());
        item.y = static_cast<int16_t>(r.Word());
        item.cx = static_cast<int16_t>(r.Word());
        item.cy = static_cast<int16_t>(r.Word());
        item.id = r.Word();
        item.windowClass = r.Element();
        item.title = r.Element();
        WORD extra = r.Word();
        if (extra == 1)
            return false; // a length that does not count itself: the item is not read whole
        if (extra != 0)
            r.Skip(extra - 2u);
        if (!r.ok)
            return false;
        t.items.push_back(std::move(item));
    }
    return r.ok;
}

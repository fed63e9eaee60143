// The one reader of dialog templates: the creation-data length counts its own two bytes, so a
// template with a length of 1 is malformed for the dialog host and the layout re-flow alike.
#include <gtest/gtest.h>

#include <vector>

#include "platform/dialog_template.h"

namespace {

void Word(std::vector<BYTE>& b, WORD v) {
    b.push_back(static_cast<BYTE>(v & 0xFF));
    b.push_back(static_cast<BYTE>(v >> 8));
}

// A template without a font and three edits, ids 1, 2, 3; the second carries creation data
// under the given length word.
std::vector<BYTE> ThreeEdits(WORD length, const std::vector<BYTE>& data) {
    std::vector<BYTE> b;
    Word(b, 0), Word(b, 0); // style
    Word(b, 0), Word(b, 0); // extended style
    Word(b, 3);
    for (int i = 0; i < 4; ++i)
        Word(b, 10);                    // x, y, width, height
    Word(b, 0), Word(b, 0), Word(b, 0); // menu, class, caption
    for (WORD id = 1; id <= 3; ++id) {
        b.resize((b.size() + 3) & ~size_t{3});
        for (int i = 0; i < 4 + 4; ++i)
            Word(b, 0); // style, extended style, x, y, width, height
        Word(b, id);
        Word(b, 0xFFFF), Word(b, 0x0081); // an edit
        Word(b, 0);                       // no caption
        Word(b, id == 2 ? length : 0);
        if (id == 2)
            b.insert(b.end(), data.begin(), data.end());
    }
    return b;
}

TEST(ParseDialogTemplate, CreationDataIsSteppedOverByALengthThatCountsItself) {
    struct Case {
        WORD length;
        std::vector<BYTE> data;
        const char* description;
        bool whole;
        std::vector<WORD> ids; // of the items read whole
    };
    const Case cases[] = {
        {0, {}, "none", true, {1, 2, 3}},
        {2, {}, "a length of only itself", true, {1, 2, 3}},
        {6, {1, 2, 3, 4}, "four bytes", true, {1, 2, 3}},
        {1, {}, "a length of 1, which cannot count itself", false, {1}},
        {0x7FFF, {1, 2, 3, 4}, "a length past the end", false, {1}},
    };
    for (const Case& c : cases) {
        const std::vector<BYTE> tpl = ThreeEdits(c.length, c.data);
        DialogTemplate t;
        EXPECT_EQ(ParseDialogTemplate(tpl.data(), tpl.size(), &t), c.whole) << c.description;
        std::vector<WORD> ids;
        for (const DialogItem& item : t.items)
            ids.push_back(item.id);
        EXPECT_EQ(ids, c.ids) << c.description;
    }
}

} // namespace

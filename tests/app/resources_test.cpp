// The compiled resources of vmod-versionup, read back byte by byte from the .res the build made
// and from the copy embedded in the program: exactly the four dialog templates with their
// controls, the icon in its four images, the version record and the high-resolution marker.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/winuser.h"

namespace {

// A reader of the .res and template formats written here from the format, independently of
// the platform layer's reader.
struct Bytes {
    const std::vector<uint8_t>& b;
    size_t pos = 0;

    uint16_t U16() {
        EXPECT_LE(pos + 2, b.size());
        if (pos + 2 > b.size())
            return 0;
        uint16_t v = static_cast<uint16_t>(b[pos] | (b[pos + 1] << 8));
        pos += 2;
        return v;
    }
    uint32_t U32() {
        uint32_t lo = U16();
        return lo | (static_cast<uint32_t>(U16()) << 16);
    }
    void Align4() { pos = (pos + 3) & ~size_t{3}; }
    // 0xFFFF + number gives "#number"; 0 gives ""; otherwise the UTF-16 string.
    std::u16string Element() {
        uint16_t first = U16();
        if (first == 0xFFFF)
            return Ordinal(U16());
        std::u16string s;
        for (uint16_t c = first; c != 0; c = U16())
            s += static_cast<char16_t>(c);
        return s;
    }
    // A numbered resource's name: "#" and the number. Built by appending, as a literal
    // prepended to a temporary trips GCC 12's -Wrestrict inside std::basic_string at -O3.
    static std::u16string Ordinal(uint16_t n) {
        std::u16string s = u"#";
        for (char d : std::to_string(n))
            s += static_cast<char16_t>(d);
        return s;
    }
};

struct Entry {
    std::u16string type, name;
    uint16_t language;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The .res file: entries of header (data size, header size, type, name, 4-byte alignment, data
// version, memory flags, language, version, characteristics) and data, each padded to 4.
std::vector<Entry> ReadRes(const std::vector<uint8_t>& file) {
    std::vector<Entry> out;
    Bytes r{file};
    while (r.pos + 8 <= file.size()) {
        size_t start = r.pos;
        uint32_t dataSize = r.U32();
        uint32_t headerSize = r.U32();
        Entry e;
        e.type = r.Element();
        e.name = r.Element();
        r.Align4();
        r.U32();
        r.U16();
        e.language = r.U16();
        e.data.assign(file.begin() + static_cast<long>(start + headerSize),
                      file.begin() + static_cast<long>(start + headerSize + dataSize));
        r.pos = (start + headerSize + dataSize + 3) & ~size_t{3};
        if (!(e.type == u"#0" && e.data.empty()))
            out.push_back(std::move(e));
    }
    return out;
}

const std::vector<Entry>& Res() {
    static const std::vector<Entry> res = ReadRes(ReadFile(VMOD_RESOURCES_RES_PATH));
    return res;
}

const Entry* Find(const std::u16string& type, const std::u16string& name) {
    for (const Entry& e : Res())
        if (e.type == type && e.name == name)
            return &e;
    return nullptr;
}

TEST(Resources, HoldExactlyTheTemplatesIconVersionAndMarkerInJapanese) {
    std::vector<std::pair<std::u16string, std::u16string>> got;
    for (const Entry& e : Res()) {
        got.emplace_back(e.type, e.name);
        EXPECT_EQ(e.language, 0x0411);
    }
    std::vector<std::pair<std::u16string, std::u16string>> expected = {
        {u"#5", u"#102"},
        {u"#5", u"#103"},
        {u"#5", u"#141"},
        {u"#5", u"#142"},
        {u"#3", u"#1"},
        {u"#3", u"#2"},
        {u"#3", u"#3"},
        {u"#3", u"#4"},
        {u"#14", u"#132"},
        {u"#16", u"#1"},
        {u"CEUX", u"HI_RES_AWARE"},
    };
    EXPECT_EQ(got, expected);
}

TEST(Resources, EmbeddedCopyIsTheCompiledOne) {
    for (const Entry& e : Res()) {
        std::wstring type(e.type.begin(), e.type.end()), name(e.name.begin(), e.name.end());
        auto id = [](const std::wstring& s) {
            return s[0] == L'#' ? MAKEINTRESOURCEW(std::stoi(s.substr(1))) : s.c_str();
        };
        HRSRC found = FindResourceW(nullptr, id(name), id(type));
        ASSERT_NE(found, nullptr);
        const auto* bytes = static_cast<const uint8_t*>(LoadResource(nullptr, found));
        ASSERT_EQ(SizeofResource(nullptr, found), e.data.size());
        EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + e.data.size()), e.data);
    }
}

// ---- dialog templates ------------------------------------------------------------------------

struct Control {
    uint16_t id;
    std::u16string cls; // "#128" button, "#129" edit, "#130" static, "#131" list box, or a name
    std::u16string text;
    uint32_t style;
    int16_t x, y, cx, cy;
};

// Styles as the controls are described: child and visible (0x50000000) plus
const uint32_t kReadOnlyEdit = 0x50000880; // ES_AUTOHSCROLL 0x80, ES_READONLY 0x800
const uint32_t kProgress = 0x50800000;     // WS_BORDER; not PBS_SMOOTH, not vertical
const uint32_t kLabel = 0x50020000;        // SS_LEFT, WS_GROUP
const uint32_t kPush = 0x50010000;         // BS_PUSHBUTTON, WS_TABSTOP
const uint32_t kList = 0x50B10103;   // WS_BORDER, WS_VSCROLL, WS_HSCROLL, WS_TABSTOP, LBS_NOTIFY,
                                     // LBS_SORT, LBS_NOINTEGRALHEIGHT
const uint32_t kNotice = 0x50A10844; // ES_MULTILINE, ES_AUTOVSCROLL, ES_READONLY, WS_VSCROLL,
                                     // WS_BORDER, WS_TABSTOP

struct Layout {
    int16_t x, y, cx, cy;
};

// Positions of one template by control id, and its order of creation.
struct Template {
    uint16_t number;
    int16_t cx, cy;
    std::map<uint16_t, Layout> at;
    std::vector<uint16_t> order;
};

const std::vector<uint16_t> kPortraitOrder = {1000, 1001, 1002, 1004, 1005, 1006,
                                              1007, 1010, 1009, 1011, 1003, 1016};
const std::vector<uint16_t> kLandscapeOrder = {1000, 1001, 1002, 1003, 1004, 1005,
                                               1006, 1007, 1010, 1009, 1011, 1016};

const Template kTemplates[] = {
    {102,
     139,
     180,
     {{1000, {92, 6, 42, 12}},
      {1001, {92, 20, 42, 12}},
      {1002, {92, 34, 42, 12}},
      {1010, {4, 8, 22, 8}},
      {1009, {4, 22, 72, 8}},
      {1011, {4, 36, 81, 8}},
      {1016, {4, 52, 130, 92}},
      {1003, {8, 54, 122, 90}},
      {1004, {4, 148, 130, 10}},
      {1005, {4, 162, 38, 8}},
      {1006, {60, 160, 36, 12}},
      {1007, {98, 160, 36, 12}}},
     kPortraitOrder},
    {141,
     139,
     235,
     {{1000, {92, 6, 42, 12}},
      {1001, {92, 20, 42, 12}},
      {1002, {92, 34, 42, 12}},
      {1010, {4, 8, 22, 8}},
      {1009, {4, 22, 72, 8}},
      {1011, {4, 36, 81, 8}},
      {1016, {4, 52, 130, 146}},
      {1003, {8, 54, 122, 136}},
      {1004, {4, 202, 130, 10}},
      {1005, {4, 216, 38, 8}},
      {1006, {60, 214, 36, 12}},
      {1007, {98, 214, 36, 12}}},
     kPortraitOrder},
    {103,
     179,
     130,
     {{1000, {126, 1, 48, 12}},
      {1001, {126, 15, 48, 12}},
      {1002, {126, 29, 48, 12}},
      {1010, {9, 2, 22, 8}},
      {1009, {9, 15, 72, 8}},
      {1011, {9, 30, 81, 8}},
      {1016, {6, 44, 168, 56}},
      {1003, {6, 82, 168, 14}},
      {1004, {6, 102, 168, 9}},
      {1005, {6, 114, 38, 8}},
      {1006, {96, 112, 36, 12}},
      {1007, {138, 112, 36, 12}}},
     kLandscapeOrder},
    {142,
     226,
     130,
     {{1000, {176, 2, 48, 12}},
      {1001, {176, 16, 48, 12}},
      {1002, {176, 30, 48, 12}},
      {1010, {9, 2, 22, 8}},
      {1009, {9, 15, 72, 8}},
      {1011, {9, 30, 81, 8}},
      {1016, {6, 44, 218, 56}},
      {1003, {6, 82, 168, 14}},
      {1004, {6, 102, 218, 9}},
      {1005, {6, 114, 38, 8}},
      {1006, {146, 112, 36, 12}},
      {1007, {189, 112, 36, 12}}},
     kLandscapeOrder},
};

// Class, text and style of each control: the same in every template.
const std::map<uint16_t, std::tuple<std::u16string, std::u16string, uint32_t>> kControls = {
    {1000, {u"#129", u"", kReadOnlyEdit}},
    {1001, {u"#129", u"", kReadOnlyEdit}},
    {1002, {u"#129", u"", kReadOnlyEdit}},
    {1004, {u"msctls_progress32", u"", kProgress}},
    {1005, {u"#130", u"", kLabel}},
    {1006, {u"#128", u"開始", kPush}},
    {1007, {u"#128", u"終了", kPush}},
    {1010, {u"#130", u"機種名", kLabel}},
    {1009, {u"#130", u"現在のバージョン", kLabel}},
    {1011, {u"#130", u"バージョンアップ後のバージョン", kLabel}},
    {1003, {u"#131", u"", kList}},
    {1016, {u"#129", u"", kNotice}},
};

TEST(Resources, DialogTemplatesHoldTheTwelveControlsAtTheirPlaces) {
    for (const Template& t : kTemplates) {
        SCOPED_TRACE(t.number);
        const Entry* e = Find(u"#5", Bytes::Ordinal(t.number));
        ASSERT_NE(e, nullptr);
        Bytes r{e->data};
        uint32_t style = r.U32();
        EXPECT_NE(style >> 16, 0xFFFFu) << "standard template, not extended";
        EXPECT_EQ(style, 0x90C00040u) << "WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_SETFONT";
        EXPECT_EQ(r.U32(), 0x80040000u) << "WS_EX_CAPTIONOKBTN | WS_EX_APPWINDOW";
        uint16_t count = r.U16();
        EXPECT_EQ(count, 12);
        EXPECT_EQ(r.U16(), 0);
        EXPECT_EQ(r.U16(), 0);
        EXPECT_EQ(static_cast<int16_t>(r.U16()), t.cx);
        EXPECT_EQ(static_cast<int16_t>(r.U16()), t.cy);
        EXPECT_EQ(r.Element(), u"") << "menu";
        EXPECT_EQ(r.Element(), u"") << "class";
        EXPECT_EQ(r.Element(), u"V-MOD VersionUp Tool") << "caption";
        EXPECT_EQ(r.U16(), 9) << "point size";
        EXPECT_EQ(r.Element(), u"MS UI Gothic");
        std::vector<uint16_t> order;
        for (uint16_t i = 0; i < count; ++i) {
            r.Align4();
            uint32_t itemStyle = r.U32();
            EXPECT_EQ(r.U32(), 0u) << "extended style";
            Layout at;
            at.x = static_cast<int16_t>(r.U16());
            at.y = static_cast<int16_t>(r.U16());
            at.cx = static_cast<int16_t>(r.U16());
            at.cy = static_cast<int16_t>(r.U16());
            uint16_t id = r.U16();
            std::u16string cls = r.Element();
            std::u16string text = r.Element();
            EXPECT_EQ(r.U16(), 0) << "no creation data";
            order.push_back(id);
            SCOPED_TRACE(id);
            auto control = kControls.find(id);
            ASSERT_NE(control, kControls.end());
            EXPECT_EQ(cls, std::get<0>(control->second));
            EXPECT_EQ(text, std::get<1>(control->second));
            EXPECT_EQ(itemStyle, std::get<2>(control->second));
            const Layout& want = t.at.at(id);
            EXPECT_EQ(at.x, want.x);
            EXPECT_EQ(at.y, want.y);
            EXPECT_EQ(at.cx, want.cx);
            EXPECT_EQ(at.cy, want.cy);
        }
        EXPECT_EQ(order, t.order);
        EXPECT_EQ(r.pos, e->data.size()) << "nothing after the last control";
    }
}

// ---- icon -----------------------------------------------------------------------------------

TEST(Resources, Icon132Holds32And16PixelImagesAt16And256Colours) {
    const Entry* group = Find(u"#14", u"#132");
    ASSERT_NE(group, nullptr);
    Bytes g{group->data};
    EXPECT_EQ(g.U16(), 0);
    EXPECT_EQ(g.U16(), 1) << "icon, not cursor";
    uint16_t count = g.U16();
    struct Image {
        int size, colours, bits;
    };
    const Image expected[] = {{32, 16, 4}, {16, 16, 4}, {32, 0, 8}, {16, 0, 8}};
    ASSERT_EQ(count, std::size(expected));
    for (uint16_t i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        int width = group->data[g.pos], height = group->data[g.pos + 1];
        int colours = group->data[g.pos + 2];
        g.pos += 4;
        uint16_t planes = g.U16();
        uint16_t bits = g.U16();
        uint32_t bytes = g.U32();
        uint16_t id = g.U16();
        EXPECT_EQ(width, expected[i].size);
        EXPECT_EQ(height, expected[i].size);
        EXPECT_EQ(colours, expected[i].colours);
        EXPECT_EQ(planes, 1);
        EXPECT_EQ(bits, expected[i].bits);
        const Entry* image = Find(u"#3", Bytes::Ordinal(id));
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->data.size(), bytes);
        // The image itself: BITMAPINFOHEADER with the mask's rows counted in the height,
        // a full palette, colour rows and mask rows padded to 4 bytes.
        Bytes d{image->data};
        EXPECT_EQ(d.U32(), 40u);
        EXPECT_EQ(static_cast<int>(d.U32()), expected[i].size);
        EXPECT_EQ(static_cast<int>(d.U32()), expected[i].size * 2);
        EXPECT_EQ(d.U16(), 1);
        EXPECT_EQ(d.U16(), expected[i].bits);
        EXPECT_EQ(d.U32(), 0u) << "uncompressed";
        size_t size = static_cast<size_t>(expected[i].size);
        size_t palette = 4u << expected[i].bits;
        size_t colourRows = (size * expected[i].bits + 31) / 32 * 4 * size;
        size_t maskRows = (size + 31) / 32 * 4 * size;
        EXPECT_EQ(image->data.size(), 40 + palette + colourRows + maskRows);
        // Drawn: some pixels are opaque and some transparent.
        size_t opaque = 0;
        size_t maskStride = (size + 31) / 32 * 4;
        for (size_t y = 0; y < size; ++y)
            for (size_t x = 0; x < size; ++x)
                opaque += !(image->data[40 + palette + colourRows + y * maskStride + x / 8] &
                            (0x80 >> (x % 8)));
        EXPECT_GT(opaque, size * size / 3);
        EXPECT_LT(opaque, size * size);
    }
}

// ---- version record -------------------------------------------------------------------------

// One node of the version record: length, value length, type, key, value, children, each
// starting on a 4-byte boundary.
struct Node {
    std::u16string key;
    std::vector<uint8_t> value;
    uint16_t type;
    std::vector<Node> children;
};

Node ReadNode(const std::vector<uint8_t>& b, size_t pos) {
    Bytes r{b, pos};
    size_t end = pos + r.U16();
    uint16_t valueLength = r.U16();
    Node n;
    n.type = r.U16();
    for (uint16_t c = r.U16(); c != 0; c = r.U16())
        n.key += static_cast<char16_t>(c);
    r.Align4();
    size_t valueBytes = n.type == 1 ? valueLength * 2u : valueLength;
    n.value.assign(b.begin() + static_cast<long>(r.pos),
                   b.begin() + static_cast<long>(std::min(end, r.pos + valueBytes)));
    r.pos += valueBytes;
    r.Align4();
    while (r.pos + 6 <= end) {
        Node child = ReadNode(b, r.pos);
        Bytes len{b, r.pos};
        r.pos += len.U16();
        r.Align4();
        n.children.push_back(std::move(child));
    }
    return n;
}

std::u16string TextOf(const std::vector<uint8_t>& v) {
    std::u16string s;
    for (size_t i = 0; i + 1 < v.size(); i += 2) {
        char16_t c = static_cast<char16_t>(v[i] | (v[i + 1] << 8));
        if (c == 0)
            break;
        s += c;
    }
    return s;
}

TEST(Resources, VersionRecordIs1_1_0_3InJapaneseWithCodePage932) {
    const Entry* e = Find(u"#16", u"#1");
    ASSERT_NE(e, nullptr);
    Node root = ReadNode(e->data, 0);
    EXPECT_EQ(root.key, u"VS_VERSION_INFO");
    ASSERT_EQ(root.value.size(), 52u);
    Bytes f{root.value};
    EXPECT_EQ(f.U32(), 0xFEEF04BDu) << "fixed file info signature";
    f.U32();
    EXPECT_EQ(f.U32(), 0x00010001u) << "file version 1.1";
    EXPECT_EQ(f.U32(), 0x00000003u) << "file version .0.3";
    EXPECT_EQ(f.U32(), 0x00010001u) << "product version 1.1";
    EXPECT_EQ(f.U32(), 0x00000003u) << "product version .0.3";

    std::map<std::u16string, std::u16string> strings;
    std::vector<uint8_t> translation;
    for (const Node& block : root.children) {
        if (block.key == u"StringFileInfo") {
            ASSERT_EQ(block.children.size(), 1u);
            EXPECT_EQ(block.children[0].key, u"041103a4");
            for (const Node& s : block.children[0].children)
                strings[s.key] = TextOf(s.value);
        } else if (block.key == u"VarFileInfo") {
            ASSERT_EQ(block.children.size(), 1u);
            EXPECT_EQ(block.children[0].key, u"Translation");
            translation = block.children[0].value;
        }
    }
    EXPECT_EQ(strings[u"FileDescription"], u"V-MOD VersionUp Tool");
    EXPECT_EQ(strings[u"ProductName"], u"V-MOD VersionUp Tool");
    EXPECT_EQ(strings[u"FileVersion"], u"1, 1, 0, 3");
    EXPECT_EQ(strings[u"ProductVersion"], u"1, 1, 0, 3");
    EXPECT_EQ(translation, (std::vector<uint8_t>{0x11, 0x04, 0xA4, 0x03}));
}

TEST(Resources, HighResolutionMarkerHoldsOne) {
    const Entry* e = Find(u"CEUX", u"HI_RES_AWARE");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->data, (std::vector<uint8_t>{0x01, 0x00}));
}

} // namespace

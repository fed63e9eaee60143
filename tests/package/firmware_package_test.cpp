#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "package/firmware_package.h"
#include "platform/file.h"

namespace fs = std::filesystem;

namespace {

std::wstring Units(std::initializer_list<unsigned> codes) {
    std::wstring s;
    for (unsigned c : codes)
        s += static_cast<wchar_t>(c);
    return s;
}

TEST(FormatVersionText, HexDigitPairsAreTheCharacterCodes) {
    struct Case {
        const wchar_t* field;
        const char* description;
        std::wstring expected;
    } cases[] = {
        {L"825110581", "the usual version", L"1.05"},
        {L"6382179", "three letters", L"abc"},
        {L"258", "odd digit count: last group one digit", Units({0x10, 0x02})},
        {L"-1", "negative: 32-bit two's complement", Units({0xff, 0xff, 0xff, 0xff})},
        {L"", "empty field", Units({0x00})},
        {L"x12", "no digits", Units({0x00})},
        {L"000825110581", "twelve digits, leading zeros", L"1.05"},
        {L"  +825110581junk", "white space, sign and trailing text", L"1.05"},
        {L"99999999999", "beyond 32 bits clamps to the largest value",
         Units({0x7f, 0xff, 0xff, 0xff})},
        {L"-99999999999", "below 32 bits clamps to the smallest value",
         Units({0x80, 0x00, 0x00, 0x00})},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatVersionText(CString(c.field)).str(), c.expected) << c.description;
    }
}

TEST(ParseLineCountField, DecimalWithinTheEightBytes) {
    struct Case {
        const char bytes[9];
        const char* description;
        int32_t expected;
    } cases[] = {
        {{'1', '2', '3', '4', 0, 0, 0, 0}, "digits then NULs", 1234},
        {" 42\0\0\0\0", "leading space", 42},
        {"12ab\0\0\0\0", "digits then letters", 12},
        {"12345678", "eight digits, no terminator", 12345678},
        {"        ", "eight spaces", 0},
        {"-5\0\0\0\0\0\0", "negative count", -5},
        {"\0\0\0\0\0\0\0\0", "all NUL", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseLineCountField(reinterpret_cast<const uint8_t*>(c.bytes)), c.expected)
            << c.description;
    }
}

class LoadPackageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vmod-package-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_root = tmpl;
        m_dir = m_root / "Program Files" / "V-MOD VersionUp Tool";
        fs::create_directories(m_dir);
        setenv("VMOD_ROOT", m_root.c_str(), 1);
        g_firmwarePackage = FirmwarePackage();
    }
    void TearDown() override {
        unsetenv("VMOD_ROOT");
        fs::remove_all(m_root);
        g_firmwarePackage = FirmwarePackage();
    }
    void Write(const char* name, const std::string& bytes) {
        std::ofstream(m_dir / name, std::ios::binary) << bytes;
    }
    static std::string Header(const char* count, const char* version) {
        std::string h(20, '\0');
        std::memcpy(&h[0], count, std::strlen(count));
        std::memcpy(&h[8], version, std::strlen(version));
        return h;
    }
    void WriteAll() {
        Write("kv615mq.data", m_main);
        Write("kv615mqb.data", m_boot);
        Write("kv615mq.bin", Header("1234", "825110581") + "ignored tail");
        Write("kv615mqb.bin", Header(" 42", "825110578"));
    }

    fs::path m_root;
    fs::path m_dir;
    std::string m_main = std::string("main payload \0 with a NUL", 25);
    std::string m_boot = "boot";
};

TEST_F(LoadPackageTest, LoadsAllFourFiles) {
    WriteAll();
    ASSERT_TRUE(LoadPackage());
    const FirmwarePackage& p = g_firmwarePackage;
    ASSERT_EQ(p.mainImageSize, m_main.size());
    EXPECT_EQ(std::memcmp(p.mainImage.get(), m_main.data(), m_main.size()), 0);
    ASSERT_EQ(p.bootImageSize, m_boot.size());
    EXPECT_EQ(std::memcmp(p.bootImage.get(), m_boot.data(), m_boot.size()), 0);
    EXPECT_EQ(p.mainLineCount, 1234);
    EXPECT_EQ(p.bootLineCount, 42);
    EXPECT_EQ(p.mainVersionText.str(), L"1.05");
    EXPECT_EQ(p.bootVersionText.str(), L"1.02");
}

TEST_F(LoadPackageTest, EachMissingFileFailsAndKeepsWhatWasRead) {
    const char* names[] = {"kv615mq.data", "kv615mqb.data", "kv615mq.bin", "kv615mqb.bin"};
    for (int missing = 0; missing < 4; missing++) {
        WriteAll();
        fs::remove(m_dir / names[missing]);
        g_firmwarePackage = FirmwarePackage();
        EXPECT_FALSE(LoadPackage()) << names[missing];
        // The files before the missing one stay loaded.
        EXPECT_EQ(g_firmwarePackage.mainImage != nullptr, missing > 0) << names[missing];
        EXPECT_EQ(g_firmwarePackage.bootImage != nullptr, missing > 1) << names[missing];
    }
}

TEST_F(LoadPackageTest, ShortHeaderReadsAsNulPadded) {
    WriteAll();
    Write("kv615mq.bin", "77"); // count only, no version at all
    Write("kv615mqb.bin", std::string("9\0\0\0\0\0\0\0"
                                      "6382",
                                      12)); // version cut after 4 digits
    ASSERT_TRUE(LoadPackage());
    EXPECT_EQ(g_firmwarePackage.mainLineCount, 77);
    EXPECT_EQ(g_firmwarePackage.mainVersionText.str(), Units({0x00}));
    EXPECT_EQ(g_firmwarePackage.bootLineCount, 9);
    EXPECT_EQ(g_firmwarePackage.bootVersionText.str(), Units({0x18, 0xee}));
}

TEST_F(LoadPackageTest, EmptyPayloadLoadsAsAnEmptyImage) {
    m_boot.clear();
    WriteAll();
    ASSERT_TRUE(LoadPackage());
    EXPECT_EQ(g_firmwarePackage.bootImageSize, 0u);
}

TEST_F(LoadPackageTest, PayloadHeldByAnotherOpenerFails) {
    WriteAll();
    CFile holder;
    ASSERT_TRUE(holder.Open(L"\\Program Files\\V-MOD VersionUp Tool\\kv615mqb.data",
                            CFile::modeRead | CFile::shareExclusive));
    EXPECT_FALSE(LoadPackage());
    holder.Close();
    EXPECT_TRUE(LoadPackage());
}

} // namespace

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/cstring.h"
#include "platform/device_root.h"
#include "platform/file.h"

namespace {

class ScopedRoot {
public:
    explicit ScopedRoot(const char* value) {
        const char* old = std::getenv("VMOD_ROOT");
        m_had = old != nullptr;
        if (old) m_old = old;
        if (value) {
            setenv("VMOD_ROOT", value, 1);
        } else {
            unsetenv("VMOD_ROOT");
        }
    }
    ~ScopedRoot() {
        if (m_had) {
            setenv("VMOD_ROOT", m_old.c_str(), 1);
        } else {
            unsetenv("VMOD_ROOT");
        }
    }

private:
    bool m_had = false;
    std::string m_old;
};

TEST(DeviceRoot, MapsDevicePathsUnderTheRoot) {
    struct Case {
        const char* root;
        const wchar_t* device;
        const char* expected;
    } cases[] = {
        {"/tmp/r", L"\\Program Files\\V-MOD VersionUp Tool\\kv615mq.data",
         "/tmp/r/Program Files/V-MOD VersionUp Tool/kv615mq.data"},
        {"/tmp/r///", L"\\dev\\COM3", "/tmp/r/dev/COM3"},
        {"/tmp/r", L"\\\x30c6\x30b9\x30c8", "/tmp/r/\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88"},
    };
    for (const Case& c : cases) {
        ScopedRoot root(c.root);
        EXPECT_EQ(DeviceToHostPath(c.device), c.expected) << c.root;
    }
}

TEST(DeviceRoot, InstallFolderWithoutRootIsTheDataFolder) {
    ScopedRoot root(nullptr);
    EXPECT_EQ(DeviceRoot(), "");
    std::string p = DeviceToHostPath(L"\\Program Files\\V-MOD VersionUp Tool\\kv615mq.ver");
    EXPECT_EQ(p, std::string(VMOD_TEST_DATA_DIR) + "/kv615mq.ver");
}

TEST(CFile, ReadsExclusivelyThroughTheRoot) {
    char dir[] = "/tmp/vmod-cfile-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    ScopedRoot root(dir);
    {
        std::ofstream(std::string(dir) + "/f.bin", std::ios::binary) << "0123456789";
    }
    CFile a;
    ASSERT_TRUE(a.Open(L"\\f.bin", CFile::modeRead | CFile::shareExclusive));
    EXPECT_EQ(a.GetLength(), 10u);
    CFile b;
    EXPECT_FALSE(b.Open(L"\\f.bin", CFile::modeRead | CFile::shareExclusive));
    char buf[16] = {};
    EXPECT_EQ(a.Read(buf, 4), 4u);
    EXPECT_EQ(a.Read(buf + 4, 16), 6u);
    EXPECT_EQ(std::string(buf), "0123456789");
    a.Close();
    a.Close();
    EXPECT_EQ(a.GetLength(), 0u);
    EXPECT_TRUE(b.Open(L"\\f.bin", CFile::modeRead));
    b.Close();
    CFile missing;
    EXPECT_FALSE(missing.Open(L"\\nothing", CFile::modeRead));
    std::remove((std::string(dir) + "/f.bin").c_str());
    rmdir(dir);
}

TEST(CString, FormatTakesNarrowStyleSpecifiersAsWide) {
    CString s;
    s.Format(L"%s=%d%c", L"COM", 3, L'!');
    EXPECT_EQ(s.str(), L"COM=3!");
}

} // namespace

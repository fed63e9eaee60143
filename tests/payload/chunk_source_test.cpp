// The package's two chunk sources over a package loaded from a device root: chunk sizes,
// offsets, and both images read back through the payload stream, also on two threads at once.
#include <gtest/gtest.h>
#include <zlib.h>

#include <barrier>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "decode_support.h"
#include "package/firmware_package.h"
#include "payload/des.h"
#include "payload/payload_stream.h"

using namespace decode_test;

namespace {

// An encrypted image of the text, with zero bytes appended up to `size` (the stream never
// reads past the member).
Bytes MakeImage(const std::string& text, size_t size) {
    Bytes data(text.begin(), text.end());
    Bytes member = GzipWrap(ZlibDeflate(data, 9, Z_DEFAULT_STRATEGY, -15), data);
    member.resize((member.size() + 7) / 8 * 8, 0);
    const unsigned char key[8] = {'r', 't', 'o', 'g', '5', 'u', '3', 0};
    des_ecb_crypt(key, member.data(), static_cast<int>(member.size()), VMOD_DES_ENCRYPT);
    if (member.size() < size) {
        member.resize(size, 0);
    }
    return member;
}

std::string Lines(const char* prefix, int count) {
    std::string text;
    for (int i = 0; i < count; i++) {
        text += std::string(prefix) + std::to_string(i) + "0123456789ABCDEF0123456789ABCDEF\r\n";
    }
    return text;
}

void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes Header(const char* count, const char* version) {
    Bytes h(20, 0);
    std::memcpy(h.data(), count, std::strlen(count));
    std::memcpy(h.data() + 8, version, std::strlen(version));
    return h;
}

const std::string kMainText = Lines("S3main", 4000);
const std::string kBootText = Lines("S3boot", 300);
const size_t kMainSize = 3 * 65536 + 5; // three full chunks and a short one
const size_t kBootSize = 65536;         // exactly one chunk
Bytes g_main;
Bytes g_boot;

class ChunkSources : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::filesystem::path root =
            std::filesystem::path(VMOD_TEST_WORK_DIR) / "chunk_source_root";
        std::filesystem::path folder = root / "Program Files" / "V-MOD VersionUp Tool";
        std::filesystem::create_directories(folder);
        g_main = MakeImage(kMainText, kMainSize);
        g_boot = MakeImage(kBootText, kBootSize);
        ASSERT_EQ(g_main.size(), kMainSize);
        ASSERT_EQ(g_boot.size(), kBootSize);
        WriteFile(folder / "kv615mq.data", g_main);
        WriteFile(folder / "kv615mqb.data", g_boot);
        WriteFile(folder / "kv615mq.bin", Header("4001", "825110581"));
        WriteFile(folder / "kv615mqb.bin", Header("301", "825110578"));
        const char* old = std::getenv("VMOD_ROOT");
        std::string saved = old != nullptr ? old : "";
        setenv("VMOD_ROOT", root.c_str(), 1);
        ASSERT_TRUE(LoadPackage());
        if (old != nullptr) {
            setenv("VMOD_ROOT", saved.c_str(), 1);
        } else {
            unsetenv("VMOD_ROOT");
        }
    }

    void TearDown() override { payload_close(); }

    static std::string ReadText(ChunkSource source) {
        EXPECT_EQ(payload_open(source, 65536, "rtog5u3"), 0);
        return ReadLines();
    }

    // The rest of the open stream's text, every line ending in CR LF.
    static std::string ReadLines() {
        std::string text;
        char line[256];
        int n;
        while ((n = payload_gets(line, sizeof line)) >= 0) {
            text += line;
            if (static_cast<size_t>(n) == std::strlen(line) + 1) {
                text += "\r\n";
            }
            line[0] = '\0';
        }
        return text;
    }
};

TEST_F(ChunkSources, MainImageComesInChunksFromItsOffset) {
    payload_read_offsets().mainReadOffset = 0;
    std::vector<unsigned char> buffer(65536 + 16);
    Bytes copied;
    for (int32_t want : {65536, 65536, 65536, 5, -1, -1}) {
        int32_t got = main_chunk_source(buffer.data());
        ASSERT_EQ(got, want);
        if (got > 0) {
            copied.insert(copied.end(), buffer.begin(), buffer.begin() + got);
        }
    }
    EXPECT_EQ(copied, g_main);
    EXPECT_EQ(static_cast<uint64_t>(payload_read_offsets().mainReadOffset), kMainSize);
}

TEST_F(ChunkSources, BootImageOfExactlyOneChunkEndsAfterIt) {
    payload_read_offsets().bootReadOffset = 0;
    std::vector<unsigned char> buffer(65536 + 16);
    EXPECT_EQ(boot_chunk_source(buffer.data()), 65536);
    EXPECT_EQ(std::memcmp(buffer.data(), g_boot.data(), 65536), 0);
    EXPECT_EQ(boot_chunk_source(buffer.data()), -1);
    EXPECT_EQ(boot_chunk_source(buffer.data()), -1);
    EXPECT_EQ(static_cast<uint64_t>(payload_read_offsets().bootReadOffset), kBootSize);
}

// The download's order: the boot image once, then the main image from offset 0.
TEST_F(ChunkSources, BothImagesReadBackThroughTheStream) {
    payload_read_offsets().bootReadOffset = 0;
    EXPECT_EQ(ReadText(boot_chunk_source), kBootText);
    payload_close();
    payload_read_offsets().mainReadOffset = 0;
    EXPECT_EQ(ReadText(main_chunk_source), kMainText);
    // The sources never rewind by themselves: a second pass without a reset finds nothing.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(payload_open(main_chunk_source, 65536, "rtog5u3"), -1);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("ziplib: "), std::string::npos);
}

// Updates on several threads share the loaded package and nothing else: streams open at once
// on two threads, over different images or the same one, each give their own image's text
// whole. A new thread's read offsets start at 0.
TEST_F(ChunkSources, StreamsOnTwoThreadsEachReadTheirOwnImage) {
    struct Case {
        ChunkSource sources[2];
        const std::string* texts[2];
    };
    const Case cases[] = {
        {{boot_chunk_source, main_chunk_source}, {&kBootText, &kMainText}},
        {{main_chunk_source, main_chunk_source}, {&kMainText, &kMainText}},
    };
    for (const Case& c : cases) {
        std::barrier both_open(2);
        std::string texts[2];
        auto update = [&](int i) {
            // Both streams are open before either is read, so they would be one if shared.
            const bool opened = payload_open(c.sources[i], 65536, "rtog5u3") == 0;
            both_open.arrive_and_wait();
            texts[i] = opened ? ReadLines() : "";
            payload_close();
        };
        std::thread first(update, 0);
        std::thread second(update, 1);
        first.join();
        second.join();
        for (int i = 0; i < 2; i++) {
            EXPECT_TRUE(texts[i] == *c.texts[i]) << "thread " << i << " read " << texts[i].size()
                                                 << " of " << c.texts[i]->size() << " bytes";
        }
    }
}

} // namespace

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tools/sim/srec.h"

namespace vmod_sim {
namespace {

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("vmod_sim_srec_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + name))
        .string();
}

TEST(ParseSrec, AcceptsEveryRecordType) {
    struct Case {
        const char* text;
        const char* description;
        int type;
        uint32_t address;
        std::vector<uint8_t> data;
    } cases[] = {
        {"S00600004844521B", "S0 header with text", 0, 0, {'H', 'D', 'R'}},
        {"S1130000285F245F2212226A000424290008237C2A",
         "S1, 16-bit address",
         1,
         0x0000,
         {0x28, 0x5F, 0x24, 0x5F, 0x22, 0x12, 0x22, 0x6A, 0x00, 0x04, 0x24, 0x29, 0x00, 0x08, 0x23,
          0x7C}},
        {"S2080123450102030484", "S2, 24-bit address", 2, 0x012345, {1, 2, 3, 4}},
        {"S30A080000001122334455EE",
         "S3, 32-bit address",
         3,
         0x08000000,
         {0x11, 0x22, 0x33, 0x44, 0x55}},
        {"s1040010aa41", "lower-case is not an S-record", -1, 0, {}},
        {"S1040010aa41", "lower-case hex digits", 1, 0x0010, {0xAA}},
        {"S5030003F9", "S5 record count", 5, 3, {}},
        {"S70508000000F2", "S7 start address, 32-bit", 7, 0x08000000, {}},
        {"S804010000FA", "S8 start address, 24-bit", 8, 0x010000, {}},
        {"S9030000FC", "S9 start address, 16-bit", 9, 0, {}},
        {"S1030000FC", "data record with no data", 1, 0, {}},
    };
    SrecRecord r; // one record for all, as the checks reuse theirs
    for (const Case& c : cases) {
        const std::string fault = ParseSrec(c.text, &r);
        if (c.type < 0) {
            EXPECT_NE(fault, "") << c.description;
            continue;
        }
        ASSERT_EQ(fault, "") << c.description;
        EXPECT_EQ(r.type, c.type) << c.description;
        EXPECT_EQ(r.address, c.address) << c.description;
        EXPECT_EQ(r.data, c.data) << c.description;
    }
}

TEST(ParseSrec, NamesTheFault) {
    struct Case {
        const char* text;
        const char* description;
        const char* fault; // a part of the expected description
    } cases[] = {
        {"", "empty", "empty line"},
        {"X1030000FC", "no S", "not an S-record"},
        {"S", "no type", "no record type"},
        {"S4030000FC", "S4 does not exist", "unknown record type S4"},
        {"S1030000F", "odd digit count", "odd number"},
        {"S10300G0FC", "bad hex digit", "not a hex digit at column 7"},
        {"S1040000FC", "count one too many", "count says 4 bytes follow, 3 do"},
        {"S1020000FC", "count one too few", "count says 2 bytes follow, 3 do"},
        {"S1030000FD", "checksum off by one", "checksum 0xFD, the record needs 0xFC"},
        {"S1130000285F245F2212226A000424290008237C2B", "checksum of a full line",
         "checksum 0x2B, the record needs 0x2A"},
        {"S3030000FC", "count too small for S3", "too small"},
        {"S9040000AA51", "data in a termination record", "carries 1 data bytes"},
        {"S5040003AA4E", "data in a count record", "carries 1 data bytes"},
        {"S105FFFF0102F9", "S1 data past 0xFFFF", "runs past the end"},
    };
    for (const Case& c : cases) {
        const std::string fault = ParseSrec(c.text, nullptr);
        EXPECT_NE(fault.find(c.fault), std::string::npos)
            << c.description << ": got \"" << fault << "\"";
    }
}

TEST(SparseImage, MergesRunsWhateverTheOrderOfWrites) {
    const uint8_t a[] = {1, 2, 3, 4};
    const uint8_t b[] = {5, 6};
    const uint8_t c[] = {7, 8, 9};
    SparseImage ascending;
    ascending.Write(0x100, a, 4);
    ascending.Write(0x104, b, 2);
    ascending.Write(0x106, c, 3);
    SparseImage scattered;
    scattered.Write(0x106, c, 3);
    scattered.Write(0x100, a, 4);
    scattered.Write(0x104, b, 2);
    EXPECT_EQ(ascending.Segments(), scattered.Segments());
    ASSERT_EQ(ascending.Segments().size(), 1u);
    EXPECT_EQ(ascending.Size(), 9u);
    EXPECT_EQ(ascending.Low(), 0x100u);
    EXPECT_EQ(ascending.High(), 0x109u);
}

TEST(SparseImage, ReportsOverlapsAndOverwrites) {
    const uint8_t a[] = {1, 2, 3, 4};
    const uint8_t z[] = {0xEE, 0xEE};
    SparseImage image;
    image.Write(0x10, a, 4);
    image.Write(0x20, a, 4);
    EXPECT_FALSE(image.Overlaps(0x14, 12)) << "the gap between the runs";
    EXPECT_TRUE(image.Overlaps(0x13, 1)) << "the first run's last byte";
    EXPECT_TRUE(image.Overlaps(0x0F, 2)) << "reaching into the first run";
    EXPECT_TRUE(image.Overlaps(0x14, 13)) << "reaching into the second run";
    EXPECT_FALSE(image.Overlaps(0x13, 0)) << "nothing to write";
    image.Write(0x13, z, 2); // bridges into the gap, overwriting one byte
    EXPECT_EQ(image.ToBinary(0x55),
              (std::vector<uint8_t>{1,    2,    3,    0xEE, 0xEE, 0x55, 0x55, 0x55, 0x55, 0x55,
                                    0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 1,    2,    3,    4}));
    EXPECT_EQ(image.Segments().size(), 2u);
}

TEST(SparseImage, WritesUpToTheTopOfTheAddressSpace) {
    const uint8_t a[] = {0xAB, 0xCD};
    SparseImage image;
    image.Write(0xFFFFFFFE, a, 2);
    EXPECT_EQ(image.High(), 0x100000000ull);
    EXPECT_TRUE(image.Overlaps(0xFFFFFFFF, 1));
    EXPECT_EQ(image.ToBinary(), (std::vector<uint8_t>{0xAB, 0xCD}));
}

TEST(ImageToSrec, RoundTripsThroughTheLoader) {
    struct Case {
        uint32_t address;
        size_t size;
        const char* description;
        char dataType;
    } cases[] = {
        {0x0000, 100, "fits 16 bits: S1", '1'},
        {0x1FFF0, 40, "crosses 64 KiB: S2", '2'},
        {0x08000000, 70, "32-bit address: S3", '3'},
    };
    for (const Case& c : cases) {
        SparseImage image;
        std::vector<uint8_t> bytes(c.size);
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<uint8_t>(i * 7 + 3);
        }
        image.Write(c.address, bytes.data(), bytes.size());
        image.Write(c.address + 0x1000, bytes.data(), 5);
        image.startAddress = c.address;
        const std::string text = ImageToSrec(image, "hdr");
        EXPECT_EQ(text.substr(0, 2), "S0") << c.description;
        EXPECT_NE(text.find(std::string("\nS") + c.dataType), std::string::npos) << c.description;
        const std::string path = TempPath("roundtrip.srec");
        std::ofstream(path, std::ios::binary) << text;
        SparseImage loaded;
        std::string error;
        ASSERT_TRUE(LoadSrecFile(path, &loaded, &error)) << c.description << ": " << error;
        EXPECT_TRUE(CompareImages(loaded, image, "x").equal) << c.description;
        EXPECT_EQ(loaded.startAddress, image.startAddress) << c.description;
        std::remove(path.c_str());
    }
}

TEST(LoadSrecFile, RejectsABadRecordWithItsLine) {
    const std::string path = TempPath("bad.srec");
    std::ofstream(path) << "S00600004844521B\r\n\nS1040000AA51\nS1040000AA52\n";
    SparseImage image;
    std::string error;
    EXPECT_FALSE(LoadSrecFile(path, &image, &error));
    EXPECT_NE(error.find(":4: checksum"), std::string::npos) << error;
    std::ofstream(path) << "S1040000AA51\nS1040000AA51\n";
    EXPECT_FALSE(LoadSrecFile(path, &image, &error));
    EXPECT_NE(error.find(":2: address 0x00000000 written twice"), std::string::npos) << error;
    std::remove(path.c_str());
    EXPECT_FALSE(LoadSrecFile(path, &image, &error));
}

// srec_cat (srecord) is an independent reader: the binary it makes from our S-records must
// be the binary we make from the image.
TEST(ImageToSrec, AgreesWithSrecCat) {
    if (std::system("srec_cat --version > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "srec_cat is not installed";
    }
    SparseImage image;
    std::vector<uint8_t> bytes(3000);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>((i * 131) ^ (i >> 3));
    }
    image.Write(0x20000, bytes.data(), bytes.size());
    image.Write(0x20000 + 4000, bytes.data(), 33);
    const std::string srec = TempPath("cat.srec");
    const std::string bin = TempPath("cat.bin");
    std::ofstream(srec, std::ios::binary) << ImageToSrec(image, "srec_cat check");
    const std::string command = "srec_cat '" + srec + "' -offset -0x20000 -fill 0xFF 0 " +
                                std::to_string(4033) + " -o '" + bin + "' -binary";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(bin, std::ios::binary);
    std::vector<uint8_t> theirs((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(theirs, image.ToBinary(0xFF));
    std::remove(srec.c_str());
    std::remove(bin.c_str());
}

TEST(CompareImages, NamesTheFirstDifference) {
    const uint8_t a[] = {1, 2, 3, 4};
    const uint8_t b[] = {1, 2, 9, 4};
    SparseImage base;
    base.Write(0x100, a, 4);
    base.startAddress = 0x100;
    struct Case {
        const char* description;
        SparseImage programmed;
        bool equal;
        const char* text;
    };
    std::vector<Case> cases;
    cases.push_back(
        {"same bytes and start", base, true, "programmed image equals fw.srec (4 bytes"});
    SparseImage changed = base;
    changed.Write(0x102, b + 2, 1);
    cases.push_back(
        {"one byte changed", changed, false, "at 0x00000102: programmed 0x09, expected 0x03"});
    SparseImage shorter;
    shorter.Write(0x100, a, 3);
    cases.push_back(
        {"last byte missing", shorter, false, "0x00000103 expected but not programmed"});
    SparseImage longer = base;
    longer.Write(0x200, a, 1);
    cases.push_back(
        {"extra byte", longer, false, "0x00000200 programmed but not in the expected image"});
    SparseImage earlier;
    earlier.Write(0x0FF, a, 1);
    earlier.Write(0x100, a, 4);
    cases.push_back({"extra byte below", earlier, false, "0x000000FF programmed but not"});
    SparseImage moved = base;
    moved.startAddress = 0x104;
    cases.push_back({"start address differs", moved, false, "start address 0x00000104"});
    SparseImage empty;
    cases.push_back({"nothing programmed", empty, false, "0x00000100 expected but not programmed"});
    for (const Case& c : cases) {
        const Verdict v = CompareImages(c.programmed, base, "fw.srec");
        EXPECT_EQ(v.equal, c.equal) << c.description;
        EXPECT_NE(v.text.find(c.text), std::string::npos) << c.description << ": " << v.text;
    }
}

} // namespace
} // namespace vmod_sim

// SPDX-License-Identifier: Apache-2.0
// The BMP page dump.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "tarnwel_rastertobmp.h"
#include "test_util.h"

namespace {

int32_t le32_at(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = (v << 8) | static_cast<uint8_t>(b[at + i]);
    return static_cast<int32_t>(v);
}
int16_t le16_at(const std::string& b, size_t at) {
    return static_cast<int16_t>(static_cast<uint8_t>(b[at]) |
                                (static_cast<uint8_t>(b[at + 1]) << 8));
}

// Module state is process-wide: every test starts and ends with nothing open.
class BmpTest : public ::testing::Test {
  protected:
    void SetUp() override { closeBmpFIle(); }
    void TearDown() override { closeBmpFIle(); }

    // A fresh file to hand to the writers as a stream.
    FILE* temp_stream() {
        path_ = temp_dir() + "/out.bmp";
        return fopen(path_.c_str(), "w+b");
    }
    std::string contents(FILE* f) {
        fflush(f);
        return read_file(path_);
    }
    std::string path_;
};

TEST_F(BmpTest, HeaderFields) {
    struct Case {
        bool color;
        int width, height;
        int biWidth, bitCount, clrUsed, sizeImage, offBits, fileSize;
    } cases[] = {
        {false, 100, 2, 128, 1, 2, 32, 62, 94},
        {false, 64, 3, 64, 1, 2, 24, 62, 86},
        {true, 5, 3, 8, 24, 0, 72, 54, 126},
        {true, 8, 2, 8, 24, 0, 48, 54, 102},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((c.color ? "colour " : "black ") + std::to_string(c.width));
        FILE* f = temp_stream();
        if (c.color)
            WriteRGBBMPHeader(f, c.width, c.height);
        else
            WriteGrayBMPHeader(f, c.width, c.height);
        std::string b = contents(f);
        ASSERT_EQ(b.size(), static_cast<size_t>(c.offBits));
        EXPECT_EQ(b.substr(0, 2), "BM");
        EXPECT_EQ(le32_at(b, 2), c.fileSize);
        EXPECT_EQ(le16_at(b, 6), 0);
        EXPECT_EQ(le16_at(b, 8), 0);
        EXPECT_EQ(le32_at(b, 10), c.offBits);
        EXPECT_EQ(le32_at(b, 14), 40);
        EXPECT_EQ(le32_at(b, 18), c.biWidth);
        EXPECT_EQ(le32_at(b, 22), -c.height);
        EXPECT_EQ(le16_at(b, 26), 1);
        EXPECT_EQ(le16_at(b, 28), c.bitCount);
        EXPECT_EQ(le32_at(b, 30), 0);
        EXPECT_EQ(le32_at(b, 34), c.sizeImage);
        EXPECT_EQ(le32_at(b, 38), 0);
        EXPECT_EQ(le32_at(b, 42), 0);
        EXPECT_EQ(le32_at(b, 46), c.clrUsed);
        EXPECT_EQ(le32_at(b, 50), 0);
        if (!c.color) {
            EXPECT_EQ(to_hex(reinterpret_cast<const uint8_t*>(b.data()) + 54, 8),
                      "FF FF FF FF 00 00 00 00");
        }
        EXPECT_EQ(c.color ? adj_rgb_width : adj_gray_width, c.color ? c.biWidth : c.biWidth / 8);
        fclose(f);
    }
}

TEST_F(BmpTest, BlackRows) {
    FILE* f = temp_stream();
    WriteGrayBMPHeader(f, 100, 4);
    BYTE shortRow[2] = {0xAB, 0xCD};
    std::vector<BYTE> longRow(40, 0x11);
    WriteGrayBMPRaster(f, shortRow, 2);         // white tail
    WriteGrayBMPRaster(f, longRow.data(), 40);  // cut to 16 bytes
    WriteGrayBMPRaster(f, shortRow, 2);         // the tail keeps the long row's bytes
    WriteGrayBMPRaster(f, nullptr, 2);          // white row
    std::string b = contents(f);
    ASSERT_EQ(b.size(), 94u + 32u);
    auto row = [&](int i) {
        return to_hex(reinterpret_cast<const uint8_t*>(b.data()) + 62 + 16 * i, 16);
    };
    EXPECT_EQ(row(0), "AB CD 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(row(1), "11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11");
    EXPECT_EQ(row(2), "AB CD 11 11 11 11 11 11 11 11 11 11 11 11 11 11");
    EXPECT_EQ(row(3), "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    fclose(f);
}

TEST_F(BmpTest, ColourRows) {
    FILE* f = temp_stream();
    WriteRGBBMPHeader(f, 2, 3);  // padded to 4 pixels, 12 bytes a row
    BYTE px[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    std::vector<BYTE> wide(3 * 9, 0x77);
    WriteRGBBMPRaster(f, px, 1);
    WriteRGBBMPRaster(f, nullptr, 1);
    WriteRGBBMPRaster(f, wide.data(), 9);  // cut to 4 pixels
    std::string b = contents(f);
    ASSERT_EQ(b.size(), 54u + 36u);
    auto row = [&](int i) {
        return to_hex(reinterpret_cast<const uint8_t*>(b.data()) + 54 + 12 * i, 12);
    };
    EXPECT_EQ(row(0), "33 22 11 FF FF FF FF FF FF FF FF FF");
    EXPECT_EQ(row(1), "FF FF FF FF FF FF FF FF FF FF FF FF");
    EXPECT_EQ(row(2), "77 77 77 77 77 77 77 77 77 77 77 77");
    fclose(f);
}

TEST_F(BmpTest, WritesWithoutTheirFileDoNothing) {
    BYTE row[4] = {1, 2, 3, 4};
    // Nothing open: no effect, no crash.
    WriteBMPHeader(10, 10, BLACK_RASTER);
    WriteBMPRaster(row, 4, BLACK_RASTER);
    WriteBMPHeader(10, 10, COLOR_RASTER);
    WriteBMPRaster(row, 1, COLOR_RASTER);
    // Only the black file open: colour writes leave it alone.
    grayfp = temp_stream();
    WriteBMPHeader(10, 10, COLOR_RASTER);
    WriteBMPRaster(row, 1, COLOR_RASTER);
    EXPECT_EQ(contents(grayfp).size(), 0u);
    closeBmpFIle();
    EXPECT_EQ(grayfp, nullptr);
    WriteBMPRaster(row, 4, BLACK_RASTER);  // after close: nothing
    EXPECT_EQ(read_file(path_).size(), 0u);
}

// A row is sized by its file's header: a row written into a file before its
// own header writes nothing, not the row of the file before.
TEST_F(BmpTest, RowBeforeItsHeaderWritesNothing) {
    BYTE row[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    cups_page_header2_t h = make_header(4, 1);
    int first = 900000 + getpid() % 50000, second = first + 50000;
    std::string firstName = "/tmp/qv_20230516_" + std::to_string(first) + ".bmp";
    std::string secondName = "/tmp/qv_20230516_" + std::to_string(second) + ".bmp";
    unlink(firstName.c_str());
    unlink(secondName.c_str());
    testing::internal::CaptureStderr();
    openBmpFile(h, first);
    WriteBMPHeader(32, 1, BLACK_RASTER);
    WriteBMPRaster(row, 4, BLACK_RASTER);
    // The next page's file, its row before its header.
    openBmpFile(h, second);
    testing::internal::GetCapturedStderr();
    ASSERT_NE(grayfp, nullptr);
    WriteBMPRaster(row, 4, BLACK_RASTER);
    fflush(grayfp);
    EXPECT_EQ(read_file(secondName).size(), 0u);
    EXPECT_EQ(read_file(firstName).size(), 62u + 4u);

    // Streams the caller assigns after a close start without a row, black or colour.
    WriteBMPHeader(32, 1, BLACK_RASTER);
    rgbfp = temp_stream();
    WriteBMPHeader(4, 1, COLOR_RASTER);
    closeBmpFIle();
    grayfp = temp_stream();
    rgbfp = grayfp;
    WriteBMPRaster(row, 4, BLACK_RASTER);
    WriteBMPRaster(row, 1, COLOR_RASTER);
    EXPECT_EQ(contents(grayfp).size(), 0u);
    unlink(firstName.c_str());
    unlink(secondName.c_str());
}

// Runs `work` in a child limited to `limit` bytes of address space, and
// returns the child's exit status (-1: killed by a signal).
int in_child_with_address_space(rlim_t limit, void (*work)()) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        rlimit r = {limit, limit};
        setrlimit(RLIMIT_AS, &r);
        work();
        fflush(nullptr);
        _exit(color_raster == nullptr && adj_rgb_width == 0 ? 0 : 3);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

FILE* g_colour_file = nullptr;

// A header whose row the process cannot hold is refused like an oversized
// page: a page of no lines, 700 million pixels wide, asks for a 2.1 GB colour
// row, and the child has 1 GB of address space.
TEST_F(BmpTest, RowTooLargeToHoldGetsNoHeader) {
#ifdef TARNWEL_SANITIZE
    GTEST_SKIP() << "the sanitizers reserve more address space than any limit allows";
#endif
    if (emulated())
        GTEST_SKIP() << "an emulator does not hold its program to an address-space limit";
    g_colour_file = temp_stream();
    EXPECT_EQ(in_child_with_address_space(rlim_t{1} << 30,
                                          [] {
                                              BYTE px[3] = {1, 2, 3};
                                              WriteRGBBMPHeader(g_colour_file, 700000000, 0);
                                              WriteRGBBMPRaster(g_colour_file, px, 1);
                                          }),
              0);
    EXPECT_EQ(read_file(path_).size(), 0u);
    fclose(g_colour_file);
}

// A row that no image of the format can hold (its bytes alone pass the
// 32-bit size fields) is refused before anything is allocated, even for an
// image of no lines and where the allocation would succeed: the child has
// 3 GB of address space, the row of a page nearly INT_MAX pixels wide would
// be 6 GB and one of 716 million pixels 2.1 GB.
TEST_F(BmpTest, RowBeyondTheFormatIsNeverAllocated) {
#ifdef TARNWEL_SANITIZE
    GTEST_SKIP() << "the sanitizers reserve more address space than any limit allows";
#endif
    g_colour_file = temp_stream();
    EXPECT_EQ(in_child_with_address_space(rlim_t{3} << 30,
                                          [] { WriteRGBBMPHeader(g_colour_file, 716000000, 0); }),
              0);
    EXPECT_EQ(in_child_with_address_space(
                  rlim_t{3} << 30, [] { WriteRGBBMPHeader(g_colour_file, INT32_MAX - 100, 0); }),
              0);
    EXPECT_EQ(read_file(path_).size(), 0u);
    fclose(g_colour_file);
}

TEST_F(BmpTest, SizesBeyondTheFormatGetNoHeader) {
    FILE* f = temp_stream();
    WriteRGBBMPHeader(f, 60000, 60000);  // 10.8 GB of pixels
    BYTE px[3] = {1, 2, 3};
    WriteRGBBMPRaster(f, px, 1);
    WriteGrayBMPHeader(f, INT32_MAX, 1);
    EXPECT_EQ(contents(f).size(), 0u);
    fclose(f);
}

// Pixels as a real BMP reader sees them.
std::string bmp_to_pnm(const std::string& bmp) {
    std::string out = temp_dir() + "/page.pnm";
    std::string cmd = "bmptopnm '" + bmp + "' > '" + out + "' 2>/dev/null";
    if (system(cmd.c_str()) != 0)
        return "";
    return read_file(out);
}

TEST_F(BmpTest, RealReaderSeesThePages) {
    if (system("command -v bmptopnm >/dev/null") != 0)
        GTEST_SKIP() << "netpbm's bmptopnm is not installed";
    // A black page through the caller's interface: 20 x 3 pixels.
    cups_page_header2_t h = make_header(3, 3);
    int page = 700000 + getpid() % 100000;
    std::string name = "/tmp/qv_20230516_" + std::to_string(page) + ".bmp";
    unlink(name.c_str());
    testing::internal::CaptureStderr();
    openBmpFile(h, page);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "szFileName = " + name + " \n");
    ASSERT_NE(grayfp, nullptr);
    WriteBMPHeader(20, 3, BLACK_RASTER);
    BYTE rows[3][3] = {{0x80, 0x00, 0x10}, {0xFF, 0xFF, 0xF0}, {0x00, 0x00, 0x00}};
    for (auto& r : rows)
        WriteBMPRaster(r, 3, BLACK_RASTER);
    closeBmpFIle();
    std::string pnm = bmp_to_pnm(name);
    unlink(name.c_str());
    // P4 with the padded width of 32 pixels: 4 bytes a row, 1 = black.
    std::string head = "P4\n32 3\n";
    ASSERT_EQ(pnm.compare(0, head.size(), head), 0) << pnm.substr(0, 20);
    EXPECT_EQ(to_hex(reinterpret_cast<const uint8_t*>(pnm.data()) + head.size(), 12),
              "80 00 10 00 FF FF F0 00 00 00 00 00");

    // A colour page, on a stream the caller assigns.
    std::string colour = temp_dir() + "/colour.bmp";
    rgbfp = fopen(colour.c_str(), "wb");
    WriteBMPHeader(2, 2, COLOR_RASTER);
    BYTE c0[6] = {0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF};
    WriteBMPRaster(c0, 2, COLOR_RASTER);
    WriteBMPRaster(nullptr, 2, COLOR_RASTER);
    closeBmpFIle();
    pnm = bmp_to_pnm(colour);
    head = "P6\n4 2\n255\n";
    ASSERT_EQ(pnm.compare(0, head.size(), head), 0) << pnm.substr(0, 20);
    EXPECT_EQ(to_hex(reinterpret_cast<const uint8_t*>(pnm.data()) + head.size(), 12),
              "FF 00 00 00 00 FF FF FF FF FF FF FF");
}

TEST_F(BmpTest, PlantedSymlinkIsNotFollowed) {
    std::string dir = temp_dir();
    std::string victim = dir + "/victim";
    write_file(victim, "keep me");
    int page = 800000 + getpid() % 100000;
    std::string name = "/tmp/qv_20230516_" + std::to_string(page) + ".bmp";
    unlink(name.c_str());
    ASSERT_EQ(symlink(victim.c_str(), name.c_str()), 0);
    cups_page_header2_t h = make_header(1, 1);
    testing::internal::CaptureStderr();
    openBmpFile(h, page);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(grayfp, nullptr);
    WriteBMPHeader(8, 1, BLACK_RASTER);
    closeBmpFIle();
    unlink(name.c_str());
    EXPECT_EQ(read_file(victim), "keep me");
}

TEST_F(BmpTest, CreateTempFile) {
    std::string dir = temp_dir();
    char plain[256];
    snprintf(plain, sizeof(plain), "%s/page", dir.c_str());
    FILE* f = nullptr;
    int fd = createTempFile(plain, &f);
    EXPECT_GT(fd, 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::string(plain).substr(0, dir.size() + 6), dir + "/page_");
    EXPECT_EQ(strlen(plain), dir.size() + 12);
    EXPECT_EQ(std::string(plain).find("XXXXXX"), std::string::npos);
    fclose(f);

    char withX[256];
    snprintf(withX, sizeof(withX), "%s/fileXXXXXX", dir.c_str());
    f = nullptr;
    fd = createTempFile(withX, &f);
    EXPECT_GT(fd, 0);
    EXPECT_EQ(strlen(withX), dir.size() + 11);  // no suffix added
    if (f)
        fclose(f);

    char notAtEnd[256];
    snprintf(notAtEnd, sizeof(notAtEnd), "%s/XXXXXXmid", dir.c_str());
    EXPECT_EQ(createTempFile(notAtEnd, &f), 0);
    char empty[8] = "";
    EXPECT_EQ(createTempFile(empty, &f), 0);
    EXPECT_EQ(createTempFile(nullptr, &f), 0);
    EXPECT_EQ(createTempFile(plain, nullptr), 0);
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// Raster line encoding: PackBits with complemented data, blank line counting
// and the 180-degree turn of long-edge back sides.
#include <cstdlib>
#include <iostream>
#include <random>

#include "encoder_paths.h"
#include "tarnwel_job.h"
#include "tarnwel_packbits.h"
#include "test_util.h"

namespace {

// Through the path the filter takes on this CPU.
Bytes compress(const Bytes& in) {
    Bytes out(tarnwel::packbits_room(in.size()));
    out.resize(Tarnwel_Job::compress_curr_line(in.data(), in.size(), out.data()));
    return out;
}

Bytes repeat(uint8_t b, size_t n) {
    return Bytes(n, b);
}

TEST(Compress, Examples) {
    Bytes ascending;
    for (int i = 1; i <= 130; i++)
        ascending.push_back(static_cast<uint8_t>(i));
    Bytes ascendingOut = {0x7E};
    for (int i = 1; i <= 127; i++)
        ascendingOut.push_back(static_cast<uint8_t>(~i));
    ascendingOut.insert(ascendingOut.end(), {0x01, 0x7F, 0x7E, 0x00, 0x7D});

    struct Case {
        const char* name;
        Bytes in;
        Bytes out;
    } cases[] = {
        {"empty", {}, {}},
        {"run of 4", hex_bytes("AA AA AA AA"), hex_bytes("FD 55")},
        {"one byte", hex_bytes("81"), hex_bytes("00 7E")},
        {"two different", hex_bytes("12 34"), hex_bytes("00 ED 00 CB")},
        {"three different", hex_bytes("12 34 56"), hex_bytes("01 ED CB 00 A9")},
        {"literal stops before a pair", hex_bytes("12 34 34 56"), hex_bytes("00 ED FF CB 00 A9")},
        {"200 x FF", repeat(0xFF, 200), hex_bytes("82 00 B8 00")},
        {"128 x 11", repeat(0x11, 128), hex_bytes("82 EE 00 EE")},
        {"256 x 5A", repeat(0x5A, 256), hex_bytes("82 A5 82 A5 FF A5")},
        {"130 ascending", ascending, ascendingOut},
        {"run of 2 at the end", hex_bytes("01 02 02"), hex_bytes("00 FE FF FD")},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(SameBytes(c.out, compress(c.in))) << c.name;
    EXPECT_EQ(ascendingOut.size(), 133u);
}

// A plain PackBits decoder that also checks the printer's limits.
::testing::AssertionResult decode(const Bytes& in, Bytes& out) {
    out.clear();
    size_t i = 0;
    while (i < in.size()) {
        int k = static_cast<int8_t>(in[i++]);
        if (k == -128)
            return ::testing::AssertionFailure() << "no-op control byte at " << i - 1;
        if (k >= 0) {
            if (i + k + 1 > in.size())
                return ::testing::AssertionFailure() << "literal past the end at " << i - 1;
            if (k + 1 > 127)
                return ::testing::AssertionFailure() << "literal of " << k + 1 << " at " << i - 1;
            out.insert(out.end(), in.begin() + i, in.begin() + i + k + 1);
            i += k + 1;
        } else {
            if (i >= in.size())
                return ::testing::AssertionFailure() << "run past the end at " << i - 1;
            out.insert(out.end(), 1 - k, in[i++]);
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(Compress, RoundTripsRandomLines) {
    std::mt19937 rng(1234);
    const size_t runLengths[] = {1, 2, 126, 127, 128, 129};
    for (int iter = 0; iter < 3000; iter++) {
        size_t len = rng() % 3001;
        Bytes line(len);
        int style = iter % 3;
        for (auto& b : line)
            b = static_cast<uint8_t>(style == 0   ? rng()
                                     : style == 1 ? rng() % 3
                                                  : (rng() % 8 == 0));
        // Place runs of the edge lengths at the start, middle and end.
        for (size_t run : runLengths) {
            if (run > len)
                continue;
            size_t where[] = {0, (len - run) / 2, len - run};
            size_t at = where[rng() % 3];
            std::fill(line.begin() + at, line.begin() + at + run, static_cast<uint8_t>(rng()));
        }
        Bytes packed = compress(line), unpacked;
        ASSERT_TRUE(decode(packed, unpacked)) << "line " << iter;
        ASSERT_EQ(unpacked.size(), line.size());
        for (size_t i = 0; i < line.size(); i++)
            ASSERT_EQ(unpacked[i], static_cast<uint8_t>(~line[i]))
                << "line " << iter << " byte " << i;
        // Worst case of the scheme: 4 bytes per 3, plus the last byte.
        ASSERT_LE(packed.size(), len * 4 / 3 + 2);
    }
}

// The encoding rules one byte at a time, as the printer's firmware reads
// them: the fast paths must give exactly these bytes.
Bytes reference_compress(const Bytes& in) {
    Bytes out;
    size_t n = in.size(), p = 0;
    while (p < n) {
        if (p == n - 1) {
            out.insert(out.end(), {0x00, static_cast<uint8_t>(~in[p])});
            p++;
        } else if (in[p] == in[p + 1]) {
            size_t count = 2;
            while (p + count < n && in[p + count] == in[p] && count < 127)
                count++;
            out.insert(out.end(), {static_cast<uint8_t>(1 - count), static_cast<uint8_t>(~in[p])});
            p += count;
        } else {
            size_t count = 1;
            while (p + count != n - 1 && in[p + count] != in[p + count + 1] && count < 127)
                count++;
            out.push_back(static_cast<uint8_t>(count - 1));
            for (size_t i = 0; i < count; i++)
                out.push_back(static_cast<uint8_t>(~in[p + i]));
            p += count;
        }
    }
    return out;
}

// Lines of every shape the paths treat differently: chunks on both sides of
// 16, 63, 64 and 127 bytes, lines around whole 64-byte words, text-like
// bursts, and a line ending in each kind of chunk.
std::vector<Bytes> shaped_lines() {
    std::vector<Bytes> lines;
    std::mt19937 rng(99);
    for (size_t len = 0; len <= 200; len++) {
        for (int style = 0; style < 4; style++) {
            Bytes line(len);
            for (auto& b : line)
                b = static_cast<uint8_t>(style == 0   ? rng()
                                         : style == 1 ? rng() % 2
                                         : style == 2 ? (rng() % 6 ? 0 : rng())
                                                      : (rng() % 40 ? 0xFF : 0));
            lines.push_back(line);
        }
    }
    for (size_t chunk : {15, 16, 17, 62, 63, 64, 65, 126, 127, 128, 129, 200, 255, 256}) {
        for (size_t at : {0, 1, 7, 30, 63, 64, 65, 100}) {
            Bytes runLine(at + chunk + 70), litLine(at + chunk + 70);
            for (size_t i = 0; i < runLine.size(); i++) {
                runLine[i] = static_cast<uint8_t>(i >= at && i < at + chunk ? 0xC3 : rng());
                litLine[i] = static_cast<uint8_t>(i >= at && i < at + chunk ? i * 7 + 1 : 0);
            }
            lines.push_back(runLine);
            lines.push_back(litLine);
            // The same chunk at the very end of the line.
            lines.emplace_back(runLine.begin(), runLine.begin() + static_cast<long>(at + chunk));
            lines.emplace_back(litLine.begin(), litLine.begin() + static_cast<long>(at + chunk));
        }
    }
    for (int i = 0; i < 300; i++) {
        Bytes line(rng() % 9000);
        for (size_t x = rng() % 64; x + 1 < line.size(); x += 1 + rng() % 14)
            line[x] = static_cast<uint8_t>(rng() % 3 ? rng() | 0x18 : 0);
        lines.push_back(line);
    }
    return lines;
}

// The paths this machine must run, as CI reads them off the CPU's flags
// (TARNWEL_REQUIRE_ENCODER_PATHS, say "portable sse2 avx2 avx512"): a path
// the code wrongly finds missing would otherwise be skipped without a word.
TEST(Compress, RequiredPathsRun) {
    const char* required = getenv("TARNWEL_REQUIRE_ENCODER_PATHS");
    std::cout << "encoder paths here: " << encoder_paths::available_names()
              << "; required: " << (required ? required : "(not set)") << "\n";
    EXPECT_EQ(encoder_paths::missing(required), "")
        << "required encoder paths that did not run here";
    // The filter takes the widest of them.
    EXPECT_STREQ(tarnwel::packbits_path_name(tarnwel::packbits_best_path()),
                 tarnwel::packbits_path_name(encoder_paths::available().back()));
}

TEST(Compress, EveryPathGivesTheReferenceBytes) {
    std::vector<Bytes> lines = shaped_lines();
    for (tarnwel::PackBitsPath path : encoder_paths::available()) {
        SCOPED_TRACE(tarnwel::packbits_path_name(path));
        for (size_t i = 0; i < lines.size(); i++)
            ASSERT_TRUE(
                SameBytes(reference_compress(lines[i]),
                          encoder_paths::compress_with(path, lines[i].data(), lines[i].size())))
                << "line " << i << " of " << lines[i].size() << " bytes";
    }
    // What the job itself uses is one of them.
    for (size_t i = 0; i < lines.size(); i += 7)
        ASSERT_TRUE(SameBytes(reference_compress(lines[i]), compress(lines[i]))) << "line " << i;
}

// Random lines of many shapes, at every alignment: each path against the
// portable one.
TEST(Compress, EveryPathWritesThePortableBytes) {
    EXPECT_EQ(encoder_paths::compare_random_lines(20261211, 20000), "");
}

TEST(LineBank, BlankOnlyWhenAllZero) {
    for (size_t len : {0, 1, 7, 8, 9, 31, 32, 33, 100, 620}) {
        Bytes line(len, 0);
        EXPECT_TRUE(Tarnwel_Job::line_bank(line.data(), len)) << len;
        for (size_t at = 0; at < len; at++) {
            line[at] = 0x01;
            EXPECT_FALSE(Tarnwel_Job::line_bank(line.data(), len)) << len << " at " << at;
            line[at] = 0;
        }
    }
}

TEST(LineBank, EveryPathFindsAnyInk) {
    // Lengths around the 16-, 64- and 256-byte blocks the paths test at once;
    // the line sits one byte into its buffer, off any alignment.
    for (tarnwel::PackBitsPath path : encoder_paths::available()) {
        SCOPED_TRACE(tarnwel::packbits_path_name(path));
        for (size_t len : {0, 1, 15, 16, 17, 63, 64, 65, 255, 256, 257, 319, 320, 513, 8192}) {
            Bytes buf(len + 1, 0);
            uint8_t* line = buf.data() + 1;
            ASSERT_TRUE(tarnwel::all_zero_with(path, line, len)) << len;
            for (size_t at = 0; at < len; at++) {
                for (uint8_t bit : {0x01, 0x80}) {
                    line[at] = bit;
                    ASSERT_FALSE(tarnwel::all_zero_with(path, line, len))
                        << len << " at " << at << " bit " << int{bit};
                    line[at] = 0;
                }
            }
        }
    }
}

TEST(EncodeLine, BlankLinesAreSentOnlyBeforeInk) {
    Tarnwel_Job job(stdout);
    Bytes blank(4, 0), ink = hex_bytes("00 FF 00 00");
    for (int i = 0; i < 3; i++)
        job.encode_curr_line(blank.data(), blank.size());
    EXPECT_EQ(job.m_feeds, 3);
    EXPECT_TRUE(job.m_cmdfunc.empty());
    job.encode_curr_line(ink.data(), ink.size());
    EXPECT_EQ(job.m_feeds, 0);
    Bytes expected = concat({hex_bytes("1B 2A 42 01 00"), hex_bytes("1B 2A 42 01 00"),
                             hex_bytes("1B 2A 42 01 00"), hex_bytes("1B 2A 41 02 05 00"),
                             hex_bytes("01 FF 00 FF FF")});
    EXPECT_TRUE(SameBytes(expected, to_bytes(job.m_cmdfunc.m_cmdlines)));
}

TEST(EncodeLine, LongLineHeaderCarriesLow16Bits) {
    // 3-byte groups "a b b" compress to 4 bytes each: 49152 bytes give 65536.
    Bytes line;
    for (int i = 0; i < 16384; i++)
        line.insert(line.end(), {static_cast<uint8_t>(2 * i + 1), 0xAA, 0xAA});
    Tarnwel_Job job(stdout);
    job.encode_curr_line(line.data(), line.size());
    ASSERT_EQ(job.m_cmdfunc.m_cmdlines.size(), 6 + 65536u);
    EXPECT_EQ(job.m_cmdfunc.get_cmd_bytes(), 6 + 65536);
    EXPECT_EQ(to_hex(job.m_cmdfunc.m_cmdlines.data(), 6), "1B 2A 41 02 00 00");
}

TEST(Mirror, ReverseBitsTable) {
    struct {
        uint8_t in, out;
    } cases[] = {{0x00, 0x00}, {0x01, 0x80}, {0x80, 0x01}, {0x0F, 0xF0},
                 {0x12, 0x48}, {0xA5, 0xA5}, {0xFF, 0xFF}, {0xC4, 0x23}};
    for (auto c : cases)
        EXPECT_EQ(reverseBits(c.in), c.out) << int(c.in);
    for (int b = 0; b < 256; b++)
        EXPECT_EQ(reverseBits(reverseBits(static_cast<uint8_t>(b))), b);
}

TEST(Mirror, WholeLineIsTurned) {
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"01", "80"},
        {"01 02", "40 80"},
        {"01 02 03 04", "20 C0 40 80"},
        {"F0 00 0F", "F0 00 0F"},
    };
    for (auto c : cases) {
        Bytes line = hex_bytes(c.in);
        Tarnwel_Job::imgline_mirror_reverse(line.data(), line.size());
        EXPECT_EQ(to_hex(line), c.out) << c.in;
    }
    // Every length, against byte-by-byte reversal.
    std::mt19937 rng(7);
    for (size_t len = 0; len < 70; len++) {
        Bytes in(len);
        for (auto& b : in)
            b = static_cast<uint8_t>(rng());
        Bytes want(in.rbegin(), in.rend());
        for (auto& b : want)
            b = reverseBits(b);
        Tarnwel_Job::imgline_mirror_reverse(in.data(), in.size());
        EXPECT_EQ(to_hex(in), to_hex(want)) << len;
    }
    // Pixel x of the line lands at pixel (width - 1 - x).
    Bytes line(5, 0);
    line[0] = 0x80;  // pixel 0
    Tarnwel_Job::imgline_mirror_reverse(line.data(), line.size());
    EXPECT_EQ(line[4], 0x01);  // pixel 39
}

}  // namespace

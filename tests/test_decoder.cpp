// SPDX-License-Identifier: Apache-2.0
// The stream decoder: strict validation, and round trips through the filter.
#include <random>

#include "stream_check.h"
#include "tarnwel_stream.h"
#include "test_util.h"

namespace {

// The job header of a one-sided job, and a small valid job around it.
const char* kHeader =
    "1B 26 42 1B 25 2D 39 38 37 36 35 58 1C 16 01 42 13 1C 16 02 42 12 1C 16 03 42 10 "
    "1B 26 41 01 00 01 1B 78 10 00 1B 79 20 00 1B 26 41 03 00 00 00 1B 26 6C 01 00 49 25 "
    "1B 26 41 09 00 00 1C 16 04 42 00";
const size_t kHeaderSize = 66;
const char* kPage =
    "1B 24 41 1B 21 41 00 00 10 1B 2A 42 01 00 1B 2A 41 02 04 00 00 00 00 FF 1B 24 42";
const char* kEnd = "1C 16 04 45 00";

Bytes job(std::initializer_list<const char*> parts) {
    Bytes out;
    for (const char* p : parts) {
        Bytes b = hex_bytes(p);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

TEST(Decoder, AcceptsValidJobs) {
    tarnwel::StreamJob j;
    tarnwel::StreamError e;
    Bytes smallest = job({kHeader, "1B 24 41 1B 21 41 00 00 10 1B 24 42", kEnd});
    ASSERT_EQ(hex_bytes(kHeader).size(), kHeaderSize);
    EXPECT_TRUE(tarnwel::decode_stream(smallest.data(), smallest.size(), j, e)) << e.message;
    EXPECT_EQ(j.pages.size(), 1u);
    EXPECT_EQ(j.paper_width, 16u);
    EXPECT_EQ(j.paper_height, 32u);

    Bytes one = job({kHeader, kPage, kEnd});
    ASSERT_TRUE(tarnwel::decode_stream(one.data(), one.size(), j, e)) << e.message;
    EXPECT_EQ(j.density, 2);
    EXPECT_EQ(j.paper_weight, 3);
    EXPECT_EQ(j.copies, 1u);
    ASSERT_EQ(j.pages.size(), 1u);
    EXPECT_EQ(j.pages[0].lines_sent, 2u);
    EXPECT_EQ(j.pages[0].ink_lines, 1u);
    EXPECT_EQ(j.pages[0].width_bytes, 2u);
    EXPECT_EQ(to_hex(j.pages[0].pixels), "00 00 FF 00");

    // The largest paper the printers take, 5100 x 8400 dots at 600 dpi, and
    // a page that fills it: 8399 blank lines, then one of 638 bytes (5 runs
    // of 127 and one of 3).
    std::string page = "1B 24 41 1B 21 41 00 00 10 ";
    for (int i = 0; i < 8399; i++)
        page += "1B 2A 42 01 00 ";
    page += "1B 2A 41 02 0C 00 82 AA 82 AA 82 AA 82 AA 82 AA FE AA 1B 24 42";
    Bytes legal =
        job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1C 16 01 42 13 1C 16 02 42 12 "
             "1B 78 EC 13 1B 79 D0 20 1B 26 6C 01 00 49 25 1B 26 41 09 00 00 "
             "1C 16 04 42 00",
             page.c_str(), kEnd});
    ASSERT_TRUE(
        tarnwel::decode_stream(legal.data(), legal.size(), j, e, true, tarnwel::largest_paper()))
        << e.message;
    EXPECT_EQ(j.paper_width, 5100u);
    EXPECT_EQ(j.paper_height, 8400u);
    ASSERT_EQ(j.pages.size(), 1u);
    EXPECT_EQ(j.pages[0].lines_sent, 8400u);
    EXPECT_EQ(j.pages[0].width_bytes, 638u);
}

// The largest paper the decoder takes is the PPDs' largest custom size (and
// their largest paper, Legal).
TEST(Decoder, LargestPaperIsThePpdsMaxSize) {
    std::string drv = read_file(std::string(TARNWEL_SOURCE_DIR) + "/ppd/tarnwel.drv");
    size_t at = drv.find("MaxSize ");
    ASSERT_NE(at, std::string::npos);
    unsigned width = 0, height = 0;
    ASSERT_EQ(sscanf(drv.c_str() + at, "MaxSize %u %u", &width, &height), 2);
    EXPECT_EQ(width, tarnwel::kLargestPaperWidthPoints);
    EXPECT_EQ(height, tarnwel::kLargestPaperHeightPoints);
    EXPECT_EQ(tarnwel::largest_paper().width, 5100u);
    EXPECT_EQ(tarnwel::largest_paper().height, 8400u);
}

// `hex` n times.
std::string times(int n, const std::string& hex) {
    std::string out;
    for (int i = 0; i < n; i++)
        out += hex + " ";
    return out;
}

TEST(Decoder, RefusesMalformedStreams) {
    const Bytes valid = job({kHeader, kPage, kEnd});
    const size_t pageAt = kHeaderSize;
    const char* begin = "1B 24 41 1B 21 41 00 00 10";
    // Raster lines of 640 bytes (5 runs of 127 and one of 5: 5120 dots) and
    // of 8193 (64 runs of 127 and one of 65); 8400 and 65535 blank lines.
    const std::string wider = "1B 2A 41 02 0C 00 " + times(5, "82 AA") + "FC AA";
    const std::string widest = "1B 2A 41 02 82 00 " + times(64, "82 AA") + "C0 AA";
    const std::string legalBlanks = times(8400, "1B 2A 42 01 00");
    const std::string blanks = times(65535, "1B 2A 42 01 00");
    struct Case {
        const char* name;
        Bytes stream;
        size_t offset;
        const char* words;  // part of the message
        tarnwel::StreamLimits limits = tarnwel::largest_paper();
    } cases[] = {
        {"empty", {}, 0, "job start"},
        {"no job start", job({"1B 26 43", kPage}), 0, "job start"},
        {"wrong copies checksum", job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1B 26 6C 01 00 49 26"}),
         17, "checksum"},
        {"page before begin-job", job({"1B 26 42 1B 25 2D 39 38 37 36 35 58", kPage}), 12,
         "begin-job"},
        {"missing setting", job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1C 16 04 42 00"}), 12,
         "paper weight"},
        {"setting twice",
         job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1C 16 01 42 13 1C 16 01 42 10"}), 17,
         "second paper weight"},
        {"no end of job", job({kHeader, kPage}), valid.size() - 5, "end-of-job"},
        {"end of job inside a page", job({kHeader, "1B 24 41 1B 21 41 00 00 10", kEnd}), pageAt + 9,
         "expected a raster line"},
        {"cut inside a page", job({kHeader, "1B 24 41 1B 21 41 00 00 10 1B 2A 42 01 00"}),
         pageAt + 14, "inside a page"},
        {"two-sided end for a one-sided job", job({kHeader, kPage, "1C 16 04 45 01"}),
         valid.size() - 1, "does not match"},
        {"nested begin-page",
         job({kHeader, "1B 24 41 1B 21 41 00 00 10 1B 24 41 1B 21 41 00 00 10"}), pageAt + 9,
         "inside a page"},
        {"end-page without begin-page", job({kHeader, "1B 24 42", kEnd}), pageAt, "without"},
        {"literal past the line's data",
         job({kHeader, "1B 24 41 1B 21 41 00 00 10 1B 2A 41 02 02 00 05 AA 1B 24 42", kEnd}),
         pageAt + 9 + 6, "literal"},
        {"run without its byte",
         job({kHeader, "1B 24 41 1B 21 41 00 00 10 1B 2A 41 02 03 00 00 AA FE 1B 24 42", kEnd}),
         pageAt + 9 + 6, "run"},
        {"run of 128",
         job({kHeader, "1B 24 41 1B 21 41 00 00 10 1B 2A 41 02 02 00 81 AA 1B 24 42", kEnd}),
         pageAt + 9 + 6, "127"},
        {"line length past the stream",
         job({kHeader, "1B 24 41 1B 21 41 00 00 10 1B 2A 41 02 40 00 00 AA"}), pageAt + 9 + 4,
         "past the end"},
        {"lines of different widths",
         job({kHeader,
              "1B 24 41 1B 21 41 00 00 10 1B 2A 41 02 02 00 00 AA 1B 2A 41 02 02 00 FE AA 1B 24 42",
              kEnd}),
         pageAt + 9 + 8, "decodes to 3 bytes"},
        {"unknown command in a page", job({kHeader, "1B 24 41 1B 21 41 00 00 10 1B 2A 43 01 00"}),
         pageAt + 9, "expected a raster line"},
        {"data after the end", job({kHeader, kPage, kEnd, "00"}), valid.size(), "after"},
        {"two-sided job with an odd page count",
         job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1C 16 01 42 13 1C 16 02 42 12 "
              "1B 78 10 00 1B 79 20 00 1B 26 6C 01 00 49 25 1B 26 41 09 00 01 1C 16 04 42 01",
              kPage, "1C 16 04 45 01"}),
         48 + 27, "odd number"},
        {"begin-job mode against the duplex mode",
         job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1C 16 01 42 13 1C 16 02 42 12 "
              "1B 78 10 00 1B 79 20 00 1B 26 6C 01 00 49 25 1B 26 41 09 00 01 1C 16 04 42 00"}),
         47, "does not match"},
        {"unknown density code", job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1C 16 02 42 17"}), 16,
         "density"},
        {"paper size cut short", job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1B 78 10 00 1B 79"}), 12,
         "paper size command cut short"},
        {"copies cut short", job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1B 26 6C 01 00 49"}), 12,
         "copies command cut short"},
        {"end of job cut short", job({kHeader, kPage, "1C 16 04 45"}), valid.size() - 5,
         "end-of-job command cut short"},
        {"job start cut short", job({"1B 26 42 1B 25 2D 39"}), 0, "job start command cut short"},
        {"render type cut short", job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1C 16 03 42"}), 12,
         "render type command cut short"},
        {"input bin cut short", job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1B 26 41 01 00"}), 12,
         "input bin command cut short"},
        {"resolution cut short", job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1B 26 41 03 00 00"}), 12,
         "resolution command cut short"},
        {"one of four commands cut short", job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1B 26 41"}),
         12, "(one of: input bin, paper size, resolution, duplex mode) cut short"},
        {"begin-job cut short", job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1C 16 04 42"}), 12,
         "begin-job command cut short"},
        {"begin-page cut short", job({kHeader, "1B 24 41 1B 21 41 00"}), pageAt,
         "begin-page command cut short"},
        {"blank line cut short", job({kHeader, "1B 24 41 1B 21 41 00 00 10 1B 2A 42 01"}),
         pageAt + 9, "blank line command cut short"},
        {"raster line header cut short",
         job({kHeader, "1B 24 41 1B 21 41 00 00 10 1B 2A 41 02 04"}), pageAt + 9,
         "raster line command cut short"},
        {"end-page cut short", job({kHeader, "1B 24 41 1B 21 41 00 00 10 1B 24"}), pageAt + 9,
         "end-page command cut short"},
        // The largest paper the printers take is 5100 x 8400 dots at 600 dpi.
        {"paper wider than the largest",
         job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1B 78 ED 13 1B 79 D0 20"}), 14,
         "paper size of 5101 x 8400 dots: larger than the largest paper"},
        {"paper longer than the largest",
         job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1B 78 EC 13 1B 79 D1 20"}), 18,
         "5100 x 8401 dots: larger"},
        {"the largest paper at 1200 dpi is not at 600",
         job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1B 78 D8 27 1B 79 A0 41"}), 14,
         "10200 x 16800 dots: larger"},
        {"the largest paper at 1200 dpi, but too long",
         job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1B 78 D8 27 1B 79 A1 41"}), 18,
         "10200 x 16801 dots: larger", tarnwel::largest_paper(1200)},
        {"line wider than the largest paper",
         job({kHeader, begin, wider.c_str(), "1B 24 42", kEnd}), pageAt + 9,
         "640 bytes, wider than the largest"},
        {"page longer than the largest paper",
         job({kHeader, begin, legalBlanks.c_str(), "1B 2A 42 01 00 1B 24 42", kEnd}),
         pageAt + 9 + 8400 * 5, "more than 8400 lines: longer than the largest paper"},
        {"line wider than the printer takes",
         job({kHeader, begin, widest.c_str(), "1B 24 42", kEnd}), pageAt + 9,
         "8193 bytes, more than", tarnwel::command_limits()},
        {"blank line past 65535 lines",
         job({kHeader, begin, blanks.c_str(), "1B 2A 42 01 00 1B 24 42", kEnd}),
         pageAt + 9 + 65535 * 5, "more than 65535 lines", tarnwel::command_limits()},
        {"raster line past 65535 lines",
         job({kHeader, begin, blanks.c_str(), "1B 2A 41 02 02 00 00 AA 1B 24 42", kEnd}),
         pageAt + 9 + 65535 * 5, "more than 65535 lines", tarnwel::command_limits()},
    };
    for (const Case& c : cases) {
        tarnwel::StreamJob j;
        tarnwel::StreamError e;
        EXPECT_FALSE(tarnwel::decode_stream(c.stream.data(), c.stream.size(), j, e, true, c.limits))
            << c.name;
        EXPECT_EQ(e.offset, c.offset) << c.name << ": " << e.message;
        EXPECT_NE(e.message.find(c.words), std::string::npos) << c.name << ": " << e.message;
    }
}

// Round trips through the filter program, which needs libcups.
#ifndef TARNWEL_CORE_ONLY

// Random pages: blank lines, runs and noise.
RasterPage random_page(std::mt19937& rng, unsigned bpl, unsigned height) {
    RasterPage p{make_header(bpl, height, 72), Bytes(static_cast<size_t>(bpl) * height)};
    // At 72 dpi the paper size in dots is the page itself.
    p.header.PageSize[0] = bpl * 8;
    p.header.PageSize[1] = height;
    for (unsigned y = 0; y < height; y++) {
        uint8_t* line = &p.pixels[static_cast<size_t>(y) * bpl];
        switch (rng() % 4) {
            case 0:
                break;  // blank
            case 1:
                for (unsigned x = 0; x < bpl; x++)
                    line[x] = static_cast<uint8_t>(rng());
                break;
            case 2: {
                uint8_t v = static_cast<uint8_t>(rng());
                for (unsigned x = 0; x < bpl; x++) {
                    if (rng() % 40 == 0)
                        v = static_cast<uint8_t>(rng() % 3 == 0 ? 0 : rng());
                    line[x] = v;
                }
                break;
            }
            default:
                line[rng() % bpl] = static_cast<uint8_t>(1u << (rng() % 8));
        }
    }
    return p;
}

TEST(RoundTrip, RandomPagesComeBackPixelForPixel) {
    std::mt19937 rng(20261210);
    const char* modes[] = {"None", "DuplexNoTumble", "DuplexTumble"};
    for (int iter = 0; iter < 45; iter++) {
        const char* duplex = modes[iter % 3];
        unsigned bpl = iter < 3 ? 1 + iter * 299 : 1 + rng() % 600;
        unsigned height = iter < 3 ? 1 + iter * 149 : 1 + rng() % 300;
        int pages = 1 + static_cast<int>(rng() % 5);
        SCOPED_TRACE(std::string(duplex) + " " + std::to_string(pages) + " pages of " +
                     std::to_string(bpl) + " x " + std::to_string(height));
        std::vector<RasterPage> in;
        for (int k = 0; k < pages; k++)
            in.push_back(random_page(rng, bpl, height));
        RunResult r = run_filter_on(in, write_ppd("Medium", "Medium", duplex));
        ASSERT_EQ(r.status, 0) << r.err;
        tarnwel::StreamJob job = decode_or_fail(r.out);
        std::vector<tarnwel::PageImage> images = tarnwel::page_images(job, true);
        ASSERT_EQ(images.size(), in.size());
        for (size_t k = 0; k < in.size(); k++) {
            SCOPED_TRACE("page " + std::to_string(k + 1));
            EXPECT_EQ(images[k].width_bytes, bpl);
            EXPECT_EQ(images[k].height, height);
            ASSERT_TRUE(SameBytes(in[k].pixels, images[k].pixels));
        }
        // One page at a time from the stream, as tarnwel-decode writes them.
        tarnwel::StreamJob bare;
        tarnwel::StreamError e;
        const uint8_t* data = reinterpret_cast<const uint8_t*>(r.out.data());
        ASSERT_TRUE(tarnwel::decode_stream(data, r.out.size(), bare, e, false));
        for (bool reading : {false, true}) {
            std::vector<tarnwel::PageImage> all = tarnwel::page_images(job, reading);
            ASSERT_EQ(tarnwel::page_image_count(bare, reading), all.size());
            for (size_t k = 0; k < all.size(); k++) {
                SCOPED_TRACE("image " + std::to_string(k + 1) + (reading ? " reading order" : ""));
                tarnwel::PageImage one =
                    tarnwel::page_image(bare, k, reading, 0, data, r.out.size());
                EXPECT_EQ(one.stream_index, all[k].stream_index);
                EXPECT_EQ(one.height, all[k].height);
                ASSERT_TRUE(SameBytes(all[k].pixels, one.pixels));
            }
        }
    }
}

struct Pbm {
    unsigned width = 0, height = 0;
    Bytes bits;  // rows of (width + 7) / 8 bytes, 1 = black
    bool black(unsigned x, unsigned y) const {
        return bits[static_cast<size_t>(y) * ((width + 7) / 8) + x / 8] & (0x80 >> (x % 8));
    }
};

Pbm read_pbm(const std::string& data) {
    Pbm p;
    size_t i = 0;
    auto token = [&]() {
        for (;;) {
            while (i < data.size() && isspace(static_cast<unsigned char>(data[i])))
                i++;
            if (i < data.size() && data[i] == '#') {
                while (i < data.size() && data[i] != '\n')
                    i++;
                continue;
            }
            break;
        }
        size_t start = i;
        while (i < data.size() && !isspace(static_cast<unsigned char>(data[i])))
            i++;
        return data.substr(start, i - start);
    };
    if (token() != "P4")
        return p;
    p.width = static_cast<unsigned>(std::stoul(token()));
    p.height = static_cast<unsigned>(std::stoul(token()));
    i++;
    p.bits.assign(data.begin() + static_cast<long>(i), data.end());
    return p;
}

int sh(const std::string& cmd) {
    return system(cmd.c_str());
}

// A real page: Ghostscript renders a PostScript page to CUPS raster for the
// filter, and to PBM on its own; the stream, decoded to PNG, shows the same
// pixels.
TEST(RoundTrip, GhostscriptPageThroughFilterAndBack) {
    if (sh("command -v gs >/dev/null && command -v pngtopnm >/dev/null") != 0)
        GTEST_SKIP() << "needs Ghostscript and netpbm";
    std::string dir = temp_dir();
    write_file(dir + "/page.ps",
               "%!PS\n/Helvetica findfont 36 scalefont setfont\n"
               "72 700 moveto (The quick brown fox jumps over the lazy dog) show\n"
               "/Times-Roman findfont 14 scalefont setfont\n"
               "72 600 moveto (Pack my box with five dozen liquor jugs. 0123456789) show\n"
               "0.5 setgray 100 100 200 300 rectfill 0 setgray\n"
               "4 setlinewidth 300 150 moveto 540 500 lineto stroke\n"
               "newpath 420 300 80 0 360 arc stroke showpage\n");
    const std::string gs = "gs -q -dNOPAUSE -dBATCH -dSAFER -r600 -sPAPERSIZE=letter ";
    ASSERT_EQ(sh(gs + "-sDEVICE=cups -dcupsColorSpace=3 -dcupsBitsPerColor=1 -sOutputFile=" + dir +
                 "/page.ras " + dir + "/page.ps 2>/dev/null"),
              0);
    ASSERT_EQ(sh(gs + "-sDEVICE=pbmraw -sOutputFile=" + dir + "/gs.pbm " + dir + "/page.ps"), 0);

    RunResult r = run_filter({"1", "u", "t", "1", "", dir + "/page.ras"}, write_ppd());
    ASSERT_EQ(r.status, 0) << r.err;
    write_file(dir + "/page.prn", r.out);
    ASSERT_EQ(sh(program_shell_command(std::string(TARNWEL_BINARY_DIR) + "/tools/tarnwel-decode") +
                 " --quiet --png " + dir + "/out " + dir + "/page.prn"),
              0);
    ASSERT_EQ(sh("pngtopnm " + dir + "/out-001.png > " + dir + "/out.pbm"), 0);

    Pbm want = read_pbm(read_file(dir + "/gs.pbm"));
    Pbm got = read_pbm(read_file(dir + "/out.pbm"));
    ASSERT_EQ(want.width, 5100u);
    ASSERT_EQ(want.height, 6600u);
    // The raster's lines are whole bytes: 4 white pixels pad each line.
    ASSERT_EQ(got.width, 5104u);
    ASSERT_EQ(got.height, 6600u);
    size_t inked = 0;
    for (unsigned y = 0; y < got.height; y++) {
        for (unsigned x = 0; x < got.width; x++) {
            bool g = got.black(x, y);
            bool w = x < want.width && want.black(x, y);
            inked += g;
            ASSERT_EQ(g, w) << "pixel " << x << "," << y;
        }
    }
    EXPECT_GT(inked, 100000u);
}

// Streams of a few bytes that describe pages of many pixels. 100 empty pages
// of 65535 x 65535 dots are 1,253 bytes, their images 537 MB each:
// tarnwel-decode refuses the paper size at once, with its offset, and holds
// --page-height to the same paper. 336 empty pages of the largest paper are
// 4,085 bytes and 1.7 GB of pixels: over the images' budget, none is written.
TEST(Decoder, ToolHoldsSmallStreamsToSmallImages) {
    auto stream = [](const char* paper, int pages) {
        std::string all;
        for (int i = 0; i < pages; i++)
            all += "1B 24 41 1B 21 41 00 00 10 1B 24 42 ";
        Bytes b = job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1C 16 01 42 13 1C 16 02 42 12", paper,
                       "1B 26 6C 01 00 49 25 1B 26 41 09 00 00 1C 16 04 42 00", all.c_str(), kEnd});
        return std::string(b.begin(), b.end());
    };
    std::string dir = temp_dir();
    write_file(dir + "/huge.prn", stream("1B 78 FF FF 1B 79 FF FF", 100));
    write_file(dir + "/legal.prn", stream("1B 78 EC 13 1B 79 D0 20", 336));
    write_file(dir + "/one.prn", stream("1B 78 EC 13 1B 79 D0 20", 1));
    ASSERT_EQ(read_file(dir + "/huge.prn").size(), 1253u);
    ASSERT_EQ(read_file(dir + "/legal.prn").size(), 4085u);
    const std::string decode =
        program_shell_command(std::string(TARNWEL_BINARY_DIR) + "/tools/tarnwel-decode");
    struct Case {
        const char* options;
        const char* file;
        int status;
        const char* words;
    } cases[] = {
        {"--png PREFIX", "huge", 1,
         "invalid stream at byte offset 24: paper size of 65535 x 65535 dots"},
        {"--pbm PREFIX", "huge", 1, "--any-size takes pages up to 65535 x 65535 dots"},
        {"--page-height 8401 --png PREFIX", "one", 2,
         "--page-height 8401 is more than the 8400 lines"},
        {"--pbm PREFIX", "legal", 2,
         "the images of its 336 pages would write 1718 MB of pixels, more than the limit of "
         "1024 MB"},
        // Both formats are written in full: each counts.
        {"--png PREFIX --pbm PREFIX", "legal", 2, "would write 3435 MB"},
        // One page of the largest paper is 5.1 MB of pixels.
        {"--image-limit 5 --png PREFIX", "one", 2, "more than the limit of 5 MB"},
        {"--image-limit 6 --png PREFIX", "one", 0, ""},
        {"--image-limit 5 --png PREFIX --pbm PREFIX", "one", 2, "would write 11 MB"},
        // Numbers that would wrap around are refused, not read as no limit.
        {"--image-limit -1 --png PREFIX", "one", 2, "--image-limit takes megabytes, not -1"},
        {"--image-limit 99999999999999999999 --png PREFIX", "one", 2,
         "--image-limit takes megabytes"},
        {"--image-limit 17592186044416 --png PREFIX", "one", 2, "--image-limit takes megabytes"},
        {"--dpi -1 --png PREFIX", "huge", 2, "--dpi takes 1 to 65535, not -1"},
        {"--page-height -1 --png PREFIX", "one", 2, "--page-height takes 0 to 65535 lines"},
    };
    for (const Case& c : cases) {
        std::string err = dir + "/err";
        sh("rm -f " + dir + "/p-*");
        std::string options = c.options;
        for (size_t at; (at = options.find("PREFIX")) != std::string::npos;)
            options.replace(at, 6, dir + "/p");
        int status =
            sh(decode + " --quiet " + options + " " + dir + "/" + c.file + ".prn 2>" + err);
        SCOPED_TRACE(std::string(c.options) + " " + c.file + ": " + read_file(err));
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.status);
        EXPECT_NE(read_file(err).find(c.words), std::string::npos);
        EXPECT_EQ(sh("ls " + dir + "/p-* >/dev/null 2>&1") == 0, c.status == 0);
    }
}

// tarnwel-decode holds one page image at a time: ten blank pages of
// 12000 x 12000 dots (18 MB each, larger than the printers' paper) fit in
// 128 MB of address space.
TEST(Decoder, WritesImagesOnePageAtATime) {
#ifdef TARNWEL_SANITIZE
    GTEST_SKIP() << "the sanitizers reserve more address space than any limit allows";
#endif
    if (emulated())
        GTEST_SKIP() << "an emulator reserves more address space than the limit allows";
    std::string pages;
    for (int i = 0; i < 10; i++)
        pages += "1B 24 41 1B 21 41 00 00 10 1B 24 42 ";
    Bytes stream =
        job({"1B 26 42 1B 25 2D 39 38 37 36 35 58 1C 16 01 42 13 1C 16 02 42 12 "
             "1B 78 E0 2E 1B 79 E0 2E 1B 26 6C 01 00 49 25 1B 26 41 09 00 00 "
             "1C 16 04 42 00",
             pages.c_str(), kEnd});
    std::string dir = temp_dir();
    write_file(dir + "/job.prn", std::string(stream.begin(), stream.end()));
    ASSERT_EQ(sh("ulimit -v 131072 && " +
                 program_shell_command(std::string(TARNWEL_BINARY_DIR) + "/tools/tarnwel-decode") +
                 " --quiet --any-size --png " + dir + "/p " + dir + "/job.prn"),
              0);
    EXPECT_EQ(sh("test -s " + dir + "/p-010.png"), 0);
}

#endif  // TARNWEL_CORE_ONLY

}  // namespace

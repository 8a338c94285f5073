// SPDX-License-Identifier: Apache-2.0
// The filter program end to end, run as CUPS runs it, on rasters written with
// libcups's own writer.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

#include "stream_check.h"
#include "test_util.h"

namespace {

const Bytes kInit = hex_bytes("1B 26 42 1B 25 2D 39 38 37 36 35 58");
const Bytes kBeginPage = hex_bytes("1B 24 41 1B 21 41 00 00 10");
const Bytes kEndPage = hex_bytes("1B 24 42");

size_t count_occurrences(const std::string& hay, const Bytes& needle) {
    std::string n(needle.begin(), needle.end());
    size_t count = 0;
    for (size_t at = hay.find(n); at != std::string::npos; at = hay.find(n, at + 1))
        count++;
    return count;
}

// Page k of a test job: ink that tells the pages apart and is not symmetric,
// with blank lines at the top and the foot.
RasterPage numbered_page(int k, unsigned bpl = 4, unsigned height = 8) {
    return make_page(bpl, height, [k, height](unsigned y, unsigned x) -> int {
        if (y == 0 || y + 1 == height)
            return 0;
        return (y * 7 + x * 3 + k) % 4 == 0 ? (k * 17 + y) | 1 : 0;
    });
}

TEST(Filter, OnePageA4ExactBytes) {
    RasterPage page{make_header(2, 3), hex_bytes("00 00 FF 00 00 00")};
    RunResult r = run_filter_on({page}, write_ppd());
    ASSERT_EQ(r.status, 0) << r.err;
    Bytes expected = concat({
        kInit,
        hex_bytes("1C 16 01 42 13"),
        hex_bytes("1C 16 02 42 12"),
        hex_bytes("1C 16 03 42 10"),
        hex_bytes("1B 26 41 01 00 01"),
        hex_bytes("1B 78 5E 13 1B 79 68 1B"),
        hex_bytes("1B 26 41 03 00 00 00"),
        hex_bytes("1B 26 6C 01 00 49 25"),
        hex_bytes("1B 26 41 09 00 00"),
        hex_bytes("1C 16 04 42 00"),
        kBeginPage,
        hex_bytes("1B 2A 42 01 00"),
        hex_bytes("1B 2A 41 02 04 00"),
        hex_bytes("00 00 00 FF"),
        kEndPage,
        hex_bytes("1C 16 04 45 00"),
    });
    EXPECT_TRUE(SameBytes(expected, r.out_bytes()));
    EXPECT_EQ(count_lines_starting(r.err, "PAGE: 1 1"), 1);
    EXPECT_EQ(count_lines_starting(r.err, "DEBUG: startPage..."), 1);
}

TEST(Filter, OptionsReachTheJobHeader) {
    RasterPage page = numbered_page(1);
    page.header.NumCopies = 3;
    RunResult r =
        run_filter_on({page}, write_ppd("Dark", "Medium", "None"), "PaperWeight=VeryHeavy");
    ASSERT_EQ(r.status, 0) << r.err;
    tarnwel::StreamJob job = decode_or_fail(r.out);
    EXPECT_EQ(job.density, 0);
    EXPECT_EQ(job.paper_weight, 0);
    EXPECT_EQ(job.copies, 3u);
    EXPECT_EQ(count_lines_starting(r.err, "PAGE: 1 3"), 1);
}

// Every job carries the header once and ends with the end-of-job command.
TEST(Filter, JobHeaderOnceInEveryJob) {
    for (const char* duplex : {"None", "DuplexNoTumble", "DuplexTumble"}) {
        for (int pages = 1; pages <= 4; pages++) {
            std::vector<RasterPage> in;
            for (int k = 1; k <= pages; k++)
                in.push_back(numbered_page(k));
            RunResult r = run_filter_on(in, write_ppd("Medium", "Medium", duplex));
            SCOPED_TRACE(std::string(duplex) + ", " + std::to_string(pages) + " pages");
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(count_occurrences(r.out, kInit), 1u);
            EXPECT_EQ(r.out.compare(0, kInit.size(), std::string(kInit.begin(), kInit.end())), 0);
            decode_or_fail(r.out);
            for (int k = 1; k <= pages; k++)
                EXPECT_EQ(count_lines_starting(r.err, "PAGE: " + std::to_string(k) + " 1"), 1);
            EXPECT_EQ(count_lines_starting(r.err, "PAGE: "), pages);
        }
    }
}

TEST(Filter, DuplexSheetOrder) {
    struct Case {
        const char* duplex;
        int pages;
        std::vector<int> order;  // input page per stream page; 0 = blank completing page
        std::vector<unsigned> heights = {};  // of the input pages; none: all 8 lines
    } cases[] = {
        {"DuplexNoTumble", 1, {0, 1}},
        {"DuplexNoTumble", 2, {2, 1}},
        {"DuplexNoTumble", 3, {2, 1, 0, 3}},
        {"DuplexNoTumble", 4, {2, 1, 4, 3}},
        {"DuplexTumble", 1, {0, 1}},
        {"DuplexTumble", 2, {2, 1}},
        {"DuplexTumble", 3, {2, 1, 0, 3}},
        {"DuplexTumble", 4, {2, 1, 4, 3}},
        {"None", 3, {1, 2, 3}},
        // The completing page is as high as the first page, whatever the others.
        {"DuplexNoTumble", 3, {2, 1, 0, 3}, {8, 12, 5}},
        {"DuplexTumble", 3, {2, 1, 0, 3}, {9, 6, 14}},
    };
    const unsigned bpl = 4;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.duplex) + ", " + std::to_string(c.pages) + " pages");
        std::vector<RasterPage> in;
        for (int k = 1; k <= c.pages; k++)
            in.push_back(numbered_page(k, bpl, c.heights.empty() ? 8 : c.heights[k - 1]));
        const unsigned height = in[0].header.cupsHeight;
        RunResult r = run_filter_on(in, write_ppd("Medium", "Medium", c.duplex));
        ASSERT_EQ(r.status, 0) << r.err;
        tarnwel::StreamJob job = decode_or_fail(r.out);
        ASSERT_EQ(job.pages.size(), c.order.size());
        bool longEdge = std::string(c.duplex) == "DuplexNoTumble";
        for (size_t i = 0; i < c.order.size(); i++) {
            SCOPED_TRACE("stream page " + std::to_string(i + 1));
            const tarnwel::StreamPage& sp = job.pages[i];
            int k = c.order[i];
            if (k == 0) {
                // The completing page: the first page's height in blank lines.
                EXPECT_EQ(sp.ink_lines, 0u);
                EXPECT_EQ(sp.blank_commands, height);
                continue;
            }
            Bytes want = in[k - 1].pixels;
            if (longEdge && k % 2 == 0)
                want = turned(want);
            EXPECT_TRUE(SameBytes(without_blank_foot(want, bpl), sp.pixels));
        }
    }
}

TEST(Filter, BlankLinesNeverCrossPages) {
    // Two pages of 10 lines with ink only on the first: page 2 is one raster
    // line, without the foot of page 1 before it.
    auto firstLineOnly = [](unsigned y, unsigned) { return y == 0 ? 0x81 : 0; };
    for (const char* duplex : {"None", "DuplexTumble", "DuplexNoTumble"}) {
        SCOPED_TRACE(duplex);
        std::vector<RasterPage> in = {make_page(3, 10, firstLineOnly),
                                      make_page(3, 10, firstLineOnly),
                                      make_page(3, 10, firstLineOnly)};
        RunResult r = run_filter_on(in, write_ppd("Medium", "Medium", duplex));
        ASSERT_EQ(r.status, 0) << r.err;
        tarnwel::StreamJob job = decode_or_fail(r.out);
        for (const tarnwel::StreamPage& p : job.pages) {
            if (p.ink_lines == 0)
                continue;  // the completing blank page
            bool turnedPage = std::string(duplex) == "DuplexNoTumble" && &p == &job.pages[0];
            // A turned page has its ink at the foot: 9 blank lines, then the line.
            EXPECT_EQ(p.blank_commands, turnedPage ? 9u : 0u);
            EXPECT_EQ(p.ink_lines, 1u);
        }
    }
}

TEST(Filter, RefusedPageHeaders) {
    struct Case {
        const char* name;
        int badPage;  // 1-based
        const char* duplex;
        void (*spoil)(cups_page_header2_t&);
        const char* error;
    } cases[] = {
        {"first page line too long", 1, "None",
         [](cups_page_header2_t& h) {
             h.cupsBytesPerLine = 9000;
             h.cupsWidth = 72000;
         },
         "ERROR: Page 1: cupsBytesPerLine 9000 is more than the printer accepts (8192)."},
        {"second page too many lines", 2, "None",
         [](cups_page_header2_t& h) { h.cupsHeight = 70000; },
         "ERROR: Page 2: cupsHeight 70000 is more than the printer accepts (65535)."},
        {"second page zero resolution, two-sided", 2, "DuplexNoTumble",
         [](cups_page_header2_t& h) { h.HWResolution[1] = 0; },
         "ERROR: Page 2: HWResolution 600x0 has a zero value."},
        {"second page raster too large, long edge", 2, "DuplexNoTumble",
         [](cups_page_header2_t& h) {
             h.cupsBytesPerLine = 8192;
             h.cupsWidth = 65536;
             h.cupsHeight = 20000;
         },
         "ERROR: Page 2: raster of 163840000 bytes (cupsBytesPerLine 8192 x cupsHeight 20000) is "
         "more than the printer accepts (21420000)."},
        {"third page raster too large, short edge", 3, "DuplexTumble",
         [](cups_page_header2_t& h) {
             h.cupsBytesPerLine = 8192;
             h.cupsWidth = 65536;
             h.cupsHeight = 2615;
         },
         "ERROR: Page 3: raster of 21422080 bytes (cupsBytesPerLine 8192 x cupsHeight 2615) is "
         "more than the printer accepts (21420000)."},
        {"third page paper too wide", 3, "DuplexTumble",
         [](cups_page_header2_t& h) { h.PageSize[0] = 8000; },
         "ERROR: Page 3: paper width 66666 dots (PageSize 8000 at 600 dpi) is more than the "
         "printer accepts (65535)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<RasterPage> in;
        for (int k = 1; k <= 3; k++)
            in.push_back(numbered_page(k));
        c.spoil(in[c.badPage - 1].header);
        in[c.badPage - 1].pixels.clear();  // the filter must not read them
        RunResult r = run_filter_on(in, write_ppd("Medium", "Medium", c.duplex));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(std::string(c.error) + "\n"), std::string::npos) << r.err;
        EXPECT_EQ(count_lines_starting(r.err, "ERROR:"), 1);
        if (c.badPage == 1) {
            EXPECT_TRUE(r.out.empty());
            continue;
        }
        tarnwel::StreamJob job = decode_or_fail(r.out);
        size_t encoded = static_cast<size_t>(c.badPage - 1);
        bool twoSided = std::string(c.duplex) != "None";
        EXPECT_EQ(job.pages.size(), twoSided ? encoded + encoded % 2 : encoded);
        EXPECT_EQ(count_lines_starting(r.err, "PAGE: "), static_cast<int>(encoded));
    }
}

TEST(Filter, UsageAndSetUpFailures) {
    const std::string usage =
        "ERROR: rastertoplovane job-id user title copies options [file]\n"
        "INFO: This program is a CUPS filter. It is not intended to be run manually.\n";
    std::string raster = raster_bytes({numbered_page(1)});
    std::string ppd = write_ppd();

    RunResult four = run_filter({"1", "u", "t", "1"}, ppd, raster);
    EXPECT_EQ(four.status, 1);
    EXPECT_EQ(four.err, usage);
    EXPECT_TRUE(four.out.empty());

    RunResult seven = run_filter({"1", "u", "t", "1", "", "f", "extra"}, ppd, raster);
    EXPECT_EQ(seven.status, 1);
    EXPECT_EQ(seven.err, usage);
    EXPECT_TRUE(seven.out.empty());

    auto start = std::chrono::steady_clock::now();
    RunResult missing = run_filter({"1", "u", "t", "1", "", "/nonexistent/in.ras"}, ppd);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(missing.out.empty());
    EXPECT_GE(seconds, 0.9);
    EXPECT_EQ(count_lines_starting(missing.err, "ERROR: Unable to open raster file"), 1);

    RunResult noPpd = run_filter({"1", "u", "t", "1", ""}, "", raster);
    EXPECT_EQ(noPpd.status, 1);
    EXPECT_TRUE(noPpd.out.empty());
    EXPECT_EQ(count_lines_starting(noPpd.err, "ERROR: Unable to open the PPD file"), 1);

    RunResult badPpd = run_filter({"1", "u", "t", "1", ""}, "/nonexistent.ppd", raster);
    EXPECT_EQ(badPpd.status, 1);
    EXPECT_TRUE(badPpd.out.empty());

    RunResult notRaster = run_filter({"1", "u", "t", "1", ""}, ppd, "%PDF-1.4 not a raster");
    EXPECT_EQ(notRaster.status, 1);
    EXPECT_TRUE(notRaster.out.empty());
    EXPECT_NE(notRaster.err.find("DEBUG: : Cannot read raster data. Most likely an earlier "
                                 "filter in the pipeline failed.\n"),
              std::string::npos);

    RunResult noPage = run_filter({"1", "u", "t", "1", ""}, ppd, raster_bytes({}));
    EXPECT_EQ(noPage.status, 0);
    EXPECT_TRUE(noPage.out.empty());
    EXPECT_EQ(count_lines_starting(noPage.err, "DEBUG: startPage"), 0);

    // The input may also come as a file argument.
    std::string path = write_raster({numbered_page(1)});
    RunResult fromFile = run_filter({"1", "u", "t", "1", "", path}, ppd);
    EXPECT_EQ(fromFile.status, 0);
    EXPECT_NE(fromFile.err.find("job_filename = " + path + "\n"), std::string::npos);
    EXPECT_EQ(fromFile.out, run_filter_on({numbered_page(1)}, ppd).out);
}

TEST(Filter, SigtermWhileReadingAPage) {
    for (const char* duplex : {"None", "DuplexNoTumble"}) {
        SCOPED_TRACE(duplex);
        RasterPage page =
            make_page(10, 100, [](unsigned y, unsigned x) { return (x + y) % 3 ? 0x55 : 0; });
        std::string raster = raster_bytes({page, page});
        // Sync word, then a 1796-byte header and the pixels for each page.
        ASSERT_EQ(raster.size(), 4 + 2 * (1796 + page.pixels.size()));
        std::string firstHalf = raster.substr(0, 4 + 1796 + 50 * 10);

        FilterProcess p({"7", "u", "t", "1", ""}, write_ppd("Medium", "Medium", duplex));
        p.write_input(firstHalf);
        // The page has begun, and the rest of what was written is read.
        ASSERT_TRUE(p.wait_for_stderr("go into begin_page()"));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        p.signal_process(SIGTERM);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        p.write_input(raster.substr(firstHalf.size()));  // the rest is never read
        RunResult r = p.finish();

        EXPECT_EQ(r.status, 0) << r.err;
        tarnwel::StreamJob job = decode_or_fail(r.out);
        bool twoSided = std::string(duplex) != "None";
        EXPECT_EQ(job.pages.size(), twoSided ? 2u : 1u);
        EXPECT_EQ(count_lines_starting(r.err, "PAGE: "), 1);
        // The lines read before the request are the page's own; every line
        // after them is blank, none a copy of one before.
        ASSERT_GE(job.pages.size(), 1u);
        const Bytes& got = job.pages[0].pixels;
        size_t read = 0;
        while ((read + 1) * 10 <= std::min(got.size(), page.pixels.size()) &&
               std::equal(got.begin() + static_cast<long>(read * 10),
                          got.begin() + static_cast<long>(read * 10 + 10),
                          page.pixels.begin() + static_cast<long>(read * 10)))
            read++;
        EXPECT_TRUE(std::all_of(got.begin() + static_cast<long>(read * 10), got.end(),
                                [](uint8_t b) { return b == 0; }))
            << "line " << read << " after the request is not blank";
        Bytes out = r.out_bytes();
        Bytes endJob = hex_bytes(twoSided ? "1C 16 04 45 01" : "1C 16 04 45 00");
        EXPECT_TRUE(SameBytes(endJob, Bytes(out.end() - 5, out.end())));
    }
}

// What libcups itself gives of a cut raster, read a line at a time: the pages
// whose header arrived, and the lines of the last one that arrived whole.
struct Arrived {
    size_t pages = 0;
    unsigned lines = 0;
};
Arrived arrived_whole(const std::string& raster) {
    std::string path = temp_dir() + "/cut.ras";
    write_file(path, raster);
    int fd = open(path.c_str(), O_RDONLY);
    cups_raster_t* r = cupsRasterOpen(fd, CUPS_RASTER_READ);
    Arrived a;
    cups_page_header2_t h;
    while (r && cupsRasterReadHeader2(r, &h)) {
        a.pages++;
        a.lines = 0;
        Bytes line(h.cupsBytesPerLine);
        while (a.lines < h.cupsHeight &&
               cupsRasterReadPixels(r, line.data(), h.cupsBytesPerLine) == h.cupsBytesPerLine)
            a.lines++;
    }
    if (r)
        cupsRasterClose(r);
    close(fd);
    return a;
}

TEST(Filter, RasterCutShortInsideAPage) {
    for (cups_mode_t mode : {CUPS_RASTER_WRITE, CUPS_RASTER_WRITE_COMPRESSED}) {
        SCOPED_TRACE(mode == CUPS_RASTER_WRITE ? "uncompressed" : "compressed");
        const unsigned bpl = 16;
        RasterPage first = make_page(
            bpl, 200, [](unsigned y, unsigned x) { return (x * 5 + y) % 7 == 0 ? y : 0; });
        // A second page unlike the first, so that nothing of the first can
        // pass for the second's unread part.
        RasterPage page = make_page(bpl, 200, [](unsigned y, unsigned x) {
            return (x * 3 + y) % 5 == 0 ? static_cast<uint8_t>(0x80 | y) : 0;
        });
        std::string raster = raster_bytes({first, page}, mode);
        for (size_t cut : {raster.size() / 4, raster.size() / 2, raster.size() * 3 / 4}) {
            SCOPED_TRACE("cut at " + std::to_string(cut));
            Arrived a = arrived_whole(raster.substr(0, cut));
            ASSERT_GE(a.pages, 1u);
            RunResult r = run_filter({"7", "u", "t", "1", ""}, write_ppd(), raster.substr(0, cut));
            EXPECT_EQ(r.status, 0) << r.err;
            tarnwel::StreamJob job = decode_or_fail(r.out);
            ASSERT_EQ(job.pages.size(), a.pages);
            // Every line that arrived whole is sent (but blank ones at the foot).
            const tarnwel::StreamPage& last = job.pages.back();
            const RasterPage& cutPage = a.pages == 2 ? page : first;
            Bytes want =
                without_blank_foot(Bytes(cutPage.pixels.begin(),
                                         cutPage.pixels.begin() + static_cast<long>(a.lines * bpl)),
                                   bpl);
            ASSERT_GT(want.size(), 0u);
            ASSERT_GE(last.pixels.size(), want.size());
            EXPECT_TRUE(SameBytes(
                want,
                Bytes(last.pixels.begin(), last.pixels.begin() + static_cast<long>(want.size()))));
            // What did not arrive is blank; the line the cut went through may
            // hold what arrived of it.
            size_t from = std::min(last.pixels.size(), (a.lines + 1) * size_t{bpl});
            EXPECT_TRUE(std::all_of(last.pixels.begin() + static_cast<long>(from),
                                    last.pixels.end(), [](uint8_t b) { return b == 0; }))
                << "an unread line of the cut page is not blank";
        }
    }
}

TEST(Filter, RasterCutInsideALineThatCameInPieces) {
    // An uncompressed raster whose second page arrives in many small reads
    // and breaks off inside a line. The read block still holds the first
    // page: nothing of it may show through, and nothing that arrived may be
    // lost, whether it came in the last read or in an earlier one.
    const unsigned bpl = 100, height = 600;
    RasterPage first =
        make_page(bpl, height, [](unsigned y, unsigned x) { return 0x01 | (x + y); });
    RasterPage second =
        make_page(bpl, height, [](unsigned y, unsigned x) { return 0x80 | (x * 3 + y * 5); });
    struct Case {
        const char* name;
        std::string raster;
        size_t headerBytes;
    } cases[] = {
        {"v3", raster_bytes({first, second}), 1796},
        {"v1", "", sizeof(cups_page_header_t)},
    };
    uint32_t sync = CUPS_RASTER_SYNCv1;
    cases[1].raster.assign(reinterpret_cast<const char*>(&sync), 4);
    for (const RasterPage* p : {&first, &second}) {
        cases[1].raster.append(reinterpret_cast<const char*>(&p->header),
                               sizeof(cups_page_header_t));
        cases[1].raster.append(p->pixels.begin(), p->pixels.end());
    }
    for (const Case& c : cases) {
        size_t secondPixels = 4 + 2 * c.headerBytes + first.pixels.size();
        ASSERT_EQ(c.raster.size(), secondPixels + second.pixels.size()) << c.name;
        for (size_t arrived : {size_t{150 * bpl + 37}, size_t{40 * bpl + 99}, size_t{1}}) {
            SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(arrived) + " bytes of page 2");
            FilterProcess p({"7", "u", "t", "1", ""}, write_ppd());
            size_t at = secondPixels + std::min<size_t>(arrived, 1000);
            p.write_input(c.raster.substr(0, at));
            while (at < secondPixels + arrived) {
                ASSERT_TRUE(p.wait_input_taken());
                size_t piece = std::min<size_t>(777, secondPixels + arrived - at);
                p.write_input(c.raster.substr(at, piece));
                at += piece;
            }
            RunResult r = p.finish();
            EXPECT_EQ(r.status, 0) << r.err;
            tarnwel::StreamJob job = decode_or_fail(r.out);
            ASSERT_EQ(job.pages.size(), 2u);
            const Bytes& got = job.pages[1].pixels;
            ASSERT_GE(got.size(), arrived);
            for (size_t i = 0; i < got.size(); i++) {
                uint8_t want = i < arrived ? second.pixels[i] : 0;
                ASSERT_EQ(got[i], want) << "line " << i / bpl << " byte " << i % bpl;
            }
        }
    }
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// The fault matrix: damaged and hostile input, odd PPDs and options,
// termination at every stage and an output that fails. Whatever happens, the
// filter must not crash or hang, and what it writes is a well-formed printer
// stream or nothing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <thread>

#include "stream_check.h"
#include "test_util.h"

namespace {

// Fails the test unless the run ended on its own with a valid stream or none.
::testing::AssertionResult WellFormed(const RunResult& r) {
    if (r.status != 0 && r.status != 1)
        return ::testing::AssertionFailure() << "exit status " << r.status << "\n"
                                             << r.err.substr(0, 2000);
    for (const char* bad : {"runtime error:", "AddressSanitizer", "LeakSanitizer"})
        if (r.err.find(bad) != std::string::npos)
            return ::testing::AssertionFailure() << r.err.substr(r.err.find(bad), 2000);
    if (r.out.empty())
        return ::testing::AssertionSuccess();
    tarnwel::StreamJob job;
    tarnwel::StreamError e;
    if (!tarnwel::decode_stream(reinterpret_cast<const uint8_t*>(r.out.data()), r.out.size(), job,
                                e, false))
        return ::testing::AssertionFailure()
               << "invalid stream at byte offset " << e.offset << ": " << e.message;
    return ::testing::AssertionSuccess();
}

// Under an emulator a run of the filter costs about fifteen times as much,
// under the sanitizers about five times: an even spread of this many inputs
// of a matrix, its first and last among them, stands for the whole there.
// (The release build runs every input.) The step is odd, so that the spread
// meets every byte of a 4-byte header field somewhere.
constexpr size_t kEmulatedCases = 300;
constexpr size_t kSanitizedCases = 150;

size_t spread_step(size_t inputs) {
    size_t budget = emulated() ? kEmulatedCases : 0;
#ifdef TARNWEL_SANITIZE
    budget = budget ? std::min(budget, kSanitizedCases) : kSanitizedCases;
#endif
    if (!budget || inputs <= budget)
        return 1;
    return (inputs / budget) | 1;
}

// Runs many inputs through the filter on a few threads.
template <typename Check>
void run_all(const std::vector<std::string>& inputs, const std::string& ppd,
             const std::string& options, Check check) {
    std::vector<size_t> picked;
    size_t step = spread_step(inputs.size());
    for (size_t i = 0; i < inputs.size(); i += step)
        picked.push_back(i);
    if (!inputs.empty() && picked.back() != inputs.size() - 1)
        picked.push_back(inputs.size() - 1);
    std::atomic<size_t> next{0};
    std::vector<RunResult> results(inputs.size());
    std::vector<std::thread> pool;
    for (int t = 0; t < 4; t++)
        pool.emplace_back([&] {
            for (size_t k; (k = next++) < picked.size();)
                results[picked[k]] =
                    run_filter({"5", "u", "t", "1", options}, ppd, inputs[picked[k]]);
        });
    for (std::thread& t : pool)
        t.join();
    for (size_t i : picked)
        check(i, results[i]);
}

RasterPage small_page(int k) {
    return make_page(3, 4, [k](unsigned y, unsigned x) { return (x + y + k) % 3 ? 0x5A + k : 0; });
}

TEST(Faults, RasterCutAtEveryOffset) {
    struct Variant {
        cups_mode_t mode;
        const char* options;
    } variants[] = {{CUPS_RASTER_WRITE, ""},
                    {CUPS_RASTER_WRITE_COMPRESSED, "Duplex=DuplexNoTumble"}};
    for (const Variant& v : variants) {
        cups_mode_t mode = v.mode;
        const char* options = v.options;
        {
            SCOPED_TRACE(std::string(mode == CUPS_RASTER_WRITE ? "v3" : "v2") + " " + options);
            std::string raster = raster_bytes({small_page(1), small_page(2)}, mode);
            std::vector<std::string> cuts;
            for (size_t n = 0; n <= raster.size(); n++)
                cuts.push_back(raster.substr(0, n));
            run_all(cuts, write_ppd(), options, [&](size_t n, const RunResult& r) {
                ASSERT_TRUE(WellFormed(r)) << "cut at " << n;
                // Only a stream too short to name its format is refused.
                ASSERT_EQ(r.status, n < 4 ? 1 : 0) << "cut at " << n << "\n" << r.err;
            });
        }
    }
}

TEST(Faults, EveryHeaderByteFlipped) {
    std::string raster = raster_bytes({small_page(1), small_page(2)});
    std::vector<std::string> flipped;
    for (size_t at = 0; at < 4 + 1796; at++) {
        std::string s = raster;
        s[at] = static_cast<char>(s[at] ^ 0xFF);
        flipped.push_back(s);
    }
    run_all(flipped, write_ppd(), "Duplex=DuplexTumble", [](size_t at, const RunResult& r) {
        ASSERT_TRUE(WellFormed(r)) << "byte " << at << " flipped";
    });
}

TEST(Faults, HostilePageHeaders) {
    struct Case {
        const char* name;
        void (*spoil)(cups_page_header2_t&);
    } cases[] = {
        {"zero height", [](cups_page_header2_t& h) { h.cupsHeight = 0; }},
        {"zero line length",
         [](cups_page_header2_t& h) {
             h.cupsBytesPerLine = 0;
             h.cupsWidth = 0;
         }},
        {"huge height", [](cups_page_header2_t& h) { h.cupsHeight = 0xFFFFFFFF; }},
        {"huge line",
         [](cups_page_header2_t& h) {
             h.cupsBytesPerLine = 0x40000000;
             h.cupsWidth = 0xFFFFFFF8;
         }},
        {"line length against width", [](cups_page_header2_t& h) { h.cupsBytesPerLine = 7; }},
        {"8 bits per pixel",
         [](cups_page_header2_t& h) {
             h.cupsBitsPerColor = h.cupsBitsPerPixel = 8;
             h.cupsWidth = 3;
             h.cupsColorSpace = CUPS_CSPACE_W;
         }},
        {"RGB",
         [](cups_page_header2_t& h) {
             h.cupsBitsPerColor = 8;
             h.cupsBitsPerPixel = 24;
             h.cupsWidth = 1;
             h.cupsColorSpace = CUPS_CSPACE_RGB;
             h.cupsNumColors = 3;
         }},
        {"CMYK banded",
         [](cups_page_header2_t& h) {
             h.cupsColorSpace = CUPS_CSPACE_CMYK;
             h.cupsColorOrder = CUPS_ORDER_BANDED;
         }},
        {"zero resolution", [](cups_page_header2_t& h) { h.HWResolution[0] = 0; }},
        {"huge resolution",
         [](cups_page_header2_t& h) { h.HWResolution[0] = h.HWResolution[1] = 0xFFFFFFFF; }},
        {"huge paper", [](cups_page_header2_t& h) { h.PageSize[0] = h.PageSize[1] = 0xFFFFFFFF; }},
        {"negative copies", [](cups_page_header2_t& h) { h.NumCopies = 0xFFFFFFFF; }},
        {"enums out of range",
         [](cups_page_header2_t& h) {
             memset(&h.AdvanceMedia, 0x7F, 4);
             memset(&h.Orientation, 0xEE, 4);
         }},
        {"NaN and huge reals",
         [](cups_page_header2_t& h) {
             h.cupsReal[0] = NAN;
             h.cupsReal[1] = 1e38f;
         }},
        {"unterminated strings",
         [](cups_page_header2_t& h) {
             memset(h.MediaClass, 'x', 64 * 4);
             memset(h.cupsPageSizeName, 'C', 64);
         }},
    };
    for (const char* options : {"", "Duplex=DuplexNoTumble"}) {
        for (const Case& c : cases) {
            for (int bad : {1, 2}) {
                SCOPED_TRACE(std::string(c.name) + ", page " + std::to_string(bad) + " " + options);
                std::vector<RasterPage> pages = {small_page(1), small_page(2), small_page(3)};
                c.spoil(pages[bad - 1].header);
                RunResult r =
                    run_filter({"5", "u", "t", "1", options}, write_ppd(), raster_bytes(pages));
                EXPECT_TRUE(WellFormed(r));
                if (r.status == 1) {
                    EXPECT_EQ(
                        count_lines_starting(r.err, "ERROR: Page " + std::to_string(bad) + ":"), 1)
                        << r.err;
                }
            }
        }
    }
}

TEST(Faults, RasterFormatVersions) {
    std::vector<RasterPage> pages = {small_page(1), small_page(2)};
    RunResult v3 = run_filter_on(pages, write_ppd());
    RunResult v2 = run_filter({"5", "u", "t", "1", ""}, write_ppd(),
                              raster_bytes(pages, CUPS_RASTER_WRITE_COMPRESSED));
    ASSERT_TRUE(WellFormed(v3));
    EXPECT_EQ(v2.out, v3.out);

    // Version 1: the sync word, in this machine's byte order as the native
    // writer puts it, and the shorter original header, uncompressed.
    uint32_t sync = CUPS_RASTER_SYNCv1;
    std::string v1(reinterpret_cast<const char*>(&sync), 4);
    for (const RasterPage& p : pages) {
        v1.append(reinterpret_cast<const char*>(&p.header), sizeof(cups_page_header_t));
        v1.append(p.pixels.begin(), p.pixels.end());
    }
    RunResult r1 = run_filter({"5", "u", "t", "1", ""}, write_ppd(), v1);
    EXPECT_TRUE(WellFormed(r1));
    EXPECT_EQ(r1.status, 0);
    tarnwel::StreamJob job = decode_or_fail(r1.out);
    EXPECT_EQ(job.pages.size(), 2u);

    // The PWG raster CUPS also reads.
    RunResult pwg = run_filter({"5", "u", "t", "1", ""}, write_ppd(),
                               raster_bytes(pages, CUPS_RASTER_WRITE_PWG));
    EXPECT_TRUE(WellFormed(pwg));
}

TEST(Faults, OddPpds) {
    std::string dir = temp_dir();
    write_file(dir + "/empty.ppd", "");
    write_file(dir + "/garbage.ppd", "%PDF-1.4\n\x01\x02\x03 not a PPD\n");
    struct Case {
        const char* name;
        std::string ppd;
        int status;
    } cases[] = {
        {"no options", write_ppd("", "", ""), 0},
        {"odd choice names", write_ppd("Sideways", "Feather", "Both"), 0},
        {"missing file", dir + "/missing.ppd", 1},
        {"empty file", dir + "/empty.ppd", 1},
        {"not a PPD", dir + "/garbage.ppd", 1},
    };
    for (const Case& c : cases) {
        RunResult r = run_filter_on({small_page(1)}, c.ppd);
        EXPECT_TRUE(WellFormed(r)) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        if (c.status == 1) {
            EXPECT_TRUE(r.out.empty()) << c.name;
            EXPECT_EQ(count_lines_starting(r.err, "ERROR: Unable to open the PPD file"), 1)
                << c.name;
        }
    }
}

TEST(Faults, OptionStrings) {
    struct Case {
        const char* name;
        std::string options;
        int density;
        tarnwel::Duplex duplex;
    } cases[] = {
        {"junk", "\x01\x02=\xff\xfe PrintDensity PaperWeight= Duplex==None", 2,
         tarnwel::Duplex::None},
        {"very long", std::string(100000, 'x') + " PrintDensity=Light", 4, tarnwel::Duplex::None},
        {"repeated",
         "PrintDensity=Light PrintDensity=Light Duplex=DuplexTumble Duplex=DuplexTumble", 4,
         tarnwel::Duplex::ShortEdge},
        // The first test in the filter's order wins: Dark before Light, long edge before short.
        {"conflicting",
         "PrintDensity=Light PrintDensity=Dark Duplex=DuplexTumble Duplex=DuplexNoTumble", 0,
         tarnwel::Duplex::LongEdge},
        {"inside other words", "MyPrintDensity=MediumLightish", 3, tarnwel::Duplex::None},
    };
    for (const Case& c : cases) {
        RunResult r =
            run_filter_on({small_page(1), small_page(2), small_page(3)}, write_ppd(), c.options);
        ASSERT_TRUE(WellFormed(r)) << c.name;
        EXPECT_EQ(r.status, 0) << c.name;
        tarnwel::StreamJob job = decode_or_fail(r.out);
        EXPECT_EQ(job.density, c.density) << c.name;
        EXPECT_EQ(job.duplex, c.duplex) << c.name;
    }
}

TEST(Faults, SigtermAtEveryStage) {
    std::vector<RasterPage> pages = {
        make_page(20, 60, [](unsigned y, unsigned x) { return (x * y) % 7 ? 0x33 : 0; }),
        make_page(20, 60, [](unsigned y, unsigned) { return y % 2 ? 0xC0 : 0; }),
        make_page(20, 60, [](unsigned y, unsigned x) { return x == y % 20 ? 0xFF : 0; })};
    std::string raster = raster_bytes(pages);
    const size_t page = 1796 + 20 * 60;
    struct Point {
        const char* name;
        size_t at;  // bytes written before the signal
    } points[] = {
        {"before anything", 0},
        {"before the first page", 4},
        {"inside the first header", 4 + 900},
        {"mid first page", 4 + 1796 + 600},
        {"between pages", 4 + page},
        {"mid second page", 4 + page + 1796 + 300},
        {"mid last page", 4 + 2 * page + 1796 + 1100},
        {"after the last page", raster.size()},
    };
    for (const char* options : {"", "Duplex=DuplexNoTumble", "Duplex=DuplexTumble"}) {
        for (const Point& p : points) {
            SCOPED_TRACE(std::string(p.name) + " " + options);
            FilterProcess f({"9", "u", "t", "1", options}, write_ppd());
            f.write_input(raster.substr(0, p.at));
            // The handler is in place once the filter opens the raster.
            ASSERT_TRUE(f.wait_for_stderr("ready to open cups raster"));
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            f.signal_process(SIGTERM);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            f.write_input(raster.substr(p.at));
            RunResult r = f.finish();
            EXPECT_TRUE(WellFormed(r));
            EXPECT_EQ(r.status, 0) << r.err;
            // A page not yet begun is not begun after the request.
            EXPECT_EQ(r.out.empty(), p.at <= 4 + 900);
        }
    }
}

TEST(Faults, OutputThatFails) {
    std::vector<RasterPage> pages;
    for (int k = 0; k < 6; k++)
        pages.push_back(make_page(
            600, 400, [k](unsigned y, unsigned x) { return (x * 7 + y * 3 + k) % 11 ? 0x6D : 0; }));
    std::string raster = raster_bytes(pages);

    for (FilterProcess::Output out :
         {FilterProcess::Output::DevFull, FilterProcess::Output::Closed}) {
        FilterProcess f({"9", "u", "t", "1", ""}, write_ppd(), out);
        f.write_input(raster);
        RunResult r = f.finish();
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(
            count_lines_starting(r.err, "ERROR: Unable to send the print data to the printer"), 1)
            << r.err;
        // It stops at the first page that could not go out.
        EXPECT_LE(count_lines_starting(r.err, "PAGE: "), 1);
    }

    // A reader that takes a little and then goes away. The stream is larger
    // than the filter's 1 MB pipe, so that even a filter quicker than the
    // reader cannot have it all out before the reader goes.
    for (int k = 0; k < 18; k++)
        pages.push_back(pages[static_cast<size_t>(k % 6)]);
    std::string longRaster = raster_bytes(pages);
    FilterProcess f({"9", "u", "t", "1", ""}, write_ppd(), FilterProcess::Output::Pipe);
    std::thread feed([&] {
        f.write_input(longRaster);
        f.close_input();
    });
    char buf[1000];
    ASSERT_GT(read(f.stdout_pipe(), buf, sizeof(buf)), 0);
    f.close_stdout_pipe();
    auto start = std::chrono::steady_clock::now();
    feed.join();
    RunResult r = f.finish();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_lines_starting(r.err, "ERROR: Unable to send the print data to the printer"),
              1);
}

// Inputs the fuzzer found, kept: the option byte, the PPD byte, then raster.
TEST(Faults, FuzzerRegressions) {
    std::string dir = std::string(TARNWEL_SOURCE_DIR) + "/tests/regressions/job";
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    int seen = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string data = read_file(dir + "/" + e->d_name);
        for (const char* options : {"", "Duplex=DuplexNoTumble", "Duplex=DuplexTumble"}) {
            RunResult r = run_filter({"1", "u", "t", "1", options}, write_ppd(), data.substr(2));
            EXPECT_TRUE(WellFormed(r)) << e->d_name << " " << options;
        }
        seen++;
    }
    closedir(d);
    EXPECT_GT(seen, 0);
}

// Peak resident memory of one run, by GNU time (a child's own rusage would
// count the test process that forked it).
// With `status`, a run that fails still gives its figure and the filter's
// exit status.
long peak_kib(const std::string& raster, const std::string& options, int* status = nullptr) {
    std::string dir = temp_dir();
    write_file(dir + "/in.ras", raster);
    std::string cmd = "PPD='" + write_ppd() + "' /usr/bin/time -f %M -o '" + dir + "/rss' '" +
                      TARNWEL_FILTER_PATH + "' 1 u t 1 '" + options + "' '" + dir +
                      "/in.ras' >/dev/null 2>&1";
    int rc = system(cmd.c_str());
    if (status)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    else if (rc != 0)
        return -1;
    // After a failed run GNU time writes a line about the status first.
    std::string rss = read_file(dir + "/rss");
    size_t last = rss.find_last_of('\n', rss.size() >= 2 ? rss.size() - 2 : 0);
    return std::stol(last == std::string::npos ? rss : rss.substr(last + 1));
}

// A compressed raster of `pages` pages of `lines` copies of one line.
// libcups's compression sends a line once per 256 repeats, so a page that
// claims hundreds of megabytes costs a few hundred kilobytes here. `worst`
// gives the ink PackBits lengthens most (4 bytes out for every 3 in).
std::string repeated_line_raster(unsigned bpl, unsigned lines, int pages, bool worst) {
    Bytes line(bpl);
    for (unsigned i = 0; i < bpl; i++)
        line[i] = worst ? static_cast<uint8_t>(i % 3 == 0 ? 0x55 : 0xAA - i / 3 % 2)
                        : static_cast<uint8_t>((i * 2654435761u >> 13) | 1);
    std::string path = temp_dir() + "/in.ras";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    cups_raster_t* r = cupsRasterOpen(fd, CUPS_RASTER_WRITE_COMPRESSED);
    for (int p = 0; p < pages; p++) {
        cups_page_header2_t h = make_header(bpl, lines);
        h.cupsWidth = bpl * 8;
        cupsRasterWriteHeader2(r, &h);
        for (unsigned y = 0; y < lines; y++)
            cupsRasterWritePixels(r, line.data(), bpl);
    }
    cupsRasterClose(r);
    close(fd);
    return read_file(path);
}

TEST(Memory, OneSidedDoesNotGrowWithPagesOrHeight) {
#ifdef TARNWEL_SANITIZE
    GTEST_SKIP() << "the sanitizers' shadow memory says nothing about the filter's";
#endif
    if (system("test -x /usr/bin/time") != 0)
        GTEST_SKIP() << "needs GNU time";
    if (emulated())
        GTEST_SKIP() << "under an emulator the memory measured is the emulator's";
    // 600 dpi A4-wide pages of text-like ink.
    auto ink = [](unsigned y, unsigned x) {
        return (y % 40 < 28 && (x * 13 + y) % 9 < 3) ? 0x3C : 0;
    };
    RasterPage a4 = make_page(620, 7016, ink);
    RasterPage tall = make_page(620, 21000, ink);  // three A4 heights on one sheet
    long one = peak_kib(raster_bytes({a4}), "");
    long six = peak_kib(raster_bytes({a4, a4, a4, a4, a4, a4}), "");
    long high = peak_kib(raster_bytes({tall}), "");
    ASSERT_GT(one, 0);
    EXPECT_LT(six - one, 1024) << one << " KiB for one page, " << six << " KiB for six";
    EXPECT_LT(high - one, 1024) << one << " KiB for A4, " << high << " KiB for a page 3x as high";

    // Long edge holds one back side (4.3 MB) to turn it, and the commands of
    // the sheet's odd page until the even one is out; no more with more pages.
    long duplex = peak_kib(raster_bytes({a4, a4, a4, a4}), "Duplex=DuplexNoTumble");
    long duplexLong =
        peak_kib(raster_bytes({a4, a4, a4, a4, a4, a4, a4, a4}), "Duplex=DuplexNoTumble");
    long page = 620L * 7016 / 1024;
    EXPECT_LT(duplex - one, page + 8 * 1024) << duplex << " KiB two-sided";
    EXPECT_LT(duplexLong - duplex, 1024)
        << duplex << " KiB for 4 pages, " << duplexLong << " for 8";
}

// Two-sided jobs hold a long-edge back side whole and a sheet's odd page until
// its even page is out. A page that claims 8192 bytes x 20,000 lines costs
// 650 KB of compressed raster: refused, it costs no memory; and the largest
// page a user can print, in the ink that compresses worst, still prints.
TEST(Memory, TwoSidedStaysBoundedWhateverThePagesClaim) {
#ifdef TARNWEL_SANITIZE
    GTEST_SKIP() << "the sanitizers' shadow memory says nothing about the filter's";
#endif
    if (system("test -x /usr/bin/time") != 0)
        GTEST_SKIP() << "needs GNU time";
    if (emulated())
        GTEST_SKIP() << "under an emulator the memory measured is the emulator's";
    const long kBoundKib = 160 * 1024;
    struct Case {
        const char* name;
        unsigned bpl, lines;
        bool worst;
        int status;
    } cases[] = {
        {"8192 x 20000 lines", 8192, 20000, false, 1},
        {"Legal at 1200 dpi", 1275, 16800, true, 0},
    };
    for (const Case& c : cases) {
        std::string raster = repeated_line_raster(c.bpl, c.lines, 3, c.worst);
        for (const char* options : {"Duplex=DuplexNoTumble", "Duplex=DuplexTumble"}) {
            SCOPED_TRACE(std::string(c.name) + ", " + options);
            int status = -1;
            long kib = peak_kib(raster, options, &status);
            EXPECT_EQ(status, c.status);
            EXPECT_LT(kib, kBoundKib) << kib << " KiB";
        }
    }
}

}  // namespace

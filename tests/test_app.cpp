// SPDX-License-Identifier: Apache-2.0
// The printer application against its real server on 127.0.0.1: the same
// pages give the same stream as the filter alone, every document format
// prints, defaults set through IPP apply, IPP Everywhere conformance, bad
// documents, and cancelling.
#include <arpa/inet.h>
#include <cups/ppd.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "app_server.h"
#include "stream_check.h"
#include "test_util.h"

namespace {

const std::string kSample = std::string(TARNWEL_SOURCE_DIR) + "/samples/sample.pdf";

std::string ppd_path() {
    return std::string(TARNWEL_PPD_BUILD_DIR) + "/tnml20.ppd";
}

RunResult ghostscript(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

// 8-bit grey PWG raster of a PDF at 600 dpi on `widthPt` x `heightPt`.
std::string render_pwg(const std::string& pdf, int widthPt, int heightPt,
                       const std::vector<std::string>& extra = {}) {
    std::string out = temp_dir() + "/doc.pwg";
    std::vector<std::string> args = {"-sDEVICE=pwgraster",
                                     "-dcupsColorSpace=18",
                                     "-dcupsBitsPerColor=8",
                                     "-r600",
                                     "-dDEVICEWIDTHPOINTS=" + std::to_string(widthPt),
                                     "-dDEVICEHEIGHTPOINTS=" + std::to_string(heightPt),
                                     "-dFIXEDMEDIA",
                                     "-dPDFFitPage",
                                     "-sOutputFile=" + out};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(pdf);
    RunResult r = ghostscript(args);
    EXPECT_EQ(r.status, 0) << r.out;
    return out;
}

struct GreyPage {
    cups_page_header2_t header;
    Bytes pixels;
};

std::vector<GreyPage> read_raster(const std::string& path) {
    std::vector<GreyPage> pages;
    int fd = open(path.c_str(), O_RDONLY);
    cups_raster_t* r = cupsRasterOpen(fd, CUPS_RASTER_READ);
    GreyPage p;
    while (r && cupsRasterReadHeader2(r, &p.header)) {
        p.pixels.assign(static_cast<size_t>(p.header.cupsBytesPerLine) * p.header.cupsHeight, 0);
        cupsRasterReadPixels(r, p.pixels.data(), static_cast<unsigned>(p.pixels.size()));
        pages.push_back(p);
    }
    if (r)
        cupsRasterClose(r);
    close(fd);
    return pages;
}

void write_pwg(const std::vector<GreyPage>& pages, const std::string& path,
               cups_mode_t mode = CUPS_RASTER_WRITE_PWG) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    cups_raster_t* r = cupsRasterOpen(fd, mode);
    for (const GreyPage& p : pages) {
        cups_page_header2_t h = p.header;
        cupsRasterWriteHeader2(r, &h);
        cupsRasterWritePixels(r, const_cast<uint8_t*>(p.pixels.data()),
                              static_cast<unsigned>(p.pixels.size()));
    }
    cupsRasterClose(r);
    close(fd);
}

// The sample's pages in black and white only, so that any dither matrix
// gives the same bits: as whole-page PWG raster for the app, and as the
// 1-bit CUPS raster pages CUPS would hand the filter: the PPD's imageable
// area of the paper, without the margins the printer cannot reach.
struct SamplePages {
    std::string pwg;
    std::vector<RasterPage> filterPages;
};

const SamplePages& sample_pages() {
    static SamplePages s = [] {
        SamplePages out;
        std::vector<GreyPage> pages = read_raster(render_pwg(kSample, 612, 792));
        EXPECT_EQ(pages.size(), 3u);
        ppd_file_t* ppd = ppdOpenFile(ppd_path().c_str());
        ppd_size_t* letter = ppd ? ppdPageSize(ppd, "Letter") : nullptr;
        EXPECT_NE(letter, nullptr);
        ppd_size_t size = letter ? *letter : ppd_size_t{};
        if (ppd)
            ppdClose(ppd);
        auto dots = [](float points) { return static_cast<unsigned>(points * 600 / 72 + 0.5f); };
        const unsigned left = dots(size.left), top = dots(size.length - size.top);
        for (GreyPage& p : pages) {
            const unsigned w = dots(size.right - size.left), h = dots(size.top - size.bottom);
            const unsigned bpl = (w + 7) / 8;
            RasterPage fp{make_header(bpl, h), Bytes()};
            fp.header.cupsWidth = w;
            fp.header.PageSize[0] = p.header.PageSize[0];
            fp.header.PageSize[1] = p.header.PageSize[1];
            strcpy(fp.header.cupsPageSizeName, "Letter");
            fp.pixels.assign(static_cast<size_t>(bpl) * h, 0);
            const unsigned pw = p.header.cupsWidth;
            for (unsigned y = 0; y < p.header.cupsHeight; y++)
                for (unsigned x = 0; x < pw; x++) {
                    uint8_t& v = p.pixels[static_cast<size_t>(y) * pw + x];
                    v = v < 128 ? 0 : 255;
                    if (v == 0 && x >= left && x - left < w && y >= top && y - top < h)
                        fp.pixels[static_cast<size_t>(y - top) * bpl + (x - left) / 8] |=
                            static_cast<uint8_t>(0x80 >> ((x - left) % 8));
                }
            out.filterPages.push_back(fp);
        }
        out.pwg = temp_dir() + "/sample-bw.pwg";
        write_pwg(pages, out.pwg);
        return out;
    }();
    return s;
}

JobOutcome print_job(const AppServer& app, const std::string& document, const std::string& format,
                     const std::string& name, const std::string& sides, int darkness,
                     const std::string& mediaType, int copies = 1) {
    return outcome(app.ipptool("print-job.test",
                               {{"format", format},
                                {"jobname", name},
                                {"sides", sides},
                                {"darkness", std::to_string(darkness)},
                                {"mediatype", mediaType},
                                {"copies", std::to_string(copies)}},
                               document));
}

}  // namespace

// ---------------------------------------------------------------------------
// The same pages through the app and through the filter alone
// ---------------------------------------------------------------------------
struct SameStreamCase {
    const char* name;
    const char* sides;
    int darkness;
    const char* mediaType;
    const char* filterOptions;  // what CUPS would pass for the same choices
};

// Test names and failure messages show a case by its name.
void PrintTo(const SameStreamCase& c, std::ostream* os) {
    *os << c.name;
}

class AppSameStream : public ::testing::TestWithParam<SameStreamCase> {};

TEST_P(AppSameStream, PwgRasterGivesTheFiltersBytes) {
    const SameStreamCase& c = GetParam();
    const SamplePages& pages = sample_pages();
    ASSERT_EQ(pages.filterPages.size(), 3u);
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    JobOutcome job =
        print_job(app, pages.pwg, "image/pwg-raster", c.name, c.sides, c.darkness, c.mediaType);
    ASSERT_EQ(job.state, "completed") << job.ipptool.out << app.log();
    std::string appStream = app.output(c.name);
    RunResult expected = run_filter_on(pages.filterPages, ppd_path(), c.filterOptions);
    ASSERT_EQ(expected.status, 0) << expected.err;
    EXPECT_TRUE(SameBytes(expected.out_bytes(), Bytes(appStream.begin(), appStream.end())));
    tarnwel::StreamJob decoded = decode_or_fail(appStream);
    EXPECT_EQ(decoded.pages.size(), std::string(c.sides) == "one-sided" ? 3u : 4u);
}

INSTANTIATE_TEST_SUITE_P(
    Sides, AppSameStream,
    ::testing::Values(
        SameStreamCase{"OneSided", "one-sided", 50, "cardstock",
                       "PrintDensity=MediumDark PaperWeight=VeryHeavy Duplex=None"},
        SameStreamCase{"LongEdge", "two-sided-long-edge", -50, "stationery-heavyweight",
                       "PrintDensity=MediumLight PaperWeight=MediumHeavy Duplex=DuplexNoTumble"},
        SameStreamCase{"ShortEdge", "two-sided-short-edge", 100, "cardstock",
                       "PrintDensity=Dark PaperWeight=VeryHeavy Duplex=DuplexTumble"}),
    [](const ::testing::TestParamInfo<SameStreamCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Every document format
// ---------------------------------------------------------------------------
namespace {

std::string make_jpeg() {
    std::string out = temp_dir() + "/page.jpg";
    RunResult r = ghostscript({"-sDEVICE=jpeggray", "-r100", "-dFirstPage=1", "-dLastPage=1",
                               "-sOutputFile=" + out, kSample});
    EXPECT_EQ(r.status, 0) << r.out;
    return out;
}

std::string make_png() {
    std::string out = temp_dir() + "/page.png";
    RunResult r = ghostscript({"-sDEVICE=png16m", "-r100", "-dFirstPage=2", "-dLastPage=2",
                               "-sOutputFile=" + out, kSample});
    EXPECT_EQ(r.status, 0) << r.out;
    return out;
}

// One Letter page of Apple raster: a black frame and a mid-grey square.
std::string make_urf() {
    GreyPage p;
    memset(&p.header, 0, sizeof(p.header));
    p.header.HWResolution[0] = p.header.HWResolution[1] = 600;
    p.header.PageSize[0] = 612;
    p.header.PageSize[1] = 792;
    p.header.cupsWidth = 5100;
    p.header.cupsHeight = 6600;
    p.header.cupsBitsPerColor = 8;
    p.header.cupsBitsPerPixel = 8;
    p.header.cupsBytesPerLine = 5100;
    p.header.cupsColorOrder = CUPS_ORDER_CHUNKED;
    p.header.cupsColorSpace = CUPS_CSPACE_SW;
    p.header.cupsNumColors = 1;
    p.header.NumCopies = 1;
    p.pixels.assign(5100u * 6600u, 255);
    for (unsigned y = 600; y < 6000; y++)
        for (unsigned x = 600; x < 4500; x++) {
            bool frame = y < 700 || y >= 5900 || x < 700 || x >= 4400;
            bool square = y >= 2000 && y < 3000 && x >= 2000 && x < 3000;
            if (frame)
                p.pixels[static_cast<size_t>(y) * 5100 + x] = 0;
            else if (square)
                p.pixels[static_cast<size_t>(y) * 5100 + x] = 128;
        }
    std::string out = temp_dir() + "/page.urf";
    write_pwg({p}, out, CUPS_RASTER_WRITE_APPLE);
    return out;
}

}  // namespace

struct FormatCase {
    const char* name;
    const char* format;
    std::string (*document)();
    const char* sides;
    int darkness;
    const char* mediaType;
    int copies;
    size_t pagesInStream;
    int densityCode;  // 0 Dark .. 4 Light
    int weightCode;   // 0 VeryHeavy, 2 MediumHeavy, 3 Medium
    tarnwel::Duplex duplex;
};

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.name;
}

class AppFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(AppFormats, DocumentGivesAValidStreamWithItsSettings) {
    const FormatCase& c = GetParam();
    std::string document = c.document();
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    JobOutcome job =
        print_job(app, document, c.format, c.name, c.sides, c.darkness, c.mediaType, c.copies);
    ASSERT_EQ(job.state, "completed") << job.ipptool.out << app.log();
    tarnwel::StreamJob decoded = decode_or_fail(app.output(c.name));
    EXPECT_EQ(decoded.pages.size(), c.pagesInStream);
    EXPECT_EQ(decoded.copies, static_cast<unsigned>(c.copies));
    EXPECT_EQ(decoded.density, c.densityCode);
    EXPECT_EQ(decoded.paper_weight, c.weightCode);
    EXPECT_EQ(decoded.duplex, c.duplex);
    EXPECT_EQ(decoded.paper_width, 5100u);  // Letter at 600 dpi, the default paper
    EXPECT_EQ(decoded.paper_height, 6600u);
    for (const tarnwel::StreamPage& page : decoded.pages) {
        if (c.duplex == tarnwel::Duplex::None) {
            EXPECT_GT(page.ink_lines, 0u) << "a page without ink at offset " << page.offset;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Documents, AppFormats,
    ::testing::Values(
        // Three pages two-sided: the blank fourth completes the last sheet.
        FormatCase{"Pdf", "application/pdf", [] { return kSample; }, "two-sided-long-edge", -100,
                   "stationery", 1, 4, 4, 3, tarnwel::Duplex::LongEdge},
        // The printer makes the copies from the count in the job header.
        FormatCase{"JpegTwoCopies", "image/jpeg", make_jpeg, "one-sided", 0,
                   "stationery-heavyweight", 2, 1, 2, 2, tarnwel::Duplex::None},
        FormatCase{"Urf", "image/urf", make_urf, "one-sided", 50, "cardstock", 1, 1, 1, 0,
                   tarnwel::Duplex::None},
        FormatCase{"Png", "image/png", make_png, "one-sided", -50, "stationery", 1, 1, 3, 3,
                   tarnwel::Duplex::None}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

// A PDF through the app and through the CUPS chain (cupsfilter: pdftopdf,
// Ghostscript, the filter) with the same choices: the same bytes.
TEST_P(AppSameStream, PdfGivesTheCupsChainsBytes) {
    const SameStreamCase& c = GetParam();
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    JobOutcome job =
        print_job(app, kSample, "application/pdf", c.name, c.sides, c.darkness, c.mediaType);
    ASSERT_EQ(job.state, "completed") << job.ipptool.out << app.log();
    std::string options;
    std::istringstream words(c.filterOptions);
    for (std::string w; words >> w;)
        options += " -o " + w;
    RunResult chain =
        run_shell("cupsfilter -c '" + cups_server_bin() + "/cups-files.conf' -p '" + ppd_path() +
                  "' -e -m printer/foo" + options + " '" + kSample + "' 2>/dev/null");
    ASSERT_EQ(chain.status, 0);
    std::string appStream = app.output(c.name);
    EXPECT_TRUE(SameBytes(Bytes(chain.out.begin(), chain.out.end()),
                          Bytes(appStream.begin(), appStream.end())));
}

// ---------------------------------------------------------------------------
// Printer defaults
// ---------------------------------------------------------------------------
TEST(AppDefaults, SetPrinterAttributesApplyToTheNextJob) {
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    // Out of the box: the PPD's defaults, Medium on plain paper, one-sided.
    JobOutcome before = print_plain(app, kSample, "application/pdf", "before");
    ASSERT_EQ(before.state, "completed") << before.ipptool.out;
    tarnwel::StreamJob b = decode_or_fail(app.output("before"));
    EXPECT_EQ(b.density, 2);
    EXPECT_EQ(b.paper_weight, 3);
    EXPECT_EQ(b.duplex, tarnwel::Duplex::None);

    // The printer says its default density, before and after it is set.
    auto default_darkness = [&] {
        RunResult r =
            run_program({"ipptool", "-tv", "-T", "30", app.printer_uri(),
                         std::string(TARNWEL_SOURCE_DIR) + "/tests/app/printer-attributes.test"});
        return ipp_value(r.out, "print-darkness-default");
    };
    EXPECT_EQ(default_darkness(), "0");
    RunResult set =
        app.ipptool("set-defaults.test", {{"darkness", "100"}, {"mediatype", "cardstock"}});
    ASSERT_EQ(set.status, 0) << set.out;
    EXPECT_EQ(default_darkness(), "100");
    JobOutcome after = print_plain(app, kSample, "application/pdf", "after");
    ASSERT_EQ(after.state, "completed") << after.ipptool.out;
    tarnwel::StreamJob a = decode_or_fail(app.output("after"));
    EXPECT_EQ(a.density, 0);       // Dark
    EXPECT_EQ(a.paper_weight, 0);  // VeryHeavy (card stock)
    // A job that says otherwise still gets what it asks for.
    JobOutcome own =
        print_job(app, kSample, "application/pdf", "own", "one-sided", -100, "stationery");
    ASSERT_EQ(own.state, "completed") << own.ipptool.out;
    tarnwel::StreamJob o = decode_or_fail(app.output("own"));
    EXPECT_EQ(o.density, 4);
    EXPECT_EQ(o.paper_weight, 3);
}

// A job without print-darkness (every CUPS print dialog offers
// print-quality, none print-darkness): draft prints a level lighter than the
// printer's default density, normal at it, high a level darker; a job that
// names its darkness gets it whatever its quality. The same from a default
// set to the darkest.
TEST(AppDefaults, PrintQualityMovesTheDensityWhenTheJobNamesNone) {
    const std::string kPrintQuality =
        std::string(TARNWEL_SOURCE_DIR) + "/tests/app/print-quality.test";
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    // Densities in the stream: 0 Dark, 1 MediumDark, 2 Medium, 3 MediumLight,
    // 4 Light.
    const struct {
        const char* defaultDarkness;  // set first, or null
        const char* quality;
        int darkness;  // the job's print-darkness, or INT_MIN for none
        int density;
    } cases[] = {
        {nullptr, "3", INT_MIN, 3}, {nullptr, "4", INT_MIN, 2}, {nullptr, "5", INT_MIN, 1},
        {nullptr, "5", -100, 4},    {"100", "3", INT_MIN, 1},   {"100", "5", INT_MIN, 0},
        {"-100", "3", INT_MIN, 4},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "quality" + std::to_string(++n);
        SCOPED_TRACE(name + ": default " + (c.defaultDarkness ? c.defaultDarkness : "as shipped") +
                     ", print-quality " + c.quality);
        if (c.defaultDarkness) {
            RunResult set = app.ipptool("set-defaults.test", {{"darkness", c.defaultDarkness},
                                                              {"mediatype", "stationery"}});
            ASSERT_EQ(set.status, 0) << set.out;
        }
        // The same request, with print-darkness when the job names one.
        std::string request = read_file(kPrintQuality);
        if (c.darkness != INT_MIN)
            request.replace(request.find("\tFILE"), 0,
                            "\tATTR integer print-darkness " + std::to_string(c.darkness) + "\n");
        const std::string testFile = temp_dir() + "/print-quality.test";
        write_file(testFile, request);
        JobOutcome job = outcome(app.ipptool(
            testFile, {{"format", "application/pdf"}, {"jobname", name}, {"quality", c.quality}},
            kSample));
        ASSERT_EQ(job.state, "completed") << job.ipptool.out;
        EXPECT_EQ(decode_or_fail(app.output(name)).density, c.density);
    }
}

// ---------------------------------------------------------------------------
// IPP Everywhere
// ---------------------------------------------------------------------------
namespace {

// Failures that come from PAPPL 1.3.1 itself: (test name, expectation) and why.
// PAPPL 1.3.1's own gaps, each failure ipptool reports for it: the test
// file, the test's name, and the failure's key (an "EXPECTED: name" line,
// or the attribute an answer got wrong), with the reason. Nothing of the
// application's may be here.
struct KnownFailure {
    std::string file, test, key;
    bool operator<(const KnownFailure& o) const {
        return std::tie(file, test, key) < std::tie(o.file, o.test, o.key);
    }
};
const std::map<KnownFailure, std::string> kPapplFailures = {
    {{"ipp-1.1.test", "Print-Job with job-hold-until", "EXPECTED: job-state-reasons"},
     "PAPPL 1.3.1 answers a Print-Job with job-hold-until without job-state-reasons"},
    {{"ipp-2.0.test", "Print-Job with job-hold-until", "EXPECTED: job-state-reasons"},
     "the same, in ipp-1.1.test, which ipp-2.0.test includes"},
    {{"ipp-everywhere.test", "Print-Job with job-hold-until", "EXPECTED: job-state-reasons"},
     "PAPPL 1.3.1 answers a Print-Job with job-hold-until without job-state-reasons"},
    {{"ipp-everywhere.test", "PWG 5100.14 section 5.1/5.2 - Required Operations and Attributes",
      "EXPECTED: preferred-attributes-supported"},
     "PAPPL 1.3.1 does not implement preferred-attributes-supported"},
    {{"ipp-everywhere.test", "PWG 5100.14 section 5.1/5.2 - Required Operations and Attributes",
      "EXPECTED: overrides-supported"},
     "PAPPL 1.3.1 does not implement page overrides"},
    {{"ipp-everywhere.test", "PWG 5100.14 section 5.1/5.2 - Required Operations and Attributes",
      "EXPECTED: print-rendering-intent-default"},
     "PAPPL 1.3.1 has no print-rendering-intent"},
    {{"ipp-everywhere.test", "PWG 5100.14 section 5.1/5.2 - Required Operations and Attributes",
      "EXPECTED: print-rendering-intent-supported"},
     "PAPPL 1.3.1 has no print-rendering-intent"},
};

// What ipptool -t reported for one test file: each failure of each failed
// test, by its key, and the lines no allow-list may excuse.
struct ConformanceRun {
    int passed = 0, failed = 0;
    std::set<KnownFailure> failures;
    std::vector<std::string> forbidden;  // "Duplicate ..." and "NOT EXPECTED ..." lines
};

ConformanceRun read_conformance(const std::string& file, const std::string& out) {
    ConformanceRun run;
    std::istringstream in(out);
    std::string line, test;
    bool inFailure = false;
    while (std::getline(in, line)) {
        size_t mark = line.rfind('[');
        if (line.compare(0, 4, "    ") == 0 && line[4] != ' ' && mark != std::string::npos) {
            const std::string result = line.substr(mark);
            test = line.substr(4, line.find_last_not_of(' ', mark - 1) - 3);
            inFailure = result == "[FAIL]";
            run.failed += inFailure;
            run.passed += result == "[PASS]";
            continue;
        }
        size_t i = line.find_first_not_of(' ');
        if (i == std::string::npos)
            continue;
        const std::string text = line.substr(i);
        if (text.find("Duplicate") != std::string::npos || text.rfind("NOT EXPECTED", 0) == 0) {
            run.forbidden.push_back(test + ": " + text);
            continue;
        }
        // (Besides its failures, a failed test shows what it displays:
        // "name (type) = value".)
        const size_t type = text.find(" (");
        const bool shown =
            type != std::string::npos && type > 0 &&
            text.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == type &&
            text.find(") = ", type) != std::string::npos;
        if (!inFailure || text.rfind("RECEIVED:", 0) == 0 || text.rfind("status-code =", 0) == 0 ||
            shown)
            continue;
        // "EXPECTED: name ..." by its name; '"name": what is wrong' by the
        // name; anything else whole.
        std::string key = text;
        if (text.rfind("EXPECTED:", 0) == 0)
            key = text.substr(0, text.find(' ', 10));
        else if (text[0] == '"' && text.find('"', 1) != std::string::npos)
            key = text.substr(0, text.find('"', 1) + 1);
        run.failures.insert({file, test, key});
    }
    return run;
}

// ipptool's folder of the conformance tests with the documents they print:
// 600 dpi sgray-8 PWG raster, the only kind the printer asks for, made from
// the sample; every other file the tests name exists empty, as the tests
// that would send them are skipped for a printer that does not offer them.
std::string conformance_folder() {
    std::string dir = temp_dir();
    RunResult cp = run_program({"sh", "-c", "cp /usr/share/cups/ipptool/*.test '" + dir + "'/"});
    EXPECT_EQ(cp.status, 0) << cp.out;
    std::string pwg = dir + "/pwg-raster-samples-600dpi/sgray-8";
    run_program({"mkdir", "-p", pwg});
    struct Doc {
        const char* name;
        int w, h;
        bool onePage;
    } docs[] = {{"document-a4", 595, 842, false},  {"document-letter", 612, 792, false},
                {"onepage-a4", 595, 842, true},    {"onepage-letter", 612, 792, true},
                {"color.jpg-4x6", 288, 432, true}, {"gray.jpg-4x6", 288, 432, true}};
    for (const Doc& d : docs) {
        std::vector<std::string> extra;
        if (d.onePage)
            extra = {"-dFirstPage=1", "-dLastPage=1"};
        std::string made = render_pwg(kSample, d.w, d.h, extra);
        write_file(pwg + "/" + d.name + "-sgray-8-600dpi.pwg", read_file(made));
    }
    write_file(dir + "/document-a4.pdf", read_file(kSample));
    write_file(dir + "/document-letter.pdf", read_file(kSample));
    RunResult jpg = ghostscript({"-sDEVICE=jpeg", "-r50", "-dFirstPage=1", "-dLastPage=1",
                                 "-sOutputFile=" + dir + "/color.jpg", kSample});
    EXPECT_EQ(jpg.status, 0);
    jpg = ghostscript({"-sDEVICE=jpeggray", "-r50", "-dFirstPage=1", "-dLastPage=1",
                       "-sOutputFile=" + dir + "/gray.jpg", kSample});
    EXPECT_EQ(jpg.status, 0);
    RunResult files =
        run_program({"sh", "-c",
                     "cd '" + dir +
                         "' && grep -ho '^[[:space:]]*FILE [^ ]*' *.test | awk '{print $2}' | "
                         "grep -v '\\$' | sort -u | while read f; do [ -e \"$f\" ] || "
                         "{ mkdir -p \"$(dirname \"$f\")\"; : > \"$f\"; }; done"});
    EXPECT_EQ(files.status, 0) << files.out;
    return dir;
}

}  // namespace

// Get-Printer-Attributes answers the same on the first request and after a
// thousand, with each attribute once.
// A client shows this printer's own options and values in its user's
// language, in the words of the printer's PPDs: libcups reads them from the
// printer's printer-strings-uri, as CUPS's print dialogs do.
TEST(AppStrings, ClientsShowThePrintersChoicesInTheUsersLanguage) {
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    struct Words {
        const char* lang;
        const char* density;    // print-darkness
        const char* cardstock;  // media-type.cardstock
        const char* longEdge;   // sides.two-sided-long-edge
        const char* draft;      // print-quality.3 (draft: lighter)
    };
    const Words kWords[] = {
        {"en_US", "Print density", "Heavy (card stock, 120-163 g/m²)",
         "Long edge (turn pages like a book)", "Lighter"},
        {"de_DE", "Druckdichte", "Schwer (Karton, 120-163 g/m²)",
         "Lange Kante (wie ein Buch blättern)", "Heller"},
        {"fr_FR", "Densité d'impression", "Très épais (carte, 120-163 g/m²)",
         "Bord long (tourner les pages comme un livre)", "Plus claire"},
        {"es_ES", "Densidad de impresión", "Muy grueso (cartulina, 120-163 g/m²)",
         "Borde largo (pasar las páginas como en un libro)", "Más clara"},
        {"it_IT", "Densità di stampa", "Pesante (cartoncino, 120-163 g/m²)",
         "Lato lungo (girare le pagine come un libro)", "Più chiara"},
    };
    for (const Words& w : kWords) {
        SCOPED_TRACE(w.lang);
        RunResult r = run_program(
            {"env", "-i", "LANG=" + std::string(w.lang) + ".UTF-8", "HOME=" + app.dir() + "/tmp",
             TARNWEL_LOCALIZE_VALUES, app.printer_uri(), "print-darkness", "", "media-type",
             "cardstock", "sides", "two-sided-long-edge", "print-quality", "3"});
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find(std::string("print-darkness = ") + w.density + "\n"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find(std::string("media-type.cardstock = ") + w.cardstock + "\n"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find(std::string("sides.two-sided-long-edge = ") + w.longEdge + "\n"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find(std::string("print-quality.3 = ") + w.draft + "\n"), std::string::npos)
            << r.out;
    }
}

// The printer shows its own icons, the ones the build drew, in the three
// sizes clients ask for: in printer-icons and on its web page.
TEST(AppIcons, ThePrintersOwnIconsAreServed) {
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    RunResult attrs =
        run_program({"ipptool", "-tv", "-T", "30", app.printer_uri(),
                     std::string(TARNWEL_SOURCE_DIR) + "/tests/app/printer-attributes.test"});
    std::vector<std::string> uris;
    std::istringstream list(ipp_value(attrs.out, "printer-icons"));
    for (std::string uri; std::getline(list, uri, ',');)
        uris.push_back(uri);
    ASSERT_EQ(uris.size(), 3u) << attrs.out;
    const unsigned sizes[] = {48, 128, 512};
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(uris[i]);
        const std::string drawn = read_file(std::string(TARNWEL_ICON_DIR) + "/printer-" +
                                            std::to_string(sizes[i]) + ".png");
        ASSERT_GT(drawn.size(), 24u);
        // A PNG's IHDR chunk: width and height, big-endian, at bytes 16 and 20.
        auto dimension = [&](size_t at) {
            return (unsigned(uint8_t(drawn[at])) << 24) | (unsigned(uint8_t(drawn[at + 1])) << 16) |
                   (unsigned(uint8_t(drawn[at + 2])) << 8) | unsigned(uint8_t(drawn[at + 3]));
        };
        EXPECT_EQ(dimension(16), sizes[i]);
        EXPECT_EQ(dimension(20), sizes[i]);
        RunResult served = run_program({"curl", "-sf", "--max-time", "30", uris[i]});
        ASSERT_EQ(served.status, 0);
        EXPECT_TRUE(served.out == drawn) << "the server's icon is not the one the build drew";
    }
}

TEST(AppAttributes, TheAnswerIsTheSameOnTheFirstAndTheThousandthRequest) {
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    const std::string all = std::string(TARNWEL_SOURCE_DIR) + "/tests/app/printer-attributes.test";
    auto answer = [&] {
        RunResult r = run_program({"ipptool", "-tv", "-T", "30", app.printer_uri(), all});
        EXPECT_EQ(r.status, 0) << r.out;
        size_t at = r.out.find("RECEIVED: ");
        return at == std::string::npos
                   ? std::string("no answer")
                   : r.out.substr(at, r.out.find('\n', at) - at) + "\n" +
                         std::to_string(count_lines_starting(
                             r.out, "        printer-strings-languages-supported "));
    };
    const std::string first = answer();
    EXPECT_EQ(first.substr(first.rfind('\n') + 1), "1") << "printer-strings-languages-supported";
    // Each format's size limit is the server's (max-document-size, 256 MB).
    RunResult once = run_program({"ipptool", "-tv", "-T", "30", app.printer_uri(), all});
    for (const char* name :
         {"job-k-octets-supported", "jpeg-k-octets-supported", "pdf-k-octets-supported"})
        EXPECT_EQ(ipp_value(once.out, name), "0-262144") << name;
    std::vector<std::string> argv = {"ipptool", "-q", "-T", "30", app.printer_uri()};
    argv.insert(argv.end(), 1000, all);
    RunResult many = run_program(argv);
    EXPECT_EQ(many.status, 0) << many.out;
    EXPECT_EQ(answer(), first);
}

// ipptool's own conformance tests, IPP/1.1, IPP/2.0 and IPP Everywhere:
// every failure is one of PAPPL 1.3.1's on the allow-list; a failed test or
// a failure that is not, a duplicate attribute or an attribute that must not
// be there fails the test.
TEST(AppConformance, IppTestsPassButForPapplsOwnFailures) {
    std::string folder = conformance_folder();
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    // PAPPL counts printer-up-time in whole seconds from the printer's
    // creation, and the tests want it above 0.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const struct {
        const char* file;
        const char* version;
        int minPassed;
    } files[] = {
        {"ipp-1.1.test", "1.1", 10},
        {"ipp-2.0.test", "2.0", 1},
        {"ipp-everywhere.test", "2.0", 10},
    };
    std::set<KnownFailure> seen;
    for (const auto& f : files) {
        SCOPED_TRACE(f.file);
        RunResult r = run_program({"ipptool", "-V", f.version, "-I", "-t", "-T", "120", "-f",
                                   kSample, app.printer_uri(), f.file},
                                  folder);
        ASSERT_TRUE(app.alive()) << "the server died during the conformance tests\n"
                                 << r.out << app.log();
        EXPECT_EQ(r.out.find("cannot be read"), std::string::npos) << r.out;
        const ConformanceRun run = read_conformance(f.file, r.out);
        EXPECT_GT(run.passed + run.failed, 0) << r.out;
        for (const std::string& line : run.forbidden)
            ADD_FAILURE() << line;
        for (const KnownFailure& failure : run.failures) {
            EXPECT_TRUE(kPapplFailures.count(failure))
                << "not a known PAPPL 1.3.1 failure: " << failure.test << ": " << failure.key;
            seen.insert(failure);
        }
        EXPECT_GE(run.passed, f.minPassed) << r.out;
        std::cout << f.file << ": " << run.passed << " passed, " << run.failed
                  << " failed on the allow-list\n";
        if (std::string(f.file) == "ipp-everywhere.test") {
            // The grey 600 dpi samples were printed, each plain, deflated and
            // gzipped.
            int printedSamples = 0;
            std::istringstream lines(r.out);
            for (std::string line; std::getline(lines, line);)
                printedSamples += line.find("@ 600dpi, sgray-8") != std::string::npos &&
                                  line.find("[PASS]") != std::string::npos;
            EXPECT_EQ(printedSamples, 18) << r.out;
        }
    }
    // A listed failure that no longer happens is taken off the list.
    for (const auto& [failure, reason] : kPapplFailures)
        EXPECT_TRUE(seen.count(failure)) << "fixed now? " << failure.file << ": " << failure.test
                                         << ": " << failure.key << " (" << reason << ")";
    // PAPPL 1.3.1 can start a second job on a printer before the first has
    // told it that it is printing; the application's gate keeps them apart
    // (app/job_gate.cpp), so two jobs at once on the printer are a fault.
    const std::string both = overlapping_jobs(app.log());
    EXPECT_TRUE(both.empty()) << "jobs " << both << " ran at once on the printer";
}

// A document the printer does not print is refused in words at each step a
// client may offer it (Validate-Job, Print-Job, Create-Job, Send-Document):
// declared as what it is, or as application/octet-stream with first bytes
// that tell no printable kind. A PDF passes every step.
TEST(AppFormats, AFormatThePrinterDoesNotPrintIsRefused) {
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    const std::string refused = "client-error-document-format-not-supported";
    const std::string ok = "successful-ok";
    const struct {
        const char* format;
        std::string content;
        // Validate-Job, Print-Job, Create-Job, Send-Document
        std::vector<std::string> expected;
    } cases[] = {
        {"text/plain", "A note in plain text.\n", {refused, refused, refused, refused}},
        {"application/postscript",
         "%!PS-Adobe-3.0\nshowpage\n",
         {refused, refused, refused, refused}},
        {"image/gif", "GIF89a\x01\x00\x01\x00", {refused, refused, refused, refused}},
        {"application/vnd.hp-pcl",
         "\x1b"
         "E\x1b&l0O",
         {refused, refused, refused, refused}},
        {"application/octet-stream", "A note in plain text.\n", {ok, refused, ok, refused}},
        {"application/octet-stream", "%!PS-Adobe-3.0\nshowpage\n", {ok, refused, ok, refused}},
        {"application/pdf", read_file(kSample), {ok, ok, ok, ok}},
    };
    const char* const steps[] = {"Validate-Job", "Print-Job", "Create-Job", "Send-Document"};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.format) + ", " + c.content.substr(0, 8));
        const std::string document = temp_dir() + "/document";
        write_file(document, c.content);
        RunResult r = run_program(
            {"ipptool", "-tv", "-T", "60", "-d", std::string("format=") + c.format, "-d",
             std::string("senddoc=") + c.format, "-f", document, app.printer_uri(),
             std::string(TARNWEL_SOURCE_DIR) + "/tests/app/document-format.test"});
        for (size_t i = 0; i < std::size(steps); i++) {
            size_t at = r.out.find(std::string("    ") + steps[i] + " ");
            at = at == std::string::npos ? at : r.out.find("status-code = ", at);
            ASSERT_NE(at, std::string::npos) << steps[i] << "\n" << r.out;
            const std::string line = r.out.substr(at + 14, r.out.find('\n', at) - at - 14);
            EXPECT_EQ(line.substr(0, line.find(' ')), c.expected[i]) << steps[i] << ": " << line;
            if (c.expected[i] == refused) {
                EXPECT_NE(line.find("prints PDF"), std::string::npos) << steps[i] << ": " << line;
            }
        }
    }
    // The jobs made and refused their document wait for none.
    app.command({"cancel", "-d", "office", "-a"});
}

// ---------------------------------------------------------------------------
// Bad documents
// ---------------------------------------------------------------------------
struct BadCase {
    const char* name;
    const char* format;
    std::string (*document)();
    const char* ippStatus;             // an IPP error at submission, or null for an aborted job
    const char* reason;                // words of the aborted job's job-state-message
    int clientTimeout;                 // seconds ipptool waits for the answer to Print-Job
    const char* jobState = "aborted";  // how the job ends when it is made
    size_t pages = 0;                  // pages in the printer's stream, if it completes
};

namespace {

std::string cut_pwg() {
    std::string whole = read_file(sample_pages().pwg);
    std::string path = temp_dir() + "/cut.pwg";
    write_file(path, whole.substr(0, whole.size() * 2 / 5));
    return path;
}
std::string not_a_pdf() {
    std::string path = temp_dir() + "/not.pdf";
    write_file(path, "%PDF-1.7\nThis is not a PDF document at all.\n%%EOF\n");
    return path;
}
// What a client that labels an image as PDF sends: Ghostscript's error
// quotes the document's own bytes.
std::string jpeg_labelled_pdf() {
    return make_jpeg();
}
std::string empty_file() {
    std::string path = temp_dir() + "/empty.pdf";
    write_file(path, "");
    return path;
}
std::string text_file() {
    std::string path = temp_dir() + "/note.txt";
    write_file(path, "A note in plain text.\n");
    return path;
}

// Grey PWG raster pages of `width` x `height` pixels with `lines` lines of
// data each, whatever the header says; `total` pages claimed in the header,
// at `dpi` both ways.
std::string lying_pwg(unsigned pages, unsigned width, unsigned height, unsigned bytesPerLine,
                      unsigned lines, unsigned total = 0, unsigned dpi = 600) {
    std::string path = temp_dir() + "/lying.pwg";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    cups_raster_t* r = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
    cups_page_header2_t h;
    memset(&h, 0, sizeof(h));
    h.HWResolution[0] = h.HWResolution[1] = dpi;
    h.PageSize[0] = std::max(1u, width * 72 / 600);
    h.PageSize[1] = std::max(1u, static_cast<unsigned>(uint64_t{height} * 72 / 600));
    h.cupsWidth = width;
    h.cupsHeight = height;
    h.cupsBitsPerColor = h.cupsBitsPerPixel = 8;
    h.cupsBytesPerLine = bytesPerLine;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsColorSpace = CUPS_CSPACE_SW;
    h.cupsNumColors = 1;
    h.NumCopies = 1;
    h.cupsInteger[CUPS_RASTER_PWG_TotalPageCount] = total;
    Bytes line(bytesPerLine, 0);
    for (unsigned page = 0; page < pages; page++) {
        cupsRasterWriteHeader2(r, &h);
        for (unsigned y = 0; y < lines; y++)
            cupsRasterWritePixels(r, line.data(), bytesPerLine);
    }
    cupsRasterClose(r);
    close(fd);
    return path;
}
// Four billion lines claimed, one sent.
std::string huge_height_pwg() {
    return lying_pwg(1, 600, 4000000000u, 600, 1);
}
// Four billion lines at four billion dpi: an inch, as the printer would
// scale it, but four billion lines for the server to read.
std::string huge_resolution_pwg() {
    return lying_pwg(1, 600, 4000000000u, 600, 1, 0, 4000000000u);
}
// 1000 bytes a line for 600 pixels of 8 bits.
std::string long_lines_pwg() {
    return lying_pwg(1, 600, 600, 1000, 600);
}
// Four billion pages claimed, two sent.
std::string huge_page_count_pwg() {
    return lying_pwg(2, 600, 600, 600, 600, 4000000000u);
}
// 3000 pages of 16 x 16 pixels.
std::string many_tiny_pages_pwg() {
    return lying_pwg(3000, 16, 16, 16, 16);
}

}  // namespace

void PrintTo(const BadCase& c, std::ostream* os) {
    *os << c.name;
}

class AppBadDocuments : public ::testing::TestWithParam<BadCase> {};

TEST_P(AppBadDocuments, RefusedOrAbortedWithAReasonAndTheServerGoesOn) {
    const BadCase& c = GetParam();
    std::string document = c.document();
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    const long before = app.peak_memory_kib();
    RunResult r = run_program({"ipptool", "-tv", "-T", std::to_string(c.clientTimeout), "-d",
                               std::string("format=") + c.format, "-d",
                               std::string("jobname=") + c.name, "-f", document, app.printer_uri(),
                               std::string(TARNWEL_SOURCE_DIR) + "/tests/app/submit-job.test"});
    if (c.ippStatus) {
        size_t at = r.out.find("status-code = ");
        ASSERT_NE(at, std::string::npos) << r.out;
        std::string status = r.out.substr(at + 14, r.out.find_first_of(" \n", at + 14) - at - 14);
        EXPECT_EQ(status, c.ippStatus) << r.out;
    } else {
        // The server's first job; its Print-Job may have been given up by
        // the client while the server still waited for the rest of the data.
        JobOutcome job = outcome(app.ipptool("wait-job.test", {{"jobid", "1"}}));
        EXPECT_EQ(job.state, c.jobState) << job.ipptool.out << app.log();
        EXPECT_NE(job.message.find(c.reason), std::string::npos) << job.ipptool.out << app.log();
        // The reason is words a client can show, not the document's bytes.
        for (unsigned char ch : job.message)
            EXPECT_TRUE(ch >= 0x20 && ch < 0x7f) << "byte " << int(ch) << " in " << job.message;
        std::string out = app.output(c.name);
        // Whatever reached the printer is a whole stream.
        if (!out.empty()) {
            tarnwel::StreamJob decoded = decode_or_fail(out);
            if (c.pages) {
                EXPECT_EQ(decoded.pages.size(), c.pages);
            }
        }
    }
    // What a document claims costs no memory beyond a line buffer or two
    // (under AddressSanitizer resident memory tells nothing).
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(app.peak_memory_kib() - before, 20 * 1024) << app.log();
#else
    (void)before;
#endif
    JobOutcome next = print_plain(app, kSample, "application/pdf", "next");
    EXPECT_EQ(next.state, "completed") << next.ipptool.out << app.log();
    decode_or_fail(app.output("next"));
}

INSTANTIATE_TEST_SUITE_P(
    Documents, AppBadDocuments,
    ::testing::Values(
        // PAPPL waits for the rest of a cut stream until the client gives up.
        BadCase{"CutPwgRaster", "image/pwg-raster", cut_pwg, nullptr, "cut short", 3},
        BadCase{"NotAPdf", "application/pdf", not_a_pdf, nullptr, "not a PDF file", 60},
        BadCase{"JpegLabelledPdf", "application/pdf", jpeg_labelled_pdf, nullptr, "not a PDF file",
                60},
        BadCase{"EmptyFile", "application/pdf", empty_file, "client-error-bad-request", "", 60},
        BadCase{"UnsupportedFormat", "text/plain", text_file,
                "client-error-document-format-not-supported", "", 60},
        // PWG raster whose headers lie about their pages.
        BadCase{"PwgHugeHeight", "image/pwg-raster", huge_height_pwg, nullptr,
                "4000000000 lines high is more than the printer accepts", 60},
        BadCase{"PwgHugeResolution", "image/pwg-raster", huge_resolution_pwg, nullptr,
                "more than the printer takes", 60},
        BadCase{"PwgLongerLinesThanWidth", "image/pwg-raster", long_lines_pwg, nullptr,
                "not valid PWG raster", 60},
        // The count in the header is only a claim: the pages sent print.
        BadCase{"PwgHugePageCount", "image/pwg-raster", huge_page_count_pwg, nullptr, "", 60,
                "completed", 2},
        BadCase{"PwgManyTinyPages", "image/pwg-raster", many_tiny_pages_pwg, nullptr, "", 120,
                "completed", 3000}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Cancelling
// ---------------------------------------------------------------------------

TEST(AppCancel, CancelledJobLeavesAWholeStream) {
    const int pages = 60;
    std::string pdf = long_pdf(pages);
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    RunResult submitted =
        app.ipptool("submit-job.test", {{"format", "application/pdf"}, {"jobname", "long"}}, pdf);
    std::string jobId = ipp_value(submitted.out, "job-id");
    ASSERT_FALSE(jobId.empty()) << submitted.out;
    // Cancel once the printer has received the first page.
    bool printing = false;
    for (int i = 0; i < 600 && !printing; i++) {
        printing = app.log().find("Printed page 1 ") != std::string::npos;
        if (!printing)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(printing) << app.log();
    JobOutcome canceled = outcome(app.ipptool("cancel-job.test", {{"jobid", jobId}}));
    EXPECT_EQ(canceled.state, "canceled") << canceled.ipptool.out << app.log();
    tarnwel::StreamJob decoded = decode_or_fail(app.output("long"));
    EXPECT_GE(decoded.pages.size(), 1u);
    EXPECT_LT(decoded.pages.size(), static_cast<size_t>(pages));
    // The server goes on with the next job.
    JobOutcome next = print_plain(app, kSample, "application/pdf", "next");
    EXPECT_EQ(next.state, "completed") << next.ipptool.out;
}

TEST(AppCancel, CancelledStreamedRasterJobLeavesAWholeStream) {
    // A PWG raster job is printed while the client still sends it; cancelled
    // then, the stream on the device must still end the normal way.
    std::string pwg = render_pwg(long_pdf(40), 612, 792);
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    RunResult sent;
    std::thread client([&] {
        sent = app.ipptool("submit-job.test",
                           {{"format", "image/pwg-raster"}, {"jobname", "streamed"}}, pwg);
    });
    bool printing = false;
    for (int i = 0; i < 600 && !printing; i++) {
        printing = app.log().find("Printed page 2 ") != std::string::npos;
        if (!printing)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    JobOutcome canceled = outcome(app.ipptool("cancel-job.test", {{"jobid", "1"}}));
    client.join();
    ASSERT_TRUE(printing) << app.log();
    EXPECT_EQ(canceled.state, "canceled") << canceled.ipptool.out << sent.out << app.log();
    tarnwel::StreamJob decoded = decode_or_fail(app.output("streamed"));
    EXPECT_GE(decoded.pages.size(), 2u);
    EXPECT_LT(decoded.pages.size(), 40u);
    JobOutcome next = print_plain(app, kSample, "application/pdf", "next");
    EXPECT_EQ(next.state, "completed") << next.ipptool.out;
}

// ---------------------------------------------------------------------------
// What the filter is given
// ---------------------------------------------------------------------------
TEST(AppFilterProcess, FilterGetsNoDescriptorsButItsOwnThree) {
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    // The filter is wrapped by a script that names every descriptor beyond
    // its standard input, output and error in the job's log: the printer's
    // device, the server's sockets and the log file must stay the server's.
    const std::string filter = app.dir() + "/bin/rastertotarnwel";
    ASSERT_EQ(rename(filter.c_str(), (filter + ".real").c_str()), 0);
    write_file(filter,
               "#!/bin/sh\n"
               "for f in /proc/$$/fd/*; do\n"
               "  case ${f##*/} in 0|1|2) continue ;; esac\n"
               "  [ -e \"$f\" ] && ! [ \"$f\" -ef \"$0\" ] || continue\n"
               "  printf 'DEBUG: inherited descriptor %s -> ' \"${f##*/}\" >&2\n"
               "  readlink \"$f\" >&2\n"
               "done\n"
               "exec \"$0.real\" \"$@\"\n");
    chmod(filter.c_str(), 0755);
    for (const char* format : {"application/pdf", "image/pwg-raster"}) {
        SCOPED_TRACE(format);
        const std::string document =
            std::string(format) == "application/pdf" ? kSample : sample_pages().pwg;
        JobOutcome job = print_plain(app, document, format, "fds");
        ASSERT_EQ(job.state, "completed") << job.ipptool.out << app.log();
        decode_or_fail(app.output("fds"));
    }
    EXPECT_EQ(app.log().find("inherited descriptor"), std::string::npos) << app.log();
}

// ---------------------------------------------------------------------------
// The test's server
// ---------------------------------------------------------------------------
TEST(AppServerLifetime, ServerDiesWithATestThatIsKilled) {
    // A test process killed mid-way (a timeout, a crash) runs no destructor:
    // its server must go all the same.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t test = fork();
    ASSERT_GE(test, 0);
    if (test == 0) {
        close(fds[0]);
        AppServer app;
        pid_t server = app.running() ? app.pid() : -1;
        if (write(fds[1], &server, sizeof(server)) != sizeof(server))
            _exit(1);
        pause();
        _exit(0);
    }
    close(fds[1]);
    pid_t server = -1;
    ASSERT_EQ(read(fds[0], &server, sizeof(server)), static_cast<ssize_t>(sizeof(server)));
    close(fds[0]);
    ASSERT_GT(server, 0);
    kill(test, SIGKILL);
    waitpid(test, nullptr, 0);
    bool gone = false;
    for (int i = 0; i < 100 && !gone; i++) {
        // Gone, or dead and waiting to be reaped by whoever adopted it.
        std::string stat = read_file("/proc/" + std::to_string(server) + "/stat");
        size_t end = stat.rfind(')');
        gone = (kill(server, 0) != 0 && errno == ESRCH) ||
               (end != std::string::npos && stat.compare(end + 1, 3, " Z ") == 0);
        if (!gone)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(gone) << "server " << server << " outlived its test";
    if (!gone)
        kill(server, SIGKILL);
}

// ---------------------------------------------------------------------------
// A page that claims to be huge
// ---------------------------------------------------------------------------

TEST(AppHugePage, APageHeaderClaimingAHugeWidthCostsNoMemory) {
    // A PWG raster page that says it is 400 million pixels wide: one line
    // of it, compressed, is a few bytes of document.
    GreyPage p;
    memset(&p.header, 0, sizeof(p.header));
    const unsigned width = 400000000;
    p.header.HWResolution[0] = p.header.HWResolution[1] = 600;
    p.header.PageSize[0] = 612;
    p.header.PageSize[1] = 792;
    p.header.cupsWidth = width;
    p.header.cupsHeight = 2;
    p.header.cupsBitsPerColor = p.header.cupsBitsPerPixel = 8;
    p.header.cupsBytesPerLine = width;
    p.header.cupsColorSpace = CUPS_CSPACE_SW;
    p.header.cupsNumColors = 1;
    p.header.NumCopies = 1;
    p.pixels.assign(width, 255);  // one line; the page is cut after it
    std::string document = temp_dir() + "/wide.pwg";
    write_pwg({p}, document);
    p.pixels = Bytes();

    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    const long before = app.peak_memory_kib();
    ASSERT_GT(before, 0);
    RunResult r = run_program({"ipptool", "-t", "-T", "10", "-d", "format=image/pwg-raster", "-d",
                               "jobname=wide", "-f", document, app.printer_uri(),
                               std::string(TARNWEL_SOURCE_DIR) + "/tests/app/submit-job.test"});
    JobOutcome job = outcome(app.ipptool("wait-job.test", {{"jobid", "1"}}));
    EXPECT_EQ(job.state, "aborted") << job.ipptool.out << app.log();
    EXPECT_NE(job.message.find("more than the printer accepts"), std::string::npos)
        << job.ipptool.out;
    // The line buffers are sized for the printer, not for the header's
    // claim (50 MB of one-bit pixels here). Under AddressSanitizer the
    // shadow of PAPPL's own buffer for the client's line costs as much, so
    // only the plain build can tell.
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(app.peak_memory_kib() - before, 20 * 1024) << r.out;
#else
    (void)before;
#endif
    std::string out = app.output("wide");
    if (!out.empty())
        decode_or_fail(out);
    JobOutcome next = print_plain(app, kSample, "application/pdf", "next");
    EXPECT_EQ(next.state, "completed") << next.ipptool.out << app.log();
}

// ---------------------------------------------------------------------------
// Raster as clients send it
// ---------------------------------------------------------------------------

// A PWG raster page of a type and resolution a client may choose: a black
// square on a white Letter page, an inch from the top and left edges and an
// inch wide and high at any resolution. It prints at its true size (the
// printer gets the imageable area, 12 pt in from each edge), or the job is
// aborted with a reason that names what the printer takes instead.
struct RasterCase {
    const char* name;
    unsigned bits;  // per pixel
    cups_cspace_t space;
    unsigned xres, yres;
    const char* refusal;  // words of the aborted job's message, or null: it prints
};

void PrintTo(const RasterCase& c, std::ostream* os) {
    *os << c.name;
}

class AppClientRaster : public ::testing::TestWithParam<RasterCase> {};

TEST_P(AppClientRaster, PrintsAtItsTrueSizeOrIsRefusedWithAReason) {
    const RasterCase& c = GetParam();
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    // The square in the client's pixels: 1 to 2 inches from the top left.
    const unsigned width = 17 * c.xres / 2, height = 11 * c.yres;
    const unsigned left = c.xres, right = 2 * c.xres, top = c.yres, bottom = 2 * c.yres;
    const bool blackIsOne = c.space == CUPS_CSPACE_K;
    const std::string path = app.dir() + "/square.pwg";
    {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
        cups_page_header2_t h;
        memset(&h, 0, sizeof(h));
        snprintf(h.MediaType, sizeof(h.MediaType), "stationery");
        h.HWResolution[0] = c.xres;
        h.HWResolution[1] = c.yres;
        h.PageSize[0] = 612;
        h.PageSize[1] = 792;
        h.cupsWidth = width;
        h.cupsHeight = height;
        h.cupsBitsPerPixel = c.bits;
        h.cupsNumColors = c.space == CUPS_CSPACE_SRGB ? 3 : c.space == CUPS_CSPACE_CMYK ? 4 : 1;
        h.cupsBitsPerColor = c.bits / h.cupsNumColors;
        h.cupsBytesPerLine = (width * c.bits + 7) / 8;
        h.cupsColorOrder = CUPS_ORDER_CHUNKED;
        h.cupsColorSpace = c.space;
        h.cupsInteger[0] = 1;  // total pages
        snprintf(h.cupsPageSizeName, sizeof(h.cupsPageSizeName), "na_letter_8.5x11in");
        ASSERT_TRUE(cupsRasterWriteHeader2(ras, &h));
        Bytes line(h.cupsBytesPerLine);
        for (unsigned y = 0; y < height; y++) {
            const bool band = y >= top && y < bottom;
            if (c.bits == 1) {
                std::fill(line.begin(), line.end(), blackIsOne ? 0x00 : 0xFF);
                for (unsigned x = left; band && x < right; x++)
                    line[x / 8] ^= static_cast<unsigned char>(0x80 >> (x % 8));
            } else {
                // Black: 0 in grey and colour, the most in 8-bit black.
                const unsigned char white = blackIsOne ? 0 : 255;
                const size_t bytes = c.bits / 8;
                std::fill(line.begin(), line.end(), white);
                for (unsigned x = left; band && x < right; x++)
                    std::fill_n(line.begin() + x * bytes, bytes,
                                static_cast<unsigned char>(255 - white));
            }
            cupsRasterWritePixels(ras, line.data(), h.cupsBytesPerLine);
        }
        cupsRasterClose(ras);
        close(fd);
    }
    JobOutcome job = print_plain(app, path, "image/pwg-raster", "square");
    if (c.refusal) {
        EXPECT_EQ(job.state, "aborted") << job.ipptool.out << app.log();
        EXPECT_NE(job.message.find(c.refusal), std::string::npos) << job.message;
        const std::string out = app.output("square");
        if (!out.empty()) {
            EXPECT_EQ(decode_or_fail(out).pages.size(), 0u)
                << "a page of a refused document printed";
        }
        JobOutcome next = print_plain(app, kSample, "application/pdf", "next");
        EXPECT_EQ(next.state, "completed") << next.ipptool.out << app.log();
        return;
    }
    ASSERT_EQ(job.state, "completed") << job.ipptool.out << app.log();
    tarnwel::StreamJob decoded = decode_or_fail(app.output("square"));
    EXPECT_EQ(decoded.paper_width, 5100u);
    EXPECT_EQ(decoded.paper_height, 6600u);
    constexpr unsigned kMargin = 100;  // 12 pt at 600 dpi
    std::vector<tarnwel::PageImage> pages = tarnwel::page_images(decoded, true, 6600 - 2 * kMargin);
    ASSERT_EQ(pages.size(), 1u);
    const tarnwel::PageImage& p = pages[0];
    size_t wrong = 0;
    for (unsigned y = 0; y < p.height; y++)
        for (unsigned x = 0; x < p.width_bytes * 8; x++) {
            const bool black = (p.pixels[size_t(y) * p.width_bytes + x / 8] >> (7 - x % 8)) & 1;
            const unsigned px = x + kMargin, py = y + kMargin;  // on the paper, at 600 dpi
            const bool want = px >= 600 && px < 1200 && py >= 600 && py < 1200;
            wrong += black != want;
        }
    EXPECT_EQ(wrong, 0u) << "pixels that differ from the document's";
}

INSTANTIATE_TEST_SUITE_P(
    Types, AppClientRaster,
    ::testing::Values(RasterCase{"Grey600", 8, CUPS_CSPACE_SW, 600, 600, nullptr},
                      RasterCase{"Grey300", 8, CUPS_CSPACE_SW, 300, 300, nullptr},
                      RasterCase{"Grey1200", 8, CUPS_CSPACE_SW, 1200, 1200, nullptr},
                      RasterCase{"Grey300x600", 8, CUPS_CSPACE_SW, 300, 600, nullptr},
                      RasterCase{"Black600", 1, CUPS_CSPACE_K, 600, 600, nullptr},
                      RasterCase{"Black300", 1, CUPS_CSPACE_K, 300, 300, nullptr},
                      RasterCase{"EightBitBlack600", 8, CUPS_CSPACE_K, 600, 600, nullptr},
                      // PAPPL reads a 1-bit page only as far as the paper goes at 600 dpi.
                      RasterCase{"Black1200", 1, CUPS_CSPACE_K, 1200, 1200,
                                 "1-bit raster at 1200 dpi"},
                      RasterCase{"Srgb600", 24, CUPS_CSPACE_SRGB, 600, 600, "srgb_8 raster"},
                      RasterCase{"Grey16", 16, CUPS_CSPACE_SW, 600, 600, "sgray_16 raster"},
                      // Four bits a pixel, which PAPPL hands over under its 8-bit header.
                      RasterCase{"Cmyk1", 4, CUPS_CSPACE_CMYK, 600, 600, "cmyk_1 raster"}),
    [](const ::testing::TestParamInfo<RasterCase>& info) { return info.param.name; });

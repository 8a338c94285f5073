// SPDX-License-Identifier: Apache-2.0
// Many jobs at once through the printer application's real server: two
// printers, four clients sending PWG raster, PDF and JPEG jobs together, each
// with its own sides, density, paper weight and copies. Every job prints
// once, into a valid stream that holds its own pages and settings; the
// server's memory does not grow with the jobs it has printed, nor with the
// length of a document; and PAPPL 1.3.1's job-start race, held open on
// purpose, no longer puts two jobs on one printer.
#include <cups/raster.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "app_server.h"
#include "stream_check.h"
#include "test_util.h"

namespace {

const std::string kSample = std::string(TARNWEL_SOURCE_DIR) + "/samples/sample.pdf";

RunResult ghostscript(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

// ---------------------------------------------------------------------------
// Documents
// ---------------------------------------------------------------------------
constexpr unsigned kLetterWidth = 5100, kLetterHeight = 6600;  // dots at 600 dpi

// A PWG raster of `pages` Letter pages in 8-bit grey that is only black or
// white (the same bits whatever the dither matrix): a frame, and on each
// page as many bars as its number, so that pages cannot pass for each other.
std::string bars_pwg(unsigned pages) {
    std::string path = temp_dir() + "/bars-" + std::to_string(pages) + ".pwg";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    cups_raster_t* r = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
    cups_page_header2_t h;
    memset(&h, 0, sizeof(h));
    h.HWResolution[0] = h.HWResolution[1] = 600;
    h.PageSize[0] = 612;
    h.PageSize[1] = 792;
    h.cupsWidth = kLetterWidth;
    h.cupsHeight = kLetterHeight;
    h.cupsBitsPerColor = h.cupsBitsPerPixel = 8;
    h.cupsBytesPerLine = kLetterWidth;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsColorSpace = CUPS_CSPACE_SW;
    h.cupsNumColors = 1;
    h.NumCopies = 1;
    h.cupsInteger[CUPS_RASTER_PWG_TotalPageCount] = pages;
    Bytes line(kLetterWidth);
    for (unsigned page = 1; page <= pages; page++) {
        cupsRasterWriteHeader2(r, &h);
        for (unsigned y = 0; y < kLetterHeight; y++) {
            const bool frameRow = (y >= 300 && y < 340) || (y >= 6260 && y < 6300);
            const bool inside = y >= 300 && y < 6300;
            // Bar n: rows 600 + 200 n to 700 + 200 n, long enough to tell.
            const bool barRow = y >= 600 && (y - 600) % 200 < 100 && (y - 600) / 200 < page;
            for (unsigned x = 0; x < kLetterWidth; x++) {
                bool black =
                    frameRow || (inside && ((x >= 300 && x < 340) || (x >= 4760 && x < 4800)));
                black = black || (barRow && x >= 600 && x < 600 + 100 * (page % 30 + 1));
                line[x] = black ? 0 : 255;
            }
            cupsRasterWritePixels(r, line.data(), kLetterWidth);
        }
    }
    cupsRasterClose(r);
    close(fd);
    return path;
}

std::string sample_jpeg() {
    std::string out = temp_dir() + "/page.jpg";
    RunResult r = ghostscript({"-sDEVICE=jpeggray", "-r100", "-dFirstPage=1", "-dLastPage=1",
                               "-sOutputFile=" + out, kSample});
    EXPECT_EQ(r.status, 0) << r.out;
    return out;
}

struct Document {
    std::string name;
    std::string format;
    std::string path;
};

// The three kinds of document of the load: a two-page PWG raster, the
// three-page sample PDF and a one-page JPEG.
std::vector<Document> load_documents() {
    return {{"pwg", "image/pwg-raster", bars_pwg(2)},
            {"pdf", "application/pdf", kSample},
            {"jpeg", "image/jpeg", sample_jpeg()}};
}

// ---------------------------------------------------------------------------
// Jobs
// ---------------------------------------------------------------------------
struct DensityChoice {
    int darkness;  // print-darkness sent
    int code;      // the density the job header must carry (0 Dark .. 4 Light)
};
const DensityChoice kDensities[] = {{-100, 4}, {-50, 3}, {0, 2}, {50, 1}, {100, 0}};

struct WeightChoice {
    const char* mediaType;
    int code;  // 0 VeryHeavy, 2 MediumHeavy, 3 Medium
};
const WeightChoice kWeights[] = {
    {"stationery", 3}, {"stationery-heavyweight", 2}, {"cardstock", 0}};

struct SidesChoice {
    const char* sides;
    tarnwel::Duplex duplex;
};
const SidesChoice kSides[] = {{"one-sided", tarnwel::Duplex::None},
                              {"two-sided-long-edge", tarnwel::Duplex::LongEdge},
                              {"two-sided-short-edge", tarnwel::Duplex::ShortEdge}};

struct LoadJob {
    std::string name;  // job-name, and the name of its file on the device
    const Document* document;
    std::string printer;
    const SidesChoice* sides;
    const DensityChoice* density;
    const WeightChoice* weight;
    int copies;
    int id = 0;  // given by the server
};

std::string describe(const LoadJob& j) {
    return j.name + " (" + j.document->name + " on " + j.printer + ", " + j.sides->sides +
           ", darkness " + std::to_string(j.density->darkness) + ", " + j.weight->mediaType + ", " +
           std::to_string(j.copies) + " copies)";
}

// `count` jobs numbered from `first`, spread over the documents and
// printers, each with settings of its own: no two jobs of the run share a
// document and all four settings, so that a stream in the wrong place shows.
std::vector<LoadJob> make_jobs(const std::vector<Document>& docs,
                               const std::vector<std::string>& printers, int first, int count) {
    std::vector<LoadJob> jobs;
    for (int k = first; k < first + count; k++) {
        LoadJob j;
        char name[32];
        snprintf(name, sizeof(name), "load-%02d", k + 1);
        j.name = name;
        j.document = &docs[static_cast<size_t>(k) % docs.size()];
        j.printer = printers[static_cast<size_t>(k) % printers.size()];
        j.sides = &kSides[(k / 3) % 3];
        // Document, density and paper weight alone differ for 45 jobs.
        j.density = &kDensities[k % 5];
        j.weight = &kWeights[(k / 15) % 3];
        // A streamed raster's copies are made by its client (copies-supported
        // is 1 for them); the printer makes those of PDF and JPEG jobs.
        j.copies = j.document->format == "image/pwg-raster" ? 1 : 1 + (k / 7) % 3;
        jobs.push_back(j);
    }
    return jobs;
}

// Submits jobs[from] to jobs[to - 1] from `clients` clients at once, each
// sending its share one after another without waiting for them to print.
// Sets each job's ID; a job whose submission failed keeps 0, and why is in
// `failures`.
void submit_at_once(const AppServer& app, std::vector<LoadJob>& jobs, size_t from, size_t to,
                    int clients, std::vector<std::string>& failures) {
    std::vector<std::thread> threads;
    std::vector<std::vector<std::string>> clientFailures(static_cast<size_t>(clients));
    for (int c = 0; c < clients; c++)
        threads.emplace_back([&, c] {
            for (size_t i = from + static_cast<size_t>(c); i < to; i += clients) {
                LoadJob& j = jobs[i];
                RunResult r = app.ipptool("load-job.test",
                                          {{"format", j.document->format},
                                           {"jobname", j.name},
                                           {"sides", j.sides->sides},
                                           {"darkness", std::to_string(j.density->darkness)},
                                           {"mediatype", j.weight->mediaType},
                                           {"copies", std::to_string(j.copies)}},
                                          j.document->path, "", j.printer);
                j.id = atoi(ipp_value(r.out, "job-id").c_str());
                if (getenv("DEBUGLOAD"))
                    std::cerr << "=== " << j.name << " -> " << j.id << "\n" << r.out << "\n";
                if (r.status != 0 || j.id <= 0)
                    clientFailures[static_cast<size_t>(c)].push_back(describe(j) + ": " + r.out);
            }
        });
    for (std::thread& t : threads)
        t.join();
    for (const auto& f : clientFailures)
        failures.insert(failures.end(), f.begin(), f.end());
}

struct JobRow {
    std::string name, state;
    int impressions = 0;
};

// Every job of a printer, by job ID (ipptool's CSV of Get-Jobs). PAPPL
// numbers the jobs of each printer on its own.
std::map<int, JobRow> printer_jobs(const AppServer& app, const std::string& printer) {
    RunResult r = run_program({"ipptool", "-c", "-T", "30", app.printer_uri(printer),
                               std::string(TARNWEL_SOURCE_DIR) + "/tests/app/get-jobs.test"});
    std::map<int, JobRow> rows;
    std::istringstream in(r.out);
    std::string line;
    std::getline(in, line);  // the column names
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::istringstream fields(line);
        std::string f;
        while (std::getline(fields, f, ','))
            cols.push_back(f);
        if (cols.size() < 4)
            continue;
        rows[atoi(cols[0].c_str())] = {cols[1], cols[2], atoi(cols[3].c_str())};
    }
    return rows;
}

bool finished(const std::string& state) {
    return state == "completed" || state == "aborted" || state == "canceled";
}

using PrinterJobs = std::map<std::string, std::map<int, JobRow>>;

// Waits until no job of the printers is pending or printing (at most
// `seconds`); returns every job of each printer.
PrinterJobs wait_for_jobs(AppServer& app, const std::vector<std::string>& printers, int seconds) {
    PrinterJobs all;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (app.alive()) {
        all.clear();
        bool busy = false;
        for (const std::string& p : printers) {
            all[p] = printer_jobs(app, p);
            for (const auto& [id, row] : all[p])
                busy = busy || !finished(row.state);
        }
        if (!busy || std::chrono::steady_clock::now() > until)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return all;
}

// The pages of a stream as they are read: one image per page, each sheet's
// back side turned back and the blank page that completes a two-sided job
// left out. The same for every sides setting of a document.
// The printer gets the imageable area, 12 pt (100 lines) less at the top and
// at the bottom: its pages are that high, one- or two-sided, and a long-edge
// back side is turned within them.
constexpr unsigned kRasterHeight = kLetterHeight - 2 * 100;

std::vector<tarnwel::PageImage> reading_pages(const tarnwel::StreamJob& job) {
    return tarnwel::page_images(job, true, kRasterHeight);
}

// What a document's pages look like alone: printed by itself, one-sided,
// before any load.
std::map<std::string, std::vector<tarnwel::PageImage>> print_alone(
    const AppServer& app, const std::vector<Document>& docs) {
    std::map<std::string, std::vector<tarnwel::PageImage>> pages;
    for (const Document& d : docs) {
        std::string name = "alone-" + d.name;
        RunResult r = app.ipptool("print-job.test",
                                  {{"format", d.format},
                                   {"jobname", name},
                                   {"sides", "one-sided"},
                                   {"darkness", "0"},
                                   {"mediatype", "stationery"},
                                   {"copies", "1"}},
                                  d.path);
        EXPECT_EQ(ipp_value(r.out, "job-state"), "completed") << r.out << app.log();
        pages[d.name] = reading_pages(decode_or_fail(app.output(name)));
        EXPECT_FALSE(pages[d.name].empty()) << d.name;
    }
    return pages;
}

int count_occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// Every job completed once, on its own printer, into a valid stream of its
// own settings and its document's pages; no job ran twice or beside another
// on one printer; nothing else reached the printers.
void check_jobs(AppServer& app, const std::vector<LoadJob>& jobs,
                const std::map<std::string, std::vector<tarnwel::PageImage>>& alone,
                const PrinterJobs& rows, const std::map<std::string, std::string>& outDirs) {
    const std::string log = app.log();
    for (const LoadJob& j : jobs) {
        SCOPED_TRACE(describe(j));
        ASSERT_GT(j.id, 0);
        auto row = rows.at(j.printer).find(j.id);
        ASSERT_NE(row, rows.at(j.printer).end()) << "the server lost the job";
        EXPECT_EQ(row->second.name, j.name);
        EXPECT_EQ(row->second.state, "completed");

        // Its stream is on its own printer's device and on no other.
        std::string stream;
        for (const auto& [printer, dir] : outDirs) {
            std::string path = dir + "/" + j.name + ".prn";
            struct stat st;
            bool there = stat(path.c_str(), &st) == 0;
            EXPECT_EQ(there, printer == j.printer) << path;
            if (there && printer == j.printer)
                stream = read_file(path);
        }
        ASSERT_FALSE(stream.empty());
        tarnwel::StreamJob decoded = decode_or_fail(stream);
        EXPECT_EQ(decoded.density, j.density->code);
        EXPECT_EQ(decoded.paper_weight, j.weight->code);
        EXPECT_EQ(decoded.duplex, j.sides->duplex);
        EXPECT_EQ(decoded.copies, static_cast<unsigned>(j.copies));
        EXPECT_EQ(decoded.paper_width, kLetterWidth);
        EXPECT_EQ(decoded.paper_height, kLetterHeight);
        const std::vector<tarnwel::PageImage>& expected = alone.at(j.document->name);
        std::vector<tarnwel::PageImage> pages = reading_pages(decoded);
        ASSERT_EQ(pages.size(), expected.size());
        for (size_t p = 0; p < pages.size(); p++) {
            EXPECT_EQ(pages[p].width_bytes, expected[p].width_bytes) << "page " << p + 1;
            EXPECT_EQ(pages[p].height, expected[p].height) << "page " << p + 1;
            EXPECT_TRUE(pages[p].pixels == expected[p].pixels)
                << "page " << p + 1 << " differs from the document printed alone";
        }
    }
    // Each job that printed was started once: "[Job N] Starting print
    // job." as often as printers have a job N that printed. (A request that
    // was answered busy left a job that never started.)
    std::map<int, int> printedJobs;
    for (const auto& [printer, jobsOfPrinter] : rows)
        for (const auto& [id, row] : jobsOfPrinter)
            printedJobs[id] += row.state == "completed" || row.state == "aborted";
    for (const auto& [id, times] : printedJobs)
        EXPECT_EQ(count_occurrences(log, "[Job " + std::to_string(id) + "] Starting print job."),
                  times)
            << "job " << id << " was started more often than printers have printed one";
    // And no two jobs used a printer's device at once.
    for (const auto& [printer, jobsOfPrinter] : rows) {
        std::string shared = shared_device(log, printer);
        EXPECT_TRUE(shared.empty()) << "on " << printer << ": " << shared;
    }
}

// The server's memory in KiB: its peak (VmHWM) or its present size (VmRSS).
long memory_kib(pid_t pid, const char* field) {
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find(std::string(field) + ":");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + strlen(field) + 1);
}

#ifdef __SANITIZE_ADDRESS__
constexpr bool kMemoryMeasurable = false;  // the shadow memory and quarantine swamp it
#else
constexpr bool kMemoryMeasurable = true;
#endif

}  // namespace

// ---------------------------------------------------------------------------
// Forty jobs from four clients on two printers
// ---------------------------------------------------------------------------
TEST(AppLoad, FortyJobsFromFourClientsOnTwoPrintersEachPrintOnceAsTheirOwn) {
    const std::vector<Document> docs = load_documents();
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    // A second printer of the other model, with its own device folder.
    const std::vector<std::string> printers = {"office", "lab"};
    const std::map<std::string, std::string> outDirs = {{"office", app.dir() + "/out"},
                                                        {"lab", app.dir() + "/out/lab"}};
    mkdir(outDirs.at("lab").c_str(), 0777);
    chmod(outDirs.at("lab").c_str(), 0777);
    RunResult add = app.command(
        {"add", "-d", "lab", "-m", "tnml24p", "-v", "file://" + outDirs.at("lab") + "?ext=prn"});
    ASSERT_EQ(add.status, 0) << add.out;

    const auto alone = print_alone(app, docs);
    ASSERT_FALSE(::testing::Test::HasFailure());
    for (const auto& d : docs)
        unlink((outDirs.at("office") + "/alone-" + d.name + ".prn").c_str());

    // Five jobs, then forty more, each batch from four clients at once.
    std::vector<LoadJob> jobs = make_jobs(docs, printers, 0, 45);
    std::set<std::string> settings;
    for (const LoadJob& j : jobs)
        settings.insert(j.document->name + j.sides->sides + std::to_string(j.density->darkness) +
                        j.weight->mediaType + std::to_string(j.copies));
    ASSERT_EQ(settings.size(), jobs.size()) << "two jobs of the load look the same";
    // The first five hold the kinds that cost the server most while they
    // print, on both printers at once (PAPPL decodes a JPEG whole; streamed
    // raster comes line by line), so that the peak after them is already the
    // peak of any mix of the load: forty more must not raise it.
    size_t next = 0;
    for (auto kind : {std::make_pair("jpeg", "office"), std::make_pair("jpeg", "lab"),
                      std::make_pair("pwg", "office"), std::make_pair("pwg", "lab")}) {
        auto it =
            std::find_if(jobs.begin() + static_cast<long>(next), jobs.end(), [&](const LoadJob& j) {
                return j.document->name == kind.first && j.printer == kind.second;
            });
        ASSERT_NE(it, jobs.end());
        std::rotate(jobs.begin() + static_cast<long>(next), it, it + 1);
        next++;
    }

    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> failures;
    submit_at_once(app, jobs, 0, 5, 4, failures);
    wait_for_jobs(app, printers, 300);
    const long peakAfter5 = memory_kib(app.pid(), "VmHWM");
    const long sizeAfter5 = memory_kib(app.pid(), "VmRSS");
    submit_at_once(app, jobs, 5, jobs.size(), 4, failures);
    PrinterJobs rows = wait_for_jobs(app, printers, 600);
    const long peakAfter45 = memory_kib(app.pid(), "VmHWM");
    const long sizeAfter45 = memory_kib(app.pid(), "VmRSS");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(app.alive()) << "the server died under the load";
    for (const std::string& f : failures)
        ADD_FAILURE() << "submission failed: " << f;

    check_jobs(app, jobs, alone, rows, outDirs);
    // Nothing but these jobs reached the printers (the files of each
    // printer's folder: lab's folder lies in office's).
    for (const auto& [printer, dir] : outDirs) {
        RunResult ls = run_program(
            {"find", dir, "-mindepth", "1", "-maxdepth", "1", "-type", "f", "-printf", "%f\n"});
        int files = 0;
        for (const LoadJob& j : jobs)
            files += j.printer == printer;
        EXPECT_EQ(count_lines_starting(ls.out, "load-"), files) << ls.out;
        EXPECT_EQ(count_lines_starting(ls.out, ""), files) << ls.out;
    }

    std::cout << "45 jobs in " << seconds << " s; server memory after 5 jobs: peak " << peakAfter5
              << " KiB, now " << sizeAfter5 << " KiB; after 45: peak " << peakAfter45
              << " KiB, now " << sizeAfter45 << " KiB\n";
    if (kMemoryMeasurable) {
        // Forty more jobs of the same kinds cost next to nothing that stays:
        // PAPPL keeps a record of each finished job, a few KiB.
        EXPECT_LT(peakAfter45 - peakAfter5, 4 * 1024);
        EXPECT_LT(sizeAfter45 - sizeAfter5, 4 * 1024);
    }
}

// ---------------------------------------------------------------------------
// A long document costs the server no more than a short one
// ---------------------------------------------------------------------------
TEST(AppMemory, ServerHoldsAboutOnePageOfAJobNotTheWholeDocument) {
    if (!kMemoryMeasurable)
        GTEST_SKIP() << "memory is measured in the build without AddressSanitizer";
    const int longPages = 24;
    const std::vector<Document> shortDocs = {{"pwg", "image/pwg-raster", bars_pwg(1)},
                                             {"pdf", "application/pdf", long_pdf(1)}};
    const std::vector<Document> longDocs = {{"pwg", "image/pwg-raster", bars_pwg(longPages)},
                                            {"pdf", "application/pdf", long_pdf(longPages)}};
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    auto print = [&](const Document& d, const std::string& name, size_t pages) {
        RunResult r = app.ipptool("print-job.test",
                                  {{"format", d.format},
                                   {"jobname", name},
                                   {"sides", "two-sided-long-edge"},
                                   {"darkness", "0"},
                                   {"mediatype", "stationery"},
                                   {"copies", "1"}},
                                  d.path);
        EXPECT_EQ(ipp_value(r.out, "job-state"), "completed") << r.out << app.log();
        tarnwel::StreamJob decoded = decode_or_fail(app.output(name));
        EXPECT_EQ(decoded.pages.size(), pages + pages % 2) << name;
    };
    // Each kind once short, so that its buffers are all there; then long.
    for (const Document& d : shortDocs)
        print(d, "short-" + d.name, 1);
    const long peakShort = memory_kib(app.pid(), "VmHWM");
    for (const Document& d : longDocs)
        print(d, "long-" + d.name, longPages);
    const long peakLong = memory_kib(app.pid(), "VmHWM");
    // One page of the printer's one-bit raster: Letter at 600 dpi.
    const long pageKib = kLetterWidth / 8 * kLetterHeight / 1024;
    std::cout << "server peak after one-page jobs " << peakShort << " KiB, after " << longPages
              << "-page jobs " << peakLong << " KiB; one page is " << pageKib << " KiB\n";
    EXPECT_LT(peakLong - peakShort, pageKib);
}

// ---------------------------------------------------------------------------
// PAPPL 1.3.1's job-start race, held open
// ---------------------------------------------------------------------------
namespace {

// Jobs sent at once to one printer of a server whose job threads start
// 300 ms late (tests/app/job_start_delay.c): spooled PDF and JPEG jobs that
// PAPPL's scheduler starts, and streamed PWG raster that clients print
// themselves when the printer looks free.
std::vector<LoadJob> race_jobs(const std::vector<Document>& docs) {
    std::vector<LoadJob> jobs = make_jobs(docs, {"office"}, 0, 9);
    for (LoadJob& j : jobs)
        j.name = "race-" + j.name.substr(5);
    return jobs;
}

AppServerOptions delayed_job_threads(const std::string& program) {
    AppServerOptions o;
    o.program = program;
    o.preload = {TARNWEL_JOB_START_DELAY};
    o.environment = {"TARNWEL_JOB_START_DELAY_MS=300"};
    return o;
}

}  // namespace

TEST(AppJobStart, JobsSentAtOnceToOnePrinterPrintOneAfterAnother) {
    const std::vector<Document> docs = load_documents();
    AppServer app("tnml20", delayed_job_threads(TARNWEL_APP_PATH));
    ASSERT_TRUE(app.running()) << app.log();
    const auto alone = print_alone(app, docs);
    ASSERT_FALSE(::testing::Test::HasFailure());
    std::vector<LoadJob> jobs = race_jobs(docs);
    std::vector<std::string> failures;
    submit_at_once(app, jobs, 0, jobs.size(), 4, failures);
    PrinterJobs rows = wait_for_jobs(app, {"office"}, 300);
    ASSERT_TRUE(app.alive()) << "the server died";
    for (const std::string& f : failures)
        ADD_FAILURE() << "submission failed: " << f;
    check_jobs(app, jobs, alone, rows, {{"office", app.dir() + "/out"}});
    const std::string both = overlapping_jobs(app.log());
    EXPECT_TRUE(both.empty()) << "jobs " << both << " ran at once";
}

#ifdef TARNWEL_APP_UNGATED_PATH
TEST(AppJobStart, WithoutTheGateTheSameJobsMeetPapplsRace) {
    // The fixture must provoke the race, or the test above proves nothing:
    // the same program without its gate runs two jobs on one printer at
    // once, or one job twice, and mostly dies of it.
    const std::vector<Document> docs = load_documents();
    AppServer app("tnml20", delayed_job_threads(TARNWEL_APP_UNGATED_PATH));
    ASSERT_TRUE(app.running()) << app.log();
    app.expect_exit();
    std::vector<LoadJob> jobs = race_jobs(docs);
    std::vector<std::string> failures;
    submit_at_once(app, jobs, 0, jobs.size(), 4, failures);
    wait_for_jobs(app, {"office"}, 120);
    const std::string log = app.log();
    std::map<std::string, int> starts;
    std::istringstream in(log);
    std::string line;
    bool twice = false;
    while (std::getline(in, line)) {
        size_t at = line.find("] [Job ");
        if (at != std::string::npos && line.find("] Starting print job.") != std::string::npos)
            twice = ++starts[line.substr(at, line.find(']', at + 2) - at)] > 1 || twice;
    }
    const bool died = !app.alive();
    const std::string both = overlapping_jobs(log);
    const std::string shared = shared_device(log, "office");
    std::cout << "without the gate: " << (died ? "the server died" : "the server lived")
              << (both.empty() ? "" : ", jobs " + both + " ran at once")
              << (twice ? ", a job was started twice" : "") << (shared.empty() ? "" : ", " + shared)
              << "\n";
    EXPECT_TRUE(died || !both.empty() || twice || !shared.empty()) << log;
}
#endif

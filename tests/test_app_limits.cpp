// The limits on what one client can make the printer application hold, each
// hit once against the real server: jobs waiting on a printer and in all,
// the size of a document, the room left in the spool, connections at once,
// a streamed raster that stops coming or comes a byte at a time; and the
// log and the job history: a log on standard error that grows past PAPPL's
// rotation size, and the jobs a crash leaves behind.
#include <arpa/inet.h>
#include <cups/cups.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "app_server.h"
#include "stream_check.h"
#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kSample = std::string(TARNWEL_SOURCE_DIR) + "/samples/sample.pdf";

// The answer to a request, as ipptool -v shows it.
struct Answer {
    std::string status, message;
    std::string out;
};

Answer answer(const RunResult& r) {
    Answer a;
    a.out = r.out;
    size_t at = r.out.find("status-code = ");
    if (at != std::string::npos)
        a.status = r.out.substr(at + 14, r.out.find_first_of(" \n", at + 14) - at - 14);
    a.message = ipp_value(r.out, "status-message");
    return a;
}

// Sends a document held until released, as `user`; `extra` are more
// ipptool arguments (-L: with its length up front).
Answer send_held(const AppServer& app, const std::string& printer, const std::string& name,
                 const std::string& document = kSample,
                 const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {"ipptool", "-tv", "-T", "60"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    for (const std::string& d :
         std::vector<std::string>{"format=application/pdf", "username=alice", "jobname=" + name}) {
        argv.push_back("-d");
        argv.push_back(d);
    }
    argv.insert(argv.end(), {"-f", document, app.printer_uri(printer),
                             std::string(TARNWEL_SOURCE_DIR) + "/tests/app/print-held.test"});
    return answer(run_program(argv));
}

// One page of 8-bit grey PWG raster, Letter at 600 dpi: white with black
// stripes, so that its lines are not all alike.
std::string pwg_page() {
    std::string path = temp_dir() + "/page.pwg";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    cups_raster_t* r = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
    cups_page_header2_t h;
    cupsRasterInitPWGHeader(&h, pwgMediaForPWG("na_letter_8.5x11in"), "sgray_8", 600, 600,
                            "one-sided", nullptr);
    cupsRasterWriteHeader2(r, &h);
    std::vector<unsigned char> line(h.cupsBytesPerLine);
    for (unsigned y = 0; y < h.cupsHeight; y++) {
        for (unsigned x = 0; x < h.cupsWidth; x++)
            line[x] = ((x / 37 + y / 53) % 5 == 0) ? 0 : 255;
        cupsRasterWritePixels(r, line.data(), h.cupsBytesPerLine);
    }
    cupsRasterClose(r);
    close(fd);
    return read_file(path);
}

// A client that sends a PWG raster in a Print-Job as the test feeds it,
// through libcups as CUPS's own clients do, so that the test decides when
// each byte goes.
class FedClient {
  public:
    FedClient(const AppServer& app, const std::string& name) {
        http_ = httpConnect2("127.0.0.1", app.port(), nullptr, AF_UNSPEC,
                             HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000, nullptr);
        if (!http_)
            return;
        ipp_t* request = ippNewRequest(IPP_OP_PRINT_JOB);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                     app.printer_uri().c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                     "alice");
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name.c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                     "image/pwg-raster");
        sending_ = cupsSendRequest(http_, request, "/ipp/print/office", CUPS_LENGTH_VARIABLE) ==
                   HTTP_STATUS_CONTINUE;
        ippDelete(request);
    }
    ~FedClient() {
        finish();
        if (http_)
            httpClose(http_);
    }
    bool send(const std::string& bytes) {
        // Each piece leaves at once, however small.
        return sending_ &&
               cupsWriteRequestData(http_, bytes.data(), bytes.size()) == HTTP_STATUS_CONTINUE &&
               httpFlushWrite(http_) >= 0;
    }
    // Ends the document (the server may have given up on it long ago) and
    // returns the answer's status.
    ipp_status_t finish() {
        if (sending_) {
            sending_ = false;
            ippDelete(cupsGetResponse(http_, "/ipp/print/office"));
            status_ = cupsLastError();
        }
        return status_;
    }

  private:
    http_t* http_ = nullptr;
    bool sending_ = false;
    ipp_status_t status_ = IPP_STATUS_ERROR_INTERNAL;
};

// Waits until job `id` has ended and says how.
JobOutcome wait_for_job(const AppServer& app, int id) {
    return outcome(app.ipptool("wait-job.test", {{"jobid", std::to_string(id)}}));
}

int thread_count(pid_t pid) {
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("Threads:");
    return at == std::string::npos ? -1 : atoi(status.c_str() + at + 8);
}

int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(AppLimits, JobsWaitingOnAPrinterAndInAll) {
    AppServerOptions options;
    options.serverOptions = {"max-printer-jobs=3", "max-jobs=5"};
    AppServer app("tnml20", options);
    ASSERT_TRUE(app.running()) << app.log();
    mkdir((app.dir() + "/out/lab").c_str(), 0777);
    chmod((app.dir() + "/out/lab").c_str(), 0777);
    RunResult add = app.command(
        {"add", "-d", "lab", "-m", "tnml24p", "-v", "file://" + app.dir() + "/out/lab"});
    ASSERT_EQ(add.status, 0) << add.out;

    struct Step {
        const char* printer;
        const char* status;
        const char* why;  // in the message of a refusal
    } steps[] = {
        {"office", "successful-ok", ""},
        {"office", "successful-ok", ""},
        {"office", "successful-ok", ""},
        {"office", "server-error-too-many-jobs", "max-printer-jobs"},
        {"lab", "successful-ok", ""},
        {"lab", "successful-ok", ""},
        {"lab", "server-error-too-many-jobs", "max-jobs"},
    };
    int n = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(std::string("job ") + std::to_string(++n) + " to " + s.printer);
        Answer a = send_held(app, s.printer, "held" + std::to_string(n));
        EXPECT_EQ(a.status, s.status) << a.out;
        EXPECT_NE(a.message.find(s.why), std::string::npos) << a.message;
    }
    // A job that ends makes room for the next.
    RunResult cancel = app.ipptool("cancel-job.test", {{"jobid", "1"}});
    EXPECT_EQ(cancel.status, 0) << cancel.out;
    EXPECT_EQ(send_held(app, "office", "after").status, "successful-ok");
    // (PAPPL waits for held jobs when it shuts down.)
    for (const char* printer : {"office", "lab"})
        app.command({"cancel", "-d", printer, "-a"});
}

TEST(AppLimits, DocumentSizeAndSpoolRoom) {
    const std::string big = temp_dir() + "/big.pdf";
    write_file(big, read_file(kSample) + std::string(3 << 20, '\n'));
    struct Case {
        const char* name;
        std::vector<std::string> serverOptions, clientOptions;
        const char* status;
        const char* why;
    } cases[] = {
        {"too large, sent in chunks",
         {"max-document-size=1m"},
         {"-C"},
         "client-error-request-entity-too-large",
         "max-document-size"},
        {"too large, its length said up front",
         {"max-document-size=1m"},
         {"-L"},
         "client-error-request-entity-too-large",
         "max-document-size"},
        {"a spool without room",
         {"min-spool-free=1000000g"},
         {},
         "server-error-service-unavailable",
         "min-spool-free"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppServerOptions options;
        options.serverOptions = c.serverOptions;
        AppServer app("tnml20", options);
        ASSERT_TRUE(app.running()) << app.log();
        Answer a = send_held(app, "office", "big", big, c.clientOptions);
        EXPECT_EQ(a.status, c.status) << a.out;
        EXPECT_NE(a.message.find(c.why), std::string::npos) << a.message;
        // Nothing of the document stays in the spool.
        RunResult spool =
            run_program({"find", app.dir() + "/spool", "-type", "f", "-size", "+100k"});
        EXPECT_EQ(spool.out, "") << "left in the spool";
        // A document within the limits prints.
        if (std::string(c.why) == "max-document-size") {
            EXPECT_EQ(print_plain(app, kSample, "application/pdf", "small").state, "completed");
        }
    }
}

TEST(AppLimits, ConnectionsAtOnceCostNoThreadBeyondTheLimit) {
    AppServerOptions options;
    options.serverOptions = {"max-clients=4"};
    AppServer app("tnml20", options);
    ASSERT_TRUE(app.running()) << app.log();
    const int before = thread_count(app.pid());
    std::vector<int> idle;
    for (int i = 0; i < 40; i++)
        idle.push_back(connect_to(app.port()));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const int during = thread_count(app.pid());
    EXPECT_LE(during, before + 4) << "threads before " << before << ", with 40 idle connections "
                                  << during;
    for (int fd : idle)
        if (fd >= 0)
            close(fd);
    // Once they have gone the server answers again.
    EXPECT_EQ(print_plain(app, kSample, "application/pdf", "after").state, "completed");
}

TEST(AppLimits, AStreamedRasterThatStopsOrCrawlsLosesItsJobAndFreesThePrinter) {
    const std::string page = pwg_page();
    struct Case {
        const char* name;
        std::vector<std::string> serverOptions;
        bool crawl;  // a byte every 50 ms instead of nothing
        const char* why;
    } cases[] = {
        {"sends nothing", {"stream-timeout=2"}, false, "stream-timeout"},
        {"a byte at a time", {"max-page-time=3"}, true, "max-page-time"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppServerOptions options;
        options.serverOptions = c.serverOptions;
        AppServer app("tnml20", options);
        ASSERT_TRUE(app.running()) << app.log();
        const auto start = Clock::now();
        {
            FedClient client(app, "slow");
            ASSERT_TRUE(client.send(page.substr(0, page.size() / 2)));
            // The job ends while the client is still there, holding it open.
            std::atomic<bool> ended{false};
            std::thread crawler([&] {
                for (size_t i = page.size() / 2; c.crawl && !ended && i < page.size(); i++) {
                    client.send(page.substr(i, 1));
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
            });
            JobOutcome slow = wait_for_job(app, 1);
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            ended = true;
            crawler.join();
            EXPECT_EQ(slow.state, "aborted") << slow.ipptool.out;
            EXPECT_NE(slow.message.find(c.why), std::string::npos) << slow.message;
            EXPECT_LT(seconds, 20) << "the limit took " << seconds << " s";
            // The printer is free for the next client at once.
            JobOutcome next = print_plain(app, kSample, "application/pdf", "next");
            EXPECT_EQ(next.state, "completed") << next.ipptool.out;
        }
        // Whatever reached the printer of the stopped job is a whole stream.
        std::string out = app.output("slow");
        if (!out.empty())
            decode_or_fail(out);
    }
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// The limits on what one client can make the printer application hold, each
// hit once against the real server, started as the packaged service starts
// it in a network of its own, by a client on another network (network_pair.h):
// jobs waiting on a printer and in all, the size of a document, the room
// left in the spool, connections at once, a streamed raster that stops
// coming or comes a byte at a time; and the log and the job history: a log
// on standard error that grows past PAPPL's
// rotation size, and the jobs a crash leaves behind.
#include <arpa/inet.h>
#include <cups/cups.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <thread>

#include "app_server.h"
#include "network_pair.h"
#include "stream_check.h"
#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kSample = std::string(TARNWEL_SOURCE_DIR) + "/samples/sample.pdf";

// The server as the service starts it, in the pair's server network, with
// more server options.
AppServerOptions as_service(const NetworkPair& net, const std::vector<std::string>& settings) {
    AppServerOptions options;
    options.netns = net.server;
    options.asService = true;
    options.serverOptions = settings;
    return options;
}

// A printer's address for a client on the network.
std::string remote_uri(const AppServer& app, const std::string& printer = "office") {
    return "ipp://" + std::string(kServerAddress) + ":" + std::to_string(app.port()) +
           "/ipp/print/" + printer;
}

// A connection to the server as CUPS's clients make it, from the thread's
// network (the client's, in run_in_netns()); null, and a failure, if none.
http_t* connect_client(const AppServer& app) {
    http_t* http = httpConnect2(kServerAddress, app.port(), nullptr, AF_UNSPEC,
                                HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000, nullptr);
    if (!http)
        ADD_FAILURE() << "cannot connect to the server: " << cupsLastErrorString();
    return http;
}

// A Print-Job of alice's to `printer`, its document to follow.
ipp_t* print_job(const AppServer& app, const std::string& printer, const std::string& name,
                 const char* format) {
    ipp_t* request = ippNewRequest(IPP_OP_PRINT_JOB);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 remote_uri(app, printer).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 "alice");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
    return request;
}

#define NETWORK_PAIR(net)                \
    NetworkPair net;                     \
    if (!net.ready()) {                  \
        SKIP_UNLESS_REQUIRED(net.why()); \
    }

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
Answer send_held(const NetworkPair& net, const AppServer& app, const std::string& printer,
                 const std::string& name, const std::string& document = kSample,
                 const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {"ip",      "netns", "exec", net.client,
                                     "ipptool", "-tv",   "-T",   "60"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    for (const std::string& d :
         std::vector<std::string>{"format=application/pdf", "requester=alice", "jobname=" + name}) {
        argv.push_back("-d");
        argv.push_back(d);
    }
    argv.insert(argv.end(), {"-f", document, remote_uri(app, printer),
                             std::string(TARNWEL_SOURCE_DIR) + "/tests/app/print-held.test"});
    return answer(run_program(argv));
}

// One page of 8-bit grey PWG raster, Letter at 600 dpi: white with black
// stripes, so that its lines are not all alike.
std::string pwg_page() {
    return read_file(letter_pwg([](int, unsigned y, std::vector<unsigned char>& line) {
        for (unsigned x = 0; x < line.size(); x++)
            line[x] = ((x / 37 + y / 53) % 5 == 0) ? 0 : 255;
    }));
}

// A client on the network that sends a PWG raster in a Print-Job through
// libcups, as CUPS's own clients do: the first half of the document at once,
// then nothing, or a byte every 50 ms, until the test lets it finish. Its
// conversation runs on a thread of its own in the client's network.
class SlowClient {
  public:
    SlowClient(const NetworkPair& net, const AppServer& app, const std::string& name,
               const std::string& document, bool crawl)
        : thread_([this, &net, &app, name, document, crawl] {
              run_in_netns(net.client, [&] { talk(app, name, document, crawl); });
          }) {}
    ~SlowClient() {
        done_ = true;
        thread_.join();
    }

  private:
    void talk(const AppServer& app, const std::string& name, const std::string& document,
              bool crawl) {
        http_t* http = connect_client(app);
        if (!http)
            return;
        ipp_t* request = print_job(app, "office", name, "image/pwg-raster");
        bool sending = cupsSendRequest(http, request, "/ipp/print/office", CUPS_LENGTH_VARIABLE) ==
                       HTTP_STATUS_CONTINUE;
        ippDelete(request);
        // Each piece leaves at once, however small.
        auto send = [&](const char* data, size_t size) {
            sending = sending && cupsWriteRequestData(http, data, size) == HTTP_STATUS_CONTINUE &&
                      httpFlushWrite(http) >= 0;
        };
        send(document.data(), document.size() / 2);
        for (size_t i = document.size() / 2; !done_; i++) {
            if (crawl && i < document.size())
                send(document.data() + i, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (sending)
            ippDelete(cupsGetResponse(http, "/ipp/print/office"));
        httpClose(http);
    }

    std::atomic<bool> done_{false};
    std::thread thread_;
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
    inet_pton(AF_INET, kServerAddress, &a.sin_addr);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(AppLimits, JobsWaitingOnAPrinterAndInAll) {
    NETWORK_PAIR(net);
    AppServer app("tnml20", as_service(net, {"max-printer-jobs=3", "max-jobs=5"}));
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
        Answer a = send_held(net, app, s.printer, "held" + std::to_string(n));
        EXPECT_EQ(a.status, s.status) << a.out;
        EXPECT_NE(a.message.find(s.why), std::string::npos) << a.message;
    }
    // A job that ends makes room for the next.
    RunResult cancel = app.ipptool("cancel-job.test", {{"jobid", "1"}});
    EXPECT_EQ(cancel.status, 0) << cancel.out;
    EXPECT_EQ(send_held(net, app, "office", "after").status, "successful-ok");
    // (PAPPL waits for held jobs when it shuts down.)
    for (const char* printer : {"office", "lab"})
        app.command({"cancel", "-d", printer, "-a"});
}

// Clients that ask for a job at the same moment, each on a connection of
// its own, get no more jobs than the limit.
// An IPP request over a plain socket, held back by its last byte.
class HeldRequest {
  public:
    HeldRequest(int port, ipp_t* request, const std::string& resource) : fd_(connect_to(port)) {
        const std::string body = ipp_bytes(request);
        rest_ = "POST " + resource + " HTTP/1.1\r\nHost: " + kServerAddress + ":" +
                std::to_string(port) + "\r\nContent-Type: application/ipp\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body;
        send_all(rest_.substr(0, rest_.size() - 1));
    }
    ~HeldRequest() {
        if (fd_ >= 0)
            close(fd_);
    }
    void release() { send_all(rest_.substr(rest_.size() - 1)); }
    // The answer's status and message.
    std::string answer() {
        std::string got;
        char buffer[4096];
        ssize_t n;
        size_t head;
        while ((head = got.find("\r\n\r\n")) == std::string::npos &&
               (n = read(fd_, buffer, sizeof(buffer))) > 0)
            got.append(buffer, static_cast<size_t>(n));
        if (head == std::string::npos)
            return "no answer";
        size_t at = got.find("Content-Length: ");
        size_t length = at == std::string::npos ? 0 : std::stoul(got.substr(at + 16));
        while (got.size() < head + 4 + length && (n = read(fd_, buffer, sizeof(buffer))) > 0)
            got.append(buffer, static_cast<size_t>(n));
        std::string body = got.substr(head + 4);
        ipp_t* response = ippNew();
        size_t used = 0;
        std::pair<std::string*, size_t*> from(&body, &used);
        ippReadIO(
            &from,
            [](void* src, ipp_uchar_t* data, size_t size) -> ssize_t {
                auto* f = static_cast<std::pair<std::string*, size_t*>*>(src);
                size = std::min(size, f->first->size() - *f->second);
                memcpy(data, f->first->data() + *f->second, size);
                *f->second += size;
                return static_cast<ssize_t>(size);
            },
            1, nullptr, response);
        std::string status = ippErrorString(ippGetStatusCode(response));
        if (ipp_attribute_t* m = ippFindAttribute(response, "status-message", IPP_TAG_TEXT))
            status += std::string(" ") + ippGetString(m, 0, nullptr);
        ippDelete(response);
        return status;
    }

  private:
    void send_all(const std::string& data) {
        for (size_t at = 0; fd_ >= 0 && at < data.size();) {
            ssize_t n = write(fd_, data.data() + at, data.size() - at);
            if (n <= 0)
                return;
            at += static_cast<size_t>(n);
        }
    }
    int fd_;
    std::string rest_;
};

// Clients that ask for a job at the same moment, each on a connection of
// its own, get no more jobs than the limit.
TEST(AppLimits, JobsAskedForAtOnceStayWithinTheLimits) {
    NETWORK_PAIR(net);
    AppServer app("tnml20", as_service(net, {"max-printer-jobs=3"}));
    ASSERT_TRUE(app.running()) << app.log();
    // (A race: each round gives it another chance to show.)
    const int clients = 40, rounds = 3;
    for (int round = 1; round <= rounds; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<std::unique_ptr<HeldRequest>> requests;
        ASSERT_TRUE(run_in_netns(net.client, [&] {
            for (int c = 0; c < clients; c++) {
                ipp_t* request = ippNewRequest(IPP_OP_CREATE_JOB);
                ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                             remote_uri(app).c_str());
                ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name",
                             nullptr, "alice");
                requests.push_back(
                    std::make_unique<HeldRequest>(app.port(), request, "/ipp/print/office"));
                ippDelete(request);
            }
        }));
        // Every request waits for its last byte in a thread of the server.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        for (auto& r : requests)
            r->release();
        int made = 0;
        std::string all;
        for (auto& r : requests) {
            const std::string status = r->answer();
            all += status + "\n";
            made += status == "successful-ok";
            if (status != "successful-ok") {
                EXPECT_EQ(status.rfind("server-error-too-many-jobs", 0), 0u) << status;
                EXPECT_NE(status.find("max-printer-jobs"), std::string::npos) << status;
            }
        }
        EXPECT_EQ(made, 3) << all;
        // (PAPPL waits for jobs without their document when it shuts down.)
        RunResult cancel = app.command({"cancel", "-d", "office", "-a"});
        ASSERT_EQ(cancel.status, 0) << cancel.out;
    }
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
        NETWORK_PAIR(net);
        AppServer app("tnml20", as_service(net, c.serverOptions));
        ASSERT_TRUE(app.running()) << app.log();
        Answer a = send_held(net, app, "office", "big", big, c.clientOptions);
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

// How a client's document ends.
enum class Ending {
    Whole,   // all of it, in chunks
    Closed,  // half of it, and the connection closed
    Reset,   // half of it, and the connection reset
    Boast,   // a length up front larger than any disk, and a little of it
};

// Sends `document` in a Print-Job from the client's network, with its
// length up front unless it goes whole; the IPP status of the answer and its
// message, or "" when there is none (the client went away).
std::string send_document(const NetworkPair& net, const AppServer& app, const std::string& document,
                          Ending ending, const std::string& name, std::string* message = nullptr) {
    std::string status;
    run_in_netns(net.client, [&] {
        http_t* http = connect_client(app);
        if (!http)
            return;
        ipp_t* request = print_job(app, "office", name, "application/pdf");
        const size_t length = ending == Ending::Boast   ? size_t(INT64_MAX)
                              : ending == Ending::Whole ? CUPS_LENGTH_VARIABLE
                                                        : ippLength(request) + document.size();
        const size_t send = ending == Ending::Whole || ending == Ending::Boast
                                ? document.size()
                                : document.size() / 2;
        bool sending =
            cupsSendRequest(http, request, "/ipp/print/office", length) == HTTP_STATUS_CONTINUE;
        ippDelete(request);
        for (size_t at = 0; sending && at < send; at += 65536)
            sending =
                cupsWriteRequestData(http, document.data() + at,
                                     std::min<size_t>(65536, send - at)) == HTTP_STATUS_CONTINUE;
        if (ending == Ending::Whole || ending == Ending::Boast) {
            ippDelete(cupsGetResponse(http, "/ipp/print/office"));
            status = ippErrorString(cupsLastError());
            if (message)
                *message = cupsLastErrorString();
        } else {
            httpFlushWrite(http);
            if (ending == Ending::Reset) {
                linger reset = {1, 0};
                setsockopt(httpGetFd(http), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
            }
        }
        httpClose(http);
    });
    return status;
}

// Many clients at once whose documents are refused for their size or break
// off half way: each job ends aborted, nothing of them prints or stays in
// the spool, and the server goes on answering while it saves its state
// after each new job.
TEST(AppLimits, DocumentsRefusedOrBrokenOffByManyClientsAtOnce) {
    NETWORK_PAIR(net);
    AppServer app("tnml20", as_service(net, {"max-document-size=1m"}));
    ASSERT_TRUE(app.running()) << app.log();
    const std::string pdf = read_file(kSample);
    const std::string big = pdf + std::string(3 << 19, '\n');
    const std::string fits = pdf + std::string(600 << 10, '\n');
    const int clients = 6, rounds = 6;
    std::vector<std::thread> threads;
    std::atomic<int> refused{0};
    for (int c = 0; c < clients; c++)
        threads.emplace_back([&, c] {
            for (int r = 0; r < rounds; r++) {
                const Ending ending = static_cast<Ending>((c + r) % 3);
                std::string status =
                    send_document(net, app, ending == Ending::Whole ? big : fits, ending, "cut");
                if (ending == Ending::Whole) {
                    EXPECT_EQ(status, "client-error-request-entity-too-large");
                    refused += status == "client-error-request-entity-too-large";
                }
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(refused, clients * rounds / 3) << app.log();
    // A length no disk holds is refused up front, in words.
    std::string message;
    EXPECT_EQ(send_document(net, app, fits, Ending::Boast, "cut", &message),
              "client-error-request-entity-too-large");
    EXPECT_NE(message.find("8796093022208 MB"), std::string::npos) << message;
    // Still answering, from the network.
    RunResult alive =
        run_program(in_netns(net.client, {"ipptool", "-q", "-T", "10", remote_uri(app),
                                          "/usr/share/cups/ipptool/get-printer-attributes.test"}));
    ASSERT_EQ(alive.status, 0) << "the server stopped answering\n" << alive.out;
    // Every job ended aborted.
    RunResult list = app.ipptool("get-jobs.test", {});
    ASSERT_EQ(list.status, 0) << list.out;
    int aborted = 0, jobs = 0;
    for (size_t at = 0; (at = list.out.find("job-state (enum) = ", at)) != std::string::npos;
         at++, jobs++)
        aborted += list.out.compare(at + 19, 8, "aborted\n") == 0;
    EXPECT_EQ(jobs, clients * rounds + 1) << list.out;
    EXPECT_EQ(aborted, jobs) << list.out;
    EXPECT_EQ(app.output("cut"), "") << "a document cut short printed";
    RunResult spool = run_program({"find", app.dir() + "/spool", "-type", "f", "-size", "+100k"});
    EXPECT_EQ(spool.out, "") << "left in the spool";
    EXPECT_EQ(print_plain(app, kSample, "application/pdf", "after").state, "completed");
}

// A document refused for its size whose client goes on sending, slowly:
// its job has ended by the time the refusal is known, so that releasing it
// meanwhile prints nothing, and it is listed once.
TEST(AppLimits, ARefusedDocumentsJobCannotBeReleasedWhileItsClientGoesOn) {
    NETWORK_PAIR(net);
    AppServer app("tnml20", as_service(net, {"max-document-size=1m"}));
    ASSERT_TRUE(app.running()) << app.log();
    const std::string big = read_file(kSample) + std::string(1200 << 10, '\n');
    std::string status;
    std::thread client([&] {
        run_in_netns(net.client, [&] {
            http_t* http = connect_client(app);
            if (!http)
                return;
            ipp_t* request = print_job(app, "office", "trickle", "application/pdf");
            bool sending = cupsSendRequest(http, request, "/ipp/print/office",
                                           CUPS_LENGTH_VARIABLE) == HTTP_STATUS_CONTINUE;
            ippDelete(request);
            for (size_t at = 0; sending && at < big.size(); at += 65536)
                sending = cupsWriteRequestData(http, big.data() + at,
                                               std::min<size_t>(65536, big.size() - at)) ==
                          HTTP_STATUS_CONTINUE;
            // Then 100 bytes every 200 ms, for 4 s.
            for (int i = 0; sending && i < 20; i++) {
                sending = cupsWriteRequestData(http, std::string(100, '\n').data(), 100) ==
                              HTTP_STATUS_CONTINUE &&
                          httpFlushWrite(http) >= 0;
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            ippDelete(cupsGetResponse(http, "/ipp/print/office"));
            status = ippErrorString(cupsLastError());
            httpClose(http);
        });
    });
    // While the client goes on, the job is released, as its owner may.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    RunResult release =
        app.ipptool("job-operation.test",
                    {{"operation", "Release-Job"}, {"jobid", "1"}, {"requester", "alice"}});
    client.join();
    EXPECT_EQ(status, "client-error-request-entity-too-large");
    EXPECT_NE(release.status, 0) << "the refused job was released\n" << release.out;
    JobOutcome job = wait_for_job(app, 1);
    EXPECT_EQ(job.state, "aborted") << job.ipptool.out;
    EXPECT_EQ(app.output("trickle").size(), 0u) << "the refused document printed";
    RunResult list = app.ipptool("get-jobs.test", {});
    size_t listed = 0;
    for (size_t at = 0; (at = list.out.find("job-id (integer) = 1\n", at)) != std::string::npos;
         at++)
        listed++;
    EXPECT_EQ(listed, 1u) << list.out;
}

TEST(AppLimits, ConnectionsAtOnceCostNoThreadBeyondTheLimit) {
    NETWORK_PAIR(net);
    AppServer app("tnml20", as_service(net, {"max-clients=4"}));
    ASSERT_TRUE(app.running()) << app.log();
    const int before = thread_count(app.pid());
    std::vector<int> idle;
    ASSERT_TRUE(run_in_netns(net.client, [&] {
        for (int i = 0; i < 40; i++)
            idle.push_back(connect_to(app.port()));
    }));
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
        NETWORK_PAIR(net);
        AppServer app("tnml20", as_service(net, c.serverOptions));
        ASSERT_TRUE(app.running()) << app.log();
        const auto start = Clock::now();
        {
            // The job ends while the client is still there, holding it open.
            SlowClient client(net, app, "slow", page, c.crawl);
            for (int i = 0;
                 i < 100 && app.ipptool("get-jobs.test", {}).out.find("job-id (integer) = 1") ==
                                std::string::npos;
                 i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            JobOutcome slow = wait_for_job(app, 1);
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
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

// A printer that takes nothing for a while (out of paper, say), then all.
class BusyPrinter {
  public:
    BusyPrinter(const std::string& netns, int seconds) {
        run_in_netns(netns, [&] {
            listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t size = sizeof(a);
            if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
                listen(listener_, 1) != 0 ||
                getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size) != 0)
                ADD_FAILURE() << "no printer: " << strerror(errno);
            port_ = ntohs(a.sin_port);
        });
        thread_ = std::thread([this, seconds] {
            int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0)
                return;
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            char buffer[65536];
            for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;)
                received_.append(buffer, static_cast<size_t>(n));
            close(fd);
        });
    }
    ~BusyPrinter() {
        shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        close(listener_);
    }
    int port() const { return port_; }
    // What it was sent, once the server has closed the connection.
    std::string received() {
        shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        return received_;
    }

  private:
    int listener_ = -1, port_ = 0;
    std::string received_;
    std::thread thread_;
};

// Connections that hold every thread the server may start without ever
// finishing a request or taking an answer: one that sends nothing, one that
// sends its headers a byte at a time, one that sends its IPP message a byte
// at a time, one that sends many requests and reads nothing, and one more
// that starts a TLS handshake and stops. Each is cut once its request
// has taken stream-timeout; the server, its control socket among others,
// serves again.
TEST(AppLimits, SlowRequestsAndSlowReadersAreCutAndTheServerServesAgain) {
    NETWORK_PAIR(net);
    AppServer app("tnml20", as_service(net, {"max-clients=4", "stream-timeout=3"}));
    ASSERT_TRUE(app.running()) << app.log();
    ipp_t* attributes = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(attributes, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 remote_uri(app).c_str());
    const std::string ipp = ipp_bytes(attributes);
    ippDelete(attributes);
    std::string many;
    for (int i = 0; i < 200; i++)
        many +=
            "POST /ipp/print/office HTTP/1.1\r\nHost: " + std::string(kServerAddress) +
            "\r\nContent-Type: application/ipp\r\nContent-Length: " + std::to_string(ipp.size()) +
            "\r\n\r\n" + ipp;
    const std::string head =
        "POST /ipp/print/office HTTP/1.1\r\nHost: " + std::string(kServerAddress) +
        "\r\nContent-Type: application/ipp\r\n";
    const struct {
        const char* what;
        std::string start;  // sent at once
        char drip;          // then this, every 200 ms (0: nothing)
    } slow[] = {
        {"nothing", "", 0},
        {"headers a byte at a time", head + "X-Slow: ", 'a'},
        {"an IPP message a byte at a time",
         head + "Content-Length: 100000\r\n\r\n" +
             // Get-Printer-Attributes, and a charset 32767 bytes long
             std::string("\x02\x00\x00\x0b\x00\x00\x00\x01\x01\x47\x00\x12", 12) +
             "attributes-charset\x7f\xff",
         'a'},
        {"many requests, and no answer read", many, 0},
        // (Waits for one of the others to go: PAPPL 1.3.1's own handshake
        // gives up after a while.)
        {"a TLS handshake that stops", std::string(1, '\x16'), 0},
    };
    std::atomic<bool> done{false};
    std::vector<std::thread> clients;
    std::vector<int> fds;
    ASSERT_TRUE(run_in_netns(net.client, [&] {
        for (size_t i = 0; i < std::size(slow); i++) {
            // (A small window: the answers fill it at once.)
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            int window = 1024;
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof(window));
            sockaddr_in a{};
            a.sin_family = AF_INET;
            inet_pton(AF_INET, kServerAddress, &a.sin_addr);
            a.sin_port = htons(static_cast<uint16_t>(app.port()));
            if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
                ADD_FAILURE() << "cannot connect: " << strerror(errno);
            fds.push_back(fd);
        }
    }));
    const auto start = Clock::now();
    for (size_t i = 0; i < fds.size(); i++)
        clients.emplace_back([&, i] {
            const int fd = fds[i];
            if (send(fd, slow[i].start.data(), slow[i].start.size(), MSG_NOSIGNAL) < 0)
                return;
            while (!done && slow[i].drip && send(fd, &slow[i].drip, 1, MSG_NOSIGNAL) == 1)
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
        });
    // The control socket and a client on the network are served again.
    auto control = std::async(std::launch::async, [&] { return app.command({"printers"}); });
    const bool answered = control.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    EXPECT_TRUE(answered) << "the control socket got no answer";
    RunResult network =
        run_program(in_netns(net.client, {"ipptool", "-q", "-T", "20", remote_uri(app),
                                          "/usr/share/cups/ipptool/get-printer-attributes.test"}));
    EXPECT_EQ(network.status, 0) << network.out;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_LT(seconds, 15) << "the server was held for " << seconds << " s";
    // Each slow connection was closed by the server.
    for (size_t i = 0; i < fds.size(); i++) {
        char buffer[4096];
        ssize_t n = 1;
        for (pollfd p = {fds[i], POLLIN, 0}; n > 0 && poll(&p, 1, 8000) == 1;)
            n = read(fds[i], buffer, sizeof(buffer));
        EXPECT_LE(n, 0) << slow[i].what << ": still open";
    }
    done = true;
    for (int fd : fds)
        shutdown(fd, SHUT_RDWR);
    for (std::thread& t : clients)
        t.join();
    for (int fd : fds)
        close(fd);
    if (answered) {
        EXPECT_EQ(control.get().status, 0);
    }
}

// What the server takes its own time over is not the client's: a
// Get-Notifications that waits for an event longer than the limit gets its
// answer, and a connection kept open between requests longer than the limit
// is not cut.
TEST(AppLimits, TheServersOwnWaitIsNotTheClients) {
    NETWORK_PAIR(net);
    AppServer app("tnml20", as_service(net, {"stream-timeout=3"}));
    ASSERT_TRUE(app.running()) << app.log();
    RunResult subscribed = run_program(in_netns(
        net.client, {"ipptool", "-tv", "-T", "30", "-d", "requester=alice", remote_uri(app),
                     std::string(TARNWEL_SOURCE_DIR) + "/tests/app/subscribe.test"}));
    const std::string subid = ipp_value(subscribed.out, "notify-subscription-id");
    ASSERT_NE(subid, "") << subscribed.out;
    // (Asked with libcups: ipptool would call the answer bad when it holds
    // the event, whose notify-subscription-uuid PAPPL 1.3.1 leaves empty.)
    std::string waited = "no answer";
    const auto start = Clock::now();
    double waitedFor = 0;
    std::thread waiting([&] {
        run_in_netns(net.client, [&] {
            http_t* http = connect_client(app);
            if (!http)
                return;
            ipp_t* request = ippNewRequest(IPP_OP_GET_NOTIFICATIONS);
            ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                         remote_uri(app).c_str());
            ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                         "alice");
            ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-subscription-ids",
                          atoi(subid.c_str()));
            ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "notify-sequence-numbers",
                          1);
            ippAddBoolean(request, IPP_TAG_OPERATION, "notify-wait", 1);
            ipp_t* response = cupsDoRequest(http, request, "/ipp/print/office");
            waited = response ? ippErrorString(ippGetStatusCode(response))
                              : std::string("no answer: ") + cupsLastErrorString();
            ippDelete(response);
            httpClose(http);
        });
        waitedFor = std::chrono::duration<double>(Clock::now() - start).count();
    });
    // Meanwhile a connection that sends a request, waits, and sends another.
    std::string second;
    run_in_netns(net.client, [&] {
        http_t* http = connect_client(app);
        if (!http)
            return;
        for (int i = 0; i < 2; i++) {
            if (i)
                std::this_thread::sleep_for(std::chrono::seconds(6));
            ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
            ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                         remote_uri(app).c_str());
            ippDelete(cupsDoRequest(http, request, "/ipp/print/office"));
            second = ippErrorString(cupsLastError());
        }
        httpClose(http);
    });
    EXPECT_EQ(second, "successful-ok");
    // The event comes 6 s after the wait began.
    EXPECT_EQ(print_plain(app, kSample, "application/pdf", "event").state, "completed");
    waiting.join();
    // (PAPPL 1.3.1 answers the wait when the job's event comes, without the
    // event; the next Get-Notifications gets it.)
    EXPECT_GE(waitedFor, 5) << "the wait ended early";
    EXPECT_EQ(waited, "successful-ok") << "after " << waitedFor << " s";
    EXPECT_EQ(app.log().find("(stream-timeout)"), std::string::npos) << app.log();
}

// A client streaming raster to a printer that is busy for longer than the
// time limits: the time the server waits for the printer is not the
// client's, and the job prints.
TEST(AppLimits, AStreamedRasterWaitingForABusyPrinterIsNotTheClientsDelay) {
    NETWORK_PAIR(net);
    AppServer app("tnml20", as_service(net, {"stream-timeout=2", "max-page-time=3"}));
    ASSERT_TRUE(app.running()) << app.log();
    BusyPrinter printer(net.server, 8);
    RunResult add = app.command({"add", "-d", "busy", "-m", "tnml20", "-v",
                                 "socket://127.0.0.1:" + std::to_string(printer.port())});
    ASSERT_EQ(add.status, 0) << add.out;
    // Two pages of grey noise, as dense a stream as a page makes: more than
    // the connections and pipes on the way hold. The second comes while the
    // printer is still busy with the first.
    unsigned seed = 1;
    const std::string page = read_file(letter_pwg(
        [&](int, unsigned, std::vector<unsigned char>& line) {
            for (unsigned char& px : line) {
                seed = seed * 1103515245 + 12345;
                px = (seed >> 16) & 1 ? 0 : 255;
            }
        },
        2));
    std::string status;
    run_in_netns(net.client, [&] {
        http_t* http = connect_client(app);
        if (!http)
            return;
        ipp_t* request = print_job(app, "busy", "busy", "image/pwg-raster");
        bool sending = cupsSendRequest(http, request, "/ipp/print/busy", CUPS_LENGTH_VARIABLE) ==
                       HTTP_STATUS_CONTINUE;
        ippDelete(request);
        for (size_t at = 0; sending && at < page.size(); at += 65536)
            sending = cupsWriteRequestData(http, page.data() + at,
                                           std::min<size_t>(65536, page.size() - at)) ==
                      HTTP_STATUS_CONTINUE;
        ippDelete(cupsGetResponse(http, "/ipp/print/busy"));
        status = ippErrorString(cupsLastError());
        httpClose(http);
    });
    EXPECT_EQ(status, "successful-ok");
    JobOutcome job = outcome(app.ipptool("wait-job.test", {{"jobid", "1"}}, "", "", "busy"));
    EXPECT_EQ(job.state, "completed") << job.message;
    decode_or_fail(printer.received());
}

TEST(AppLog, OnStandardErrorItGrowsPastPapplsRotationAndTheServerAnswers) {
    // As the service logs: to standard error, named either way, with PAPPL's
    // own rotation size (the tests' servers keep their log whole
    // otherwise); in detail, so that it grows fast.
    for (const char* logFile : {"-", "/dev/stderr"}) {
        SCOPED_TRACE(std::string("log-file=") + logFile);
        NETWORK_PAIR(net);
        AppServer app("tnml20", as_service(net, {std::string("log-file=") + logFile,
                                                 "log-max-size=1048576", "log-level=debug"}));
        ASSERT_TRUE(app.running()) << app.log();
        // Each answer to Get-Printer-Attributes is logged attribute by
        // attribute at the debug level: a few hundred make 2 MB.
        const std::string request = "/usr/share/cups/ipptool/get-printer-attributes.test";
        for (int round = 0; round < 20 && app.log().size() < (2u << 20); round++) {
            std::vector<std::string> argv =
                in_netns(net.client, {"ipptool", "-q", "-T", "10", remote_uri(app)});
            argv.insert(argv.end(), 50, request);
            RunResult r = run_program(argv);
            ASSERT_EQ(r.status, 0)
                << "round " << round << ", log " << app.log().size() << " bytes\n"
                << r.out;
        }
        EXPECT_GE(app.log().size(), 2u << 20);
        // Still answering, and printing.
        RunResult r = run_program(
            in_netns(net.client, {"ipptool", "-q", "-T", "10", remote_uri(app), request}));
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(print_plain(app, kSample, "application/pdf", "after").state, "completed");
        // And still logging where it was told to.
        const size_t logged = app.log().size();
        print_plain(app, kSample, "application/pdf", "later");
        EXPECT_GT(app.log().size(), logged);
    }
}

// The server killed with jobs on the books: 150 finished, and 30 held whose
// documents are gone (the crash took them with it, or they never came).
TEST(AppJobHistory, JobsLeftByACrashAreTrimmedLikeAnyFinishedJob) {
    AppServer app;
    ASSERT_TRUE(app.running()) << app.log();
    const std::string state = app.dir() + "/home/tarnwel-printer-app.state";
    // (The server saves its state a moment after a change.)
    for (int i = 0; i < 100 && read_file(state).find("</Printer>") == std::string::npos; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_NE(read_file(state).find("</Printer>"), std::string::npos) << read_file(state);
    std::string jobs;
    const long long then = time(nullptr) - 86400;
    for (int id = 1; id <= 180; id++) {
        const std::string t = std::to_string(then + id);
        if (id <= 150)
            jobs += "Job completed=\"" + t + "\" created=\"" + t +
                    "\" format=\"application/pdf\" id=\"" + std::to_string(id) + "\" name=\"old-" +
                    std::to_string(id) + "\" state=\"9\" username=\"alice\"\n";
        else
            jobs += "Job created=\"" + t + "\" filename=\"" + app.dir() + "/spool/p00001j" +
                    std::to_string(1000000000 + id).substr(1) + "-lost.pdf\" format=\"" +
                    "application/pdf\" id=\"" + std::to_string(id) + "\" name=\"lost-" +
                    std::to_string(id) + "\" state=\"4\" username=\"alice\"\n";
    }
    ASSERT_NE(read_file(state).find("NextJobId "), std::string::npos) << read_file(state);
    ASSERT_TRUE(app.kill_and_restart([&] {
        std::string text = read_file(state);
        text.insert(text.find("</Printer>"), jobs);
        size_t next = text.find("NextJobId ");
        ASSERT_NE(next, std::string::npos) << text;
        text.replace(next, text.find('\n', next) - next, "NextJobId 181");
        write_file(state, text);
    })) << app.log();

    RunResult list = app.ipptool("get-jobs.test", {});
    ASSERT_EQ(list.status, 0) << list.out;
    int listed = 0, waiting = 0;
    for (size_t at = 0; (at = list.out.find("job-state (enum) = ", at)) != std::string::npos;
         at++) {
        listed++;
        const std::string value = list.out.substr(at + 19, list.out.find('\n', at) - at - 19);
        waiting += value == "pending" || value == "pending-held" || value == "processing";
    }
    // As many as PAPPL keeps of a running printer, the newest: the lost ones
    // among them, ended with a reason.
    EXPECT_EQ(listed, 100) << list.out;
    EXPECT_EQ(waiting, 0) << list.out;
    JobOutcome lost = outcome(app.ipptool("wait-job.test", {{"jobid", "180"}}));
    EXPECT_EQ(lost.state, "aborted") << lost.ipptool.out;
    EXPECT_NE(lost.message.find("print it again"), std::string::npos) << lost.message;
    // And the printer prints.
    EXPECT_EQ(print_plain(app, kSample, "application/pdf", "after").state, "completed");
}

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// The printer application as the clients people use meet it: CUPS 2.4 and
// cups-filters on another machine of the network. The server runs as the
// packaged service runs it, in a network namespace of its own; the client
// machine is a second namespace, joined by a veth pair, with a private
// cupsd (own folders, a free port on its 127.0.0.1). Queues are made as an
// administrator makes them, with `lpadmin -m everywhere` and `-m
// driverless:`, and by cups-browsed from what DNS-SD announces; documents
// are printed with lp, and what reaches the printer is decoded and its
// settings checked.
//
// Making namespaces takes root and `ip`; without them the tests are
// skipped, and with TARNWEL_REQUIRE_WEB_TESTS=1 they fail instead.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <thread>

#include "app_server.h"
#include "network_pair.h"
#include "private_cupsd.h"
#include "stream_check.h"
#include "test_util.h"

namespace {

constexpr char kServerHost[] = "tarnwel-print-server";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The documents a person prints, in a folder the scheduler's user reads.
struct Documents {
    std::string pdf, text, jpeg;
};

const Documents& documents() {
    static const Documents docs = [] {
        Documents d;
        std::string dir = temp_dir();
        chmod(dir.c_str(), 0755);
        const std::string sample = std::string(TARNWEL_SOURCE_DIR) + "/samples/sample.pdf";
        d.pdf = dir + "/letter.pdf";
        run_shell("cp '" + sample + "' '" + d.pdf + "'");
        d.text = dir + "/notes.txt";
        std::string text;
        for (int i = 1; i <= 80; i++)
            text += "Line " + std::to_string(i) + " of the notes for the meeting.\n";
        write_file(d.text, text);
        d.jpeg = dir + "/photo.jpg";
        run_shell(
            "gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=jpeggray -r100 -dFirstPage=1 "
            "-dLastPage=1 -sOutputFile='" +
            d.jpeg + "' '" + sample + "'");
        for (const std::string* f : {&d.pdf, &d.text, &d.jpeg})
            chmod(f->c_str(), 0644);
        return d;
    }();
    return docs;
}

// One job as a person sends it with lp, and what the printer must get.
struct ClientJob {
    const char* name;
    const std::string Documents::*document;
    const char* options;  // lp's
    unsigned paperWidth;  // dots at 600 dpi (A4 4958, Letter 5100)
    int density;          // 0 darkest .. 4 lightest; the printer's default is 2
    int paperWeight;      // 0 card stock, 2 thick, 3 plain
    tarnwel::Duplex duplex;
    unsigned copies;
};

// The settings a print dialog offers for a driverless queue: size, two
// sides, paper type, quality (the density: draft lighter, high darker) and
// copies, each with a value that is not the printer's default. The paper
// type is the queue's PPD option, as the dialogs set it: CUPS 2.4 sends the
// printer the media-type of the PPD's MediaType, and drops an IPP
// `media-type` given to lp.
const ClientJob kJobs[] = {
    {"report", &Documents::pdf,
     "-o media=iso_a4_210x297mm -o sides=two-sided-long-edge -o MediaType=Cardstock "
     "-o print-quality=3 -n 2",
     4958, 3, 0, tarnwel::Duplex::LongEdge, 2},
    {"notes", &Documents::text,
     "-o media=na_letter_8.5x11in -o print-quality=5 -o MediaType=StationeryHeavyweight", 5100, 1,
     2, tarnwel::Duplex::None, 1},
    {"photo", &Documents::jpeg,
     "-o media=iso_a4_210x297mm -o sides=two-sided-short-edge -o print-quality=4", 4958, 2, 3,
     tarnwel::Duplex::ShortEdge, 1},
};

class AppCupsClients : public ::testing::Test {
  protected:
    void SetUp() override {
        net_ = std::make_unique<NetworkPair>();
        if (!net_->ready())
            SKIP_UNLESS_REQUIRED(net_->why());
    }
    void TearDown() override {
        browsed_stop();
        cupsd_.reset();
        app_.reset();
        serverSide_.reset();
        clientSide_.reset();
        net_.reset();
    }

    // The print server, as packaged, and the client machine's scheduler;
    // with DNS-SD on both machines when asked.
    void start(bool discovery) {
        AppServerOptions options;
        options.netns = net_->server;
        options.asService = true;
        PrivateCupsdOptions client;
        client.netns = net_->client;
        if (discovery) {
            serverSide_ = std::make_unique<Discovery>(net_->server, kServerHost);
            clientSide_ = std::make_unique<Discovery>(net_->client, "tarnwel-laptop");
            ASSERT_TRUE(serverSide_->running()) << serverSide_->log();
            ASSERT_TRUE(clientSide_->running()) << clientSide_->log();
            options.environment.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + serverSide_->address());
            client.environment.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + clientSide_->address());
            // The laptop resolves the server's .local name by multicast DNS
            // (nss-mdns); here its /etc/hosts says the same.
            client.hosts = std::string(kServerAddress) + " " + kServerHost + ".local\n";
        }
        app_ = std::make_unique<AppServer>("tnml20", options);
        ASSERT_TRUE(app_->running()) << app_->log();
        cupsd_ = std::make_unique<PrivateCupsd>(client);
        ASSERT_TRUE(cupsd_->running()) << cupsd_->log("error_log") << cupsd_->log("startup");
    }

    std::string office_uri() const {
        return "ipp://" + std::string(kServerAddress) + ":" + std::to_string(app_->port()) +
               "/ipp/print/office";
    }

    // Prints a job on a queue of the client's scheduler and waits for the
    // client to be done with it: its job ID and how it ended ("completed",
    // "aborted", ...), or an empty ID (and a failure) if lp failed.
    std::string submit(const std::string& queue, const ClientJob& job, std::string& end) {
        const std::string title = queue + "-" + job.name;
        RunResult lp = cupsd_->client("lp -d " + queue + " -t " + title + " " + job.options + " '" +
                                      documents().*job.document + "' 2>&1");
        EXPECT_EQ(lp.status, 0) << lp.out;
        size_t at = lp.out.find(queue + "-");
        if (at == std::string::npos) {
            ADD_FAILURE() << lp.out;
            return "";
        }
        const std::string id = std::to_string(atoi(lp.out.c_str() + at + queue.size() + 1));
        end = cupsd_->wait_for_job(id, 120);
        return id;
    }

    // The logs of both machines, for a failure.
    std::string logs() const {
        const std::string log = cupsd_->log("error_log");
        return log.substr(log.size() > 8000 ? log.size() - 8000 : 0) + "\n--- cups-browsed ---\n" +
               read_file(cupsd_->dir() + "/log/cups-browsed") + "\n--- server ---\n" + app_->log();
    }

    // What the printer received for a job the client completed: the whole
    // stream (CUPS counts the job done when the server has it; the server
    // may still be printing: the stream is whole once it decodes).
    std::string received(const std::string& title) const {
        std::string out;
        for (int i = 0; i < 600; i++) {
            out = app_->output(title);
            tarnwel::StreamJob whole;
            tarnwel::StreamError error;
            if (!out.empty() && tarnwel::decode_stream(reinterpret_cast<const uint8_t*>(out.data()),
                                                       out.size(), whole, error, false))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_FALSE(out.empty()) << title << ": nothing reached the printer\n" << app_->log();
        return out;
    }

    // The copies the client's ipp backend asked the server for in job `id`
    // (its debug log shows each request), or 0 if it sent none.
    int copies_sent(const std::string& id) const {
        const std::string log = cupsd_->log("error_log");
        const std::string line = "[Job " + id + "] copies integer ";
        size_t at = log.find(line);
        return at == std::string::npos ? 0 : atoi(log.c_str() + at + line.size());
    }

    // A job of the table, printed and completed: what the printer got is
    // what the person chose. `filtersQueue`: a queue of cups-filters 1.28's
    // (see below for the copies).
    void expect_printed_as_chosen(const std::string& queue, const ClientJob& job,
                                  const std::string& id, bool filtersQueue) {
        const std::string stream = received(queue + "-" + job.name);
        if (stream.empty())
            return;
        tarnwel::StreamJob got = decode_or_fail(stream);
        EXPECT_EQ(got.paper_width, job.paperWidth);
        EXPECT_EQ(got.density, job.density);
        EXPECT_EQ(got.paper_weight, job.paperWeight);
        EXPECT_EQ(got.duplex, job.duplex);
        EXPECT_FALSE(got.pages.empty());
        const int sent = copies_sent(id);
        if (filtersQueue && job.copies > 1 && sent == 0) {
            // cups-filters 1.28's queues (driverless:, cups-browsed's) send
            // this printer raster (URF) and leave the copies to it, but
            // their ipp backend never asks for them, though the server
            // offers copies (1-999, as the client was told): it received
            // one copy, and printed one.
            EXPECT_TRUE(contains(cupsd_->log("error_log"),
                                 "[Job " + id + "] copies-supported rangeOfInteger 1-999"));
            EXPECT_EQ(got.copies, 1u);
        } else {
            if (job.copies > 1) {
                EXPECT_EQ(sent, static_cast<int>(job.copies));
            }
            EXPECT_EQ(got.copies, job.copies);
        }
    }

    // `browsedQueue`: cups-browsed's, which prints through implicitclass.
    void expect_jobs_print_as_chosen(const std::string& queue, bool filtersQueue = false,
                                     bool browsedQueue = false) {
        for (const ClientJob& job : kJobs) {
            SCOPED_TRACE(queue + "-" + job.name);
            std::string end;
            const std::string id = submit(queue, job, end);
            if (id.empty())
                continue;
            if (end == "completed") {
                expect_printed_as_chosen(queue, job, id, filtersQueue);
            } else if (browsedQueue && job.document == &Documents::jpeg &&
                       contains(cupsd_->log("error_log"), "[Job " + id + "] Started backend ") &&
                       contains(cupsd_->log("error_log"), "/backend/implicitclass (PID")) {
                // cups-filters 1.28's implicitclass backend, which prints
                // for cups-browsed's queues, sends a JPEG as it is but
                // labelled application/pdf: the server, told it is a PDF,
                // says it is not one and prints nothing.
                EXPECT_TRUE(
                    contains(cupsd_->log("error_log"),
                             "[Job " + id + "] document-format mimeMediaType application/pdf"))
                    << logs();
                EXPECT_TRUE(contains(app_->log(), "The document is not a PDF file")) << logs();
                EXPECT_TRUE(app_->output(queue + "-" + job.name).empty());
            } else {
                ADD_FAILURE() << "the client's job " << id << " ended \"" << end << "\"\n"
                              << logs();
            }
        }
    }

    void browsed_start() {
        write_file(cupsd_->dir() + "/cups-browsed.conf",
                   "BrowseRemoteProtocols dnssd\nBrowseLocalProtocols none\n"
                   "CreateIPPPrinterQueues All\nBrowseInterval 1\nBrowseTimeout 30\nCacheDir " +
                       cupsd_->dir() + "/cache\nLogDir " + cupsd_->dir() + "/log\n");
        // In the scheduler's /etc/hosts (see start()).
        browsed_ = start_program(
            in_netns(net_->client,
                     {"env", "CUPS_SERVER=" + cupsd_->host(), "TMPDIR=" + cupsd_->dir() + "/tmp",
                      "DBUS_SYSTEM_BUS_ADDRESS=" + clientSide_->address(), "sh", "-c",
                      "mount --bind " + cupsd_->dir() +
                          "/hosts /etc/hosts && exec cups-browsed "
                          "-c " +
                          cupsd_->dir() + "/cups-browsed.conf -v"}),
            cupsd_->dir() + "/log/cups-browsed");
    }
    void browsed_stop() { stop_program(browsed_); }

    std::unique_ptr<NetworkPair> net_;
    std::unique_ptr<Discovery> serverSide_, clientSide_;
    std::unique_ptr<AppServer> app_;
    std::unique_ptr<PrivateCupsd> cupsd_;
    pid_t browsed_ = -1;
};

// An administrator makes a queue with CUPS's own IPP Everywhere support.
TEST_F(AppCupsClients, AnEverywhereQueuePrintsWhatThePersonChose) {
    ASSERT_NO_FATAL_FAILURE(start(false));
    RunResult add =
        cupsd_->client("lpadmin -p everywhere -E -v " + office_uri() + " -m everywhere 2>&1");
    ASSERT_EQ(add.status, 0) << add.out << cupsd_->log("error_log");
    expect_jobs_print_as_chosen("everywhere");
}

// The same with the PPD cups-filters makes for driverless printers.
TEST_F(AppCupsClients, ADriverlessQueuePrintsWhatThePersonChose) {
    ASSERT_NO_FATAL_FAILURE(start(false));
    RunResult add = cupsd_->client("lpadmin -p driverless -E -v " + office_uri() +
                                   " -m driverless:" + office_uri() + " 2>&1");
    ASSERT_EQ(add.status, 0) << add.out << cupsd_->log("error_log");
    expect_jobs_print_as_chosen("driverless", true);
}

// A laptop's print dialog shows the printer's own choices in its user's
// language (libcups reads them from the printer's printer-strings-uri).
TEST_F(AppCupsClients, ALaptopShowsThePrintersChoicesInItsLanguage) {
    ASSERT_NO_FATAL_FAILURE(start(false));
    RunResult r = run_program(in_netns(
        net_->client,
        {"env", "-i", "LANG=fr_FR.UTF-8", "HOME=" + cupsd_->dir() + "/tmp", TARNWEL_LOCALIZE_VALUES,
         office_uri(), "media-type", "cardstock", "print-darkness", ""}));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(contains(r.out, "media-type.cardstock = Très épais (carte, 120-163 g/m²)\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "print-darkness = Densité d'impression\n")) << r.out;
}

// A laptop with cups-browsed makes a queue for the printer by itself, from
// what DNS-SD announces, and prints through it.
TEST_F(AppCupsClients, CupsBrowsedMakesAQueueThatPrints) {
    ASSERT_NO_FATAL_FAILURE(start(true));
    browsed_start();
    std::string queues;
    for (int i = 0; i < 300 && !contains(queues, "office"); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        queues = cupsd_->client("lpstat -v 2>&1").out;
    }
    ASSERT_TRUE(contains(queues, "office"))
        << queues << read_file(cupsd_->dir() + "/log/cups-browsed");
    const std::string queue = queues.substr(queues.find("device for ") + 11,
                                            queues.find(':') - queues.find("device for ") - 11);
    expect_jobs_print_as_chosen(queue, true, true);
}

}  // namespace

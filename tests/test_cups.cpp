// SPDX-License-Identifier: Apache-2.0
// The driver inside the real CUPS: the PPDs, cupsfilter's filter chain and a
// private cupsd printing to a socket listener on 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "private_cupsd.h"
#include "stream_check.h"
#include "test_util.h"

extern char** environ;

namespace {

const std::string kPpdDir = std::string(TARNWEL_BINARY_DIR) + "/ppd/ppd";
const std::string kPpd = kPpdDir + "/tnml20.ppd";

using Output = RunResult;

// Runs a shell command: its standard output and exit status.
Output run(const std::string& cmd) {
    return run_shell(cmd);
}

// Three pages that tell each other apart, as a PDF.
std::string document_pdf() {
    static std::string pdf;
    if (!pdf.empty())
        return pdf;
    std::string dir = temp_dir();
    chmod(dir.c_str(), 0755);
    std::ostringstream ps;
    ps << "%!PS\n";
    for (int page = 1; page <= 3; page++) {
        ps << "/Helvetica findfont 40 scalefont setfont 72 680 moveto (Page " << page
           << " of the test document) show\n"
           << "/Times-Roman findfont 12 scalefont setfont\n";
        for (int line = 0; line < 20 * page; line++)
            ps << "72 " << 640 - line * 14 << " moveto (Line " << line
               << ": the quick brown fox jumps over the lazy dog) show\n";
        ps << page * 40 << " 60 " << 100 << " " << 50 * page << " rectfill showpage\n";
    }
    write_file(dir + "/doc.ps", ps.str());
    pdf = dir + "/doc.pdf";
    run("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile='" + pdf + "' '" + dir +
        "/doc.ps'");
    chmod(pdf.c_str(), 0644);
    return pdf;
}

std::vector<RasterPage> read_raster(const std::string& data) {
    std::vector<RasterPage> pages;
    std::string path = temp_dir() + "/r.ras";
    write_file(path, data);
    int fd = open(path.c_str(), O_RDONLY);
    cups_raster_t* r = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t h;
    while (r && cupsRasterReadHeader2(r, &h)) {
        RasterPage p{h, Bytes(static_cast<size_t>(h.cupsBytesPerLine) * h.cupsHeight)};
        if (!p.pixels.empty())
            cupsRasterReadPixels(r, p.pixels.data(), static_cast<unsigned>(p.pixels.size()));
        pages.push_back(std::move(p));
    }
    if (r)
        cupsRasterClose(r);
    close(fd);
    return pages;
}

std::string cupsfilter(const std::string& options, const std::string& type) {
    return run("cupsfilter -c '" + cups_server_bin() + "/cups-files.conf' -p '" + kPpd +
               "' -e -m " + type + " " + options + " '" + document_pdf() + "' 2>/dev/null")
        .out;
}

// The pages in a stream equal, pixel for pixel, the raster that CUPS made for
// the filter: the sheet order, the long-edge turn and the unsent foot undone.
void expect_same_pages(const std::string& stream, const std::vector<RasterPage>& raster) {
    tarnwel::StreamJob job = decode_or_fail(stream);
    ASSERT_FALSE(raster.empty());
    const cups_page_header2_t& h = raster[0].header;
    std::vector<tarnwel::PageImage> images = tarnwel::page_images(job, true, h.cupsHeight);
    ASSERT_EQ(images.size(), raster.size());
    for (size_t k = 0; k < raster.size(); k++) {
        SCOPED_TRACE("page " + std::to_string(k + 1));
        EXPECT_EQ(images[k].width_bytes, raster[k].header.cupsBytesPerLine);
        EXPECT_TRUE(SameBytes(raster[k].pixels, images[k].pixels));
    }
}

TEST(Ppd, CupstestppdPassesEveryModel) {
    // cupstestppd looks for the filter the PPD names under its root.
    std::string root = temp_dir();
    std::string serverbin = run("cups-config --serverbin").out;
    serverbin.erase(serverbin.find_last_not_of("\n ") + 1);
    run("mkdir -p '" + root + serverbin + "/filter' && cp '" TARNWEL_FILTER_PATH "' '" + root +
        serverbin + "/filter/'");
    for (const char* model : {"tnml20.ppd", "tnml24p.ppd"}) {
        Output o = run("cupstestppd -R '" + root + "' '" + kPpdDir + "/" + model + "' 2>&1");
        EXPECT_EQ(o.status, 0) << o.out;
        EXPECT_NE(o.out.find("PASS"), std::string::npos) << o.out;
    }
    // The options and the printer-made copies the filter relies on.
    std::string ppd = read_file(kPpd);
    for (const char* line :
         {"*cupsFilter: \"application/vnd.cups-raster 100 rastertotarnwel\"",
          "*cupsManualCopies: False", "*DefaultPrintDensity: Medium", "*PrintDensity MediumDark/",
          "*DefaultPaperWeight: Medium", "*PaperWeight VeryHeavy/", "*DefaultDuplex: None",
          "*Duplex DuplexTumble/", "*DefaultResolution: 600dpi", "*PageSize A4/",
          "*PageSize Legal/", "*PageSize Env10/", "*CustomPageSize True"})
        EXPECT_NE(ppd.find(line), std::string::npos) << line;
}

TEST(Cupsfilter, DocumentThroughTheCupsChain) {
    struct Case {
        const char* name;
        std::string options;
        int density, weight;
        unsigned copies;
        tarnwel::Duplex duplex;
    } cases[] = {
        {"one-sided", "-o PrintDensity=Light -o PaperWeight=VeryHeavy", 4, 0, 1,
         tarnwel::Duplex::None},
        {"long edge",
         "-o Duplex=DuplexNoTumble -o PrintDensity=Dark -o PaperWeight=MediumHeavy -o copies=3", 0,
         2, 3, tarnwel::Duplex::LongEdge},
        {"short edge", "-o Duplex=DuplexTumble -o PrintDensity=MediumLight -o copies=2", 3, 3, 2,
         tarnwel::Duplex::ShortEdge},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string stream = cupsfilter(c.options, "printer/foo");
        std::vector<RasterPage> raster =
            read_raster(cupsfilter(c.options, "application/vnd.cups-raster"));
        ASSERT_EQ(raster.size(), 3u);
        EXPECT_EQ(raster[0].header.HWResolution[0], 600u);
        EXPECT_EQ(raster[0].header.cupsBitsPerPixel, 1u);
        EXPECT_EQ(raster[0].header.cupsColorSpace, CUPS_CSPACE_K);
        tarnwel::StreamJob job = decode_or_fail(stream);
        EXPECT_EQ(job.density, c.density);
        EXPECT_EQ(job.paper_weight, c.weight);
        EXPECT_EQ(job.copies, c.copies);
        EXPECT_EQ(job.duplex, c.duplex);
        EXPECT_EQ(job.paper_width, 5100u);  // Letter at 600 dpi
        EXPECT_EQ(job.paper_height, 6600u);
        expect_same_pages(stream, raster);
    }
}

// The printer: takes one connection on 127.0.0.1 and keeps what it receives.
class SocketPrinter {
  public:
    SocketPrinter() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(fd_, 1);
        socklen_t len = sizeof(a);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0)
                return;
            char buf[65536];
            ssize_t n;
            while ((n = read(c, buf, sizeof(buf))) > 0)
                received_.append(buf, static_cast<size_t>(n));
            close(c);
        });
    }
    ~SocketPrinter() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        if (thread_.joinable())
            thread_.join();
    }
    int port() const { return port_; }
    std::string received() {
        if (thread_.joinable())
            thread_.join();
        return received_;
    }

  private:
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::string received_;
};

TEST(Cupsd, PrintsThroughARealScheduler) {
    if (geteuid() != 0)
        GTEST_SKIP() << "cupsd runs its filters as the lp user: run as root";
    SocketPrinter printer;
    PrivateCupsd cupsd;
    ASSERT_TRUE(cupsd.running()) << cupsd.log("error_log");
    // The scheduler is our own copy, out of reach of a cupsd AppArmor profile.
    char exe[4096] = {};
    ASSERT_GT(
        readlink(("/proc/" + std::to_string(cupsd.pid()) + "/exe").c_str(), exe, sizeof(exe) - 1),
        0);
    EXPECT_EQ(std::string(exe), cupsd.program());
    std::ifstream apparmor("/sys/module/apparmor/parameters/enabled");
    std::string enabled;
    if (apparmor >> enabled && enabled == "Y") {
        std::ifstream attr("/proc/" + std::to_string(cupsd.pid()) + "/attr/current");
        std::string confinement;
        std::getline(attr, confinement);
        EXPECT_EQ(confinement, "unconfined");
    }
    Output added = run("lpadmin -h " + cupsd.host() + " -p tarnwel -E -v socket://127.0.0.1:" +
                       std::to_string(printer.port()) + " -P '" + kPpd + "' 2>&1");
    ASSERT_EQ(added.status, 0) << added.out;

    const std::string options = "-o Duplex=DuplexNoTumble -o PrintDensity=MediumDark";
    Output submitted = run("lp -h " + cupsd.host() + " -d tarnwel -n 2 " + options + " '" +
                           document_pdf() + "' 2>&1");
    ASSERT_EQ(submitted.status, 0) << submitted.out;
    // "request id is tarnwel-N (1 file(s))"
    size_t at = submitted.out.find("tarnwel-");
    ASSERT_NE(at, std::string::npos) << submitted.out;
    std::string id = std::to_string(std::stoi(submitted.out.substr(at + 8)));

    std::string done = "[Job " + id + "] Job completed.";
    std::string log;
    for (int i = 0; i < 600; i++) {
        log = cupsd.log("error_log");
        if (log.find(done) != std::string::npos ||
            log.find("[Job " + id + "] Job stopped") != std::string::npos ||
            log.find("[Job " + id + "] Job aborted") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_NE(log.find(done), std::string::npos)
        << log.substr(log.size() > 6000 ? log.size() - 6000 : 0);
    for (int page = 1; page <= 3; page++)
        EXPECT_NE(log.find("[Job " + id + "] PAGE: " + std::to_string(page) + " 2"),
                  std::string::npos);
    // The page log counts 3 pages of 2 copies each.
    std::string pageLog = cupsd.log("page_log");
    EXPECT_NE(pageLog.find("tarnwel root " + id + " "), std::string::npos) << pageLog;
    EXPECT_NE(pageLog.find(" total 6 "), std::string::npos) << pageLog;

    std::string stream = printer.received();
    tarnwel::StreamJob job = decode_or_fail(stream);
    EXPECT_EQ(job.duplex, tarnwel::Duplex::LongEdge);
    EXPECT_EQ(job.density, 1);
    EXPECT_EQ(job.copies, 2u);
    expect_same_pages(
        stream, read_raster(cupsfilter(options + " -o copies=2", "application/vnd.cups-raster")));
}

}  // namespace

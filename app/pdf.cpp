// SPDX-License-Identifier: Apache-2.0
#include "pdf.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "job_bridge.h"
#include "server_settings.h"

extern char** environ;

namespace tarnwel {

namespace {

using Clock = std::chrono::steady_clock;

// How often a wait for Ghostscript looks whether the job was cancelled.
constexpr int kWatchMs = 200;
// How long Ghostscript has to end once asked to, before it is killed.
constexpr auto kStopGrace = std::chrono::seconds(2);

// Ghostscript writing CUPS raster to a pipe, its messages logged as they come.
// The job reads the raster through it: a read waits for Ghostscript only as
// long as the job is not cancelled and the page's time is not up.
class Renderer {
  public:
    enum class Stop { None, Canceled, PageTime };

    Renderer(pappl_job_t* job, int maxPageSeconds)
        : job_(job), maxPageTime_(std::chrono::seconds(maxPageSeconds)) {}
    ~Renderer() {
        if (pid_ > 0)
            kill(pid_, SIGKILL);
        wait();
    }

    bool start(const std::vector<std::string>& args, std::string& error) {
        ChildPipes pipes;
        int rc = spawn_with_pipes(args, environ, true, false, pid_, pipes);
        if (rc != 0) {
            error = "Unable to start Ghostscript (" + args[0] + "): " + strerror(rc);
            return false;
        }
        out_ = pipes.out;
        // A wide pipe lets Ghostscript render on while a page goes to the
        // filter (Linux; elsewhere, or past the user's limit, it stays as it is).
#ifdef F_SETPIPE_SZ
        fcntl(out_, F_SETPIPE_SZ, 1 << 20);
#endif
        err_ = pipes.err;
        logger_ = std::thread([this] { log_loop(); });
        return true;
    }

    // The raster Ghostscript writes; it ends early when stopped() says why.
    cups_raster_t* open_output() {
        return cupsRasterOpenIO(read_output, this, CUPS_RASTER_READ);
    }
    // A page has come whole: the next one's time starts.
    void page_done() {
        pagesDone_++;
        waited_ = Clock::duration::zero();
    }
    unsigned pages_done() const {
        return pagesDone_;
    }
    Stop stopped() const {
        return stop_;
    }

    // Ends Ghostscript whatever it is doing: asked first, killed if it does
    // not end within the grace.
    void stop() {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        const Clock::time_point deadline = Clock::now() + kStopGrace;
        while (!reaped() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (pid_ > 0) {
            papplLogJob(job_, PAPPL_LOGLEVEL_WARN,
                        "Ghostscript did not end when asked to; it was killed.");
            kill(pid_, SIGKILL);
        }
    }
    // Waits until Ghostscript has ended; its exit status, or 128 + the
    // signal that ended it.
    int wait() {
        if (out_ >= 0)
            close(out_);
        out_ = -1;
        if (logger_.joinable())
            logger_.join();
        if (err_ >= 0)
            close(err_);
        err_ = -1;
        if (pid_ > 0) {
            status_ = wait_for_child(pid_);
            pid_ = -1;
        }
        return status_;
    }
    std::string last_error() {
        std::lock_guard<std::mutex> guard(lock_);
        return lastError_;
    }

  private:
    static ssize_t read_output(void* ctx, unsigned char* data, size_t size) {
        return static_cast<Renderer*>(ctx)->read_output(data, size);
    }
    // Only the time spent waiting for Ghostscript counts against the page:
    // a printer slow to take the pages before it does not make it late.
    ssize_t read_output(unsigned char* data, size_t size) {
        for (;;) {
            if (papplJobIsCanceled(job_))
                stop_ = Stop::Canceled;
            else if (waited_ >= maxPageTime_)
                stop_ = Stop::PageTime;
            if (stop_ != Stop::None)
                return -1;
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(maxPageTime_ - waited_).count();
            pollfd p = {out_, POLLIN, 0};
            const Clock::time_point before = Clock::now();
            int ready = poll(&p, 1, static_cast<int>(std::min<long long>(kWatchMs, left)));
            waited_ += Clock::now() - before;
            if (ready < 0 && errno != EINTR)
                return -1;
            if (ready <= 0)
                continue;
            ssize_t n = read(out_, data, size);
            if (n >= 0 || errno != EINTR)
                return n;
        }
    }
    // Whether Ghostscript has ended (and is reaped).
    bool reaped() {
        int st = 0;
        if (pid_ <= 0)
            return true;
        if (waitpid(pid_, &st, WNOHANG) != pid_)
            return false;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        pid_ = -1;
        return true;
    }
    void log_loop() {
        char buf[4096];
        LogLines lines;
        ssize_t n;
        while ((n = read(err_, buf, sizeof(buf))) != 0) {
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            lines.add(buf, static_cast<size_t>(n), [this](const std::string& l) { log(l); });
        }
        lines.finish([this](const std::string& l) { log(l); });
    }
    void log(const std::string& raw) {
        if (raw.empty())
            return;
        // Ghostscript quotes the document's own bytes in its errors
        // ("/undefined in ..."), and its first error becomes the job's
        // message, text every client shows: only printable characters stay.
        std::string line = raw.substr(0, 256);
        for (char& c : line)
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
                c = '?';
        papplLogJob(job_, PAPPL_LOGLEVEL_DEBUG, "Ghostscript: %s", line.c_str());
        // Ghostscript's first error line says what is wrong with the document.
        if (line.find("rror") != std::string::npos) {
            std::lock_guard<std::mutex> guard(lock_);
            if (lastError_.empty())
                lastError_ = line;
        }
    }

    pappl_job_t* job_;
    const Clock::duration maxPageTime_;
    pid_t pid_ = -1;
    int status_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::thread logger_;
    std::mutex lock_;
    std::string lastError_;
    Stop stop_ = Stop::None;
    Clock::duration waited_ = Clock::duration::zero();  // for the page being rendered
    unsigned pagesDone_ = 0;
};

std::string ghostscript() {
    const char* env = getenv("TARNWEL_GS");
    return env && *env ? env : "gs";
}

void abort_document(pappl_job_t* job, const std::string& reason) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", reason.c_str());
    papplJobSetMessage(job, "%s", reason.c_str());
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
}

}  // namespace

bool print_pdf(pappl_job_t* job, pappl_device_t* device, void*) {
    // A job cancelled as it starts may have lost its document file already.
    const char* filename = papplJobGetFilename(job);
    if (!filename) {
        // PAPPL 1.3.1 can start a job a second time after it has printed
        // (two threads pick the same pending job); its document is gone by
        // then. The job printed: it stays completed, and nothing is sent.
        if (!papplJobIsCanceled(job) && papplJobGetImpressionsCompleted(job) > 0) {
            papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                        "The job was started again after it had printed; nothing more is sent.");
            return true;
        }
        if (!papplJobIsCanceled(job))
            abort_document(job, "The job's document is missing.");
        return papplJobIsCanceled(job);
    }
    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 0, false);
    if (!options)
        return false;

    // The page is the job's paper at the printer's resolution; a PDF page of
    // another size is scaled to fit it, as CUPS's PDF filters do.
    auto points = [](int hmm) { return std::to_string((hmm * 72 + 1270) / 2540); };
    std::vector<std::string> args = {
        ghostscript(),
        "-q",
        "-dNOPAUSE",
        "-dBATCH",
        "-dSAFER",
        "-sstdout=%stderr",
        // CUPS raster, as in CUPS's own PDF chain: not compressed, which costs
        // Ghostscript and the reader here far less than PWG raster's runs.
        "-sDEVICE=cups",
        // One bit of black per pixel, halftoned by Ghostscript: an eighth of
        // the data of grey pages to move.
        "-dcupsColorSpace=3",
        "-dcupsBitsPerColor=1",
        "-r" + std::to_string(kResolution),
        "-dDEVICEWIDTHPOINTS=" + points(options->media.size_width),
        "-dDEVICEHEIGHTPOINTS=" + points(options->media.size_length),
        "-dFIXEDMEDIA",
        "-dPDFFitPage",
        "-sOutputFile=-",
    };
    const bool ranged =
        options->first_page > 1 || (options->last_page > 0 && options->last_page < 1000000);
    if (ranged) {
        args.push_back("-dFirstPage=" + std::to_string(options->first_page));
        args.push_back("-dLastPage=" + std::to_string(options->last_page));
    }
    args.push_back("-f");
    args.push_back(filename);

    JobBridge bridge(job, device);
    if (!bridge.start_job(options, true)) {
        bridge.end_job();
        papplJobDeletePrintOptions(options);
        return false;
    }

    const int maxPageTime = server_settings().maxPageTime;
    Renderer gs(job, maxPageTime);
    std::string error;
    bool ok = gs.start(args, error);
    unsigned pages = 0;
    bool pageFailed = false;
    if (ok) {
        cups_raster_t* ras = gs.open_output();
        cups_page_header2_t header;
        std::vector<unsigned char> line;
        while (ras && !papplJobIsCanceled(job) && cupsRasterReadHeader2(ras, &header)) {
            if (header.cupsBitsPerPixel != 1 || header.cupsColorSpace != CUPS_CSPACE_K ||
                header.cupsBytesPerLine != (header.cupsWidth + 7) / 8) {
                error = "Ghostscript made a page the printer application cannot read.";
                pageFailed = true;
                break;
            }
            pappl_pr_options_t page = *options;
            page.header = header;
            if (!bridge.start_page(&page, ++pages)) {
                pageFailed = true;
                break;
            }
            line.resize(header.cupsBytesPerLine);
            unsigned y = 0;
            for (; y < header.cupsHeight && !papplJobIsCanceled(job); y++) {
                if (cupsRasterReadPixels(ras, line.data(), header.cupsBytesPerLine) == 0)
                    break;
                if (!bridge.write_line(line.data())) {
                    pageFailed = true;
                    break;
                }
            }
            // A page whose time ran out is not finished: the job stops below.
            if (gs.stopped() == Renderer::Stop::PageTime)
                break;
            if (!bridge.end_page())
                pageFailed = true;
            if (pageFailed)
                break;
            if (y < header.cupsHeight && !papplJobIsCanceled(job)) {
                error = "Ghostscript stopped in the middle of page " + std::to_string(pages) + ".";
                pageFailed = true;
                break;
            }
            gs.page_done();
        }
        if (ras)
            cupsRasterClose(ras);
        if (papplJobIsCanceled(job) || pageFailed || gs.stopped() != Renderer::Stop::None)
            gs.stop();
    }
    if (gs.stopped() == Renderer::Stop::PageTime) {
        // Numbered as in the document, also when printing a range of it.
        const unsigned late = options->first_page + gs.pages_done();
        bridge.stop("Page " + std::to_string(late) + " took more than " +
                    (maxPageTime == 1 ? "1 second" : std::to_string(maxPageTime) + " seconds") +
                    " to render; the job was stopped (max-page-time).");
    }
    int gsStatus = ok ? gs.wait() : -1;
    bool printed = bridge.end_job();
    if (pages > 0)
        papplJobSetImpressions(job, static_cast<int>(pages));
    const unsigned firstPage = options->first_page, lastPage = options->last_page;
    papplJobDeletePrintOptions(options);

    if (papplJobIsCanceled(job))
        return true;
    if (!ok) {
        // The converter is missing or cannot run: the installation's fault,
        // not the document's.
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", error.c_str());
        papplJobSetMessage(job, "%s", error.c_str());
        papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
        return false;
    }
    if (!printed)
        return false;  // the bridge has said why
    if (gsStatus > 128 && !pageFailed) {
        // Not the document's fault as far as anyone can tell: the job ends as
        // any job whose converter fails. (After a failed page Ghostscript was
        // stopped here, and the page's failure is the reason.)
        std::string reason = "Ghostscript crashed (signal " + std::to_string(gsStatus - 128) +
                             ", " + strsignal(gsStatus - 128) + ") while rendering the document.";
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", reason.c_str());
        papplJobSetMessage(job, "%s", reason.c_str());
        papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
        return false;
    }
    if (gsStatus == 0 && pages == 0 && !pageFailed && ranged) {
        abort_document(job, "The document has no pages in the range " + std::to_string(firstPage) +
                                "-" + std::to_string(lastPage) + " asked for (page-ranges).");
        return false;
    }
    if (gsStatus != 0 || pages == 0 || pageFailed) {
        std::string gsError = gs.last_error();
        if (error.empty())
            error = "The document is not a PDF file that can be printed" +
                    (gsError.empty() ? std::string(".") : ": " + gsError);
        abort_document(job, error);
        return false;
    }
    return true;
}

}  // namespace tarnwel

// rastertotarnwel: CUPS filter from 1-bit black CUPS raster to the printer's
// command stream.
//
//   rastertotarnwel job-id user title copies options [file]
//
// The PPD comes from the PPD environment variable; the raster from the named
// file or standard input; the printer stream goes to standard output.
#include <cups/ppd.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rastertotarnwel.h"
#include "tarnwel_debug.h"
#include "tarnwel_job.h"

static cups_raster_t* ras = nullptr;
static cups_page_header2_t header;
static volatile sig_atomic_t interrupted = 0;

// Pixel data is read a block of lines at a time: one read per line would
// cost more than encoding it. A block never reaches past the current page.
namespace {
constexpr size_t kReadBlockBytes = 256 * 1024;

struct PageReader {
    std::vector<uint8_t> block;
    size_t pos = 0;
    size_t len = 0;
    unsigned linesLeft = 0;  // lines of the page not yet read from the raster
    bool failed = false;     // the raster ended or broke inside this page

    void start_page(const cups_page_header2_t& h) {
        pos = len = 0;
        linesLeft = h.cupsHeight;
        failed = false;
    }

    bool refill(unsigned count) {
        if (failed || linesLeft == 0 || count == 0)
            return false;
        unsigned lines = static_cast<unsigned>(
            std::max<size_t>(1, std::min<size_t>(linesLeft, kReadBlockBytes / count)));
        size_t bytes = static_cast<size_t>(lines) * count;
        if (block.size() < bytes)
            block.resize(bytes);
        // Whatever a broken raster leaves unread stays blank.
        memset(block.data(), 0, bytes);
        if (cupsRasterReadPixels(ras, block.data(), static_cast<unsigned>(bytes)) != bytes)
            failed = true;
        linesLeft -= lines;
        pos = 0;
        len = bytes;
        return true;
    }
};
PageReader reader;
}  // namespace

static bool read_next_raster_line(uint8_t* line, unsigned count) {
    if (interrupted) {
        if (count > 0)
            memset(line, 0, count);
        return false;
    }
    if (count == 0)
        return true;
    if (reader.pos + count > reader.len && !reader.refill(count)) {
        memset(line, 0, count);
        return false;
    }
    memcpy(line, reader.block.data() + reader.pos, count);
    reader.pos += count;
    return !(reader.failed && reader.pos >= reader.len);
}

#ifndef TARNWEL_NO_MAIN
static ppd_file_t* ppd = nullptr;  // stays open until the process ends

static void sigterm_handler(int) {
    interrupted = 1;
}

int main(int argc, char* argv[]) {
    if (argc != 6 && argc != 7) {
        fputs("ERROR: rastertoplovane job-id user title copies options [file]\n", stderr);
        fputs("INFO: This program is a CUPS filter. It is not intended to be run manually.\n",
              stderr);
        return 1;
    }

    signal(SIGTERM, sigterm_handler);
    signal(SIGPIPE, SIG_IGN);
#ifdef F_SETPIPE_SZ
    // Under cupsd the stream goes down a pipe to the backend: a larger pipe
    // takes a whole block of commands per write instead of switching to the
    // reader every 64 KiB. Where the system refuses, the default stays.
    fcntl(1, F_SETPIPE_SZ, 1 << 20);
#endif

    fputs("INFO:>>>>>INFO >>>>>\n", stderr);
    for (int i = 0; i < argc; i++)
        fprintf(stderr, "main args %d = %s \n", i, argv[i]);
    dump_job_info(argc, argv);

    int fd = 0;
    if (argc == 7) {
        fd = open(argv[6], O_RDONLY);
        if (fd < 0) {
            fprintf(stderr, "ERROR: Unable to open raster file \"%s\": %s\n", argv[6],
                    strerror(errno));
            sleep(1);
            return 1;
        }
    }

    fputs("INFO:>>>>>ready to open ppd file ... >>>>>\n", stderr);
    const char* ppdPath = getenv("PPD");
    ppd = ppdPath ? ppdOpenFile(ppdPath) : nullptr;
    if (!ppd) {
        fprintf(stderr, "ERROR: Unable to open the PPD file \"%s\".\n", ppdPath ? ppdPath : "");
        return 1;
    }

    fputs("INFO:>>>>>ready to open cups raster ... >>>>>\n", stderr);
    ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    if (!ras) {
        fputs(
            "DEBUG: : Cannot read raster data. Most likely an earlier filter in the pipeline "
            "failed.\n",
            stderr);
        return 1;
    }

    return print_raster_job(ras, ppd, argc, argv, stdout);
}
#endif  // TARNWEL_NO_MAIN

int print_raster_job(cups_raster_t* raster, ppd_file_t* printerPpd, int argc, char** argv,
                     FILE* out) {
    ras = raster;
    int status = 0;
    bool writeFailed = false;
    {
        Tarnwel_Job job(out);
        while (!interrupted && cupsRasterReadHeader2(ras, &header)) {
            fputs("INFO:>>>>>while read cups header ... >>>>>\n", stderr);
            // A termination request that came while the header was being
            // read: the page is not begun.
            if (interrupted)
                break;
            if (!check_page_header(header, job.get_pages() + 1)) {
                status = 1;
                break;
            }
            if (job.get_pages() == 0)
                job.parse_jobParams(header, printerPpd, argc, argv);
            reader.start_page(header);
            job.encode_page(header, header.cupsHeight, header.cupsBytesPerLine,
                            read_next_raster_line);
            // CUPS's page log and job-impressions-completed count these.
            fprintf(stderr, "PAGE: %d %d\n", job.get_pages(), job.m_jobParams.copies);
            // Nobody takes the stream any more (the backend has gone, the disk
            // is full): stop instead of encoding pages that cannot arrive.
            if (ferror(out)) {
                writeFailed = true;
                break;
            }
        }
        if (job.get_pages() > 0 && !writeFailed) {
            job.end_job();
            job.sendBlankPageCmd();
            job.cmd_flush();
        }
    }
    if (fflush(out) != 0 || ferror(out))
        writeFailed = true;
    // A job whose stream did not arrive is a failed job, not a printed one;
    // after a termination request CUPS has cancelled it anyway.
    if (writeFailed && !interrupted) {
        fprintf(stderr, "ERROR: Unable to send the print data to the printer: %s\n",
                strerror(errno));
        status = 1;
    }
    return status;
}

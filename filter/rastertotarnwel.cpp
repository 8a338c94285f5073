// SPDX-License-Identifier: Apache-2.0
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

// The raster as the filter reads it from its input: libcups reads through
// this, so that the filter learns how much of a block a read really filled.
// An uncompressed raster (every one Ghostscript writes) is read by libcups
// straight into the caller's buffer, front to back; a compressed one goes
// through libcups's own buffer.
namespace {
struct RasterInput {
    int fd = 0;
    bool syncSeen = false;
    bool direct = false;   // uncompressed: pixel reads land in the caller's buffer
    uintptr_t target = 0;  // the block being filled
    size_t targetBytes = 0;
    size_t filled = 0;  // bytes of the block that reads have filled, from its start

    void aim_at(uint8_t* block, size_t bytes) {
        target = reinterpret_cast<uintptr_t>(block);
        targetBytes = bytes;
        filled = 0;
    }
};
RasterInput* input = nullptr;  // null for a stream that the caller opened
}  // namespace

// Pixel data is read a block of lines at a time: one read per line would
// cost more than encoding it. A block never reaches past the current page.
// Lines are encoded where they lie in the block.
namespace {
constexpr size_t kReadBlockBytes = 256 * 1024;

struct PageReader {
    ByteString block;
    std::vector<uint8_t> blank;  // a blank line, for what cannot be read
    size_t pos = 0;
    size_t len = 0;
    unsigned linesLeft = 0;  // lines of the page not yet read from the raster
    bool failed = false;     // the raster ended or broke inside this page

    void start_page(const cups_page_header2_t& h) {
        pos = len = 0;
        linesLeft = h.cupsHeight;
        failed = false;
        blank.assign(std::max(1u, h.cupsBytesPerLine), 0);
    }

    bool refill(unsigned count) {
        if (failed || linesLeft == 0 || count == 0)
            return false;
        unsigned lines = static_cast<unsigned>(
            std::max<size_t>(1, std::min<size_t>(linesLeft, kReadBlockBytes / count)));
        size_t bytes = static_cast<size_t>(lines) * count;
        if (block.size() < bytes)
            block.resize(bytes);
        // Whatever a broken raster leaves unread stays blank. Where libcups
        // reads straight into the block, the reads say how far it got;
        // otherwise the block is cleared first.
        bool direct = input && input->direct;
        if (direct)
            input->aim_at(block.data(), bytes);
        else
            memset(block.data(), 0, bytes);
        if (cupsRasterReadPixels(ras, block.data(), static_cast<unsigned>(bytes)) != bytes) {
            failed = true;
            if (direct)
                memset(block.data() + input->filled, 0, bytes - input->filled);
        }
        if (direct)
            input->aim_at(nullptr, 0);
        linesLeft -= lines;
        pos = 0;
        len = bytes;
        return true;
    }
};
PageReader reader;
}  // namespace

static bool read_next_raster_line(const uint8_t*& line, unsigned count) {
    if (reader.blank.size() < count)
        reader.blank.resize(count, 0);
    line = reader.blank.data();
    if (interrupted)
        return false;
    if (count == 0)
        return true;
    if (reader.pos + count > reader.len && !reader.refill(count))
        return false;
    line = reader.block.data() + reader.pos;
    reader.pos += count;
    return !(reader.failed && reader.pos >= reader.len);
}

// libcups's own reader of a descriptor, which also notes what lands in the
// read block.
static ssize_t read_raster_input(void* ctx, unsigned char* buf, size_t bytes) {
    auto* in = static_cast<RasterInput*>(ctx);
    ssize_t count;
    while ((count = read(in->fd, buf, bytes)) < 0)
        if (errno != EINTR && errno != EAGAIN)
            return -1;
    if (!in->syncSeen) {
        // The first read is the sync word; it tells whether the pixel data is
        // compressed.
        in->syncSeen = true;
        uint32_t sync = 0;
        if (count == static_cast<ssize_t>(sizeof(sync)) && bytes == sizeof(sync)) {
            memcpy(&sync, buf, sizeof(sync));
            in->direct = sync == CUPS_RASTER_SYNC || sync == CUPS_RASTER_REVSYNC ||
                         sync == CUPS_RASTER_SYNCv1 || sync == CUPS_RASTER_REVSYNCv1;
        }
    }
    uintptr_t at = reinterpret_cast<uintptr_t>(buf);
    if (count > 0 && at >= in->target && at < in->target + in->targetBytes)
        in->filled = std::max(in->filled, at - in->target + static_cast<size_t>(count));
    return count;
}

cups_raster_t* open_raster_input(int fd) {
    static RasterInput rasterInput;
    rasterInput = RasterInput();
    rasterInput.fd = fd;
    input = &rasterInput;
    cups_raster_t* raster = cupsRasterOpenIO(read_raster_input, &rasterInput, CUPS_RASTER_READ);
    if (!raster)
        input = nullptr;
    return raster;
}

void close_raster_input(cups_raster_t* raster) {
    cupsRasterClose(raster);
    input = nullptr;
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
    // The raster comes down a pipe from the filter before: with room for
    // several read blocks in it, that filter writes on while this one encodes,
    // instead of both taking turns every 64 KiB.
    int inputPipe = argc == 6 ? fcntl(0, F_GETPIPE_SZ) : -1;
    if (inputPipe > 0 && inputPipe < (1 << 20))
        fcntl(0, F_SETPIPE_SZ, 1 << 20);
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
    ras = open_raster_input(fd);
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

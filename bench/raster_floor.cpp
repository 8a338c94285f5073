// SPDX-License-Identifier: Apache-2.0
// The floors of the filter benchmark: read a CUPS raster and do nothing else,
// either the way the peer filters do (one cupsRasterReadPixels call per line)
// or, with --page, a whole page in one call.
//
//   raster_floor [--page] job-id user title copies options [file]
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char* argv[]) {
    bool wholePage = argc > 1 && strcmp(argv[1], "--page") == 0;
    if (wholePage) {
        argv++;
        argc--;
    }
#ifdef F_SETPIPE_SZ
    // The filter widens a raster pipe on its standard input to 1 MiB; the
    // floors read it through the same pipe, so that a ratio measures the
    // encoding and not the pipe.
    int inputPipe = argc == 6 ? fcntl(0, F_GETPIPE_SZ) : -1;
    if (inputPipe > 0 && inputPipe < (1 << 20))
        fcntl(0, F_SETPIPE_SZ, 1 << 20);
#endif
    int fd = 0;
    if (argc == 7 && (fd = open(argv[6], O_RDONLY)) < 0) {
        perror(argv[6]);
        return 1;
    }
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    if (!ras)
        return 1;
    cups_page_header2_t header;
    std::vector<unsigned char> buf;
    unsigned long long checksum = 0;
    while (cupsRasterReadHeader2(ras, &header)) {
        unsigned bpl = header.cupsBytesPerLine;
        if (wholePage) {
            buf.resize(static_cast<size_t>(bpl) * header.cupsHeight);
            if (buf.empty() ||
                cupsRasterReadPixels(ras, buf.data(), static_cast<unsigned>(buf.size())) == 0)
                continue;
            for (size_t at = 0; at < buf.size(); at += bpl)
                checksum += buf[at];
            continue;
        }
        buf.resize(bpl);
        for (unsigned y = 0; y < header.cupsHeight; y++) {
            if (cupsRasterReadPixels(ras, buf.data(), bpl) == 0)
                break;
            checksum += buf[0];
        }
    }
    cupsRasterClose(ras);
    fprintf(stderr, "DEBUG: floor checksum %llu\n", checksum);
    return 0;
}

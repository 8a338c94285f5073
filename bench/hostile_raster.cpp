// SPDX-License-Identifier: Apache-2.0
// Writes a small compressed CUPS raster whose pages claim many identical
// lines: CUPS's compression sends such a line once per 256 repeats, so a
// page of gigabytes costs kilobytes. bench/memory.sh runs the filter on it.
//
//   hostile_raster OUTPUT BYTES_PER_LINE LINES PAGES [worst]
//
// "worst" fills the line with the pattern PackBits lengthens most (one odd
// byte, then a pair: 4 bytes out for every 3 in) instead of random bytes.
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char* argv[]) {
    if (argc != 5 && argc != 6) {
        fputs("usage: hostile_raster OUTPUT BYTES_PER_LINE LINES PAGES [worst]\n", stderr);
        return 2;
    }
    unsigned bpl = static_cast<unsigned>(strtoul(argv[2], nullptr, 10));
    unsigned lines = static_cast<unsigned>(strtoul(argv[3], nullptr, 10));
    int pages = atoi(argv[4]);
    int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_COMPRESSED);
    // Ink the encoder cannot shorten: PackBits of it is a little longer than
    // the line.
    std::vector<unsigned char> line(bpl);
    unsigned seed = 12345;
    bool worst = argc == 6 && strcmp(argv[5], "worst") == 0;
    for (unsigned i = 0; i < bpl; i++) {
        seed = seed * 1103515245u + 12345u;
        line[i] = worst ? static_cast<unsigned char>(i % 3 == 0 ? 0x55 : 0xAA - i / 3 % 2)
                        : static_cast<unsigned char>((seed >> 16) | 1);
    }
    for (int p = 0; p < pages; p++) {
        cups_page_header2_t h;
        memset(&h, 0, sizeof(h));
        strcpy(h.MediaClass, "PwgRaster");
        h.HWResolution[0] = h.HWResolution[1] = 600;
        h.PageSize[0] = 612;
        h.PageSize[1] = 1008;
        h.NumCopies = 1;
        h.cupsWidth = bpl * 8;
        h.cupsHeight = lines;
        h.cupsBitsPerColor = h.cupsBitsPerPixel = 1;
        h.cupsBytesPerLine = bpl;
        h.cupsColorOrder = CUPS_ORDER_CHUNKED;
        h.cupsColorSpace = CUPS_CSPACE_K;
        h.cupsNumColors = 1;
        if (!cupsRasterWriteHeader2(ras, &h))
            return 1;
        for (unsigned y = 0; y < lines; y++)
            if (cupsRasterWritePixels(ras, line.data(), bpl) != bpl)
                return 1;
    }
    cupsRasterClose(ras);
    return close(fd) == 0 ? 0 : 1;
}

// The floor of the filter benchmark: reads a CUPS raster the way the peer
// filters do (one cupsRasterReadPixels call per line) and does nothing else.
//
//   raster_floor job-id user title copies options [file]
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

int main(int argc, char* argv[]) {
    int fd = 0;
    if (argc == 7 && (fd = open(argv[6], O_RDONLY)) < 0) {
        perror(argv[6]);
        return 1;
    }
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    if (!ras)
        return 1;
    cups_page_header2_t header;
    std::vector<unsigned char> line;
    unsigned long long checksum = 0;
    while (cupsRasterReadHeader2(ras, &header)) {
        line.resize(header.cupsBytesPerLine);
        for (unsigned y = 0; y < header.cupsHeight; y++) {
            if (cupsRasterReadPixels(ras, line.data(), header.cupsBytesPerLine) == 0)
                break;
            checksum += line[0];
        }
    }
    cupsRasterClose(ras);
    fprintf(stderr, "DEBUG: floor checksum %llu\n", checksum);
    return 0;
}

// SPDX-License-Identifier: Apache-2.0
// Writes the seed corpora of the fuzz targets: small valid jobs of each kind
// (one- and two-sided, both raster formats, several page shapes), the
// printer streams the filter makes of them, and raster lines.
//
//   make_seeds DIR    (fills DIR/job, DIR/encoder, DIR/decoder)
#include <cups/raster.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rastertotarnwel.h"

namespace {

ssize_t write_string(void* ctx, unsigned char* buffer, size_t length) {
    static_cast<std::string*>(ctx)->append(reinterpret_cast<char*>(buffer), length);
    return static_cast<ssize_t>(length);
}

struct Memory {
    const std::string* s;
    size_t pos;
};

ssize_t read_string(void* ctx, unsigned char* buffer, size_t length) {
    Memory* m = static_cast<Memory*>(ctx);
    size_t n = std::min(length, m->s->size() - m->pos);
    memcpy(buffer, m->s->data() + m->pos, n);
    m->pos += n;
    return static_cast<ssize_t>(n);
}

std::string raster(int pages, unsigned bpl, unsigned height, cups_mode_t mode, unsigned copies) {
    std::string out;
    cups_raster_t* r = cupsRasterOpenIO(write_string, &out, mode);
    for (int k = 1; k <= pages; k++) {
        cups_page_header2_t h;
        memset(&h, 0, sizeof(h));
        h.HWResolution[0] = h.HWResolution[1] = 72;
        h.PageSize[0] = bpl * 8;
        h.PageSize[1] = height;
        h.NumCopies = copies;
        h.cupsWidth = bpl * 8;
        h.cupsHeight = height;
        h.cupsBitsPerColor = h.cupsBitsPerPixel = 1;
        h.cupsBytesPerLine = bpl;
        h.cupsColorSpace = CUPS_CSPACE_K;
        h.cupsNumColors = 1;
        strcpy(h.cupsPageSizeName, k == 1 ? "Custom.8x8" : "A4");
        cupsRasterWriteHeader2(r, &h);
        std::vector<unsigned char> line(bpl);
        for (unsigned y = 0; y < height; y++) {
            for (unsigned x = 0; x < bpl; x++)
                line[x] = static_cast<unsigned char>((x + y + k) % 5 == 0 ? 0x3C * k
                                                                          : (y % 3 ? 0 : 0xFF));
            cupsRasterWritePixels(r, line.data(), bpl);
        }
    }
    cupsRasterClose(r);
    return out;
}

void put(const std::string& path, const std::string& data) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        perror(path.c_str());
        exit(1);
    }
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    for (const char* sub : {"", "/job", "/encoder", "/decoder"})
        mkdir((dir + sub).c_str(), 0755);

    char ppdPath[] = "/tmp/tarnwel-seeds-XXXXXX";
    int fd = mkstemp(ppdPath);
    const char* ppdText =
        "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
        "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"S.PPD\"\n"
        "*Manufacturer: \"Tarnwel\"\n*Product: \"(S)\"\n*ModelName: \"S\"\n*NickName: \"S\"\n"
        "*OpenUI *PrintDensity: PickOne\n*DefaultPrintDensity: Medium\n"
        "*PrintDensity Medium: \"\"\n*CloseUI: *PrintDensity\n";
    if (write(fd, ppdText, strlen(ppdText)) < 0)
        return 1;
    close(fd);
    ppd_file_t* ppd = ppdOpenFile(ppdPath);
    unlink(ppdPath);

    struct Job {
        int pages;
        unsigned bpl, height;
        cups_mode_t mode;
        unsigned copies;
        uint8_t options;  // as fuzz_job reads its first byte
    } jobs[] = {
        {1, 2, 3, CUPS_RASTER_WRITE, 1, 0x00},
        {2, 4, 8, CUPS_RASTER_WRITE, 2, 0x20},             // long edge
        {3, 3, 5, CUPS_RASTER_WRITE_COMPRESSED, 1, 0x40},  // short edge
        {1, 16, 4, CUPS_RASTER_WRITE_COMPRESSED, 300, 0x21},
        {4, 1, 2, CUPS_RASTER_WRITE, 1, 0x0B},
        {2, 9, 3, CUPS_RASTER_WRITE, 0, 0x80},
    };
    int n = 0;
    for (const Job& j : jobs) {
        std::string r = raster(j.pages, j.bpl, j.height, j.mode, j.copies);
        std::string seed = std::string(1, static_cast<char>(j.options)) + std::string(1, '\0') + r;
        put(dir + "/job/seed-" + std::to_string(n), seed);

        // The printer stream the filter makes of it.
        static const char* const duplex[] = {"", "Duplex=DuplexNoTumble", "Duplex=DuplexTumble",
                                             ""};
        std::string options = duplex[(j.options >> 5) & 3];
        Memory m{&r, 0};
        cups_raster_t* ras = cupsRasterOpenIO(read_string, &m, CUPS_RASTER_READ);
        char* out = nullptr;
        size_t outSize = 0;
        FILE* f = open_memstream(&out, &outSize);
        std::string a0 = "rastertotarnwel", a1 = "1", a2 = "u", a3 = "t", a4 = "1";
        char* args[] = {a0.data(), a1.data(),      a2.data(), a3.data(),
                        a4.data(), options.data(), nullptr};
        FILE* err = freopen("/dev/null", "w", stderr);
        (void)err;
        print_raster_job(ras, ppd, 6, args, f);
        fclose(f);
        cupsRasterClose(ras);
        put(dir + "/decoder/seed-" + std::to_string(n), std::string(out, outSize));
        free(out);
        n++;
    }

    const std::string lines[] = {std::string("\xAA\xAA\xAA\xAA", 4),
                                 std::string("\x12\x34\x34\x56", 4),
                                 std::string(200, '\xFF'),
                                 std::string(128, '\x11'),
                                 std::string("\x81", 1),
                                 std::string("\x00\x3C\x00\x00\x7E\x66\x00\x00\x00\x18", 10)};
    int k = 0;
    for (const std::string& l : lines)
        put(dir + "/encoder/seed-" + std::to_string(k++), l);
    ppdClose(ppd);
    return 0;
}

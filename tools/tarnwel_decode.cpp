// SPDX-License-Identifier: Apache-2.0
// tarnwel-decode: validates a printer command stream, prints what it holds
// and writes its pages as images.
//
//   tarnwel-decode [--dpi N] [--png PREFIX] [--pbm PREFIX] [--reading-order]
//                  [--page-height N] [--any-size] [--image-limit MB] [--quiet]
//                  [FILE | -]
#include <getopt.h>
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tarnwel_stream.h"

using namespace tarnwel;

static void usage(FILE* f) {
    fputs(
        "Usage: tarnwel-decode [options] [FILE | -]\n"
        "Validates a printer command stream and prints its job settings and pages.\n"
        "  --dpi N           resolution of the stream, for sizes in millimetres and the\n"
        "                    largest paper (600)\n"
        "  --png PREFIX      write each page to PREFIX-NNN.png\n"
        "  --pbm PREFIX      write each page to PREFIX-NNN.pbm\n"
        "  --reading-order   pages as the document reads (undo the two-sided sheet order,\n"
        "                    turn long-edge back sides back, drop the completing blank page)\n"
        "  --page-height N   lines of a raster page (cupsHeight) when they are fewer than\n"
        "                    the paper height (hardware margins); long-edge back sides are\n"
        "                    turned within it (default: the blank completing page's lines\n"
        "                    if the job has one, else the paper height)\n"
        "  --any-size        take pages larger than the largest paper the printers take\n"
        "                    (8.5 x 14 in: 5100 x 8400 dots at 600 dpi), up to all the\n"
        "                    commands can say (65535 x 65535 dots); their images can\n"
        "                    take minutes and gigabytes\n"
        "  --image-limit MB  write no image when all the pages' images together hold\n"
        "                    more than MB megabytes of pixels, each format asked for\n"
        "                    counted (1024; 0: no limit)\n"
        "  --quiet           print nothing but errors\n",
        f);
}

// A whole number from 0 to `most`, digits only: no sign, no wrap-around.
static bool parse_number(const char* text, unsigned long long most, unsigned long long& value) {
    if (!*text)
        return false;
    value = 0;
    for (const char* c = text; *c; c++) {
        if (*c < '0' || *c > '9')
            return false;
        unsigned digit = static_cast<unsigned>(*c - '0');
        if (value > (most - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return true;
}

static bool read_all(FILE* f, std::vector<uint8_t>& out) {
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        out.insert(out.end(), buf, buf + n);
    return !ferror(f);
}

static bool write_png(const std::string& path, const PageImage& img, unsigned dpi) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, &info);
        fclose(f);
        return false;
    }
    // libpng reports its errors by jumping back here.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, img.width_bytes * 8, img.height, 1, PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    unsigned ppm = static_cast<unsigned>(dpi / 0.0254 + 0.5);
    png_set_pHYs(png, info, ppm, ppm, PNG_RESOLUTION_METER);
    png_write_info(png, info);
    // In a 1-bit grey PNG a set bit is white: the raster's black bits go inverted.
    png_set_invert_mono(png);
    for (unsigned y = 0; y < img.height; y++)
        png_write_row(png,
                      const_cast<png_bytep>(&img.pixels[static_cast<size_t>(y) * img.width_bytes]));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return fclose(f) == 0;
}

static bool write_pbm(const std::string& path, const PageImage& img) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    fprintf(f, "P4\n%u %u\n", img.width_bytes * 8, img.height);
    fwrite(img.pixels.data(), 1, img.pixels.size(), f);
    return fclose(f) == 0;
}

int main(int argc, char** argv) {
    unsigned dpi = 600, pageHeight = 0;
    // A page without a command is 12 bytes of stream and a whole paper of
    // pixels: all the images of a stream are held to a budget.
    unsigned long long imageLimitMb = 1024;
    std::string pngPrefix, pbmPrefix;
    bool readingOrder = false, quiet = false, anySize = false;
    static const option longopts[] = {{"dpi", required_argument, nullptr, 'd'},
                                      {"png", required_argument, nullptr, 'p'},
                                      {"pbm", required_argument, nullptr, 'b'},
                                      {"reading-order", no_argument, nullptr, 'r'},
                                      {"quiet", no_argument, nullptr, 'q'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"page-height", required_argument, nullptr, 'H'},
                                      {"any-size", no_argument, nullptr, 'a'},
                                      {"image-limit", required_argument, nullptr, 'l'},
                                      {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "d:p:b:rqhH:al:", longopts, nullptr)) != -1) {
        switch (c) {
            case 'd': {
                unsigned long long d = 0;
                if (!parse_number(optarg, 65535, d) || d == 0) {
                    fprintf(stderr, "tarnwel-decode: --dpi takes 1 to 65535, not %s\n", optarg);
                    return 2;
                }
                dpi = static_cast<unsigned>(d);
                break;
            }
            case 'p':
                pngPrefix = optarg;
                break;
            case 'b':
                pbmPrefix = optarg;
                break;
            case 'r':
                readingOrder = true;
                break;
            case 'H': {
                unsigned long long h = 0;
                if (!parse_number(optarg, kMaxPageLines, h)) {
                    fprintf(stderr, "tarnwel-decode: --page-height takes 0 to %u lines, not %s\n",
                            kMaxPageLines, optarg);
                    return 2;
                }
                pageHeight = static_cast<unsigned>(h);
                break;
            }
            case 'a':
                anySize = true;
                break;
            case 'l':
                if (!parse_number(optarg, UINT64_MAX >> 20, imageLimitMb)) {
                    fprintf(stderr, "tarnwel-decode: --image-limit takes megabytes, not %s\n",
                            optarg);
                    return 2;
                }
                break;
            case 'q':
                quiet = true;
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
    }
    if (argc - optind > 1 || dpi == 0) {
        usage(stderr);
        return 2;
    }
    // A page image costs its paper's area in memory and on disk, whatever the
    // stream's size: pages are held to the largest paper unless asked.
    const StreamLimits limits = anySize ? command_limits() : largest_paper(dpi);
    if (pageHeight > limits.height) {
        fprintf(stderr,
                "tarnwel-decode: --page-height %u is more than the %u lines of the "
                "largest page taken%s\n",
                pageHeight, limits.height, anySize ? "" : " (--any-size takes larger pages)");
        return 2;
    }
    const char* path = optind < argc ? argv[optind] : "-";
    FILE* in = strcmp(path, "-") == 0 ? stdin : fopen(path, "rb");
    if (!in) {
        fprintf(stderr, "tarnwel-decode: cannot open %s: %s\n", path, strerror(errno));
        return 2;
    }
    std::vector<uint8_t> data;
    if (!read_all(in, data)) {
        fprintf(stderr, "tarnwel-decode: cannot read %s\n", path);
        return 2;
    }

    bool wantImages = !pngPrefix.empty() || !pbmPrefix.empty();
    StreamJob job;
    StreamError err;
    // Pages are rendered one at a time from the stream below, so that memory
    // holds one page however many the stream has.
    if (!decode_stream(data.data(), data.size(), job, err, false, limits)) {
        fprintf(stderr, "tarnwel-decode: %s: invalid stream at byte offset %zu: %s\n", path,
                err.offset, err.message.c_str());
        if (!anySize && err.message.find("largest paper") != std::string::npos)
            fprintf(stderr, "tarnwel-decode: --any-size takes pages up to 65535 x 65535 dots\n");
        return 1;
    }

    if (!quiet) {
        printf("Stream: %zu bytes, valid\n", data.size());
        printf("Density: %s (code %d)\n", density_name(job.density), job.density);
        printf("Paper weight: %s (code %d)\n", weight_name(job.paper_weight), job.paper_weight);
        printf("Paper size: %u x %u dots, %.1f x %.1f mm at %u dpi\n", job.paper_width,
               job.paper_height, job.paper_width * 25.4 / dpi, job.paper_height * 25.4 / dpi, dpi);
        printf("Copies: %u\n", job.copies);
        printf("Duplex: %s\n", duplex_name(job.duplex));
        printf("Pages in stream order: %zu\n", job.pages.size());
        printf("  %4s %10s %8s %8s %8s %12s %7s\n", "page", "offset", "lines", "ink", "blank",
               "compressed", "ratio");
        for (size_t i = 0; i < job.pages.size(); i++) {
            const StreamPage& p = job.pages[i];
            double raw = static_cast<double>(p.ink_lines) * p.width_bytes;
            printf("  %4zu %10zu %8u %8u %8u %12zu %6.1fx\n", i + 1, p.offset, p.lines_sent,
                   p.ink_lines, p.blank_commands, p.compressed_bytes,
                   p.compressed_bytes ? raw / p.compressed_bytes : 0.0);
        }
    }

    if (wantImages && imageLimitMb > 0) {
        // Each format asked for is written in full.
        uint64_t bytes = page_images_bytes(job, readingOrder, pageHeight) *
                         (!pngPrefix.empty() + !pbmPrefix.empty());
        if (bytes > static_cast<uint64_t>(imageLimitMb) << 20) {
            fflush(stdout);  // the summary before the refusal
            fprintf(stderr,
                    "tarnwel-decode: %s: the images of its %zu pages would write %llu MB of "
                    "pixels, more than the limit of %llu MB: no image written (--image-limit "
                    "sets it, 0 lifts it)\n",
                    path, page_image_count(job, readingOrder),
                    static_cast<unsigned long long>((bytes + (1 << 20) - 1) >> 20), imageLimitMb);
            return 2;
        }
    }
    if (wantImages) {
        for (size_t i = 0; i < page_image_count(job, readingOrder); i++) {
            PageImage image =
                page_image(job, i, readingOrder, pageHeight, data.data(), data.size());
            char num[32];
            snprintf(num, sizeof(num), "-%03zu", i + 1);
            if (!pngPrefix.empty()) {
                std::string out = pngPrefix + num + ".png";
                if (!write_png(out, image, dpi)) {
                    fprintf(stderr, "tarnwel-decode: cannot write %s\n", out.c_str());
                    return 2;
                }
                if (!quiet)
                    printf("Wrote %s (%u x %u)\n", out.c_str(), image.width_bytes * 8,
                           image.height);
            }
            if (!pbmPrefix.empty()) {
                std::string out = pbmPrefix + num + ".pbm";
                if (!write_pbm(out, image)) {
                    fprintf(stderr, "tarnwel-decode: cannot write %s\n", out.c_str());
                    return 2;
                }
                if (!quiet)
                    printf("Wrote %s\n", out.c_str());
            }
        }
    }
    return 0;
}

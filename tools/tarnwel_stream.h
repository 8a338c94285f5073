// SPDX-License-Identifier: Apache-2.0
// Reads a printer command stream back: validates it against the printer's
// command language and decodes its pages. It decodes on its own, without the
// filter's encoder, so that it catches the encoder's faults.
#ifndef TARNWEL_STREAM_H
#define TARNWEL_STREAM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnwel {

enum class Duplex { None = 0, LongEdge = 1, ShortEdge = 2 };

// What the command language can say: lines of at most 8192 bytes (65,536
// dots), pages of at most 65535 lines, paper of at most 65535 dots a side.
constexpr unsigned kMaxLineBytes = 8192;
constexpr unsigned kMaxPageLines = 65535;

// How large a page the decoder takes, in dots across and lines down: the
// paper size command, every raster line and the lines of every page must fit.
// A page image costs width x height / 8 bytes of memory and of disk however
// few bytes of the stream describe it, so the default is the largest paper
// the printers take.
struct StreamLimits {
    unsigned width = 0;   // dots
    unsigned height = 0;  // lines
};
// The largest paper the printers take, US Legal (8.5 x 14 in), at `dpi`:
// 5100 x 8400 dots at 600 dpi.
constexpr unsigned kLargestPaperWidthPoints = 612, kLargestPaperHeightPoints = 1008;
StreamLimits largest_paper(unsigned dpi = 600);
// All the command language can say: 65535 dots by 65535 lines.
StreamLimits command_limits();

struct StreamPage {
    size_t offset = 0;         // of its begin-page command
    size_t end_offset = 0;     // of its end-page command
    unsigned width_bytes = 0;  // decoded width of its raster lines (0: no ink line)
    unsigned lines_sent = 0;   // raster line and blank line commands
    unsigned ink_lines = 0;    // raster line commands
    unsigned blank_commands = 0;
    size_t compressed_bytes = 0;  // PackBits data of its raster lines
    // Decoded pixels, lines_sent lines of width_bytes (kept on request), as
    // in the raster: a set bit is black.
    std::vector<uint8_t> pixels;
    bool turned = false;  // turned back through 180 degrees (reading order)
};

struct StreamJob {
    int density = -1;                            // code 0..4 (Dark .. Light)
    int paper_weight = -1;                       // code 0, 2, 3 (VeryHeavy, MediumHeavy, Medium)
    unsigned paper_width = 0, paper_height = 0;  // dots
    unsigned copies = 0;
    Duplex duplex = Duplex::None;
    std::vector<StreamPage> pages;  // in stream order
};

struct StreamError {
    size_t offset = 0;
    std::string message;
};

// Strict validation and decoding. Returns false with `error` set on the first
// fault; nothing is skipped. Pages larger than `limits` are faults: by
// default all the commands can say, as the filter writes whatever page size
// its raster gives; tarnwel-decode holds streams to largest_paper().
bool decode_stream(const uint8_t* data, size_t size, StreamJob& job, StreamError& error,
                   bool keep_pixels = true, const StreamLimits& limits = command_limits());

// PackBits-decodes one raster line's data, complementing every byte back.
// False (with a message) when a run or literal reaches past the data.
bool unpack_line(const uint8_t* data, size_t size, std::vector<uint8_t>& line,
                 std::string& message);

// A page image: width in pixels is width_bytes * 8.
struct PageImage {
    unsigned width_bytes = 0;
    unsigned height = 0;
    std::vector<uint8_t> pixels;  // set bit = black
    size_t stream_index = 0;      // which page of the stream it came from
};

// Full-size page images. In stream order, or in reading order: each sheet's
// odd page first, long-edge back sides turned back and the blank page that
// completes a two-sided job dropped. Lines never sent are white.
//
// A page is `page_height` lines high: the raster's cupsHeight, which is less
// than the paper height when the PPD has hardware margins, and within which
// the filter turned long-edge back sides. 0 takes the line count of the blank
// completing page when the job has one (it is the first page's cupsHeight),
// else the paper height.
std::vector<PageImage> page_images(const StreamJob& job, bool reading_order,
                                   unsigned page_height = 0);

// The same images one at a time, so that memory holds one page whatever the
// stream holds: image `n` of page_image_count(). Pixels come from the pages'
// kept pixels or, when the stream was decoded without them, from the stream
// `data` again (the one decode_stream() accepted).
size_t page_image_count(const StreamJob& job, bool reading_order);
PageImage page_image(const StreamJob& job, size_t n, bool reading_order, unsigned page_height = 0,
                     const uint8_t* data = nullptr, size_t size = 0);

// The pixel bytes of all the images page_image() makes: what they cost in
// memory one at a time, in time and on disk together.
uint64_t page_images_bytes(const StreamJob& job, bool reading_order, unsigned page_height = 0);

// The raster height page_images() uses when given 0.
unsigned default_page_height(const StreamJob& job);

const char* density_name(int code);
const char* weight_name(int code);
const char* duplex_name(Duplex d);

}  // namespace tarnwel

#endif

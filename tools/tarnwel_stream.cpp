// SPDX-License-Identifier: Apache-2.0
#include "tarnwel_stream.h"

#include <algorithm>
#include <cstring>

namespace tarnwel {

namespace {

// The printer's command language, as a decoder reads it.
const uint8_t kInit[] = {0x1B, 0x26, 0x42, 0x1B, 0x25, 0x2D, 0x39, 0x38, 0x37, 0x36, 0x35, 0x58};
const uint8_t kBeginPage[] = {0x1B, 0x24, 0x41, 0x1B, 0x21, 0x41, 0x00, 0x00, 0x10};
const uint8_t kEndPage[] = {0x1B, 0x24, 0x42};
const uint8_t kBlankLine[] = {0x1B, 0x2A, 0x42, 0x01, 0x00};
const uint8_t kRenderType[] = {0x1C, 0x16, 0x03, 0x42, 0x10};
const uint8_t kInputBin[] = {0x1B, 0x26, 0x41, 0x01, 0x00, 0x01};
const uint8_t kPaperSizeNormal[] = {0x1B, 0x26, 0x41, 0x02, 0x00, 0x00, 0x1A};
const uint8_t kResolution[] = {0x1B, 0x26, 0x41, 0x03, 0x00, 0x00, 0x00};

// XMODEM CRC, bit by bit: deliberately not the filter's table.
uint16_t crc16(const uint8_t* p, size_t n) {
    unsigned crc = 0;
    for (size_t i = 0; i < n; i++) {
        crc ^= static_cast<unsigned>(p[i]) << 8;
        for (int b = 0; b < 8; b++)
            crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
        crc &= 0xFFFF;
    }
    return static_cast<uint16_t>(crc);
}

unsigned le16(const uint8_t* p) {
    return p[0] | (p[1] << 8);
}

enum class State { Start, Header, BetweenPages, InPage, Ended };

// Header settings, each allowed once before the first page.
enum Setting {
    kWeight,
    kDensity,
    kRender,
    kBin,
    kPaperSize,
    kRes,
    kCopies,
    kDuplex,
    kSettingCount
};
const char* const kSettingNames[kSettingCount] = {"paper weight", "print density", "render type",
                                                  "input bin",    "paper size",    "resolution",
                                                  "copies",       "duplex mode"};

class Parser {
  public:
    Parser(const uint8_t* d, size_t n, StreamJob& job, StreamError& err, bool keep,
           const StreamLimits& limits)
        : data(d),
          size(n),
          job(job),
          err(err),
          keep(keep),
          max_width(std::min(limits.width, kMaxLineBytes * 8)),
          max_lines(std::min(limits.height, kMaxPageLines)) {}

    bool run() {
        while (pos < size) {
            if (!step())
                return false;
        }
        if (state == State::Start)
            return fail(0, "empty stream: expected the job start command (1B 26 42 ...)");
        if (state != State::Ended)
            return fail(size, state == State::InPage
                                  ? "stream ends inside a page: expected end-page (1B 24 42)"
                                  : "stream ends without the end-of-job command (1C 16 04 45)");
        return true;
    }

  private:
    const uint8_t* data;
    size_t size;
    StreamJob& job;
    StreamError& err;
    bool keep;
    unsigned max_width;  // dots
    unsigned max_lines;
    size_t pos = 0;
    State state = State::Start;
    bool seen[kSettingCount] = {};
    int duplex_code = -1;
    std::vector<uint8_t> line;

    bool fail(size_t at, const std::string& msg) {
        err.offset = at;
        err.message = msg;
        return false;
    }
    bool has(size_t n) const { return size - pos >= n; }
    bool is(const uint8_t* cmd, size_t n) const {
        return has(n) && memcmp(data + pos, cmd, n) == 0;
    }
    bool prefix(std::initializer_list<uint8_t> p) const {
        if (!has(p.size()))
            return false;
        size_t i = 0;
        for (uint8_t b : p)
            if (data[pos + i++] != b)
                return false;
        return true;
    }

    bool setting(Setting s, size_t len) {
        if (state != State::Header)
            return fail(pos, std::string(kSettingNames[s]) +
                                 " command outside the job header (expected before begin-job)");
        if (seen[s])
            return fail(pos,
                        std::string("second ") + kSettingNames[s] + " command in the job header");
        seen[s] = true;
        pos += len;
        return true;
    }

    bool step() {
        if (state == State::Ended)
            return fail(pos, "data after the end-of-job command");
        // A command whose first bytes are there but not the rest is cut short
        // by the end of the stream.
        if (std::string names = commands_cut_short(); !names.empty())
            return fail(pos, names + " cut short by the end of the stream");
        if (state == State::Start) {
            if (!is(kInit, sizeof(kInit)))
                return fail(pos, "expected the job start command (1B 26 42 1B 25 2D ...)");
            pos += sizeof(kInit);
            state = State::Header;
            return true;
        }
        if (state == State::InPage) {
            if (is(kBlankLine, sizeof(kBlankLine))) {
                StreamPage& p = job.pages.back();
                if (p.lines_sent >= max_lines)
                    return too_many_lines();
                p.blank_commands++;
                p.lines_sent++;
                if (keep)
                    p.pixels.resize(p.pixels.size() + p.width_bytes, 0);
                pos += sizeof(kBlankLine);
                return true;
            }
            if (prefix({0x1B, 0x2A, 0x41, 0x02}))
                return raster_line();
            if (is(kEndPage, sizeof(kEndPage))) {
                job.pages.back().end_offset = pos;
                pos += sizeof(kEndPage);
                state = State::BetweenPages;
                return true;
            }
            if (is(kBeginPage, sizeof(kBeginPage)))
                return fail(pos, "begin-page inside a page: expected end-page (1B 24 42)");
            return fail(pos, "expected a raster line, blank line or end-page command");
        }
        if (state == State::BetweenPages) {
            if (is(kBeginPage, sizeof(kBeginPage))) {
                job.pages.emplace_back();
                job.pages.back().offset = pos;
                pos += sizeof(kBeginPage);
                state = State::InPage;
                return true;
            }
            if (prefix({0x1C, 0x16, 0x04, 0x45}))
                return end_job();
            if (is(kEndPage, sizeof(kEndPage)))
                return fail(pos, "end-page without begin-page");
            return fail(pos, "expected begin-page (1B 24 41 ...) or end-of-job (1C 16 04 45)");
        }
        // The job header.
        if (prefix({0x1C, 0x16, 0x01, 0x42}) && has(5)) {
            uint8_t c = data[pos + 4];
            if (c != 0x10 && c != 0x12 && c != 0x13)
                return fail(pos + 4, "unknown paper weight code");
            job.paper_weight = c - 0x10;
            return setting(kWeight, 5);
        }
        if (prefix({0x1C, 0x16, 0x02, 0x42}) && has(5)) {
            uint8_t c = data[pos + 4];
            if (c < 0x10 || c > 0x14)
                return fail(pos + 4, "unknown print density code");
            job.density = c - 0x10;
            return setting(kDensity, 5);
        }
        if (is(kRenderType, sizeof(kRenderType)))
            return setting(kRender, sizeof(kRenderType));
        if (is(kInputBin, sizeof(kInputBin)))
            return setting(kBin, sizeof(kInputBin));
        if (is(kPaperSizeNormal, sizeof(kPaperSizeNormal)))
            return setting(kPaperSize, sizeof(kPaperSizeNormal));
        if (prefix({0x1B, 0x78}) && has(8)) {
            if (data[pos + 4] != 0x1B || data[pos + 5] != 0x79)
                return fail(pos + 4, "paper size: expected ESC y (1B 79) after the width");
            job.paper_width = le16(data + pos + 2);
            job.paper_height = le16(data + pos + 6);
            if (job.paper_width > max_width || job.paper_height > max_lines)
                return fail(pos + (job.paper_width > max_width ? 2 : 6),
                            "paper size of " + std::to_string(job.paper_width) + " x " +
                                std::to_string(job.paper_height) +
                                " dots: larger than the largest paper the decoder takes (" +
                                limits_text() + ")");
            return setting(kPaperSize, 8);
        }
        if (is(kResolution, sizeof(kResolution)))
            return setting(kRes, sizeof(kResolution));
        if (prefix({0x1B, 0x26, 0x6C}) && has(7)) {
            unsigned crc = le16(data + pos + 5);
            if (crc != crc16(data + pos, 5))
                return fail(pos + 5, "copies command: wrong checksum");
            job.copies = le16(data + pos + 3);
            if (job.copies == 0)
                return fail(pos + 3, "copies command: zero copies");
            return setting(kCopies, 7);
        }
        if (prefix({0x1B, 0x26, 0x41, 0x09, 0x00}) && has(6)) {
            uint8_t m = data[pos + 5];
            if (m > 2)
                return fail(pos + 5, "unknown duplex mode");
            job.duplex = static_cast<Duplex>(m);
            return setting(kDuplex, 6);
        }
        if (prefix({0x1C, 0x16, 0x05, 0x46}) && has(5))
            return fail(pos, "manual duplex command: the driver never sends it");
        if (prefix({0x1C, 0x16, 0x04, 0x42}) && has(5))
            return begin_job();
        if (is(kBeginPage, sizeof(kBeginPage)))
            return fail(pos, "begin-page before the begin-job command (1C 16 04 42)");
        return fail(pos, "unknown command in the job header");
    }

    bool too_many_lines() {
        if (max_lines == kMaxPageLines)
            return fail(pos, "page of more than " + std::to_string(kMaxPageLines) +
                                 " lines: the printer takes at most " +
                                 std::to_string(kMaxPageLines));
        return fail(pos, "page of more than " + std::to_string(max_lines) +
                             " lines: longer than the largest paper the decoder takes (" +
                             limits_text() + ")");
    }
    std::string limits_text() const {
        return std::to_string(max_width) + " x " + std::to_string(max_lines) + " dots";
    }

    // The commands of the current state that the rest of the stream is the
    // cut-short start of, as "the copies command" or "a command (one of:
    // input bin, resolution)". Empty when the stream does not end inside one.
    std::string commands_cut_short() const {
        struct Command {
            State state;
            std::initializer_list<int> bytes;  // -1: a value
            const char* name;
        };
        static const Command commands[] = {
            {State::Start,
             {0x1B, 0x26, 0x42, 0x1B, 0x25, 0x2D, 0x39, 0x38, 0x37, 0x36, 0x35, 0x58},
             "job start"},
            {State::Header, {0x1C, 0x16, 0x01, 0x42, -1}, "paper weight"},
            {State::Header, {0x1C, 0x16, 0x02, 0x42, -1}, "print density"},
            {State::Header, {0x1C, 0x16, 0x03, 0x42, 0x10}, "render type"},
            {State::Header, {0x1B, 0x26, 0x41, 0x01, 0x00, 0x01}, "input bin"},
            {State::Header, {0x1B, 0x26, 0x41, 0x02, 0x00, 0x00, 0x1A}, "paper size"},
            {State::Header, {0x1B, 0x78, -1, -1, 0x1B, 0x79, -1, -1}, "paper size"},
            {State::Header, {0x1B, 0x26, 0x41, 0x03, 0x00, 0x00, 0x00}, "resolution"},
            {State::Header, {0x1B, 0x26, 0x6C, -1, -1, -1, -1}, "copies"},
            {State::Header, {0x1B, 0x26, 0x41, 0x09, 0x00, -1}, "duplex mode"},
            {State::Header, {0x1C, 0x16, 0x05, 0x46, -1}, "manual duplex"},
            {State::Header, {0x1C, 0x16, 0x04, 0x42, -1}, "begin-job"},
            {State::Header, {0x1B, 0x24, 0x41, 0x1B, 0x21, 0x41, 0x00, 0x00, 0x10}, "begin-page"},
            {State::BetweenPages,
             {0x1B, 0x24, 0x41, 0x1B, 0x21, 0x41, 0x00, 0x00, 0x10},
             "begin-page"},
            {State::BetweenPages, {0x1C, 0x16, 0x04, 0x45, -1}, "end-of-job"},
            {State::InPage, {0x1B, 0x2A, 0x42, 0x01, 0x00}, "blank line"},
            {State::InPage, {0x1B, 0x2A, 0x41, 0x02, -1, -1}, "raster line"},
            {State::InPage, {0x1B, 0x24, 0x42}, "end-page"},
        };
        size_t left = size - pos;
        std::vector<const char*> names;
        for (const Command& c : commands) {
            if (c.state != state || left >= c.bytes.size())
                continue;
            bool match = true;
            size_t i = 0;
            for (int b : c.bytes) {
                if (i == left)
                    break;
                match = match && (b < 0 || data[pos + i] == b);
                i++;
            }
            if (match && std::find_if(names.begin(), names.end(), [&](const char* n) {
                             return strcmp(n, c.name) == 0;
                         }) == names.end())
                names.push_back(c.name);
        }
        if (names.empty())
            return "";
        if (names.size() == 1)
            return std::string("the ") + names[0] + " command";
        std::string list;
        for (const char* n : names)
            list += (list.empty() ? "" : ", ") + std::string(n);
        return "a command (one of: " + list + ")";
    }

    bool begin_job() {
        const Setting required[] = {kWeight, kDensity, kPaperSize, kCopies, kDuplex};
        for (Setting s : required)
            if (!seen[s])
                return fail(pos,
                            std::string("begin-job before the ") + kSettingNames[s] + " command");
        uint8_t m = data[pos + 4];
        if (m > 1)
            return fail(pos + 4, "begin-job: unknown mode");
        if ((m == 1) != (job.duplex != Duplex::None))
            return fail(pos + 4, "begin-job mode does not match the duplex mode");
        duplex_code = m;
        pos += 5;
        state = State::BetweenPages;
        return true;
    }

    bool end_job() {
        uint8_t m = data[pos + 4];
        if (m != duplex_code)
            return fail(pos + 4, "end-of-job mode does not match the duplex mode of the header");
        if (job.duplex != Duplex::None && job.pages.size() % 2 != 0)
            return fail(pos, "two-sided job with an odd number of pages");
        pos += 5;
        state = State::Ended;
        return true;
    }

    bool raster_line() {
        size_t n = le16(data + pos + 4);
        if (!has(6 + n))
            return fail(pos + 4, "raster line data runs past the end of the stream");
        std::string msg;
        if (!unpack_line(data + pos + 6, n, line, msg))
            return fail(pos + 6, "raster line: " + msg);
        StreamPage& p = job.pages.back();
        if (line.empty())
            return fail(pos, "raster line with no data");
        if (line.size() > kMaxLineBytes)
            return fail(pos, "raster line decodes to " + std::to_string(line.size()) +
                                 " bytes, more than the printer takes (" +
                                 std::to_string(kMaxLineBytes) + ")");
        if (line.size() > (max_width + 7) / 8)
            return fail(pos, "raster line decodes to " + std::to_string(line.size()) +
                                 " bytes, wider than the largest paper the decoder takes (" +
                                 limits_text() + ")");
        if (p.lines_sent >= max_lines)
            return too_many_lines();
        if (p.ink_lines == 0 && p.width_bytes == 0) {
            p.width_bytes = static_cast<unsigned>(line.size());
            if (keep)
                p.pixels.assign(static_cast<size_t>(p.lines_sent) * p.width_bytes, 0);
        } else if (line.size() != p.width_bytes) {
            return fail(pos, "raster line decodes to " + std::to_string(line.size()) +
                                 " bytes, other lines of the page to " +
                                 std::to_string(p.width_bytes));
        }
        if (keep)
            p.pixels.insert(p.pixels.end(), line.begin(), line.end());
        p.ink_lines++;
        p.lines_sent++;
        p.compressed_bytes += n;
        pos += 6 + n;
        return true;
    }
};

}  // namespace

bool unpack_line(const uint8_t* data, size_t size, std::vector<uint8_t>& line,
                 std::string& message) {
    line.clear();
    size_t i = 0;
    while (i < size) {
        uint8_t c = data[i];
        if (c < 0x80) {
            size_t count = c + 1u;
            if (count > 127) {
                message = "literal of 128 bytes at data byte " + std::to_string(i);
                return false;
            }
            if (size - i - 1 < count) {
                message = "literal of " + std::to_string(count) +
                          " bytes past the end at data byte " + std::to_string(i);
                return false;
            }
            for (size_t k = 0; k < count; k++)
                line.push_back(static_cast<uint8_t>(~data[i + 1 + k]));
            i += 1 + count;
        } else {
            if (c < 0x82) {
                message = "control byte " + std::to_string(c) + " at data byte " +
                          std::to_string(i) + " (runs hold at most 127 bytes)";
                return false;
            }
            if (i + 1 >= size) {
                message = "run without its byte at data byte " + std::to_string(i);
                return false;
            }
            size_t count = 257u - c;
            line.insert(line.end(), count, static_cast<uint8_t>(~data[i + 1]));
            i += 2;
        }
    }
    return true;
}

StreamLimits largest_paper(unsigned dpi) {
    auto dots = [dpi](unsigned points) {
        return static_cast<unsigned>(
            std::min<uint64_t>(static_cast<uint64_t>(points) * dpi / 72, 65535));
    };
    return {dots(kLargestPaperWidthPoints), dots(kLargestPaperHeightPoints)};
}

StreamLimits command_limits() {
    return {65535, kMaxPageLines};
}

bool decode_stream(const uint8_t* data, size_t size, StreamJob& job, StreamError& error,
                   bool keep_pixels, const StreamLimits& limits) {
    job = StreamJob{};
    return Parser(data, size, job, error, keep_pixels, limits).run();
}

static uint8_t reverse_bits(uint8_t b) {
    uint8_t r = 0;
    for (int i = 0; i < 8; i++)
        if (b & (1 << i))
            r |= static_cast<uint8_t>(0x80 >> i);
    return r;
}

// The page that completes an odd two-sided job carries blank line commands
// only; a blank page of the document carries no command at all.
static bool is_completing_page(const StreamJob& job, size_t stream_index) {
    const StreamPage& p = job.pages[stream_index];
    return job.duplex != Duplex::None && stream_index + 2 == job.pages.size() && p.ink_lines == 0 &&
           p.blank_commands > 0;
}

unsigned default_page_height(const StreamJob& job) {
    if (job.pages.size() >= 2 && is_completing_page(job, job.pages.size() - 2))
        return job.pages[job.pages.size() - 2].blank_commands;
    return job.paper_height;
}

size_t page_image_count(const StreamJob& job, bool reading_order) {
    size_t n = job.pages.size();
    if (reading_order && job.duplex != Duplex::None && n >= 2 && n % 2 == 0 &&
        is_completing_page(job, n - 2))
        n--;
    return n;
}

// Calls line(bytes) for every line the page sent, blank ones with nullptr,
// reading the stream decode_stream() accepted from the page's begin-page on.
template <typename LineFn>
static bool for_each_line(const uint8_t* data, size_t size, const StreamPage& p, LineFn line) {
    std::vector<uint8_t> bytes;
    std::string message;
    size_t pos = p.offset + sizeof(kBeginPage);
    while (pos < p.end_offset && p.end_offset <= size) {
        if (data[pos + 2] == kBlankLine[2]) {
            line(nullptr);
            pos += sizeof(kBlankLine);
            continue;
        }
        size_t n = le16(data + pos + 4);
        if (pos + 6 + n > size || !unpack_line(data + pos + 6, n, bytes, message))
            return false;
        line(bytes.data());
        pos += 6 + n;
    }
    return pos == p.end_offset;
}

// Image `n`'s stream page and size, without its pixels.
static PageImage image_frame(const StreamJob& job, size_t n, bool reading_order,
                             unsigned page_height) {
    bool sheets = reading_order && job.duplex != Duplex::None;
    // Sheets arrive even page first.
    size_t i = n;
    if (sheets && n + 1 < job.pages.size())
        i = n % 2 == 0 ? n + 1 : n - 1;
    else if (sheets && n % 2 == 1)
        i = n - 1;
    if (page_height == 0)
        page_height = default_page_height(job);
    const StreamPage& p = job.pages[i];
    PageImage img;
    img.stream_index = i;
    img.width_bytes = p.width_bytes ? p.width_bytes : (job.paper_width + 7) / 8;
    img.height = std::max(page_height, p.lines_sent);
    return img;
}

uint64_t page_images_bytes(const StreamJob& job, bool reading_order, unsigned page_height) {
    uint64_t total = 0;
    for (size_t n = 0; n < page_image_count(job, reading_order); n++) {
        PageImage img = image_frame(job, n, reading_order, page_height);
        total += static_cast<uint64_t>(img.width_bytes) * img.height;
    }
    return total;
}

PageImage page_image(const StreamJob& job, size_t n, bool reading_order, unsigned page_height,
                     const uint8_t* data, size_t size) {
    bool sheets = reading_order && job.duplex != Duplex::None;
    PageImage img = image_frame(job, n, reading_order, page_height);
    const StreamPage& p = job.pages[img.stream_index];
    img.pixels.assign(static_cast<size_t>(img.width_bytes) * img.height, 0);
    if (p.width_bytes && !p.pixels.empty()) {
        for (unsigned y = 0; y < p.lines_sent; y++)
            memcpy(&img.pixels[static_cast<size_t>(y) * img.width_bytes],
                   &p.pixels[static_cast<size_t>(y) * p.width_bytes], p.width_bytes);
    } else if (p.width_bytes && data) {
        uint8_t* at = img.pixels.data();
        for_each_line(data, size, p, [&](const uint8_t* line) {
            if (line)
                memcpy(at, line, p.width_bytes);
            at += img.width_bytes;
        });
    }
    if (sheets && job.duplex == Duplex::LongEdge && n % 2 == 1) {
        std::reverse(img.pixels.begin(), img.pixels.end());
        for (uint8_t& b : img.pixels)
            b = reverse_bits(b);
    }
    return img;
}

std::vector<PageImage> page_images(const StreamJob& job, bool reading_order, unsigned page_height) {
    std::vector<PageImage> images;
    for (size_t n = 0; n < page_image_count(job, reading_order); n++)
        images.push_back(page_image(job, n, reading_order, page_height));
    return images;
}

const char* density_name(int code) {
    static const char* const names[] = {"Dark", "MediumDark", "Medium", "MediumLight", "Light"};
    return code >= 0 && code <= 4 ? names[code] : "?";
}

const char* weight_name(int code) {
    switch (code) {
        case 0:
            return "VeryHeavy";
        case 2:
            return "MediumHeavy";
        case 3:
            return "Medium";
        default:
            return "?";
    }
}

const char* duplex_name(Duplex d) {
    switch (d) {
        case Duplex::LongEdge:
            return "long edge (DuplexNoTumble)";
        case Duplex::ShortEdge:
            return "short edge (DuplexTumble)";
        default:
            return "one-sided (None)";
    }
}

}  // namespace tarnwel

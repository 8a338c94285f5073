// SPDX-License-Identifier: Apache-2.0
// Writes what this build makes of the fuzz seeds, so that builds for
// different CPUs can be compared byte for byte (scripts/cross-test.sh):
//
//   seed_outputs SEEDS OUT
//
// SEEDS is a folder that make_seeds filled. OUT gets, for every raster line
// of SEEDS/encoder, its compressed and its mirrored form; for every printer
// stream of SEEDS/decoder (what the filter made of the job seeds), the
// decoder's reading of it: settings, line counts and the pixels of every
// page; and the compressed forms of lines of many shapes from a fixed
// pseudo-random sequence, which take every path through the encoder. It needs
// no libcups, so that it runs on a big-endian build too.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tarnwel_job.h"
#include "tarnwel_packbits.h"
#include "tarnwel_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes read_all(const std::string& path) {
    Bytes data;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        perror(path.c_str());
        exit(1);
    }
    uint8_t buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof(buf), f)) > 0;)
        data.insert(data.end(), buf, buf + n);
    fclose(f);
    return data;
}

void write_all(const std::string& path, const Bytes& data) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f || fwrite(data.data(), 1, data.size(), f) != data.size() || fclose(f) != 0) {
        perror(path.c_str());
        exit(1);
    }
}

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) {
        perror(dir.c_str());
        exit(1);
    }
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    closedir(d);
    return names;
}

void append_text(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
}

// Settings, counts and pixels of every page, as text lines and raw bytes.
Bytes reading_of(const Bytes& stream) {
    tarnwel::StreamJob job;
    tarnwel::StreamError error;
    Bytes out;
    if (!tarnwel::decode_stream(stream.data(), stream.size(), job, error)) {
        append_text(out,
                    "refused at " + std::to_string(error.offset) + ": " + error.message + "\n");
        return out;
    }
    append_text(out, std::string("density ") + tarnwel::density_name(job.density) + ", weight " +
                         tarnwel::weight_name(job.paper_weight) + ", paper " +
                         std::to_string(job.paper_width) + "x" + std::to_string(job.paper_height) +
                         ", copies " + std::to_string(job.copies) + ", duplex " +
                         tarnwel::duplex_name(job.duplex) + "\n");
    for (const tarnwel::StreamPage& p : job.pages) {
        append_text(out, "page at " + std::to_string(p.offset) + ": " +
                             std::to_string(p.lines_sent) + " lines, " +
                             std::to_string(p.ink_lines) + " with ink, " +
                             std::to_string(p.width_bytes) + " bytes wide\n");
        out.insert(out.end(), p.pixels.begin(), p.pixels.end());
    }
    return out;
}

// A small generator of its own, so that every CPU and library draws the same
// numbers.
struct XorShift {
    uint64_t s = 0x9E3779B97F4A7C15ull;
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<uint32_t>(s >> 16);
    }
};

Bytes shaped_lines_packed() {
    XorShift rng;
    Bytes out;
    Bytes packed;
    for (int i = 0; i < 2000; i++) {
        Bytes line(rng.next() % (i < 1000 ? 300 : 9000));
        int style = i % 5;
        for (size_t x = 0; x < line.size(); x++) {
            uint32_t r = rng.next();
            line[x] = static_cast<uint8_t>(style == 0   ? r
                                           : style == 1 ? r % 3
                                           : style == 2 ? (r % 6 ? 0 : r | 0x18)
                                           : style == 3 ? (r % 90 ? (x / 100 % 2 ? 0xFF : 0) : r)
                                                        : (x % 128 < 127 ? 0x5A : r));
        }
        packed.resize(tarnwel::packbits_room(line.size()));
        packed.resize(Tarnwel_Job::compress_curr_line(line.data(), line.size(), packed.data()));
        out.insert(out.end(), packed.begin(), packed.end());
        Tarnwel_Job::imgline_mirror_reverse(line.data(), line.size());
        out.insert(out.end(), line.begin(), line.end());
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: seed_outputs SEEDS OUT\n");
        return 2;
    }
    std::string seeds = argv[1], out = argv[2];
    for (const char* sub : {"", "/encoder", "/decoder"})
        mkdir((out + sub).c_str(), 0755);

    for (const std::string& name : files_in(seeds + "/encoder")) {
        Bytes line = read_all(seeds + "/encoder/" + name);
        Bytes packed(tarnwel::packbits_room(line.size()));
        packed.resize(Tarnwel_Job::compress_curr_line(line.data(), line.size(), packed.data()));
        write_all(out + "/encoder/" + name + ".packed", packed);
        Tarnwel_Job::imgline_mirror_reverse(line.data(), line.size());
        write_all(out + "/encoder/" + name + ".mirrored", line);
    }
    for (const std::string& name : files_in(seeds + "/decoder"))
        write_all(out + "/decoder/" + name + ".reading",
                  reading_of(read_all(seeds + "/decoder/" + name)));
    write_all(out + "/shaped-lines", shaped_lines_packed());
    return 0;
}

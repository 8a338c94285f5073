// SPDX-License-Identifier: Apache-2.0
// Every encoder path this build has and this CPU runs, held against the
// portable one byte for byte. The unit tests, the encoder's fuzz target and
// the checks on 32-bit x86 and on emulated CPUs all use it, so that a fault
// in a vector path the machine runs fails them, whichever machine it is.
#ifndef TARNWEL_ENCODER_PATHS_H
#define TARNWEL_ENCODER_PATHS_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tarnwel_packbits.h"

namespace encoder_paths {

constexpr tarnwel::PackBitsPath kEveryPath[] = {
    tarnwel::PackBitsPath::Portable, tarnwel::PackBitsPath::Sse2, tarnwel::PackBitsPath::Avx2,
    tarnwel::PackBitsPath::Avx512};

inline std::vector<tarnwel::PackBitsPath> available() {
    std::vector<tarnwel::PackBitsPath> paths;
    for (tarnwel::PackBitsPath p : kEveryPath)
        if (tarnwel::packbits_path_available(p))
            paths.push_back(p);
    return paths;
}

// "portable sse2 avx2": the paths that run here.
inline std::string available_names() {
    std::string names;
    for (tarnwel::PackBitsPath p : available())
        names += (names.empty() ? "" : " ") + std::string(tarnwel::packbits_path_name(p));
    return names;
}

// The names in `required` (separated by spaces, as in the variable
// TARNWEL_REQUIRE_ENCODER_PATHS) that do not run here; a name that is no
// path is reported too. Empty when all of them run.
inline std::string missing(const char* required) {
    std::istringstream words(required ? required : "");
    std::string word, out;
    while (words >> word) {
        bool runs = false;
        for (tarnwel::PackBitsPath p : available())
            runs = runs || word == tarnwel::packbits_path_name(p);
        if (!runs)
            out += (out.empty() ? "" : " ") + word;
    }
    return out;
}

// The compressed line through one path, into exactly the room the encoder
// asks for, so that a write past it is a sanitizer's finding.
inline std::vector<uint8_t> compress_with(tarnwel::PackBitsPath path, const uint8_t* line,
                                          size_t n) {
    std::vector<uint8_t> out(tarnwel::packbits_room(n));
    out.resize(tarnwel::packbits_complement_with(path, line, n, out.data()));
    return out;
}

// Empty when every path gives the portable path's bytes for the n bytes at
// `line`, and its answer to whether the line is blank; else the first
// difference, in words.
inline std::string compare(const uint8_t* line, size_t n) {
    const std::vector<uint8_t> want = compress_with(tarnwel::PackBitsPath::Portable, line, n);
    const bool blank = tarnwel::all_zero_with(tarnwel::PackBitsPath::Portable, line, n);
    for (tarnwel::PackBitsPath p : available()) {
        if (p == tarnwel::PackBitsPath::Portable)
            continue;
        std::vector<uint8_t> got = compress_with(p, line, n);
        std::ostringstream why;
        if (got != want) {
            size_t at = 0;
            while (at < got.size() && at < want.size() && got[at] == want[at])
                at++;
            why << tarnwel::packbits_path_name(p) << " path: a line of " << n
                << " bytes compresses to " << got.size() << " bytes, the portable path's to "
                << want.size() << "; they differ first at byte " << at;
            return why.str();
        }
        if (tarnwel::all_zero_with(p, line, n) != blank) {
            why << tarnwel::packbits_path_name(p) << " path: a line of " << n << " bytes is "
                << (blank ? "" : "not ") << "blank, it says the opposite";
            return why.str();
        }
    }
    return "";
}

// A line of the shapes the paths treat differently: runs and literals on
// both sides of 16, 64 and 127 bytes, text-like bursts, sparse ink, lines
// longer than the widest page (the encoder's heap mask), in pieces.
inline std::vector<uint8_t> random_line(std::mt19937& rng) {
    static const size_t kEdges[] = {1,  2,  3,  15, 16,  17,  31,  32,  33,  62,  63, 64,
                                    65, 79, 80, 81, 126, 127, 128, 129, 254, 255, 256};
    size_t roll = rng() % 100;
    size_t length = roll < 70 ? rng() % 400 : roll < 97 ? rng() % 3000 : 8190 + rng() % 300;
    std::vector<uint8_t> line;
    line.reserve(length);
    while (line.size() < length) {
        size_t piece =
            rng() % 2 ? kEdges[rng() % (sizeof(kEdges) / sizeof(kEdges[0]))] : 1 + rng() % 40;
        piece = std::min(piece, length - line.size());
        uint8_t value = static_cast<uint8_t>(rng() % 3 ? rng() : 0);
        switch (rng() % 5) {
            case 0:  // a run, maybe of the byte before it
                if (!line.empty() && rng() % 4 == 0)
                    value = line.back();
                line.insert(line.end(), piece, value);
                break;
            case 1:  // a literal
                for (size_t i = 0; i < piece; i++)
                    line.push_back(static_cast<uint8_t>(rng()));
                break;
            case 2:  // pairs, each its own run
                for (size_t i = 0; i < piece; i++)
                    line.push_back(static_cast<uint8_t>(value + i / 2));
                break;
            case 3:  // sparse ink on white
                for (size_t i = 0; i < piece; i++)
                    line.push_back(rng() % 9 ? 0 : static_cast<uint8_t>(1u << (rng() % 8)));
                break;
            default:  // few values: short runs and literals mixed
                for (size_t i = 0; i < piece; i++)
                    line.push_back(static_cast<uint8_t>(rng() % 3));
        }
    }
    return line;
}

// Compares `lines` random lines, each at a random offset from an aligned
// buffer; returns the first difference, or empty.
inline std::string compare_random_lines(unsigned seed, int lines) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> buffer;
    for (int i = 0; i < lines; i++) {
        std::vector<uint8_t> line = random_line(rng);
        size_t offset = rng() % 64;
        buffer.assign(offset + line.size(), 0xEE);
        if (!line.empty())
            memcpy(buffer.data() + offset, line.data(), line.size());
        std::string why = compare(buffer.data() + offset, line.size());
        if (!why.empty())
            return "random line " + std::to_string(i) + " (seed " + std::to_string(seed) +
                   "): " + why;
    }
    return "";
}

}  // namespace encoder_paths

#endif

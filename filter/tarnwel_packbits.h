// SPDX-License-Identifier: Apache-2.0
// The line encoder's core: PackBits with every data byte complemented, as
// the printer takes its raster lines. The same bytes come out on every CPU;
// what differs is how the equal neighbours of a line are found and its
// chunks written: SSE2, AVX2 or AVX-512 where an x86 CPU has them, 64-bit
// words everywhere else.
#ifndef TARNWEL_PACKBITS_H
#define TARNWEL_PACKBITS_H

#include <cstddef>
#include <cstdint>

namespace tarnwel {

enum class PackBitsPath {
    Portable,  // 64-bit words, any CPU, either byte order
    Sse2,      // 16 bytes at a time
    Avx2,      // 32 bytes at a time, where the CPU has AVX2
    Avx512,    // 64 bytes, and whole windows of chunks written at once (AVX-512 VBMI2)
};

// Whether this build and this CPU can run `path`.
bool packbits_path_available(PackBitsPath path);
// The path packbits_complement takes: the widest one available.
PackBitsPath packbits_best_path();
const char* packbits_path_name(PackBitsPath path);

// Bytes the output of an n-byte line may need: the compressed line (at most
// 2 bytes per input byte) and room for one 64-byte store past its end.
constexpr size_t packbits_room(size_t n) {
    return 2 * n + 2 + 64;
}

// Writes the compressed, complemented form of the n bytes at `in` to `out`
// (packbits_room(n) bytes of room) and returns its length. Runs and literals
// hold at most 127 bytes, a literal stops before a pair of equal bytes and
// never takes in the line's last byte.
size_t packbits_complement(const uint8_t* in, size_t n, uint8_t* out);
// The same through the given path (one that is available).
size_t packbits_complement_with(PackBitsPath path, const uint8_t* in, size_t n, uint8_t* out);

// Whether all n bytes at `p` are zero: a blank raster line, which most lines
// of a text page are, and which is read to its end to know it.
bool all_zero(const uint8_t* p, size_t n);
// The same through the given path (one that is available; AVX2 takes SSE2's).
bool all_zero_with(PackBitsPath path, const uint8_t* p, size_t n);

}  // namespace tarnwel

#endif

// SPDX-License-Identifier: Apache-2.0
#include "tarnwel_packbits.h"

#include <algorithm>
#include <cstring>
#include <vector>

// TARNWEL_NO_SIMD (the CMake option TARNWEL_SIMD=OFF) leaves the vector code
// out, so that the portable path can be measured on an x86 machine.
//
// SSE2 is used where the build may take it for granted (every x86-64 CPU,
// 32-bit builds with -msse2). AVX2 and AVX-512 are chosen at run time, so
// they are compiled for any x86 target that has a GCC-style target
// attribute; AVX-512 only on x86-64, where its 64-bit bit deposit exists.
#if !defined(TARNWEL_NO_SIMD)
#if defined(__SSE2__)
#define TARNWEL_HAVE_SSE2 1
#include <emmintrin.h>
#endif
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define TARNWEL_HAVE_AVX2 1
#include <immintrin.h>
#if defined(__x86_64__)
#define TARNWEL_HAVE_AVX512 1
#endif
#endif
#endif

namespace tarnwel {
namespace {

constexpr size_t kMaxChunk = 127;  // the printer takes runs and literals of at most 127 bytes
constexpr size_t kStackWords = 8192 / 64 + 2;  // the mask of the widest line the printer takes
constexpr bool kLittleEndianHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

inline void store64(uint8_t* p, uint64_t v) {
    memcpy(p, &v, sizeof(v));
}

// Eight bytes as a word with the first byte lowest, on either byte order.
inline uint64_t load_le64(const uint8_t* p) {
    uint64_t v = load64(p);
    return kLittleEndianHost ? v : __builtin_bswap64(v);
}

// ---------------------------------------------------------------------------
// The equal-neighbour mask: bit i (of word i / 64) is set when byte i equals
// byte i + 1. Bits from n - 1 on are clear, and every word the line covers
// is written whole. Runs and literals are then found with bit operations
// instead of byte compares.
// ---------------------------------------------------------------------------
using MaskFn = void (*)(const uint8_t* b, size_t n, uint64_t* mask);

// The line's last, partial word: its bytes are copied into a zeroed block
// so that the word routine can read a whole word and one byte more; the
// bits from n - 1 on are then cleared.
template <typename WordFn>
inline void mask_last_word(const uint8_t* b, size_t n, size_t from, uint64_t* mask, WordFn word) {
    if (from >= n)
        return;
    uint8_t block[64 + 32] = {};
    size_t len = n - from;  // 1 to 64
    memcpy(block, b + from, len);
    uint64_t bits = word(block);
    mask[from / 64] = bits & ((uint64_t{1} << (len - 1)) - 1);
}

// The compares of a word's 64 neighbours as bytes of 0 or 1, a loop that
// compilers vectorise for any target; a multiply then gathers eight of them
// into eight bits.
inline uint64_t mask_word_portable(const uint8_t* b) {
    constexpr uint64_t kGather = 0x0102040810204080ull;
    uint8_t equal[64];
    for (size_t j = 0; j < 64; j++)
        equal[j] = b[j] == b[j + 1];
    uint64_t word = 0;
    for (size_t j = 0; j < 64; j += 8)
        word |= ((load_le64(equal + j) * kGather) >> 56) << j;
    return word;
}

void mask_portable(const uint8_t* b, size_t n, uint64_t* mask) {
    size_t i = 0;
    for (; i + 64 < n; i += 64)
        mask[i / 64] = mask_word_portable(b + i);
    mask_last_word(b, n, i, mask, mask_word_portable);
}

#ifdef TARNWEL_HAVE_SSE2
inline uint64_t mask_word_sse2(const uint8_t* b) {
    uint64_t word = 0;
    for (size_t j = 0; j < 64; j += 16) {
        __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + j));
        __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + j + 1));
        word |= static_cast<uint64_t>(
                    static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, next))))
                << j;
    }
    return word;
}

void mask_sse2(const uint8_t* b, size_t n, uint64_t* mask) {
    size_t i = 0;
    for (; i + 64 < n; i += 64)
        mask[i / 64] = mask_word_sse2(b + i);
    mask_last_word(b, n, i, mask, mask_word_sse2);
}
#endif

#ifdef TARNWEL_HAVE_AVX2
__attribute__((target("avx2"))) inline uint64_t mask_word_avx2(const uint8_t* b) {
    const __m256i* at = reinterpret_cast<const __m256i*>(b);
    const __m256i* next = reinterpret_cast<const __m256i*>(b + 1);
    uint32_t lo = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(at), _mm256_loadu_si256(next))));
    uint32_t hi = static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_cmpeq_epi8(_mm256_loadu_si256(at + 1), _mm256_loadu_si256(next + 1))));
    return lo | static_cast<uint64_t>(hi) << 32;
}

__attribute__((target("avx2"))) void mask_avx2(const uint8_t* b, size_t n, uint64_t* mask) {
    size_t i = 0;
    for (; i + 64 < n; i += 64)
        mask[i / 64] = mask_word_avx2(b + i);
    mask_last_word(b, n, i, mask, mask_word_avx2);
}
#endif

// Consecutive set bits from bit p on, at most `most`. The mask's bit n - 1 is
// clear, so the scan ends inside the line.
inline size_t ones_from(const uint64_t* m, size_t p, size_t most) {
    size_t count = 0;
    for (;;) {
        size_t avail = 64 - (p % 64);
        uint64_t zeros = ~(m[p / 64] >> (p % 64));
        size_t run = zeros ? static_cast<size_t>(__builtin_ctzll(zeros)) : 64;
        if (run < avail)
            return std::min(count + run, most);
        count += avail;
        p += avail;
        if (count >= most)
            return most;
    }
}

// First set bit in [from, limit), or `limit`.
inline size_t next_set(const uint64_t* m, size_t from, size_t limit) {
    size_t p = from;
    while (p < limit) {
        uint64_t w = m[p / 64] >> (p % 64);
        if (w)
            return std::min(p + static_cast<size_t>(__builtin_ctzll(w)), limit);
        p = (p | 63) + 1;
    }
    return limit;
}

// ---------------------------------------------------------------------------
// Copying complemented bytes
// ---------------------------------------------------------------------------
template <bool kSse2>
inline void copy16_complement(uint8_t* out, const uint8_t* in) {
#ifdef TARNWEL_HAVE_SSE2
    if constexpr (kSse2) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         _mm_xor_si128(v, _mm_set1_epi8(static_cast<char>(0xFF))));
        return;
    }
#endif
    store64(out, ~load64(in));
    store64(out + 8, ~load64(in + 8));
}

// Exactly `count` bytes, for the end of a line.
inline void copy_complement(uint8_t* out, const uint8_t* in, size_t count) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8)
        store64(out + i, ~load64(in + i));
    for (; i < count; i++)
        out[i] = static_cast<uint8_t>(~in[i]);
}

// The rest of a literal of more than 16 bytes whose first 16 are copied;
// the last block overlaps the one before instead of going past the literal.
template <bool kSse2>
inline void copy_literal_rest(uint8_t* out, const uint8_t* in, size_t count) {
    size_t i = 16;
    for (; i + 16 <= count; i += 16)
        copy16_complement<kSse2>(out + i, in + i);
    if (i < count)
        copy16_complement<kSse2>(out + count - 16, in + count - 16);
}

// Writes one chunk (control byte, then one complemented byte for a run or
// `count` for a literal) and returns the output's new end.
template <bool kSse2>
inline uint8_t* put_chunk(uint8_t* out, const uint8_t* in, size_t at, size_t n, size_t count,
                          bool run) {
    size_t runMask = run ? ~size_t{0} : 0;
    size_t literalTail = (count - 1) & ~runMask;  // bytes after the first: 0 for a run
    out[0] = static_cast<uint8_t>(((count - 1) ^ runMask) - runMask);  // count - 1 or 1 - count
    // A run's byte is the first byte of the literal copy.
    if (__builtin_expect(at + 16 <= n, 1))
        copy16_complement<kSse2>(out + 1, in + at);
    else
        copy_complement(out + 1, in + at, n - at);
    if (literalTail >= 16)
        copy_literal_rest<kSse2>(out + 1, in + at, count);
    return out + 2 + literalTail;
}

// Control byte and output length of a chunk of fewer than 64 bytes, by
// count + 64 for a run: a table read instead of the arithmetic on the
// kind, for the many short chunks of text.
struct ChunkHead {
    uint8_t control = 0;
    uint8_t length = 0;
};
struct ChunkHeads {
    ChunkHead entry[128];
    constexpr ChunkHeads() : entry() {
        for (unsigned count = 1; count < 64; count++) {
            entry[count] = {static_cast<uint8_t>(count - 1), static_cast<uint8_t>(count + 1)};
            entry[64 + count] = {static_cast<uint8_t>(1 - count), 2};
        }
    }
};
constexpr ChunkHeads kChunkHeads;

// A chunk of fewer than 64 bytes whose first 16 bytes are in the line.
template <bool kSse2>
inline uint8_t* put_short_chunk(uint8_t* out, const uint8_t* at, size_t count, size_t run) {
    ChunkHead head = kChunkHeads.entry[count | run << 6];
    out[0] = head.control;
    copy16_complement<kSse2>(out + 1, at);
    if (head.length > 17)
        copy_literal_rest<kSse2>(out + 1, at, count);
    return out + head.length;
}

// The chunks of a window that end inside it, one at a time: `rest` holds
// their ends (the starts after bit 0); returns the output's new end and the
// last start in `last`.
struct ChunkByChunk {
    template <bool kSse2>
    static inline uint8_t* put(uint8_t* out, const uint8_t* window, uint64_t e, uint64_t starts,
                               uint64_t rest, size_t& last) {
        uint64_t runStarts = e & starts;
        size_t a = 0;
        do {
            size_t b = static_cast<size_t>(__builtin_ctzll(rest));
            out = put_short_chunk<kSse2>(out, window + a, b - a, (runStarts >> a) & 1);
            a = b;
            rest &= rest - 1;
        } while (rest);
        last = a;
        return out;
    }
};

// The chunks follow from the equal-neighbour mask E alone as long as none
// is longer than 63 bytes: a run starts where a block of set bits of E
// starts and takes in the byte after the block; a literal is a block of
// bytes whose own bit and the one before are both clear; the line's last
// byte, when it is not the end of a run, goes on its own. So the chunk
// starts of 64 positions are computed at once and walked with bit scans,
// which keeps the lines of text (short runs and literals at random) free of
// branches on the kind of chunk. A chunk of 64 bytes or more, where the
// 127-byte limit may cut it, is measured by scanning the mask.
template <bool kSse2, MaskFn build_mask, typename Window>
__attribute__((always_inline)) inline size_t encode_line(const uint8_t* in, size_t n,
                                                         uint8_t* out0) {
    if (n == 0)
        return 0;
    uint64_t stackMask[kStackWords];
    std::vector<uint64_t> heapMask;
    uint64_t* mask = stackMask;
    size_t words = (n + 63) / 64 + 1;  // one more, so that a window can read past the line
    if (words > kStackWords) {
        heapMask.resize(words);
        mask = heapMask.data();
    }
    build_mask(in, n, mask);
    mask[words - 1] = 0;

    uint8_t* out = out0;
    size_t p = 0;  // always the start of a chunk
    while (p < n) {
        size_t k = p / 64, shift = p % 64;
        uint64_t e = (mask[k] >> shift) | ((mask[k + 1] << 1) << (63 - shift));
        // Bit 0 is a chunk start whatever came before: E's bit before it
        // counts as clear.
        uint64_t lit = ~e & ~(e << 1);
        uint64_t starts = (e & ~(e << 1)) | (lit & ~(lit << 1));
        size_t rem = n - p;
        if (rem <= 64) {
            uint64_t last = uint64_t{1} << (rem - 1);
            starts &= last | (last - 1);
            starts |= lit & last;  // a literal never takes in the last byte
            if (rem < 64)
                starts |= last << 1;  // the end of the line ends the last chunk
        }
        uint64_t rest = starts & (starts - 1);
        if (rest == 0) {
            bool run = e & 1;
            size_t count = run ? ones_from(mask, p, kMaxChunk - 1) + 1
                               : next_set(mask, p + 1, std::min(n - 1, p + kMaxChunk)) - p;
            out = put_chunk<kSse2>(out, in, p, n, count, run);
            p += count;
            continue;
        }
        // The chunks that end inside the window; the last start becomes the
        // next window's first.
        size_t a = 0;
        if (__builtin_expect(p + 64 + 16 <= n, 1)) {
            out = Window::template put<kSse2>(out, in + p, e, starts, rest, a);
        } else {
            uint64_t runStarts = e & starts;
            uint64_t at = 1;  // the current chunk's start, as a bit
            do {
                size_t b = static_cast<size_t>(__builtin_ctzll(rest));
                out = put_chunk<kSse2>(out, in, p + a, n, b - a, runStarts & at);
                a = b;
                at = rest & (0 - rest);
                rest ^= at;
            } while (rest);
        }
        p += a;
    }
    return static_cast<size_t>(out - out0);
}

#ifdef TARNWEL_HAVE_AVX2
// The whole line loop compiled for these CPUs, whose bit instructions (BMI)
// shorten the chunk walk.
__attribute__((target("avx2,bmi,bmi2"))) size_t encode_line_avx2(const uint8_t* in, size_t n,
                                                                 uint8_t* out) {
    return encode_line<true, mask_avx2, ChunkByChunk>(in, n, out);
}

bool cpu_has_avx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
               __builtin_cpu_supports("bmi2");
    }();
    return has;
}
#endif

#ifdef TARNWEL_HAVE_AVX512
#define TARNWEL_AVX512 \
    __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,avx2,bmi,bmi2,popcnt")))

TARNWEL_AVX512 inline uint64_t mask_word_avx512(const uint8_t* b) {
    return _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(b), _mm512_loadu_si512(b + 1));
}

TARNWEL_AVX512 void mask_avx512(const uint8_t* b, size_t n, uint64_t* mask) {
    size_t i = 0;
    for (; i + 64 < n; i += 64)
        mask[i / 64] = mask_word_avx512(b + i);
    mask_last_word(b, n, i, mask, mask_word_avx512);
}

// Byte tables of the window code: positions, the lane after each lane,
// where slot 2i of an interleaved window holds the control byte of a chunk
// starting at byte i and slot 2i + 1 the complement of byte i, and the
// control bytes of chunks of fewer than 64 bytes by count (+ 64 for a run).
struct WindowTables {
    uint8_t position[64], nextLane[64], interleaveLow[64], interleaveHigh[64];
    uint8_t literalControl[64], runControl[64];
    constexpr WindowTables()
        : position(),
          nextLane(),
          interleaveLow(),
          interleaveHigh(),
          literalControl(),
          runControl() {
        for (unsigned j = 0; j < 64; j++) {
            position[j] = static_cast<uint8_t>(j);
            nextLane[j] = static_cast<uint8_t>(j < 63 ? j + 1 : 63);
            interleaveLow[j] = static_cast<uint8_t>(j % 2 ? 64 + j / 2 : j / 2);
            interleaveHigh[j] = static_cast<uint8_t>(interleaveLow[j] + 32);
            literalControl[j] = static_cast<uint8_t>(j - 1);
            runControl[j] = static_cast<uint8_t>(1 - j);
        }
    }
};
constexpr WindowTables kWindow;

TARNWEL_AVX512 inline __m512i load_table(const uint8_t* table) {
    return _mm512_loadu_si512(table);
}

// A whole window at once, without a step per chunk: the chunk starts are
// gathered into lanes, each chunk's length is the next start minus its own,
// its control byte a table lookup, and the control bytes go back to their
// starts. Every byte of the window is then put beside its control byte, and
// one compress instruction per half keeps what the printer gets: the control
// byte of each chunk, the first byte of a run, every byte of a literal.
struct WindowAtOnce {
    template <bool kSse2>
    TARNWEL_AVX512 static inline uint8_t* put(uint8_t* out, const uint8_t* window, uint64_t e,
                                              uint64_t starts, uint64_t rest, size_t& last) {
        (void)rest;
        size_t a = 63 - static_cast<size_t>(__builtin_clzll(starts));  // the last start, >= 1
        last = a;
        __m512i at = _mm512_maskz_compress_epi8(starts, load_table(kWindow.position));
        __m512i next =
            _mm512_maskz_permutexvar_epi8(~uint64_t{0}, load_table(kWindow.nextLane), at);
        __m512i runBit = _mm512_maskz_compress_epi8(starts, _mm512_maskz_set1_epi8(e, 64));
        __m512i index = _mm512_or_si512(_mm512_sub_epi8(next, at), runBit);
        __m512i heads = _mm512_permutex2var_epi8(load_table(kWindow.literalControl), index,
                                                 load_table(kWindow.runControl));
        __m512i control = _mm512_maskz_expand_epi8(starts, heads);

        uint64_t before = (uint64_t{1} << a) - 1;  // the chunks that end in the window
        uint64_t keepControl = starts & before;
        uint64_t keepData = ((e & starts) | (~e & ~(e << 1))) & before;
        __m512i data = _mm512_xor_si512(_mm512_loadu_si512(window), _mm512_set1_epi8(-1));
        __m512i low = _mm512_permutex2var_epi8(control, load_table(kWindow.interleaveLow), data);
        __m512i high = _mm512_permutex2var_epi8(control, load_table(kWindow.interleaveHigh), data);
        constexpr uint64_t kEven = 0x5555555555555555ull, kOdd = ~kEven;
        uint64_t keepLow = _pdep_u64(keepControl, kEven) | _pdep_u64(keepData, kOdd);
        uint64_t keepHigh = _pdep_u64(keepControl >> 32, kEven) | _pdep_u64(keepData >> 32, kOdd);
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keepLow, low));
        out += __builtin_popcountll(keepLow);
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keepHigh, high));
        return out + __builtin_popcountll(keepHigh);
    }
};

TARNWEL_AVX512 size_t encode_line_avx512(const uint8_t* in, size_t n, uint8_t* out) {
    return encode_line<true, mask_avx512, WindowAtOnce>(in, n, out);
}

bool cpu_has_avx512() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
               __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
               __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
    }();
    return has;
}
#endif

bool all_zero_portable(const uint8_t* p, size_t n) {
    size_t i = 0;
    uint64_t acc = 0;
    for (; i + 64 <= n; i += 64) {
        for (size_t j = 0; j < 64; j += 8)
            acc |= load64(p + i + j);
        if (acc)
            return false;
    }
    for (; i + 8 <= n; i += 8)
        acc |= load64(p + i);
    for (; i < n; i++)
        acc |= p[i];
    return acc == 0;
}

#ifdef TARNWEL_HAVE_SSE2
bool all_zero_sse2(const uint8_t* p, size_t n) {
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        const __m128i* at = reinterpret_cast<const __m128i*>(p + i);
        __m128i acc = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(at), _mm_loadu_si128(at + 1)),
                                   _mm_or_si128(_mm_loadu_si128(at + 2), _mm_loadu_si128(at + 3)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(acc, _mm_setzero_si128())) != 0xFFFF)
            return false;
    }
    return all_zero_portable(p + i, n - i);
}
#endif

#ifdef TARNWEL_HAVE_AVX512
TARNWEL_AVX512 bool all_zero_avx512(const uint8_t* p, size_t n) {
    size_t i = 0;
    for (; i + 256 <= n; i += 256) {
        __m512i acc = _mm512_or_si512(
            _mm512_or_si512(_mm512_loadu_si512(p + i), _mm512_loadu_si512(p + i + 64)),
            _mm512_or_si512(_mm512_loadu_si512(p + i + 128), _mm512_loadu_si512(p + i + 192)));
        if (_mm512_test_epi8_mask(acc, acc))
            return false;
    }
    for (; i + 64 <= n; i += 64) {
        __m512i v = _mm512_loadu_si512(p + i);
        if (_mm512_test_epi8_mask(v, v))
            return false;
    }
    return all_zero_portable(p + i, n - i);
}
#endif

}  // namespace

bool all_zero_with(PackBitsPath path, const uint8_t* p, size_t n) {
    switch (path) {
#ifdef TARNWEL_HAVE_AVX512
        case PackBitsPath::Avx512:
            if (cpu_has_avx512())
                return all_zero_avx512(p, n);
            [[fallthrough]];
#endif
#ifdef TARNWEL_HAVE_SSE2
        case PackBitsPath::Avx2:
        case PackBitsPath::Sse2:
            return all_zero_sse2(p, n);
#endif
        default:
            return all_zero_portable(p, n);
    }
}

bool all_zero(const uint8_t* p, size_t n) {
    static const PackBitsPath best = packbits_best_path();
    return all_zero_with(best, p, n);
}

bool packbits_path_available(PackBitsPath path) {
    switch (path) {
        case PackBitsPath::Portable:
            return true;
        case PackBitsPath::Sse2:
#ifdef TARNWEL_HAVE_SSE2
            return true;
#else
            return false;
#endif
        case PackBitsPath::Avx2:
#ifdef TARNWEL_HAVE_AVX2
            return cpu_has_avx2();
#else
            return false;
#endif
        case PackBitsPath::Avx512:
#ifdef TARNWEL_HAVE_AVX512
            return cpu_has_avx512();
#else
            return false;
#endif
    }
    return false;
}

PackBitsPath packbits_best_path() {
    for (PackBitsPath p : {PackBitsPath::Avx512, PackBitsPath::Avx2, PackBitsPath::Sse2})
        if (packbits_path_available(p))
            return p;
    return PackBitsPath::Portable;
}

const char* packbits_path_name(PackBitsPath path) {
    switch (path) {
        case PackBitsPath::Portable:
            return "portable";
        case PackBitsPath::Sse2:
            return "sse2";
        case PackBitsPath::Avx2:
            return "avx2";
        case PackBitsPath::Avx512:
            return "avx512";
    }
    return "?";
}

size_t packbits_complement_with(PackBitsPath path, const uint8_t* in, size_t n, uint8_t* out) {
    switch (path) {
#ifdef TARNWEL_HAVE_AVX512
        case PackBitsPath::Avx512:
            if (cpu_has_avx512())
                return encode_line_avx512(in, n, out);
            [[fallthrough]];
#endif
#ifdef TARNWEL_HAVE_AVX2
        case PackBitsPath::Avx2:
            if (cpu_has_avx2())
                return encode_line_avx2(in, n, out);
            [[fallthrough]];
#endif
#ifdef TARNWEL_HAVE_SSE2
        case PackBitsPath::Sse2:
            return encode_line<true, mask_sse2, ChunkByChunk>(in, n, out);
#endif
        default:
            return encode_line<false, mask_portable, ChunkByChunk>(in, n, out);
    }
}

size_t packbits_complement(const uint8_t* in, size_t n, uint8_t* out) {
    static const PackBitsPath best = packbits_best_path();
    return packbits_complement_with(best, in, n, out);
}

}  // namespace tarnwel

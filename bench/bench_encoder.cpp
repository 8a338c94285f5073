// SPDX-License-Identifier: Apache-2.0
// Throughput of the line encoder on lines that look like a 600 dpi page.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "tarnwel_job.h"
#include "tarnwel_packbits.h"

namespace {

constexpr size_t kLineBytes = 620;  // A4 at 600 dpi
constexpr int kLines = 1024;

enum Kind { kBlank, kText, kHalftone, kRuns };

// A block of lines of one kind.
std::vector<uint8_t> make_lines(Kind kind) {
    std::mt19937 rng(42);
    std::vector<uint8_t> lines(kLineBytes * kLines, 0);
    for (int y = 0; y < kLines; y++) {
        uint8_t* line = &lines[y * kLineBytes];
        switch (kind) {
            case kBlank:
                break;
            case kText:
                // Glyph strokes: short bursts of ink between wide white gaps.
                for (size_t x = 60; x + 8 < kLineBytes - 60; x += 4 + rng() % 10)
                    if (rng() % 3)
                        line[x] = static_cast<uint8_t>(rng() | 0x18);
                break;
            case kHalftone:
                for (size_t x = 0; x < kLineBytes; x++)
                    line[x] = static_cast<uint8_t>(rng());
                break;
            case kRuns: {
                uint8_t v = 0xFF;
                for (size_t x = 0; x < kLineBytes; x++) {
                    if (rng() % 90 == 0)
                        v = v ? 0x00 : 0xFF;
                    line[x] = v;
                }
                break;
            }
        }
    }
    return lines;
}

void BM_EncodeCurrLine(benchmark::State& state) {
    std::vector<uint8_t> lines = make_lines(static_cast<Kind>(state.range(0)));
    Tarnwel_Job job(nullptr);
    for (auto _ : state) {
        for (int y = 0; y < kLines; y++)
            job.encode_curr_line(&lines[y * kLineBytes], kLineBytes);
        job.m_cmdfunc.m_cmdlines.clear();
        job.m_cmdfunc.m_cmd_bytes = 0;
        job.m_feeds = 0;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kLines * kLineBytes);
}
BENCHMARK(BM_EncodeCurrLine)
    ->Arg(kBlank)
    ->Arg(kText)
    ->Arg(kHalftone)
    ->Arg(kRuns)
    ->ArgName("kind(0 blank,1 text,2 halftone,3 runs)");

// The compression alone through each path this build and CPU offer; blank
// lines are compressed too here (the job never sends them).
void BM_CompressPath(benchmark::State& state) {
    auto path = static_cast<tarnwel::PackBitsPath>(state.range(1));
    if (!tarnwel::packbits_path_available(path)) {
        state.SkipWithError("not available on this build or CPU");
        return;
    }
    state.SetLabel(tarnwel::packbits_path_name(path));
    std::vector<uint8_t> lines = make_lines(static_cast<Kind>(state.range(0)));
    std::vector<uint8_t> out(tarnwel::packbits_room(kLineBytes));
    for (auto _ : state) {
        for (int y = 0; y < kLines; y++)
            benchmark::DoNotOptimize(tarnwel::packbits_complement_with(path, &lines[y * kLineBytes],
                                                                       kLineBytes, out.data()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kLines * kLineBytes);
}
BENCHMARK(BM_CompressPath)
    ->ArgsProduct({{kText, kHalftone, kRuns},
                   {static_cast<int>(tarnwel::PackBitsPath::Portable),
                    static_cast<int>(tarnwel::PackBitsPath::Sse2),
                    static_cast<int>(tarnwel::PackBitsPath::Avx2),
                    static_cast<int>(tarnwel::PackBitsPath::Avx512)}})
    ->ArgNames({"kind", "path(0 portable,1 sse2,2 avx2,3 avx512)"});

}  // namespace

BENCHMARK_MAIN();

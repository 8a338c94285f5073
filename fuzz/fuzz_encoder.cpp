// SPDX-License-Identifier: Apache-2.0
// The line encoder alone: any line compresses to PackBits that a plain
// decoder turns back into the complemented line, in chunks of at most 127,
// and every vector path this CPU runs writes the portable path's bytes.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "encoder_paths.h"
#include "tarnwel_job.h"

// Says which paths a run compares: only those this CPU has.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fprintf(stderr, "encoder paths compared: %s\n", encoder_paths::available_names().c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> out =
        encoder_paths::compress_with(tarnwel::PackBitsPath::Portable, data, size);
    size_t i = 0, o = 0;
    while (i < out.size()) {
        int k = static_cast<int8_t>(out[i++]);
        if (k >= 0) {
            size_t count = static_cast<size_t>(k) + 1;
            if (count > 127 || i + count > out.size() || o + count > size)
                abort();
            for (size_t j = 0; j < count; j++)
                if (out[i + j] != static_cast<uint8_t>(~data[o + j]))
                    abort();
            i += count;
            o += count;
        } else {
            size_t count = static_cast<size_t>(1 - k);
            if (k < -126 || i >= out.size() || o + count > size)
                abort();
            for (size_t j = 0; j < count; j++)
                if (out[i] != static_cast<uint8_t>(~data[o + j]))
                    abort();
            i++;
            o += count;
        }
    }
    if (o != size)
        abort();
    std::string why = encoder_paths::compare(data, size);
    if (!why.empty()) {
        fprintf(stderr, "%s\n", why.c_str());
        abort();
    }
    // A line of ink is never blank, and a blank one is all zero.
    bool blank = Tarnwel_Job::line_bank(data, size);
    for (size_t j = 0; j < size; j++)
        if (data[j] && blank)
            abort();
    return 0;
}

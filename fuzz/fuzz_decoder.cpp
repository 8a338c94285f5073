// SPDX-License-Identifier: Apache-2.0
// The stream decoder's parser on arbitrary bytes: it accepts or refuses,
// never crashes, and what it accepts it can render.
#include <cstdlib>

#include "tarnwel_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tarnwel::StreamJob job;
    tarnwel::StreamError err;
    // As tarnwel-decode reads streams: pages up to the largest paper.
    if (!tarnwel::decode_stream(data, size, job, err, true, tarnwel::largest_paper())) {
        if (err.offset > size || err.message.empty())
            abort();
        return 0;
    }
    // Render only pages a stream this small can honestly describe.
    size_t pixels = 0;
    unsigned height = tarnwel::default_page_height(job);
    for (const tarnwel::StreamPage& p : job.pages)
        pixels += static_cast<size_t>(p.width_bytes ? p.width_bytes : (job.paper_width + 7) / 8) *
                  std::max(height, p.lines_sent);
    if (pixels < (64u << 20)) {
        for (bool reading : {false, true})
            tarnwel::page_images(job, reading);
    }
    return 0;
}

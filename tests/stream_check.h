// SPDX-License-Identifier: Apache-2.0
// Decoding the filter's output in the tests, with the stream decoder.
#ifndef TARNWEL_STREAM_CHECK_H
#define TARNWEL_STREAM_CHECK_H

#include "tarnwel_stream.h"
#include "test_util.h"

// Decodes a stream, failing the test with the offset and reason when invalid.
inline tarnwel::StreamJob decode_or_fail(const std::string& out) {
    tarnwel::StreamJob job;
    tarnwel::StreamError err;
    bool ok =
        tarnwel::decode_stream(reinterpret_cast<const uint8_t*>(out.data()), out.size(), job, err);
    EXPECT_TRUE(ok) << "invalid stream at byte offset " << err.offset << ": " << err.message;
    return job;
}

// The page turned through 180 degrees, as a long-edge back side is printed.
inline Bytes turned(const Bytes& pixels) {
    Bytes out(pixels.rbegin(), pixels.rend());
    for (uint8_t& b : out) {
        uint8_t r = 0;
        for (int i = 0; i < 8; i++)
            if (b & (1 << i))
                r |= static_cast<uint8_t>(0x80 >> i);
        b = r;
    }
    return out;
}

// The lines the filter sends of a page: all but the blank ones at its foot.
inline Bytes without_blank_foot(const Bytes& pixels, unsigned bpl) {
    size_t lines = bpl ? pixels.size() / bpl : 0;
    while (lines > 0) {
        bool blank = true;
        for (unsigned x = 0; x < bpl; x++)
            blank = blank && pixels[(lines - 1) * bpl + x] == 0;
        if (!blank)
            break;
        lines--;
    }
    return Bytes(pixels.begin(), pixels.begin() + static_cast<long>(lines * bpl));
}

#endif

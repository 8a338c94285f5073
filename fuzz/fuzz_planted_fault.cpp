// SPDX-License-Identifier: Apache-2.0
// A target with a fault planted on purpose: it reads one byte past its copy
// of every non-empty input. fuzz/smoke.sh runs it first and must see the
// finding, so that a smoke run which cannot fail is caught at once.
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    std::vector<uint8_t> copy(data, data + size);
    volatile uint8_t past = copy.data()[size];
    (void)past;
    return 0;
}

// SPDX-License-Identifier: Apache-2.0
// The page header of a client's raster, as PAPPL 1.3.1 read it.
//
// PAPPL hands the driver a PWG or Apple raster page under its own page header
// (8-bit grey at the printer's resolution) when the client's page is 1-bit,
// and under the client's header when it is 8-bit at whatever resolution the
// client chose: the driver cannot tell a black_1 page from a grey one, and
// prints it as garbage. It refuses colour and 16-bit pages without a word
// but "Job aborted.". PAPPL reads each page header with libcups's
// cupsRasterReadHeader2, in the thread that then calls the driver: the
// program stands in for it to keep a copy for that thread, and the job bridge
// reads the page as the client sent it (job_bridge.cpp).
// Held by AppClientRaster.* (tests/test_app.cpp).
#include "pappl/raster.h"

#include "pappl/interpose.h"

namespace tarnwel {

namespace {
thread_local bool haveHeader = false;
thread_local cups_page_header2_t lastHeader;
}  // namespace

const cups_page_header2_t* last_raster_header() {
    return haveHeader ? &lastHeader : nullptr;
}

}  // namespace tarnwel

extern "C" __attribute__((visibility("default"))) unsigned cupsRasterReadHeader2(
    cups_raster_t* r, cups_page_header2_t* h) {
    using Read = unsigned (*)(cups_raster_t*, cups_page_header2_t*);
    static const Read cupsOwn = tarnwel::next_definition<Read>("cupsRasterReadHeader2");
    unsigned ok = cupsOwn(r, h);
    tarnwel::haveHeader = ok != 0;
    if (ok)
        tarnwel::lastHeader = *h;
    return ok;
}

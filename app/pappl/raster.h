// SPDX-License-Identifier: Apache-2.0
// The page header of a client's raster, as PAPPL 1.3.1 read it (see
// raster.cpp).
#ifndef TARNWEL_APP_PAPPL_RASTER_H
#define TARNWEL_APP_PAPPL_RASTER_H

#include <cups/raster.h>

namespace tarnwel {

// The last page header this thread read with cupsRasterReadHeader2, or null
// if its last read found none. For a PWG raster or URF job, in PAPPL's raster
// callbacks: the header of the page the client sent.
const cups_page_header2_t* last_raster_header();

}  // namespace tarnwel

#endif

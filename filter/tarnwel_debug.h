// SPDX-License-Identifier: Apache-2.0
// Diagnostic dumps on standard error, where CUPS collects them into its log.
#ifndef TARNWEL_DEBUG_H
#define TARNWEL_DEBUG_H

#include <cups/raster.h>

// The filter's command-line arguments, once at start (argc is 6 or 7).
void dump_job_info(int argc, char** argv);

// The raster header of the first page, 46 "DEBUG:" lines.
void printCupsHeaderInfo(const cups_page_header2_t& header);

#endif

// SPDX-License-Identifier: Apache-2.0
// The filter's page loop, for the program's entry and for the fuzzer that
// drives the whole job path with the real raster reader.
#ifndef RASTERTOTARNWEL_H
#define RASTERTOTARNWEL_H

#include <cups/ppd.h>
#include <cups/raster.h>

#include <cstdio>

// Encodes every page of an opened raster stream into a job on `out`, then
// closes the job; returns the exit status. argv is the filter's argument
// vector (job-id user title copies options [file]).
int print_raster_job(cups_raster_t* raster, ppd_file_t* ppd, int argc, char** argv, FILE* out);

// Opens the raster on descriptor `fd` with the filter's own reader, which reads
// an uncompressed raster straight into the read block; close it with
// close_raster_input().
cups_raster_t* open_raster_input(int fd);
void close_raster_input(cups_raster_t* raster);

#endif

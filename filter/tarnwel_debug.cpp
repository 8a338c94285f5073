// SPDX-License-Identifier: Apache-2.0
#include "tarnwel_debug.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The decimal number at the start of a string, 0 when there is none.
static int leading_number(const char* text) {
    long v = strtol(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

void dump_job_info(int argc, char** argv) {
    fprintf(stderr, "job_id = %s\n", argv[1]);
    fprintf(stderr, "job_user = %s\n", argv[2]);
    fprintf(stderr, "job_name = %s\n", argv[3]);
    fprintf(stderr, "job_copies = %d\n", leading_number(argv[4]));
    fprintf(stderr, "job_options = %s\n", argv[5]);
    if (argc == 7)
        fprintf(stderr, "job_filename = %s\n", argv[6]);
}

// Header strings are 64-byte arrays that a damaged raster may fill without a
// terminator: never print past the array.
#define HDR_STR(field) static_cast<int>(sizeof(field)), field

// A header field as the signed number "%d" prints. Many fields are enums,
// and a damaged raster can hold any value in them: read the bytes, not the
// enum.
template <typename Field>
static int d(const Field& field) {
    static_assert(sizeof(Field) == sizeof(int), "header fields are 32-bit");
    int v;
    memcpy(&v, &field, sizeof(v));
    return v;
}

void printCupsHeaderInfo(const cups_page_header2_t& h) {
    fputs("DEBUG: startPage...\n", stderr);
    fprintf(stderr, "DEBUG: MediaClass = \"%.*s\"\n", HDR_STR(h.MediaClass));
    fprintf(stderr, "DEBUG: MediaColor = \"%.*s\"\n", HDR_STR(h.MediaColor));
    fprintf(stderr, "DEBUG: MediaType = \"%.*s\"\n", HDR_STR(h.MediaType));
    fprintf(stderr, "DEBUG: OutputType = \"%.*s\"\n", HDR_STR(h.OutputType));
    fprintf(stderr, "DEBUG: AdvanceDistance = %d\n", d(h.AdvanceDistance));
    fprintf(stderr, "DEBUG: AdvanceMedia = %d\n", d(h.AdvanceMedia));
    fprintf(stderr, "DEBUG: Collate = %d\n", d(h.Collate));
    fprintf(stderr, "DEBUG: CutMedia = %d\n", d(h.CutMedia));
    fprintf(stderr, "DEBUG: Duplex = %d\n", d(h.Duplex));
    fprintf(stderr, "DEBUG: HWResolution = [ %d %d ]\n", d(h.HWResolution[0]),
            d(h.HWResolution[1]));
    fprintf(stderr, "DEBUG: ImagingBoundingBox = [ %d %d %d %d ]\n", d(h.ImagingBoundingBox[0]),
            d(h.ImagingBoundingBox[1]), d(h.ImagingBoundingBox[2]), d(h.ImagingBoundingBox[3]));
    fprintf(stderr, "DEBUG: InsertSheet = %d\n", d(h.InsertSheet));
    fprintf(stderr, "DEBUG: Jog = %d\n", d(h.Jog));
    fprintf(stderr, "DEBUG: LeadingEdge = %d\n", d(h.LeadingEdge));
    fprintf(stderr, "DEBUG: Margins = [ %d %d ]\n", d(h.Margins[0]), d(h.Margins[1]));
    fprintf(stderr, "DEBUG: ManualFeed = %d\n", d(h.ManualFeed));
    fprintf(stderr, "DEBUG: MediaPosition = %d\n", d(h.MediaPosition));
    fprintf(stderr, "DEBUG: MediaWeight = %d\n", d(h.MediaWeight));
    fprintf(stderr, "DEBUG: MirrorPrint = %d\n", d(h.MirrorPrint));
    fprintf(stderr, "DEBUG: NegativePrint = %d\n", d(h.NegativePrint));
    fprintf(stderr, "DEBUG: NumCopies = %d\n", d(h.NumCopies));
    fprintf(stderr, "DEBUG: Orientation = %d\n", d(h.Orientation));
    fprintf(stderr, "DEBUG: OutputFaceUp = %d\n", d(h.OutputFaceUp));
    fprintf(stderr, "DEBUG: PageSize = [ %d %d ]\n", d(h.PageSize[0]), d(h.PageSize[1]));
    fprintf(stderr, "DEBUG: Separations = %d\n", d(h.Separations));
    fprintf(stderr, "DEBUG: TraySwitch = %d\n", d(h.TraySwitch));
    fprintf(stderr, "DEBUG: Tumble = %d\n", d(h.Tumble));
    fprintf(stderr, "DEBUG: cupsWidth = %d\n", d(h.cupsWidth));
    fprintf(stderr, "DEBUG: cupsHeight = %d\n", d(h.cupsHeight));
    fprintf(stderr, "DEBUG: cupsMediaType = %d\n", d(h.cupsMediaType));
    fprintf(stderr, "DEBUG: cupsRowStep = %d\n", d(h.cupsRowStep));
    fprintf(stderr, "DEBUG: cupsBitsPerColor = %d\n", d(h.cupsBitsPerColor));
    fprintf(stderr, "DEBUG: cupsBitsPerPixel = %d\n", d(h.cupsBitsPerPixel));
    fprintf(stderr, "DEBUG: cupsBytesPerLine = %d\n", d(h.cupsBytesPerLine));
    fprintf(stderr, "DEBUG: cupsColorOrder = %d\n", d(h.cupsColorOrder));
    fprintf(stderr, "DEBUG: cupsColorSpace = %d\n", d(h.cupsColorSpace));
    fprintf(stderr, "DEBUG: cupsRowStep = %d\n", d(h.cupsRowStep));
    fprintf(stderr, "DEBUG: cupsCompression = %d\n", d(h.cupsCompression));
    fprintf(stderr, "DEBUG: cupsPageSizeName = %.*s\n", HDR_STR(h.cupsPageSizeName));
    fprintf(stderr, "DEBUG: cupsInteger0 = %d\n", d(h.cupsInteger[0]));
    fprintf(stderr, "DEBUG: cupsInteger1 = %d\n", d(h.cupsInteger[1]));
    fprintf(stderr, "DEBUG: cupsInteger2 = %d\n", d(h.cupsInteger[2]));
    fprintf(stderr, "DEBUG: cupsString0 = %.*s\n", HDR_STR(h.cupsString[0]));
    fprintf(stderr, "DEBUG: cupsReal0 = %f\n", static_cast<double>(h.cupsReal[0]));
    fprintf(stderr, "DEBUG: cupsReal1 = %f\n", static_cast<double>(h.cupsReal[1]));
}

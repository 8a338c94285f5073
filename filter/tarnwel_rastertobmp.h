// SPDX-License-Identifier: Apache-2.0
// BMP page dump: writes raster pages to uncompressed BMP files for
// inspection, one file per page. The filter's page flow does not call it.
#ifndef TARNWEL_RASTERTOBMP_H
#define TARNWEL_RASTERTOBMP_H

#include <cups/raster.h>

#include <cstdint>
#include <cstdio>

typedef uint8_t BYTE;

enum eRasterType {
    BLACK_RASTER = 0,
    COLOR_RASTER = 1,
};

struct BITMAPFILEHEADER {
    int16_t bfType;
    int32_t bfSize;
    int16_t bfReserved1;
    int16_t bfReserved2;
    int32_t bfOffBits;
};

struct BITMAPINFOHEADER {
    int32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    int16_t biPlanes;
    int16_t biBitCount;
    int32_t biCompression;
    int32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    int32_t biClrUsed;
    int32_t biClrImportant;
};

// Module state: what the last header write prepared, the open files and the
// row buffers.
extern BITMAPFILEHEADER g_bmfh;
extern BITMAPINFOHEADER g_bmih;
extern FILE* grayfp;
extern FILE* rgbfp;         // no operation opens it: a caller assigns a stream to it
extern int adj_gray_width;  // bytes in a black row
extern int adj_rgb_width;   // pixels in a colour row (3 bytes each)
extern BYTE* black_raster;
extern BYTE* color_raster;

// Opens /tmp/qv_20230516_<pages>.bmp as the black file.
void openBmpFile(cups_page_header2_t& header, int pages);
void WriteBMPHeader(int width, int height, eRasterType raster_type);
void WriteBMPRaster(BYTE* raster, int width, eRasterType raster_type);
void closeBmpFIle();

void WriteGrayBMPHeader(FILE* fp, int width, int height);
void WriteRGBBMPHeader(FILE* fp, int width, int height);
void WriteGrayBMPRaster(FILE* fp, BYTE* gray_raster, int width);
void WriteRGBBMPRaster(FILE* fp, BYTE* rgb_raster, int width);
// Fills g_bmfh and g_bmih; false (and nothing filled) when the image size
// does not fit the format's 32-bit fields.
bool InitBMPHeader(int width, int height, int planes, int bpp);

// Creates a unique file from a name template (appending "_XXXXXX" when it has
// none); returns its descriptor, or 0 on failure.
int createTempFile(char* szFileName, FILE** pFilePtr);

#endif
